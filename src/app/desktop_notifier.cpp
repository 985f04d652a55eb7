#include "app/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace app {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppName = QStringLiteral("云梭邮盒");
const QString kDefaultAction = QStringLiteral("default");
// The bus itself answers at once; a notification service may take its time, since
// nothing waits for it.
constexpr int kBusTimeoutMs = 2000;
constexpr int kNotifyTimeoutMs = 10000;

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {}

void DesktopNotifier::setTrayIcon(QSystemTrayIcon* tray) {
    if (m_tray) m_tray->disconnect(this);
    m_tray = tray;
    if (m_tray) {
        connect(m_tray, &QSystemTrayIcon::messageClicked, this, [this] {
            if (m_lastTrayPage > 0) emit activated(m_lastTrayPage);
        });
    }
}

void DesktopNotifier::connectBus() {
    if (m_busConnected) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this, SLOT(onClosed(uint, uint)));
    m_busConnected = true;
}

bool DesktopNotifier::showOnBus(int n, const QString& summary, const QString& body) {
    if (!m_useBus) return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    bus.interface()->setTimeout(kBusTimeoutMs);
    if (!bus.interface()->isServiceRegistered(kService)) return false;
    connectBus();
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // app name, replaces id, icon, summary, body, actions, hints, expiry (-1: the server's default)
    call << kAppName << uint(0) << QString() << summary << body << QStringList{kDefaultAction, kAppName}
         << QVariantMap() << int(-1);
    // Never waited for: a slow or hung notification service must not freeze the window.
    // The notification's id comes with the answer; a click on it can come only after.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kNotifyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, n, summary, body] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isValid()) {
            m_pageOfNotification.insert(reply.value(), n);
            return;
        }
        // The service is there but refused or did not answer: the tray still says it.
        showInTray(n, summary, body);
    });
    return true;
}

bool DesktopNotifier::showInTray(int n, const QString& summary, const QString& body) {
    if (!m_tray || !m_tray->isVisible()) return false;
    m_lastTrayPage = n;
    m_tray->showMessage(summary, body, QSystemTrayIcon::Information);
    m_lastRoute = QStringLiteral("tray");
    return true;
}

void DesktopNotifier::show(int n, const QString& mailboxName, const QString& title, const QString& message) {
    // The caption names the mailbox: with several accounts of one provider the page's
    // own title does not say which one has new mail.
    const QString summary = title.isEmpty() ? mailboxName : mailboxName + QStringLiteral("：") + title;
    if (showOnBus(n, summary, message)) {
        m_lastRoute = QStringLiteral("dbus");
        return;
    }
    if (!showInTray(n, summary, message)) m_lastRoute.clear();
}

void DesktopNotifier::onActionInvoked(uint id, const QString& action) {
    const auto found = m_pageOfNotification.constFind(id);
    if (found == m_pageOfNotification.constEnd()) return;  // another program's notification
    const int n = found.value();
    if (action == kDefaultAction) emit activated(n);
}

void DesktopNotifier::onClosed(uint id, uint) { m_pageOfNotification.remove(id); }

}  // namespace app
