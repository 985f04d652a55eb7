#include "records/mailbox_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/gbk.h"
#include "records/record_database.h"
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
        records::MailboxEntry entry = records::readMailboxEntry(record);
        EXPECT_EQ(entry.name, gbk("－－")) << record;
        EXPECT_EQ(entry.description, records::kDescriptionPlaceholder) << record;
        EXPECT_EQ(entry.loginKind, gbk("邮箱")) << record;
        EXPECT_EQ(entry.userName, "");
        EXPECT_EQ(entry.id, 0);
    }
    EXPECT_EQ(records::readSettingsNote(1), gbk("否"));
    EXPECT_EQ(records::readSettingsNote(2), "482");
    EXPECT_EQ(records::readSettingsNote(3), gbk("否"));
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

    records::MailboxEntry back = records::readMailboxEntry(5);
    EXPECT_EQ(back.name, entry.name);
    EXPECT_EQ(back.description, entry.description);
    EXPECT_EQ(back.userName, entry.userName);
    EXPECT_EQ(back.password, entry.password);
    EXPECT_EQ(back.type, entry.type);
    EXPECT_EQ(back.address, entry.address);
    EXPECT_EQ(back.loginKind, entry.loginKind);
    EXPECT_EQ(records::decodePassword(back.password), gbk("密码abc"));
    EXPECT_EQ(records::readSettingsNote(2), gbk("新密码"));
    // Neighbours are untouched.
    EXPECT_EQ(records::readMailboxEntry(4).name, gbk("－－"));
    EXPECT_EQ(records::readMailboxEntry(6).name, gbk("－－"));
}

}  // namespace
