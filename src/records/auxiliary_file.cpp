#include "records/auxiliary_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "records/edb_format.h"
#include "records/little_endian.h"

namespace records {
namespace {

int64_t blockPosition(int32_t block) { return int64_t(block) * edb::kBlockSize; }

// The most blocks moved by one system call (64 KiB), and as many again of look-ahead.
constexpr int32_t kMaxRunBlocks = 128;
constexpr int32_t kBlocksPerStream = edb::kScrambleBlock / edb::kBlockSize;

struct Links {
    int32_t prev = 0;
    int32_t next = 0;
    int32_t used = 0;
};

Links linksOf(const uint8_t* block) {
    return {getLe32(block + edb::kPrevOffset), getLe32(block + edb::kNextOffset), getLe32(block + edb::kUsedOffset)};
}

// Lays out one whole block: its links, its used bytes and zero fill after them.
void fillBlock(uint8_t* block, int32_t prev, int32_t next, std::string_view piece) {
    putLe32(block + edb::kPrevOffset, prev);
    putLe32(block + edb::kNextOffset, next);
    putLe32(block + edb::kUsedOffset, static_cast<int32_t>(piece.size()));
    if (!piece.empty()) std::memcpy(block + edb::kBlockHeaderSize, piece.data(), piece.size());
    std::memset(block + edb::kBlockHeaderSize + piece.size(), 0, edb::kBlockData - piece.size());
}

// Follows a chain a run at a time. A run is a stretch of blocks that follow each other
// both in the file and in the chain; it is locked with one byte-range lock over exactly
// its blocks and read with one system call. The same call reads a look-ahead of the
// blocks after the run, without their lock, only to learn how long the next run is: the
// next run is read again under its own lock. The look-ahead grows with the stretch of
// consecutive blocks seen so far, so a short or scattered chain reads little beyond
// itself. The previous run stays locked until the next one is, as a block-by-block walk
// would hold each block until it has the next.
class ChainRuns {
public:
    ChainRuns(RecordFile& file, bool locking, int64_t fileBlocks)
        : m_file(file), m_locking(locking), m_fileBlocks(fileBlocks) {}
    ~ChainRuns() { release(); }
    ChainRuns(const ChainRuns&) = delete;
    ChainRuns& operator=(const ChainRuns&) = delete;

    // Locks and reads the run that starts at block `start` (>= 1). Returns 0 or an error
    // code; afterwards blocks first() .. first() + count() - 1 are held and readable.
    int readRun(int32_t start) {
        if (start < 1 || start >= m_fileBlocks) return edb::error::kAuxAccess;
        int32_t guess = linkedInLookAhead(start);
        m_streak = start == m_first + m_count ? m_streak + m_count : 0;
        int32_t end = start + guess;
        int32_t toStreamEnd = (kBlocksPerStream - end % kBlocksPerStream) % kBlocksPerStream;
        int64_t lookAhead = std::max<int64_t>(toStreamEnd, std::min<int64_t>(m_streak + guess, kMaxRunBlocks));
        int64_t blocks = std::min<int64_t>(guess + lookAhead, m_fileBlocks - start);

        if (int rc = hold(start, guess); rc != 0) return rc;
        m_buffer.resize(static_cast<size_t>(blocks) * edb::kBlockSize);
        int err = 0;
        int64_t n = m_file.readAt(blockPosition(start), m_buffer, &err);
        m_base = start;
        m_inBuffer = n < 0 ? 0 : static_cast<int32_t>(n / edb::kBlockSize);
        m_first = start;
        m_count = guess;
        if (m_inBuffer < guess) return edb::error::kAuxAccess;
        return 0;
    }

    int32_t first() const { return m_first; }
    int32_t count() const { return m_count; }
    uint8_t* block(int32_t i) { return m_buffer.data() + static_cast<size_t>(i) * edb::kBlockSize; }

    // Writes the held run's first n blocks from the buffer, scrambling them in place.
    int writeBack(int32_t n) {
        return m_file.scrambleAndWrite(blockPosition(m_first),
                                       std::span(m_buffer.data(), static_cast<size_t>(n) * edb::kBlockSize));
    }

    void release() {
        if (m_heldLength > 0) m_file.unlock(m_heldOffset, m_heldLength);
        m_heldLength = 0;
    }

private:
    // How many blocks from `start` on the last look-ahead shows linked one to the next.
    int32_t linkedInLookAhead(int32_t start) {
        if (start < m_base || start >= m_base + m_inBuffer) return 1;
        int32_t run = 1;
        while (run < kMaxRunBlocks && start - m_base + run < m_inBuffer &&
               linksOf(block(start - m_base + run - 1)).next == start + run) {
            ++run;
        }
        return run;
    }

    // Locks the new run, then gives back what of the old one it does not cover (a damaged
    // chain may come back to blocks it has passed).
    int hold(int32_t start, int32_t blocks) {
        if (!m_locking) return 0;
        int64_t offset = blockPosition(start);
        int64_t length = int64_t(blocks) * edb::kBlockSize;
        if (int rc = m_file.lock(offset, length); rc != 0) return rc;
        int64_t oldEnd = m_heldOffset + m_heldLength;
        if (m_heldLength > 0 && m_heldOffset < offset) {
            m_file.unlock(m_heldOffset, std::min(oldEnd, offset) - m_heldOffset);
        }
        if (m_heldLength > 0 && oldEnd > offset + length) {
            int64_t from = std::max(m_heldOffset, offset + length);
            m_file.unlock(from, oldEnd - from);
        }
        m_heldOffset = offset;
        m_heldLength = length;
        return 0;
    }

    RecordFile& m_file;
    bool m_locking;
    int64_t m_fileBlocks;
    std::vector<uint8_t> m_buffer;
    int32_t m_base = 0;      // block at the start of the buffer
    int32_t m_inBuffer = 0;  // whole blocks in the buffer: the run, then the look-ahead
    int32_t m_first = 0;     // the held run
    int32_t m_count = 0;
    int64_t m_streak = 0;  // blocks read one after the other before the held run
    int64_t m_heldOffset = 0;
    int64_t m_heldLength = 0;
};

// Gathers blocks that follow each other in the file and writes each such run with one
// system call under one lock over exactly its blocks.
class RunWriter {
public:
    RunWriter(RecordFile& file, bool locking) : m_file(file), m_locking(locking) {}

    // Appends a block (its next link 0 for now); a block that does not follow the
    // pending ones, or a full run, sends the pending run first.
    int add(int32_t block, int32_t prev, std::string_view piece) {
        if (m_count > 0 && (block != m_first + m_count || m_count == kMaxRunBlocks)) {
            if (int rc = flush(); rc != 0) return rc;
        }
        if (m_count == 0) m_first = block;
        ++m_count;
        m_buffer.resize(static_cast<size_t>(m_count) * edb::kBlockSize);
        fillBlock(m_buffer.data() + m_buffer.size() - edb::kBlockSize, prev, 0, piece);
        return 0;
    }
    // Sets the next link of the block added last.
    void linkLast(int32_t next) {
        if (m_count > 0) putLe32(m_buffer.data() + m_buffer.size() - edb::kBlockSize + edb::kNextOffset, next);
    }
    int flush() {
        if (m_count == 0) return 0;
        int64_t offset = blockPosition(m_first);
        int64_t length = int64_t(m_count) * edb::kBlockSize;
        m_count = 0;
        if (m_locking) {
            if (int rc = m_file.lock(offset, length); rc != 0) return rc;
        }
        int rc = m_file.scrambleAndWrite(offset, m_buffer);
        if (m_locking) m_file.unlock(offset, length);
        m_buffer.clear();
        return rc;
    }

private:
    RecordFile& m_file;
    bool m_locking;
    std::vector<uint8_t> m_buffer;
    int32_t m_first = 0;
    int32_t m_count = 0;
};

}  // namespace

int AuxiliaryFile::open(const std::string& path, bool readOnly, ShareMode share, std::string_view password,
                        int32_t databaseVersion, bool locking) {
    using namespace edb::error;
    m_locking = locking;
    if (m_file.open(path, readOnly, share, password) != 0) return kAuxReadFailed;
    auto fail = [&](int code) {
        m_file.close();
        return code;
    };
    if (m_locking && m_file.lock(0, edb::kWholeFileLockLength) != 0) return fail(kAuxReadFailed);
    auto finish = [&](int code) {
        if (m_locking) m_file.unlock(0, edb::kWholeFileLockLength);
        return code == 0 ? 0 : fail(code);
    };

    std::array<uint8_t, edb::kAuxHeaderSize> header{};
    int err = 0;
    if (m_file.readAt(0, header, &err) != edb::kAuxHeaderSize) return finish(kAuxReadFailed);
    int32_t blockCount = getLe32(&header[edb::kBlockCountOffset]);
    int32_t freeCount = getLe32(&header[edb::kFreeCountOffset]);
    int32_t firstFree = getLe32(&header[edb::kFirstFreeOffset]);
    if (std::memcmp(header.data(), edb::kMagicAuxiliary, 4) != 0 || blockCount < 1 || freeCount < 0 ||
        freeCount >= blockCount || firstFree < 0 || firstFree >= blockCount) {
        return finish(kAuxReadFailed);
    }
    if (getLe32(&header[edb::kVersionOffset]) != databaseVersion) return finish(kAuxVersion);

    int64_t length = m_file.size(&err);
    if (length < 0) return finish(kAuxReadFailed);
    int64_t whole = length / edb::kBlockSize;
    if (whole < blockCount) {
        if (readOnly) return finish(kAuxDamaged);
        if (repairBlockCount(static_cast<int32_t>(whole)) != 0) return finish(kAuxReadFailed);
    }
    return finish(0);
}

// Lowers the block count to the blocks the file still holds. The free list may have run
// through blocks that are gone, and a free count left at or above the new block count
// would make the next open refuse the file, so the list is rebuilt from the blocks
// that remain: every block with no used bytes is free.
int AuxiliaryFile::repairBlockCount(int32_t blocks) {
    std::vector<int32_t> free;
    for (int32_t b = 1; b < blocks; ++b) {
        Block info;
        if (int rc = readBlockHeader(b, &info); rc != 0) return rc;
        if (info.used == 0) free.push_back(b);
    }
    for (size_t i = 0; i < free.size(); ++i) {
        uint8_t links[8];
        putLe32(links, i > 0 ? free[i - 1] : 0);
        putLe32(links + 4, i + 1 < free.size() ? free[i + 1] : 0);
        if (int rc = m_file.writeAt(blockPosition(free[i]), links); rc != 0) return rc;
    }
    uint8_t counts[12];
    putLe32(counts, blocks);
    putLe32(counts + 4, static_cast<int32_t>(free.size()));
    putLe32(counts + 8, free.empty() ? 0 : free.front());
    return m_file.writeAt(edb::kBlockCountOffset, counts);
}

int AuxiliaryFile::lockByte(int64_t offset) { return m_locking ? m_file.lock(offset, 1) : 0; }

void AuxiliaryFile::unlockByte(int64_t offset) {
    if (m_locking) m_file.unlock(offset, 1);
}

int AuxiliaryFile::readBlockHeader(int32_t block, Block* header) {
    uint8_t bytes[edb::kBlockHeaderSize];
    int err = 0;
    if (int rc = lockByte(blockPosition(block)); rc != 0) return rc;
    int64_t n = m_file.readAt(blockPosition(block), bytes, &err);
    unlockByte(blockPosition(block));
    if (n != edb::kBlockHeaderSize) return edb::error::kAuxAccess;
    header->prev = getLe32(bytes + edb::kPrevOffset);
    header->next = getLe32(bytes + edb::kNextOffset);
    header->used = getLe32(bytes + edb::kUsedOffset);
    return 0;
}

int AuxiliaryFile::writeLink(int32_t block, int offsetInBlock, int32_t value) {
    uint8_t bytes[4];
    putLe32(bytes, value);
    if (int rc = lockByte(blockPosition(block)); rc != 0) return rc;
    int rc = m_file.writeAt(blockPosition(block) + offsetInBlock, bytes);
    unlockByte(blockPosition(block));
    return rc;
}

int AuxiliaryFile::read(int32_t first, std::string& value) {
    value.clear();
    if (first == 0) return 0;
    int err = 0;
    int64_t length = m_file.size(&err);
    if (length < 0) return edb::error::kAuxAccess;
    // A chain cannot hold more blocks than the file; a longer walk is a loop in a
    // damaged file and must not hang the reader. The same bound sizes the value once, so
    // that a long value is not copied each time it outgrows its buffer.
    const int64_t fileBlocks = length / edb::kBlockSize;
    value.reserve(static_cast<size_t>(std::max<int64_t>(fileBlocks - 1, 0)) * edb::kBlockData);
    ChainRuns runs(m_file, m_locking, fileBlocks);
    int rc = 0;
    int64_t steps = 0;
    for (int32_t current = first; current != 0 && rc == 0;) {
        if (current < 1 || steps >= fileBlocks) {
            rc = edb::error::kAuxAccess;
            break;
        }
        if (rc = runs.readRun(current); rc != 0) break;
        for (int32_t i = 0; i < runs.count() && current == runs.first() + i; ++i, ++steps) {
            if (steps >= fileBlocks) break;  // reported by the outer test
            const uint8_t* block = runs.block(i);
            Links links = linksOf(block);
            if (links.used < 0 || links.used > edb::kBlockData) {
                rc = edb::error::kAuxAccess;
                break;
            }
            value.append(reinterpret_cast<const char*>(block + edb::kBlockHeaderSize), static_cast<size_t>(links.used));
            current = links.next;
        }
    }
    runs.release();
    if (rc != 0) value.clear();
    // A short value in a large file gives back the room it did not need.
    if (value.capacity() > 2 * value.size() + 4096) value.shrink_to_fit();
    return rc;
}

// What one store knows as it goes: the header words it will write back, the value cut
// into pieces, and the blocks it has placed them in.
struct AuxiliaryFile::Store {
    int32_t blockCount = 0;
    int32_t freeCount = 0;
    int32_t firstFree = 0;
    bool headerChanged = false;

    std::string_view value;
    size_t pieces = 0;
    std::vector<bool> taken;  // blocks of the old chain and blocks handed out, by number
    int32_t first = 0;        // block of the first piece

    // The old chain as far as it is intact; its blocks past the last piece are freed.
    size_t oldCount = 0;
    int32_t oldLast = 0;
    int32_t oldLastNext = 0;  // the next link the last old block was written with
    int32_t leftoverFirst = 0;
    bool freedLast = false;

    bool inRange(int32_t b) const { return b >= 1 && b < blockCount; }
    bool isTaken(int32_t b) const { return b >= 0 && static_cast<size_t>(b) < taken.size() && taken[size_t(b)]; }
    std::string_view piece(size_t i) const {
        size_t begin = i * edb::kBlockData;
        return value.substr(begin, std::min<size_t>(edb::kBlockData, value.size() - begin));
    }
};

int AuxiliaryFile::store(int32_t oldFirst, std::string_view value, int32_t* newFirst) {
    *newFirst = 0;
    if (int rc = lockByte(0); rc != 0) return rc;
    struct HeaderLock {
        AuxiliaryFile* self;
        ~HeaderLock() { self->unlockByte(0); }
    } headerLock{this};

    Store s;
    s.value = value;
    s.pieces = (value.size() + edb::kBlockData - 1) / edb::kBlockData;
    if (int rc = readStoreHeader(s); rc != 0) return rc;
    if (int rc = rewriteOldChain(s, oldFirst); rc != 0) return rc;
    if (int rc = placeRemainingPieces(s); rc != 0) return rc;
    if (int rc = freeLeftover(s); rc != 0) return rc;
    if (s.headerChanged) {
        if (int rc = writeStoreHeader(s); rc != 0) return rc;
    }
    *newFirst = s.pieces == 0 ? 0 : s.first;
    return 0;
}

int AuxiliaryFile::readStoreHeader(Store& s) {
    std::array<uint8_t, edb::kAuxHeaderSize> header{};
    int err = 0;
    if (m_file.readAt(0, header, &err) != edb::kAuxHeaderSize) return edb::error::kAuxAccess;
    s.blockCount = getLe32(&header[edb::kBlockCountOffset]);
    s.freeCount = getLe32(&header[edb::kFreeCountOffset]);
    s.firstFree = getLe32(&header[edb::kFirstFreeOffset]);
    // A block count beyond the file's blocks would make the next block land far past the
    // end; the file was changed behind our back and is not trusted.
    int64_t length = m_file.size(&err);
    if (s.blockCount < 1 || length < 0 || s.blockCount > length / edb::kBlockSize) return edb::error::kAuxAccess;
    if (s.freeCount < 0 || s.freeCount >= s.blockCount || (s.firstFree != 0 && !s.inRange(s.firstFree)) ||
        (s.freeCount > 0) != (s.firstFree != 0)) {
        // A damaged free list is dropped rather than trusted: its blocks stay unused,
        // but no live chain is ever handed out twice.
        s.freeCount = 0;
        s.firstFree = 0;
        s.headerChanged = true;
    }
    s.taken.assign(static_cast<size_t>(s.blockCount), false);
    return 0;
}

// Puts the pieces into the old chain's blocks, in chain order, and marks the blocks past
// the last piece free, linked to each other. The old chain counts only as far as it is
// intact: each block must point back at the one before it and be in use; a stale or
// damaged link ends it, so that a store never overwrites a block that belongs to another
// value or to the free list. Each run is read and rewritten under one lock, so its block
// streams are made once. The last old block is written with the next link its header
// had; the later steps correct it when the chain continues elsewhere.
int AuxiliaryFile::rewriteOldChain(Store& s, int32_t oldFirst) {
    ChainRuns runs(m_file, m_locking, s.blockCount);
    int32_t current = oldFirst;
    int32_t previous = 0;
    while (s.inRange(current) && !s.isTaken(current)) {
        if (int rc = runs.readRun(current); rc != 0) return rc;
        int32_t intact = 0;
        for (; intact < runs.count() && current == runs.first() + intact && !s.isTaken(current); ++intact) {
            uint8_t* block = runs.block(intact);
            Links links = linksOf(block);
            if (links.prev != previous || links.used < 1 || links.used > edb::kBlockData) break;
            s.taken[size_t(current)] = true;
            size_t index = s.oldCount++;
            if (index < s.pieces) {
                if (index == 0) s.first = current;
                fillBlock(block, previous, index + 1 < s.pieces ? links.next : 0, s.piece(index));
            } else {
                if (index == s.pieces) s.leftoverFirst = current;
                fillBlock(block, index == s.pieces ? 0 : previous, links.next, {});
                if (current == s.blockCount - 1) s.freedLast = true;
            }
            s.oldLastNext = index + 1 < s.pieces || index >= s.pieces ? links.next : 0;
            s.oldLast = current;
            previous = current;
            current = links.next;
        }
        if (intact == 0) break;
        if (int rc = runs.writeBack(intact); rc != 0) return rc;
    }
    return 0;
}

// Places the pieces the old chain had no room for: free blocks first, then new blocks
// at the end of the file.
int AuxiliaryFile::placeRemainingPieces(Store& s) {
    if (s.oldCount >= s.pieces) return 0;
    RunWriter writer(m_file, m_locking);
    int32_t previous = s.oldCount > 0 ? s.oldLast : 0;
    bool tookFree = false;
    for (size_t i = s.oldCount; i < s.pieces; ++i) {
        int32_t block = 0;
        if (s.freeCount > 0) {
            if (int rc = takeFreeBlock(s, &block); rc != 0) return rc;
            tookFree = tookFree || block != 0;
        }
        if (block == 0) {
            if (s.blockCount == std::numeric_limits<int32_t>::max()) return edb::error::kAuxAccess;
            block = s.blockCount++;
            s.headerChanged = true;
        }
        if (i == 0) s.first = block;
        if (i == s.oldCount && s.oldCount > 0) {
            if (s.oldLastNext != block) {
                if (int rc = writeLink(s.oldLast, edb::kNextOffset, block); rc != 0) return rc;
            }
        } else {
            writer.linkLast(block);
        }
        if (int rc = writer.add(block, previous, s.piece(i)); rc != 0) return rc;
        if (static_cast<size_t>(block) < s.taken.size()) s.taken[size_t(block)] = true;
        previous = block;
    }
    if (int rc = writer.flush(); rc != 0) return rc;
    // The new head of the free list must not point back at a block that is now in use,
    // or a later unlink would rewrite that block's links.
    if (tookFree && s.firstFree != 0) return writeLink(s.firstFree, edb::kPrevOffset, 0);
    return 0;
}

// Takes the head of the free list, or gives *block = 0 (and drops the list) when the
// head is not a free block that can be trusted.
int AuxiliaryFile::takeFreeBlock(Store& s, int32_t* block) {
    *block = 0;
    s.headerChanged = true;
    Block info;
    bool usable = s.inRange(s.firstFree) && !s.isTaken(s.firstFree);
    if (usable) {
        if (int rc = readBlockHeader(s.firstFree, &info); rc != 0) return rc;
        usable = info.used == 0 && (info.next == 0 || s.inRange(info.next));
    }
    if (!usable) {
        s.freeCount = 0;
        s.firstFree = 0;
        return 0;
    }
    *block = s.firstFree;
    s.firstFree = info.next;
    --s.freeCount;
    if (s.freeCount == 0) s.firstFree = 0;
    return 0;
}

// Links the freed end of the old chain in front of the free list, and gives the file's
// free tail back when the freed blocks reached the end of the file.
int AuxiliaryFile::freeLeftover(Store& s) {
    if (s.oldCount <= s.pieces) return 0;
    if (s.oldLastNext != s.firstFree) {
        if (int rc = writeLink(s.oldLast, edb::kNextOffset, s.firstFree); rc != 0) return rc;
    }
    if (s.firstFree != 0) {
        if (int rc = writeLink(s.firstFree, edb::kPrevOffset, s.oldLast); rc != 0) return rc;
    }
    s.firstFree = s.leftoverFirst;
    s.freeCount += static_cast<int32_t>(s.oldCount - s.pieces);
    s.headerChanged = true;
    return s.freedLast ? trimFreeTail(s) : 0;
}

// Walks back over free blocks at the end of the file and gives them back. A block whose
// links do not agree with its neighbours is kept, not unlinked.
int AuxiliaryFile::trimFreeTail(Store& s) {
    while (s.blockCount > 1) {
        int32_t last = s.blockCount - 1;
        Block info;
        if (int rc = readBlockHeader(last, &info); rc != 0) return rc;
        if (info.used != 0) break;
        bool linked = info.prev == 0 ? s.firstFree == last : s.inRange(info.prev) && info.prev != last;
        if (linked && info.prev != 0) {
            Block before;
            if (int rc = readBlockHeader(info.prev, &before); rc != 0) return rc;
            linked = before.next == last && before.used == 0;
        }
        if (linked && info.next != 0) {
            Block after;
            linked = s.inRange(info.next) && info.next != last;
            if (linked) {
                if (int rc = readBlockHeader(info.next, &after); rc != 0) return rc;
                linked = after.prev == last && after.used == 0;
            }
        }
        if (!linked) break;
        if (info.prev == 0) {
            s.firstFree = info.next;
        } else if (int rc = writeLink(info.prev, edb::kNextOffset, info.next); rc != 0) {
            return rc;
        }
        if (info.next != 0) {
            if (int rc = writeLink(info.next, edb::kPrevOffset, info.prev); rc != 0) return rc;
        }
        --s.freeCount;
        --s.blockCount;
    }
    if (s.freeCount == 0) s.firstFree = 0;
    return m_file.truncate(blockPosition(s.blockCount));
}

int AuxiliaryFile::writeStoreHeader(const Store& s) {
    uint8_t counts[12];
    putLe32(counts, s.blockCount);
    putLe32(counts + 4, s.freeCount);
    putLe32(counts + 8, s.firstFree);
    return m_file.writeAt(edb::kBlockCountOffset, counts);
}

}  // namespace records
