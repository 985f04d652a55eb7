// The settings window: the nine mailbox entries in a list, the two stored options,
// the access-password change, the desktop shortcut and, on a double-click, the entry
// editor. Every change is written to the record database at once. Modal child of
// the main window; user-interface thread only.
#pragma once

#include <QDialog>

#include "records/mailbox_store.h"

class QCheckBox;
class QPushButton;
class QTreeWidget;

namespace settings {

// Opens the settings window, modal over parent, and returns once it has closed.
void showSettingsWindow(QWidget* parent);

class SettingsWindow : public QDialog {
    Q_OBJECT
public:
    explicit SettingsWindow(QWidget* parent = nullptr);

    // Row r (0..8) shows entry r + 1 as read back from the database.
    void showEntry(int row, const records::MailboxEntry& entry);
    // The double-click: opens the entry editor on the selected row, if there is one.
    void openEditorForSelectedRow();
    // 修改登录密码按钮.
    void changePassword();
    // 按钮1.
    void createShortcut();

private:
    void fillList();
    void showIcons();
    void onPasswordLoginClicked(bool checked);
    void onNewWindowsClicked(bool checked);
    bool eventFilter(QObject* watched, QEvent* event) override;

    QPushButton* m_changePassword = nullptr;
    QCheckBox* m_passwordLogin = nullptr;
    QCheckBox* m_newWindows = nullptr;
    QPushButton* m_shortcut = nullptr;
    QTreeWidget* m_list = nullptr;
};

}  // namespace settings
