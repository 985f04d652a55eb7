// The HTTP side of a download connection: request, answer header, redirects and the
// status rules for the first and for further connections.
#include <algorithm>
#include <cctype>
#include <map>

#include "update/download_task.h"
#include "update/status_text.h"

namespace update {

namespace {

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";
constexpr size_t kMaxCookie = 4096;

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

// Spaces are not allowed in a request line; everything else goes as the caller wrote it.
std::string requestTarget(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == ' ')
            out += "%20";
        else
            out += ch;
    }
    return out;
}

// Host names are compared without regard to case; a port of its own is another server.
std::string cookieKey(const DownloadAddress& address) {
    return lowered(address.host) + ":" + std::to_string(address.port);
}

// The cookie line for a request to `address`: only a cookie that this host set.
std::string cookieLine(const std::map<std::string, std::string>& cookies, const DownloadAddress& address) {
    const auto it = cookies.find(cookieKey(address));
    return it == cookies.end() ? std::string() : "Cookie: " + it->second + "\r\n";
}

}  // namespace

std::string DownloadTask::requestFor(const Connection& c, const std::string& extraLines) const {
    const bool proxy = !m_parameters.proxy.empty();
    std::string host = c.address.hostPart;
    if (const size_t at = host.rfind('@'); at != std::string::npos) host.erase(0, at + 1);
    std::string request = "GET " + requestTarget(proxy ? c.address.address : c.address.path) + " HTTP/1.1\r\n";
    request += "Host: " + host + "\r\n";
    if (proxy) {
        request += std::string("User-Agent: ") + kUserAgent + "\r\n";
        // Ranges and cookies go through the proxy too; without them no segment after
        // the first could ever be fetched.
        request += extraLines;
        request += "Proxy-Connection: Keep-Alive\r\n\r\n";
        return request;
    }
    const std::string referrer =
        m_parameters.referrer.empty() ? defaultReferrer(c.address.address) : m_parameters.referrer;
    request += "Accept: */*\r\n";
    request += "Referer: " + referrer + "\r\n";
    request += std::string("User-Agent: ") + kUserAgent + "\r\n";
    request += extraLines;
    request += "Pragma: no-cache\r\n";
    request += "Cache-Control: no-cache\r\n";
    request += "Connection: close\r\n\r\n";
    return request;
}

DownloadTask::Outcome DownloadTask::httpExchange(Connection& c, SocketConnection& socket, const std::string& extraLines,
                                                 HttpHeader& header, std::string& body) {
    const bool proxy = !m_parameters.proxy.empty();
    std::string host = c.address.host;
    int port = c.address.port;
    if (proxy) {
        host = m_parameters.proxy;
        port = 80;
        if (const size_t colon = host.find(':'); colon != std::string::npos) {
            port = std::atoi(host.c_str() + colon + 1);
            host.resize(colon);
        }
    }
    if (Outcome o = openRoute(c, socket, host, port, proxy); o != Outcome::Done) return o;

    const std::string request = requestFor(c, extraLines);
    status(kStatusRequest, request);
    if (SocketResult r = socket.sendAll(request, m_parameters.sendTimeoutMs); r != SocketResult::Ok) {
        if (r == SocketResult::Stopped || stopping()) return Outcome::Stopped;
        status(kStatusError, status::kSendRequestFailed);
        return socketFailure(r, socket.error(), false);
    }

    std::string received;
    char chunk[4096];
    for (;;) {
        size_t got = 0;
        const SocketResult r = socket.receive(chunk, sizeof chunk, m_parameters.receiveTimeoutMs, got);
        if (r == SocketResult::Closed) {
            if (stopping()) return Outcome::Stopped;
            status(kStatusError, status::kReceiveFailed);
            return Outcome::Retry;
        }
        if (r != SocketResult::Ok) return socketFailure(r, socket.error(), true);
        received.append(chunk, got);
        const HeaderScan scan = scanHttpHeader(received, header);
        if (scan == HeaderScan::Complete) break;
        if (scan == HeaderScan::TooLong) {
            status(kStatusError, status::kHeaderTooLong);
            return Outcome::Fail;
        }
        if (scan == HeaderScan::NotHttp) {
            status(kStatusError, formatText(status::kUnsupportedAnswer, 0));
            return Outcome::Fail;
        }
    }
    status(kStatusAnswer, received.substr(0, header.length));
    body = received.substr(header.length);
    return Outcome::Done;
}

DownloadTask::Outcome DownloadTask::followRedirect(Connection& c, const HttpHeader& header) {
    if (header.location.empty()) {
        status(kStatusError, status::kRedirectMissing);
        return Outcome::Fail;
    }
    // A Location that points back (directly or round a circle) would reconnect for ever.
    if (++c.redirects > m_settings.maxRedirects) {
        status(kStatusError, status::kRedirectMissing);
        return Outcome::Fail;
    }
    const std::string cookie = header.setCookie.substr(0, header.setCookie.find(';'));
    const auto target = resolveLocation(c.address, header.location);
    if (!target || cookie.size() > kMaxCookie) {
        status(kStatusError, status::kRedirectUnusable);
        return Outcome::Fail;
    }
    status(kStatusProgress, formatText(status::kRedirectTo, target->c_str()));
    // The cookie belongs to the host that answered, not to the one the answer names.
    if (!cookie.empty()) c.cookies[cookieKey(c.address)] = cookie;
    c.address = *parseDownloadAddress(*target);
    if (c.first) {
        MutexLock lock(m_addressMutex);
        m_address = c.address;
        m_cookies = c.cookies;
    }
    return Outcome::Reconnect;
}

// The answers both kinds of request treat alike: a redirect is followed (Reconnect, or
// why it cannot be), a refusal fails the connection. Anything else is the caller's.
std::optional<DownloadTask::Outcome> DownloadTask::redirectOrRefusal(Connection& c, const HttpHeader& header) {
    const int code = header.status;
    if (code == 301 || code == 302) return followRedirect(c, header);
    if (code == 400 || code == 403 || code == 404) {
        status(kStatusError, status::kErrorOccurred);
        return Outcome::Fail;
    }
    return std::nullopt;
}

DownloadTask::Outcome DownloadTask::httpFirst(Connection& c) {
    for (;;) {
        SocketConnection socket(m_stop);
        HttpHeader header;
        std::string body;
        if (Outcome o = httpExchange(c, socket, cookieLine(c.cookies, c.address), header, body); o != Outcome::Done)
            return o;
        if (std::optional<Outcome> o = redirectOrRefusal(c, header)) {
            if (*o == Outcome::Reconnect) continue;
            return *o;
        }
        const int code = header.status;
        if (code != 200 && code != 206) {
            status(kStatusError, formatText(status::kUnsupportedAnswer, code));
            return Outcome::Fail;
        }
        std::optional<std::int64_t> total;
        std::int64_t start = 0;
        if (code == 200) {
            total = header.contentLength;
        } else if (header.contentRange && header.contentRange->total) {
            total = header.contentRange->total;
            start = header.contentRange->first;
        }
        if (!total) {
            status(kStatusError, status::kNoFileSize);
            return Outcome::Fail;
        }
        if (lowered(header.acceptRanges) == "none") m_rangesRefused = true;

        std::string name;
        if (!header.contentDisposition.empty())
            name = fileNameFromDisposition(header.contentDisposition).value_or(std::string());
        if (name.empty()) name = fileNameFromPath(c.address.path).value_or(std::string());
        if (!beginFile(*total, name)) return Outcome::Fail;

        cutIntoSegments(c, *total);
        if (start != 0) return Outcome::Reconnect;  // the answer does not begin where the segment does
        c.streamPos = 0;
        return readBody(c, socket, std::move(body));
    }
}

DownloadTask::Outcome DownloadTask::httpSegment(Connection& c) {
    for (;;) {
        const Segment segment = m_segments.get(c.segment);
        if (segment.complete()) return Outcome::Done;
        const std::int64_t position = segment.position();
        const bool whole = c.canStream && m_rangesRefused;
        std::string extra = whole ? std::string() : "Range: bytes=" + std::to_string(position) + "-\r\n";
        extra += cookieLine(c.cookies, c.address);

        SocketConnection socket(m_stop);
        HttpHeader header;
        std::string body;
        if (Outcome o = httpExchange(c, socket, extra, header, body); o != Outcome::Done) return o;
        if (std::optional<Outcome> o = redirectOrRefusal(c, header)) {
            if (*o == Outcome::Reconnect) continue;
            return *o;
        }
        const int code = header.status;
        if (code == 200) {
            if (header.contentLength && *header.contentLength != m_total) {
                failTask(status::kErrorOccurred);  // the file changed under us
                return Outcome::Fail;
            }
            if (!header.contentLength || !c.canStream) {
                // The server ignored the range: this connection cannot fetch its segment.
                status(kStatusError, status::kErrorOccurred);
                m_rangesRefused = true;
                return Outcome::Fail;
            }
            m_rangesRefused = true;
            c.streamPos = 0;
            return readBody(c, socket, std::move(body));
        }
        if (code == 206) {
            const auto& range = header.contentRange;
            if (range && range->total && *range->total != m_total) {
                failTask(status::kErrorOccurred);
                return Outcome::Fail;
            }
            if (!range || range->first > position) {
                status(kStatusError, status::kErrorOccurred);
                return Outcome::Fail;
            }
            c.streamPos = range->first;
            return readBody(c, socket, std::move(body));
        }
        status(kStatusError, formatText(status::kUnsupportedAnswer, code));
        return Outcome::Fail;
    }
}

}  // namespace update
