#include "records/scrambler.h"

#include <algorithm>
#include <cstring>

#include "records/edb_format.h"
#include "records/little_endian.h"

namespace records {
namespace {

uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

constexpr uint32_t kMd5Shift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kMd5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void md5Block(uint32_t state[4], const uint8_t* block) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = loadLe<uint32_t>(block + i * 4);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t next = b + rotl(a + f + kMd5Sine[i] + m[g], static_cast<int>(kMd5Shift[i]));
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// XORs count bytes of data with the same bytes of stream, a word at a time.
void xorInto(uint8_t* data, const uint8_t* stream, size_t count) {
    size_t n = 0;
    for (; n + 8 <= count; n += 8) {
        uint64_t a, b;
        std::memcpy(&a, data + n, 8);
        std::memcpy(&b, stream + n, 8);
        a ^= b;
        std::memcpy(data + n, &a, 8);
    }
    for (; n < count; ++n) data[n] ^= stream[n];
}

}  // namespace

std::array<uint8_t, 16> md5(std::string_view data) {
    uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    size_t whole = data.size() / 64 * 64;
    for (size_t i = 0; i < whole; i += 64) md5Block(state, bytes + i);

    uint8_t tail[128] = {};
    size_t rest = data.size() - whole;
    if (rest > 0) std::memcpy(tail, bytes + whole, rest);
    tail[rest] = 0x80;
    size_t tailSize = rest + 1 + 8 <= 64 ? 64 : 128;
    uint64_t bits = uint64_t(data.size()) * 8;
    storeLe(tail + tailSize - 8, bits);
    for (size_t i = 0; i < tailSize; i += 64) md5Block(state, tail + i);

    std::array<uint8_t, 16> digest{};
    for (int i = 0; i < 4; ++i) storeLe(digest.data() + 4 * i, state[i]);
    return digest;
}

std::string passwordCheckText(std::string_view password) {
    static constexpr char kHex[] = "0123456789abcdef";
    auto digest = md5(password);
    std::string text;
    text.reserve(32);
    for (int i = 15; i >= 0; --i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

Rc4::Rc4(std::span<const uint8_t> key) {
    for (int i = 0; i < 256; ++i) m_s[i] = uint8_t(i);
    if (key.empty()) return;
    uint8_t j = 0;
    size_t k = 0;  // key position, wrapped by hand: a division per step costs more than the swap
    for (int i = 0; i < 256; ++i) {
        j = uint8_t(j + m_s[i] + key[k]);
        std::swap(m_s[i], m_s[j]);
        if (++k == key.size()) k = 0;
    }
}

uint8_t Rc4::next() {
    m_i = uint8_t(m_i + 1);
    m_j = uint8_t(m_j + m_s[m_i]);
    std::swap(m_s[m_i], m_s[m_j]);
    return m_s[uint8_t(m_s[m_i] + m_s[m_j])];
}

void Rc4::skip(size_t count) {
    for (size_t n = 0; n < count; ++n) next();
}

void Rc4::generate(uint8_t* out, size_t count) {
    // Local copies let the compiler keep the indices in registers.
    uint8_t i = m_i, j = m_j;
    uint8_t* s = m_s.data();
    for (size_t n = 0; n < count; ++n) {
        i = uint8_t(i + 1);
        uint8_t si = s[i];
        j = uint8_t(j + si);
        uint8_t sj = s[j];
        s[i] = sj;
        s[j] = si;
        out[n] = s[uint8_t(si + sj)];
    }
    m_i = i;
    m_j = j;
}

Scrambler::Scrambler(std::string_view password)
    : m_active(!password.empty()),
      m_checkText(m_active ? passwordCheckText(password) : std::string()),
      m_passwordStream(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(password.data()), password.size())) {}

uint32_t Scrambler::blockWord(int64_t block) {
    while (static_cast<int64_t>(m_blockWords.size()) <= block) {
        uint8_t word[4];
        m_passwordStream.generate(word, 4);
        m_blockWords.push_back(loadLe<uint32_t>(word));
    }
    return m_blockWords[static_cast<size_t>(block)];
}

Scrambler::Stream& Scrambler::streamSlot(int64_t block) {
    Stream* victim = nullptr;
    for (auto& slot : m_streams) {
        if (slot->block == block) return *slot;
        if (!victim || slot->lastUse < victim->lastUse) victim = slot.get();
    }
    if (m_streams.size() < kCachedStreams) {
        m_streams.push_back(std::make_unique<Stream>());
        victim = m_streams.back().get();
    }
    uint32_t word = blockWord(block);
    uint8_t key[40];
    storeLe(key, word);
    std::memcpy(key + 4, m_checkText.data(), 32);
    storeLe(key + 36, word ^ static_cast<uint32_t>(block));
    victim->rc4 = Rc4(key);
    victim->rc4.skip(36);
    victim->block = block;
    victim->generated = 0;
    return *victim;
}

const uint8_t* Scrambler::blockStream(int64_t block, size_t needed) {
    Stream& slot = streamSlot(block);
    slot.lastUse = ++m_useClock;
    if (slot.generated < needed) {
        slot.rc4.generate(slot.bytes.data() + slot.generated, needed - slot.generated);
        slot.generated = needed;
    }
    return slot.bytes.data();
}

void Scrambler::apply(int64_t position, std::span<uint8_t> data) {
    if (!m_active || data.empty() || position < 0) return;
    size_t done = 0;
    if (position < edb::kUnscrambledPrefix) {
        done = static_cast<size_t>(std::min<int64_t>(edb::kUnscrambledPrefix - position, int64_t(data.size())));
    }
    while (done < data.size()) {
        int64_t p = position + static_cast<int64_t>(done);
        int64_t block = p / edb::kScrambleBlock;
        size_t inBlock = static_cast<size_t>(p % edb::kScrambleBlock);
        size_t count = std::min(data.size() - done, size_t(edb::kScrambleBlock) - inBlock);
        xorInto(data.data() + done, blockStream(block, inBlock + count) + inBlock, count);
        done += count;
    }
}

}  // namespace records
