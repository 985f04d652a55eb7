// A reader of initialisation-style files ("[section]" and "key=value" lines) as the
// legacy entry file uses them: GBK bytes, section and key names matched without regard
// to letter case, values cut to the reader's 10240-byte buffer. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace records {

inline constexpr size_t kProfileValueBuffer = 10240;  // bytes, terminator included

// The value of key in section of the file, or none when the file, the section or the
// key is missing. Surrounding blanks and one pair of matching quotes are removed.
std::optional<std::string> readProfileString(const std::string& file, std::string_view section, std::string_view key);

}  // namespace records
