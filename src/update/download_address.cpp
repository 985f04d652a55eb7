#include "update/download_address.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace update {
namespace {

int codeSum(std::string_view lowered, size_t from, size_t count) {
    if (lowered.size() < from + count) return -1;
    int sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += static_cast<unsigned char>(lowered[i]);
    return sum;
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

}  // namespace

std::optional<DownloadAddress> parseDownloadAddress(std::string_view address) {
    if (address.empty() || hasControlCharacter(address)) return std::nullopt;
    std::string lowered(address);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });

    DownloadAddress out;
    size_t prefix = 0;
    // The protocol test adds up character codes after the first letter rather than
    // comparing the prefix; kept so that addresses accepted before are accepted now.
    switch (lowered[0]) {
        case 'h':
            if (codeSum(lowered, 1, 6) == 496) {
                out.protocol = Protocol::Http, out.port = 80, prefix = 7;
            }
            break;
        case 'f':
            if (codeSum(lowered, 1, 5) == 380) {
                out.protocol = Protocol::Ftp, out.port = 21, prefix = 6;
            }
            break;
        case 'm':
            if (codeSum(lowered, 1, 5) == 376) {
                out.protocol = Protocol::Mms, out.port = 1755, prefix = 6;
            } else if (codeSum(lowered, 1, 6) == 492) {
                out.protocol = Protocol::Mms, out.port = 1755, prefix = 7;
            }
            break;
        case 'r':
            if (codeSum(lowered, 1, 6) == 495) {
                out.protocol = Protocol::Rtsp, out.port = 554, prefix = 7;
            }
            break;
        default:
            break;
    }
    if (prefix == 0) return std::nullopt;

    const size_t slash = address.find('/', prefix);
    if (slash == std::string_view::npos) return std::nullopt;
    out.address = std::string(address);
    out.hostPart = std::string(address.substr(prefix, slash - prefix));
    out.path = std::string(address.substr(slash));

    std::string hostPort = out.hostPart;
    if (const size_t at = hostPort.rfind('@'); at != std::string::npos) {
        const std::string credentials = hostPort.substr(0, at);
        hostPort = hostPort.substr(at + 1);
        const size_t colon = credentials.find(':');
        out.user = credentials.substr(0, colon);
        if (colon != std::string::npos) out.password = credentials.substr(colon + 1);
    }
    if (const size_t colon = hostPort.find(':'); colon != std::string::npos) {
        const std::string digits = hostPort.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
            return std::nullopt;
        out.port = std::atoi(digits.c_str());
        hostPort.resize(colon);
    }
    if (hostPort.empty() || out.port < 1 || out.port > 65535) return std::nullopt;
    out.host = hostPort;
    return out;
}

std::string defaultReferrer(std::string_view address) {
    const size_t slash = address.rfind('/');
    return std::string(slash == std::string_view::npos ? address : address.substr(0, slash));
}

std::optional<std::string> safeFileName(std::string_view raw) {
    const size_t cut = raw.find_last_of("/\\");
    if (cut != std::string_view::npos) raw = raw.substr(cut + 1);
    std::string name;
    for (char c : raw) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) name += c;
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name.empty() || std::all_of(name.begin(), name.end(), [](char c) { return c == '.'; })) return std::nullopt;
    return name;
}

std::optional<std::string> fileNameFromPath(std::string_view path) {
    const size_t end = path.find_first_of("?#");
    if (end != std::string_view::npos) path = path.substr(0, end);
    return safeFileName(path);
}

std::optional<std::string> fileNameFromDisposition(std::string_view disposition) {
    std::string lowered(disposition);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const size_t key = lowered.find("filename=");
    if (key == std::string::npos) return std::nullopt;
    std::string_view value = disposition.substr(key + 9);
    if (!value.empty() && value.front() == '"') {
        value.remove_prefix(1);
        value = value.substr(0, value.find('"'));
    } else {
        value = value.substr(0, value.find(';'));
    }
    return safeFileName(value);
}

std::string automaticName(const std::string& path, int n) {
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.find('.', nameStart);
    std::string stem = path.substr(0, dot == std::string::npos ? path.size() : dot);
    const std::string ext = dot == std::string::npos ? std::string() : path.substr(dot);
    int base = 0;
    if (stem.size() > nameStart + 2 && stem.back() == ')') {
        const size_t open = stem.rfind('(');
        if (open != std::string::npos && open >= nameStart && open + 2 < stem.size()) {
            const std::string digits = stem.substr(open + 1, stem.size() - open - 2);
            if (digits.size() <= 6 &&
                std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
                base = std::atoi(digits.c_str());
                stem.resize(open);
            }
        }
    }
    return stem + "(" + std::to_string(base + n) + ")" + ext;
}

std::optional<std::string> resolveLocation(const DownloadAddress& current, std::string_view location) {
    while (!location.empty() && location.front() == ' ') location.remove_prefix(1);
    if (location.empty() || hasControlCharacter(location)) return std::nullopt;
    std::string target;
    if (location.find("://") != std::string_view::npos) {
        target = std::string(location);
    } else if (location.front() == '/') {
        if (location.size() > 1 && location[1] == '/')
            target = "http:" + std::string(location);
        else
            target = "http://" + current.hostPart + std::string(location);
    } else {
        std::string base = current.path.substr(0, current.path.find_first_of("?#"));
        base = base.substr(0, base.rfind('/') + 1);
        target = "http://" + current.hostPart + base + std::string(location);
    }
    const auto parsed = parseDownloadAddress(target);
    if (!parsed || parsed->protocol != Protocol::Http) return std::nullopt;
    return target;
}

}  // namespace update
