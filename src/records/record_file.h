// One open database or auxiliary file: positioned reads and writes through the file
// scrambling, byte-range locks with the lock-wait retry rule, and the emulation of share
// modes. Owned by its database object; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "records/scrambler.h"

namespace records {

// How others may use a file while it is open (the opener's view).
enum class ShareMode {
    ShareAll,   // 1, and when none is given
    DenyRead,   // 2
    DenyWrite,  // 3
    Exclusive,  // any other given value
};
ShareMode shareModeFromCode(int code);  // 0 = none given

// Milliseconds to keep retrying an open or a lock that meets a sharing or lock
// violation: 0 = no retry, -1 = without end. Process-wide; the program keeps 0.
void setLockWaitTimeout(int milliseconds);
int lockWaitTimeout();

// Maps an errno value of a file operation to a database error code.
int fileErrorCode(int errnoValue);

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Returns 0 or a database error code (a file error or -12 for a share-mode conflict).
    int open(const std::string& path, bool readOnly, ShareMode share, std::string_view password);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    bool readOnly() const { return m_readOnly; }

    // Current length of the file, or -1 (and errorCode set) when it cannot be learnt.
    int64_t size(int* errorCode = nullptr) const;

    // Reads up to data.size() bytes at position and descrambles them. Returns the number
    // of bytes read (short at the end of the file), or -1 with *errorCode set.
    int64_t readAt(int64_t position, std::span<uint8_t> data, int* errorCode);
    // Scrambles a copy and writes all of it at position. Returns 0 or an error code.
    int writeAt(int64_t position, std::span<const uint8_t> data);
    // The same for a buffer the caller gives up: it is scrambled where it lies (it holds
    // the file's bytes afterwards), which spares the copy on large writes.
    int scrambleAndWrite(int64_t position, std::span<uint8_t> data);
    int truncate(int64_t length);

    // Exclusive lock of [offset, offset + length), retried while another holder keeps
    // it for as long as the lock-wait time-out (at least minWaitMs) allows.
    // Returns 0 or -13 (lock violation) / another file error.
    int lock(int64_t offset, int64_t length, int minWaitMs = 0);
    int unlock(int64_t offset, int64_t length);

private:
    int acquireShareLocks(ShareMode share);

    int m_fd = -1;
    bool m_readOnly = false;
    std::unique_ptr<Scrambler> m_scrambler;
};

}  // namespace records
