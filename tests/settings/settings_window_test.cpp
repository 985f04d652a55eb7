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

#include "app/program_state.h"
#include "platform/desktop_shortcut.h"
#include "platform/dialogs.h"
#include "platform/qt_text.h"
#include "records/record_database.h"
#include "settings/entry_editor.h"
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
    app::state().rebuildIconList();
    app::state().passwordLogin = true;
    app::state().allowNewWindows = false;

    SettingsWindow window;
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
    app::state().passwordLogin = false;
    SettingsWindow window;
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
    // Silent, and the running program keeps its start-up value.
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_FALSE(app::state().passwordLogin);
    SettingsWindow reopened;
    EXPECT_FALSE(reopened.findChild<QCheckBox*>(QStringLiteral("启用密码登录选择框"))->isChecked());

    newWindows->click();
    EXPECT_EQ(note(3), QStringLiteral("是"));
    EXPECT_TRUE(app::state().allowNewWindows);
    newWindows->click();
    EXPECT_EQ(note(3), QStringLiteral("否"));
    EXPECT_FALSE(app::state().allowNewWindows);
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList({QStringLiteral("设置修改成功！"), QStringLiteral("设置修改成功！")}));
    EXPECT_EQ(dialogs.messages().at(0).icon, platform::MessageIcon::Information);
}

TEST_F(SettingsWindowTest, PasswordChangeComparesExactlyAndNeedsTwoEqualEntries) {
    ASSERT_TRUE(records::writeSettingsNote(2, toGbk(QStringLiteral("Secret口令"))));
    app::state().accessPassword = toGbk(QStringLiteral("Secret口令"));
    SettingsWindow window;
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
    EXPECT_EQ(app::state().accessPassword, toGbk(QStringLiteral("Secret口令")));

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
    EXPECT_EQ(app::state().accessPassword, toGbk(QStringLiteral("新的 Pass")));

    // An empty new password is accepted when both entries are empty.
    dialogs.clear();
    dialogs.queueInput(QStringLiteral("新的 Pass"));
    dialogs.queueInput(QString());
    dialogs.queueInput(QString());
    window.changePassword();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("密码修改成功！")});
    EXPECT_EQ(note(2), QString());
    EXPECT_TRUE(app::state().accessPassword.empty());
}

TEST_F(SettingsWindowTest, RefusedWritesAreReportedAndChangeNothingInMemory) {
    ASSERT_TRUE(records::writeSettingsNote(2, "old"));
    ASSERT_TRUE(records::writeSettingsNote(3, toGbk(QStringLiteral("否"))));
    app::state().accessPassword = "old";
    app::state().allowNewWindows = false;
    makeDatabaseReadOnly();
    platform::ScriptedDialogs dialogs;
    SettingsWindow window;

    auto* newWindows = window.findChild<QCheckBox*>(QStringLiteral("允许打开新窗口选择框"));
    newWindows->click();
    EXPECT_FALSE(newWindows->isChecked());
    EXPECT_FALSE(app::state().allowNewWindows);
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
    EXPECT_EQ(app::state().accessPassword, "old");
    EXPECT_EQ(note(2), QStringLiteral("old"));
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_EQ(dialogs.messages()[0].icon, platform::MessageIcon::Error);
    EXPECT_NE(dialogs.messages()[0].text, QStringLiteral("密码修改成功！"));
}

TEST_F(SettingsWindowTest, DoubleClickOpensTheEditorOnlyForASelectedRow) {
    SettingsWindow window;
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
    SettingsWindow window;
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
