#include "update/local_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace update {
namespace {
constexpr std::int64_t kPopulateStep = 1 << 20;
}  // namespace

LocalFile::~LocalFile() { close(); }

bool LocalFile::create(const std::string& path, std::int64_t size, unsigned mode) {
    close();
    if (size < 0 || static_cast<std::uint64_t>(size) > std::numeric_limits<size_t>::max() / 2) return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode & 07777));
    if (fd < 0) return false;
    auto fail = [&] {
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    };
    // A size that the disk cannot hold is refused here rather than leaving a huge
    // sparse file that fails half-way through.
    struct statvfs fs {};
    if (::fstatvfs(fd, &fs) == 0 && fs.f_frsize > 0 &&
        static_cast<std::uint64_t>(size) / fs.f_frsize > static_cast<std::uint64_t>(fs.f_bavail))
        return fail();
    if (size > 0) {
        int rc = ::fallocate(fd, 0, 0, size);
        if (rc != 0 && (errno == EOPNOTSUPP || errno == ENOSYS)) rc = ::ftruncate(fd, size);
        if (rc != 0) return fail();
        void* map = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) return fail();
        m_map = static_cast<char*>(map);
    }
    m_fd = fd;
    m_size = size;
    return true;
}

void LocalFile::write(std::int64_t offset, const char* data, std::int64_t size) {
    if (!m_map || offset < 0 || size <= 0 || offset + size > m_size) return;
    // Entering a new mebibyte: make its pages writable in one call instead of taking a
    // page fault every 4 KiB.
    const std::int64_t end = offset + size;
    const std::int64_t boundary = end & ~(kPopulateStep - 1);
    if (boundary > offset || offset % kPopulateStep == 0) {
        const std::int64_t from = boundary > offset ? boundary : offset;
        const std::int64_t length = std::min(kPopulateStep, m_size - from);
        if (length > 0) ::madvise(m_map + from, static_cast<size_t>(length), MADV_POPULATE_WRITE);
    }
    std::memcpy(m_map + offset, data, static_cast<size_t>(size));
}

void LocalFile::close() {
    if (m_map) {
        ::munmap(m_map, static_cast<size_t>(m_size));
        m_map = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_size = 0;
}

}  // namespace update
