#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "edb_fixture.h"
#include "records/record_database.h"
#include "test_folder.h"

namespace {

using namespace records;
using namespace records::testing;
namespace err = records::edb::error;

struct BlockView {
    int32_t prev, next, used;
};

class MemoStorage : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_folder.file("memo.edb");
        m_aux = m_folder.file("memo.EDT");
        ASSERT_EQ(createDatabase(m_path, 4, allTypes(), "pw"), 0);
        ASSERT_TRUE(reopen());
    }
    void TearDown() override { closeAllDatabases(); }

    bool reopen(bool readOnly = false) {
        closeAllDatabases();
        OpenOptions options;
        options.password = "pw";
        options.readOnly = readOnly;
        return openDatabase(m_path, options);
    }
    void write(int record, const std::string& text) {
        ASSERT_TRUE(goToRecord(record));
        ASSERT_TRUE(writeField("memo", text)) << lastError();
    }
    std::string read(int record) {
        EXPECT_TRUE(goToRecord(record));
        return readText("memo");
    }
    int32_t firstBlock(int record) {
        return le32(
            readRaw(m_path, "pw", kAllTypesDataStart + (record - 1) * kAllTypesRecordLength + kAllTypesMemoOffset, 4));
    }
    BlockView block(int32_t n) {
        auto bytes = readRaw(m_aux, "pw", int64_t(n) * 512, 12);
        return {le32(bytes, 0), le32(bytes, 4), le32(bytes, 8)};
    }
    std::vector<int32_t> chain(int32_t first, size_t limit = 100) {
        std::vector<int32_t> blocks;
        for (int32_t b = first; b != 0 && blocks.size() < limit; b = block(b).next) blocks.push_back(b);
        return blocks;
    }
    static std::vector<int32_t> blockRange(int32_t from, int32_t to) {
        std::vector<int32_t> blocks;
        for (int32_t b = from; b <= to; ++b) blocks.push_back(b);
        return blocks;
    }
    std::vector<int32_t> used(int32_t first) {
        std::vector<int32_t> counts;
        for (int32_t b : chain(first)) counts.push_back(block(b).used);
        return counts;
    }
    struct Header {
        int32_t blocks, freeCount, firstFree;
    };
    Header header() {
        auto bytes = readRaw(m_aux, "pw", 16, 12);
        return {le32(bytes, 0), le32(bytes, 4), le32(bytes, 8)};
    }
    static std::string text(size_t n, char seed = 'a') {
        std::string s(n, ' ');
        for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 26);
        return s;
    }

    TestFolder m_folder;
    std::string m_path, m_aux;
};

TEST_F(MemoStorage, ChainLengthsFollowTheValue) {
    struct {
        size_t length;
        std::vector<int32_t> used;
    } cases[] = {{0, {}}, {1, {1}}, {500, {500}}, {501, {500, 1}}, {1200, {500, 500, 200}}};
    for (const auto& c : cases) {
        write(1, text(c.length));
        EXPECT_EQ(read(1), text(c.length)) << c.length;
        EXPECT_EQ(used(firstBlock(1)), c.used) << c.length;
        if (c.length == 0) {
            EXPECT_EQ(firstBlock(1), 0);
        }
    }
    // The chain links back: previous words mirror next words.
    auto blocks = chain(firstBlock(1));
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(block(blocks[0]).prev, 0);
    EXPECT_EQ(block(blocks[1]).prev, blocks[0]);
    EXPECT_EQ(block(blocks[2]).prev, blocks[1]);
    // Data after the used bytes is zero-filled.
    auto last = readRaw(m_aux, "pw", int64_t(blocks[2]) * 512 + 12, 500);
    EXPECT_TRUE(std::all_of(last.begin() + 200, last.end(), [](uint8_t b) { return b == 0; }));
    // The value survives closing and a read-only open.
    ASSERT_TRUE(reopen(true));
    EXPECT_EQ(read(1), text(1200));
}

TEST_F(MemoStorage, RewritingReusesFreesAndShrinks) {
    write(1, text(1200));
    auto before = chain(firstBlock(1));
    ASSERT_EQ(before, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(fileSize(m_aux), 4 * 512);

    // Shorter: the first block is reused, the other two are freed and, being the last
    // blocks of the file, cut off.
    write(1, text(300, 'k'));
    EXPECT_EQ(firstBlock(1), 1);
    EXPECT_EQ(used(1), std::vector<int32_t>{300});
    EXPECT_EQ(read(1), text(300, 'k'));
    EXPECT_EQ(header().blocks, 2);
    EXPECT_EQ(header().freeCount, 0);
    EXPECT_EQ(header().firstFree, 0);
    EXPECT_EQ(fileSize(m_aux), 2 * 512);

    // Empty frees the whole chain.
    write(1, "");
    EXPECT_EQ(firstBlock(1), 0);
    EXPECT_EQ(read(1), "");
    EXPECT_EQ(header().blocks, 1);
    EXPECT_EQ(fileSize(m_aux), 512);
}

TEST_F(MemoStorage, FreedBlocksInTheMiddleAreReusedBeforeTheFileGrows) {
    write(1, text(1200, 'a'));  // blocks 1..3
    write(2, text(600, 'b'));   // blocks 4, 5
    write(1, text(100, 'c'));   // frees 2 and 3; 5 is still in use, so no shrinking
    EXPECT_EQ(header().blocks, 6);
    EXPECT_EQ(header().freeCount, 2);
    EXPECT_EQ(header().firstFree, 2);
    EXPECT_EQ(block(2).used, 0);
    EXPECT_EQ(block(2).prev, 0);
    EXPECT_EQ(block(2).next, 3);
    EXPECT_EQ(block(3).prev, 2);
    EXPECT_EQ(fileSize(m_aux), 6 * 512);

    // A new value takes the free blocks first, then appends.
    write(3, text(1400, 'd'));
    EXPECT_EQ(chain(firstBlock(3)), (std::vector<int32_t>{2, 3, 6}));
    EXPECT_EQ(header().freeCount, 0);
    EXPECT_EQ(header().firstFree, 0);
    EXPECT_EQ(header().blocks, 7);

    // Every value is still whole.
    EXPECT_EQ(read(1), text(100, 'c'));
    EXPECT_EQ(read(2), text(600, 'b'));
    EXPECT_EQ(read(3), text(1400, 'd'));
}

TEST_F(MemoStorage, ShrinkingWalksBackOverOlderFreeBlocks) {
    write(1, text(1000, 'a'));  // 1, 2
    write(2, text(500, 'b'));   // 3
    write(3, text(1000, 'c'));  // 4, 5
    write(2, "");               // 3 free, in the middle
    EXPECT_EQ(header().blocks, 6);
    // Freeing 4 and 5 at the end also drops 3, which was free already.
    write(3, "");
    EXPECT_EQ(header().blocks, 3);
    EXPECT_EQ(header().freeCount, 0);
    EXPECT_EQ(header().firstFree, 0);
    EXPECT_EQ(fileSize(m_aux), 3 * 512);
    EXPECT_EQ(read(1), text(1000, 'a'));

    // A free block that stays (2 is in use behind it) keeps a consistent list.
    write(1, text(400, 'x'));  // frees 2, the last block: file back to 2 blocks
    EXPECT_EQ(header().blocks, 2);
    write(2, text(900, 'y'));  // 2, 3
    write(4, text(10, 'z'));   // 4
    write(2, text(10, 'y'));   // frees 3, not last
    write(3, text(10, 'w'));   // takes 3 from the free list
    EXPECT_EQ(firstBlock(3), 3);
    write(4, "");  // frees 4, the last block; 3 is in use and stays
    EXPECT_EQ(header().blocks, 4);
    EXPECT_EQ(read(3), text(10, 'w'));
    EXPECT_EQ(read(2), text(10, 'y'));
}

TEST_F(MemoStorage, BytesFieldSharesTheBlockFile) {
    ASSERT_TRUE(goToRecord(1));
    std::string binary("\x00\xff\x10\x00", 4);
    binary += std::string(700, '\x7f');
    ASSERT_TRUE(writeField("blob", Bytes{binary}));
    ASSERT_TRUE(writeField("memo", std::string("memo")));
    EXPECT_EQ(readField("blob"), TypedValue(Bytes{binary}));
    EXPECT_EQ(readText("memo"), "memo");
    EXPECT_EQ(header().blocks, 4);
}

TEST_F(MemoStorage, AuxiliaryFileIsCheckedAndRepairedOnOpen) {
    write(1, text(1200));
    closeAllDatabases();

    // Missing blocks at the end: refused read-only, repaired read-write.
    std::filesystem::resize_file(m_aux, 3 * 512 + 100);
    EXPECT_FALSE(reopen(true));
    EXPECT_EQ(lastError(), err::kAuxDamaged);
    EXPECT_TRUE(reopen());
    EXPECT_EQ(header().blocks, 3);
    // The value that lost its last block now reads as a failure, not as garbage.
    EXPECT_EQ(read(1), "");
    EXPECT_EQ(lastError(), err::kAuxAccess);
    closeAllDatabases();

    writeRaw(m_aux, "pw", 4, le32Bytes(0x00010001));
    EXPECT_FALSE(reopen());
    EXPECT_EQ(lastError(), err::kAuxVersion);
    writeRaw(m_aux, "pw", 4, le32Bytes(0x00010000));
    for (auto [position, value] : {std::pair{16, 0}, {20, 3}, {24, -1}, {24, 9}}) {
        auto saved = readRaw(m_aux, "pw", position, 4);
        writeRaw(m_aux, "pw", position, le32Bytes(value));
        EXPECT_FALSE(reopen()) << position;
        EXPECT_EQ(lastError(), err::kAuxReadFailed) << position;
        writeRaw(m_aux, "pw", position, saved);
    }
    {
        std::fstream f(m_aux, std::ios::in | std::ios::out | std::ios::binary);
        f.write("WEDX", 4);
    }
    EXPECT_FALSE(reopen());
    EXPECT_EQ(lastError(), err::kAuxReadFailed);
    std::filesystem::remove(m_aux);
    EXPECT_FALSE(reopen());
    EXPECT_EQ(lastError(), err::kAuxReadFailed);
    EXPECT_TRUE(openDatabasePaths().empty());

    // The auxiliary file is found whatever the case of its name.
    ASSERT_EQ(createDatabase(m_path, 4, allTypes(), "pw"), 0);
    std::filesystem::rename(m_aux, m_folder.file("memo.edt"));
    EXPECT_TRUE(reopen());
}

TEST_F(MemoStorage, RepairKeepsTheFreeListConsistent) {
    write(1, text(2000, 'a'));  // 1..4
    write(2, text(100, 'b'));   // 5
    write(1, text(10, 'c'));    // frees 2, 3, 4
    ASSERT_EQ(header().freeCount, 3);
    closeAllDatabases();
    // Only blocks 0..2 survive: three free blocks are counted, but only block 2 is left.
    std::filesystem::resize_file(m_aux, 3 * 512);
    ASSERT_TRUE(reopen()) << lastError();
    EXPECT_EQ(header().blocks, 3);
    EXPECT_EQ(header().freeCount, 1);
    EXPECT_EQ(header().firstFree, 2);
    EXPECT_EQ(block(2).prev, 0);
    EXPECT_EQ(block(2).next, 0);
    // The repaired file opens again, and the free block is used before the file grows.
    ASSERT_TRUE(reopen()) << lastError();
    EXPECT_EQ(read(1), text(10, 'c'));
    write(3, text(300, 'd'));
    EXPECT_EQ(firstBlock(3), 2);
    EXPECT_EQ(read(2), "");
    EXPECT_EQ(lastError(), err::kAuxAccess);
}

TEST_F(MemoStorage, DamagedChainsFailInsteadOfLoopingOrSpreading) {
    write(1, text(1200, 'a'));  // 1, 2, 3
    write(2, text(600, 'b'));   // 4, 5
    // Block 3 points back at block 1: a loop.
    writeRaw(m_aux, "pw", 3 * 512 + 4, le32Bytes(1));
    EXPECT_EQ(read(1), "");
    EXPECT_EQ(lastError(), err::kAuxAccess);
    // A used count beyond 500 is damage as well.
    writeRaw(m_aux, "pw", 4 * 512 + 8, le32Bytes(501));
    EXPECT_EQ(read(2), "");
    EXPECT_EQ(lastError(), err::kAuxAccess);
    writeRaw(m_aux, "pw", 4 * 512 + 8, le32Bytes(500));
    EXPECT_EQ(read(2), text(600, 'b'));

    // A field pointing into another value's chain is not taken as its own old chain:
    // storing into it must not overwrite record 2's blocks.
    ASSERT_TRUE(goToRecord(3));
    writeRaw(m_path, "pw", kAllTypesDataStart + 2 * kAllTypesRecordLength + kAllTypesMemoOffset, le32Bytes(5));
    write(3, text(800, 'c'));
    EXPECT_EQ(read(2), text(600, 'b'));
    EXPECT_EQ(read(3), text(800, 'c'));

    // A free list whose head is out of range is dropped, not followed.
    writeRaw(m_aux, "pw", 20, le32Bytes(1));
    writeRaw(m_aux, "pw", 24, le32Bytes(4));  // block 4 is in use
    write(4, text(100, 'd'));
    EXPECT_EQ(read(2), text(600, 'b'));
    EXPECT_EQ(read(4), text(100, 'd'));

    // A block count beyond the file (changed behind our back) stops the store instead of
    // appending far past the end.
    const int64_t size = fileSize(m_aux);
    writeRaw(m_aux, "pw", 16, le32Bytes(1000000));
    ASSERT_TRUE(goToRecord(1));
    EXPECT_FALSE(writeField("memo", text(2000, 'e')));
    EXPECT_EQ(lastError(), err::kAuxAccess);
    EXPECT_EQ(fileSize(m_aux), size);
    EXPECT_EQ(read(4), text(100, 'd'));
}

// Long values move many blocks per read and write; the chains they leave must be the
// same block for block as storing one block at a time would leave.
TEST_F(MemoStorage, LongChainsKeepTheirLayoutAcrossReuseGrowthAndShrinking) {
    const std::string first = text(300 * 500 + 7, 'a');  // blocks 1..301
    write(1, first);
    write(2, text(700, 'b'));  // 302, 303
    EXPECT_EQ(chain(firstBlock(1), 1000), blockRange(1, 301));
    EXPECT_EQ(block(301).used, 7);
    EXPECT_EQ(block(150).prev, 149);
    EXPECT_EQ(block(150).next, 151);
    EXPECT_EQ(read(1), first);

    write(1, text(100, 'c'));  // frees 2..301, in chain order
    EXPECT_EQ(header().freeCount, 300);
    EXPECT_EQ(header().firstFree, 2);

    // 400 pieces: the 300 free blocks first, then new blocks at the end.
    std::string third = text(400 * 500, 'd');
    write(3, third);
    std::vector<int32_t> expected = blockRange(2, 301);
    for (int32_t b : blockRange(304, 403)) expected.push_back(b);
    EXPECT_EQ(chain(firstBlock(3), 1000), expected);
    EXPECT_EQ(block(304).prev, 301);
    EXPECT_EQ(header().blocks, 404);
    EXPECT_EQ(header().freeCount, 0);
    EXPECT_EQ(header().firstFree, 0);
    EXPECT_EQ(read(3), third);

    // Rewritten in place with other bytes, then one block longer: the old chain's end
    // links on to the new block.
    third = text(400 * 500, 'e');
    write(3, third);
    EXPECT_EQ(chain(firstBlock(3), 1000), expected);
    EXPECT_EQ(read(3), third);
    third += "+";
    write(3, third);
    expected.push_back(404);
    EXPECT_EQ(chain(firstBlock(3), 1000), expected);
    EXPECT_EQ(block(404).prev, 403);
    EXPECT_EQ(read(3), third);

    // Down to 250 pieces: 252..301 and 304..404 fall free; the ones at the end of the file
    // go, up to block 303, which record 2 still uses.
    third = text(250 * 500, 'f');
    write(3, third);
    EXPECT_EQ(chain(firstBlock(3), 1000), blockRange(2, 251));
    EXPECT_EQ(block(251).next, 0);
    EXPECT_EQ(header().blocks, 304);
    EXPECT_EQ(fileSize(m_aux), 304 * 512);
    EXPECT_EQ(header().freeCount, 50);
    EXPECT_EQ(header().firstFree, 252);
    EXPECT_EQ(block(252).prev, 0);
    EXPECT_EQ(block(301).next, 0);
    EXPECT_EQ(block(301).used, 0);
    EXPECT_EQ(read(3), third);
    EXPECT_EQ(read(1), text(100, 'c'));
    EXPECT_EQ(read(2), text(700, 'b'));
    ASSERT_TRUE(reopen(true));
    EXPECT_EQ(read(3), third);
}

TEST_F(MemoStorage, MemoEndsAtItsFirstNulButBytesKeepThem) {
    write(1, std::string("ab\0cd", 5));
    EXPECT_EQ(read(1), "ab");
    ASSERT_TRUE(goToRecord(2));
    ASSERT_TRUE(writeField("blob", Bytes{std::string("ab\0cd", 5)}));
    EXPECT_EQ(std::get<Bytes>(readField("blob")).data, std::string("ab\0cd", 5));
}

}  // namespace
