#include "records/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "records/edb_format.h"

namespace records {
namespace {

std::atomic<int> g_lockWaitTimeout{0};

// Share modes are emulated with one-byte locks far beyond any position a database can
// address (positions are 32-bit), so they never meet the whole-file or record locks.
// Every opener holds a shared lock on the bytes that describe its access and what it
// denies; an opener tests the opposite bytes for holders before it takes its own.
constexpr int64_t kShareArea = int64_t(1) << 32;
constexpr int64_t kShareGate = kShareArea + 0;
constexpr int64_t kOpenedForReading = kShareArea + 1;
constexpr int64_t kOpenedForWriting = kShareArea + 2;
constexpr int64_t kDeniesReading = kShareArea + 3;
constexpr int64_t kDeniesWriting = kShareArea + 4;

int setLock(int fd, short type, int64_t offset, int64_t length, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    fl.l_pid = 0;
    while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// True when an open file description other than ours holds a lock on the byte.
bool heldByOthers(int fd, int64_t offset) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = 1;
    fl.l_pid = 0;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
    return fl.l_type != F_UNLCK;
}

int64_t tickMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs attempt() until it stops reporting a violation or the lock-wait time-out is
// spent, sleeping 20..39 ms between tries.
template <typename Attempt>
int retryWhileViolated(int violationCode, int minWaitMs, Attempt attempt) {
    int timeout = g_lockWaitTimeout.load();
    if (timeout >= 0 && timeout < minWaitMs) timeout = minWaitMs;
    int64_t start = tickMs();
    for (;;) {
        int rc = attempt();
        if (rc != violationCode) return rc;
        if (timeout == 0) return rc;
        int64_t now = tickMs();
        if (timeout > 0 && now - start >= timeout) return rc;
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + now % 20));
    }
}

}  // namespace

ShareMode shareModeFromCode(int code) {
    switch (code) {
        case 0:
        case 1:
            return ShareMode::ShareAll;
        case 2:
            return ShareMode::DenyRead;
        case 3:
            return ShareMode::DenyWrite;
        default:
            return ShareMode::Exclusive;
    }
}

void setLockWaitTimeout(int milliseconds) { g_lockWaitTimeout.store(milliseconds < -1 ? -1 : milliseconds); }
int lockWaitTimeout() { return g_lockWaitTimeout.load(); }

int fileErrorCode(int e) {
    using namespace edb::error;
    switch (e) {
        case 0:
            return kNone;
        case ENOENT:
            return kFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return kBadPath;
        case EMFILE:
        case ENFILE:
            return kTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return kAccessDenied;
        case EBADF:
            return kInvalidFile;
        case ESPIPE:
        case EOVERFLOW:
        case EINVAL:
            return kBadSeek;
        case EIO:
            return kHardware;
        case EAGAIN:
        case EDEADLK:
        case ENOLCK:
            return kLockViolation;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kDiskFull;
        default:
            return kUnknown;
    }
}

RecordFile::~RecordFile() { close(); }

void RecordFile::close() {
    if (m_fd >= 0) ::close(m_fd);  // also drops every lock of this description
    m_fd = -1;
    m_scrambler.reset();
}

int RecordFile::open(const std::string& path, bool readOnly, ShareMode share, std::string_view password) {
    close();
    int fd = ::open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) return fileErrorCode(errno);
    // A directory or device under the database's name is not a file we can use.
    struct stat st {};
    int statRc = fstat(fd, &st) == 0 ? 0 : fileErrorCode(errno);
    if (statRc == 0 && !S_ISREG(st.st_mode)) statRc = edb::error::kAccessDenied;
    if (statRc != 0) {
        ::close(fd);
        return statRc;
    }
    m_fd = fd;
    m_readOnly = readOnly;
    int rc = retryWhileViolated(edb::error::kSharingViolation, 0, [&] { return acquireShareLocks(share); });
    if (rc != 0) {
        close();
        return rc;
    }
    m_scrambler = std::make_unique<Scrambler>(password);
    return 0;
}

int RecordFile::acquireShareLocks(ShareMode share) {
    // The gate makes test-then-take one step among cooperating openers. A read-only
    // descriptor can only hold shared locks, so two read-only openers may pass the gate
    // at the same moment; only two such openers that both deny reading could then miss
    // each other.
    short gateType = m_readOnly ? F_RDLCK : F_WRLCK;
    if (int e = setLock(m_fd, gateType, kShareGate, 1, true); e != 0) return edb::error::kLockFailed;

    bool deniesReading = share == ShareMode::DenyRead || share == ShareMode::Exclusive;
    bool deniesWriting = share == ShareMode::DenyWrite || share == ShareMode::Exclusive;
    bool conflict = heldByOthers(m_fd, kDeniesReading) || (!m_readOnly && heldByOthers(m_fd, kDeniesWriting)) ||
                    (deniesReading && heldByOthers(m_fd, kOpenedForReading)) ||
                    (deniesWriting && heldByOthers(m_fd, kOpenedForWriting));
    int rc = 0;
    if (conflict) {
        rc = edb::error::kSharingViolation;
    } else {
        std::vector<int64_t> marks{kOpenedForReading};
        if (!m_readOnly) marks.push_back(kOpenedForWriting);
        if (deniesReading) marks.push_back(kDeniesReading);
        if (deniesWriting) marks.push_back(kDeniesWriting);
        for (int64_t mark : marks) {
            if (setLock(m_fd, F_RDLCK, mark, 1, false) != 0) {
                rc = edb::error::kSharingViolation;
                break;
            }
        }
        if (rc != 0) {
            for (int64_t mark : marks) setLock(m_fd, F_UNLCK, mark, 1, false);
        }
    }
    setLock(m_fd, F_UNLCK, kShareGate, 1, false);
    return rc;
}

int64_t RecordFile::size(int* errorCode) const {
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0) {
        if (errorCode) *errorCode = m_fd < 0 ? edb::error::kInvalidFile : fileErrorCode(errno);
        return -1;
    }
    return st.st_size;
}

int64_t RecordFile::readAt(int64_t position, std::span<uint8_t> data, int* errorCode) {
    if (position < 0) {
        *errorCode = edb::error::kBadSeek;
        return -1;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::pread(m_fd, data.data() + done, data.size() - done, position + static_cast<int64_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            *errorCode = fileErrorCode(errno);
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    m_scrambler->apply(position, data.first(done));
    return static_cast<int64_t>(done);
}

int RecordFile::writeAt(int64_t position, std::span<const uint8_t> data) {
    if (position < 0) return edb::error::kBadSeek;
    if (m_readOnly) return edb::error::kAccessDenied;
    std::vector<uint8_t> copy(data.begin(), data.end());
    return scrambleAndWrite(position, copy);
}

int RecordFile::scrambleAndWrite(int64_t position, std::span<uint8_t> data) {
    if (position < 0) return edb::error::kBadSeek;
    if (m_readOnly) return edb::error::kAccessDenied;
    m_scrambler->apply(position, data);
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::pwrite(m_fd, data.data() + done, data.size() - done, position + static_cast<int64_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fileErrorCode(errno);
        }
        if (n == 0) return edb::error::kDiskFull;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int RecordFile::truncate(int64_t length) {
    if (m_readOnly) return edb::error::kAccessDenied;
    while (::ftruncate(m_fd, length) != 0) {
        if (errno != EINTR) return fileErrorCode(errno);
    }
    return 0;
}

int RecordFile::lock(int64_t offset, int64_t length, int minWaitMs) {
    // A read-only descriptor cannot hold an exclusive lock; its shared lock still keeps
    // writers out, and readers never need to keep each other out.
    short type = m_readOnly ? F_RDLCK : F_WRLCK;
    return retryWhileViolated(edb::error::kLockViolation, minWaitMs, [&] {
        int e = setLock(m_fd, type, offset, length, false);
        if (e == 0) return 0;
        if (e == EAGAIN || e == EACCES) return edb::error::kLockViolation;
        if (e == EBADF) return edb::error::kInvalidFile;
        return edb::error::kLockFailed;
    });
}

int RecordFile::unlock(int64_t offset, int64_t length) {
    int e = setLock(m_fd, F_UNLCK, offset, length, false);
    if (e == 0) return 0;
    return e == EBADF ? edb::error::kInvalidFile : edb::error::kUnlockFailed;
}

}  // namespace records
