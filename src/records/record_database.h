// The record database: open, close, go to record, read field and write field over the
// scrambled database file and its auxiliary block file, with the process-wide database
// list, the current database and the per-thread database error code.
// The database list has no lock: every call comes from one thread (the user-interface
// thread of the program, the main thread of a tool or test).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "records/edb_format.h"
#include "records/record_file.h"  // setLockWaitTimeout

namespace records {

// Values that cross the database: one alternative per value type of the field types.
struct DateTime {
    double days = 0;  // since 1899-12-30; the fraction is the time of day
    bool operator==(const DateTime&) const = default;
};
struct Subroutine {
    uint32_t address = 0;
    bool operator==(const Subroutine&) const = default;
};
struct Bytes {
    std::string data;
    bool operator==(const Bytes&) const = default;
};
// monostate = absent; std::string = text (GBK).
using TypedValue = std::variant<std::monostate, uint8_t, int16_t, int32_t, int64_t, float, double, bool, DateTime,
                                Subroutine, std::string, Bytes>;

struct OpenOptions {
    std::string alias;  // empty: none
    bool readOnly = false;
    int shareMode = 0;     // 0: none given (= 1, share everything); 2 deny reading; 3 deny writing; else exclusive
    std::string password;  // empty: an unprotected "WEDB" file
};

// Opens a database file (".EDB" is added when the name has no extension) and makes it
// the current database. False with lastError() set on failure; the list is unchanged.
[[nodiscard]] bool openDatabase(const std::string& path, const OpenOptions& options = {});
// Closes the database named by alias, base name or full path (case-insensitive); an
// empty name closes the current one. A name that matches nothing does nothing.
void closeDatabase(std::string_view name = {});
// Closes every open database (tests, tool exit).
void closeAllDatabases();

// Selects record min(n, count) - 1 of the current database, record 0 when below.
[[nodiscard]] bool goToRecord(int n);

// Reads a field of the current record. With no database open, or no such field, the
// run-time error report is raised and the process ends. On other failures the value is
// empty (text, bytes) or zero of the field's type, and lastError() says why.
TypedValue readField(std::string_view name);
TypedValue readField(int number);  // 1-based
// Text of a text or memo field (the GBK bytes), "" for other types.
std::string readText(std::string_view name);

[[nodiscard]] bool writeField(std::string_view name, const TypedValue& value);
[[nodiscard]] bool writeField(int number, const TypedValue& value);
// Text into a text or memo field, as writeField with a text value would write it, but
// without copying a long memo into a TypedValue first.
[[nodiscard]] bool writeText(std::string_view name, std::string_view text);

// The code of the last database operation on this thread, and its message (UTF-8).
int lastError();
std::string_view errorMessage(int code);

// The layout of the current database as its files hold it (tools, tests).
struct FieldInfo {
    std::string name;  // GBK
    edb::FieldType type{};
    int32_t offset = 0;
    int32_t size = 0;  // text size for text fields, the type's width otherwise
};
struct DatabaseInfo {
    std::string magic;
    int32_t version = 0;
    int32_t recordCount = 0;
    int32_t recordLength = 0;
    int64_t dataStart = 0;
    int32_t currentRecord = 0;
    std::vector<FieldInfo> fields;
};
std::optional<DatabaseInfo> currentDatabaseInfo();
// The 1-based number of the field of the current database with this name (letter case
// ignored), or none; lets a caller avoid the run-time error report of readField.
std::optional<int> fieldNumber(std::string_view name);
// Names of the open databases' full paths, in opening order (tests).
std::vector<std::string> openDatabasePaths();

// The run-time error report: a hook receives the report text (UTF-8) and may show it;
// afterwards the process ends. The default writes it to standard error.
using RuntimeErrorHook = std::function<void(const std::string& report)>;
void setRuntimeErrorHook(RuntimeErrorHook hook);  // {} restores the default
// "运行时出错!" with the optional code and message lines, as the report shows it.
std::string runtimeErrorReport(std::optional<int> code, std::string_view message);
[[noreturn]] void raiseRuntimeError(std::optional<int> code, std::string_view message);

}  // namespace records
