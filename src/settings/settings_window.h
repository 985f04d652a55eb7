// The settings window: the nine mailbox entries in a list, the two stored options,
// the access-password change, the desktop shortcut and, on a double-click, the entry
// editor. Every change is written at once through the store it was given; what the
// rest of the program must follow (a saved entry, a new icon file, an option or the
// access password changed) it reports by signals. Modal child of the main window;
// user-interface thread only.
#pragma once

#include <QDialog>
#include <QList>
#include <QPixmap>
#include <memory>
#include <string>

#include "records/mailbox_store.h"

class QCheckBox;
class QPushButton;
class QTreeWidget;

namespace settings {

class EntryEditor;
class EntryStore;

// The program's settings as the opener holds them in memory.
struct SettingsOptions {
    bool passwordLogin = false;  // the start-up value: a change takes effect at the next start
    bool allowNewWindows = false;
    std::string accessPassword;  // GBK
};

class SettingsWindow : public QDialog {
    Q_OBJECT
public:
    // icons: the shared icon list; image r is the icon of row r.
    SettingsWindow(EntryStore& store, const SettingsOptions& options, const QList<QPixmap>& icons,
                   QWidget* parent = nullptr);

    // The opener's icon list after it was rebuilt.
    void setIcons(const QList<QPixmap>& icons);
    // Row r (0..8) shows entry r + 1 as read back from the database.
    void showEntry(int row, const records::MailboxEntry& entry);
    // The double-click: opens the entry editor on the selected row, if there is one.
    void openEditorForSelectedRow();
    // The editor of row 0..8 over this window, its reports passed on by this window's.
    std::unique_ptr<EntryEditor> createEditor(int row);
    // 修改登录密码按钮.
    void changePassword();
    // 按钮1.
    void createShortcut();

signals:
    // The editor of `row` wrote the entry (or tried to): `stored` is what the database
    // now holds, for the caption of toolbar button `row`.
    void entrySaved(int row, const records::MailboxEntry& stored);
    // The editor replaced icon file `row`: the shared icon list is out of date.
    void iconFileSaved(int row);
    // The editor saved another account into entry `row`.
    void accountChanged(int row);
    void allowNewWindowsChanged(bool allowed);
    void accessPasswordChanged(const std::string& password);

private:
    void fillList();
    void onPasswordLoginClicked(bool checked);
    void onNewWindowsClicked(bool checked);
    bool eventFilter(QObject* watched, QEvent* event) override;

    EntryStore& m_store;
    std::string m_accessPassword;
    QList<QPixmap> m_icons;
    QPushButton* m_changePassword = nullptr;
    QCheckBox* m_passwordLogin = nullptr;
    QCheckBox* m_newWindows = nullptr;
    QPushButton* m_shortcut = nullptr;
    QTreeWidget* m_list = nullptr;
};

}  // namespace settings
