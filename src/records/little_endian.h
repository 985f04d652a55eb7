// Little-endian loads and stores of the integers and reals the record files hold. Every
// word of a database or auxiliary file goes through these, so the files read the same on
// any machine. Pure functions, any thread.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace records {

// T is an integer or a floating type of 1, 2, 4 or 8 bytes.
template <typename T>
T loadLe(const uint8_t* p) {
    static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool> &&
                  (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
    using Bits = std::conditional_t<
        sizeof(T) == 1, uint8_t,
        std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
    Bits bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i) bits = static_cast<Bits>(bits | Bits(p[i]) << (8 * i));
    return std::bit_cast<T>(bits);
}

template <typename T>
void storeLe(uint8_t* p, T value) {
    static_assert(std::is_arithmetic_v<T> && !std::is_same_v<T, bool> &&
                  (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8));
    using Bits = std::conditional_t<
        sizeof(T) == 1, uint8_t,
        std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;
    auto bits = std::bit_cast<Bits>(value);
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}

// The signed 32-bit words that make up the headers, descriptors and block links.
inline int32_t getLe32(const uint8_t* p) { return loadLe<int32_t>(p); }
inline void putLe32(uint8_t* p, int32_t value) { storeLe(p, value); }

}  // namespace records
