// The local file of a download: created anew (never overwriting), given its full size
// at once and written through a shared memory mapping. Owned by one task; write() may
// be called from several connection threads for disjoint ranges.
#pragma once

#include <cstdint>
#include <string>

namespace update {

class LocalFile {
public:
    LocalFile() = default;
    ~LocalFile();
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    // Fails when the file exists, cannot be made, or `size` is negative or does not
    // fit on the disk. `mode` is the new file's permission bits (the umask applies).
    [[nodiscard]] bool create(const std::string& path, std::int64_t size, unsigned mode = 0644);
    // Copies bytes to [offset, offset + size); the range lies inside the file.
    void write(std::int64_t offset, const char* data, std::int64_t size);
    void close();

    bool isOpen() const { return m_fd >= 0; }
    std::int64_t size() const { return m_size; }

private:
    int m_fd = -1;
    char* m_map = nullptr;
    std::int64_t m_size = 0;
};

}  // namespace update
