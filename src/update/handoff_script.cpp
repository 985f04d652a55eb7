#include "update/handoff_script.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace update {
namespace {

// "更新程序" in GBK, the code page the Windows build's command interpreter reads.
constexpr const char* kReplacementNameGbk = "\xB8\xFC\xD0\xC2\xB3\xCC\xD0\xF2";

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string windowsHandoffScript(std::string_view executableNameGbk) {
    const std::string name(executableNameGbk);
    const std::string replacement = std::string(kReplacementNameGbk) + ".exe";
    return "@echo off\r\n"
           "Taskkill /f /im " +
           name +
           "\r\n"
           "Del " +
           name +
           "\r\n"
           "ren NQWXBD5.exe.tmp " +
           replacement +
           "\r\n"
           "start " +
           replacement +
           "\r\n"
           "Del %0\r\n"
           "Exit";
}

std::string shellQuote(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string posixHandoffScript(const HandoffTarget& target, std::string_view downloadName,
                               std::string_view scriptName) {
    std::string s;
    s += "#!/bin/sh\n";
    s += "cd " + shellQuote(target.folder) + " || exit 1\n";
    s += "new=" + shellQuote(downloadName) + "\n";
    s += "exe=" + shellQuote(target.executableName) + "\n";
    s += "self=" + shellQuote(scriptName) + "\n";
    // Every failure leaves the old program exactly as it was.
    s += "fail() { rm -f -- \"$self\"; exit 1; }\n";
    s += "[ -f \"$new\" ] || fail\n";
    // The program ends by itself right after starting this script; one that lingers is
    // asked to end after two seconds and ended by force after five. A process id is
    // only ever signalled while it still runs our executable (same file, by device
    // and inode): once the program has gone its number may belong to anybody. Ids 0
    // and 1 would name our own process group and init: never those.
    if (target.pid > 1) {
        s += "pid=" + std::to_string(target.pid) + "\n";
        s += "ours() {\n";
        s += "    running=$(stat -L -c %d:%i -- \"/proc/$pid/exe\" 2>/dev/null) || return 1\n";
        s += "    [ -n \"$running\" ] && [ \"$running\" = \"$(stat -L -c %d:%i -- \"$exe\" 2>/dev/null)\" ]\n";
        s += "}\n";
        s += "n=0\n";
        s += "while ours; do\n";
        s += "    [ \"$n\" -ge 100 ] && fail\n";
        s += "    n=$((n + 1))\n";
        s += "    if [ \"$n\" -eq 20 ] && ours; then kill -TERM \"$pid\" 2>/dev/null; fi\n";
        s += "    if [ \"$n\" -eq 50 ] && ours; then kill -KILL \"$pid\" 2>/dev/null; fi\n";
        s += "    sleep 0.1\n";
        s += "done\n";
    }
    // Executable for its owner only, then one rename over the old program: at every
    // moment the program's name holds either the old program or the whole new one.
    // -T: a directory under that name makes the rename fail instead of receiving the file.
    s += "chmod 0700 -- \"$new\" || fail\n";
    s += "mv -f -T -- \"$new\" \"$exe\" || fail\n";
    s += "./\"$exe\" </dev/null >/dev/null 2>&1 &\n";
    s += "rm -f -- \"$self\"\n";
    return s;
}

bool writeScriptFile(const std::string& path, std::string_view text) {
    // Made anew, so that no earlier file (or a link planted under its name) lends the
    // script its owner or its permissions.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
    if (fd < 0) return false;
    bool ok = writeAll(fd, text.data(), text.size());
    ok = ::fchmod(fd, 0700) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

bool startDetachedScript(const std::string& scriptPath, const std::string& workingFolder) {
    // Everything the children need is prepared before fork: between fork and exec
    // only async-signal-safe calls are allowed in a threaded program.
    const char* shell = "/bin/sh";
    char* const argv[] = {const_cast<char*>(shell), const_cast<char*>(scriptPath.c_str()), nullptr};
    const char* folder = workingFolder.c_str();
    long openMax = ::sysconf(_SC_OPEN_MAX);
    int maxFd = openMax > 0 && openMax < INT_MAX ? static_cast<int>(openMax) : 1024;

    // The grandchild reports a failed exec through this pipe; a successful exec
    // closes it unwritten.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;

    pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        // A session of its own: the script outlives us and is not hit by signals
        // sent to our process group.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);

        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard;
        std::memset(&standard, 0, sizeof standard);
        standard.sa_handler = SIG_DFL;
        for (int sig : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &standard, nullptr);

        int error = 0;
        if (::chdir(folder) != 0) error = errno;
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        // Our open files (the record database with its locks, sockets) must not live
        // on in the script or in the program it starts.
        int reportFd = report[1];
        if (reportFd != 3 && ::dup2(reportFd, 3) == 3) {
            reportFd = 3;
            ::fcntl(reportFd, F_SETFD, FD_CLOEXEC);
        }
        if (::close_range(4, ~0U, 0) != 0) {
            for (int fd = 4; fd < maxFd; ++fd) ::close(fd);
        }
        if (reportFd != 3) error = EBADF;
        if (error == 0) {
            ::execv(shell, argv);
            error = errno;
        }
        ssize_t ignored = ::write(reportFd, &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }

    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    return n == 0;
}

}  // namespace update
