#include "records/record_database.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>

#include "records/auxiliary_file.h"
#include "records/database_builder.h"
#include "records/gbk_bytes.h"
#include "records/little_endian.h"
#include "records/record_file.h"
#include "records/scrambler.h"

namespace records {
namespace {

using namespace edb::error;

thread_local int t_lastError = 0;

struct ErrorText {
    int code;
    const char* message;
};
constexpr ErrorText kErrorTexts[] = {
    {kUnknown, "未知错误"},
    {kFileNotFound, "指定文件未找到"},
    {kBadPath, "无效的路径"},
    {kTooManyOpenFiles, "打开文件过多"},
    {kAccessDenied, "指定文件不能被访问"},
    {kInvalidFile, "无效的文件号"},
    {kRemoveCurrentDir, "不能删除现行工作目录"},
    {kDirectoryFull, "创建目录过多"},
    {kBadSeek, "文件指针定位失败"},
    {kHardware, "访问文件时硬件产生故障"},
    {kSharingViolation, "访问文件时产生共享冲突"},
    {kLockViolation, "加锁文件失败"},
    {kDiskFull, "磁盘空间不够"},
    {kEndOfFile, "已经到达文件尾"},
    {kOpenFailed, "打开指定数据库失败"},
    {kNotDatabase, "指定文件不是数据库文件"},
    {kVersionTooHigh, "指定数据库文件版本太高，无法读入，请升级系统软件"},
    {kBadAlias, "无效的别名。别名首字符必须为全半角字母或汉字，其他字符必须为全半角字母、全半角数字或汉字"},
    {kNoDatabaseOpen, "当前未打开数据库"},
    {kLockFailed, "加锁失败"},
    {kUnlockFailed, "解锁失败"},
    {kAuxReadFailed, "读入数据库辅助文件失败"},
    {kAuxVersion, "数据库辅助文件的版本与数据库本身不一致"},
    {kAuxDamaged, "指定文件不是数据库辅助文件或已被损坏"},
    {kAlreadyOpen, "指定数据库已经被打开"},
    {kNoMemory, "分配内存空间失败"},
    {kReadFieldFailed, "读指定字段失败"},
    {kWriteFieldFailed, "写指定字段失败"},
    {kBadFileSize, "数据库文件尺寸错误"},
    {kAuxAccess, "访问数据库的辅助文件失败"},
    {kNoCurrentRecord, "现行记录不存在"},
    {kNoSuchField, "指定字段不存在"},
    {kRecordCountFailed, "取数据库记录数失败"},
    {kDatabaseNotOpen, "未打开指定数据库"},
    {kNoCurrentDatabase, "未设置当前数据库"},
    {kTypeMismatch, "所提供数据的类型与字段类型不匹配"},
    {kBadPassword, "未提供数据库访问密码或提供了错误的密码"},
};

constexpr const char* kNoDatabaseReport = "未指定当前数据库或者指定数据库未打开";
constexpr const char* kNoFieldReport = "指定字段不存在";

// Alias rule: first a letter (half- or full-width) or a Chinese character, then letters,
// digits (half- or full-width) or Chinese characters.
bool validAlias(std::string_view alias) {
    size_t i = 0;
    bool first = true;
    while (i < alias.size()) {
        auto c = static_cast<unsigned char>(alias[i]);
        bool ok = false;
        size_t width = 1;
        if (c < 0x80) {
            bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            ok = letter || (!first && c >= '0' && c <= '9');
        } else if (isGbkLeadByte(c) && i + 1 < alias.size()) {
            width = 2;
            auto t = static_cast<unsigned char>(alias[i + 1]);
            bool fullLetter = c == 0xA3 && ((t >= 0xC1 && t <= 0xDA) || (t >= 0xE1 && t <= 0xFA));
            bool fullDigit = c == 0xA3 && t >= 0xB0 && t <= 0xB9;
            bool hanzi = (c >= 0xB0 && c <= 0xF7 && t >= 0xA1) || (c >= 0x81 && c <= 0xA0 && t >= 0x40) ||
                         (c >= 0xAA && c <= 0xFE && t >= 0x40 && t <= 0xA0);
            ok = fullLetter || hanzi || (!first && fullDigit);
        }
        if (!ok) return false;
        first = false;
        i += width;
    }
    return true;
}

struct Descriptor {
    std::string name;
    edb::FieldType type{};
    int32_t offset = 0;
    int32_t size = 0;
    int32_t width() const { return type == edb::FieldType::Text ? size : edb::fieldWidth(type); }
};

struct Database {
    RecordFile file;
    std::unique_ptr<AuxiliaryFile> aux;
    bool noLocking = false;
    std::string fullPath;
    std::string baseName;
    std::string alias;
    std::array<uint8_t, edb::kHeaderSize> header{};
    std::vector<Descriptor> fields;
    int64_t dataStart = 0;
    int32_t recordLength = 0;
    int32_t currentRecord = 0;
    std::map<int64_t, int> locks;  // offset -> hold count

    int lockCounted(int64_t offset, int minWaitMs = 0) {
        if (noLocking) return 0;
        int& count = locks[offset];
        if (count == 0) {
            if (int rc = file.lock(offset, 1, minWaitMs); rc != 0) {
                locks.erase(offset);
                return rc;
            }
        }
        ++count;
        return 0;
    }
    int unlockCounted(int64_t offset) {
        if (noLocking) return 0;
        auto it = locks.find(offset);
        if (it == locks.end()) return 0;
        if (--it->second > 0) return 0;
        locks.erase(it);
        return file.unlock(offset, 1);
    }
    void close() {
        for (auto& [offset, count] : locks) file.unlock(offset, 1);
        locks.clear();
        if (aux) aux->close();
        file.close();
    }
    const Descriptor* find(std::string_view name) const {
        for (const auto& d : fields) {
            if (equalsIgnoringCase(d.name, name)) return &d;
        }
        return nullptr;
    }
    const Descriptor* find(int number) const {
        if (number < 1 || number > static_cast<int>(fields.size())) return nullptr;
        return &fields[static_cast<size_t>(number - 1)];
    }
};

struct DatabaseList {
    std::vector<std::unique_ptr<Database>> open;
    int current = -1;
    Database* currentDatabase() { return current >= 0 ? open[static_cast<size_t>(current)].get() : nullptr; }
};

DatabaseList& databases() {
    static DatabaseList list;
    return list;
}

RuntimeErrorHook& runtimeHook() {
    static RuntimeErrorHook hook;
    return hook;
}

int fail(int code) {
    t_lastError = code;
    return code;
}

std::string withDefaultExtension(std::string path) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        path += ".EDB";
    } else if (dot == path.size() - 1) {
        path += "EDB";
    }
    return path;
}

std::string baseNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

// The auxiliary file has the database's name with the extension "EDT". File names are
// matched without regard to letter case, so a differently cased name in the same folder
// is found as well.
std::string auxiliaryPath(const std::string& databasePath) {
    std::string path = auxiliaryFileName(databasePath);
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) return path;
    std::filesystem::path wanted(path);
    std::string wantedName = wanted.filename().string();
    for (const auto& entry : std::filesystem::directory_iterator(wanted.parent_path(), ec)) {
        std::string name = entry.path().filename().string();
        if (equalsIgnoringCase(name, wantedName)) return entry.path().string();
    }
    return path;
}

TypedValue emptyValue(edb::FieldType type) {
    using edb::FieldType;
    switch (type) {
        case FieldType::Byte:
            return uint8_t{0};
        case FieldType::Short:
            return int16_t{0};
        case FieldType::Int:
            return int32_t{0};
        case FieldType::Long:
            return int64_t{0};
        case FieldType::Float:
            return 0.0f;
        case FieldType::Double:
            return 0.0;
        case FieldType::Bool:
            return false;
        case FieldType::DateTime:
            return DateTime{};
        case FieldType::Subroutine:
            return Subroutine{};
        case FieldType::Text:
        case FieldType::Memo:
            return std::string();
        case FieldType::Bytes:
            return Bytes{};
    }
    return std::monostate{};
}

TypedValue decode(edb::FieldType type, const std::vector<uint8_t>& raw) {
    using edb::FieldType;
    const uint8_t* p = raw.data();
    switch (type) {
        case FieldType::Byte:
            return p[0];
        case FieldType::Short:
            return loadLe<int16_t>(p);
        case FieldType::Int:
            return loadLe<int32_t>(p);
        case FieldType::Long:
            return loadLe<int64_t>(p);
        case FieldType::Float:
            return loadLe<float>(p);
        case FieldType::Double:
            return loadLe<double>(p);
        case FieldType::Bool:
            return p[0] != 0;
        case FieldType::DateTime: {
            double days = loadLe<double>(p);
            if (days < edb::kMinDateTime) days = edb::kMinDateTime;
            if (days > edb::kMaxDateTime) days = edb::kMaxDateTime;
            return DateTime{days};
        }
        case FieldType::Subroutine:
            return Subroutine{loadLe<uint32_t>(p)};
        case FieldType::Text: {
            auto end = std::find(raw.begin(), raw.end(), uint8_t{0});
            return std::string(raw.begin(), end);
        }
        case FieldType::Bytes:
        case FieldType::Memo:
            break;
    }
    return std::monostate{};
}

// Numeric values convert between the numeric types: integers wrap to the narrower width
// as the machine does; floating values truncate toward zero and saturate at the range.
struct Number {
    bool floating = false;
    int64_t integer = 0;
    double real = 0;
};

std::optional<Number> asNumber(const TypedValue& value) {
    return std::visit(
        [](const auto& v) -> std::optional<Number> {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, uint8_t> || std::is_same_v<V, int16_t> || std::is_same_v<V, int32_t> ||
                          std::is_same_v<V, int64_t>) {
                return Number{false, static_cast<int64_t>(v), 0};
            } else if constexpr (std::is_same_v<V, float> || std::is_same_v<V, double>) {
                return Number{true, 0, static_cast<double>(v)};
            } else if constexpr (std::is_same_v<V, DateTime>) {
                return Number{true, 0, v.days};
            } else if constexpr (std::is_same_v<V, std::monostate>) {
                return Number{false, 0, 0};
            } else {
                return std::nullopt;
            }
        },
        value);
}

int64_t toInteger(const Number& n, int64_t low, int64_t high) {
    if (!n.floating) return n.integer;
    if (std::isnan(n.real)) return 0;
    double t = std::trunc(n.real);
    if (t <= static_cast<double>(low)) return low;
    if (t >= static_cast<double>(high)) return high;
    return static_cast<int64_t>(t);
}

double toReal(const Number& n) { return n.floating ? n.real : static_cast<double>(n.integer); }

template <typename T>
void appendBytes(std::vector<uint8_t>& out, T value) {
    uint8_t bytes[sizeof value];
    storeLe(bytes, value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

// The bytes a fixed-width field receives, or -72 when the value does not fit the type.
int encodeFixed(const Descriptor& field, const TypedValue& value, std::vector<uint8_t>& out) {
    using edb::FieldType;
    out.clear();
    if (field.type == FieldType::Text) {
        const std::string* text = std::get_if<std::string>(&value);
        if (!text && !std::holds_alternative<std::monostate>(value)) return kTypeMismatch;
        out.assign(static_cast<size_t>(field.size), 0);
        if (text) std::memcpy(out.data(), text->data(), std::min(text->size(), out.size()));
        return 0;
    }
    if (field.type == FieldType::Bool) {
        const bool* b = std::get_if<bool>(&value);
        if (!b && !std::holds_alternative<std::monostate>(value)) return kTypeMismatch;
        out.push_back(b && *b ? 1 : 0);
        return 0;
    }
    if (field.type == FieldType::Subroutine) {
        const Subroutine* s = std::get_if<Subroutine>(&value);
        if (!s && !std::holds_alternative<std::monostate>(value)) return kTypeMismatch;
        appendBytes(out, s ? s->address : uint32_t{0});
        return 0;
    }
    auto number = asNumber(value);
    if (!number) return kTypeMismatch;
    switch (field.type) {
        case FieldType::Byte:
            out.push_back(static_cast<uint8_t>(toInteger(*number, 0, 255)));
            break;
        case FieldType::Short:
            appendBytes(out, static_cast<int16_t>(toInteger(*number, INT16_MIN, INT16_MAX)));
            break;
        case FieldType::Int:
            appendBytes(out, static_cast<int32_t>(toInteger(*number, INT32_MIN, INT32_MAX)));
            break;
        case FieldType::Long:
            appendBytes(out, toInteger(*number, INT64_MIN, INT64_MAX));
            break;
        case FieldType::Float:
            appendBytes(out, static_cast<float>(toReal(*number)));
            break;
        case FieldType::Double:
        case FieldType::DateTime:
            appendBytes(out, toReal(*number));
            break;
        default:
            return kTypeMismatch;
    }
    return 0;
}

// The magic and, for a protected file, the password check text of the header just read.
int checkHeader(const Database& db, const OpenOptions& options) {
    const uint8_t* h = db.header.data();
    if (std::memcmp(h, edb::kMagicPlain, 4) == 0) return options.password.empty() ? 0 : kBadPassword;
    if (std::memcmp(h, edb::kMagicProtected, 4) != 0) return kNotDatabase;
    if (options.password.empty()) return kBadPassword;
    const char* stored = reinterpret_cast<const char*>(h + edb::kCheckTextOffset);
    std::string_view storedText(stored, strnlen(stored, edb::kCheckTextArea));
    return equalsIgnoringCase(storedText, passwordCheckText(options.password)) ? 0 : kBadPassword;
}

// The record layout words of the header.
int checkLayout(Database& db, int32_t* recordCount) {
    const uint8_t* h = db.header.data();
    *recordCount = getLe32(h + edb::kRecordCountOffset);
    db.recordLength = getLe32(h + edb::kRecordLengthOffset);
    if (db.recordLength <= 0 || *recordCount < 0 || getLe32(h + edb::kCounterOffset) < 1) return kNotDatabase;
    if (getLe32(h + edb::kVersionOffset) > edb::kVersion) return kVersionTooHigh;
    return 0;
}

// One descriptor, checked: NUL inside the name area, a known type, an offset that keeps
// the field inside its record (a field reaching past it would read or overwrite the next
// record) and a size for a text field.
int parseDescriptor(const uint8_t* d, int32_t recordLength, Descriptor* field) {
    const void* nul = std::memchr(d, 0, edb::kNameArea);
    if (!nul) return kNotDatabase;
    field->name.assign(reinterpret_cast<const char*>(d), static_cast<const uint8_t*>(nul) - d);
    int32_t type = getLe32(d + edb::kTypeOffset);
    field->offset = getLe32(d + edb::kFieldOffsetOffset);
    field->size = getLe32(d + edb::kSizeOffset);
    if (type < 1 || type > 12 || field->offset < 0) return kNotDatabase;
    field->type = static_cast<edb::FieldType>(type);
    if (field->type == edb::FieldType::Text && field->size <= 0) return kNotDatabase;
    if (int64_t(field->offset) + field->width() > recordLength) return kNotDatabase;
    if (field->type != edb::FieldType::Text) field->size = field->width();
    return 0;
}

// The field count and the descriptors after the header.
int readDescriptors(Database& db, int64_t length) {
    int err = 0;
    uint8_t countBytes[4];
    if (db.file.readAt(edb::kFieldCountOffset, countBytes, &err) != 4) return kNotDatabase;
    int32_t fieldCount = getLe32(countBytes);
    if (fieldCount <= 0) return kNotDatabase;
    db.dataStart = edb::kDescriptorsOffset + int64_t(edb::kDescriptorSize) * fieldCount;
    // A damaged count must not make us allocate more than the file can hold.
    if (db.dataStart > length) return kNotDatabase;
    std::vector<uint8_t> descriptors(static_cast<size_t>(db.dataStart - edb::kDescriptorsOffset));
    if (db.file.readAt(edb::kDescriptorsOffset, descriptors, &err) != static_cast<int64_t>(descriptors.size())) {
        return kNotDatabase;
    }
    for (int32_t i = 0; i < fieldCount; ++i) {
        Descriptor field;
        int rc = parseDescriptor(descriptors.data() + size_t(i) * edb::kDescriptorSize, db.recordLength, &field);
        if (rc != 0) return rc;
        db.fields.push_back(std::move(field));
    }
    return 0;
}

int openAuxiliaryIfNeeded(Database& db, const std::string& path, const OpenOptions& options, ShareMode share) {
    bool needed = std::any_of(db.fields.begin(), db.fields.end(), [](const Descriptor& d) {
        return d.type == edb::FieldType::Bytes || d.type == edb::FieldType::Memo;
    });
    if (!needed) return 0;
    db.aux = std::make_unique<AuxiliaryFile>();
    return db.aux->open(auxiliaryPath(path), options.readOnly, share, options.password,
                        getLe32(db.header.data() + edb::kVersionOffset), !db.noLocking);
}

// A read-write open lowers a record count the file cannot hold and cuts whatever lies
// after the last record; a read-only open refuses such a file.
int repairLength(Database& db, int64_t length, int32_t recordCount, bool readOnly) {
    int64_t whole = (length - db.dataStart) / db.recordLength;
    if (whole < recordCount) {
        if (readOnly) return kBadFileSize;
        recordCount = static_cast<int32_t>(whole);
        uint8_t countBytes[4];
        putLe32(countBytes, recordCount);
        if (int rc = db.file.writeAt(edb::kRecordCountOffset, countBytes); rc != 0) return rc;
        putLe32(db.header.data() + edb::kRecordCountOffset, recordCount);
    }
    if (readOnly) return 0;
    return db.file.truncate(db.dataStart + int64_t(recordCount) * db.recordLength);
}

// Everything is checked, the auxiliary file included, before the length is repaired, so
// that a file that is refused is never changed.
int checkAndRepairFiles(Database& db, const std::string& path, const OpenOptions& options, ShareMode share) {
    int err = 0;
    if (db.file.readAt(0, db.header, &err) != edb::kHeaderSize) return err ? err : kNotDatabase;
    if (int rc = checkHeader(db, options); rc != 0) return rc;
    int32_t recordCount = 0;
    if (int rc = checkLayout(db, &recordCount); rc != 0) return rc;
    int64_t length = db.file.size(&err);
    if (length < 0) return err;
    if (int rc = readDescriptors(db, length); rc != 0) return rc;
    if (int rc = openAuxiliaryIfNeeded(db, path, options, share); rc != 0) return rc;
    return repairLength(db, length, recordCount, options.readOnly);
}

// Opens the database file and, holding it whole (unless its share mode keeps everyone
// else out anyway), checks it and opens its auxiliary file.
int openDatabaseFiles(Database& db, const std::string& path, const OpenOptions& options, ShareMode share) {
    if (int rc = db.file.open(path, options.readOnly, share, options.password); rc != 0) return rc;
    db.noLocking = share == ShareMode::DenyRead || share == ShareMode::Exclusive;
    if (!db.noLocking) {
        if (int rc = db.file.lock(0, edb::kWholeFileLockLength); rc != 0) return rc;
    }
    int rc = checkAndRepairFiles(db, path, options, share);
    if (!db.noLocking) db.file.unlock(0, edb::kWholeFileLockLength);
    return rc;
}

// Holds a counted record lock and gives it back even when the operation is left early.
class RecordLock {
public:
    RecordLock(Database& db, int64_t offset) : m_db(db), m_offset(offset) {}
    ~RecordLock() {
        if (m_held) m_db.unlockCounted(m_offset);
    }
    int take() {
        int rc = m_db.lockCounted(m_offset);
        m_held = rc == 0;
        return rc;
    }
    int release() {
        m_held = false;
        return m_db.unlockCounted(m_offset);
    }

private:
    Database& m_db;
    int64_t m_offset;
    bool m_held = false;
};

struct FieldAccess {
    Database* db = nullptr;
    const Descriptor* field = nullptr;
};

template <typename Key>
FieldAccess fieldForRead(const Key& key) {
    Database* db = databases().currentDatabase();
    if (!db) raiseRuntimeError(std::nullopt, kNoDatabaseReport);
    const Descriptor* field = db->find(key);
    if (!field) raiseRuntimeError(std::nullopt, kNoFieldReport);
    return {db, field};
}

TypedValue readFieldOf(Database& db, const Descriptor& field) {
    t_lastError = 0;
    TypedValue empty = emptyValue(field.type);
    int64_t recordStart = db.dataStart + int64_t(db.currentRecord) * db.recordLength;
    RecordLock lock(db, recordStart);
    if (int rc = lock.take(); rc != 0) {
        fail(rc);
        return empty;
    }
    TypedValue value = [&]() -> TypedValue {
        int err = 0;
        int64_t length = db.file.size(&err);
        if (length < 0) return fail(err), empty;
        int64_t position = recordStart + field.offset;
        if (position >= length) return fail(kBadSeek), empty;
        // A width beyond the end is a short read; the bytes are not even fetched, so a
        // damaged size never costs memory.
        if (position + field.width() > length) return fail(kReadFieldFailed), empty;
        std::vector<uint8_t> raw(static_cast<size_t>(field.width()));
        int64_t n = db.file.readAt(position, raw, &err);
        if (n < 0) return fail(err), empty;
        if (n != static_cast<int64_t>(raw.size())) return fail(kReadFieldFailed), empty;
        if (field.type != edb::FieldType::Bytes && field.type != edb::FieldType::Memo) return decode(field.type, raw);
        int32_t first = getLe32(raw.data());
        if (first == 0) return empty;
        if (!db.aux) return fail(kReadFieldFailed), empty;
        std::string bytes;
        if (int rc = db.aux->read(first, bytes); rc != 0) return fail(rc), empty;
        if (field.type == edb::FieldType::Bytes) return Bytes{std::move(bytes)};
        // A memo is text: like a text field it ends at its first NUL.
        if (size_t nul = bytes.find('\0'); nul != std::string::npos) bytes.resize(nul);
        return bytes;
    }();
    int unlockRc = lock.release();
    if (t_lastError == 0 && unlockRc != 0) fail(unlockRc);
    return value;
}

int checkWritable(const Database* db, const Descriptor* field) {
    if (!db) return kDatabaseNotOpen;
    if (!field) return kNoSuchField;
    if (db->currentRecord < 0) return kNoCurrentRecord;
    return 0;
}

// Writes a field's new content under the record lock: `fixed` for a field held in the
// record, `chainValue` for a memo or byte-array field.
bool writePrepared(Database& db, const Descriptor& field, std::span<const uint8_t> fixed, std::string_view chainValue) {
    const bool chained = field.type == edb::FieldType::Bytes || field.type == edb::FieldType::Memo;
    int64_t recordStart = db.dataStart + int64_t(db.currentRecord) * db.recordLength;
    RecordLock lock(db, recordStart);
    if (int rc = lock.take(); rc != 0) return fail(rc), false;
    int rc = [&]() -> int {
        int err = 0;
        int64_t length = db.file.size(&err);
        if (length < 0) return err;
        int64_t position = recordStart + field.offset;
        if (position >= length) return kNoCurrentRecord;
        if (!chained) return db.file.writeAt(position, fixed);
        uint8_t number[4];
        int64_t n = db.file.readAt(position, number, &err);
        if (n < 0) return err;
        if (n != 4 || !db.aux) return kWriteFieldFailed;
        int32_t first = 0;
        if (int storeRc = db.aux->store(getLe32(number), chainValue, &first); storeRc != 0) return storeRc;
        putLe32(number, first);
        return db.file.writeAt(position, number);
    }();
    int unlockRc = lock.release();
    if (rc == 0) rc = unlockRc;
    if (rc != 0) return fail(rc), false;
    return true;
}

bool writeFieldOf(Database* db, const Descriptor* field, const TypedValue& value) {
    t_lastError = 0;
    if (int rc = checkWritable(db, field); rc != 0) return fail(rc), false;
    std::vector<uint8_t> bytes;
    std::string_view chainValue;
    const bool absent = std::holds_alternative<std::monostate>(value);
    if (field->type == edb::FieldType::Memo) {
        const auto* text = std::get_if<std::string>(&value);
        if (!text && !absent) return fail(kTypeMismatch), false;
        if (text) chainValue = *text;
    } else if (field->type == edb::FieldType::Bytes) {
        const auto* data = std::get_if<Bytes>(&value);
        if (!data && !absent) return fail(kTypeMismatch), false;
        if (data) chainValue = data->data;
    } else if (int rc = encodeFixed(*field, value, bytes); rc != 0) {
        return fail(rc), false;
    }
    return writePrepared(*db, *field, bytes, chainValue);
}

// Text into a text or memo field without first copying it into a TypedValue.
bool writeTextOf(Database* db, const Descriptor* field, std::string_view text) {
    t_lastError = 0;
    if (int rc = checkWritable(db, field); rc != 0) return fail(rc), false;
    if (field->type == edb::FieldType::Memo) return writePrepared(*db, *field, {}, text);
    if (field->type != edb::FieldType::Text) return fail(kTypeMismatch), false;
    std::vector<uint8_t> bytes(static_cast<size_t>(field->size), 0);
    std::copy_n(text.begin(), std::min(text.size(), bytes.size()), bytes.begin());
    return writePrepared(*db, *field, bytes, {});
}

}  // namespace

namespace {

bool openDatabaseUnguarded(const std::string& path, const OpenOptions& options) {
    if (path.empty()) return fail(kFileNotFound), false;
    if (!options.alias.empty() && !validAlias(options.alias)) return fail(kBadAlias), false;

    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(withDefaultExtension(path), ec);
    if (ec) return fail(kBadPath), false;
    std::string fullPath = absolute.lexically_normal().string();
    auto& list = databases();
    for (const auto& db : list.open) {
        if (equalsIgnoringCase(db->fullPath, fullPath)) return fail(kAlreadyOpen), false;
    }

    auto db = std::make_unique<Database>();
    ShareMode share = shareModeFromCode(options.shareMode);
    if (int rc = openDatabaseFiles(*db, fullPath, options, share); rc != 0) {
        db->close();
        return fail(rc), false;
    }
    db->fullPath = fullPath;
    db->baseName = baseNameOf(fullPath);
    db->alias = options.alias;
    list.open.push_back(std::move(db));
    list.current = static_cast<int>(list.open.size()) - 1;
    return true;
}

}  // namespace

// The operations keep their promise of never throwing: what the standard library may
// throw (memory, file-system names) becomes a database error code.
bool openDatabase(const std::string& path, const OpenOptions& options) {
    t_lastError = 0;
    try {
        return openDatabaseUnguarded(path, options);
    } catch (...) {
        return fail(kOpenFailed), false;
    }
}

void closeDatabase(std::string_view name) {
    t_lastError = 0;
    auto& list = databases();
    int index = -1;
    if (name.empty()) {
        index = list.current;
    } else {
        auto match = [&](auto member) {
            for (int i = static_cast<int>(list.open.size()) - 1; i >= 0; --i) {
                const std::string& text = list.open[static_cast<size_t>(i)].get()->*member;
                if (!text.empty() && equalsIgnoringCase(text, name)) return i;
            }
            return -1;
        };
        index = match(&Database::alias);
        if (index < 0) index = match(&Database::baseName);
        if (index < 0) index = match(&Database::fullPath);
    }
    if (index < 0) return;
    list.open[static_cast<size_t>(index)]->close();
    list.open.erase(list.open.begin() + index);
    if (index == list.current) {
        list.current = -1;
    } else if (index < list.current) {
        --list.current;
    }
}

void closeAllDatabases() {
    auto& list = databases();
    for (auto& db : list.open) db->close();
    list.open.clear();
    list.current = -1;
}

bool goToRecord(int n) {
    t_lastError = 0;
    Database* db = databases().currentDatabase();
    if (!db) return fail(kNoCurrentDatabase), false;
    // The record count is read from the file each time: another copy of the program
    // may have changed it since we opened.
    if (int rc = db->lockCounted(edb::kRecordCountOffset, 2000); rc != 0) return fail(rc), false;
    uint8_t counts[8];
    int err = 0;
    int64_t got = db->file.readAt(edb::kRecordCountOffset, counts, &err);
    int unlockRc = db->unlockCounted(edb::kRecordCountOffset);
    if (got != 8) return fail(kRecordCountFailed), false;
    if (unlockRc != 0) return fail(unlockRc), false;
    int64_t count = std::max(getLe32(counts), 0);
    int64_t target = std::min<int64_t>(int64_t(n) - 1, count - 1);
    db->currentRecord = static_cast<int32_t>(std::max<int64_t>(target, 0));
    return true;
}

TypedValue readField(std::string_view name) {
    auto access = fieldForRead(name);
    try {
        return readFieldOf(*access.db, *access.field);
    } catch (...) {
        return fail(kNoMemory), emptyValue(access.field->type);
    }
}

TypedValue readField(int number) {
    auto access = fieldForRead(number);
    try {
        return readFieldOf(*access.db, *access.field);
    } catch (...) {
        return fail(kNoMemory), emptyValue(access.field->type);
    }
}

std::string readText(std::string_view name) {
    TypedValue value = readField(name);
    if (auto* text = std::get_if<std::string>(&value)) return std::move(*text);
    return {};
}

bool writeField(std::string_view name, const TypedValue& value) {
    Database* db = databases().currentDatabase();
    try {
        return writeFieldOf(db, db ? db->find(name) : nullptr, value);
    } catch (...) {
        return fail(kWriteFieldFailed), false;
    }
}

bool writeText(std::string_view name, std::string_view text) {
    Database* db = databases().currentDatabase();
    try {
        return writeTextOf(db, db ? db->find(name) : nullptr, text);
    } catch (...) {
        return fail(kWriteFieldFailed), false;
    }
}

bool writeField(int number, const TypedValue& value) {
    Database* db = databases().currentDatabase();
    try {
        return writeFieldOf(db, db ? db->find(number) : nullptr, value);
    } catch (...) {
        return fail(kWriteFieldFailed), false;
    }
}

int lastError() { return t_lastError; }

std::string_view errorMessage(int code) {
    for (const auto& entry : kErrorTexts) {
        if (entry.code == code) return entry.message;
    }
    return "未知错误";
}

std::optional<DatabaseInfo> currentDatabaseInfo() {
    Database* db = databases().currentDatabase();
    if (!db) return std::nullopt;
    DatabaseInfo info;
    info.magic.assign(reinterpret_cast<const char*>(db->header.data()), 4);
    info.version = getLe32(db->header.data() + edb::kVersionOffset);
    uint8_t count[4];
    int err = 0;
    info.recordCount = db->file.readAt(edb::kRecordCountOffset, count, &err) == 4
                           ? getLe32(count)
                           : getLe32(db->header.data() + edb::kRecordCountOffset);
    info.recordLength = db->recordLength;
    info.dataStart = db->dataStart;
    info.currentRecord = db->currentRecord;
    for (const auto& d : db->fields) info.fields.push_back({d.name, d.type, d.offset, d.size});
    return info;
}

std::optional<int> fieldNumber(std::string_view name) {
    Database* db = databases().currentDatabase();
    if (!db) return std::nullopt;
    const Descriptor* field = db->find(name);
    if (!field) return std::nullopt;
    return static_cast<int>(field - db->fields.data()) + 1;
}

std::vector<std::string> openDatabasePaths() {
    std::vector<std::string> paths;
    for (const auto& db : databases().open) paths.push_back(db->fullPath);
    return paths;
}

void setRuntimeErrorHook(RuntimeErrorHook hook) { runtimeHook() = std::move(hook); }

std::string runtimeErrorReport(std::optional<int> code, std::string_view message) {
    std::string report = "运行时出错!\r\n\r\n";
    if (code) report += "错误代码：" + std::to_string(*code) + "\r\n\r\n";
    if (!message.empty()) {
        report += "错误信息：";
        report += message;
        report += "\r\n";
    }
    return report;
}

void raiseRuntimeError(std::optional<int> code, std::string_view message) {
    std::string report = runtimeErrorReport(code, message);
    if (const auto& hook = runtimeHook()) {
        hook(report);
    } else {
        std::fputs(report.c_str(), stderr);
        std::fflush(stderr);
    }
    // Nothing of the caller may run on: it asked for a field that is not there.
    std::_Exit(EXIT_FAILURE);
}

}  // namespace records
