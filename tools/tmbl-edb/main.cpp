// tmbl-edb: creates, dumps, reads and writes record database files from the command
// line. Values on the command line and in the output are UTF-8; the files hold GBK.
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gbk.h"
#include "records/database_builder.h"
#include "records/record_database.h"

namespace {

using records::TypedValue;
using records::edb::FieldType;

constexpr const char* kUsage =
    "usage:\n"
    "  tmbl-edb create FILE --records N --schema \"NAME:TYPE[:SIZE],...\" [--password P]\n"
    "  tmbl-edb dump FILE [--password P]\n"
    "  tmbl-edb get FILE RECORD FIELD [--password P]\n"
    "  tmbl-edb set FILE RECORD FIELD VALUE [--password P]\n"
    "TYPE: 1..12 or byte, short, int, long, float, double, bool, datetime, subroutine, text, bytes, memo\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

int failWith(int code) {
    std::fprintf(stderr, "%d %s\n", code, std::string(records::errorMessage(code)).c_str());
    return 1;
}

std::optional<long long> parseInteger(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

std::optional<double> parseReal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::string s(text);
    char* end = nullptr;
    double value = std::strtod(s.c_str(), &end);
    if (*end != '\0') return std::nullopt;
    return value;
}

std::optional<FieldType> parseType(std::string_view text) {
    static constexpr const char* kNames[] = {"byte", "short",    "int",        "long", "float", "double",
                                             "bool", "datetime", "subroutine", "text", "bytes", "memo"};
    if (auto code = parseInteger(text); code && *code >= 1 && *code <= 12) return static_cast<FieldType>(*code);
    for (int i = 0; i < 12; ++i) {
        if (text == kNames[i]) return static_cast<FieldType>(i + 1);
    }
    return std::nullopt;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return parts;
}

std::string jsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char c : utf8) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (u < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
                    out += buffer;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        auto u = static_cast<unsigned char>(c);
        out += kDigits[u >> 4];
        out += kDigits[u & 15];
    }
    return out;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) {
        auto digit = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

std::string number(double value, int digits) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
    return buffer;
}

// A value as it appears in the output: JSON for dump, plain for get.
std::string render(const TypedValue& value, bool json) {
    return std::visit(
        [json](const auto& v) -> std::string {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
                return json ? "null" : "";
            } else if constexpr (std::is_same_v<V, std::string>) {
                std::string utf8 = platform::gbkToUtf8(v);
                return json ? jsonString(utf8) : utf8;
            } else if constexpr (std::is_same_v<V, records::Bytes>) {
                return json ? "\"" + hex(v.data) + "\"" : hex(v.data);
            } else if constexpr (std::is_same_v<V, bool>) {
                return v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, float>) {
                return number(v, 9);
            } else if constexpr (std::is_same_v<V, double>) {
                return number(v, 17);
            } else if constexpr (std::is_same_v<V, records::DateTime>) {
                return number(v.days, 17);
            } else if constexpr (std::is_same_v<V, records::Subroutine>) {
                return std::to_string(v.address);
            } else {
                return std::to_string(static_cast<long long>(v));
            }
        },
        value);
}

std::optional<TypedValue> parseValue(FieldType type, std::string_view text) {
    switch (type) {
        case FieldType::Text:
        case FieldType::Memo:
            return TypedValue(platform::utf8ToGbk(text));
        case FieldType::Bytes: {
            auto bytes = unhex(text);
            if (!bytes) return std::nullopt;
            return TypedValue(records::Bytes{*bytes});
        }
        case FieldType::Bool:
            if (text == "true" || text == "1") return TypedValue(true);
            if (text == "false" || text == "0") return TypedValue(false);
            return std::nullopt;
        case FieldType::Float:
        case FieldType::Double:
        case FieldType::DateTime: {
            auto real = parseReal(text);
            if (!real) return std::nullopt;
            return type == FieldType::DateTime ? TypedValue(records::DateTime{*real}) : TypedValue(*real);
        }
        case FieldType::Subroutine: {
            auto integer = parseInteger(text);
            if (!integer || *integer < 0 || *integer > UINT32_MAX) return std::nullopt;
            return TypedValue(records::Subroutine{static_cast<uint32_t>(*integer)});
        }
        default: {
            // A number that the field cannot hold is refused rather than wrapped.
            auto integer = parseInteger(text);
            if (!integer) return std::nullopt;
            long long low = INT64_MIN, high = INT64_MAX;
            if (type == FieldType::Byte) low = 0, high = UINT8_MAX;
            if (type == FieldType::Short) low = INT16_MIN, high = INT16_MAX;
            if (type == FieldType::Int) low = INT32_MIN, high = INT32_MAX;
            if (*integer < low || *integer > high) return std::nullopt;
            return TypedValue(static_cast<int64_t>(*integer));
        }
    }
}

struct Arguments {
    std::vector<std::string> positional;
    std::optional<std::string> password;
    std::optional<std::string> records;
    std::optional<std::string> schema;
};

std::optional<Arguments> parseArguments(int argc, char** argv) {
    Arguments args;
    for (int i = 2; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto option = [&](std::optional<std::string>& slot) {
            if (i + 1 >= argc) return false;
            slot = argv[++i];
            return true;
        };
        if (arg == "--password") {
            if (!option(args.password)) return std::nullopt;
        } else if (arg == "--records") {
            if (!option(args.records)) return std::nullopt;
        } else if (arg == "--schema") {
            if (!option(args.schema)) return std::nullopt;
        } else {
            args.positional.emplace_back(arg);
        }
    }
    return args;
}

int create(const Arguments& args) {
    if (args.positional.size() != 1 || !args.records || !args.schema) return usage();
    auto count = parseInteger(*args.records);
    if (!count || *count < 0 || *count > INT32_MAX) return usage();
    std::vector<records::FieldSpec> fields;
    for (std::string_view item : split(*args.schema, ',')) {
        auto parts = split(item, ':');
        if (parts.size() < 2 || parts.size() > 3) return usage();
        auto type = parseType(parts[1]);
        if (!type) return usage();
        records::FieldSpec field{platform::utf8ToGbk(parts[0]), *type, 0};
        if (*type == FieldType::Text) {
            auto size = parts.size() == 3 ? parseInteger(parts[2]) : std::nullopt;
            if (!size || *size <= 0 || *size > INT32_MAX) return usage();
            field.size = static_cast<int32_t>(*size);
        }
        fields.push_back(std::move(field));
    }
    int rc = records::createDatabase(args.positional[0], static_cast<int32_t>(*count), fields,
                                     platform::utf8ToGbk(args.password.value_or("")));
    return rc == 0 ? 0 : failWith(rc);
}

bool openForTool(const std::string& path, const Arguments& args, bool readOnly) {
    records::OpenOptions options;
    options.readOnly = readOnly;
    options.password = platform::utf8ToGbk(args.password.value_or(""));
    return records::openDatabase(path, options);
}

int dump(const Arguments& args) {
    if (args.positional.size() != 1) return usage();
    if (!openForTool(args.positional[0], args, true)) return failWith(records::lastError());
    auto info = records::currentDatabaseInfo();
    std::string out = "{\"magic\": " + jsonString(info->magic) + ", \"records\": " + std::to_string(info->recordCount) +
                      ", \"fields\": [";
    for (size_t i = 0; i < info->fields.size(); ++i) {
        const auto& f = info->fields[i];
        out += (i ? ", " : "") + std::string("{\"name\": ") + jsonString(platform::gbkToUtf8(f.name)) +
               ", \"type\": " + std::to_string(static_cast<int>(f.type)) + ", \"offset\": " + std::to_string(f.offset) +
               ", \"size\": " + std::to_string(f.size) + "}";
    }
    out += "], \"rows\": [";
    for (int32_t r = 0; r < info->recordCount; ++r) {
        if (!records::goToRecord(r + 1)) return failWith(records::lastError());
        out += r ? ", {" : "{";
        for (size_t i = 0; i < info->fields.size(); ++i) {
            TypedValue value = records::readField(static_cast<int>(i) + 1);
            if (records::lastError() != 0) return failWith(records::lastError());
            out += (i ? ", " : "") + jsonString(platform::gbkToUtf8(info->fields[i].name)) + ": " + render(value, true);
        }
        out += "}";
    }
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}

// The field named on the command line (a name, or a 1-based number).
std::optional<int> resolveField(const std::string& text) {
    if (auto number = records::fieldNumber(platform::utf8ToGbk(text))) return number;
    auto info = records::currentDatabaseInfo();
    if (auto n = parseInteger(text); n && *n >= 1 && *n <= static_cast<long long>(info->fields.size())) {
        return static_cast<int>(*n);
    }
    return std::nullopt;
}

int getOrSet(const Arguments& args, bool set) {
    if (args.positional.size() != (set ? 4u : 3u)) return usage();
    auto record = parseInteger(args.positional[1]);
    if (!record || *record < INT32_MIN || *record > INT32_MAX) return usage();
    if (!openForTool(args.positional[0], args, !set)) return failWith(records::lastError());
    if (!records::goToRecord(static_cast<int>(*record))) return failWith(records::lastError());
    auto field = resolveField(args.positional[2]);
    if (!field) return failWith(records::edb::error::kNoSuchField);
    if (!set) {
        TypedValue value = records::readField(*field);
        if (records::lastError() != 0) return failWith(records::lastError());
        std::printf("%s\n", render(value, false).c_str());
        return 0;
    }
    FieldType type = records::currentDatabaseInfo()->fields[static_cast<size_t>(*field - 1)].type;
    auto value = parseValue(type, args.positional[3]);
    if (!value) return failWith(records::edb::error::kTypeMismatch);
    if (!records::writeField(*field, *value)) return failWith(records::lastError());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    auto args = parseArguments(argc, argv);
    if (!args) return usage();
    std::string_view command = argv[1];
    int rc;
    if (command == "create") {
        rc = create(*args);
    } else if (command == "dump") {
        rc = dump(*args);
    } else if (command == "get") {
        rc = getOrSet(*args, false);
    } else if (command == "set") {
        rc = getOrSet(*args, true);
    } else {
        rc = usage();
    }
    records::closeAllDatabases();
    return rc;
}
