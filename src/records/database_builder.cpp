#include "records/database_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "records/little_endian.h"
#include "records/record_file.h"
#include "records/scrambler.h"

namespace records {
namespace {

int writeWhole(const std::string& path, std::vector<uint8_t>& bytes, const std::string& password) {
    Scrambler scrambler(password);
    scrambler.apply(0, bytes);
    // The database holds every mailbox password: owner-only, also when an older file
    // with wider permissions is overwritten.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return fileErrorCode(errno);
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        int rc = fileErrorCode(errno);
        ::close(fd);
        return rc;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int rc = n < 0 ? fileErrorCode(errno) : edb::error::kDiskFull;
            ::close(fd);
            return rc;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 ? 0 : fileErrorCode(errno);
}

}  // namespace

std::string auxiliaryFileName(const std::string& databasePath) {
    size_t slash = databasePath.rfind('/');
    size_t dot = databasePath.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return databasePath + ".EDT";
    return databasePath.substr(0, dot + 1) + "EDT";
}

int createDatabase(const std::string& path, int32_t recordCount, const std::vector<FieldSpec>& fields,
                   const std::string& password) {
    using namespace edb;
    if (path.empty()) return error::kFileNotFound;
    if (recordCount < 0 || fields.empty()) return error::kNotDatabase;

    int64_t recordLength = 0;
    bool needsAuxiliary = false;
    for (const auto& field : fields) {
        int type = static_cast<int>(field.type);
        if (field.name.empty() || field.name.size() > kMaxNameLength || field.name.find('\0') != std::string::npos ||
            type < 1 || type > 12 || (field.type == FieldType::Text && field.size <= 0)) {
            return error::kNotDatabase;
        }
        recordLength += field.type == FieldType::Text ? field.size : fieldWidth(field.type);
        needsAuxiliary = needsAuxiliary || field.type == FieldType::Bytes || field.type == FieldType::Memo;
    }
    int64_t dataStart = kDescriptorsOffset + int64_t(kDescriptorSize) * int64_t(fields.size());
    int64_t total = dataStart + recordLength * recordCount;
    if (recordLength > INT32_MAX || total > INT32_MAX) return error::kDiskFull;

    std::vector<uint8_t> bytes(static_cast<size_t>(total), 0);
    std::memcpy(bytes.data(), password.empty() ? kMagicPlain : kMagicProtected, 4);
    putLe32(&bytes[kVersionOffset], kVersion);
    putLe32(&bytes[kRecordCountOffset], recordCount);
    putLe32(&bytes[kCounterOffset], 1);
    putLe32(&bytes[kRecordLengthOffset], static_cast<int32_t>(recordLength));
    if (!password.empty()) {
        std::string check = passwordCheckText(password);
        std::memcpy(&bytes[kCheckTextOffset], check.data(), check.size());
    }
    putLe32(&bytes[kFieldCountOffset], static_cast<int32_t>(fields.size()));
    int32_t offset = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        uint8_t* d = &bytes[kDescriptorsOffset + i * kDescriptorSize];
        const auto& field = fields[i];
        int32_t width = field.type == FieldType::Text ? field.size : fieldWidth(field.type);
        std::memcpy(d, field.name.data(), field.name.size());
        putLe32(d + kTypeOffset, static_cast<int32_t>(field.type));
        putLe32(d + kFieldOffsetOffset, offset);
        putLe32(d + kSizeOffset, width);
        offset += width;
    }
    if (int rc = writeWhole(path, bytes, password); rc != 0) return rc;

    std::string auxPath = auxiliaryFileName(path);
    if (!needsAuxiliary) {
        ::unlink(auxPath.c_str());
        return 0;
    }
    std::vector<uint8_t> aux(kBlockSize, 0);
    std::memcpy(aux.data(), kMagicAuxiliary, 4);
    putLe32(&aux[kVersionOffset], kVersion);
    putLe32(&aux[kBlockCountOffset], 1);
    return writeWhole(auxPath, aux, password);
}

}  // namespace records
