// Desktop notifications of the mailbox pages: through the desktop's notification
// service on the session bus when there is one, else as a message of the tray icon.
// A click on one reports the mailbox it came from. User-interface thread only.
#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class QSystemTrayIcon;

namespace app {

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    // The tray icon that shows the message when the desktop has no notification service.
    void setTrayIcon(QSystemTrayIcon* tray);
    // Tests turn the session bus off to exercise the tray path.
    void setUseSessionBus(bool use) { m_useBus = use; }

    // Shows a notification of page n (1..9), captioned with the mailbox's name.
    void show(int n, const QString& mailboxName, const QString& title, const QString& message);

    // Which way the last notification went: "dbus" (asked of the service; "tray" once
    // the service refused it), "tray", or "" when it went nowhere.
    QString lastRoute() const { return m_lastRoute; }

signals:
    // The user clicked the notification of page n.
    void activated(int n);

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);

private:
    bool showOnBus(int n, const QString& summary, const QString& body);
    bool showInTray(int n, const QString& summary, const QString& body);
    void connectBus();

    QPointer<QSystemTrayIcon> m_tray;
    bool m_useBus = true;
    bool m_busConnected = false;
    QHash<uint, int> m_pageOfNotification;
    int m_lastTrayPage = 0;
    QString m_lastRoute;
};

}  // namespace app
