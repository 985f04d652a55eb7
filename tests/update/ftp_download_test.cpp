// Downloads from a real FTP server (Debian's pyftpdlib) in passive and active mode.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

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

// A scripted FTP server on 127.0.0.1 for the faults a real server never shows. Each
// control connection is handed to `session` on the server's one thread; every socket
// has 5-second time-outs and the thread ends with the object.
class ScriptedFtpServer {
public:
    using Session = std::function<void(ScriptedFtpServer&, int control)>;

    explicit ScriptedFtpServer(Session session) : m_session(std::move(session)) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback("127.0.0.1", 0);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listen, 8);
        socklen_t length = sizeof address;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { acceptLoop(); });
    }
    ~ScriptedFtpServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }

    int port() const { return m_port; }
    int connections() const { return m_connections.load(); }
    std::string url(const std::string& path) const { return "ftp://127.0.0.1:" + std::to_string(m_port) + path; }
    bool stopping() const { return m_stop.load(); }

    static sockaddr_in loopback(const char* ip, int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &address.sin_addr);
        address.sin_port = htons(static_cast<uint16_t>(port));
        return address;
    }
    static void limitWaits(int fd) {
        timeval timeout{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    }
    static bool sendText(int fd, const std::string& text) {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // One command line without CR LF; empty when the client has gone.
    static std::string readCommand(int fd) {
        std::string line;
        char ch = 0;
        while (line.size() < 4096 && ::recv(fd, &ch, 1, 0) == 1) {
            if (ch == '\n') break;
            if (ch != '\r') line += ch;
        }
        return line;
    }
    // Connects from `fromIp` to 127.0.0.1:port, sends `bytes` and closes.
    static bool deliver(const char* fromIp, int port, const std::string& bytes) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        limitWaits(fd);
        sockaddr_in from = loopback(fromIp, 0);
        sockaddr_in to = loopback("127.0.0.1", port);
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 && sendText(fd, bytes);
        ::close(fd);
        return ok;
    }

private:
    void acceptLoop() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++m_connections;
            limitWaits(fd);
            m_session(*this, fd);
            ::close(fd);
        }
    }

    Session m_session;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
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

TEST(FtpReplies, AReplyThatNeverEndsEndsTheConnectionWithoutRetry) {
    constexpr size_t kServerLimit = 64u << 20;
    std::atomic<size_t> sent{0};
    std::atomic<bool> clientClosed{false};
    std::atomic<bool> sessionEnded{false};
    ScriptedFtpServer server([&](ScriptedFtpServer& self, int control) {
        // A welcome that goes on and on: "220-" lines, never the closing "220 " line.
        const std::string line = "220-" + std::string(200, 'w') + "\r\n";
        while (!self.stopping() && sent < kServerLimit) {
            if (!ScriptedFtpServer::sendText(control, line)) {
                clientClosed = errno != EAGAIN && errno != EWOULDBLOCK;
                break;
            }
            sent += line.size();
        }
        sessionEnded = true;
    });
    TempFolder folder;
    DownloadRun run;
    auto p = quickParameters(server.url("/setup.exe"), folder.file("setup.exe"), 1);
    runDownload(run, p);
    EXPECT_TRUE(run.hasText(status::kSomeError)) << run.allTexts();
    EXPECT_FALSE(run.last().complete);
    EXPECT_FALSE(std::filesystem::exists(folder.file("setup.exe")));
    // The server learns of the closed connection when its next send fails.
    for (int i = 0; i < 200 && !sessionEnded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.connections(), 1);  // no retry against a server that would do it again
    EXPECT_TRUE(clientClosed);
    EXPECT_LT(sent.load(), kServerLimit);
}

TEST(FtpReplies, AnActiveDataConnectionIsTakenOnlyFromTheServer) {
    const std::string body = randomBytes(5000, 17);
    std::atomic<bool> strangerDelivered{false};
    ScriptedFtpServer server([&](ScriptedFtpServer&, int control) {
        ScriptedFtpServer::sendText(control, "220 ready\r\n");
        int port = 0;
        for (std::string command = ScriptedFtpServer::readCommand(control); !command.empty();
             command = ScriptedFtpServer::readCommand(control)) {
            std::string reply = "200 ok\r\n";
            if (command.rfind("USER", 0) == 0) reply = "331 password\r\n";
            if (command.rfind("PASS", 0) == 0) reply = "230 in\r\n";
            if (command.rfind("REST", 0) == 0) reply = "350 restart\r\n";
            if (command.rfind("SIZE", 0) == 0) reply = "213 " + std::to_string(body.size()) + "\r\n";
            if (command == "PASV") reply = "502 no passive here\r\n";
            if (command.rfind("PORT ", 0) == 0) {
                int n[6] = {};
                std::sscanf(command.c_str() + 5, "%d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]);
                port = n[4] * 256 + n[5];
            }
            if (command.rfind("RETR", 0) == 0) {
                ScriptedFtpServer::sendText(control, "150 sending\r\n");
                // Somebody else on the machine reaches the port first with bytes of his own.
                strangerDelivered = ScriptedFtpServer::deliver("127.0.0.2", port, std::string(body.size(), 'E'));
                ScriptedFtpServer::deliver("127.0.0.1", port, body);
                reply = "226 done\r\n";
            }
            if (command == "QUIT") reply = "221 bye\r\n";
            ScriptedFtpServer::sendText(control, reply);
        }
    });
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/setup.exe"), folder.file("setup.exe"), 1));
    EXPECT_TRUE(strangerDelivered);
    EXPECT_TRUE(run.hasText(status::kFtpTryActive));
    EXPECT_EQ(hashOf(readFile(folder.file("setup.exe"))), hashOf(body)) << run.allTexts();
    EXPECT_TRUE(run.last().complete);
}
