#include "settings/bitmap_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace settings {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;

void putU16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void putU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    putU16(out, at, v & 0xFFFF);
    putU16(out, at + 2, v >> 16);
}

std::uint32_t getU16(std::span<const std::uint8_t> in, std::size_t at) {
    return static_cast<std::uint32_t>(in[at]) | static_cast<std::uint32_t>(in[at + 1]) << 8;
}

std::uint32_t getU32(std::span<const std::uint8_t> in, std::size_t at) {
    return getU16(in, at) | getU16(in, at + 2) << 16;
}

std::size_t rowStride(int width) { return (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3}; }

}  // namespace

std::vector<std::uint8_t> encodeBitmap24(int width, int height, std::span<const std::uint32_t> pixels) {
    if (width <= 0 || height <= 0) return {};
    // Keeps every size field inside 32 bits.
    if (width > 0x7FFF || height > 0x7FFF) return {};
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (pixels.size() != count) return {};

    const std::size_t stride = rowStride(width);
    const std::size_t dataOffset = kFileHeaderSize + kInfoHeaderSize;
    const std::size_t imageSize = stride * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> out(dataOffset + imageSize, 0);

    out[0] = 'B';
    out[1] = 'M';
    putU32(out, 2, static_cast<std::uint32_t>(out.size()));
    putU32(out, 10, static_cast<std::uint32_t>(dataOffset));

    putU32(out, 14, kInfoHeaderSize);
    putU32(out, 18, static_cast<std::uint32_t>(width));
    putU32(out, 22, static_cast<std::uint32_t>(height));  // positive: bottom-up rows
    putU16(out, 26, 1);                                   // planes
    putU16(out, 28, 24);                                  // bits per pixel
    putU32(out, 30, 0);                                   // no compression
    putU32(out, 34, static_cast<std::uint32_t>(imageSize));
    putU32(out, 38, 2835);  // 72 dots per inch, as pixels per metre
    putU32(out, 42, 2835);

    for (int y = 0; y < height; ++y) {
        std::size_t row = dataOffset + static_cast<std::size_t>(height - 1 - y) * stride;
        for (int x = 0; x < width; ++x) {
            std::uint32_t p =
                pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)];
            out[row++] = static_cast<std::uint8_t>(p);        // blue
            out[row++] = static_cast<std::uint8_t>(p >> 8);   // green
            out[row++] = static_cast<std::uint8_t>(p >> 16);  // red
        }
    }
    return out;
}

std::optional<DecodedBitmap> decodeBitmap24(std::span<const std::uint8_t> file) {
    if (file.size() < kFileHeaderSize + kInfoHeaderSize) return std::nullopt;
    if (file[0] != 'B' || file[1] != 'M') return std::nullopt;
    const std::uint32_t dataOffset = getU32(file, 10);
    if (getU32(file, 14) < kInfoHeaderSize) return std::nullopt;
    const auto width = static_cast<std::int32_t>(getU32(file, 18));
    const auto rawHeight = static_cast<std::int32_t>(getU32(file, 22));
    if (getU16(file, 28) != 24 || getU32(file, 30) != 0) return std::nullopt;
    if (width <= 0 || width > 0x7FFF || rawHeight == 0 || rawHeight < -0x7FFF || rawHeight > 0x7FFF) {
        return std::nullopt;
    }
    const bool bottomUp = rawHeight > 0;
    const int height = bottomUp ? rawHeight : -rawHeight;
    const std::size_t stride = rowStride(width);
    if (dataOffset > file.size() || (file.size() - dataOffset) / stride < static_cast<std::size_t>(height)) {
        return std::nullopt;
    }

    DecodedBitmap bitmap{width, height, {}};
    bitmap.pixels.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        std::size_t stored = bottomUp ? static_cast<std::size_t>(height - 1 - y) : static_cast<std::size_t>(y);
        std::size_t at = dataOffset + stored * stride;
        for (int x = 0; x < width; ++x, at += 3) {
            bitmap.pixels.push_back(0xFF000000u | static_cast<std::uint32_t>(file[at + 2]) << 16 |
                                    static_cast<std::uint32_t>(file[at + 1]) << 8 | file[at]);
        }
    }
    return bitmap;
}

bool writeWholeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    // Written beside the target and renamed over it, so a failed write leaves the
    // previous file as it was. The file is the user's own business: owner-only, also
    // when a stale temporary file was left with other permissions, and never through
    // a link someone put in its place.
    const std::string temp = path + ".part";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) ok = false;
    if (ok) ok = std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temp.c_str());
    return ok;
}

}  // namespace settings
