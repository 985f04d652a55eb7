// The version check without a window: the one HTTP/1.0 fetch against a local server,
// and what a version text offers.
#include "update/version_check.h"

#include <gtest/gtest.h>

#include <QTcpServer>

#include "update_test_server.h"

namespace update {
namespace {

using testing::Resource;
using testing::UpdateTestServer;

QString addressOf(const UpdateTestServer& server, const char* path) {
    return QStringLiteral("http://") + QString::fromStdString(server.host()) + QString::fromLatin1(path);
}

TEST(OfferedVersion, ReadsTheNumberAfterTheVInTheFirstFiveBytes) {
    struct Case {
        QByteArray text;
        std::optional<double> offered;
    };
    const Case cases[] = {
        {"V2.1\r\nnotes", 2.1},
        {"V2.0\r\n", 2.0},
        {"V 2.5", 2.5},    // leading blanks are skipped
        {"V2.1.3", 2.1},   // reading stops where a number cannot go on
        {"V12.75", 12.7},  // only five bytes are looked at
        {"  V3\r\n", 3.0},
        {"Vx", 0.0},     // no digits read as 0
        {"VV2.1", 0.0},  // the second piece lies between the two Vs
        {"2.1\r\nV3", std::nullopt},
        {"abcdeV9.9", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        std::optional<double> offered = offeredVersion(c.text);
        ASSERT_EQ(offered.has_value(), c.offered.has_value());
        if (offered) {
            EXPECT_NEAR(*offered, *c.offered, 1e-9);
        }
    }
    EXPECT_NEAR(versionAfterV(QStringLiteral("当前版本： V2.0")), 2.0, 1e-9);
}

TEST(OfferedVersion, VerdictFollowsTheTextAndTheCurrentVersion) {
    EXPECT_EQ(judgeVersionText("V2.1\r\n", 2.0), VersionVerdict::Newer);
    EXPECT_EQ(judgeVersionText("V2.0\r\n", 2.0), VersionVerdict::NotNewer);
    EXPECT_EQ(judgeVersionText("V1.9\r\n", 2.0), VersionVerdict::NotNewer);
    EXPECT_EQ(judgeVersionText("V2.00000001", 2.0), VersionVerdict::NotNewer);
    EXPECT_EQ(judgeVersionText("V10\r\n", 2.0), VersionVerdict::Newer);
    EXPECT_EQ(judgeVersionText("<!DOCTYPE html><html>V9</html>", 2.0), VersionVerdict::WebPage);
    EXPECT_EQ(judgeVersionText("", 2.0), VersionVerdict::NoAnswer);
    EXPECT_EQ(judgeVersionText("2.1\r\n", 2.0), VersionVerdict::NoAnswer);
}

TEST(FetchWholeUrl, SendsOneHttp10RequestAndReturnsTheBodyWhateverTheStatus) {
    UpdateTestServer server;
    server.serve("/revo/soft/tmbl/readme.txt", Resource{.body = "V2.1\r\nnotes\r\n"});
    server.serve("/missing.txt", Resource{.body = "<!DOCTYPE html>gone", .status = 404});

    EXPECT_EQ(fetchWholeUrl(addressOf(server, "/revo/soft/tmbl/readme.txt#section")), QByteArray("V2.1\r\nnotes\r\n"));
    EXPECT_EQ(fetchWholeUrl(addressOf(server, "/missing.txt")), QByteArray("<!DOCTYPE html>gone"));

    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string& request = requests[0];
    EXPECT_EQ(request.rfind("GET /revo/soft/tmbl/readme.txt HTTP/1.0\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)\r\n"),
              std::string::npos);
    EXPECT_NE(request.find("\r\nHost: " + server.host() + "\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nAccept: */*\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nPragma: no-cache\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
}

TEST(FetchWholeUrl, StopsAtTheAnnouncedLengthAndKeepsWhatArrivedBeforeAFailure) {
    UpdateTestServer server;
    // A server that keeps the connection open: the fetch ends at Content-Length.
    server.serve("/open.txt", Resource{.body = "V2.1-and-more", .keepOpenAfterBody = true, .declaredLength = 4});
    // A transfer cut after 6 of 12 announced bytes returns those 6.
    server.serve("/cut.txt", Resource{.body = "V2.1\r\nnotes.", .cutAt = 6});
    // Accepted, then closed without a byte.
    server.serve("/silent.txt", Resource{.closeWithoutAnswer = true});

    FetchLimits limits;
    limits.idleTimeoutMs = 3000;
    EXPECT_EQ(fetchWholeUrl(addressOf(server, "/open.txt"), limits), QByteArray("V2.1"));
    EXPECT_EQ(fetchWholeUrl(addressOf(server, "/cut.txt"), limits), QByteArray("V2.1\r\n"));
    EXPECT_TRUE(fetchWholeUrl(addressOf(server, "/silent.txt"), limits).isEmpty());

    // Nobody listening.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    EXPECT_TRUE(fetchWholeUrl(QStringLiteral("http://127.0.0.1:%1/readme.txt").arg(port), limits).isEmpty());
    EXPECT_TRUE(fetchWholeUrl(QStringLiteral("ftp://127.0.0.1/readme.txt"), limits).isEmpty());
}

}  // namespace
}  // namespace update
