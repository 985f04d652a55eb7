// The page notifications' way to the desktop, over a private session bus of the test's
// own (see the test main) with a notification service that records what it is asked and
// answers when told: the notifier alone, its tray route, and a page's notification in
// the real main window.
#include "app/desktop_notifier.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QIcon>
#include <QPixmap>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QToolBar>
#include <QVariantMap>

#include "app/main_window.h"
#include "app_fixture.h"
#include "login/browser_pane.h"
#include "session_server.h"

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

// The fake service on a connection of its own, registered for as long as it lives.
struct ServiceOnBus {
    ServiceOnBus() {
        EXPECT_TRUE(bus.isConnected()) << qPrintable(bus.lastError().message());
        EXPECT_TRUE(bus.registerObject(kPath, &service, QDBusConnection::ExportAllSlots));
        EXPECT_TRUE(bus.registerService(kService));
    }
    ~ServiceOnBus() {
        bus.unregisterService(kService);
        bus.unregisterObject(kPath);
    }

    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-service"));
    FakeNotifications service{bus};
};

class DesktopNotifierTest : public ::testing::Test, public ServiceOnBus {
protected:
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 5000); }

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

TEST_F(DesktopNotifierTest, TheTrayTellsWhatTheServiceCannotAndItsClickShowsTheLatestMailbox) {
    QSystemTrayIcon tray;
    QPixmap picture(16, 16);
    picture.fill(Qt::darkCyan);
    tray.setIcon(QIcon(picture));
    tray.show();
    notifier.setTrayIcon(&tray);
    QSignalSpy activated(&notifier, &app::DesktopNotifier::activated);

    // Refused by the service: the tray says it instead.
    notifier.show(4, QStringLiteral("丁"), QStringLiteral("t"), QStringLiteral("b"));
    ASSERT_TRUE(waitFor([&] { return service.asked.size() == 1; }));
    EXPECT_EQ(notifier.lastRoute(), QStringLiteral("dbus"));
    service.refuse(0);
    ASSERT_TRUE(waitFor([&] { return notifier.lastRoute() == u"tray"; }));
    emit tray.messageClicked();
    ASSERT_EQ(activated.count(), 1);
    EXPECT_EQ(activated.at(0).at(0).toInt(), 4);

    // No service at all: straight to the tray, and its click names the latest mailbox.
    bus.unregisterService(kService);
    notifier.show(6, QStringLiteral("己"), QStringLiteral("t"), QStringLiteral("b"));
    EXPECT_EQ(notifier.lastRoute(), QStringLiteral("tray"));
    emit tray.messageClicked();
    ASSERT_EQ(activated.count(), 2);
    EXPECT_EQ(activated.at(1).at(0).toInt(), 6);

    // A tray icon not shown says nothing.
    tray.hide();
    notifier.show(7, QStringLiteral("庚"), QStringLiteral("t"), QStringLiteral("b"));
    EXPECT_EQ(notifier.lastRoute(), QString());
    EXPECT_EQ(service.asked.size(), 1);
}

// A page's notification in the real main window, from the page to the service and back.
class NotificationWindowTest : public app_test::SessionWindowTest, public ServiceOnBus {};

TEST_F(NotificationWindowTest, APageNotificationNamesItsMailboxOnTheDesktopAndItsClickShowsThatMailbox) {
    server.setRaw(QStringLiteral("/notify"), app_test::kNotifyingPage);
    editDatabase([&] {
        writeMailbox(1, QStringLiteral("甲"), QStringLiteral("网址"), {}, {}, server.url(QStringLiteral("/notify")));
        writeMailbox(2, QStringLiteral("乙"), QStringLiteral("网址"), {}, {}, server.url(QStringLiteral("/home")));
    });
    start();
    dialogs.queueAnswer(true);
    window->mailboxToolBar()->actions().at(0)->trigger();
    ASSERT_TRUE(app_test::waitFor([&] { return service.asked.size() == 1; }));
    EXPECT_EQ(service.asked.at(0).summary, QStringLiteral("甲：new mail"));
    EXPECT_EQ(service.asked.at(0).body, QStringLiteral("from zhang"));
    service.answer(0, 12);
    QTest::qWait(100);

    window->mailboxToolBar()->actions().at(1)->trigger();
    ASSERT_TRUE(app_test::waitFor([&] { return window->pane()->shownPage() == 2 && window->pane()->IsReady(); }));
    service.emitSignal(QStringLiteral("ActionInvoked"), {uint(12), QStringLiteral("default")});
    ASSERT_TRUE(app_test::waitFor([&] { return window->pane()->shownPage() == 1; }));
    EXPECT_EQ(window->pane()->Caption(), QStringLiteral("permission granted"));
}

}  // namespace

#include "desktop_notifier_test.moc"
