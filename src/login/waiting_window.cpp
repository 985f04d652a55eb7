#include "login/waiting_window.h"

#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>

namespace login {

WaitingWindow::WaitingWindow(QWidget* mainWindow)
    : QWidget(mainWindow, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(263, 51);
    auto* label = new QLabel(QStringLiteral("正在登录邮箱，请稍候……"), this);
    label->setObjectName(QStringLiteral("透明标签1"));
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setGeometry(52, 14, 160, 24);
    if (mainWindow) {
        const QRect frame = mainWindow->frameGeometry();
        move(frame.left() + (frame.width() - width()) / 2, frame.top() + (frame.height() - height()) / 2);
    } else {
        move(50, 50);
    }
}

void WaitingWindow::mousePressEvent(QMouseEvent* event) {
    event->accept();
    close();
}

void WaitingWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace login
