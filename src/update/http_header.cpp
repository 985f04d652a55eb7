#include "update/http_header.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace update {
namespace {

bool startsWithNoCase(std::string_view line, std::string_view name) {
    if (line.size() < name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != std::tolower(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::optional<ContentRange> parseContentRange(std::string_view value) {
    value = trim(value);
    if (startsWithNoCase(value, "bytes")) value.remove_prefix(5);
    value = trim(value);
    const size_t dash = value.find('-');
    const size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return std::nullopt;
    const auto first = parseByteCount(value.substr(0, dash));
    const auto last = parseByteCount(value.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *last < *first) return std::nullopt;
    ContentRange range{*first, *last, std::nullopt};
    const std::string_view total = trim(value.substr(slash + 1));
    if (total != "*") {
        range.total = parseByteCount(total);
        if (!range.total || *range.total <= *last) return std::nullopt;
    }
    return range;
}

}  // namespace

std::optional<std::int64_t> parseByteCount(std::string_view text) {
    text = trim(text);
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

HeaderScan scanHttpHeader(std::string_view received, HttpHeader& header) {
    const std::string_view prefix = received.substr(0, 8);
    if (prefix != std::string_view("HTTP/1.0").substr(0, prefix.size()) &&
        prefix != std::string_view("HTTP/1.1").substr(0, prefix.size()))
        return HeaderScan::NotHttp;

    size_t end = received.find("\r\n\r\n");
    size_t endLength = 4;
    if (const size_t bare = received.find("\n\n");
        bare != std::string_view::npos && (end == std::string_view::npos || bare + 2 < end + 4)) {
        end = bare;
        endLength = 2;
    }
    if (end == std::string_view::npos)
        return received.size() > kMaxHeaderBytes ? HeaderScan::TooLong : HeaderScan::Incomplete;
    if (end + endLength > kMaxHeaderBytes) return HeaderScan::TooLong;

    header = HttpHeader{};
    header.length = end + endLength;
    const std::string_view text = received.substr(0, end);
    size_t lineStart = text.find('\n');
    const std::string_view statusLine = text.substr(0, lineStart);
    if (statusLine.size() >= 12 && std::isdigit(static_cast<unsigned char>(statusLine[9])) &&
        std::isdigit(static_cast<unsigned char>(statusLine[10])) &&
        std::isdigit(static_cast<unsigned char>(statusLine[11])))
        header.status = (statusLine[9] - '0') * 100 + (statusLine[10] - '0') * 10 + (statusLine[11] - '0');

    while (lineStart != std::string_view::npos) {
        const size_t next = text.find('\n', lineStart + 1);
        const std::string_view line =
            text.substr(lineStart + 1, next == std::string_view::npos ? std::string_view::npos : next - lineStart - 1);
        lineStart = next;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trim(line.substr(colon + 1));
        auto is = [&](std::string_view wanted) {
            return name.size() == wanted.size() && startsWithNoCase(name, wanted);
        };
        if (is("Content-Length")) {
            header.contentLengthPresent = true;
            header.contentLength = parseByteCount(value);
        } else if (is("Content-Range")) {
            header.contentRange = parseContentRange(value);
        } else if (is("Location")) {
            header.location = value;
        } else if (is("Accept-Ranges")) {
            header.acceptRanges = value;
        } else if (is("Connection")) {
            header.connection = value;
        } else if (is("Content-Type")) {
            header.contentType = value;
        } else if (is("Set-Cookie")) {
            header.setCookie = value;
        } else if (is("Last-Modified")) {
            header.lastModified = value;
        } else if (is("Server")) {
            header.server = value;
        } else if (is("Content-Disposition")) {
            header.contentDisposition = value;
        } else if (is("Via")) {
            header.via = value;
        }
    }
    return HeaderScan::Complete;
}

}  // namespace update
