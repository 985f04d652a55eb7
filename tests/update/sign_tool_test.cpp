// The release signing tool: a key as openssl writes it, the line it prints, and that
// line checked both by our verifier and by openssl itself.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "engine_test_support.h"
#include "test_http_server.h"
#include "update/update_signature.h"

using namespace test;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

ToolRun run(const std::string& command) {
    ToolRun result;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return result;
    char chunk[256];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.out.append(chunk, got);
    const int raw = ::pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

}  // namespace

TEST(SignTool, SignsWithAnOpensslKeySoThatBothVerifiersAgree) {
    TempFolder folder;
    const std::string key = folder.file("release.pem");
    const std::string installer = folder.file("tmblupdate.exe");
    ASSERT_EQ(run("openssl genpkey -algorithm ed25519 -out " + quoted(key)).status, 0);
    const std::string body = randomBytes(70000, 8);
    std::ofstream(installer, std::ios::binary) << body;

    const ToolRun signing = run(quoted(TMBL_SIGN_PATH) + " " + quoted(key) + " " + quoted(installer));
    ASSERT_EQ(signing.status, 0);
    ASSERT_EQ(signing.out.size(), update::kSignatureLineLength + 1);
    ASSERT_EQ(signing.out.back(), '\n');

    // Our own check, with the public key as the build takes it (hex of the raw key).
    const ToolRun hex =
        run("openssl pkey -in " + quoted(key) + " -pubout -outform DER | tail -c 32 | od -An -tx1 | tr -d ' \\n'");
    ASSERT_EQ(hex.status, 0);
    const auto publicKey = update::publicKeyFromHex(hex.out);
    ASSERT_TRUE(publicKey) << hex.out;
    EXPECT_EQ(update::checkFileSignature(installer, signing.out, *publicKey), update::SignatureCheck::Valid);

    // openssl's own check of the raw signature bytes.
    const std::string sigFile = folder.file("tmblupdate.exe.sig");
    std::ofstream(sigFile, std::ios::binary) << signing.out;
    const std::string raw = folder.file("signature.bin");
    ASSERT_EQ(run("base64 -d " + quoted(sigFile) + " > " + quoted(raw)).status, 0);
    const std::string verify = "openssl pkeyutl -verify -pubin -inkey " + quoted(folder.file("public.pem")) +
                               " -rawin -in " + quoted(installer) + " -sigfile " + quoted(raw);
    ASSERT_EQ(run("openssl pkey -in " + quoted(key) + " -pubout -out " + quoted(folder.file("public.pem"))).status, 0);
    EXPECT_EQ(run(verify).status, 0);
    std::ofstream(installer, std::ios::binary) << body << "x";
    EXPECT_NE(run(verify).status, 0);

    // Usage and unreadable inputs: no line on standard output.
    EXPECT_EQ(run(quoted(TMBL_SIGN_PATH)).status, 2);
    const ToolRun noKey = run(quoted(TMBL_SIGN_PATH) + " " + quoted(folder.file("none.pem")) + " " + quoted(installer));
    EXPECT_EQ(noKey.status, 1);
    EXPECT_TRUE(noKey.out.empty());
    const ToolRun notAKey = run(quoted(TMBL_SIGN_PATH) + " " + quoted(installer) + " " + quoted(installer));
    EXPECT_EQ(notAKey.status, 1);
    EXPECT_TRUE(notAKey.out.empty());
}
