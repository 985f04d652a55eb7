// The auxiliary block file ("EDT") that holds the values of memo and byte-array fields
// as chains of 512-byte blocks, with a free list that is reused before the file grows and
// a tail that is cut off when it falls free. Owned by its database object; one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "records/record_file.h"

namespace records {

class AuxiliaryFile {
public:
    // Opens, checks and (read-write) repairs the file. Returns 0, -35, -36 or -37.
    int open(const std::string& path, bool readOnly, ShareMode share, std::string_view password,
             int32_t databaseVersion, bool locking);
    void close() { m_file.close(); }

    // The value whose chain starts at block `first` (0 = empty). Returns 0 or an error code.
    int read(int32_t first, std::string& value);
    // Stores value reusing the chain that starts at oldFirst; *newFirst receives the first
    // block of the value's chain (0 for an empty value). Returns 0 or an error code.
    int store(int32_t oldFirst, std::string_view value, int32_t* newFirst);

private:
    struct Block {
        int32_t prev = 0;
        int32_t next = 0;
        int32_t used = 0;
    };
    struct Store;  // the header words and the blocks one store has placed so far

    int repairBlockCount(int32_t blocks);
    int lockByte(int64_t offset);
    void unlockByte(int64_t offset);
    int readBlockHeader(int32_t block, Block* header);
    int writeLink(int32_t block, int offsetInBlock, int32_t value);

    // The steps of store(), in order.
    int readStoreHeader(Store& s);
    int rewriteOldChain(Store& s, int32_t oldFirst);
    int placeRemainingPieces(Store& s);
    int takeFreeBlock(Store& s, int32_t* block);
    int freeLeftover(Store& s);
    int trimFreeTail(Store& s);
    int writeStoreHeader(const Store& s);

    RecordFile m_file;
    bool m_locking = true;
};

}  // namespace records
