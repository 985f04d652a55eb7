#include "records/profile_reader.h"

#include <fstream>
#include <iterator>

#include "records/gbk_bytes.h"

namespace records {
namespace {

std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

// Cuts to the buffer (one byte is the terminator), never through a double-byte character.
std::string fitBuffer(std::string_view value) {
    const size_t limit = kProfileValueBuffer - 1;
    if (value.size() <= limit) return std::string(value);
    size_t end = 0;
    while (end < value.size()) {
        size_t width = isGbkLeadByte(static_cast<unsigned char>(value[end])) && end + 1 < value.size() ? 2 : 1;
        if (end + width > limit) break;
        end += width;
    }
    return std::string(value.substr(0, end));
}

}  // namespace

std::optional<std::string> readProfileString(const std::string& file, std::string_view section, std::string_view key) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    bool inSection = false;
    bool sectionSeen = false;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string_view line = trim(std::string_view(content).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            std::string_view name = trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            // Only the first section of a name counts, as the platform reader does.
            if (inSection) return std::nullopt;
            inSection = !sectionSeen && equalsIgnoringCase(name, section);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!equalsIgnoringCase(trim(line.substr(0, equals)), key)) continue;
        std::string_view value = trim(line.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return fitBuffer(value);
    }
    return std::nullopt;
}

}  // namespace records
