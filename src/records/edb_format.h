// The on-disk layout of the record database ("EDB") and its auxiliary block file ("EDT"),
// and the database error codes. Constants only; shared by the library, the tool and tests.
//
// All integers are 32-bit little-endian and signed. Bytes 0..3 of both files are never
// scrambled; every later byte is (when the database has a password), by absolute position.
//
// Database file:
//   0    4   magic "WEDB" (no password) or "WCDB" (password-protected)
//   4    4   format version 0x00010000 (higher is refused)
//   8    8   kept as found
//   16   4   record count (>= 0)
//   20   4   a counter that must be >= 1, otherwise kept as found
//   24   4   record length (> 0)
//   28   84  "WCDB": password check text, 32 hex characters + NUL; rest kept as found
//   112  4   field count (> 0)
//   116  72 x field count: field descriptors
//        then record length x record count bytes of records, record 0 first, nothing after.
// Field descriptor (72 bytes):
//   0 17 name, NUL inside (at most 16 bytes)   17 3 kept   20 4 type 1..12
//   24 4 offset inside the record              28 4 size (text fields; > 0)   32 40 kept
//
// Auxiliary file: 512-byte blocks; block 0 is the header:
//   0 4 magic "WEDT"   4 4 version (= database's)   8 8 kept   16 4 block count (>= 1)
//   20 4 free block count   24 4 first free block (0 = none)   28 4 kept
// Every other block: 0 4 previous   4 4 next   8 4 used bytes 0..500 (0 = free)   12 500 data.
// A memo or byte-array field holds the number of its chain's first block (0 = empty).
#pragma once

#include <cstdint>

namespace records::edb {

inline constexpr char kMagicPlain[4] = {'W', 'E', 'D', 'B'};
inline constexpr char kMagicProtected[4] = {'W', 'C', 'D', 'B'};
inline constexpr char kMagicAuxiliary[4] = {'W', 'E', 'D', 'T'};
inline constexpr int32_t kVersion = 0x00010000;

inline constexpr int kHeaderSize = 112;
inline constexpr int kVersionOffset = 4;
inline constexpr int kRecordCountOffset = 16;
inline constexpr int kCounterOffset = 20;
inline constexpr int kRecordLengthOffset = 24;
inline constexpr int kCheckTextOffset = 28;
inline constexpr int kCheckTextArea = 84;
inline constexpr int kCheckTextLength = 32;
inline constexpr int kFieldCountOffset = 112;
inline constexpr int kDescriptorsOffset = 116;

inline constexpr int kDescriptorSize = 72;
inline constexpr int kNameArea = 17;  // name + NUL
inline constexpr int kMaxNameLength = 16;
inline constexpr int kTypeOffset = 20;
inline constexpr int kFieldOffsetOffset = 24;
inline constexpr int kSizeOffset = 28;

inline constexpr int kBlockSize = 512;
inline constexpr int kBlockData = 500;
inline constexpr int kBlockHeaderSize = 12;
inline constexpr int kAuxHeaderSize = 32;
inline constexpr int kBlockCountOffset = 16;
inline constexpr int kFreeCountOffset = 20;
inline constexpr int kFirstFreeOffset = 24;
inline constexpr int kPrevOffset = 0;
inline constexpr int kNextOffset = 4;
inline constexpr int kUsedOffset = 8;

// Scrambling works on 4096-byte file blocks, each with its own key.
inline constexpr int kScrambleBlock = 4096;
inline constexpr int kUnscrambledPrefix = 4;

// Byte-range locks: the whole-file lock covers 0 .. 0x7FFFFFFE; the others are one byte.
inline constexpr int64_t kWholeFileLockLength = 0x7FFFFFFF;

enum class FieldType : int32_t {
    Byte = 1,
    Short = 2,
    Int = 3,
    Long = 4,
    Float = 5,
    Double = 6,
    Bool = 7,
    DateTime = 8,
    Subroutine = 9,
    Text = 10,
    Bytes = 11,
    Memo = 12,
};

// Bytes a field of the type occupies in a record; text fields use their descriptor size.
constexpr int fieldWidth(FieldType type) {
    switch (type) {
        case FieldType::Byte:
            return 1;
        case FieldType::Short:
            return 2;
        case FieldType::Int:
            return 4;
        case FieldType::Long:
            return 8;
        case FieldType::Float:
            return 4;
        case FieldType::Double:
            return 8;
        case FieldType::Bool:
            return 1;
        case FieldType::DateTime:
            return 8;
        case FieldType::Subroutine:
            return 4;
        case FieldType::Text:
            return 0;
        case FieldType::Bytes:
            return 4;
        case FieldType::Memo:
            return 4;
    }
    return 0;
}

// Date-time values are days since 1899-12-30; reads clamp to this range.
inline constexpr double kMinDateTime = -657434.0;
inline constexpr double kMaxDateTime = 2958465.0;

// Database error codes (0 = success). Messages: records::errorMessage().
namespace error {
inline constexpr int kNone = 0;
inline constexpr int kUnknown = -1;
inline constexpr int kFileNotFound = -3;
inline constexpr int kBadPath = -4;
inline constexpr int kTooManyOpenFiles = -5;
inline constexpr int kAccessDenied = -6;
inline constexpr int kInvalidFile = -7;
inline constexpr int kRemoveCurrentDir = -8;
inline constexpr int kDirectoryFull = -9;
inline constexpr int kBadSeek = -10;
inline constexpr int kHardware = -11;
inline constexpr int kSharingViolation = -12;
inline constexpr int kLockViolation = -13;
inline constexpr int kDiskFull = -14;
inline constexpr int kEndOfFile = -15;
inline constexpr int kOpenFailed = -21;
inline constexpr int kNotDatabase = -22;
inline constexpr int kVersionTooHigh = -23;
inline constexpr int kBadAlias = -24;
inline constexpr int kNoDatabaseOpen = -27;
inline constexpr int kLockFailed = -28;
inline constexpr int kUnlockFailed = -29;
inline constexpr int kAuxReadFailed = -35;
inline constexpr int kAuxVersion = -36;
inline constexpr int kAuxDamaged = -37;
inline constexpr int kAlreadyOpen = -38;
inline constexpr int kNoMemory = -45;
inline constexpr int kReadFieldFailed = -46;
inline constexpr int kWriteFieldFailed = -47;
inline constexpr int kBadFileSize = -48;
inline constexpr int kAuxAccess = -59;
inline constexpr int kNoCurrentRecord = -60;
inline constexpr int kNoSuchField = -61;
inline constexpr int kRecordCountFailed = -65;
inline constexpr int kDatabaseNotOpen = -66;
inline constexpr int kNoCurrentDatabase = -67;
inline constexpr int kTypeMismatch = -72;
inline constexpr int kBadPassword = -78;
}  // namespace error

}  // namespace records::edb
