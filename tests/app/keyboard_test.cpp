// The keyboard on the real main window (mailbox shortcuts, switching, history, zoom,
// reload, find), the settings window's Enter and Escape, and the pages' notification
// question: asked once per mailbox, remembered across a restart, other permissions
// refused without a question.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <memory>

#include "app/desktop_notifier.h"
#include "app/find_bar.h"
#include "app/main_window.h"
#include "app_fixture.h"
#include "login/browser_pane.h"
#include "session_server.h"
#include "settings/entry_editor.h"
#include "settings/settings_window.h"

namespace {

using app_test::SessionServer;
using app_test::waitFor;

class KeyboardTest : public app_test::SessionWindowTest {
protected:
    void SetUp() override {
        SessionWindowTest::SetUp();
        type = platform::fromGbk(records::providerTable().at(9).key);
    }

    void start() {
        SessionWindowTest::start();
        window->activateWindow();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        // The login's waiting window may have been the active one; a desktop hands the
        // focus back to the main window once it closes.
        QApplication::setActiveWindow(window.get());
        QTest::keyClick(window.get(), k, modifiers);
    }

    bool shows(const QString& caption) { return window->pane()->IsReady() && window->pane()->Caption() == caption; }

    QString type;
};

TEST_F(KeyboardTest, ShortcutsPressButtonsSwitchWalkZoomReloadAndFind) {
    editDatabase([&] {
        writeMailbox(1, QStringLiteral("甲"), QStringLiteral("邮箱"), type, QStringLiteral("alice"));
        writeMailbox(2, QStringLiteral("乙"), QStringLiteral("邮箱"), type, QStringLiteral("bob"));
        writeMailbox(3, QStringLiteral("丙"), QStringLiteral("邮箱"), type, QStringLiteral("carol"));
    });
    start();
    key(Qt::Key_1, Qt::ControlModifier);
    ASSERT_TRUE(waitFor([&] { return shows(QStringLiteral("inbox alice")); }));
    EXPECT_TRUE(window->mailboxToolBar()->actions().at(0)->isChecked());
    key(Qt::Key_3, Qt::ControlModifier);
    ASSERT_TRUE(waitFor([&] { return shows(QStringLiteral("inbox carol")); }));

    // Ctrl+Tab and Ctrl+Shift+Tab walk the opened mailboxes only (2 was never opened).
    key(Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(window->pane()->shownPage(), 1);
    key(Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(window->pane()->shownPage(), 3);
    key(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(window->pane()->shownPage(), 1);
    EXPECT_TRUE(window->mailboxToolBar()->actions().at(0)->isChecked());

    // History of the page shown.
    window->pane()->setUrl(server.url(QStringLiteral("/home")));
    ASSERT_TRUE(waitFor([&] { return shows(QStringLiteral("home")); }));
    key(Qt::Key_Left, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return shows(QStringLiteral("inbox alice")); }));
    key(Qt::Key_Right, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return shows(QStringLiteral("home")); }));

    // F5 loads the page shown again.
    const qsizetype homes = server.count(QStringLiteral("/home"));
    key(Qt::Key_F5);
    ASSERT_TRUE(waitFor([&] { return server.count(QStringLiteral("/home")) == homes + 1; }));

    // Text sizes: one step up and down within 0..4, Ctrl+0 back to the middle.
    key(Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_EQ(window->pane()->FontSize(), 3);
    for (int i = 0; i < 3; ++i) key(Qt::Key_Equal, Qt::ControlModifier);
    EXPECT_EQ(window->pane()->FontSize(), 4);
    for (int i = 0; i < 6; ++i) key(Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(window->pane()->FontSize(), 0);
    key(Qt::Key_0, Qt::ControlModifier);
    EXPECT_EQ(window->pane()->FontSize(), 2);

    // Find: the bar, its count, next and previous, Escape.
    key(Qt::Key_Left, Qt::AltModifier);
    ASSERT_TRUE(waitFor([&] { return shows(QStringLiteral("inbox alice")); }));
    key(Qt::Key_F, Qt::ControlModifier);
    app::FindBar* bar = window->findBar();
    ASSERT_TRUE(bar->isVisible());
    EXPECT_TRUE(bar->textBox()->hasFocus());
    QTest::keyClicks(bar->textBox(), QStringLiteral("alice"));
    ASSERT_TRUE(waitFor([&] { return bar->matchText() == u"1/1"; }));
    bar->textBox()->setText(QStringLiteral("zzz-nowhere"));
    ASSERT_TRUE(waitFor([&] { return bar->matchText() == u"0/0"; }));
    bar->textBox()->setText(QStringLiteral("i"));  // "inbox", "of", ... several matches
    ASSERT_TRUE(waitFor([&] { return bar->matchText().startsWith(u"1/") && bar->matchText() != u"1/1"; }));
    QTest::keyClick(bar->textBox(), Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return bar->matchText().startsWith(u"2/"); }));
    QTest::keyClick(bar->textBox(), Qt::Key_Return, Qt::ShiftModifier);
    ASSERT_TRUE(waitFor([&] { return bar->matchText().startsWith(u"1/"); }));
    QTest::keyClick(bar->textBox(), Qt::Key_Escape);
    EXPECT_FALSE(bar->isVisible());

    // Alt+Home: the home page, no button pressed.
    key(Qt::Key_Home, Qt::AltModifier);
    EXPECT_EQ(window->pane()->shownPage(), login::kHomePage);
    ASSERT_TRUE(waitFor([&] { return shows(QStringLiteral("home")); }));
    for (QAction* button : window->mailboxToolBar()->actions()) EXPECT_FALSE(button->isChecked());
}

TEST_F(KeyboardTest, EnterOnASettingsRowOpensTheEditorAndEscapeClosesBoth) {
    start();
    QString opened;
    bool settingsClosed = false;
    QTimer::singleShot(50, [&] {
        auto* settings = qobject_cast<settings::SettingsWindow*>(QApplication::activeModalWidget());
        ASSERT_NE(settings, nullptr);
        auto* list = settings->findChild<QTreeWidget*>(QStringLiteral("超级列表框"));
        list->setFocus();
        list->setCurrentItem(list->topLevelItem(2));
        QTimer::singleShot(50, [&] {
            auto* editor = qobject_cast<settings::EntryEditor*>(QApplication::activeModalWidget());
            ASSERT_NE(editor, nullptr);
            opened = editor->windowTitle();
            QTest::keyClick(editor, Qt::Key_Escape);
        });
        QTest::keyClick(list, Qt::Key_Return);  // runs the editor until Escape closes it
        EXPECT_EQ(QApplication::activeModalWidget(), settings);
        QTest::keyClick(settings, Qt::Key_Escape);
        settingsClosed = true;
    });
    window->onSettingsButton(0);
    EXPECT_TRUE(settingsClosed);
    EXPECT_EQ(opened, QStringLiteral("项目设置窗口"));
    // Enter did not start the password change.
    EXPECT_TRUE(dialogs.inputs().empty());
}

TEST_F(KeyboardTest, NotificationsAreAskedOncePerMailboxAndRemembered) {
    server.setRaw(QStringLiteral("/notify"), app_test::kNotifyingPage);
    server.setRaw(QStringLiteral("/geo"),
                  "HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n"
                  "<html><head><title>waiting</title></head><body><script>"
                  "navigator.geolocation.getCurrentPosition(function () { document.title = 'geo given'; },"
                  "  function (e) { document.title = 'geo refused ' + e.code; });"
                  "</script></body></html>");
    editDatabase([&] {
        writeMailbox(1, QStringLiteral("甲"), QStringLiteral("网址"), {}, {}, server.url(QStringLiteral("/notify")));
        writeMailbox(2, QStringLiteral("乙"), QStringLiteral("网址"), {}, {}, server.url(QStringLiteral("/notify")));
    });
    start();
    QSignalSpy arrived(window->pane(), &login::BrowserPane::NotificationArrived);
    dialogs.queueAnswer(true);
    window->mailboxToolBar()->actions().at(0)->trigger();
    ASSERT_TRUE(waitFor([&] { return window->pane()->Caption() == u"permission granted"; }));
    ASSERT_EQ(dialogs.messages().size(), 1u);
    EXPECT_TRUE(dialogs.messages().at(0).yesNo);
    EXPECT_TRUE(dialogs.messages().at(0).text.contains(QStringLiteral("“甲”")));
    ASSERT_TRUE(waitFor([&] { return arrived.count() == 1; }));
    EXPECT_EQ(arrived.at(0).at(0).toInt(), 1);
    EXPECT_EQ(arrived.at(0).at(1).toString(), QStringLiteral("new mail"));
    EXPECT_EQ(arrived.at(0).at(2).toString(), QStringLiteral("from zhang"));

    // The same site in another mailbox is asked on its own; this time the answer is no.
    dialogs.queueAnswer(false);
    window->mailboxToolBar()->actions().at(1)->trigger();
    ASSERT_TRUE(waitFor([&] { return window->pane()->Caption() == u"permission denied"; }));
    ASSERT_EQ(dialogs.messages().size(), 2u);
    EXPECT_TRUE(dialogs.messages().at(1).text.contains(QStringLiteral("“乙”")));
    EXPECT_EQ(arrived.count(), 1);

    // Location is refused without a question.
    window->pane()->setUrl(server.url(QStringLiteral("/geo")));
    ASSERT_TRUE(waitFor([&] { return window->pane()->Caption() == u"geo refused 1"; }));
    EXPECT_EQ(dialogs.messages().size(), 2u);

    // A click on the notification shows its mailbox.
    emit window->notifier()->activated(1);
    EXPECT_EQ(window->pane()->shownPage(), 1);

    // Both answers are kept in the mailboxes' own folders and hold after a restart.
    const QString answers = QDir(QString::fromStdString(path)).filePath(QStringLiteral("profiles/1/permissions"));
    EXPECT_EQ(QFileInfo(answers).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
              QFileDevice::Permissions());
    window.reset();
    app::releaseProgramState();
    start();
    dialogs.clear();
    window->mailboxToolBar()->actions().at(0)->trigger();
    ASSERT_TRUE(waitFor([&] { return window->pane()->Caption() == u"permission granted"; }));
    window->mailboxToolBar()->actions().at(1)->trigger();
    ASSERT_TRUE(waitFor([&] { return window->pane()->Caption() == u"permission denied"; }));
    EXPECT_TRUE(dialogs.messages().empty());
}

}  // namespace
