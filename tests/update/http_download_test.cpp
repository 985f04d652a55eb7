// Whole downloads from the in-test HTTP server, each checked byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "engine_test_support.h"
#include "test_http_server.h"
#include "update/download_engine.h"

using namespace update;
using namespace test;

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string format(const char* pattern, const std::string& text) {
    char out[512];
    std::snprintf(out, sizeof out, pattern, text.c_str());
    return out;
}

}  // namespace

TEST(HttpDownload, FiveConnectionsFetchTheFileInSegmentsWithEventsInOrder) {
    TestHttpServer server;
    const std::string body = randomBytes(300001, 1);
    server.route("/dir/file.exe", served(body));
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/dir/file.exe"), folder.file("file.exe"), 5));

    EXPECT_EQ(hashOf(readFile(folder.file("file.exe"))), hashOf(body));
    const auto sizes = run.eventsOf(kEventSizeKnown);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].value, 300001);
    // Five connections at least: one that finishes early may be replaced by another.
    const auto started = run.eventsOf(kEventConnectionStarted).size();
    EXPECT_GE(started, 5u);
    EXPECT_EQ(server.requestCount("/dir/file.exe"), static_cast<int>(started));
    EXPECT_EQ(run.eventsOf(kEventConnectionEnded).size(), started);
    EXPECT_TRUE(run.eventsOf(kEventConnectionFailed).empty());
    std::int64_t arrived = 0;
    for (const auto& e : run.eventsOf(kEventBytesArrived)) arrived += e.value;
    EXPECT_EQ(arrived, 300001);
    // The file is cut into five segments 60000 bytes apart, the last one to the end.
    std::map<std::int64_t, std::int64_t> begun;
    for (const auto& e : run.eventsOf(kEventSegmentBegun)) begun[e.value] = e.data;
    for (std::int64_t start : {0, 60000, 120000, 180000}) EXPECT_EQ(begun[start], start + 60000) << start;
    EXPECT_EQ(begun[240000], 300001);
    const TaskEvent end = run.last();
    EXPECT_EQ(end.code, kEventTaskEnded);
    EXPECT_EQ(end.value, 300001);
    EXPECT_TRUE(end.complete);
    EXPECT_EQ(end.localFile, folder.file("file.exe"));
    EXPECT_EQ(runningTaskCount(), 0);
}

TEST(HttpDownload, RequestsAreWrittenExactly) {
    TestHttpServer server;
    const std::string body = randomBytes(50000, 2);
    server.route("/dir/file.exe", served(body));
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/dir/file.exe"), folder.file("f"), 2));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    const std::string common = "Host: " + host + "\r\nAccept: */*\r\nReferer: http://" + host +
                               "/dir\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
    const std::string tail = "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(requests[0], "GET /dir/file.exe HTTP/1.1\r\n" + common + tail);
    EXPECT_EQ(requests[1], "GET /dir/file.exe HTTP/1.1\r\n" + common + "Range: bytes=25000-\r\n" + tail);
    EXPECT_EQ(hashOf(readFile(folder.file("f"))), hashOf(body));
    // Request texts reach the status handler at level 1, answers at level 2.
    EXPECT_TRUE(run.hasText(requests[0]));
    EXPECT_TRUE(run.hasText(format(status::kResolving, "127.0.0.1")));
}

TEST(HttpDownload, ThroughAProxyTheWholeAddressIsRequested) {
    TestHttpServer server;
    const std::string body = randomBytes(45000, 3);
    server.route("/a/b.bin", served(body));
    TempFolder folder;
    DownloadRun run;
    auto p = quickParameters("http://files.invalid/a/b.bin", folder.file("b.bin"), 2);
    p.proxy = "127.0.0.1:" + std::to_string(server.port());
    runDownload(run, p);
    const auto requests = server.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0],
              "GET http://files.invalid/a/b.bin HTTP/1.1\r\nHost: files.invalid\r\n"
              "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nProxy-Connection: Keep-Alive\r\n\r\n");
    // The further connection asks the proxy for its range like a direct one would.
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find("\r\nRange: bytes=22500-\r\nProxy-Connection: Keep-Alive\r\n\r\n"), std::string::npos)
        << requests[1];
    EXPECT_TRUE(run.hasText(format(status::kResolvingProxy, "127.0.0.1")));
    EXPECT_EQ(hashOf(readFile(folder.file("b.bin"))), hashOf(body));
}

TEST(HttpDownload, SmallFilesUseOneConnection) {
    TestHttpServer server;
    const std::string body = randomBytes(10000, 4);
    server.route("/s", served(body));
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/s"), folder.file("s"), 5));
    EXPECT_EQ(server.requestCount("/s"), 1);
    EXPECT_EQ(run.eventsOf(kEventConnectionStarted).size(), 1u);
    EXPECT_EQ(hashOf(readFile(folder.file("s"))), hashOf(body));
    EXPECT_TRUE(run.last().complete);

    // An empty file is a complete download too.
    server.route("/empty", served(""));
    DownloadRun empty;
    runDownload(empty, quickParameters(server.url("/empty"), folder.file("empty"), 3));
    EXPECT_TRUE(empty.last().complete);
    EXPECT_TRUE(std::filesystem::exists(folder.file("empty")));
    EXPECT_EQ(std::filesystem::file_size(folder.file("empty")), 0u);
}

TEST(HttpDownload, ServersThatIgnoreRangesStillGiveTheWholeFile) {
    TestHttpServer server;
    const std::string body = randomBytes(200000, 5);
    Route ignoring = served(body);
    ignoring.honourRanges = false;
    server.route("/ignore", ignoring);
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/ignore"), folder.file("i"), 4));
    EXPECT_TRUE(run.hasText(status::kErrorOccurred));  // the connections whose range came back whole
    EXPECT_FALSE(run.eventsOf(kEventConnectionFailed).empty());
    EXPECT_EQ(hashOf(readFile(folder.file("i"))), hashOf(body));
    EXPECT_TRUE(run.last().complete);

    // "Accept-Ranges: none" up front: no further connection is even tried.
    Route none = served(body);
    none.honourRanges = false;
    none.acceptRangesNone = true;
    server.route("/none", none);
    DownloadRun single;
    runDownload(single, quickParameters(server.url("/none"), folder.file("n"), 4));
    EXPECT_EQ(server.requestCount("/none"), 1);
    EXPECT_EQ(hashOf(readFile(folder.file("n"))), hashOf(body));
    EXPECT_TRUE(single.last().complete);

    // And when the one whole answer is cut, the retry reads the whole answer again
    // and passes over what is already written.
    none.cutAt = {70000, 150000};
    server.route("/none-cut", none);
    DownloadRun cut;
    runDownload(cut, quickParameters(server.url("/none-cut"), folder.file("nc"), 4));
    EXPECT_EQ(hashOf(readFile(folder.file("nc"))), hashOf(body));
    EXPECT_TRUE(cut.last().complete);
}

TEST(HttpDownload, RedirectsAreFollowedWithTheirCookieButNotForEver) {
    TestHttpServer server;
    const std::string body = randomBytes(90000, 6);
    server.route("/real.bin", served(body));
    Route moved;
    moved.status = 302;
    moved.location = server.url("/real.bin");
    moved.extraHeaders = "Set-Cookie: session=abc; path=/\r\n";
    server.route("/start", moved);
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/start"), folder.file("r"), 3));
    EXPECT_TRUE(run.hasText(format(status::kRedirectTo, server.url("/real.bin"))));
    EXPECT_EQ(hashOf(readFile(folder.file("r"))), hashOf(body));
    EXPECT_EQ(server.requestCount("/start"), 1);  // later connections go straight to the new address
    for (const std::string& request : server.requests()) {
        if (request.find("/real.bin") != std::string::npos) {
            EXPECT_NE(request.find("\r\nCookie: session=abc\r\n"), std::string::npos) << request;
        }
    }

    Route loop;
    loop.status = 301;
    loop.location = "/loop";
    server.route("/loop", loop);
    DownloadRun looping;
    runDownload(looping, quickParameters(server.url("/loop"), folder.file("l"), 1));
    EXPECT_EQ(server.requestCount("/loop"), 11);
    EXPECT_TRUE(looping.hasText(status::kRedirectMissing));
    EXPECT_FALSE(looping.last().complete);
    EXPECT_FALSE(std::filesystem::exists(folder.file("l")));

    Route elsewhere;
    elsewhere.status = 302;
    elsewhere.location = "https://secure.invalid/x";
    server.route("/tls", elsewhere);
    DownloadRun tls;
    runDownload(tls, quickParameters(server.url("/tls"), folder.file("t"), 1));
    EXPECT_TRUE(tls.hasText(status::kRedirectUnusable));
    EXPECT_EQ(server.requestCount("/tls"), 1);
}

TEST(HttpDownload, ARedirectCookieGoesOnlyToTheHostThatSetIt) {
    // Two servers: the first sets a cookie and sends us to the second, which sets its
    // own and sends us back.
    TestHttpServer first;
    TestHttpServer second;
    const std::string body = randomBytes(90000, 9);
    first.route("/real.bin", served(body));
    Route away;
    away.status = 302;
    away.location = second.url("/hop");
    away.extraHeaders = "Set-Cookie: first=1; path=/\r\n";
    first.route("/start", away);
    Route back;
    back.status = 302;
    back.location = first.url("/real.bin");
    back.extraHeaders = "Set-Cookie: second=2; path=/\r\n";
    second.route("/hop", back);

    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(first.url("/start"), folder.file("r"), 3));
    EXPECT_EQ(hashOf(readFile(folder.file("r"))), hashOf(body)) << run.allTexts();
    ASSERT_EQ(second.requests().size(), 1u);
    EXPECT_EQ(second.requests()[0].find("Cookie:"), std::string::npos) << second.requests()[0];
    int fetches = 0;
    for (const std::string& request : first.requests()) {
        if (request.find("/real.bin") == std::string::npos) continue;
        ++fetches;
        EXPECT_NE(request.find("\r\nCookie: first=1\r\n"), std::string::npos) << request;
        EXPECT_EQ(request.find("second=2"), std::string::npos) << request;
    }
    EXPECT_GE(fetches, 3);
}

TEST(HttpDownload, TheLocalFileGetsTheModeAskedFor) {
    TestHttpServer server;
    server.route("/f", served(randomBytes(30000, 4)));
    TempFolder folder;
    const mode_t previous = ::umask(0);  // so that only the engine decides the bits
    for (unsigned mode : {0600u, 0644u}) {
        DownloadRun run;
        EngineSettings settings = quickSettings();
        settings.localFileMode = mode;
        const std::string path = folder.file("f" + std::to_string(mode));
        runDownload(run, quickParameters(server.url("/f"), path, 2), settings);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
    ::umask(previous);
}

TEST(HttpDownload, RefusedAndUnsupportedAnswersEndWithoutRetry) {
    TestHttpServer server;
    TempFolder folder;
    DownloadRun missing;
    runDownload(missing, quickParameters(server.url("/missing"), folder.file("m"), 5));
    EXPECT_EQ(server.requestCount("/missing"), 1);
    EXPECT_TRUE(missing.hasText(status::kErrorOccurred));
    EXPECT_EQ(missing.last().code, kEventTaskEnded);
    EXPECT_FALSE(missing.last().complete);
    EXPECT_TRUE(missing.eventsOf(kEventSizeKnown).empty());
    EXPECT_FALSE(std::filesystem::exists(folder.file("m")));

    Route broken;
    broken.status = 500;
    server.route("/broken", broken);
    DownloadRun failing;
    runDownload(failing, quickParameters(server.url("/broken"), folder.file("b"), 1));
    EXPECT_TRUE(failing.hasText("暂时不支持的返回, 返回号[500]"));
    EXPECT_EQ(server.requestCount("/broken"), 1);

    Route longHeader;
    longHeader.rawAnswer = "HTTP/1.1 200 OK\r\nX-Fill: " + std::string(5000, 'x') + "\r\n\r\n";
    server.route("/long", longHeader);
    DownloadRun tooLong;
    runDownload(tooLong, quickParameters(server.url("/long"), folder.file("h"), 1));
    EXPECT_TRUE(tooLong.hasText(status::kHeaderTooLong));
    EXPECT_EQ(server.requestCount("/long"), 1);

    Route noSize;
    noSize.rawAnswer = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody";
    server.route("/nosize", noSize);
    DownloadRun unsized;
    runDownload(unsized, quickParameters(server.url("/nosize"), folder.file("u"), 1));
    EXPECT_TRUE(unsized.hasText(status::kNoFileSize));

    Route negative = served(std::string(100, 'x'));
    negative.contentLength = "-100";
    server.route("/negative", negative);
    DownloadRun negativeRun;
    runDownload(negativeRun, quickParameters(server.url("/negative"), folder.file("neg"), 1));
    EXPECT_TRUE(negativeRun.hasText(status::kNoFileSize));
    EXPECT_FALSE(std::filesystem::exists(folder.file("neg")));
}

TEST(HttpDownload, SizesTheDiskCannotHoldOrThatChangeFailTheTask) {
    TestHttpServer server;
    TempFolder folder;
    Route huge = served(std::string(100, 'x'));
    huge.contentLength = "9000000000000000000";
    server.route("/huge", huge);
    DownloadRun hugeRun;
    runDownload(hugeRun, quickParameters(server.url("/huge"), folder.file("huge"), 5));
    EXPECT_TRUE(hugeRun.hasText(status::kCreateFileFailed));
    EXPECT_FALSE(std::filesystem::exists(folder.file("huge")));
    EXPECT_FALSE(hugeRun.last().complete);

    const std::string body = randomBytes(100000, 7);
    Route changing = served(body);
    changing.rangeTotal = "100001";
    server.route("/changing", changing);
    DownloadRun changed;
    runDownload(changed, quickParameters(server.url("/changing"), folder.file("c"), 3));
    EXPECT_TRUE(changed.hasText(status::kErrorOccurred));
    EXPECT_FALSE(changed.last().complete);
    EXPECT_EQ(runningTaskCount(), 0);
}

TEST(HttpDownload, CutsStallsAndRandomResetsStillGiveAnIdenticalFile) {
    TestHttpServer server;
    const std::string body = randomBytes(400000, 8);
    Route faulty = served(body);
    faulty.cutAt = {1, 30000, 79999, 80001, 200000, 399999};
    server.route("/cut", faulty);
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/cut"), folder.file("cut"), 5));
    EXPECT_EQ(hashOf(readFile(folder.file("cut"))), hashOf(body));
    EXPECT_TRUE(run.last().complete);
    EXPECT_TRUE(run.hasText(status::kConnectionReset) || run.hasText(status::kReceiveFailed)) << run.allTexts();
    EXPECT_TRUE(run.hasText("等待0秒后重试"));

    Route random = served(body);
    random.randomResets = 25;
    server.route("/random", random);
    DownloadRun randomRun;
    runDownload(randomRun, quickParameters(server.url("/random"), folder.file("random"), 4));
    EXPECT_EQ(hashOf(readFile(folder.file("random"))), hashOf(body));
    EXPECT_TRUE(randomRun.last().complete);

    Route stalling = served(body);
    stalling.stallAt = 123456;
    stalling.stallMs = 1500;
    server.route("/stall", stalling);
    DownloadRun stalled;
    auto p = quickParameters(server.url("/stall"), folder.file("stall"), 3);
    p.receiveTimeoutMs = 300;
    runDownload(stalled, p);
    EXPECT_TRUE(stalled.hasText(status::kReceiveTimedOut));
    EXPECT_EQ(hashOf(readFile(folder.file("stall"))), hashOf(body));
}

TEST(HttpDownload, AFailedSegmentIsTakenOverByAConnectionThatFinished) {
    TestHttpServer server;
    const std::string body = randomBytes(250000, 13);
    Route refusing = served(body);
    refusing.refuseRanges = {100000};
    TempFolder folder;
    DownloadRun run;
    // The refusal must come while the other connections are still busy: theirs wait
    // before answering, and the first connection, which starts at once, pauses early on.
    refusing.answerDelayMs = 300;
    refusing.stallAt = 1000;
    refusing.stallMs = 400;
    server.route("/takeover", refusing);
    runDownload(run, quickParameters(server.url("/takeover"), folder.file("t"), 5));
    EXPECT_EQ(run.eventsOf(kEventConnectionFailed).size(), 1u);
    // Another connection took the refused segment over from where it stood.
    const auto takeovers = run.eventsOf(kEventSegmentTakenOver);
    ASSERT_EQ(takeovers.size(), 1u);
    EXPECT_EQ(takeovers[0].value, 100000);
    EXPECT_GE(server.requestCount("/takeover"), 6);
    EXPECT_EQ(hashOf(readFile(folder.file("t"))), hashOf(body));
    EXPECT_TRUE(run.last().complete);
}

TEST(HttpDownload, ASlowSegmentIsSplitWhenAnotherConnectionFinishes) {
    TestHttpServer server;
    const std::string body = randomBytes(300000, 14);
    Route slow = served(body);
    slow.delayRanges = {{60000, 700}};  // the connection for the second segment waits
    server.route("/slow-part", slow);
    TempFolder folder;
    DownloadRun run;
    runDownload(run, quickParameters(server.url("/slow-part"), folder.file("s"), 5));
    EXPECT_EQ(hashOf(readFile(folder.file("s"))), hashOf(body));
    EXPECT_TRUE(run.last().complete);
    // A replacement took the second half of the waiting segment.
    bool split = false;
    for (const auto& e : run.eventsOf(kEventSegmentBegun)) split = split || (e.value == 90000 && e.data == 120000);
    EXPECT_TRUE(split) << run.allTexts();
    int splitRequests = 0;
    for (const std::string& request : server.requests())
        splitRequests += request.find("\r\nRange: bytes=90000-\r\n") != std::string::npos;
    EXPECT_EQ(splitRequests, 1);
}

TEST(HttpDownload, ConnectFailuresAreRetriedAsOftenAsAllowed) {
    int port = 0;
    {
        TestHttpServer gone;  // a port that was just free; nobody listens there now
        port = gone.port();
    }
    TempFolder folder;
    DownloadRun run;
    auto settings = quickSettings();
    settings.maxRetries = 2;
    runDownload(run, quickParameters("http://127.0.0.1:" + std::to_string(port) + "/x", folder.file("x"), 1), settings);
    char failed[128];
    std::snprintf(failed, sizeof failed, status::kConnectFailed, "127.0.0.1", port);
    EXPECT_EQ(run.countText(failed), 3);
    EXPECT_EQ(run.countText("等待0秒后重试"), 2);
    EXPECT_EQ(run.last().code, kEventTaskEnded);
    EXPECT_EQ(run.eventsOf(kEventConnectionFailed).size(), 1u);
}

TEST(HttpDownload, AnExistingLocalFileIsNeverOverwritten) {
    TestHttpServer server;
    const std::string body = randomBytes(30000, 9);
    server.route("/a.exe", served(body));
    TempFolder folder;
    writeFile(folder.file("a.exe"), "old");

    DownloadRun firstCopy;
    runDownload(firstCopy, quickParameters(server.url("/a.exe"), folder.file("a.exe"), 2));
    EXPECT_EQ(readFile(folder.file("a.exe")), "old");
    EXPECT_EQ(hashOf(readFile(folder.file("a(1).exe"))), hashOf(body));
    EXPECT_TRUE(firstCopy.last().complete);

    writeFile(folder.file("a(1).exe"), "older");
    DownloadRun automatic;
    runDownload(automatic, quickParameters(server.url("/a.exe"), folder.file("a.exe"), 2));
    EXPECT_EQ(readFile(folder.file("a.exe")), "old");
    EXPECT_EQ(readFile(folder.file("a(1).exe")), "older");
    EXPECT_EQ(hashOf(readFile(folder.file("a(2).exe"))), hashOf(body));
    EXPECT_TRUE(automatic.hasText(format(status::kAutoRenamed, folder.file("a(2).exe"))));
    EXPECT_EQ(automatic.eventsOf(kEventLocalFileExists).size(), 1u);
    EXPECT_EQ(automatic.eventsOf(kEventSizeKnown).at(0).localFile, folder.file("a(2).exe"));

    DownloadRun giveUp;
    giveUp.fileAnswer = kAnswerGiveUp;
    runDownload(giveUp, quickParameters(server.url("/a.exe"), folder.file("a.exe"), 2));
    EXPECT_TRUE(giveUp.hasText(status::kUserGaveUp));
    EXPECT_FALSE(giveUp.last().complete);
    EXPECT_FALSE(std::filesystem::exists(folder.file("a(3).exe")));

    DownloadRun renamed;
    renamed.fileAnswer = kAnswerHandlerRenamed;
    renamed.renameTo = folder.file("chosen.exe");
    runDownload(renamed, quickParameters(server.url("/a.exe"), folder.file("a.exe"), 2));
    EXPECT_TRUE(renamed.hasText(format(status::kUserRenamed, folder.file("chosen.exe"))));
    EXPECT_EQ(hashOf(readFile(folder.file("chosen.exe"))), hashOf(body));
    EXPECT_EQ(readFile(folder.file("a.exe")), "old");

    for (int n = 3; n <= 99; ++n) writeFile(folder.file("a(" + std::to_string(n) + ").exe"), "x");
    DownloadRun exhausted;
    runDownload(exhausted, quickParameters(server.url("/a.exe"), folder.file("a.exe"), 1));
    EXPECT_TRUE(exhausted.hasText(status::kAutoRenameExhausted));
    EXPECT_FALSE(std::filesystem::exists(folder.file("a(100).exe")));
}

TEST(HttpDownload, AFolderTargetTakesASafeNameFromTheAnswer) {
    TestHttpServer server;
    const std::string body = randomBytes(25000, 10);
    Route named = served(body);
    named.extraHeaders = "Content-Disposition: attachment; filename=\"../../evil\x01name.bin\"\r\n";
    server.route("/download", named);
    Route dots = served(body);
    dots.extraHeaders = "Content-Disposition: attachment; filename=\"..\"\r\n";
    server.route("/..", dots);
    TempFolder folder;
    std::filesystem::create_directory(folder.file("in"));

    DownloadRun run;
    runDownload(run, quickParameters(server.url("/download"), folder.file("in") + "/", 2));
    EXPECT_EQ(hashOf(readFile(folder.file("in/evilname.bin"))), hashOf(body));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);

    server.route("/plain/file.dat", served(body));
    DownloadRun plain;
    runDownload(plain, quickParameters(server.url("/plain/file.dat?v=2"), folder.file("in") + "/", 1));
    EXPECT_EQ(hashOf(readFile(folder.file("in/file.dat"))), hashOf(body));

    DownloadRun refused;
    runDownload(refused, quickParameters(server.url("/.."), folder.file("in") + "/", 1));
    EXPECT_TRUE(refused.hasText(status::kCreateFileFailed));
    EXPECT_FALSE(refused.last().complete);
}

TEST(HttpDownload, TheSpeedLimitHoldsAcrossConnections) {
    TestHttpServer server;
    const std::string body = randomBytes(150000, 11);
    server.route("/slow", served(body));
    TempFolder folder;
    DownloadRun run;
    auto p = quickParameters(server.url("/slow"), folder.file("slow"), 3);
    p.speedLimit = 100000;
    const auto started = std::chrono::steady_clock::now();
    runDownload(run, p);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    // 150000 bytes at 100000 per second need a second window at least.
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    EXPECT_EQ(hashOf(readFile(folder.file("slow"))), hashOf(body));
}

TEST(HttpDownload, ReleasingARunningTaskStopsItAndRaisesTheEndLast) {
    TestHttpServer server;
    const std::string body = randomBytes(2000000, 12);
    server.route("/big", served(body));
    TempFolder folder;
    DownloadRun run;
    auto p = quickParameters(server.url("/big"), folder.file("big"), 4);
    p.speedLimit = 200000;
    p.stopWaitMs = 2000;
    run.attach(p);
    DownloadObject object;
    ASSERT_TRUE(startTask(p, object, quickSettings()));
    EXPECT_FALSE(startTask(p, object, quickSettings()));  // one task per object
    while (bytesReceived(object) < 100000) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    releaseTask(object);
    EXPECT_FALSE(object.holdsTask());
    EXPECT_EQ(bytesReceived(object), 0);
    EXPECT_EQ(runningTaskCount(), 0);
    const TaskEvent end = run.last();
    EXPECT_EQ(end.code, kEventTaskEnded);
    EXPECT_FALSE(end.complete);
    EXPECT_GE(end.value, 100000);
    EXPECT_LT(end.value, 2000000);  // the bytes received, not the size
    EXPECT_EQ(run.eventsOf(kEventTaskEnded).size(), 1u);
    EXPECT_FALSE(run.hasText("等待0秒后重试"));  // a stopped task does not retry

    EXPECT_FALSE(startTask(quickParameters("http://host", "x", 1), object));
    EXPECT_FALSE(startTask(quickParameters("mms://host/x", "x", 1), object));
    EXPECT_FALSE(object.holdsTask());
}
