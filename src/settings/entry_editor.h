// The entry editor "项目设置窗口": one mailbox entry's fields, its login kind and its
// icon, which the user replaces by dropping a picture onto the picture box. Saving
// writes the entry through the store it was given and, after a drop, the icon file;
// it reports both by signals, so that whoever opened it refreshes its list row, the
// toolbar caption and the shared icon list. Modal; opened by the settings window.
// User-interface thread only.
#pragma once

#include <QDialog>
#include <QString>

#include "records/mailbox_store.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace settings {

class EntryStore;

// The extensions a dropped picture may have, compared exactly (lower case).
bool isSupportedPictureName(const QString& path);

class EntryEditor : public QDialog {
    Q_OBJECT
public:
    // row: the settings row being edited (0..8), the entry row + 1. For any other row
    // the editor shows nothing and saves nothing.
    EntryEditor(EntryStore& store, int row, QWidget* parent = nullptr);

    // Files dropped on the picture box: one path alone, several each followed by "\r\n".
    void dropFiles(const QString& dropped);
    // 按钮1 "确定": true when everything was saved and the editor closed.
    bool save();
    bool droppedImage() const { return m_droppedImage; }

    // The login-kind look; groupBoxes false keeps both group boxes enabled.
    void applyLoginKindLook(bool byMailbox, bool groupBoxes = true);

signals:
    // After a save wrote the entry or tried to: `stored` is what the database holds.
    void entrySaved(int row, const records::MailboxEntry& stored);
    // After a save wrote icon file `row`.
    void iconFileSaved(int row);
    // The save changed the account of entry `row` (user name, type or address): the
    // browser session kept for it belongs to the old one.
    void accountChanged(int row);

private:
    void loadEntry(const records::MailboxEntry& entry);
    records::MailboxEntry entryFromControls() const;
    void loadIcon();
    void onTypeEdited();

    EntryStore& m_store;
    int m_row = -1;
    bool m_droppedImage = false;

    QRadioButton* m_byAddress = nullptr;  // 登录网址单选框
    QRadioButton* m_byMailbox = nullptr;  // 登录邮箱单选框
    QLabel* m_addressLabel = nullptr;     // 透明标签3
    QLineEdit* m_address = nullptr;       // 网址编辑框
    QGroupBox* m_addressGroup = nullptr;  // 分组框2
    QLineEdit* m_name = nullptr;          // 邮箱名编辑框
    QLineEdit* m_description = nullptr;   // 说明编辑框
    QComboBox* m_type = nullptr;          // 类型组合框
    QLabel* m_atLabel = nullptr;          // 透明标签1
    QLabel* m_userLabel = nullptr;        // 透明标签9
    QLabel* m_passwordLabel = nullptr;    // 透明标签10
    QLineEdit* m_password = nullptr;      // 密码编辑框
    QLineEdit* m_userName = nullptr;      // 用户名编辑框
    QGroupBox* m_mailboxGroup = nullptr;  // 分组框1
    QLabel* m_picture = nullptr;          // 图片框1
    QPushButton* m_ok = nullptr;          // 按钮1
};

}  // namespace settings
