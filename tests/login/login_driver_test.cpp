// The login driver end to end on the real browser pane: a mailbox "click" points the pane
// at a login page of the local server, the driver fills it on DocumentReady, and the
// server records what the browser really submitted.
#include "login/login_driver.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>

#include "app/program_state.h"
#include "login/browser_pane.h"
#include "login/waiting_window.h"
#include "login_test_server.h"
#include "page_host.h"
#include "platform/dialogs.h"
#include "platform/gbk.h"
#include "records/mailbox_store.h"

namespace login {
namespace {

using login_test::LoginTestServer;
using login_test::Submission;

std::string gbk(const char* utf8) { return platform::utf8ToGbk(utf8); }
QByteArray gbkBytes(const char* utf8) { return QByteArray::fromStdString(gbk(utf8)); }

const std::string& key(int row) { return records::providerTable().at(static_cast<size_t>(row - 1)).key; }

// The page with the fields the rule of a row expects, submitting to /submit.
std::string loginPage(const std::string& fields) {
    return "<html><head><title>login</title></head><body><form method=post action=\"/submit\">" + fields +
           "</form></body></html>";
}
const std::string kPlainForm =
    "<input type=text name=u><input type=password name=p><input type=submit name=go value=Login>";
const std::string kDomainForm =
    "<input type=text name=u><input type=password name=p>"
    "<select name=domain><option value=one>one</option><option value=two>two</option>"
    "<option value=three>three</option></select><input type=submit value=Login>";
const std::string kImageForm =
    "<input type=text name=u><input type=text name=code><input type=password name=p>"
    "<input type=submit name=wrong value=no><input type=image name=img src=\"/none.png\">";

class LoginDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.listening());
        std::vector<std::string> addresses;
        for (int row = 1; row <= 21; ++row)
            addresses.push_back(m_server.url(QStringLiteral("/row%1.html").arg(row)).toStdString());
        records::setProviderAddresses(addresses);
        for (int row = 1; row <= 21; ++row)
            m_server.setPage(QStringLiteral("/row%1.html").arg(row), loginPage(kPlainForm));

        m_window.resize(900, 600);
        m_pane = new BrowserPane(&m_window);
        m_pane->resize(900, 600);
        m_driver = new LoginDriver(m_pane, &m_window, &m_window);
        QObject::connect(m_pane, &BrowserPane::DocumentReady, m_driver, &LoginDriver::onDocumentReady,
                         Qt::DirectConnection);
        QObject::connect(m_pane, &BrowserPane::DocumentReady, m_pane, [this] { ++m_ready; });
        // What the main window makes of an outcome.
        QObject::connect(m_driver, &LoginDriver::loginFinished, m_driver,
                         [this](LoginOutcome outcome, const QString& detail) {
                             m_outcomes.append(outcome);
                             if (outcome == LoginOutcome::LoggedIn || outcome == LoginOutcome::NothingToFill)
                                 app::state().loginDone = true;
                             if (outcome == LoginOutcome::NotALoginPage)
                                 platform::messageBox(&m_window, QString::fromUtf16(kNotALoginPageMessage),
                                                      platform::MessageIcon::Error);
                             if (outcome == LoginOutcome::Refused || outcome == LoginOutcome::Insecure)
                                 m_statusMessages.append(detail);
                         });
        m_window.show();
        app::state().reset();
    }
    void TearDown() override {
        records::setProviderAddresses({});
        app::state().reset();
    }

    // What a click on mailbox button 0 does to the program state and the pane.
    void click(const std::string& type, const std::string& user, const std::string& password,
               const std::string& kind = gbk("邮箱"), const QString& address = {}) {
        records::MailboxEntry entry;
        entry.userName = user;
        entry.password = records::encodePassword(password);
        entry.type = type;
        entry.loginKind = kind;
        app::ProgramState& state = app::state();
        state.currentEntry = entry;
        state.selectedButton = 0;
        state.loginDone = false;
        m_readyBefore = m_ready;
        const std::optional<std::string> login = records::providerAddress(type);
        m_pane->setUrl(!address.isEmpty() ? address : login ? QString::fromStdString(*login) : QString());
        m_driver->startLogin(entry);
    }

    // Waits for n submissions; false when they do not come.
    bool waitForSubmissions(int n) {
        return login_test::waitUntil([&] { return m_server.submissions().size() >= n; }, 15000);
    }
    // Waits until the pane reported a complete page after the last click, then a little
    // longer so that anything the driver would submit has reached the server.
    bool settle(int extraMs = 700) {
        const bool ready = login_test::waitUntil([&] { return m_pane->IsReady() && m_ready > m_readyBefore; }, 15000);
        QTest::qWait(extraMs);
        return ready;
    }

    LoginTestServer m_server;
    QWidget m_window;
    BrowserPane* m_pane = nullptr;
    LoginDriver* m_driver = nullptr;
    platform::ScriptedDialogs m_dialogs;
    QStringList m_statusMessages;
    QList<LoginOutcome> m_outcomes;
    int m_ready = 0;
    int m_readyBefore = 0;
};

using FillTest = LoginDriverTest;

TEST_F(FillTest, DomainListRowsTypeUserAndPasswordAndPickTheirOption) {
    for (int row = 1; row <= 6; ++row) m_server.setPage(QStringLiteral("/row%1.html").arg(row), loginPage(kDomainForm));
    const char* expectedOption[] = {"one", "two", "three", "one", "two", "three"};
    for (int row = 1; row <= 6; ++row) {
        m_server.clear();
        click(key(row), "zhang", "secret");
        ASSERT_TRUE(waitForSubmissions(1)) << "row " << row;
        const Submission& s = m_server.submissions().front();
        EXPECT_EQ(s.path, QStringLiteral("/submit"));
        EXPECT_EQ(s.field("u"), "zhang") << "row " << row;
        EXPECT_EQ(s.field("p"), "secret") << "row " << row;
        EXPECT_EQ(s.field("domain"), expectedOption[row - 1]) << "row " << row;
        EXPECT_TRUE(app::state().loginDone);
        if (row == 1) {
            // The page after the login is left alone.
            ASSERT_TRUE(settle());
            EXPECT_EQ(m_server.submissions().size(), 1);
        }
    }
    EXPECT_TRUE(m_dialogs.messages().empty());
    EXPECT_FALSE(m_driver->isWaitingWindowOpen());
}

TEST_F(FillTest, AddressRowsTypeTheFullAddressAndPlainRowsTheUserName) {
    for (int row : {7, 8, 11, 13, 14}) {
        m_server.clear();
        click(key(row), "li", "pw1");
        ASSERT_TRUE(waitForSubmissions(1)) << "row " << row;
        EXPECT_EQ(m_server.submissions().front().field("u"), QByteArray::fromStdString("li@" + key(row)))
            << "row " << row;
        EXPECT_EQ(m_server.submissions().front().field("p"), "pw1");
        EXPECT_TRUE(app::state().loginDone);
    }
    for (int row : {10, 12, 15, 16, 17, 18, 19, 20}) {
        m_server.clear();
        click(key(row), "wang", "pw2");
        ASSERT_TRUE(waitForSubmissions(1)) << "row " << row;
        EXPECT_EQ(m_server.submissions().front().field("u"), "wang") << "row " << row;
        EXPECT_EQ(m_server.submissions().front().field("p"), "pw2");
        EXPECT_EQ(m_server.submissions().front().field("go"), "Login");  // button 1 clicked
    }
}

TEST_F(FillTest, ImageRowTypesThePasswordIntoTheThirdBoxAndClicksTheImage) {
    m_server.setPage(QStringLiteral("/row21.html"), loginPage(kImageForm));
    click(key(21), "zhao", "pw3");
    ASSERT_TRUE(waitForSubmissions(1));
    const Submission& s = m_server.submissions().front();
    EXPECT_EQ(s.field("u"), "zhao");
    EXPECT_EQ(s.field("code"), "");
    EXPECT_EQ(s.field("p"), "pw3");
    EXPECT_TRUE(s.has("img.x"));  // the image input submitted the form
    EXPECT_FALSE(s.has("wrong"));
    EXPECT_TRUE(app::state().loginDone);
}

TEST_F(FillTest, RowWithoutRuleAndAddressLoginsTypeNothing) {
    // Row 9: the page is opened, nothing typed, the login counts as done.
    click(key(9), "zhou", "pw");
    ASSERT_TRUE(settle());
    EXPECT_TRUE(m_server.submissions().isEmpty());
    EXPECT_TRUE(app::state().loginDone);
    EXPECT_TRUE(m_dialogs.messages().empty());

    // Kind "网址": the page is only navigated to, even with a login form on it.
    click(key(10), "zhou", "pw", gbk("网址"), m_server.url(QStringLiteral("/row10.html")));
    ASSERT_TRUE(settle());
    EXPECT_TRUE(m_server.submissions().isEmpty());
    EXPECT_FALSE(app::state().loginDone);
}

TEST_F(FillTest, FieldOrderAsThePagesGiveIt) {
    // A hidden input between user and password does not shift them.
    m_server.setPage(QStringLiteral("/row10.html"),
                     loginPage("<input name=u><input type=hidden name=h value=keep><input type=password name=p>"
                               "<input type=email name=mail><input type=submit>"));
    click(key(10), "a1", "b1");
    ASSERT_TRUE(waitForSubmissions(1));
    EXPECT_EQ(m_server.submissions().at(0).field("u"), "a1");
    EXPECT_EQ(m_server.submissions().at(0).field("h"), "keep");
    EXPECT_EQ(m_server.submissions().at(0).field("p"), "b1");
    EXPECT_EQ(m_server.submissions().at(0).field("mail"), "");  // an email input is in no list

    // A search box before them is text box 1, so text box 2 is no password field: the
    // rule would show the password in a text box. The form itself is filled instead:
    // the password field and the user field before it.
    m_server.setPage(QStringLiteral("/row12.html"),
                     loginPage("<input name=q><input name=u><input type=password name=p><input type=submit>"));
    click(key(12), "a2", "b2");
    ASSERT_TRUE(waitForSubmissions(2));
    EXPECT_EQ(m_server.submissions().at(1).field("q"), "");
    EXPECT_EQ(m_server.submissions().at(1).field("u"), "a2");
    EXPECT_EQ(m_server.submissions().at(1).field("p"), "b2");

    // A button element as the only submit control.
    m_server.setPage(QStringLiteral("/row15.html"),
                     loginPage("<input name=u><input type=password name=p><button name=b value=x>Go</button>"));
    click(key(15), "a3", "b3");
    ASSERT_TRUE(waitForSubmissions(3));
    EXPECT_EQ(m_server.submissions().at(2).field("u"), "a3");
    EXPECT_EQ(m_server.submissions().at(2).field("p"), "b3");
    EXPECT_EQ(m_server.submissions().at(2).field("b"), "x");
}

TEST_F(FillTest, PasswordsArriveAsStored) {
    // A Chinese password, stored as GBK bytes, reaches the GBK page's server intact.
    click(key(10), gbk("用户"), gbk("密码abc"));
    ASSERT_TRUE(waitForSubmissions(1));
    EXPECT_EQ(m_server.submissions().at(0).field("u"), gbkBytes("用户"));
    EXPECT_EQ(m_server.submissions().at(0).field("p"), gbkBytes("密码abc"));

    // An empty password writes an empty text.
    m_server.setPage(QStringLiteral("/row16.html"),
                     loginPage("<input name=u><input type=password name=p value=prefilled><input type=submit>"));
    click(key(16), "u2", "");
    ASSERT_TRUE(waitForSubmissions(2));
    EXPECT_TRUE(m_server.submissions().at(1).has("p"));
    EXPECT_EQ(m_server.submissions().at(1).field("p"), "");

    // Clicking the same mailbox again loads and fills the page again.
    click(key(16), "u2", "again");
    ASSERT_TRUE(waitForSubmissions(3));
    EXPECT_EQ(m_server.submissions().at(2).field("p"), "again");
}

TEST_F(FillTest, FramedAndLateFormsAreFilledAndOnlyAPageWithoutAnyGetsTheMessage) {
    const QString message = QString::fromUtf16(kNotALoginPageMessage);
    // The form sits in a frame: the top document has no text box, the frame's agent
    // fills and submits the frame's form.
    m_server.setPage(QStringLiteral("/inner.html"), loginPage(kPlainForm));
    m_server.setPage(QStringLiteral("/row10.html"), "<html><body><iframe src=\"/inner.html\"></iframe></body></html>");
    click(key(10), "u1", "p1");
    ASSERT_TRUE(waitForSubmissions(1));
    EXPECT_EQ(m_server.submissions().at(0).field("u"), "u1");
    EXPECT_EQ(m_server.submissions().at(0).field("p"), "p1");
    EXPECT_TRUE(app::state().loginDone);
    EXPECT_FALSE(m_driver->isWaitingWindowOpen());

    // Text boxes created by script well after the page completed are filled once they
    // appear, and the waiting window stays up until then.
    m_server.setPage(
        QStringLiteral("/row19.html"),
        "<html><body><form method=post action=/submit id=f></form><script>addEventListener('load',"
        "function(){setTimeout(function(){document.getElementById('f').innerHTML="
        "'<input name=u><input type=password name=p><input type=submit>';},3000);});</script></body></html>");
    click(key(19), "u2", "p2");
    ASSERT_TRUE(settle(1000));
    EXPECT_TRUE(m_driver->isWaitingWindowOpen());
    EXPECT_FALSE(app::state().loginDone);
    ASSERT_TRUE(waitForSubmissions(2));
    EXPECT_EQ(m_server.submissions().at(1).field("u"), "u2");
    EXPECT_EQ(m_server.submissions().at(1).field("p"), "p2");
    EXPECT_TRUE(app::state().loginDone);

    // A page that never shows a login field: the message, once, after the quiet time,
    // with the waiting window closed first.
    m_driver->setTimeLimits(20000, 600);
    m_server.setPage(QStringLiteral("/row15.html"), "<html><body><input name=q><p>news</p></body></html>");
    bool windowOpenAtMessage = true;
    QObject::connect(m_driver, &LoginDriver::loginFinished, m_driver,
                     [&] { windowOpenAtMessage = m_driver->isWaitingWindowOpen(); });
    click(key(15), "u3", "p3");
    ASSERT_TRUE(login_test::waitUntil([&] { return !m_dialogs.messages().empty(); }, 5000));
    QTest::qWait(800);
    EXPECT_EQ(m_dialogs.messageTexts(), QStringList{message});
    EXPECT_EQ(m_dialogs.messages().front().icon, platform::MessageIcon::Error);
    EXPECT_FALSE(windowOpenAtMessage);
    EXPECT_EQ(m_server.submissions().size(), 2);
    EXPECT_FALSE(app::state().loginDone);
    EXPECT_FALSE(m_driver->isAttemptRunning());
}

TEST_F(FillTest, AnAttemptThatCannotFinishEndsAtItsTimeLimitAndLaterPagesAreLeftAlone) {
    // An identifier-first page whose next step never comes: the user name goes in, the
    // password never shows, and the attempt gives up at its limit.
    m_driver->setTimeLimits(1500, 600);
    m_server.setPage(QStringLiteral("/row20.html"),
                     loginPage("<input type=email name=email><button type=button name=next>Next</button>"));
    bool windowOpenAtEnd = true;
    QObject::connect(m_driver, &LoginDriver::loginFinished, m_driver,
                     [&] { windowOpenAtEnd = m_driver->isWaitingWindowOpen(); });
    click(key(20), "slow", "never");
    ASSERT_TRUE(login_test::waitUntil([&] { return !m_outcomes.isEmpty(); }, 10000));
    EXPECT_EQ(m_outcomes, QList<LoginOutcome>{LoginOutcome::TimedOut});
    EXPECT_FALSE(windowOpenAtEnd);
    EXPECT_TRUE(m_dialogs.messages().empty());
    EXPECT_FALSE(app::state().loginDone);
    EXPECT_EQ(login_test::inPage(m_pane->view()->page(), QStringLiteral("document.forms[0].email.value")),
              QStringLiteral("slow"));

    // The attempt is over: the page shown again, now with a password field, is not filled.
    m_server.setPage(QStringLiteral("/row20.html"), loginPage(kPlainForm));
    m_readyBefore = m_ready;
    m_pane->BrowseCommand(4);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(m_server.submissions().isEmpty());
    EXPECT_EQ(m_outcomes.size(), 1);
}

TEST_F(FillTest, RedirectToAnotherSiteGetsNothingTyped) {
    // The provider's address sends the browser to another registrable domain.
    m_server.setPage(QStringLiteral("/elsewhere.html"), loginPage(kPlainForm));
    m_server.setRedirect(QStringLiteral("/row10.html"),
                         m_server.url(QStringLiteral("/elsewhere.html"), QStringLiteral("localhost")));
    click(key(10), "victim", "topsecret");
    ASSERT_TRUE(settle());
    EXPECT_EQ(m_pane->view()->url().host(), QStringLiteral("localhost"));
    EXPECT_TRUE(m_server.submissions().isEmpty());
    EXPECT_FALSE(app::state().loginDone);
    ASSERT_FALSE(m_statusMessages.isEmpty());
    EXPECT_TRUE(m_statusMessages.last().contains(QStringLiteral("localhost")));
    EXPECT_TRUE(m_dialogs.messages().empty());
    // Nor did the password reach the page's fields.
    QVariant typed;
    bool done = false;
    m_pane->view()->page()->runJavaScript(QStringLiteral("document.querySelector('[name=p]').value"),
                                          [&](const QVariant& v) {
                                              typed = v;
                                              done = true;
                                          });
    ASSERT_TRUE(login_test::waitUntil([&] { return done; }, 5000));
    EXPECT_EQ(typed.toString(), QString());
}

TEST_F(FillTest, HostilePagesNeitherHangNorBreakTheLogin) {
    // The page's getters and setters throw in its own world; the driver's world is
    // untouched and the login goes through.
    m_server.setPage(
        QStringLiteral("/row18.html"),
        loginPage(kPlainForm + "<script>for (const p of [HTMLInputElement.prototype, HTMLElement.prototype,"
                               "Element.prototype]) for (const n of ['value','type','click','all']) try {"
                               "Object.defineProperty(p, n, {get(){throw 1}, set(){throw 1}}); } catch(e) {}"
                               "</script>"));
    click(key(18), "h1", "h2");
    ASSERT_TRUE(waitForSubmissions(1));
    EXPECT_EQ(m_server.submissions().at(0).field("u"), "h1");
    EXPECT_EQ(m_server.submissions().at(0).field("p"), "h2");

    // A page whose script keeps its thread busy long after loading: the calls give up,
    // the program keeps running, nothing is submitted.
    m_server.setPage(QStringLiteral("/row19.html"),
                     loginPage(kPlainForm + "<script>addEventListener('load',function(){var end=Date.now()+5000;"
                                            "while(Date.now()<end){}});</script>"));
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);
    click(key(19), "b1", "b2");
    ASSERT_TRUE(settle(1500));
    EXPECT_GT(ticks, 5);
    EXPECT_EQ(m_server.submissions().size(), 1);
    EXPECT_FALSE(app::state().loginDone);
    // Once the page is free again, the next mailbox click works.
    ASSERT_TRUE(login_test::waitUntil([&] { return m_server.submissions().size() == 1 && ticks > 60; }, 15000));
    click(key(18), "h3", "h4");
    ASSERT_TRUE(waitForSubmissions(2));
    EXPECT_EQ(m_server.submissions().at(1).field("u"), "h3");
}

TEST(SameSite, HostsShareARegistrableDomainOrAreEqual) {
    EXPECT_TRUE(sameSite(QStringLiteral("mail.example.com"), QStringLiteral("login.example.com")));
    EXPECT_TRUE(sameSite(QStringLiteral("Mail.Example.COM"), QStringLiteral("example.com.")));
    EXPECT_TRUE(sameSite(QStringLiteral("a.example.co.uk"), QStringLiteral("b.c.example.co.uk")));
    EXPECT_TRUE(sameSite(QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.1")));
    EXPECT_FALSE(sameSite(QStringLiteral("example.co.uk"), QStringLiteral("other.co.uk")));
    EXPECT_FALSE(sameSite(QStringLiteral("a.github.io"), QStringLiteral("b.github.io")));
    EXPECT_FALSE(sameSite(QStringLiteral("mail.example.com"), QStringLiteral("example.com.evil.net")));
    EXPECT_FALSE(sameSite(QStringLiteral("127.0.0.1"), QStringLiteral("localhost")));
    EXPECT_FALSE(sameSite(QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")));
    EXPECT_FALSE(sameSite(QString(), QString()));
    EXPECT_TRUE(sameSite(QStringLiteral("邮件.例子.中国"), QStringLiteral("登录.例子.中国")));
}

TEST(FillRules, EveryProviderRowHasItsRule) {
    ASSERT_EQ(records::providerTable().size(), 21u);
    for (int row = 1; row <= 21; ++row) ASSERT_TRUE(fillRuleFor(key(row)).has_value()) << row;
    EXPECT_EQ(fillRuleFor(key(3))->option, 3);
    EXPECT_EQ(fillRuleFor(key(4))->option, 1);
    EXPECT_FALSE(fillRuleFor(key(9))->fills);
    EXPECT_EQ(fillRuleFor(key(21))->passwordBox, 3);
    // Exact, case-sensitive keys only.
    std::string lower = key(1);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower != key(1)) {
        EXPECT_FALSE(fillRuleFor(lower).has_value());
    }
    EXPECT_FALSE(fillRuleFor("").has_value());
    EXPECT_FALSE(fillRuleFor("nowhere.example").has_value());
}

}  // namespace
}  // namespace login

namespace login {
namespace {

TEST(WaitingWindow, CentresOverTheMainWindowAndClosesOnAClickOrEscape) {
    QWidget mainWindow;
    mainWindow.setGeometry(100, 80, 1018, 619);
    mainWindow.show();
    WaitingWindow notice(&mainWindow);
    EXPECT_EQ(notice.size(), QSize(263, 51));
    const QRect frame = mainWindow.frameGeometry();
    EXPECT_EQ(notice.pos(), QPoint(frame.left() + (frame.width() - 263) / 2, frame.top() + (frame.height() - 51) / 2));
    auto* label = notice.findChild<QLabel*>(QStringLiteral("透明标签1"));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), QStringLiteral("正在登录邮箱，请稍候……"));
    EXPECT_EQ(label->geometry(), QRect(52, 14, 160, 24));

    notice.show();
    QTest::mouseClick(&notice, Qt::LeftButton);
    EXPECT_FALSE(notice.isVisible());
    notice.show();
    QTest::keyClick(&notice, Qt::Key_A);
    EXPECT_TRUE(notice.isVisible());
    QTest::keyClick(&notice, Qt::Key_Escape);
    EXPECT_FALSE(notice.isVisible());
}

}  // namespace
}  // namespace login
