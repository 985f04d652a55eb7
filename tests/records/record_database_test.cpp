#include "records/record_database.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "edb_fixture.h"
#include "platform/gbk.h"
#include "test_folder.h"

namespace {

using namespace records;
using namespace records::testing;
namespace err = records::edb::error;

class RecordDatabase : public ::testing::Test {
protected:
    void SetUp() override { m_path = m_folder.file("data.edb"); }
    void TearDown() override { closeAllDatabases(); }

    void create(int32_t records = 3, const std::string& password = "secret") {
        ASSERT_EQ(createDatabase(m_path, records, allTypes(), password), 0);
    }
    bool open(const std::string& password = "secret", bool readOnly = false) {
        OpenOptions options;
        options.password = password;
        options.readOnly = readOnly;
        return openDatabase(m_path, options);
    }

    TestFolder m_folder;
    std::string m_path;
};

TEST_F(RecordDatabase, PasswordDecidesAccess) {
    create();
    auto head = readRaw(m_path, "", 0, 8);
    ASSERT_EQ(head.size(), 8u);
    EXPECT_EQ(std::string(head.begin(), head.begin() + 4), "WCDB");
    // The version word is scrambled on disk and plain through the right password.
    EXPECT_NE(le32(head, 4), edb::kVersion);
    EXPECT_EQ(le32(readRaw(m_path, "secret", 4, 4)), edb::kVersion);

    for (const char* wrong : {"", "Secret", "secret ", "secretsecret"}) {
        EXPECT_FALSE(open(wrong)) << wrong;
        EXPECT_EQ(lastError(), err::kBadPassword) << wrong;
        EXPECT_TRUE(openDatabasePaths().empty());
    }
    EXPECT_TRUE(open("secret"));

    // An unprotected file refuses every password but none.
    closeAllDatabases();
    create(3, "");
    EXPECT_FALSE(open("x"));
    EXPECT_EQ(lastError(), err::kBadPassword);
    EXPECT_TRUE(open(""));
    EXPECT_EQ(errorMessage(err::kBadPassword), "未提供数据库访问密码或提供了错误的密码");
}

TEST_F(RecordDatabase, CheckTextComparesWithoutCase) {
    create();
    std::string upper = passwordCheckText("secret");
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    writeRaw(m_path, "secret", edb::kCheckTextOffset, std::vector<uint8_t>(upper.begin(), upper.end()));
    EXPECT_TRUE(open("secret")) << lastError();
}

TEST_F(RecordDatabase, NamesExtensionsAndTheDatabaseList) {
    std::string bare = m_folder.file("book");
    ASSERT_EQ(createDatabase(bare + ".EDB", 2, allTypes(), ""), 0);
    ASSERT_EQ(createDatabase(m_folder.file("other.EDB"), 2, allTypes(), ""), 0);

    EXPECT_TRUE(openDatabase(bare));         // ".EDB" is added
    EXPECT_FALSE(openDatabase(bare + "."));  // "EDB" is added: the same file
    EXPECT_EQ(lastError(), err::kAlreadyOpen);
    OpenOptions aliased;
    aliased.alias = platform::utf8ToGbk("通讯录Ab1");
    EXPECT_TRUE(openDatabase(m_folder.file("other.EDB"), aliased));
    ASSERT_EQ(openDatabasePaths().size(), 2u);

    // Bad aliases and paths change nothing.
    for (const char* alias : {"1abc", "a-b", "a b", "１a"}) {
        OpenOptions bad;
        bad.alias = platform::utf8ToGbk(alias);
        EXPECT_FALSE(openDatabase(m_folder.file("third"), bad)) << alias;
        EXPECT_EQ(lastError(), err::kBadAlias) << alias;
    }
    EXPECT_FALSE(openDatabase(""));
    EXPECT_EQ(lastError(), err::kFileNotFound);
    // Full-width letters and digits and Chinese characters are alias characters too.
    OpenOptions wide;
    wide.alias = platform::utf8ToGbk("Ａ簿１x");
    EXPECT_FALSE(openDatabase(m_folder.file("missing.edb"), wide));
    EXPECT_EQ(lastError(), err::kFileNotFound);
    EXPECT_FALSE(openDatabase(m_folder.file("missing.edb")));
    EXPECT_EQ(lastError(), err::kFileNotFound);
    EXPECT_EQ(openDatabasePaths().size(), 2u);

    // The current database is the one opened last; closing an older one keeps it.
    closeDatabase("BOOK");  // base name, any case
    ASSERT_EQ(openDatabasePaths().size(), 1u);
    EXPECT_TRUE(goToRecord(1));
    closeDatabase("nothing-like-it");
    EXPECT_EQ(openDatabasePaths().size(), 1u);
    closeDatabase(platform::utf8ToGbk("通讯录aB1"));  // alias, letters in any case
    EXPECT_TRUE(openDatabasePaths().empty());
    EXPECT_FALSE(goToRecord(1));
    EXPECT_EQ(lastError(), err::kNoCurrentDatabase);

    // Closing the current database leaves none current even when others stay open.
    EXPECT_TRUE(openDatabase(bare));
    EXPECT_TRUE(openDatabase(m_folder.file("other")));
    closeDatabase();
    EXPECT_EQ(openDatabasePaths().size(), 1u);
    EXPECT_FALSE(goToRecord(1));
    closeDatabase(std::filesystem::absolute(bare + ".EDB").string());  // full path
    EXPECT_TRUE(openDatabasePaths().empty());
}

TEST_F(RecordDatabase, DamagedHeadersAreNotDatabases) {
    struct Damage {
        int64_t position;
        std::vector<uint8_t> bytes;
        int code;
    } damages[] = {
        {0, {'W', 'X', 'D', 'B'}, err::kNotDatabase},
        {edb::kVersionOffset, le32Bytes(0x00010001), err::kVersionTooHigh},
        {edb::kRecordCountOffset, le32Bytes(-1), err::kNotDatabase},
        {edb::kCounterOffset, le32Bytes(0), err::kNotDatabase},
        {edb::kRecordLengthOffset, le32Bytes(0), err::kNotDatabase},
        {edb::kFieldCountOffset, le32Bytes(0), err::kNotDatabase},
        {edb::kFieldCountOffset, le32Bytes(0x7FFFFFFF), err::kNotDatabase},
        {edb::kDescriptorsOffset, std::vector<uint8_t>(17, 'n'), err::kNotDatabase},  // name without NUL
        {edb::kDescriptorsOffset + 20, le32Bytes(13), err::kNotDatabase},             // type
        {edb::kDescriptorsOffset + 24, le32Bytes(-4), err::kNotDatabase},             // offset
        {edb::kDescriptorsOffset + 9 * 72 + 28, le32Bytes(0), err::kNotDatabase},     // text size
        {edb::kDescriptorsOffset + 9 * 72 + 28, le32Bytes(500), err::kNotDatabase},   // past the record
    };
    for (const auto& damage : damages) {
        create();
        if (damage.position == 0) {
            std::fstream f(m_path, std::ios::in | std::ios::out | std::ios::binary);
            f.write(reinterpret_cast<const char*>(damage.bytes.data()), 4);
        } else {
            writeRaw(m_path, "secret", damage.position, damage.bytes);
        }
        EXPECT_FALSE(open()) << damage.position;
        EXPECT_EQ(lastError(), damage.code) << damage.position;
        EXPECT_TRUE(openDatabasePaths().empty());
    }
    // A file shorter than the header.
    std::ofstream(m_path, std::ios::binary | std::ios::trunc) << "WCDB1234";
    EXPECT_FALSE(open());
    EXPECT_EQ(lastError(), err::kNotDatabase);
}

TEST_F(RecordDatabase, LengthIsRepairedOnWriteAndRefusedOnReadOnly) {
    const int64_t exact = kAllTypesDataStart + 4 * kAllTypesRecordLength;
    create(4);
    {
        std::ofstream extra(m_path, std::ios::binary | std::ios::app);
        extra << std::string(30, 'x');
    }
    EXPECT_TRUE(open("secret", true));  // a long file is fine to read
    closeAllDatabases();
    EXPECT_EQ(fileSize(m_path), exact + 30);
    EXPECT_TRUE(open());
    closeAllDatabases();
    EXPECT_EQ(fileSize(m_path), exact);

    // Two and a half records missing: the count drops to the whole records left.
    std::filesystem::resize_file(m_path, exact - 2 * kAllTypesRecordLength - 10);
    EXPECT_FALSE(open("secret", true));
    EXPECT_EQ(lastError(), err::kBadFileSize);
    EXPECT_EQ(fileSize(m_path), exact - 2 * kAllTypesRecordLength - 10);
    EXPECT_TRUE(open());
    EXPECT_EQ(currentDatabaseInfo()->recordCount, 1);
    EXPECT_EQ(fileSize(m_path), kAllTypesDataStart + kAllTypesRecordLength);
    EXPECT_EQ(le32(readRaw(m_path, "secret", edb::kRecordCountOffset, 4)), 1);
    closeAllDatabases();

    // A file that is refused for another reason is not cut: here its auxiliary file is gone.
    std::filesystem::resize_file(m_path, kAllTypesDataStart + 10);
    std::filesystem::remove(m_folder.file("data.EDT"));
    EXPECT_FALSE(open());
    EXPECT_EQ(lastError(), err::kAuxReadFailed);
    EXPECT_EQ(fileSize(m_path), kAllTypesDataStart + 10);
    EXPECT_EQ(le32(readRaw(m_path, "secret", edb::kRecordCountOffset, 4)), 1);
}

TEST_F(RecordDatabase, GoToRecordClamps) {
    create(9);
    ASSERT_TRUE(open());
    for (int r = 1; r <= 9; ++r) {
        ASSERT_TRUE(goToRecord(r));
        ASSERT_TRUE(writeField("i", int32_t(r * 10)));
    }
    struct {
        int n;
        int32_t expected;
    } cases[] = {{0, 10}, {-7, 10}, {1, 10}, {9, 90}, {12, 90}, {5, 50}};
    for (auto c : cases) {
        ASSERT_TRUE(goToRecord(c.n));
        EXPECT_EQ(std::get<int32_t>(readField("i")), c.expected) << c.n;
    }
    // The count is read from the file each time.
    writeRaw(m_path, "secret", edb::kRecordCountOffset, le32Bytes(3));
    ASSERT_TRUE(goToRecord(9));
    EXPECT_EQ(std::get<int32_t>(readField("I")), 30);
    writeRaw(m_path, "secret", edb::kRecordCountOffset, le32Bytes(-5));
    ASSERT_TRUE(goToRecord(9));
    EXPECT_EQ(std::get<int32_t>(readField(3)), 10);
}

TEST_F(RecordDatabase, TextIsCutToItsSizeAndPaddedWithNul) {
    create();
    ASSERT_TRUE(open());
    ASSERT_TRUE(goToRecord(2));
    const int64_t textAt = kAllTypesDataStart + kAllTypesRecordLength + kAllTypesTextOffset;

    ASSERT_TRUE(writeField("text", std::string("abc")));
    std::vector<uint8_t> expected = {'a', 'b', 'c'};
    expected.resize(20, 0);
    EXPECT_EQ(readRaw(m_path, "secret", textAt, 20), expected);
    EXPECT_EQ(readText("TEXT"), "abc");

    std::string longer = "0123456789abcdefghijKLMNO";  // 25 bytes
    ASSERT_TRUE(writeField("text", longer));
    EXPECT_EQ(readText("text"), longer.substr(0, 20));
    // The bytes after the field (the byte-array field) are untouched.
    EXPECT_EQ(le32(readRaw(m_path, "secret", textAt + 20, 4)), 0);

    ASSERT_TRUE(writeField("text", std::monostate{}));
    EXPECT_EQ(readRaw(m_path, "secret", textAt, 20), std::vector<uint8_t>(20, 0));
    // GBK text keeps its bytes.
    std::string chinese = platform::utf8ToGbk("邮箱设置");
    ASSERT_TRUE(writeField("text", chinese));
    EXPECT_EQ(readText("text"), chinese);
}

// writeText stores exactly what writeField with a text value stores, and refuses the
// fields a text value does not fit.
TEST_F(RecordDatabase, WriteTextMatchesWritingATextValue) {
    create();
    ASSERT_TRUE(open());
    const int64_t textAt = kAllTypesDataStart + kAllTypesRecordLength + kAllTypesTextOffset;
    ASSERT_TRUE(goToRecord(2));
    for (const std::string& text : {std::string("abc"), std::string(25, 'z'), std::string()}) {
        ASSERT_TRUE(writeField("text", text));
        const auto byField = readRaw(m_path, "secret", textAt, 20);
        ASSERT_TRUE(writeField("text", std::string(20, '#')));
        ASSERT_TRUE(writeText("Text", text));
        EXPECT_EQ(readRaw(m_path, "secret", textAt, 20), byField) << text.size();
    }
    ASSERT_TRUE(writeText("memo", std::string(1200, 'm')));
    EXPECT_EQ(readText("memo"), std::string(1200, 'm'));
    ASSERT_TRUE(writeText("memo", ""));
    EXPECT_EQ(le32(readRaw(m_path, "secret", kAllTypesDataStart + kAllTypesRecordLength + kAllTypesMemoOffset, 4)), 0);
    for (const char* other : {"blob", "i", "flag"}) {
        EXPECT_FALSE(writeText(other, "1"));
        EXPECT_EQ(lastError(), err::kTypeMismatch) << other;
    }
    EXPECT_FALSE(writeText("missing", "x"));
    EXPECT_EQ(lastError(), err::kNoSuchField);
}

TEST_F(RecordDatabase, EveryFieldTypeRoundTrips) {
    create();
    ASSERT_TRUE(open());
    ASSERT_TRUE(goToRecord(3));
    ASSERT_TRUE(writeField("b", uint8_t{200}));
    ASSERT_TRUE(writeField("s", int16_t{-12345}));
    ASSERT_TRUE(writeField("i", int32_t{-2000000000}));
    ASSERT_TRUE(writeField("l", int64_t{-9000000000000000000}));
    ASSERT_TRUE(writeField("f", 1.5f));
    ASSERT_TRUE(writeField("d", -2.25));
    ASSERT_TRUE(writeField("flag", true));
    ASSERT_TRUE(writeField("when", DateTime{45000.75}));
    ASSERT_TRUE(writeField("sub", Subroutine{0xDEADBEEF}));
    ASSERT_TRUE(writeField("text", std::string("hello")));
    ASSERT_TRUE(writeField("blob", Bytes{std::string("\x00\x01\xff", 3)}));
    ASSERT_TRUE(writeField("memo", std::string("a memo")));

    closeAllDatabases();
    ASSERT_TRUE(open("secret", true));
    ASSERT_TRUE(goToRecord(3));
    EXPECT_EQ(readField("b"), TypedValue(uint8_t{200}));
    EXPECT_EQ(readField("s"), TypedValue(int16_t{-12345}));
    EXPECT_EQ(readField("i"), TypedValue(int32_t{-2000000000}));
    EXPECT_EQ(readField("l"), TypedValue(int64_t{-9000000000000000000}));
    EXPECT_EQ(readField("f"), TypedValue(1.5f));
    EXPECT_EQ(readField("d"), TypedValue(-2.25));
    EXPECT_EQ(readField("flag"), TypedValue(true));
    EXPECT_EQ(readField("when"), TypedValue(DateTime{45000.75}));
    EXPECT_EQ(readField("sub"), TypedValue(Subroutine{0xDEADBEEF}));
    EXPECT_EQ(readField("text"), TypedValue(std::string("hello")));
    EXPECT_EQ(readField("blob"), TypedValue(Bytes{std::string("\x00\x01\xff", 3)}));
    EXPECT_EQ(readField("memo"), TypedValue(std::string("a memo")));
    // Other records kept their zeroes and empty values, typed.
    ASSERT_TRUE(goToRecord(1));
    EXPECT_EQ(readField("l"), TypedValue(int64_t{0}));
    EXPECT_EQ(readField("when"), TypedValue(DateTime{0}));
    EXPECT_EQ(readField("blob"), TypedValue(Bytes{}));
    EXPECT_EQ(readField("memo"), TypedValue(std::string()));
}

TEST_F(RecordDatabase, ValuesConvertOrAreRefused) {
    create();
    ASSERT_TRUE(open());
    ASSERT_TRUE(goToRecord(1));
    // Numbers convert between numeric types; floating values truncate toward zero.
    ASSERT_TRUE(writeField("i", 3.9));
    EXPECT_EQ(readField("i"), TypedValue(int32_t{3}));
    ASSERT_TRUE(writeField("i", -3.9f));
    EXPECT_EQ(readField("i"), TypedValue(int32_t{-3}));
    ASSERT_TRUE(writeField("s", 1e12));  // saturates instead of undefined behaviour
    EXPECT_EQ(readField("s"), TypedValue(int16_t{32767}));
    ASSERT_TRUE(writeField("d", int32_t{7}));
    EXPECT_EQ(readField("d"), TypedValue(7.0));
    ASSERT_TRUE(writeField("when", int64_t{2}));
    EXPECT_EQ(readField("when"), TypedValue(DateTime{2.0}));
    ASSERT_TRUE(writeField("l", DateTime{-1.5}));
    EXPECT_EQ(readField("l"), TypedValue(int64_t{-1}));
    ASSERT_TRUE(writeField("b", int32_t{0x1FF}));
    EXPECT_EQ(readField("b"), TypedValue(uint8_t{0xFF}));

    // Anything else is a type mismatch and writes nothing.
    ASSERT_TRUE(writeField("text", std::string("keep")));
    struct {
        const char* field;
        TypedValue value;
    } mismatches[] = {
        {"i", std::string("12")}, {"text", int32_t{5}}, {"memo", Bytes{"x"}}, {"blob", std::string("x")},
        {"flag", int32_t{1}},     {"sub", int32_t{1}},  {"d", true},          {"text", Bytes{"x"}},
    };
    for (const auto& m : mismatches) {
        EXPECT_FALSE(writeField(m.field, m.value)) << m.field;
        EXPECT_EQ(lastError(), err::kTypeMismatch) << m.field;
    }
    EXPECT_EQ(readText("text"), "keep");
    EXPECT_EQ(readField("i"), TypedValue(int32_t{-3}));

    // An absent value writes zero or empty.
    ASSERT_TRUE(writeField("i", std::monostate{}));
    EXPECT_EQ(readField("i"), TypedValue(int32_t{0}));
    ASSERT_TRUE(writeField("flag", std::monostate{}));
    EXPECT_EQ(readField("flag"), TypedValue(false));

    EXPECT_FALSE(writeField("nope", int32_t{1}));
    EXPECT_EQ(lastError(), err::kNoSuchField);
    EXPECT_FALSE(writeField(13, int32_t{1}));
    EXPECT_EQ(lastError(), err::kNoSuchField);
    closeAllDatabases();
    EXPECT_FALSE(writeField("i", int32_t{1}));
    EXPECT_EQ(lastError(), err::kDatabaseNotOpen);
}

TEST_F(RecordDatabase, StoredBytesAreInterpretedOnRead) {
    create();
    const int64_t record = kAllTypesDataStart;
    writeRaw(m_path, "secret", record + 27, {7});  // bool: any non-zero byte
    double far = 3000000.0, early = -700000.0;
    std::vector<uint8_t> farBytes(8), earlyBytes(8);
    std::memcpy(farBytes.data(), &far, 8);
    std::memcpy(earlyBytes.data(), &early, 8);
    writeRaw(m_path, "secret", record + 28, farBytes);
    writeRaw(m_path, "secret", record + kAllTypesRecordLength + 28, earlyBytes);
    writeRaw(m_path, "secret", record + kAllTypesTextOffset, {'a', 'b', 0, 'c', 'd'});  // cut at the NUL
    ASSERT_TRUE(open());
    ASSERT_TRUE(goToRecord(1));
    EXPECT_EQ(readField("flag"), TypedValue(true));
    EXPECT_EQ(readField("when"), TypedValue(DateTime{2958465.0}));
    EXPECT_EQ(readText("text"), "ab");
    ASSERT_TRUE(goToRecord(2));
    EXPECT_EQ(readField("when"), TypedValue(DateTime{-657434.0}));
    // A text filling the whole size has no terminator.
    ASSERT_TRUE(goToRecord(3));
    writeRaw(m_path, "secret", record + 2 * kAllTypesRecordLength + kAllTypesTextOffset, std::vector<uint8_t>(20, 'z'));
    EXPECT_EQ(readText("text"), std::string(20, 'z'));
}

TEST_F(RecordDatabase, FailuresLeaveTheFileAsItWas) {
    create();
    ASSERT_TRUE(open("secret", true));
    ASSERT_TRUE(goToRecord(1));
    EXPECT_FALSE(writeField("i", int32_t{5}));
    EXPECT_EQ(lastError(), err::kAccessDenied);
    EXPECT_FALSE(writeField("memo", std::string("x")));
    EXPECT_EQ(readField("i"), TypedValue(int32_t{0}));
    EXPECT_EQ(lastError(), 0);
    closeAllDatabases();

    // A file cut short behind our back: reads fail with a code, values are empty.
    ASSERT_TRUE(open());
    ASSERT_TRUE(goToRecord(3));
    ASSERT_TRUE(writeField("text", std::string("there")));
    std::filesystem::resize_file(m_path, kAllTypesDataStart + 2 * kAllTypesRecordLength + 45);
    EXPECT_EQ(readText("text"), "");
    EXPECT_EQ(lastError(), err::kReadFieldFailed);
    std::filesystem::resize_file(m_path, kAllTypesDataStart + kAllTypesRecordLength);
    EXPECT_EQ(readField("i"), TypedValue(int32_t{0}));
    EXPECT_EQ(lastError(), err::kBadSeek);
    EXPECT_FALSE(writeField("i", int32_t{1}));
    EXPECT_EQ(lastError(), err::kNoCurrentRecord);
    EXPECT_EQ(fileSize(m_path), kAllTypesDataStart + kAllTypesRecordLength);
}

TEST(ErrorMessages, TableAndUnknownCodes) {
    EXPECT_EQ(errorMessage(-1), "未知错误");
    EXPECT_EQ(errorMessage(-22), "指定文件不是数据库文件");
    EXPECT_EQ(errorMessage(-24),
              "无效的别名。别名首字符必须为全半角字母或汉字，其他字符必须为全半角字母、全半角数字或汉字");
    EXPECT_EQ(errorMessage(-67), "未设置当前数据库");
    EXPECT_EQ(errorMessage(-2), "未知错误");
    EXPECT_EQ(errorMessage(0), "未知错误");
    EXPECT_EQ(runtimeErrorReport(std::nullopt, "指定字段不存在"), "运行时出错!\r\n\r\n错误信息：指定字段不存在\r\n");
    EXPECT_EQ(runtimeErrorReport(-61, ""), "运行时出错!\r\n\r\n错误代码：-61\r\n\r\n");
}

using RecordDatabaseDeathTest = RecordDatabase;

TEST_F(RecordDatabaseDeathTest, MissingFieldOrDatabaseEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    create();
    EXPECT_DEATH(
        {
            closeAllDatabases();
            (void)readField("i");
        },
        "运行时出错!\r\n\r\n错误信息：未指定当前数据库或者指定数据库未打开");
    EXPECT_DEATH(
        {
            if (!open()) std::abort();
            (void)readField("no such field");
        },
        "错误信息：指定字段不存在");
    EXPECT_DEATH(
        {
            if (!open()) std::abort();
            (void)readField(13);
        },
        "指定字段不存在");
    // The application's hook sees the report; the process still ends.
    EXPECT_DEATH(
        {
            if (!open()) std::abort();
            setRuntimeErrorHook([](const std::string& report) { std::fprintf(stderr, "hook<%s>", report.c_str()); });
            (void)readField("nothing");
        },
        "hook<运行时出错!");
}

}  // namespace
