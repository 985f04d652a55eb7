#include "records/auxiliary_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <unordered_set>
#include <vector>

#include "records/edb_format.h"

namespace records {
namespace {

int32_t getLe32(const uint8_t* p) {
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

void putLe32(uint8_t* p, int32_t value) {
    auto v = static_cast<uint32_t>(value);
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

int64_t blockPosition(int32_t block) { return int64_t(block) * edb::kBlockSize; }

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
    if (getLe32(&header[4]) != databaseVersion) return finish(kAuxVersion);

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
    // damaged file and must not hang the reader.
    int64_t maxSteps = length / edb::kBlockSize;
    std::array<uint8_t, edb::kBlockSize> block{};
    int64_t held = -1;
    int rc = 0;
    int64_t steps = 0;
    for (int32_t current = first; current != 0; ++steps) {
        if (current < 1 || steps >= maxSteps) {
            rc = edb::error::kAuxAccess;
            break;
        }
        int64_t position = blockPosition(current);
        if (rc = lockByte(position); rc != 0) break;
        if (held >= 0) unlockByte(held);
        held = position;
        if (m_file.readAt(position, block, &err) != edb::kBlockSize) {
            rc = edb::error::kAuxAccess;
            break;
        }
        int32_t used = getLe32(&block[edb::kUsedOffset]);
        if (used < 0 || used > edb::kBlockData) {
            rc = edb::error::kAuxAccess;
            break;
        }
        value.append(reinterpret_cast<const char*>(block.data() + edb::kBlockHeaderSize), static_cast<size_t>(used));
        current = getLe32(&block[edb::kNextOffset]);
    }
    if (held >= 0) unlockByte(held);
    if (rc != 0) value.clear();
    return rc;
}

int AuxiliaryFile::store(int32_t oldFirst, std::string_view value, int32_t* newFirst) {
    using namespace edb::error;
    *newFirst = 0;
    if (int rc = lockByte(0); rc != 0) return rc;
    struct HeaderLock {
        AuxiliaryFile* self;
        ~HeaderLock() { self->unlockByte(0); }
    } headerLock{this};

    std::array<uint8_t, edb::kAuxHeaderSize> header{};
    int err = 0;
    if (m_file.readAt(0, header, &err) != edb::kAuxHeaderSize) return kAuxAccess;
    int32_t blockCount = getLe32(&header[edb::kBlockCountOffset]);
    int32_t freeCount = getLe32(&header[edb::kFreeCountOffset]);
    int32_t firstFree = getLe32(&header[edb::kFirstFreeOffset]);
    // A block count beyond the file's blocks would make the next block land far past the
    // end; the file was changed behind our back and is not trusted.
    int64_t length = m_file.size(&err);
    if (blockCount < 1 || length < 0 || blockCount > length / edb::kBlockSize) return kAuxAccess;
    bool headerChanged = false;
    auto inRange = [&](int32_t b) { return b >= 1 && b < blockCount; };
    if (freeCount < 0 || freeCount >= blockCount || (firstFree != 0 && !inRange(firstFree)) ||
        (freeCount > 0) != (firstFree != 0)) {
        // A damaged free list is dropped rather than trusted: its blocks stay unused,
        // but no live chain is ever handed out twice.
        freeCount = 0;
        firstFree = 0;
        headerChanged = true;
    }

    // The old chain, as far as it is intact: each block must point back at the one
    // before it and be in use. A stale or damaged link ends it, so that a store never
    // overwrites a block that belongs to another value or to the free list.
    std::vector<int32_t> oldChain;
    std::unordered_set<int32_t> seen;
    for (int32_t current = oldFirst, previous = 0; inRange(current) && !seen.count(current);) {
        Block info;
        if (int rc = readBlockHeader(current, &info); rc != 0) return rc;
        if (info.prev != previous || info.used < 1 || info.used > edb::kBlockData) break;
        oldChain.push_back(current);
        seen.insert(current);
        previous = current;
        current = info.next;
    }

    const size_t pieces = (value.size() + edb::kBlockData - 1) / edb::kBlockData;
    std::vector<int32_t> chosen;
    chosen.reserve(pieces);
    std::unordered_set<int32_t> taken(oldChain.begin(), oldChain.end());
    for (size_t i = 0; i < pieces; ++i) {
        if (i < oldChain.size()) {
            chosen.push_back(oldChain[i]);
            continue;
        }
        int32_t block = 0;
        if (freeCount > 0) {
            Block info;
            bool usable = inRange(firstFree) && !taken.count(firstFree);
            if (usable) {
                if (int rc = readBlockHeader(firstFree, &info); rc != 0) return rc;
                usable = info.used == 0 && (info.next == 0 || inRange(info.next));
            }
            if (usable) {
                block = firstFree;
                firstFree = info.next;
                --freeCount;
                if (freeCount == 0) firstFree = 0;
                // The new head must not point back at a block that is now in use, or a
                // later unlink would rewrite that block's links.
                if (firstFree != 0) {
                    if (int rc = writeLink(firstFree, edb::kPrevOffset, 0); rc != 0) return rc;
                }
            } else {
                freeCount = 0;
                firstFree = 0;
            }
            headerChanged = true;
        }
        if (block == 0) {
            if (blockCount == std::numeric_limits<int32_t>::max()) return kAuxAccess;
            block = blockCount++;
            headerChanged = true;
        }
        taken.insert(block);
        chosen.push_back(block);
    }

    std::array<uint8_t, edb::kBlockSize> buffer{};
    for (size_t i = 0; i < chosen.size(); ++i) {
        buffer.fill(0);
        size_t begin = i * edb::kBlockData;
        size_t used = std::min<size_t>(edb::kBlockData, value.size() - begin);
        putLe32(&buffer[edb::kPrevOffset], i > 0 ? chosen[i - 1] : 0);
        putLe32(&buffer[edb::kNextOffset], i + 1 < chosen.size() ? chosen[i + 1] : 0);
        putLe32(&buffer[edb::kUsedOffset], static_cast<int32_t>(used));
        std::memcpy(&buffer[edb::kBlockHeaderSize], value.data() + begin, used);
        int64_t position = blockPosition(chosen[i]);
        if (int rc = lockByte(position); rc != 0) return rc;
        int rc = m_file.writeAt(position, buffer);
        unlockByte(position);
        if (rc != 0) return rc;
    }

    if (oldChain.size() > pieces) {
        std::vector<int32_t> leftover(oldChain.begin() + static_cast<std::ptrdiff_t>(pieces), oldChain.end());
        bool freedLast = false;
        for (size_t j = 0; j < leftover.size(); ++j) {
            buffer.fill(0);
            putLe32(&buffer[edb::kPrevOffset], j > 0 ? leftover[j - 1] : 0);
            putLe32(&buffer[edb::kNextOffset], j + 1 < leftover.size() ? leftover[j + 1] : firstFree);
            int64_t position = blockPosition(leftover[j]);
            if (int rc = lockByte(position); rc != 0) return rc;
            int rc = m_file.writeAt(position, buffer);
            unlockByte(position);
            if (rc != 0) return rc;
            if (leftover[j] == blockCount - 1) freedLast = true;
        }
        if (firstFree != 0) {
            if (int rc = writeLink(firstFree, edb::kPrevOffset, leftover.back()); rc != 0) return rc;
        }
        firstFree = leftover.front();
        freeCount += static_cast<int32_t>(leftover.size());
        headerChanged = true;

        if (freedLast) {
            // Walk back over free blocks at the end of the file and give them back. A
            // block whose links do not agree with its neighbours is kept, not unlinked.
            while (blockCount > 1) {
                int32_t last = blockCount - 1;
                Block info;
                if (int rc = readBlockHeader(last, &info); rc != 0) return rc;
                if (info.used != 0) break;
                bool linked = info.prev == 0 ? firstFree == last : inRange(info.prev) && info.prev != last;
                if (linked && info.prev != 0) {
                    Block before;
                    if (int rc = readBlockHeader(info.prev, &before); rc != 0) return rc;
                    linked = before.next == last && before.used == 0;
                }
                if (linked && info.next != 0) {
                    Block after;
                    linked = inRange(info.next) && info.next != last;
                    if (linked) {
                        if (int rc = readBlockHeader(info.next, &after); rc != 0) return rc;
                        linked = after.prev == last && after.used == 0;
                    }
                }
                if (!linked) break;
                if (info.prev == 0) {
                    firstFree = info.next;
                } else if (int rc = writeLink(info.prev, edb::kNextOffset, info.next); rc != 0) {
                    return rc;
                }
                if (info.next != 0) {
                    if (int rc = writeLink(info.next, edb::kPrevOffset, info.prev); rc != 0) return rc;
                }
                --freeCount;
                --blockCount;
            }
            if (freeCount == 0) firstFree = 0;
            if (int rc = m_file.truncate(blockPosition(blockCount)); rc != 0) return rc;
        }
    }

    if (headerChanged) {
        uint8_t counts[12];
        putLe32(counts, blockCount);
        putLe32(counts + 4, freeCount);
        putLe32(counts + 8, firstFree);
        if (int rc = m_file.writeAt(edb::kBlockCountOffset, counts); rc != 0) return rc;
    }
    *newFirst = chosen.empty() ? 0 : chosen.front();
    return 0;
}

}  // namespace records
