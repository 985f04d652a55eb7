#include "platform/gbk.h"

#include <iconv.h>

#include <cerrno>

namespace platform {
namespace {

// Converts with iconv, replacing what cannot be converted instead of failing, so
// that a damaged record or a stray byte never loses the rest of a text.
std::string convert(std::string_view in, const char* to, const char* from, std::string_view replacement,
                    bool utf8Input) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    std::string out;
    out.reserve(in.size() * 2);
    char buffer[4096];
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    while (srcLeft > 0) {
        char* dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, dst - buffer);
        if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // EILSEQ (unconvertible) or EINVAL (truncated at the end).
        out.append(replacement);
        size_t skip = 1;
        if (errno == EINVAL) {
            skip = srcLeft;
        } else if (utf8Input) {
            unsigned char lead = static_cast<unsigned char>(*src);
            skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (skip > srcLeft) skip = srcLeft;
        }
        src += skip;
        srcLeft -= skip;
    }
    iconv_close(cd);
    return out;
}

}  // namespace

std::string utf8ToGbk(std::string_view utf8) { return convert(utf8, "GBK", "UTF-8", "?", true); }

std::string gbkToUtf8(std::string_view gbk) { return convert(gbk, "UTF-8", "GBK", "\xEF\xBF\xBD", false); }

}  // namespace platform
