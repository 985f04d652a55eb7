// Reading of an HTTP answer's header as it arrives from a server: where it ends, the
// status and the fields the engine uses. Pure functions over bytes; any thread. The
// input is hostile network data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace update {

inline constexpr size_t kMaxHeaderBytes = 4097;

struct ContentRange {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::optional<std::int64_t> total;  // nullopt for "*"
};

struct HttpHeader {
    size_t length = 0;                          // bytes of the header including the blank line
    int status = 0;                             // 0 when offsets 9..11 of the status line are not three digits
    std::optional<std::int64_t> contentLength;  // nullopt when absent, negative or unreadable
    bool contentLengthPresent = false;
    std::optional<ContentRange> contentRange;
    std::string location, acceptRanges, connection, contentType, setCookie, lastModified, server, contentDisposition,
        via;
};

enum class HeaderScan { Incomplete, Complete, TooLong, NotHttp };

// Looks at the bytes received so far. Complete fills `header`; TooLong means no blank
// line within kMaxHeaderBytes; NotHttp means the answer does not begin with an
// HTTP/1.0 or HTTP/1.1 status line.
HeaderScan scanHttpHeader(std::string_view received, HttpHeader& header);

// A non-negative decimal number (leading/trailing blanks allowed); nullopt otherwise or
// on overflow.
std::optional<std::int64_t> parseByteCount(std::string_view text);

}  // namespace update
