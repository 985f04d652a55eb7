#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_folder.h"

namespace {

using records::testing::TestFolder;

struct ToolRun {
    int status = -1;
    std::string out, err;
};

std::string quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class EdbTool : public ::testing::Test {
protected:
    ToolRun tool(const std::vector<std::string>& args) {
        std::string command = quote(TMBL_EDB_TOOL);
        for (const auto& a : args) command += " " + quote(a);
        command += " >" + quote(m_folder.file("out")) + " 2>" + quote(m_folder.file("err"));
        ToolRun run;
        int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = slurp(m_folder.file("out"));
        run.err = slurp(m_folder.file("err"));
        return run;
    }
    TestFolder m_folder;
};

TEST_F(EdbTool, CreateSetGetDump) {
    const std::string db = m_folder.file("t.edb");
    ToolRun created = tool({"create", db, "--records", "2", "--schema",
                            "名字:text:8,n:int,x:double,ok:bool,data:bytes,备注:memo,w:8", "--password", "口令"});
    ASSERT_EQ(created.status, 0) << created.err;
    EXPECT_TRUE(std::filesystem::exists(m_folder.file("t.EDT")));

    EXPECT_EQ(tool({"set", db, "1", "名字", "张三丰abc", "--password", "口令"}).status, 0);
    EXPECT_EQ(tool({"set", db, "1", "N", "-42", "--password", "口令"}).status, 0);
    EXPECT_EQ(tool({"set", db, "1", "x", "0.5", "--password", "口令"}).status, 0);
    EXPECT_EQ(tool({"set", db, "2", "ok", "true", "--password", "口令"}).status, 0);
    EXPECT_EQ(tool({"set", db, "2", "data", "00ff7a", "--password", "口令"}).status, 0);
    EXPECT_EQ(tool({"set", db, "2", "备注", "第一行\n\"引号\"", "--password", "口令"}).status, 0);

    ToolRun got = tool({"get", db, "1", "名字", "--password", "口令"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "张三丰ab\n");  // cut to 8 GBK bytes
    EXPECT_EQ(tool({"get", db, "1", "n", "--password", "口令"}).out, "-42\n");
    EXPECT_EQ(tool({"get", db, "2", "5", "--password", "口令"}).out, "00ff7a\n");  // by number

    ToolRun dump = tool({"dump", db, "--password", "口令"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(
        dump.out,
        "{\"magic\": \"WCDB\", \"records\": 2, \"fields\": ["
        "{\"name\": \"名字\", \"type\": 10, \"offset\": 0, \"size\": 8}, "
        "{\"name\": \"n\", \"type\": 3, \"offset\": 8, \"size\": 4}, "
        "{\"name\": \"x\", \"type\": 6, \"offset\": 12, \"size\": 8}, "
        "{\"name\": \"ok\", \"type\": 7, \"offset\": 20, \"size\": 1}, "
        "{\"name\": \"data\", \"type\": 11, \"offset\": 21, \"size\": 4}, "
        "{\"name\": \"备注\", \"type\": 12, \"offset\": 25, \"size\": 4}, "
        "{\"name\": \"w\", \"type\": 8, \"offset\": 29, \"size\": 8}], \"rows\": ["
        "{\"名字\": \"张三丰ab\", \"n\": -42, \"x\": 0.5, \"ok\": false, \"data\": \"\", \"备注\": \"\", \"w\": 0}, "
        "{\"名字\": \"\", \"n\": 0, \"x\": 0, \"ok\": true, \"data\": \"00ff7a\", "
        "\"备注\": \"第一行\\n\\\"引号\\\"\", \"w\": 0}]}\n");
}

TEST_F(EdbTool, CreatedFilesAreForTheirOwnerOnly) {
    namespace fs = std::filesystem;
    auto mode = [](const std::string& path) { return fs::status(path).permissions() & fs::perms::all; };
    const std::string db = m_folder.file("owner.edb");
    ASSERT_EQ(tool({"create", db, "--records", "9", "--schema", "a:int,m:memo", "--password", "p"}).status, 0);
    EXPECT_EQ(mode(db), fs::perms(0600));
    EXPECT_EQ(mode(m_folder.file("owner.EDT")), fs::perms(0600));

    // Created again over files that everyone could read: they are tightened too.
    fs::permissions(db, fs::perms(0644));
    fs::permissions(m_folder.file("owner.EDT"), fs::perms(0666));
    ASSERT_EQ(tool({"create", db, "--records", "1", "--schema", "a:int,m:memo", "--password", "p"}).status, 0);
    EXPECT_EQ(mode(db), fs::perms(0600));
    EXPECT_EQ(mode(m_folder.file("owner.EDT")), fs::perms(0600));
    // The database the build stages for the program, too.
    EXPECT_EQ(mode(std::string(TMBL_PROGRAM_DIR) + "/tmbl.edb"), fs::perms(0600));
    EXPECT_EQ(mode(std::string(TMBL_PROGRAM_DIR) + "/tmbl.EDT"), fs::perms(0600));
}

TEST_F(EdbTool, FailuresReportTheDatabaseError) {
    const std::string db = m_folder.file("t.edb");
    ASSERT_EQ(tool({"create", db, "--records", "1", "--schema", "a:int", "--password", "p"}).status, 0);

    ToolRun wrong = tool({"get", db, "1", "a", "--password", "q"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "-78 未提供数据库访问密码或提供了错误的密码\n");
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(tool({"dump", db}).err, "-78 未提供数据库访问密码或提供了错误的密码\n");

    ToolRun field = tool({"get", db, "1", "b", "--password", "p"});
    EXPECT_EQ(field.status, 1);
    EXPECT_EQ(field.err, "-61 指定字段不存在\n");
    ToolRun type = tool({"set", db, "1", "a", "twelve", "--password", "p"});
    EXPECT_EQ(type.status, 1);
    EXPECT_EQ(type.err, "-72 所提供数据的类型与字段类型不匹配\n");
    EXPECT_EQ(tool({"set", db, "1", "a", "4294967296", "--password", "p"}).status, 1);  // does not fit
    EXPECT_EQ(tool({"get", db, "1", "a", "--password", "p"}).out, "0\n");
    ToolRun missing = tool({"dump", m_folder.file("none.edb")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "-3 指定文件未找到\n");

    EXPECT_NE(tool({"create", db, "--records", "1", "--schema", "a:text"}).status, 0);  // text needs a size
    EXPECT_NE(tool({"frobnicate", db}).status, 0);
}

TEST_F(EdbTool, ShippedDatabaseAsTheBuildStagesIt) {
    ToolRun dump = tool({"dump", std::string(TMBL_PROGRAM_DIR) + "/tmbl.edb", "--password", "vemrvemr"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(dump.out.rfind("{\"magic\": \"WCDB\", \"records\": 9, ", 0), 0u);
    for (const char* name : {"邮箱名称", "说明", "用户名", "密码", "类型", "网址", "登录类别", "备注"}) {
        EXPECT_NE(dump.out.find(std::string("{\"name\": \"") + name + "\""), std::string::npos) << name;
    }
    EXPECT_NE(dump.out.find("\"type\": 12"), std::string::npos);  // a memo field
    EXPECT_NE(dump.out.find("\"type\": 10"), std::string::npos);  // a text field
    EXPECT_EQ(tool({"get", std::string(TMBL_PROGRAM_DIR) + "/tmbl.edb", "2", "备注", "--password", "vemrvemr"}).out,
              "482\n");
}

}  // namespace
