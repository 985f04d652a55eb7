// The small "logging in" notice shown over the main window while a mailbox login runs.
// Owned by the login driver; user-interface thread only.
#pragma once

#include <QWidget>

namespace login {

class WaitingWindow : public QWidget {
    Q_OBJECT
public:
    // Centres itself over mainWindow (when given) as it is created.
    explicit WaitingWindow(QWidget* mainWindow);

protected:
    // A click on the notice or the Escape key dismisses it.
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace login
