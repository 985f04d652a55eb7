// Opens arbitrary bytes as a database (and its auxiliary file) and reads every field of
// every record, then stores one value: nothing may crash, hang or read outside the files.
// Input: one flag byte (1 = password "vemrvemr", 2 = read-only, 4 = store a value, 8 = a
// value of 140 blocks, longer than one run of blocks moved at a time), a
// 16-bit little-endian length of the database file, the database file, the block file.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "records/record_database.h"

namespace {

const std::string& folder() {
    static const std::string path = [] {
        char pattern[] = "/tmp/tmbl-fuzz-XXXXXX";
        return std::string(mkdtemp(pattern) ? pattern : "/tmp");
    }();
    return path;
}

void put(const std::string& path, const uint8_t* data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n <= 0) break;
        data += n;
        size -= static_cast<size_t>(n);
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t flags = data[0];
    size_t dbSize = data[1] | size_t(data[2]) << 8;
    data += 3;
    size -= 3;
    if (dbSize > size) dbSize = size;
    const std::string db = folder() + "/f.edb";
    put(db, data, dbSize);
    put(folder() + "/f.EDT", data + dbSize, size - dbSize);

    records::OpenOptions options;
    if (flags & 1) options.password = "vemrvemr";
    options.readOnly = (flags & 2) != 0;
    if (!records::openDatabase(db, options)) return 0;
    auto info = records::currentDatabaseInfo();
    int records = info->recordCount < 64 ? info->recordCount : 64;
    for (int r = 1; r <= records; ++r) {
        if (!records::goToRecord(r)) break;
        for (size_t f = 1; f <= info->fields.size(); ++f) (void)records::readField(static_cast<int>(f));
    }
    if (flags & 4) {
        for (size_t f = 0; f < info->fields.size(); ++f) {
            auto type = info->fields[f].type;
            if (type != records::edb::FieldType::Memo && type != records::edb::FieldType::Bytes) continue;
            (void)records::goToRecord(1);
            records::TypedValue value = type == records::edb::FieldType::Memo
                                            ? records::TypedValue(std::string(flags & 8 ? 70000 : 700, 'm'))
                                            : records::TypedValue(records::Bytes{std::string(20, 'b')});
            (void)records::writeField(static_cast<int>(f) + 1, value);
            (void)records::readField(static_cast<int>(f) + 1);
            break;
        }
    }
    records::closeAllDatabases();
    return 0;
}
