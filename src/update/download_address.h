// Parsing of download addresses (http, ftp, and the recognised streaming prefixes) and
// the file-name helpers that derive local names from addresses and answers. Pure
// functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace update {

enum class Protocol { Http = 1, Ftp = 2, Mms = 3, Rtsp = 4 };

struct DownloadAddress {
    Protocol protocol = Protocol::Http;
    std::string address;   // the whole address as given
    std::string hostPart;  // between the prefix and the first "/", as written
    std::string host;      // host name or number to connect to
    int port = 0;
    std::string path;  // from the first "/" after the host
    std::string user;  // from "user:password@" in the host part, if any
    std::string password;
};

// Refuses unknown prefixes, a host part without a following "/", an empty host, a port
// outside 1..65535 and control characters anywhere in the address.
std::optional<DownloadAddress> parseDownloadAddress(std::string_view address);

// The address up to, not including, its last "/".
std::string defaultReferrer(std::string_view address);

// Keeps only the last path component of `raw` (either slash), without control
// characters; nullopt for an empty, "." or ".." result.
std::optional<std::string> safeFileName(std::string_view raw);

// The last part of an address path, query and fragment left out, made safe.
std::optional<std::string> fileNameFromPath(std::string_view path);

// The value of filename= in a Content-Disposition header, quotes removed, made safe.
std::optional<std::string> fileNameFromDisposition(std::string_view disposition);

// The n-th automatic name for `path`: the file name is split at its first "."; a stem
// that already ends in "(k)" becomes "(k+n)", any other stem gets "(n)".
std::string automaticName(const std::string& path, int n);

// Resolves a redirect target against the current address; nullopt when it is not a
// usable http address.
std::optional<std::string> resolveLocation(const DownloadAddress& current, std::string_view location);

}  // namespace update
