#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QToolTip>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "app/status_pane.h"
#include "app_fixture.h"
#include "local_http_server.h"
#include "login/browser_pane.h"
#include "login/login_driver.h"

namespace {

using app_test::gbk;
using app_test::ProgramFolderTest;
using app_test::waitFor;
using testing_support::LocalHttpServer;

const QString kPlaceholder = QStringLiteral("请点击[邮箱设置]进行设置");

class MainWindowTest : public ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        ASSERT_TRUE(server.listening());
        copyShippedDatabase();
        server.setPage(QStringLiteral("/home"), "<html><head><title>home</title></head><body>home</body></html>");
    }
    void TearDown() override {
        window.reset();
        ProgramFolderTest::TearDown();
    }

    void start() {
        window = std::make_unique<app::MainWindow>(server.address(QStringLiteral("/home")));
        ASSERT_EQ(window->create(), app::StartOutcome::Running);
        ASSERT_TRUE(waitFor([&] { return window->pane()->IsReady(); }));
    }

    // Every login page of the provider table is served by the test server under /p<row>.
    void pointProvidersAtServer() {
        std::vector<std::string> addresses;
        for (size_t i = 0; i < records::providerTable().size(); ++i) {
            const QString page = QStringLiteral("/p%1").arg(i);
            server.setPage(page, "<html><body>login page</body></html>");
            addresses.push_back(server.address(page).toStdString());
        }
        records::setProviderAddresses(addresses);
    }

    static QString providerKey(size_t row) { return platform::fromGbk(records::providerTable().at(row).key); }

    QAction* mailboxButton(int k) const { return window->mailboxToolBar()->actions().at(k); }
    QList<int> pressedButtons() const {
        QList<int> pressed;
        const QList<QAction*> actions = window->mailboxToolBar()->actions();
        for (int k = 0; k < actions.size(); ++k) {
            if (actions.at(k)->isChecked()) pressed << k;
        }
        return pressed;
    }
    bool paneShows(const QString& page) const {
        return window->pane()->IsReady() && window->pane()->url() == server.address(page);
    }
    qsizetype requestsOf(const QString& page) const { return server.requests().count(page); }

    LocalHttpServer server;
    std::unique_ptr<app::MainWindow> window;
};

TEST_F(MainWindowTest, ControlsCarryTheirDesignNamesAndRectangles) {
    window = std::make_unique<app::MainWindow>(QStringLiteral("about:blank"));
    const struct {
        const char16_t* name;
        QRect rect;
    } expected[] = {
        {u"外形框1", {0, 0, 112, 599}},  {u"工具条1", {2, 2, 107, 486}},   {u"工具条2", {2, 488, 107, 108}},
        {u"分隔条1", {112, -1, 4, 602}}, {u"外形框2", {116, 0, 902, 599}}, {u"超文本浏览框1", {1, 1, 900, 596}},
        {u"外形框3", {910, 5, 86, 28}},  {u"后退按钮", {3, 3, 26, 22}},    {u"主页按钮", {30, 3, 26, 22}},
        {u"前进按钮", {57, 3, 26, 22}},
    };
    for (const auto& e : expected) {
        const QString name = QString::fromUtf16(e.name);
        SCOPED_TRACE(name.toStdString());
        auto* w = window->findChild<QWidget*>(name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->geometry(), e.rect);
    }
    EXPECT_EQ(window->findChild<QWidget*>(QStringLiteral("超文本浏览框1")), window->pane());
    EXPECT_EQ(window->findChild<QPushButton*>(QStringLiteral("后退按钮"))->text(), QStringLiteral("←"));
    EXPECT_EQ(window->findChild<QPushButton*>(QStringLiteral("主页按钮"))->text(), QStringLiteral("□"));
    EXPECT_EQ(window->findChild<QPushButton*>(QStringLiteral("前进按钮"))->text(), QStringLiteral("→"));
    auto* status = window->findChild<QStatusBar*>(QStringLiteral("状态条1"));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->geometry(), QRect(0, window->height() - 20, window->width(), 20));
    EXPECT_EQ(window->size(), QSize(1018, 619));

    // The toolbars other windows address by name: nine and two buttons.
    EXPECT_EQ(window->findChild<QToolBar*>(QStringLiteral("工具条1"))->actions().size(), 9);
    const QList<QAction*> second = window->findChild<QToolBar*>(QStringLiteral("工具条2"))->actions();
    ASSERT_EQ(second.size(), 2);
    EXPECT_EQ(second.at(0)->text(), QStringLiteral("邮箱设置"));
    EXPECT_EQ(second.at(1)->text(), QStringLiteral("关于软件"));
    EXPECT_EQ(app::MainWindow::buttonToolTip(second.at(0)), QStringLiteral("点此设置邮箱信息"));
    EXPECT_EQ(app::MainWindow::buttonToolTip(second.at(1)), QStringLiteral("看看我还什么别的好东东"));
}

TEST_F(MainWindowTest, CaptionsAndTooltipsFollowTheEntries) {
    editDatabase([] {
        writeMailbox(1, QStringLiteral("网易"), QStringLiteral("邮箱"), QStringLiteral("163.com"),
                     QStringLiteral("li"));
        writeMailbox(2, QStringLiteral("空类型"), QStringLiteral("邮箱"), QString(), QStringLiteral("li"));
        writeMailbox(3, QStringLiteral("网址一"), QStringLiteral("网址"), QString(), {},
                     QStringLiteral("http://example.invalid/a"));
        writeMailbox(4, QStringLiteral("有说明"), QStringLiteral("邮箱"), QStringLiteral("163.com"),
                     QStringLiteral("li"), {}, gbk(QStringLiteral("我的工作邮箱")));
        writeMailbox(5, QStringLiteral("别类"), QStringLiteral("其它"), QStringLiteral("163.com"), QStringLiteral("li"),
                     QStringLiteral("http://example.invalid/b"));
    });
    start();
    EXPECT_EQ(mailboxButton(0)->text(), QStringLiteral("网易"));
    EXPECT_EQ(app::MainWindow::buttonToolTip(mailboxButton(0)), QStringLiteral("li@163.com"));
    EXPECT_EQ(app::MainWindow::buttonToolTip(mailboxButton(1)), kPlaceholder);
    EXPECT_EQ(app::MainWindow::buttonToolTip(mailboxButton(2)), QStringLiteral("http://example.invalid/a"));
    EXPECT_TRUE(app::MainWindow::buttonToolTip(mailboxButton(3)).isEmpty());
    EXPECT_TRUE(app::MainWindow::buttonToolTip(mailboxButton(4)).isEmpty());

    // Hovering a button.
    auto hover = [&](int k) {
        QWidget* button = window->mailboxToolBar()->widgetForAction(mailboxButton(k));
        QToolTip::hideText();  // hides after a short delay
        EXPECT_TRUE(waitFor([] { return !QToolTip::isVisible(); }, 2000));
        QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(button, &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    // What it shows: the tip and the shortcut that presses the button (never the caption).
    EXPECT_EQ(hover(0), QStringLiteral("li@163.com（Ctrl+1）"));
    EXPECT_EQ(hover(3), QStringLiteral("Ctrl+4"));
    EXPECT_EQ(hover(2), QStringLiteral("http://example.invalid/a（Ctrl+3）"));
    QToolTip::hideText();

    // The navigation frame's tips.
    EXPECT_EQ(window->findChild<QWidget*>(QStringLiteral("外形框3"))->toolTip(), QStringLiteral("边缘可拖动"));
    EXPECT_EQ(window->findChild<QWidget*>(QStringLiteral("后退按钮"))->toolTip(), QStringLiteral("后退（Alt+←）"));
    EXPECT_EQ(window->findChild<QWidget*>(QStringLiteral("主页按钮"))->toolTip(),
              QStringLiteral("返回主页（Alt+Home）"));
    EXPECT_EQ(window->findChild<QWidget*>(QStringLiteral("前进按钮"))->toolTip(), QStringLiteral("前进（Alt+→）"));

    // Another window renames a button the way the interface says.
    window->findChild<QToolBar*>(QStringLiteral("工具条1"))->actions().at(0)->setText(QStringLiteral("新名"));
    EXPECT_EQ(mailboxButton(0)->text(), QStringLiteral("新名"));
}

TEST_F(MainWindowTest, ResizingKeepsThePanelsAnchored) {
    start();
    auto rectOf = [&](const char16_t* name) {
        return window->findChild<QWidget*>(QString::fromUtf16(name))->geometry();
    };
    const QRect bar1 = rectOf(u"工具条1"), bar2 = rectOf(u"工具条2"), left = rectOf(u"外形框1");
    const QRect right = rectOf(u"外形框2"), pane = rectOf(u"超文本浏览框1"), split = rectOf(u"分隔条1");
    const QRect nav = rectOf(u"外形框3");

    window->resize(window->width() + 100, window->height() + 50);
    QApplication::processEvents();
    EXPECT_EQ(rectOf(u"超文本浏览框1"), pane.adjusted(0, 0, 100, 50));
    EXPECT_EQ(rectOf(u"外形框2"), right.adjusted(0, 0, 100, 50));
    EXPECT_EQ(rectOf(u"外形框1"), left.adjusted(0, 0, 0, 50));
    EXPECT_EQ(rectOf(u"分隔条1"), split.adjusted(0, 0, 0, 50));
    EXPECT_EQ(rectOf(u"工具条1"), bar1.adjusted(0, 0, 0, 50));
    EXPECT_EQ(rectOf(u"工具条2"), bar2.translated(0, 50));
    EXPECT_EQ(rectOf(u"外形框3"), nav);  // the navigation frame moves only when dragged
    EXPECT_EQ(rectOf(u"状态条1"), QRect(0, window->height() - 20, window->width(), 20));
    // The browser view inside the pane fills it.
    EXPECT_EQ(window->pane()->view()->size(), pane.adjusted(0, 0, 100, 50).size());
}

TEST_F(MainWindowTest, NavigationFrameCanBeDragged) {
    start();
    auto* nav = window->findChild<QFrame*>(QStringLiteral("外形框3"));
    const QPoint grab(1, 14);  // on the frame's edge, beside the back button
    const QPoint startGlobal = nav->mapToGlobal(grab);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(grab), QPointF(startGlobal), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(nav, &press);
    const QPoint toGlobal = startGlobal + QPoint(-300, 200);
    QMouseEvent move(QEvent::MouseMove, QPointF(nav->mapFromGlobal(toGlobal)), QPointF(toGlobal), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(nav, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(nav->mapFromGlobal(toGlobal)), QPointF(toGlobal),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(nav, &release);
    EXPECT_EQ(nav->pos(), QPoint(610, 205));

    // Dragged far beyond the window it stays inside, where it can be reached.
    QApplication::sendEvent(nav, &press);
    const QPoint far = nav->mapToGlobal(grab) + QPoint(5000, 5000);
    QMouseEvent moveFar(QEvent::MouseMove, QPointF(nav->mapFromGlobal(far)), QPointF(far), Qt::NoButton, Qt::LeftButton,
                        Qt::NoModifier);
    QApplication::sendEvent(nav, &moveFar);
    EXPECT_EQ(nav->geometry().bottomRight(), QPoint(window->width() - 1, window->height() - 1));
}

TEST_F(MainWindowTest, MailboxClickOpensTheProviderPageAndMovesThePressedButton) {
    pointProvidersAtServer();
    editDatabase([] {
        writeMailbox(3, QStringLiteral("三"), QStringLiteral("邮箱"), providerKey(3), QStringLiteral("li"));
        writeMailbox(5, QStringLiteral("五"), QStringLiteral("邮箱"), QStringLiteral("nowhere.example"));
        writeMailbox(6, QStringLiteral("六"), QStringLiteral("网址"), QString(), {}, QString());
        writeMailbox(7, QStringLiteral("七"), QStringLiteral("邮箱"), providerKey(12), QStringLiteral("li"));
    });
    start();
    int started = 0;
    QObject::connect(window.get(), &app::MainWindow::mailboxNavigationStarted, [&] { ++started; });
    app::state().loginDone = true;

    mailboxButton(2)->trigger();  // mailbox 3
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/p3")); }));
    EXPECT_EQ(pressedButtons(), QList<int>{2});
    EXPECT_EQ(app::state().selectedButton, 2);
    EXPECT_FALSE(app::state().loginDone);
    EXPECT_EQ(app::state().currentEntry.name, gbk(QStringLiteral("三")));
    EXPECT_EQ(started, 1);

    // An unknown provider: the entry becomes current, nothing else moves.
    app::state().loginDone = true;
    mailboxButton(4)->trigger();
    EXPECT_EQ(app::state().currentEntry.name, gbk(QStringLiteral("五")));
    EXPECT_EQ(app::state().selectedButton, 4);
    EXPECT_EQ(pressedButtons(), QList<int>{2});
    EXPECT_TRUE(app::state().loginDone);
    QTest::qWait(200);
    EXPECT_TRUE(paneShows(QStringLiteral("/p3")));

    // The next navigating click presses its own button only, whatever was selected.
    mailboxButton(6)->trigger();
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/p12")); }));
    EXPECT_EQ(pressedButtons(), QList<int>{6});

    // Home clears the pressed state; selection and login flag stay.
    app::state().loginDone = true;
    window->findChild<QPushButton*>(QStringLiteral("主页按钮"))->click();
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/home")); }));
    EXPECT_TRUE(pressedButtons().isEmpty());
    EXPECT_EQ(app::state().selectedButton, 6);
    EXPECT_TRUE(app::state().loginDone);

    // Clicking mailbox 3 again presses it again and shows its page as it was left,
    // without loading it again.
    const qsizetype before = requestsOf(QStringLiteral("/p3"));
    mailboxButton(2)->trigger();
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/p3")); }));
    EXPECT_EQ(pressedButtons(), QList<int>{2});
    QTest::qWait(200);
    EXPECT_EQ(requestsOf(QStringLiteral("/p3")), before);

    // The button of the mailbox shown: its page is loaded again.
    mailboxButton(2)->trigger();
    ASSERT_TRUE(waitFor([&] { return requestsOf(QStringLiteral("/p3")) == before + 1; }));
    EXPECT_EQ(pressedButtons(), QList<int>{2});

    // Back and forward walk the history of the page shown.
    window->pane()->setUrl(server.address(QStringLiteral("/home")));
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/home")); }));
    window->findChild<QPushButton*>(QStringLiteral("后退按钮"))->click();
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/p3")); }));
    window->findChild<QPushButton*>(QStringLiteral("前进按钮"))->click();
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/home")); }));

    // An index out of range only becomes the selected index.
    window->onMailboxButton(11);
    EXPECT_EQ(app::state().selectedButton, 11);
    EXPECT_EQ(pressedButtons(), QList<int>{2});
}

TEST_F(MainWindowTest, AddressEntriesNavigateEvenWhenEmpty) {
    server.setPage(QStringLiteral("/own"), "<html><body>own</body></html>");
    editDatabase([&] {
        writeMailbox(1, QStringLiteral("网址"), QStringLiteral("网址"), QString(), {},
                     server.address(QStringLiteral("/own")));
        writeMailbox(2, QStringLiteral("空址"), QStringLiteral("网址"), QString(), {}, QString());
    });
    start();
    mailboxButton(0)->trigger();
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/own")); }));
    EXPECT_EQ(pressedButtons(), QList<int>{0});
    mailboxButton(1)->trigger();
    ASSERT_TRUE(waitFor([&] { return window->pane()->IsReady() && window->pane()->url() == u"about:blank"; }));
    EXPECT_EQ(pressedButtons(), QList<int>{1});
}

TEST_F(MainWindowTest, StatusPanesShowTheWelcomeAndTheBrowserStatus) {
    window = std::make_unique<app::MainWindow>(server.address(QStringLiteral("/home")));
    EXPECT_EQ(window->statusPaneText(0), QStringLiteral("提示信息：欢迎使用澜禾软件之《云梭邮盒》！"));
    ASSERT_EQ(window->create(), app::StartOutcome::Running);
    ASSERT_TRUE(waitFor([&] { return window->pane()->IsReady(); }));
    // The pane's last text after a load is its "done" text; pane 1 shows it.
    ASSERT_TRUE(waitFor([&] { return !window->pane()->StatusText().isEmpty(); }));
    EXPECT_EQ(window->statusPaneText(1), window->pane()->StatusText());
    EXPECT_NE(window->statusPaneText(1), QStringLiteral("提示信息：就绪！"));
    EXPECT_EQ(window->statusPaneText(0), QStringLiteral("提示信息：欢迎使用澜禾软件之《云梭邮盒》！"));
}

TEST_F(MainWindowTest, NoticesShowInPaneOneForAWhileAndHideNeitherPane) {
    server.setPage(QStringLiteral("/other"), "<html><head><title>other</title></head><body>other</body></html>");
    start();
    ASSERT_TRUE(waitFor([&] { return !window->pane()->StatusText().isEmpty(); }));
    auto* statusBar = window->findChild<QStatusBar*>(QStringLiteral("状态条1"));
    ASSERT_NE(statusBar, nullptr);
    QList<QLabel*> panes = statusBar->findChildren<QLabel*>();
    ASSERT_GE(panes.size(), 2);
    auto paneShown = [&](int pane) {
        for (QLabel* label : panes) {
            if (label->text() == window->statusPaneText(pane)) return label->isVisible();
        }
        return false;
    };

    app::StatusPane* pane1 = window->browserStatusPane();
    EXPECT_EQ(pane1->noticeDuration(), 10000);
    pane1->setNoticeDuration(60000);  // long enough for a page load on a busy machine
    // The login driver's notices take this way.
    const QString notice =
        QStringLiteral("提示信息：登录网页转到了其他网站（evil.example），没有自动填写用户名和密码！");
    emit window->loginDriver()->loginFinished(login::LoginOutcome::Refused, QStringLiteral("evil.example"));
    EXPECT_EQ(window->statusPaneText(1), notice);
    EXPECT_EQ(window->statusPaneText(0), QStringLiteral("提示信息：欢迎使用澜禾软件之《云梭邮盒》！"));
    EXPECT_TRUE(paneShown(0));
    EXPECT_TRUE(paneShown(1));
    EXPECT_TRUE(statusBar->currentMessage().isEmpty());

    // The browser goes on reporting meanwhile; its latest text comes back afterwards.
    window->pane()->setUrl(server.address(QStringLiteral("/other")));
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/other")); }));
    EXPECT_EQ(window->statusPaneText(1), notice);
    pane1->setNoticeDuration(100);  // restarts the running notice's time
    ASSERT_TRUE(waitFor([&] { return !pane1->noticeShown(); }, 5000));
    EXPECT_EQ(window->statusPaneText(1), window->pane()->StatusText());
    EXPECT_EQ(pane1->browserStatus(), window->pane()->StatusText());
    EXPECT_TRUE(paneShown(0));

    // A second notice replaces the first and starts its own time.
    pane1->setNoticeDuration(2000);
    window->showStatusNotice(QStringLiteral("一"));
    QTest::qWait(1200);
    window->showStatusNotice(QStringLiteral("二"));
    EXPECT_EQ(window->statusPaneText(1), QStringLiteral("二"));
    QElapsedTimer sinceSecond;
    sinceSecond.start();
    ASSERT_TRUE(waitFor([&] { return !pane1->noticeShown(); }, 5000));
    // Ended by its own time, not what was left of the first notice's (a timer may fire
    // a little early).
    EXPECT_GE(sinceSecond.elapsed(), 1700);
    EXPECT_EQ(window->statusPaneText(1), window->pane()->StatusText());
}

TEST_F(MainWindowTest, NewWindowsFollowTheStoredOption) {
    server.setPage(QStringLiteral("/opener"), "<html><body><a id=l target=_blank href=\"/popup\">x</a></body></html>");
    server.setPage(QStringLiteral("/popup"), "<html><body>popup</body></html>");
    start();
    ASSERT_FALSE(app::state().allowNewWindows);
    window->pane()->setUrl(server.address(QStringLiteral("/opener")));
    ASSERT_TRUE(waitFor([&] { return paneShows(QStringLiteral("/opener")); }));
    auto clickLink = [&] {
        window->pane()->view()->page()->runJavaScript(QStringLiteral("document.getElementById('l').click()"));
    };
    clickLink();
    QTest::qWait(500);
    EXPECT_FALSE(server.requests().contains(QStringLiteral("/popup")));

    // The settings window changes the flag in memory; the next request is allowed.
    app::state().allowNewWindows = true;
    clickLink();
    ASSERT_TRUE(waitFor([&] { return server.requests().contains(QStringLiteral("/popup")); }));
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QWebEngineView*>(w)) w->close();
    }
}

}  // namespace
