// Every mailbox its own browser session, on the real main window and engine: two
// accounts of one provider side by side, switching without reloading, sessions kept
// across a restart and ended by an account change, the lock against a second copy, and
// the bound on live pages.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <memory>

#include "app/download_notice.h"
#include "app/main_window.h"
#include "app_fixture.h"
#include "login/browser_pane.h"
#include "login/login_driver.h"
#include "platform/desktop_open.h"
#include "session_server.h"

namespace {

using app_test::SessionServer;
using app_test::waitFor;

constexpr int kPlainRow = 10;  // a provider row that types user name and password and clicks button 1

class SessionsTest : public app_test::SessionWindowTest {
protected:
    void SetUp() override {
        SessionWindowTest::SetUp();
        const QString type = platform::fromGbk(records::providerTable().at(static_cast<size_t>(kPlainRow - 1)).key);
        editDatabase([&] {
            writeMailbox(1, QStringLiteral("甲"), QStringLiteral("邮箱"), type, QStringLiteral("alice"));
            writeMailbox(2, QStringLiteral("乙"), QStringLiteral("邮箱"), type, QStringLiteral("bob"));
            writeMailbox(3, QStringLiteral("丙"), QStringLiteral("邮箱"), type, QStringLiteral("carol"));
            writeMailbox(4, QStringLiteral("丁"), QStringLiteral("邮箱"), type, QStringLiteral("dave"));
        });
    }

    void click(int k) { window->mailboxToolBar()->actions().at(k)->trigger(); }

    bool showsInboxOf(const QString& user) {
        return window->pane()->IsReady() && window->pane()->Caption() == QStringLiteral("inbox ") + user &&
               app::state().loginDone;
    }

    // No request ever carried another account's session: each carries at most the one
    // of the user it was for.
    void expectNoMixedCookies() {
        for (const app_test::SeenRequest& r : server.requests()) {
            EXPECT_LE(r.cookie.count("sid="), 1) << r.path.toStdString() << " " << r.cookie.toStdString();
        }
    }
};

TEST_F(SessionsTest, TwoAccountsOfOneProviderLogInSideBySideAndSwitchWithoutLoading) {
    start();
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    click(1);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("bob")); }));
    // Bob's login went out without Alice's cookie, and was answered with his own.
    ASSERT_EQ(server.count(QStringLiteral("/dologin"), "POST"), 2);
    for (const app_test::SeenRequest& r : server.requests()) {
        if (r.method == "POST" && r.body.startsWith("u=bob")) {
            EXPECT_TRUE(r.cookie.isEmpty());
        }
        if (r.path == u"/inbox" && SessionServer::sessionOf(r.cookie) == "bob") {
            EXPECT_FALSE(r.cookie.contains("alice"));
        }
    }

    // Back to the first: its page at once, nothing fetched.
    const qsizetype before = server.requests().size();
    QElapsedTimer timer;
    timer.start();
    click(0);
    EXPECT_EQ(window->pane()->shownPage(), 1);
    EXPECT_EQ(window->pane()->Caption(), QStringLiteral("inbox alice"));
    EXPECT_TRUE(window->pane()->IsReady());
    EXPECT_TRUE(app::state().loginDone);
    EXPECT_LT(timer.elapsed(), 500);
    QTest::qWait(300);
    // The engine asks for a page's icon once the page is complete; that may still arrive.
    for (qsizetype i = before; i < server.requests().size(); ++i) {
        EXPECT_EQ(server.requests().at(i).path, QStringLiteral("/favicon.ico"));
    }
    const QList<QAction*> buttons = window->mailboxToolBar()->actions();
    EXPECT_TRUE(buttons.at(0)->isChecked());
    EXPECT_FALSE(buttons.at(1)->isChecked());

    // The mailbox shown, clicked again: its login address again, flag cleared; the
    // provider lets the valid session through to the inbox, which counts as logged in
    // without a word and without typing into the inbox's search box.
    const qsizetype loginsBefore = server.count(QStringLiteral("/login"));
    click(0);
    EXPECT_FALSE(app::state().loginDone);
    ASSERT_TRUE(waitFor([&] { return server.count(QStringLiteral("/login")) == loginsBefore + 1; }));
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    QTest::qWait(300);
    EXPECT_TRUE(dialogs.messages().empty());
    EXPECT_EQ(server.count(QStringLiteral("/dologin"), "POST"), 2);
    for (const app_test::SeenRequest& r : server.requests()) EXPECT_FALSE(r.path.startsWith(u"/search"));
    expectNoMixedCookies();
}

TEST_F(SessionsTest, SessionsSurviveARestartAndAnAccountChangeEndsOne) {
    start();
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    click(1);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("bob")); }));
    EXPECT_TRUE(window->sessionNote().isEmpty());
    EXPECT_TRUE(QFileInfo(QDir(QString::fromStdString(path)).filePath(QStringLiteral("profiles/1"))).isDir());
    EXPECT_EQ(QFileInfo(QDir(QString::fromStdString(path)).filePath(QStringLiteral("profiles"))).permissions() &
                  (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteOther),
              QFileDevice::Permissions());

    // A new start: both land in their inboxes without a login. A page that offers no
    // login field would keep its attempt open for a minute here; the kept session ends
    // it long before.
    window.reset();
    app::releaseProgramState();
    start();
    window->loginDriver()->setTimeLimits(60000, 60000);
    QSignalSpy finished(window->loginDriver(), &login::LoginDriver::loginFinished);
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    ASSERT_TRUE(waitFor([&] { return finished.count() == 1; }, 15000));
    EXPECT_EQ(finished.at(0).at(0).value<login::LoginOutcome>(), login::LoginOutcome::LoggedIn);
    EXPECT_FALSE(window->loginDriver()->isWaitingWindowOpen());
    click(1);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("bob")); }));
    EXPECT_EQ(server.count(QStringLiteral("/dologin"), "POST"), 2);
    EXPECT_TRUE(dialogs.messages().empty());
    // Nothing was typed into the inboxes' search boxes either.
    for (const app_test::SeenRequest& r : server.requests()) EXPECT_FALSE(r.path.startsWith(u"/search"));

    // Bob's entry changed hands: his session goes, the next click logs in afresh and
    // sends no cookie of his.
    app::state().endSession(2);
    EXPECT_FALSE(QFileInfo::exists(QDir(QString::fromStdString(path)).filePath(QStringLiteral("profiles/2/Cookies"))));
    const qsizetype from = server.requests().size();
    click(1);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("bob")); }));
    EXPECT_EQ(server.count(QStringLiteral("/dologin"), "POST"), 3);
    ASSERT_GT(server.requests().size(), from);
    EXPECT_TRUE(server.requests().at(from).cookie.isEmpty());
    // Alice's session is untouched.
    click(0);
    EXPECT_EQ(window->pane()->Caption(), QStringLiteral("inbox alice"));
    expectNoMixedCookies();
}

TEST_F(SessionsTest, ASecondRunningCopyKeepsOutOfTheProfilesAndSaysWhy) {
    start();
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));

    // The second copy: same folder, while the first holds it.
    auto second = std::make_unique<app::MainWindow>(server.url(QStringLiteral("/home")));
    second->pane()->showPage(1);
    EXPECT_FALSE(second->pane()->sessionsKept());
    EXPECT_FALSE(second->pane()->sessionNotice().isEmpty());
    EXPECT_TRUE(second->pane()->profileOf(1)->isOffTheRecord());
    EXPECT_EQ(second->sessionNote(), second->pane()->sessionNotice());
    EXPECT_TRUE(window->pane()->sessionsKept());
    EXPECT_FALSE(window->pane()->profileOf(1)->isOffTheRecord());
}

TEST_F(SessionsTest, PagesBeyondTheLimitAreDiscardedAndBackgroundPagesFrozen) {
    start();
    window->pane()->setLivePageLimit(3);  // the home page and two mailboxes
    window->pane()->setFreezeDelay(200);
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    click(1);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("bob")); }));
    // Alice's page rests in the background: frozen, still kept.
    ASSERT_TRUE(
        waitFor([&] { return window->pane()->pageOf(1)->lifecycleState() == QWebEnginePage::LifecycleState::Frozen; }));
    EXPECT_TRUE(window->pane()->isPageOpened(1));

    click(2);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("carol")); }));
    // Four pages, room for three: the home page was shown least recently. A discarded
    // page gives its engine process back, then its page and session objects.
    auto discarded = [&](int n) {
        const QWebEnginePage* page = window->pane()->pageOf(n);
        return !window->pane()->isPageOpened(n) &&
               (!page || page->lifecycleState() == QWebEnginePage::LifecycleState::Discarded);
    };
    EXPECT_TRUE(discarded(login::kHomePage));
    EXPECT_TRUE(window->pane()->isPageOpened(1));
    click(3);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("dave")); }));
    EXPECT_TRUE(discarded(1));
    EXPECT_TRUE(window->pane()->isPageOpened(2));
    ASSERT_TRUE(waitFor([&] { return window->pane()->pageOf(1) == nullptr; }));

    // A discarded mailbox is opened as the first time: its login address again, and
    // the session it kept lets it straight in.
    const qsizetype logins = server.count(QStringLiteral("/login"));
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    EXPECT_EQ(server.count(QStringLiteral("/login")), logins + 1);
    EXPECT_EQ(window->pane()->pageOf(1)->lifecycleState(), QWebEnginePage::LifecycleState::Active);
    EXPECT_TRUE(dialogs.messages().empty());
}

TEST_F(SessionsTest, TheTrayMenuNamesTheMailboxesAndShowsThem) {
    start();
    QMenu* menu = window->trayMenu();
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> items = menu->actions();
    ASSERT_GE(items.size(), 9);
    EXPECT_EQ(items.at(0)->text(), QStringLiteral("甲"));
    EXPECT_EQ(items.at(3)->text(), QStringLiteral("丁"));
    // A caption changed by the entry editor follows in the menu.
    window->setButtonCaption(window->mailboxToolBar(), 1, QStringLiteral("乙箱"));
    EXPECT_EQ(items.at(1)->text(), QStringLiteral("乙箱"));

    items.at(1)->trigger();
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("bob")); }));
    EXPECT_EQ(window->pane()->shownPage(), 2);
    // The mailbox shown, chosen again from the tray, stays as it is.
    const qsizetype logins = server.count(QStringLiteral("/login"));
    items.at(1)->trigger();
    QTest::qWait(200);
    EXPECT_EQ(server.count(QStringLiteral("/login")), logins);
}

TEST_F(SessionsTest, AFinishedDownloadOffersToOpenTheFileOrItsFolder) {
    QTemporaryDir downloads;
    server.setRaw(QStringLiteral("/attachment"),
                  "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                  "Content-Disposition: attachment; filename*=UTF-8''%E6%8A%A5%E5%91%8A.pdf\r\n"
                  "Content-Length: 4\r\nConnection: close\r\n\r\n%PDF");
    start();
    window->pane()->setDownloadFolder(downloads.path());
    QList<QUrl> opened;
    platform::setDesktopOpener([&](const QUrl& address) {
        opened.append(address);
        return true;
    });
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    window->pane()->setUrl(server.url(QStringLiteral("/attachment")));
    app::DownloadNotice* notice = window->downloadNotice();
    ASSERT_TRUE(waitFor([&] { return notice->isVisible(); }));
    const QString saved = QDir(downloads.path()).filePath(QStringLiteral("报告.pdf"));
    EXPECT_EQ(notice->path(), saved);
    EXPECT_EQ(notice->text(), QStringLiteral("下载完毕：报告.pdf"));
    EXPECT_TRUE(QFileInfo::exists(saved));
    // The page the user reads stays where it was.
    EXPECT_EQ(window->pane()->Caption(), QStringLiteral("inbox alice"));

    notice->openFileButton()->click();
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened.at(0), QUrl::fromLocalFile(saved));
    EXPECT_FALSE(notice->isVisible());
    platform::setDesktopOpener(nullptr);
}

TEST_F(SessionsTest, AWindowOpenedFromAMailboxRunsInItsSessionAndOutlivesItsDiscard) {
    start();
    app::state().allowNewWindows = true;
    window->pane()->setLivePageLimit(1);
    click(0);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("alice")); }));
    const qsizetype from = server.requests().size();
    window->pane()->view()->page()->runJavaScript(QStringLiteral("window.open('/inbox?popup', '_blank')"));
    ASSERT_TRUE(waitFor([&] {
        for (qsizetype i = from; i < server.requests().size(); ++i) {
            if (server.requests().at(i).path == u"/inbox?popup") return true;
        }
        return false;
    }));
    for (qsizetype i = from; i < server.requests().size(); ++i) {
        if (server.requests().at(i).path == u"/inbox?popup") {
            EXPECT_EQ(SessionServer::sessionOf(server.requests().at(i).cookie), "alice");
        }
    }
    QWebEngineView* popup = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* view = qobject_cast<QWebEngineView*>(w); view && view != window->pane()->view()) popup = view;
    }
    ASSERT_NE(popup, nullptr);
    QPointer<QWebEngineView> alive(popup);

    // Bob's page pushes Alice's out; her window keeps working in her session.
    click(1);
    ASSERT_TRUE(waitFor([&] { return showsInboxOf(QStringLiteral("bob")); }));
    QTest::qWait(200);
    ASSERT_TRUE(alive);
    EXPECT_FALSE(window->pane()->isPageOpened(1));
    popup->page()->runJavaScript(QStringLiteral("location.reload()"));
    const qsizetype reloads = server.requests().size();
    ASSERT_TRUE(waitFor([&] { return server.requests().size() > reloads; }));
    EXPECT_EQ(SessionServer::sessionOf(server.requests().last().cookie), "alice");

    // Ending the session closes the windows that ran in it.
    app::state().endSession(1);
    EXPECT_FALSE(alive);
}

}  // namespace
