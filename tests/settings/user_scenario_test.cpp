// The whole way a user sets up a mailbox: the main window's "邮箱设置" button, a
// double-click on a row, the editor filled in, a picture dropped, saved, and the
// toolbar showing the new name and icon at once and after a restart.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QtTest/QTest>
#include <memory>

#include "app/main_window.h"
#include "app/program_state.h"
#include "app/startup.h"
#include "platform/dialogs.h"
#include "platform/qt_text.h"
#include "records/mailbox_store.h"
#include "records/record_database.h"
#include "settings/entry_editor.h"
#include "settings/settings_window.h"
#include "settings_fixture.h"

namespace settings {
namespace {

class UserScenario : public testing::ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        if (HasFatalFailure()) return;
        // The main window opens the database itself, as at a real start.
        records::closeMailboxDatabase(folder());
    }
    void TearDown() override {
        app::releaseProgramState();
        records::closeAllDatabases();
        ProgramFolderTest::TearDown();
    }

    std::unique_ptr<app::MainWindow> start() {
        auto window = std::make_unique<app::MainWindow>(QStringLiteral("about:blank"));
        EXPECT_EQ(window->create(), app::StartOutcome::Running);
        return window;
    }

    // Runs `step` once the modal window of type T is the active one.
    template <typename T>
    static void whenOpen(std::function<void(T*)> step) {
        auto* timer = new QTimer;
        timer->setInterval(10);
        QObject::connect(timer, &QTimer::timeout, [timer, step] {
            if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget())) {
                timer->stop();
                timer->deleteLater();
                step(window);
            }
        });
        timer->start();
    }
};

TEST_F(UserScenario, ANewMailboxShowsItsNameAndIconOnTheToolbarAtOnceAndAfterARestart) {
    QImage picture(40, 40, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    {
        QPainter p(&picture);
        p.fillRect(QRect(10, 10, 20, 20), QColor(0, 160, 0));
    }
    const QString png = m_folder.path() + QStringLiteral("/邮箱图标.png");
    ASSERT_TRUE(picture.save(png, "PNG"));

    platform::ScriptedDialogs dialogs;
    auto main = start();
    bool edited = false;
    whenOpen<SettingsWindow>([&](SettingsWindow* settings) {
        whenOpen<EntryEditor>([&](EntryEditor* editor) {
            editor->findChild<QLineEdit*>(QStringLiteral("邮箱名编辑框"))->setText(QStringLiteral("私人"));
            editor->findChild<QLineEdit*>(QStringLiteral("用户名编辑框"))->setText(QStringLiteral("wang.wu"));
            editor->findChild<QLineEdit*>(QStringLiteral("密码编辑框"))->setText(QStringLiteral("口令123"));
            editor->findChild<QComboBox*>(QStringLiteral("类型组合框"))->setCurrentIndex(6);
            editor->dropFiles(png);
            QTest::qWait(20);
            editor->findChild<QPushButton*>(QStringLiteral("按钮1"))->click();
            edited = true;
        });
        auto* list = settings->findChild<QTreeWidget*>(QStringLiteral("超级列表框"));
        list->setCurrentItem(list->topLevelItem(2));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->topLevelItem(2)).center());
        settings->reject();
    });
    main->onSettingsButton(0);

    ASSERT_TRUE(edited);
    // Another user name and type: the entry's kept browser session is ended, and said so.
    EXPECT_TRUE(dialogs.messageTexts().contains(
        QStringLiteral("信息保存完毕！该邮箱保存的登录状态已清除，下次打开时重新登录。")));
    QAction* button = main->mailboxToolBar()->actions().at(2);
    EXPECT_EQ(button->text(), QStringLiteral("私人"));
    const QImage icon = button->icon().pixmap(48, 48).toImage();
    EXPECT_EQ(icon.pixelColor(24, 24), QColor(0, 160, 0));

    // After a restart the entry and its icon are still there.
    main.reset();
    app::releaseProgramState();
    records::closeAllDatabases();
    auto again = start();
    QAction* restarted = again->mailboxToolBar()->actions().at(2);
    EXPECT_EQ(restarted->text(), QStringLiteral("私人"));
    EXPECT_EQ(restarted->icon().pixmap(48, 48).toImage().pixelColor(24, 24), QColor(0, 160, 0));
    const records::MailboxEntry entry = records::readMailboxEntry(3).value;
    EXPECT_EQ(entry.userName, "wang.wu");
    EXPECT_EQ(records::decodePassword(entry.password), platform::toGbk(QStringLiteral("口令123")));
    EXPECT_EQ(entry.type, records::providerTable().at(6).key);
}

}  // namespace
}  // namespace settings
