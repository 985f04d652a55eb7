// One click on a configured mailbox in the real main window, with the record database of
// a temporary program folder and the test server standing in for the provider: the
// server must receive the user name, the password and the domain.
#include <gtest/gtest.h>

#include <QAction>
#include <QTemporaryDir>
#include <QToolBar>
#include <memory>

#include "app/main_window.h"
#include "app/program_state.h"
#include "app/startup.h"
#include "login/browser_pane.h"
#include "login/login_driver.h"
#include "login_test_server.h"
#include "page_host.h"
#include "platform/dialogs.h"
#include "platform/gbk.h"
#include "platform/program_folder.h"
#include "records/mailbox_store.h"
#include "records/record_database.h"

namespace login {
namespace {

using login_test::LoginTestServer;
using login_test::waitUntil;

std::string gbk(const char* utf8) { return platform::utf8ToGbk(utf8); }

class MailboxClickTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        ASSERT_TRUE(m_server.listening());
        platform::setProgramFolder(m_folder.path().toStdString());
        app::releaseProgramState();
        ASSERT_TRUE(records::copyMailboxDatabase(TMBL_PROGRAM_DIR, m_folder.path().toStdString()));
        std::vector<std::string> addresses;
        for (int row = 1; row <= 21; ++row)
            addresses.push_back(m_server.url(QStringLiteral("/login%1").arg(row)).toStdString());
        records::setProviderAddresses(addresses);
        m_server.setPage(QStringLiteral("/home"), "<html><body>home</body></html>");
    }
    void TearDown() override {
        m_window.reset();
        app::releaseProgramState();
        records::closeAllDatabases();
        records::setProviderAddresses({});
        platform::setProgramFolder({});
    }

    void configureMailbox(int record, int row, const std::string& user, const std::string& password) {
        ASSERT_TRUE(records::openMailboxDatabase(m_folder.path().toStdString()));
        records::MailboxEntry entry = records::readMailboxEntry(record).value;
        entry.name = gbk("我的信箱");
        entry.userName = user;
        entry.password = records::encodePassword(password);
        entry.type = records::providerTable().at(static_cast<size_t>(row - 1)).key;
        entry.loginKind = gbk("邮箱");
        ASSERT_TRUE(records::writeEntry(record, entry));
        records::closeMailboxDatabase(m_folder.path().toStdString());
    }

    void start() {
        m_window = std::make_unique<app::MainWindow>(m_server.url(QStringLiteral("/home")));
        ASSERT_EQ(m_window->create(), app::StartOutcome::Running);
        ASSERT_TRUE(waitUntil([&] { return m_window->pane()->IsReady(); }));
    }

    QTemporaryDir m_folder;
    LoginTestServer m_server;
    platform::ScriptedDialogs m_dialogs;
    std::unique_ptr<app::MainWindow> m_window;
};

TEST_F(MailboxClickTest, OneClickSubmitsUserPasswordAndDomain) {
    m_server.setPage(QStringLiteral("/login2"),
                     "<html><body><form method=post action=/session><input name=user><input type=password name=pass>"
                     "<select name=domain><option>first</option><option>second</option><option>third</option></select>"
                     "<input type=submit value=Login></form></body></html>");
    configureMailbox(4, 2, "zhang.san", gbk("口令xyz"));
    start();

    m_window->mailboxToolBar()->actions().at(3)->trigger();
    // The notice is up from the click until the attempt is over.
    EXPECT_TRUE(m_window->loginDriver()->isWaitingWindowOpen());
    ASSERT_TRUE(waitUntil([&] { return !m_server.submissions().isEmpty(); }));
    const login_test::Submission& s = m_server.submissions().front();
    EXPECT_EQ(s.path, QStringLiteral("/session"));
    EXPECT_EQ(s.field("user"), "zhang.san");
    EXPECT_EQ(s.field("pass"), QByteArray::fromStdString(gbk("口令xyz")));
    EXPECT_EQ(s.field("domain"), "second");
    EXPECT_TRUE(app::state().loginDone);
    EXPECT_FALSE(m_window->loginDriver()->isWaitingWindowOpen());
    EXPECT_TRUE(m_dialogs.messages().empty());
}

TEST_F(MailboxClickTest, ALoginAddressThatLeavesTheSiteIsNotFilledAndTheStatusBarSaysSo) {
    m_server.setPage(QStringLiteral("/away"),
                     "<html><body><form method=post action=/session><input name=user><input type=password name=pass>"
                     "<input type=submit></form></body></html>");
    m_server.setRedirect(QStringLiteral("/login10"),
                         m_server.url(QStringLiteral("/away"), QStringLiteral("localhost")));
    configureMailbox(1, 10, "li", "secret");
    start();

    m_window->mailboxToolBar()->actions().at(0)->trigger();
    // The notice takes status pane 1 for a while.
    ASSERT_TRUE(waitUntil([&] { return m_window->statusPaneText(1).contains(QStringLiteral("localhost")); }));
    QTest::qWait(300);
    EXPECT_TRUE(m_server.submissions().isEmpty());
    EXPECT_FALSE(app::state().loginDone);
}

}  // namespace
}  // namespace login
