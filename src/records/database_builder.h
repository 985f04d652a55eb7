// Creates new, empty database files (and their auxiliary file when a field needs one).
// The program itself never creates a database; the database tool and tests do.
// Any thread; touches no open database.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records/edb_format.h"

namespace records {

struct FieldSpec {
    std::string name;  // GBK, 1..16 bytes
    edb::FieldType type{};
    int32_t size = 0;  // text fields only
};

// Writes `path` (taken as given, no default extension) with recordCount zeroed records;
// fields are laid out one after another in the order given. A password gives a "WCDB"
// file, none a "WEDB" file. The auxiliary file is path with the extension "EDT".
// Returns 0 or a database error code; existing files are replaced.
int createDatabase(const std::string& path, int32_t recordCount, const std::vector<FieldSpec>& fields,
                   const std::string& password);

// The auxiliary file name that belongs to a database file name.
std::string auxiliaryFileName(const std::string& databasePath);

}  // namespace records
