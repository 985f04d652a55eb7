#include "records/scrambler.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using records::Rc4;
using records::Scrambler;

std::string hexOf(const uint8_t* bytes, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::vector<uint8_t> keyOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Md5, PublishedDigests) {
    struct Case {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        // 80 bytes: the length spills into a second padding block.
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        auto digest = records::md5(c.input);
        EXPECT_EQ(hexOf(digest.data(), digest.size()), c.digest) << c.input;
    }
    // 56 and 64 bytes sit on the padding boundaries.
    auto d56 = records::md5(std::string(56, 'a'));
    auto d64 = records::md5(std::string(64, 'a'));
    EXPECT_EQ(hexOf(d56.data(), 16), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(hexOf(d64.data(), 16), "014842d480b571495a4a0363793f7367");
}

TEST(Md5, CheckTextIsTheDigestReversed) {
    // MD5("abc") = 90 01 50 ... 7f 72; the check text starts with the last byte.
    EXPECT_EQ(records::passwordCheckText("abc"), "727fe1287d3f96d6b04fd23c98500190");
    EXPECT_EQ(records::passwordCheckText("").size(), 32u);
}

TEST(Rc4, PublishedKeystreams) {
    struct Case {
        const char* key;
        const char* stream;
    } cases[] = {
        {"Key", "eb9f7781b734ca72a719"},
        {"Wiki", "6044db6d41b7"},
        {"Secret", "04d46b053ca87b59"},
    };
    for (const auto& c : cases) {
        auto key = keyOf(c.key);
        Rc4 rc4(key);
        std::string expected = c.stream;
        std::vector<uint8_t> out(expected.size() / 2);
        rc4.generate(out.data(), out.size());
        EXPECT_EQ(hexOf(out.data(), out.size()), expected) << c.key;
    }
    // next() and skip() walk the same stream as generate().
    auto key = keyOf("Key");
    Rc4 a(key), b(key);
    uint8_t bulk[10];
    a.generate(bulk, 10);
    b.skip(3);
    EXPECT_EQ(b.next(), bulk[3]);
}

// The keystream byte for file position p, computed the long way round.
uint8_t referenceStreamByte(const std::string& password, int64_t p) {
    int64_t block = p / 4096;
    auto key = keyOf(password);
    Rc4 passwordStream(key);
    passwordStream.skip(static_cast<size_t>(4 * block));
    uint8_t w[4];
    passwordStream.generate(w, 4);
    std::vector<uint8_t> blockKey(w, w + 4);
    std::string check = records::passwordCheckText(password);
    blockKey.insert(blockKey.end(), check.begin(), check.end());
    uint32_t word = uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
    uint32_t mixed = word ^ static_cast<uint32_t>(block);
    for (int i = 0; i < 4; ++i) blockKey.push_back(uint8_t(mixed >> (8 * i)));
    Rc4 stream(blockKey);
    stream.skip(static_cast<size_t>(36 + p % 4096));
    return stream.next();
}

TEST(Scrambler, EachBlockUsesItsOwnKeyWhateverTheOrderOfAccess) {
    Scrambler scrambler("vemrvemr");
    // Far blocks first, then nearer ones, then across a boundary: every position must
    // get the byte its own block key gives, independent of what was read before.
    for (int64_t p : {int64_t(5 * 4096 + 17), int64_t(4096 + 4095), int64_t(4096), int64_t(4095), int64_t(4),
                      int64_t(1000 * 4096 + 1)}) {
        uint8_t byte = 0;
        scrambler.apply(p, std::span<uint8_t>(&byte, 1));
        EXPECT_EQ(byte, referenceStreamByte("vemrvemr", p)) << p;
    }
}

TEST(Scrambler, RangesAreIndependentOfHowTheyAreSplit) {
    std::vector<uint8_t> plain(3 * 4096 + 100);
    std::iota(plain.begin(), plain.end(), uint8_t{0});

    std::vector<uint8_t> whole = plain;
    Scrambler a("pw");
    a.apply(0, whole);
    // Bytes 0..3 are never touched; the rest is.
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 4, plain.begin()));
    EXPECT_NE(whole, plain);

    // The same bytes scrambled in odd pieces, one of them crossing 4096 and 8192.
    std::vector<uint8_t> pieces = plain;
    Scrambler b("pw");
    size_t cuts[] = {0, 3, 7, 4090, 8200, 8201, pieces.size()};
    for (size_t i = 6; i > 0; --i) {
        b.apply(static_cast<int64_t>(cuts[i - 1]),
                std::span<uint8_t>(pieces.data() + cuts[i - 1], cuts[i] - cuts[i - 1]));
    }
    EXPECT_EQ(pieces, whole);

    // Applying again restores the plain bytes.
    a.apply(0, whole);
    EXPECT_EQ(whole, plain);
}

TEST(Scrambler, DifferentPasswordsAndNoPassword) {
    std::vector<uint8_t> x(64, 0x55), y(64, 0x55), z(64, 0x55);
    Scrambler("one").apply(0, x);
    Scrambler("two").apply(0, y);
    Scrambler none("");
    none.apply(0, z);
    EXPECT_NE(x, y);
    EXPECT_FALSE(none.active());
    EXPECT_EQ(z, std::vector<uint8_t>(64, 0x55));
}

}  // namespace
