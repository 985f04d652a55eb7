#include "records/mailbox_store.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>

#include "held_lock.h"
#include "platform/gbk.h"
#include "records/record_database.h"
#include "records/record_file.h"
#include "test_folder.h"

namespace {

using records::testing::TestFolder;

std::string gbk(const char* utf8) { return platform::utf8ToGbk(utf8); }

class MailboxStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(records::copyMailboxDatabase(TMBL_PROGRAM_DIR, m_folder.path()));
        ASSERT_TRUE(records::openMailboxDatabase(m_folder.path())) << records::lastError();
    }
    void TearDown() override { records::closeAllDatabases(); }

    TestFolder m_folder;
};

TEST_F(MailboxStore, ShippedDatabaseHoldsPlaceholdersAndNotes) {
    for (int record = 1; record <= 9; ++record) {
        records::MailboxEntry entry = records::readMailboxEntry(record).value;
        EXPECT_EQ(entry.name, gbk("－－")) << record;
        EXPECT_EQ(entry.description, records::kDescriptionPlaceholder) << record;
        EXPECT_EQ(entry.loginKind, gbk("邮箱")) << record;
        EXPECT_EQ(entry.userName, "");
        EXPECT_EQ(entry.id, 0);
    }
    EXPECT_EQ(records::readSettingsNote(1).value, gbk("否"));
    EXPECT_EQ(records::readSettingsNote(2).value, "482");
    EXPECT_EQ(records::readSettingsNote(3).value, gbk("否"));
}

TEST_F(MailboxStore, EntriesAndNotesSurviveReopening) {
    records::MailboxEntry entry;
    entry.name = gbk("工作");
    entry.description = gbk("公司邮箱");
    entry.userName = "zhang.san";
    entry.password = records::encodePassword(gbk("密码abc"));
    entry.type = "163.com";
    entry.address = "http://example.org/login";
    entry.loginKind = gbk("网址");
    ASSERT_TRUE(records::writeEntry(5, entry));
    ASSERT_TRUE(records::writeSettingsNote(2, gbk("新密码")));

    records::closeMailboxDatabase(m_folder.path());
    ASSERT_TRUE(records::openDatabasePaths().empty());
    ASSERT_TRUE(records::openMailboxDatabase(m_folder.path()));

    records::MailboxEntry back = records::readMailboxEntry(5).value;
    EXPECT_EQ(back.name, entry.name);
    EXPECT_EQ(back.description, entry.description);
    EXPECT_EQ(back.userName, entry.userName);
    EXPECT_EQ(back.password, entry.password);
    EXPECT_EQ(back.type, entry.type);
    EXPECT_EQ(back.address, entry.address);
    EXPECT_EQ(back.loginKind, entry.loginKind);
    EXPECT_EQ(records::decodePassword(back.password), gbk("密码abc"));
    EXPECT_EQ(records::readSettingsNote(2).value, gbk("新密码"));
    // Neighbours are untouched.
    EXPECT_EQ(records::readMailboxEntry(4).value.name, gbk("－－"));
    EXPECT_EQ(records::readMailboxEntry(6).value.name, gbk("－－"));
}

}  // namespace

namespace {

TEST(ProviderTable, RowsKeysAndSharedAddresses) {
    const auto& rows = records::providerTable();
    ASSERT_EQ(rows.size(), 21u);
    std::set<std::string> keys, addresses;
    for (const auto& row : rows) {
        keys.insert(row.key);
        addresses.insert(row.address);
        EXPECT_EQ(row.address.rfind("https://", 0), 0u) << row.key;
        EXPECT_EQ(records::providerAddress(row.key), row.address) << row.key;
        EXPECT_TRUE(records::isKnownProvider(row.key));
    }
    EXPECT_EQ(keys.size(), 21u);
    EXPECT_EQ(addresses.size(), 17u);
    EXPECT_EQ(rows[0].address, rows[1].address);
    EXPECT_EQ(rows[0].address, rows[2].address);
    EXPECT_EQ(rows[3].address, rows[5].address);
    EXPECT_NE(rows[3].address, rows[4].address);
    EXPECT_EQ(rows[12].address, rows[13].address);

    auto endsWith = [](const std::string& s, std::string_view tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    EXPECT_TRUE(endsWith(rows[0].address, "/cgi-bin/loginpage?t=loginpage&s=logout&f=html"));
    EXPECT_TRUE(endsWith(rows[9].address, "/cgi-bin/login.cgi"));
    EXPECT_TRUE(endsWith(rows[10].address, "/cgi-bin/login_vipmail.php"));
    EXPECT_TRUE(endsWith(rows[11].address, "/cnmail/index.html"));
    EXPECT_TRUE(endsWith(rows[18].address, "/webmail/"));
    EXPECT_TRUE(endsWith(rows[20].address, "/wmail/cgi/index.cgi"));
    // Row 12's page lives on row 10's host.
    auto host = [](const std::string& url) { return url.substr(7, url.find('/', 7) - 7); };
    EXPECT_EQ(host(rows[11].address), host(rows[9].address));

    // Row 1's key carries two capitals before the dot; keys compare exactly.
    const std::string& first = rows[0].key;
    size_t dot = first.find('.');
    ASSERT_GE(dot, 2u);
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(first[dot - 1])));
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(first[dot - 2])));
    std::string lower = first;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_FALSE(records::isKnownProvider(lower));
    EXPECT_FALSE(records::providerAddress(lower).has_value());
    EXPECT_FALSE(records::isKnownProvider(""));
}

TEST(ProviderTable, TestsCanPointEveryRowElsewhere) {
    const std::string original = records::providerTable()[4].address;
    std::vector<std::string> local;
    for (int i = 0; i < 21; ++i) local.push_back("http://127.0.0.1:8080/p" + std::to_string(i));
    records::setProviderAddresses(local);
    EXPECT_EQ(records::providerAddress(records::providerTable()[4].key), "http://127.0.0.1:8080/p4");
    EXPECT_EQ(records::providerTable()[0].key, "QQ.com");
    records::setProviderAddresses({});
    EXPECT_EQ(records::providerTable()[4].address, original);
}

TEST(PasswordEncoding, SignedBytesWithCommas) {
    EXPECT_EQ(records::encodePassword("abc"), "97,98,99,");
    EXPECT_EQ(records::decodePassword("97,98,99,"), "abc");
    EXPECT_EQ(records::encodePassword(""), "");
    EXPECT_EQ(records::decodePassword(""), "");

    // A GBK character: two bytes above 127, stored as two negative numbers.
    std::string mi = gbk("密");
    ASSERT_EQ(mi.size(), 2u);
    std::string encoded = records::encodePassword(mi);
    EXPECT_EQ(encoded, std::to_string(static_cast<signed char>(mi[0])) + "," +
                           std::to_string(static_cast<signed char>(mi[1])) + ",");
    EXPECT_EQ(encoded.front(), '-');
    EXPECT_EQ(records::decodePassword(encoded), mi);
    std::string mixed = gbk("口令Pa55，！") + "\x7f\x80\xff";
    EXPECT_EQ(records::decodePassword(records::encodePassword(mixed)), mixed);

    // Decoding is forgiving: the last comma may be missing, low eight bits count, and a
    // piece that comes to byte 0 adds nothing.
    EXPECT_EQ(records::decodePassword("97,98"), "ab");
    EXPECT_EQ(records::decodePassword("353,-159,"), "aa");
    EXPECT_EQ(records::decodePassword("97,0,256,,98,"), "ab");
    // 2^40 + 97: far beyond 32 bits, its low eight bits are still 97.
    EXPECT_EQ(records::decodePassword("1099511627873,97,"), "aa");
}

class LegacyMigration : public MailboxStore {
protected:
    void writeLegacy(const std::string& utf8) {
        std::ofstream out(m_folder.file("tmbl.db"), std::ios::binary);
        out << gbk(utf8.c_str());
    }
};

TEST_F(LegacyMigration, EntriesMoveOnceAndMissingPartsTakeDefaults) {
    std::string legacy;
    for (int k = 0; k <= 8; ++k) {
        if (k == 4) continue;  // no section for record 5
        legacy += "[邮箱号" + std::to_string(k) + "]\r\n";
        legacy += "ID=" + std::to_string(100 + k) + "\r\n";
        legacy += "邮箱名称=邮" + std::to_string(k) + "\r\n";
        if (k == 2) continue;  // only ID and name
        legacy += "说明 = 说明" + std::to_string(k) + " \r\n";
        legacy += "用户名=user" + std::to_string(k) + "\r\n";
        legacy += "密码=97,98,\r\n";
        legacy += "类型=163.com\r\n";
        legacy += "网址=\r\n";
        legacy += "登录类别=网址\r\n";
    }
    writeLegacy(legacy);
    records::MailboxEntry first = records::readLegacyEntry(m_folder.file("tmbl.db"), 0);
    EXPECT_EQ(first.id, 100);
    EXPECT_EQ(first.name, gbk("邮0"));
    EXPECT_EQ(first.description, gbk("说明0"));

    ASSERT_TRUE(records::migrateLegacyEntries(m_folder.path()));
    EXPECT_FALSE(std::filesystem::exists(m_folder.file("tmbl.db")));

    records::MailboxEntry e1 = records::readMailboxEntry(1).value;
    EXPECT_EQ(e1.name, gbk("邮0"));
    EXPECT_EQ(e1.description, gbk("说明0"));
    EXPECT_EQ(e1.userName, "user0");
    EXPECT_EQ(e1.password, "97,98,");
    EXPECT_EQ(e1.type, "163.com");
    EXPECT_EQ(e1.address, "");
    EXPECT_EQ(e1.loginKind, gbk("网址"));
    EXPECT_EQ(e1.id, 0);  // ID is not stored

    records::MailboxEntry e3 = records::readMailboxEntry(3).value;  // section with two keys
    EXPECT_EQ(e3.name, gbk("邮2"));
    EXPECT_EQ(e3.description, records::kDescriptionPlaceholder);
    EXPECT_EQ(e3.userName, "");
    EXPECT_EQ(e3.loginKind, gbk("邮箱"));

    records::MailboxEntry e5 = records::readMailboxEntry(5).value;  // no section at all
    EXPECT_EQ(e5.name, gbk("－－"));
    EXPECT_EQ(e5.description, records::kDescriptionPlaceholder);
    EXPECT_EQ(e5.loginKind, gbk("邮箱"));
    EXPECT_EQ(records::readMailboxEntry(9).value.name, gbk("邮8"));
    // The settings notes live in another field and are not touched.
    EXPECT_EQ(records::readSettingsNote(2).value, "482");

    // Nothing left to migrate: a second start changes nothing.
    records::MailboxEntry changed = e1;
    changed.name = gbk("改");
    ASSERT_TRUE(records::writeEntry(1, changed));
    EXPECT_TRUE(records::migrateLegacyEntries(m_folder.path()));
    EXPECT_EQ(records::readMailboxEntry(1).value.name, gbk("改"));
}

TEST_F(LegacyMigration, ReaderMatchesLikeThePlatformReader) {
    std::string huge(12000, 'v');
    writeLegacy(
        "; a comment\r\n[other]\r\n用户名=wrong\r\n[邮箱号3]\r\nid=7\r\n用户名=\"quoted name\"\r\n"
        "说明=" +
        huge + "\r\n[邮箱号3]\r\n类型=second section is ignored\r\n");
    records::MailboxEntry e = records::readLegacyEntry(m_folder.file("tmbl.db"), 3);
    EXPECT_EQ(e.id, 7);  // key matched without regard to case
    EXPECT_EQ(e.userName, "quoted name");
    EXPECT_EQ(e.description.size(), 10239u);  // the reader's buffer, terminator included
    EXPECT_EQ(e.type, "");
    // Section names ignore letter case too, and "04" is not section 4.
    writeLegacy("[EMAIL]\r\n[邮箱号4]\r\nUser=x\r\n");
    EXPECT_EQ(records::readLegacyEntry(m_folder.file("tmbl.db"), 4).name, gbk("－－"));
    writeLegacy("[邮箱号04]\r\n邮箱名称=零四\r\n");
    EXPECT_EQ(records::readLegacyEntry(m_folder.file("tmbl.db"), 4).name, gbk("－－"));
    EXPECT_EQ(records::readLegacyEntry(m_folder.file("missing.db"), 0).loginKind, gbk("邮箱"));
}

TEST_F(LegacyMigration, FailedWritesKeepTheLegacyFile) {
    writeLegacy("[邮箱号0]\r\n邮箱名称=保留\r\n");
    // The database open read-only: every write fails.
    records::closeAllDatabases();
    records::OpenOptions readOnly;
    readOnly.readOnly = true;
    readOnly.password = records::kMailboxDatabasePassword;
    ASSERT_TRUE(records::openDatabase(m_folder.file("tmbl.edb"), readOnly));
    EXPECT_FALSE(records::migrateLegacyEntries(m_folder.path()));
    EXPECT_TRUE(std::filesystem::exists(m_folder.file("tmbl.db")));

    // The next start, with a writable database, completes it.
    records::closeAllDatabases();
    ASSERT_TRUE(records::openMailboxDatabase(m_folder.path()));
    EXPECT_TRUE(records::migrateLegacyEntries(m_folder.path()));
    EXPECT_FALSE(std::filesystem::exists(m_folder.file("tmbl.db")));
    EXPECT_EQ(records::readMailboxEntry(1).value.name, gbk("保留"));
}

TEST_F(MailboxStore, EmptyDescriptionAndLoginKindReadAsDefaults) {
    records::MailboxEntry blank;
    ASSERT_TRUE(records::writeEntry(7, blank));
    records::MailboxEntry back = records::readMailboxEntry(7).value;
    EXPECT_EQ(back.description, records::kDescriptionPlaceholder);
    EXPECT_EQ(back.loginKind, gbk("邮箱"));
    EXPECT_EQ(back.name, "");
    EXPECT_EQ(back.type, "");
    // Long values survive in the memo fields, short ones are cut to their text field.
    records::MailboxEntry big;
    big.description = std::string(3000, 'd');
    big.address = "http://example.org/" + std::string(1500, 'p');
    big.password = records::encodePassword(std::string(200, '\x90'));
    big.name = std::string(100, 'n');
    ASSERT_TRUE(records::writeEntry(8, big));
    back = records::readMailboxEntry(8).value;
    EXPECT_EQ(back.description, big.description);
    EXPECT_EQ(back.address, big.address);
    EXPECT_EQ(back.password, big.password);
    EXPECT_EQ(back.name, std::string(32, 'n'));
}

using test_common::HeldLock;

TEST_F(MailboxStore, UnreachableRecordReadsEmptyNeverAsTheRecordBefore) {
    records::MailboxEntry first;
    first.name = gbk("第一");
    first.description = gbk("记录一");
    first.userName = "one";
    first.type = "163.com";
    first.loginKind = gbk("网址");
    ASSERT_TRUE(records::writeEntry(1, first));
    ASSERT_TRUE(records::writeSettingsNote(1, gbk("是")));
    const std::string path = m_folder.file(records::kMailboxDatabaseFile);

    // The record count held past the two seconds go to record waits for it.
    {
        HeldLock held(path, records::edb::kRecordCountOffset);
        auto started = std::chrono::steady_clock::now();
        records::RecordRead<records::MailboxEntry> entry = records::readMailboxEntry(2);
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900));
        EXPECT_FALSE(entry.ok());
        EXPECT_EQ(entry.error, records::edb::error::kLockViolation);
        EXPECT_EQ(entry.value.name, "");
        EXPECT_EQ(entry.value.userName, "");
        EXPECT_EQ(entry.value.type, "");
        EXPECT_EQ(entry.value.description, records::kDescriptionPlaceholder);
        EXPECT_EQ(entry.value.loginKind, gbk("邮箱"));
        records::RecordRead<std::string> note = records::readSettingsNote(2);
        EXPECT_FALSE(note.ok());
        EXPECT_EQ(note.value, "");  // not record 1's "是"
    }

    // Record 2's own lock held: go to record succeeds, its fields cannot be read, and no
    // mixture of empty and read fields is passed off as the entry.
    auto info = records::currentDatabaseInfo();
    ASSERT_TRUE(info);
    {
        HeldLock held(path, info->dataStart + info->recordLength);
        records::RecordRead<records::MailboxEntry> entry = records::readMailboxEntry(2);
        EXPECT_EQ(entry.error, records::edb::error::kLockViolation);
        EXPECT_EQ(entry.value.name, "");
        EXPECT_FALSE(records::readSettingsNote(2).ok());
        // Other records are still readable meanwhile.
        records::RecordRead<records::MailboxEntry> one = records::readMailboxEntry(1);
        ASSERT_TRUE(one.ok());
        EXPECT_EQ(one.value.name, first.name);
        EXPECT_EQ(one.value.userName, "one");
    }

    records::RecordRead<std::string> note = records::readSettingsNote(2);
    EXPECT_TRUE(note.ok());
    EXPECT_EQ(note.value, "482");
    EXPECT_TRUE(records::readMailboxEntry(2).ok());
}

TEST(MailboxDatabase, MissingDatabaseFailsToOpen) {
    TestFolder empty;
    EXPECT_FALSE(records::openMailboxDatabase(empty.path()));
    EXPECT_EQ(records::lastError(), records::edb::error::kFileNotFound);
    EXPECT_TRUE(records::openDatabasePaths().empty());
    // A copy without its auxiliary file cannot be opened either.
    ASSERT_TRUE(records::copyMailboxDatabase(TMBL_PROGRAM_DIR, empty.path()));
    std::filesystem::remove(empty.file(records::kMailboxAuxiliaryFile));
    EXPECT_FALSE(records::openMailboxDatabase(empty.path()));
    EXPECT_EQ(records::lastError(), records::edb::error::kAuxReadFailed);
}

}  // namespace
