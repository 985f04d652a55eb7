#include "settings/bitmap_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace settings {
namespace {

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::vector<std::uint8_t> readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(BitmapFile, Writes24BitBottomUpRowsPaddedToFourBytes) {
    // 3 x 2: each row holds 9 bytes of colour and 3 bytes of padding.
    const std::vector<std::uint32_t> pixels = {0xFF102030, 0x80405060, 0x00708090,   // top row
                                               0xFFA0B0C0, 0xFFD0E0F0, 0xFF010203};  // bottom row
    const std::vector<std::uint8_t> file = encodeBitmap24(3, 2, pixels);
    ASSERT_EQ(file.size(), 54u + 2 * 12);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(le32(file, 2), file.size());
    EXPECT_EQ(le32(file, 6), 0u);  // the two reserved words
    EXPECT_EQ(le32(file, 10), 54u);
    EXPECT_EQ(le32(file, 14), 40u);
    EXPECT_EQ(le32(file, 18), 3u);
    EXPECT_EQ(le32(file, 22), 2u);  // positive height: the bottom row comes first
    EXPECT_EQ(file[26] | file[27] << 8, 1);
    EXPECT_EQ(file[28] | file[29] << 8, 24);
    EXPECT_EQ(le32(file, 30), 0u);
    EXPECT_EQ(le32(file, 34), 24u);

    // The first stored row is the picture's bottom row, blue, green, red per pixel;
    // alpha is not stored.
    const std::vector<std::uint8_t> bottom(file.begin() + 54, file.begin() + 66);
    EXPECT_EQ(bottom, (std::vector<std::uint8_t>{0xC0, 0xB0, 0xA0, 0xF0, 0xE0, 0xD0, 0x03, 0x02, 0x01, 0, 0, 0}));
    const std::vector<std::uint8_t> top(file.begin() + 66, file.end());
    EXPECT_EQ(top, (std::vector<std::uint8_t>{0x30, 0x20, 0x10, 0x60, 0x50, 0x40, 0x90, 0x80, 0x70, 0, 0, 0}));

    std::optional<DecodedBitmap> back = decodeBitmap24(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 3);
    EXPECT_EQ(back->height, 2);
    EXPECT_EQ(back->pixels,
              (std::vector<std::uint32_t>{0xFF102030, 0xFF405060, 0xFF708090, 0xFFA0B0C0, 0xFFD0E0F0, 0xFF010203}));
}

TEST(BitmapFile, RefusesSizesThatDoNotMatchAndDamagedFiles) {
    const std::vector<std::uint32_t> four(4, 0xFFFFFFFF);
    EXPECT_TRUE(encodeBitmap24(3, 2, four).empty());
    EXPECT_TRUE(encodeBitmap24(0, 4, {}).empty());
    EXPECT_TRUE(encodeBitmap24(-2, -2, four).empty());

    std::vector<std::uint8_t> file = encodeBitmap24(2, 2, four);
    ASSERT_FALSE(file.empty());
    std::vector<std::uint8_t> truncated(file.begin(), file.end() - 1);
    EXPECT_FALSE(decodeBitmap24(truncated));
    std::vector<std::uint8_t> otherDepth = file;
    otherDepth[28] = 32;
    EXPECT_FALSE(decodeBitmap24(otherDepth));
    std::vector<std::uint8_t> hugeOffset = file;
    hugeOffset[13] = 0x7F;
    EXPECT_FALSE(decodeBitmap24(hugeOffset));
}

TEST(BitmapFile, WholeFileReplacesOrLeavesThePreviousOne) {
    const auto dir = std::filesystem::temp_directory_path() / ("bitmap_file_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / "0.ico";
    const std::vector<std::uint8_t> first = {1, 2, 3};
    const std::vector<std::uint8_t> second = {9, 8};
    ASSERT_TRUE(writeWholeFile(path.string(), first));
    ASSERT_TRUE(writeWholeFile(path.string(), second));
    EXPECT_EQ(readAll(path), second);

    // A folder in the way of the new file: the write fails and nothing is left over.
    const auto blocked = dir / "1.ico";
    std::filesystem::create_directories(blocked / "inside");
    EXPECT_FALSE(writeWholeFile(blocked.string(), first));
    EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
    EXPECT_FALSE(std::filesystem::exists(dir / "1.ico.part"));
    EXPECT_FALSE(writeWholeFile((dir / "missing" / "2.ico").string(), first));

    // A link planted where the temporary file goes is not written through.
    const auto elsewhere = dir / "elsewhere";
    { std::ofstream(elsewhere) << "keep"; }
    std::filesystem::create_symlink(elsewhere, dir / "3.ico.part");
    EXPECT_FALSE(writeWholeFile((dir / "3.ico").string(), first));
    EXPECT_EQ(readAll(elsewhere), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(std::filesystem::exists(dir / "3.ico"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace settings
