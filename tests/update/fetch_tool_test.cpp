// The command-line downloader against the in-test HTTP server: exit status, the name it
// wrote and the error it reports.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "engine_test_support.h"
#include "test_http_server.h"

using namespace test;

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

ToolRun runTool(const std::string& arguments, const TempFolder& folder) {
    const std::string errFile = folder.file("stderr.txt");
    const std::string command = std::string("'") + TMBL_FETCH_PATH + "' " + arguments + " 2>'" + errFile + "'";
    ToolRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char chunk[256];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.out.append(chunk, got);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.err = readFile(errFile);
    return run;
}

}  // namespace

TEST(FetchTool, DownloadsRenamesAndReportsFailures) {
    TestHttpServer server;
    const std::string body = randomBytes(120000, 31);
    server.route("/pkg/tool.bin", served(body));
    TempFolder folder;
    const std::string target = folder.file("tool.bin");

    ToolRun first = runTool("-n 3 -o '" + target + "' " + server.url("/pkg/tool.bin"), folder);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(hashOf(readFile(target)), hashOf(body));
    EXPECT_NE(first.err.find("正在连接 [127.0.0.1:"), std::string::npos);  // status texts as they come
    EXPECT_TRUE(first.out.empty());

    // The file exists now: the tool lets the engine pick a new name and prints it.
    ToolRun second = runTool("-n 2 --limit 1000000 -o '" + target + "' " + server.url("/pkg/tool.bin"), folder);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, folder.file("tool(1).bin") + "\n");
    EXPECT_EQ(hashOf(readFile(folder.file("tool(1).bin"))), hashOf(body));

    ToolRun missing = runTool("-o '" + folder.file("x") + "' " + server.url("/nothing"), folder);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("tmbl-fetch: 出现错误"), std::string::npos) << missing.err;

    // Cut short: the file is incomplete, so the tool must not report success.
    Route cut = served(body);
    cut.cutAt = {60000};
    server.route("/cut.bin", cut);
    ToolRun interrupted = runTool("--retries 0 -o '" + folder.file("cut.bin") + "' " + server.url("/cut.bin"), folder);
    EXPECT_EQ(interrupted.status, 1);

    EXPECT_EQ(runTool("-o", folder).status, 2);
    EXPECT_EQ(runTool("-n 0 -o x http://h/x", folder).status, 2);
}
