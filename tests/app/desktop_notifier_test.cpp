// The page notifications' way to the desktop, over a private session bus of the test's
// own with a notification service that records what it is asked and answers when told.
#include "app/desktop_notifier.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTest>
#include <QVariantMap>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

// A notification service that holds each Notify call until the test answers it.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit FakeNotifications(QDBusConnection bus) : m_bus(bus) {}

    struct Asked {
        QString summary;
        QString body;
        QStringList actions;
        QDBusMessage call;
    };
    QList<Asked> asked;

    void answer(int i, uint id) { m_bus.send(asked.at(i).call.createReply(QVariant::fromValue(id))); }
    void refuse(int i) {
        m_bus.send(asked.at(i).call.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                                                     QStringLiteral("no")));
    }
    void emitSignal(const QString& name, const QVariantList& args) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, name);
        signal.setArguments(args);
        m_bus.send(signal);
    }

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int, const QDBusMessage& message) {
        message.setDelayedReply(true);
        asked.append({summary, body, actions, message});
        return 0;
    }

private:
    QDBusConnection m_bus;
};

class DesktopNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.isConnected()) << qPrintable(bus.lastError().message());
        ASSERT_TRUE(bus.registerObject(kPath, &service, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService(kService));
    }
    void TearDown() override {
        bus.unregisterService(kService);
        bus.unregisterObject(kPath);
    }
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 5000); }

    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-service"));
    FakeNotifications service{bus};
    app::DesktopNotifier notifier;
};

TEST_F(DesktopNotifierTest, ANotificationNamesItsMailboxAndItsClickShowsThatMailbox) {
    QSignalSpy activated(&notifier, &app::DesktopNotifier::activated);
    notifier.show(3, QStringLiteral("丙"), QStringLiteral("new mail"), QStringLiteral("from zhang"));
    EXPECT_EQ(notifier.lastRoute(), QStringLiteral("dbus"));
    ASSERT_TRUE(waitFor([&] { return service.asked.size() == 1; }));
    EXPECT_EQ(service.asked.at(0).summary, QStringLiteral("丙：new mail"));
    EXPECT_EQ(service.asked.at(0).body, QStringLiteral("from zhang"));
    EXPECT_TRUE(service.asked.at(0).actions.contains(QStringLiteral("default")));
    service.answer(0, 41);
    QTest::qWait(100);

    // Another program's notification, and another action of ours, show nothing.
    service.emitSignal(QStringLiteral("ActionInvoked"), {uint(40), QStringLiteral("default")});
    service.emitSignal(QStringLiteral("ActionInvoked"), {uint(41), QStringLiteral("reply")});
    QTest::qWait(100);
    EXPECT_EQ(activated.count(), 0);

    service.emitSignal(QStringLiteral("ActionInvoked"), {uint(41), QStringLiteral("default")});
    ASSERT_TRUE(waitFor([&] { return activated.count() == 1; }));
    EXPECT_EQ(activated.at(0).at(0).toInt(), 3);

    // Once closed, the id may be given to another program's notification.
    service.emitSignal(QStringLiteral("NotificationClosed"), {uint(41), uint(2)});
    QTest::qWait(100);
    service.emitSignal(QStringLiteral("ActionInvoked"), {uint(41), QStringLiteral("default")});
    QTest::qWait(100);
    EXPECT_EQ(activated.count(), 1);
}

TEST_F(DesktopNotifierTest, AServiceThatAnswersLateDoesNotHoldTheWindowAndItsAnswerStillCounts) {
    QSignalSpy activated(&notifier, &app::DesktopNotifier::activated);
    notifier.show(5, QStringLiteral("戊"), QStringLiteral("new mail"), QString());
    // The service lives on this thread: it hears the call only because the show did
    // not wait for the answer. It answers after longer than the bus itself may take.
    ASSERT_TRUE(waitFor([&] { return service.asked.size() == 1; }));
    QTest::qWait(2500);
    service.answer(0, 7);
    QTest::qWait(100);
    service.emitSignal(QStringLiteral("ActionInvoked"), {uint(7), QStringLiteral("default")});
    ASSERT_TRUE(waitFor([&] { return activated.count() == 1; }));
    EXPECT_EQ(activated.at(0).at(0).toInt(), 5);
}

TEST_F(DesktopNotifierTest, ARefusedNotificationIsNotMappedAndNoServiceMeansNoBusRoute) {
    QSignalSpy activated(&notifier, &app::DesktopNotifier::activated);
    notifier.show(2, QStringLiteral("乙"), QStringLiteral("t"), QStringLiteral("b"));
    ASSERT_TRUE(waitFor([&] { return service.asked.size() == 1; }));
    service.refuse(0);
    QTest::qWait(100);
    // No tray here: the refused notification went nowhere, and is nothing to click.
    EXPECT_EQ(notifier.lastRoute(), QStringLiteral("dbus"));
    service.emitSignal(QStringLiteral("ActionInvoked"), {uint(0), QStringLiteral("default")});
    QTest::qWait(100);
    EXPECT_EQ(activated.count(), 0);

    bus.unregisterService(kService);
    notifier.show(2, QStringLiteral("乙"), QStringLiteral("t"), QStringLiteral("b"));
    EXPECT_EQ(notifier.lastRoute(), QString());
    EXPECT_EQ(service.asked.size(), 1);
}

// Starts a session bus of the test's own that dies with the test.
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

int main(int argc, char** argv) {
    const std::string address = startSessionBus();
    if (address.empty()) {
        std::fprintf(stderr, "no session bus could be started (is dbus-daemon installed?)\n");
        return 1;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "desktop_notifier_test.moc"
