#include "app/status_pane.h"

#include <QLabel>

namespace app {

StatusPane::StatusPane(QLabel* label, QObject* parent)
    : QObject(parent), m_label(label), m_browserStatus(label->text()) {
    m_noticeTimer.setSingleShot(true);
    m_noticeTimer.setInterval(kNoticeMs);
    connect(&m_noticeTimer, &QTimer::timeout, this, &StatusPane::endNotice);
}

void StatusPane::setBrowserStatus(const QString& text) {
    m_browserStatus = text;
    if (!noticeShown()) m_label->setText(text);
}

void StatusPane::showNotice(const QString& text) {
    m_label->setText(text);
    m_noticeTimer.start();
}

void StatusPane::endNotice() { m_label->setText(m_browserStatus); }

}  // namespace app
