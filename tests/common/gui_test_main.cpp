// main() of every GUI test executable: tests always run headless with the real
// widgets and browser engine, whoever starts them (ctest, a developer, CI as root).
// Built with TMBL_PRIVATE_SESSION_BUS it first starts a session bus of the test's own,
// so that what the tests put on the bus never meets the desktop's services.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef TMBL_PRIVATE_SESSION_BUS
#include <signal.h>
#include <sys/prctl.h>

namespace {

// A bus daemon that dies with the test; its address, or empty when none could start.
std::string startSessionBus() {
    int out[2];
    if (pipe(out) != 0) return {};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        dup2(out[1], 1);
        close(out[0]);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string address;
    char c;
    while (pid > 0 && read(out[0], &c, 1) == 1 && c != '\n') address += c;
    close(out[0]);
    return address;
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef TMBL_PRIVATE_SESSION_BUS
    const std::string address = startSessionBus();
    if (address.empty()) {
        std::fprintf(stderr, "no session bus could be started (is dbus-daemon installed?)\n");
        return 1;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
#endif
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS")) {
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
                "--disable-gpu --no-first-run --disable-background-networking --disable-component-update");
    }
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
