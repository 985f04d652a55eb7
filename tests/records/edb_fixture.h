// Helpers for tests that look at database files byte by byte: raw reads and writes
// through the scrambling, little-endian words, and a database with every field type.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "records/database_builder.h"
#include "records/record_database.h"
#include "records/record_file.h"

namespace records::testing {

inline std::vector<uint8_t> readRaw(const std::string& path, const std::string& password, int64_t position,
                                    size_t count) {
    RecordFile file;
    EXPECT_EQ(file.open(path, true, ShareMode::ShareAll, password), 0) << path;
    std::vector<uint8_t> bytes(count);
    int err = 0;
    int64_t n = file.readAt(position, bytes, &err);
    bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return bytes;
}

inline void writeRaw(const std::string& path, const std::string& password, int64_t position,
                     const std::vector<uint8_t>& bytes) {
    RecordFile file;
    ASSERT_EQ(file.open(path, false, ShareMode::ShareAll, password), 0) << path;
    ASSERT_EQ(file.writeAt(position, bytes), 0);
}

inline int32_t le32(const std::vector<uint8_t>& bytes, size_t at = 0) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | bytes.at(at + static_cast<size_t>(i));
    return static_cast<int32_t>(v);
}

inline std::vector<uint8_t> le32Bytes(int32_t value) {
    auto v = static_cast<uint32_t>(value);
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

inline int64_t fileSize(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

// Fields named after their type, one of each, in type order; the text field holds 20 bytes.
inline std::vector<FieldSpec> allTypes() {
    using edb::FieldType;
    return {{"b", FieldType::Byte, 0},     {"s", FieldType::Short, 0},       {"i", FieldType::Int, 0},
            {"l", FieldType::Long, 0},     {"f", FieldType::Float, 0},       {"d", FieldType::Double, 0},
            {"flag", FieldType::Bool, 0},  {"when", FieldType::DateTime, 0}, {"sub", FieldType::Subroutine, 0},
            {"Text", FieldType::Text, 20}, {"blob", FieldType::Bytes, 0},    {"memo", FieldType::Memo, 0}};
}
// Record length of allTypes(): 1+2+4+8+4+8+1+8+4+20+4+4.
inline constexpr int32_t kAllTypesRecordLength = 68;
inline constexpr int64_t kAllTypesDataStart = 116 + 72 * 12;
inline constexpr int64_t kAllTypesTextOffset = 40;
inline constexpr int64_t kAllTypesMemoOffset = 64;

struct CloseAll {
    ~CloseAll() { closeAllDatabases(); }
};

}  // namespace records::testing
