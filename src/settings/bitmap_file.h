// The icon file format the entry editor writes: a 24-bit uncompressed bottom-up
// bitmap file (14-byte file header, 40-byte information header, rows padded to 4
// bytes), whatever the file's name says. No Qt; pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace settings {

// pixels: width*height values 0xAARRGGBB, top row first; alpha is ignored (the
// caller has already composed the picture over its background).
// Empty when the size is not positive or does not match the pixel count.
std::vector<std::uint8_t> encodeBitmap24(int width, int height, std::span<const std::uint32_t> pixels);

struct DecodedBitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0xFFRRGGBB, top row first
};

// Reads back what encodeBitmap24 writes (24-bit, uncompressed, bottom-up or top-down);
// nothing for anything else. Used to check stored icons.
std::optional<DecodedBitmap> decodeBitmap24(std::span<const std::uint8_t> file);

// Writes the bytes to path, creating or replacing the file with mode 0600; false when
// it cannot be written completely, in which case the previous file is left untouched.
[[nodiscard]] bool writeWholeFile(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace settings
