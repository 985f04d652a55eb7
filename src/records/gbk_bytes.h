// Byte-level helpers for GBK texts that the record code compares and cuts: a lead byte
// starts a two-byte character whose second byte may look like ASCII and must never be
// taken for a letter or a separator. Pure functions, any thread.
#pragma once

#include <string_view>

namespace records {

inline bool isGbkLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Equal ignoring the case of ASCII letters; both bytes of a double-byte character are
// compared exactly.
inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (isGbkLeadByte(x) && i + 1 < a.size()) {
            if (x != y || a[i + 1] != b[i + 1]) return false;
            ++i;
            continue;
        }
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace records
