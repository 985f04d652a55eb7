// Downloads from a real FTP server (Debian's pyftpdlib) in passive and active mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "engine_test_support.h"
#include "test_http_server.h"
#include "update/download_engine.h"

using namespace update;
using namespace test;

namespace {

constexpr const char* kServerScript = R"(
import sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

root, mode = sys.argv[1], sys.argv[2]
authorizer = DummyAuthorizer()
authorizer.add_user('user', 'secret', root, perm='elr')
authorizer.add_anonymous(root)

class Handler(FTPHandler):
    pass

Handler.authorizer = authorizer
if mode == 'active':
    Handler.ftp_PASV = lambda self, line: self.respond('502 Passive mode disabled.')
    Handler.ftp_EPSV = lambda self, line: self.respond('502 Passive mode disabled.')
if mode == 'norest':
    Handler.ftp_REST = lambda self, line: self.respond('502 No restarts here.')

server = FTPServer(('127.0.0.1', 0), Handler)
print(server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";

bool pythonHasFtpServer() { return std::system(TMBL_SYSTEM_PYTHON " -c 'import pyftpdlib' >/dev/null 2>&1") == 0; }

class FtpServer {
public:
    FtpServer(const std::string& root, const std::string& mode) {
        const std::string script = root + "/../ftp_server.py";
        std::ofstream(script) << kServerScript;
        int out[2];
        if (::pipe(out) != 0) return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            const int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 2);
            ::execl(TMBL_SYSTEM_PYTHON, TMBL_SYSTEM_PYTHON, script.c_str(), root.c_str(), mode.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char ch = 0;
        while (::read(out[0], &ch, 1) == 1 && ch != '\n') line += ch;
        ::close(out[0]);
        m_port = std::atoi(line.c_str());
    }
    ~FtpServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    int port() const { return m_port; }
    std::string url(const std::string& path, const std::string& login = {}) const {
        return "ftp://" + login + "127.0.0.1:" + std::to_string(m_port) + path;
    }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

class FtpDownload : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pythonHasFtpServer()) GTEST_SKIP() << TMBL_SYSTEM_PYTHON " has no pyftpdlib";
        std::filesystem::create_directory(m_folder.file("root"));
        std::filesystem::create_directory(m_folder.file("out"));
        m_body = randomBytes(300001, 21);
        std::ofstream(m_folder.file("root/setup.exe"), std::ios::binary) << m_body;
        std::ofstream(m_folder.file("root/notes.txt"), std::ios::binary) << "line one\nline two\n";
    }
    std::string out(const std::string& name) const { return m_folder.file("out/" + name); }

    TempFolder m_folder;
    std::string m_body;
};

}  // namespace

TEST_F(FtpDownload, PassiveModeWithFiveConnectionsAndAHiddenPassword) {
    FtpServer server(m_folder.file("root"), "passive");
    ASSERT_GT(server.port(), 0);
    DownloadRun run;
    auto p = quickParameters(server.url("/setup.exe"), out("setup.exe"), 5);
    p.userName = "user";
    p.password = "secret";
    runDownload(run, p);
    EXPECT_EQ(hashOf(readFile(out("setup.exe"))), hashOf(m_body)) << run.allTexts();
    EXPECT_TRUE(run.last().complete);
    EXPECT_GE(run.eventsOf(kEventConnectionStarted).size(), 5u);
    EXPECT_EQ(run.eventsOf(kEventSizeKnown).at(0).value, 300001);
    EXPECT_TRUE(run.hasText(status::kFtpWaitWelcome));
    EXPECT_TRUE(run.hasText(status::kFtpLoggedIn));
    EXPECT_TRUE(run.hasText(status::kFtpResumeSupported));
    EXPECT_TRUE(run.hasText("PASS ******"));
    EXPECT_TRUE(run.hasText("REST 240000"));
    EXPECT_TRUE(run.hasText("RETR /setup.exe"));
    EXPECT_FALSE(run.hasText("CWD /"));  // a file in the top folder needs no change
    EXPECT_EQ(run.allTexts().find("secret"), std::string::npos);
}

TEST_F(FtpDownload, FilesInSubfoldersAreFetchedFromTheirFolder) {
    std::filesystem::create_directories(m_folder.file("root/pub/deep"));
    std::ofstream(m_folder.file("root/pub/deep/inner.bin"), std::ios::binary) << m_body;
    FtpServer server(m_folder.file("root"), "passive");
    ASSERT_GT(server.port(), 0);
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/pub/deep/inner.bin"), out("inner.bin"), 2));
    EXPECT_TRUE(run.hasText("CWD /pub/deep"));
    EXPECT_TRUE(run.hasText("SIZE inner.bin"));
    EXPECT_EQ(hashOf(readFile(out("inner.bin"))), hashOf(m_body));

    DownloadRun missing;
    runDownload(missing, quickParameters(server.url("/nowhere/inner.bin"), out("x.bin"), 2));
    EXPECT_TRUE(missing.hasText(status::kFtpNoSuchFile));
    EXPECT_FALSE(missing.last().complete);
}

TEST_F(FtpDownload, ActiveModeWhenPassiveIsRefused) {
    FtpServer server(m_folder.file("root"), "active");
    ASSERT_GT(server.port(), 0);
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/setup.exe"), out("setup.exe"), 3));
    EXPECT_TRUE(run.hasText(status::kFtpTryActive));
    EXPECT_EQ(hashOf(readFile(out("setup.exe"))), hashOf(m_body)) << run.allTexts();
    EXPECT_TRUE(run.last().complete);
}

TEST_F(FtpDownload, WithoutResumingOneConnectionFetchesEverything) {
    FtpServer server(m_folder.file("root"), "norest");
    ASSERT_GT(server.port(), 0);
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/setup.exe"), out("setup.exe"), 4));
    EXPECT_TRUE(run.hasText(status::kFtpResumeUnsupported));
    EXPECT_EQ(run.eventsOf(kEventConnectionStarted).size(), 1u);
    EXPECT_EQ(hashOf(readFile(out("setup.exe"))), hashOf(m_body));
}

TEST_F(FtpDownload, TransferTypeFollowsTheFileTypeList) {
    FtpServer server(m_folder.file("root"), "passive");
    ASSERT_GT(server.port(), 0);
    DownloadRun byList;
    auto p = quickParameters(server.url("/setup.exe"), out("setup.exe"), 2);
    p.ftpTransferType = 3;
    runDownload(byList, p);
    EXPECT_FALSE(byList.hasText("TYPE A"));  // ".exe" is in the list: binary
    EXPECT_EQ(hashOf(readFile(out("setup.exe"))), hashOf(m_body));

    DownloadRun text;
    p = quickParameters(server.url("/notes.txt"), out("notes.txt"), 1);
    p.ftpTransferType = 3;
    runDownload(text, p);
    EXPECT_TRUE(text.hasText("TYPE A"));
    EXPECT_TRUE(std::filesystem::exists(out("notes.txt")));
}

TEST_F(FtpDownload, MissingFilesAndWrongPasswordsEndTheTask) {
    FtpServer server(m_folder.file("root"), "passive");
    ASSERT_GT(server.port(), 0);
    DownloadRun missing;
    runDownload(missing, quickParameters(server.url("/nothing.bin"), out("nothing.bin"), 2));
    EXPECT_TRUE(missing.hasText(status::kFtpNoSuchFile));
    EXPECT_FALSE(missing.last().complete);
    EXPECT_FALSE(std::filesystem::exists(out("nothing.bin")));

    DownloadRun refused;
    auto p = quickParameters(server.url("/setup.exe", "user:wrong@"), out("x.exe"), 2);
    p.receiveTimeoutMs = 10000;  // the server answers a wrong password only after a pause
    runDownload(refused, p);
    EXPECT_TRUE(refused.hasText(status::kFtpLoginFailed));
    EXPECT_FALSE(refused.hasText("等待0秒后重试"));
    EXPECT_FALSE(refused.last().complete);
}
