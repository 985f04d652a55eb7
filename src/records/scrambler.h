// The file scrambling of database and auxiliary files: MD5 for the password check text,
// RC4 for the keystreams, and the position-addressed transformation of file bytes.
// A Scrambler belongs to one open file; it is not shared between threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace records {

std::array<uint8_t, 16> md5(std::string_view data);

// The 32-character check text stored in a protected header: the MD5 digest of the
// password, last byte first, in lowercase hex.
std::string passwordCheckText(std::string_view password);

class Rc4 {
public:
    Rc4() = default;
    explicit Rc4(std::span<const uint8_t> key);
    uint8_t next();
    void skip(size_t count);
    void generate(uint8_t* out, size_t count);

private:
    std::array<uint8_t, 256> m_s{};
    uint8_t m_i = 0;
    uint8_t m_j = 0;
};

class Scrambler {
public:
    // An empty password gives a scrambler that leaves every byte as it is.
    explicit Scrambler(std::string_view password);

    bool active() const { return m_active; }

    // XORs data, which sits at absolute file position `position`, with the keystream of
    // its 4096-byte blocks. The same call scrambles and descrambles.
    void apply(int64_t position, std::span<uint8_t> data);

private:
    // One block's stream, generated only as far as it has been needed so far: a 12-byte
    // block header near the start of a block does not pay for the whole 4096 bytes.
    struct Stream {
        int64_t block = -1;
        uint64_t lastUse = 0;
        size_t generated = 0;
        Rc4 rc4;  // continues the stream after `generated`
        std::array<uint8_t, 4096> bytes;
    };
    // Enough streams for the largest run of blocks one read or store moves at a time
    // (and its look-ahead), so that within one operation every stream is made once.
    static constexpr size_t kCachedStreams = 80;

    const uint8_t* blockStream(int64_t block, size_t needed);
    Stream& streamSlot(int64_t block);
    uint32_t blockWord(int64_t block);

    bool m_active = false;
    std::string m_checkText;
    // The password's keystream only runs forward, so the block words are kept as they
    // are produced: a far block costs its distance once, never again.
    Rc4 m_passwordStream;
    std::vector<uint32_t> m_blockWords;
    // Slots are made as they are first needed: a database file touches only a few blocks.
    std::vector<std::unique_ptr<Stream>> m_streams;
    uint64_t m_useClock = 0;
};

}  // namespace records
