// Filling in the engine's status texts ("正在连接 [%s:%d]", ...). One declaration for
// every user, marked as printf-like so that the compiler checks each pattern against
// its arguments. Any thread.
#pragma once

#include <string>

namespace update {

// The pattern filled in like printf; texts longer than 2047 bytes are cut.
std::string formatText(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace update
