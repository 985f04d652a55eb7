// Pane 1 of the main window's status bar: the browser's latest status text, over
// which a notice (a login or safety message) shows for a while and then gives way to
// the browser's text again; pane 0 and its fixed text are never touched. User-
// interface thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QLabel;

namespace app {

class StatusPane : public QObject {
    Q_OBJECT
public:
    static constexpr int kNoticeMs = 10000;

    // label: the pane; its present text counts as the browser's first status.
    StatusPane(QLabel* label, QObject* parent);

    // Shown at once, unless a notice is up: then it is kept and shown afterwards.
    void setBrowserStatus(const QString& text);
    // Shown for noticeDuration(); a second notice replaces the first and starts anew.
    void showNotice(const QString& text);

    bool noticeShown() const { return m_noticeTimer.isActive(); }
    QString browserStatus() const { return m_browserStatus; }
    int noticeDuration() const { return m_noticeTimer.interval(); }
    void setNoticeDuration(int ms) { m_noticeTimer.setInterval(ms); }

private:
    void endNotice();

    QLabel* m_label;
    QString m_browserStatus;
    QTimer m_noticeTimer;
};

}  // namespace app
