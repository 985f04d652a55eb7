#include "settings/settings_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/desktop_shortcut.h"
#include "platform/dialogs.h"
#include "platform/qt_text.h"
#include "records/record_database.h"
#include "settings/entry_editor.h"
#include "settings/icon_files.h"
#include "settings_fixture.h"

namespace settings {
namespace {

using platform::fromGbk;
using platform::toGbk;

class SettingsWindowTest : public testing::ProgramFolderTest {
protected:
    records::MailboxEntry entry(const char* name, const char* user, const char* address, const char* kind) {
        records::MailboxEntry e;
        e.name = toGbk(QString::fromUtf8(name));
        e.userName = toGbk(QString::fromUtf8(user));
        e.address = toGbk(QString::fromUtf8(address));
        e.loginKind = toGbk(QString::fromUtf8(kind));
        return e;
    }
    QString note(int n) { return fromGbk(records::readSettingsNote(n).value); }

    // A window as the main window opens it, with what it reports recorded.
    std::unique_ptr<SettingsWindow> open(const SettingsOptions& options = {}) {
        auto window = std::make_unique<SettingsWindow>(store(), options, loadIconList());
        QObject::connect(window.get(), &SettingsWindow::allowNewWindowsChanged,
                         [this](bool allowed) { m_newWindowsReports.push_back(allowed); });
        QObject::connect(window.get(), &SettingsWindow::accessPasswordChanged,
                         [this](const std::string& password) { m_passwordReports.push_back(password); });
        return window;
    }

    std::vector<bool> m_newWindowsReports;
    std::vector<std::string> m_passwordReports;

    // Reopens the copied database read-only: reads work, every write fails.
    void makeDatabaseReadOnly() {
        records::closeMailboxDatabase(folder());
        records::OpenOptions options;
        options.readOnly = true;
        options.password = records::kMailboxDatabasePassword;
        ASSERT_TRUE(records::openDatabase(folder() + "/" + records::kMailboxDatabaseFile, options));
    }
};

TEST_F(SettingsWindowTest, ListShowsTheNineEntriesByLoginKind) {
    ASSERT_TRUE(records::writeEntry(1, entry("甲箱", "li", "http://a.example/", "")));
    ASSERT_TRUE(records::writeEntry(2, entry("乙址", "wang", "http://b.example/login", "网址")));
    std::filesystem::remove(iconPath(4).toStdString());

    auto opened = open({true, false, ""});
    SettingsWindow& window = *opened;
    EXPECT_EQ(window.windowTitle(), QStringLiteral("设置窗口----（提示：双击图标行可设置项目信息）"));
    auto* list = window.findChild<QTreeWidget*>(QStringLiteral("超级列表框"));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->geometry(), QRect(0, 0, 387, 468));
    ASSERT_EQ(list->topLevelItemCount(), 9);
    ASSERT_EQ(list->columnCount(), 5);
    EXPECT_TRUE(list->isColumnHidden(0));
    EXPECT_EQ(list->headerItem()->text(3), QStringLiteral("信息"));

    // An empty login kind reads as "邮箱" and lists the user name.
    EXPECT_EQ(list->topLevelItem(0)->text(2), QStringLiteral("甲箱"));
    EXPECT_EQ(list->topLevelItem(0)->text(3), QStringLiteral("li"));
    EXPECT_EQ(list->topLevelItem(0)->text(4), QStringLiteral("邮箱"));
    EXPECT_EQ(list->topLevelItem(1)->text(3), QStringLiteral("http://b.example/login"));
    EXPECT_EQ(list->topLevelItem(1)->text(4), QStringLiteral("网址"));

    // Icon file 4 is missing: row 4 shows the picture of file 5 (the shared list shifts).
    auto grey = [&](int row) { return list->topLevelItem(row)->icon(1).pixmap(48, 48).toImage().pixelColor(20, 20); };
    EXPECT_EQ(grey(3), iconGrey(3));
    EXPECT_EQ(grey(4), iconGrey(5));

    EXPECT_TRUE(window.findChild<QCheckBox*>(QStringLiteral("启用密码登录选择框"))->isChecked());
    EXPECT_FALSE(window.findChild<QCheckBox*>(QStringLiteral("允许打开新窗口选择框"))->isChecked());
}

TEST_F(SettingsWindowTest, CheckBoxesWriteTheirNotes) {
    platform::ScriptedDialogs dialogs;
    auto opened = open({false, false, ""});
    SettingsWindow& window = *opened;
    auto* passwordLogin = window.findChild<QCheckBox*>(QStringLiteral("启用密码登录选择框"));
    auto* newWindows = window.findChild<QCheckBox*>(QStringLiteral("允许打开新窗口选择框"));
    ASSERT_NE(passwordLogin, nullptr);
    ASSERT_NE(newWindows, nullptr);

    passwordLogin->click();
    EXPECT_EQ(note(1), QStringLiteral("是"));
    passwordLogin->click();
    EXPECT_EQ(note(1), QStringLiteral("否"));
    passwordLogin->click();
    EXPECT_EQ(note(1), QStringLiteral("是"));
    // Silent, and nothing reported: the running program keeps its start-up value.
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_TRUE(m_newWindowsReports.empty());
    EXPECT_TRUE(m_passwordReports.empty());

    newWindows->click();
    EXPECT_EQ(note(3), QStringLiteral("是"));
    newWindows->click();
    EXPECT_EQ(note(3), QStringLiteral("否"));
    // The program's flag follows at once: the browser pane consults it.
    EXPECT_EQ(m_newWindowsReports, (std::vector<bool>{true, false}));
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList({QStringLiteral("设置修改成功！"), QStringLiteral("设置修改成功！")}));
    EXPECT_EQ(dialogs.messages().at(0).icon, platform::MessageIcon::Information);
}

TEST_F(SettingsWindowTest, PasswordChangeComparesExactlyAndNeedsTwoEqualEntries) {
    ASSERT_TRUE(records::writeSettingsNote(2, toGbk(QStringLiteral("Secret口令"))));
    auto opened = open({false, false, toGbk(QStringLiteral("Secret口令"))});
    SettingsWindow& window = *opened;
    platform::ScriptedDialogs dialogs;

    // Letter case and a trailing space both make the old password wrong.
    for (QString wrong : {QStringLiteral("secret口令"), QStringLiteral("Secret口令 ")}) {
        dialogs.clear();
        dialogs.queueInput(wrong);
        window.changePassword();
        ASSERT_EQ(dialogs.inputs().size(), 1u);
        EXPECT_TRUE(dialogs.inputs()[0].password);
        EXPECT_EQ(dialogs.inputs()[0].prompt, QStringLiteral("请输入原密码："));
        EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("输入的原密码错误，请重新执行本操作！")});
        EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    }

    // A confirmation that differs ends silently; the old password stays.
    dialogs.clear();
    dialogs.queueInput(QStringLiteral("Secret口令"));
    dialogs.queueInput(QStringLiteral("new1"));
    dialogs.queueInput(QStringLiteral("new2"));
    window.changePassword();
    EXPECT_EQ(dialogs.inputs().size(), 3u);
    EXPECT_EQ(dialogs.inputs()[2].prompt, QStringLiteral("请再输入一遍新密码！"));
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_EQ(note(2), QStringLiteral("Secret口令"));
    EXPECT_TRUE(m_passwordReports.empty());

    // Cancel at the second box: nothing happens.
    dialogs.clear();
    dialogs.queueInput(QStringLiteral("Secret口令"));
    dialogs.queueInput(std::nullopt);
    window.changePassword();
    EXPECT_EQ(dialogs.inputs().size(), 2u);
    EXPECT_TRUE(dialogs.messages().empty());

    dialogs.clear();
    dialogs.queueInput(QStringLiteral("Secret口令"));
    dialogs.queueInput(QStringLiteral("新的 Pass"));
    dialogs.queueInput(QStringLiteral("新的 Pass"));
    window.changePassword();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("密码修改成功！")});
    EXPECT_EQ(note(2), QStringLiteral("新的 Pass"));
    EXPECT_EQ(m_passwordReports, std::vector<std::string>{toGbk(QStringLiteral("新的 Pass"))});

    // The window compares with the password it changed last, not the one it was given.
    // An empty new password is accepted when both entries are empty.
    dialogs.clear();
    dialogs.queueInput(QStringLiteral("新的 Pass"));
    dialogs.queueInput(QString());
    dialogs.queueInput(QString());
    window.changePassword();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("密码修改成功！")});
    EXPECT_EQ(note(2), QString());
    ASSERT_EQ(m_passwordReports.size(), 2u);
    EXPECT_TRUE(m_passwordReports[1].empty());
}

TEST_F(SettingsWindowTest, ANewPasswordGbkCannotHoldIsNeverStoredAsQuestionMarks) {
    ASSERT_TRUE(records::writeSettingsNote(2, "482"));
    auto opened = open({false, false, "482"});
    platform::ScriptedDialogs dialogs;

    // Were such a text to get past the input boxes, it is refused by name.
    const std::pair<QString, QString> cases[] = {{QStringLiteral("ab한"), QStringLiteral("“한”")},
                                                 {QStringLiteral("😀"), QStringLiteral("“😀”")}};
    for (const auto& [typed, named] : cases) {
        dialogs.clear();
        dialogs.queueInput(QStringLiteral("482"));
        dialogs.queueInput(typed);
        dialogs.queueInput(typed);
        opened->changePassword();
        ASSERT_EQ(dialogs.messages().size(), 1u) << typed.toStdString();
        EXPECT_TRUE(dialogs.messages()[0].text.contains(named)) << dialogs.messages()[0].text.toStdString();
        EXPECT_NE(dialogs.messages()[0].text, QStringLiteral("密码修改成功！"));
        EXPECT_EQ(note(2), QStringLiteral("482"));
        EXPECT_TRUE(m_passwordReports.empty());
    }

    // An old password with such a character is wrong even against a stored '?'.
    ASSERT_TRUE(records::writeSettingsNote(2, "?"));
    auto questionMark = open({false, false, "?"});
    dialogs.clear();
    dialogs.queueInput(QStringLiteral("😀"));
    questionMark->changePassword();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("输入的原密码错误，请重新执行本操作！")});
    EXPECT_EQ(dialogs.inputs().size(), 1u);
}

TEST_F(SettingsWindowTest, RefusedWritesAreReportedAndChangeNothingInMemory) {
    ASSERT_TRUE(records::writeSettingsNote(2, "old"));
    ASSERT_TRUE(records::writeSettingsNote(3, toGbk(QStringLiteral("否"))));
    makeDatabaseReadOnly();
    platform::ScriptedDialogs dialogs;
    auto opened = open({false, false, "old"});
    SettingsWindow& window = *opened;

    auto* newWindows = window.findChild<QCheckBox*>(QStringLiteral("允许打开新窗口选择框"));
    newWindows->click();
    EXPECT_FALSE(newWindows->isChecked());
    EXPECT_TRUE(m_newWindowsReports.empty());
    EXPECT_EQ(note(3), QStringLiteral("否"));
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    EXPECT_FALSE(dialogs.messageTexts().contains(QStringLiteral("设置修改成功！")));

    dialogs.clear();
    auto* passwordLogin = window.findChild<QCheckBox*>(QStringLiteral("启用密码登录选择框"));
    const bool before = passwordLogin->isChecked();
    passwordLogin->click();
    EXPECT_EQ(passwordLogin->isChecked(), before);
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);

    dialogs.clear();
    dialogs.queueInput(QStringLiteral("old"));
    dialogs.queueInput(QStringLiteral("new"));
    dialogs.queueInput(QStringLiteral("new"));
    window.changePassword();
    EXPECT_TRUE(m_passwordReports.empty());
    EXPECT_EQ(note(2), QStringLiteral("old"));
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    EXPECT_NE(dialogs.messages()[0].text, QStringLiteral("密码修改成功！"));
}

TEST_F(SettingsWindowTest, DoubleClickOpensTheEditorOnlyForASelectedRow) {
    auto opened = open();
    SettingsWindow& window = *opened;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* list = window.findChild<QTreeWidget*>(QStringLiteral("超级列表框"));
    list->clearSelection();

    QString openedTitle;
    QString openedName;
    auto closeEditorSoon = [&] {
        QTimer::singleShot(0, [&] {
            if (auto* editor = qobject_cast<EntryEditor*>(QApplication::activeModalWidget())) {
                openedTitle = editor->windowTitle();
                openedName = editor->findChild<QLineEdit*>(QStringLiteral("邮箱名编辑框"))->text();
                editor->reject();
            }
        });
    };

    closeEditorSoon();
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, QPoint(150, 400));
    QTest::qWait(10);
    EXPECT_TRUE(openedTitle.isEmpty());

    ASSERT_TRUE(records::writeEntry(6, entry("第六", "", "", "邮箱")));
    window.showEntry(5, records::readMailboxEntry(6).value);
    list->topLevelItem(5)->setSelected(true);
    closeEditorSoon();
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(5)).center());
    EXPECT_EQ(openedTitle, QStringLiteral("项目设置窗口"));
    EXPECT_EQ(openedName, QStringLiteral("第六"));
}

TEST_F(SettingsWindowTest, ShortcutButtonReportsSuccessOrFailure) {
    QTemporaryDir desktop;
    platform::setDesktopFolderOverride(desktop.path().toStdString());
    platform::ScriptedDialogs dialogs;
    auto opened = open();
    SettingsWindow& window = *opened;
    auto* button = window.findChild<QPushButton*>(QStringLiteral("按钮1"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QStringLiteral("将快捷方式发送至桌面"));
    button->click();
    button->click();
    EXPECT_EQ(dialogs.messageTexts(), QStringList({QStringLiteral("已在桌面上成功创建快捷方式！"),
                                                   QStringLiteral("已在桌面上成功创建快捷方式！")}));
    // The launcher starts the installed program, whatever this running file is called.
    QFile launcher(desktop.path() + QStringLiteral("/云梭邮盒.desktop"));
    ASSERT_TRUE(launcher.open(QIODevice::ReadOnly));
    EXPECT_TRUE(launcher.readAll().contains(QByteArray("\nExec=\"") + QByteArray::fromStdString(folder()) +
                                            QByteArray("/云梭邮盒\"\n")));
    EXPECT_FALSE(std::filesystem::exists(folder() + "/云梭邮盒.desktop"));

    dialogs.clear();
    platform::setDesktopFolderOverride(std::nullopt);
    button->click();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("创建失败！")});
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    platform::clearDesktopFolderOverride();
}

}  // namespace
}  // namespace settings
