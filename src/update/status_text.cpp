#include "update/status_text.h"

#include <cstdarg>
#include <cstdio>

namespace update {

std::string formatText(const char* pattern, ...) {
    char text[2048];
    va_list args;
    va_start(args, pattern);
    const int length = std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return length < 0 ? std::string() : std::string(text);
}

}  // namespace update
