// Conversion between UTF-8 and the GBK code page in which every stored and compared
// text of the program lives. Used only at the edges: the user interface, tools and
// tests. Stateless and safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 to GBK. A character GBK cannot hold becomes '?'.
std::string utf8ToGbk(std::string_view utf8);

// GBK to UTF-8. A byte sequence that is not GBK becomes U+FFFD.
std::string gbkToUtf8(std::string_view gbk);

}  // namespace platform
