#include "update/version_check.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QUrl>
#include <algorithm>

namespace update {
namespace {

// The request looks like the one our earlier releases sent, so the update host's
// logs and filters keep working: an old browser's user agent, HTTP/1.0, no caching.
constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr qsizetype kMaxHeaderBytes = 65536;
constexpr qint64 kDefaultReadBlock = 10240;
constexpr qint64 kLargestReadBlock = 102400;

struct HttpAddress {
    QString host;
    quint16 port = 80;
    QByteArray hostHeader;
    QByteArray path;
};

std::optional<HttpAddress> parseHttpAddress(QString url) {
    if (qsizetype hash = url.indexOf(u'#'); hash >= 0) url.truncate(hash);
    url = url.trimmed();
    const QString scheme = QStringLiteral("http://");
    if (!url.startsWith(scheme, Qt::CaseInsensitive)) return std::nullopt;
    QString rest = url.mid(scheme.size());
    qsizetype slash = rest.indexOf(u'/');
    QString hostPart = slash < 0 ? rest : rest.left(slash);
    QString path = slash < 0 ? QStringLiteral("/") : rest.mid(slash);
    if (hostPart.isEmpty()) return std::nullopt;

    HttpAddress address;
    address.hostHeader = hostPart.toUtf8();
    address.host = hostPart;
    if (qsizetype colon = hostPart.lastIndexOf(u':'); colon >= 0 && !hostPart.endsWith(u']')) {
        bool ok = false;
        uint port = hostPart.mid(colon + 1).toUInt(&ok);
        if (!ok || port == 0 || port > 65535) return std::nullopt;
        address.port = static_cast<quint16>(port);
        address.host = hostPart.left(colon);
    }
    if (address.host.startsWith(u'[') && address.host.endsWith(u']')) address.host = address.host.mid(1).chopped(1);
    if (address.host.isEmpty()) return std::nullopt;
    address.path = QUrl::toPercentEncoding(path, "/?&=%:;@+$,!~*'()");
    return address;
}

qint64 contentLength(const QByteArray& header) {
    for (const QByteArray& line : header.split('\n')) {
        QByteArray trimmed = line.trimmed();
        static const QByteArray kName = "content-length:";
        if (trimmed.size() > kName.size() && trimmed.left(kName.size()).toLower() == kName) {
            bool ok = false;
            qint64 length = trimmed.mid(kName.size()).trimmed().toLongLong(&ok);
            return ok ? length : -1;
        }
    }
    return -1;
}

// Skips leading blanks, then reads an optionally signed decimal number and stops at
// the first character that cannot continue it. No digits read as 0.
double readDecimal(const QByteArray& text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    double sign = 1.0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-') sign = -1.0;
        ++i;
    }
    double value = 0.0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') value = value * 10.0 + (text[i++] - '0');
    if (i < text.size() && text[i] == '.') {
        ++i;
        double scale = 0.1;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value += (text[i++] - '0') * scale;
            scale /= 10.0;
        }
    }
    return sign * value;
}

}  // namespace

QByteArray fetchWholeUrl(const QString& url, const FetchLimits& limits) {
    std::optional<HttpAddress> address = parseHttpAddress(url);
    if (!address) return {};

    const QDeadlineTimer deadline(std::max(0, limits.totalTimeoutMs));
    // The longest a single wait may take: its own limit, cut to what the total leaves.
    auto within = [&deadline](int limitMs) {
        return static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, std::max(0, limitMs)));
    };

    QTcpSocket socket;
    socket.connectToHost(address->host, address->port);
    if (!socket.waitForConnected(within(limits.connectTimeoutMs))) return {};

    QByteArray request = "GET " + address->path + " HTTP/1.0\r\n";
    request += "Accept: */*\r\n";
    request += "User-Agent: " + QByteArray(kUserAgent) + "\r\n";
    request += "Host: " + address->hostHeader + "\r\n";
    request += "Pragma: no-cache\r\n";
    request += "Cache-Control: no-cache\r\n";
    request += "\r\n";
    socket.write(request);
    while (socket.bytesToWrite() > 0) {
        if (deadline.hasExpired() || !socket.waitForBytesWritten(within(limits.idleTimeoutMs))) return {};
    }

    QByteArray head;
    QByteArray body;
    bool inBody = false;
    qint64 expected = -1;
    qint64 readBlock = kDefaultReadBlock;
    for (;;) {
        if (socket.bytesAvailable() == 0) {
            // A closed connection is the normal end of an HTTP/1.0 answer; a silence
            // longer than the limit is a failure that keeps what has arrived. Running
            // out of the total time is not: whatever has arrived may be any prefix.
            if (socket.state() != QAbstractSocket::ConnectedState) break;
            const int waitMs = within(limits.idleTimeoutMs);
            if (waitMs <= 0) return {};
            if (!socket.waitForReadyRead(waitMs) && socket.bytesAvailable() == 0) {
                if (waitMs < limits.idleTimeoutMs) return {};  // the total ran out, not the silence
                break;
            }
            continue;
        }
        if (!inBody) {
            head += socket.read(kMaxHeaderBytes);
            if (head.size() >= 5 && !head.startsWith("HTTP/")) {
                // No status line: the host sent the bare text.
                body = head;
                head.clear();
                inBody = true;
            } else {
                qsizetype end = head.indexOf("\r\n\r\n");
                qsizetype separator = 4;
                if (end < 0) {
                    end = head.indexOf("\n\n");
                    separator = 2;
                }
                if (end < 0) {
                    if (head.size() > kMaxHeaderBytes) return {};
                    continue;
                }
                body = head.mid(end + separator);
                head.truncate(end);
                inBody = true;
                expected = contentLength(head);
                if (expected > 0) readBlock = std::min(expected + 1, kLargestReadBlock);
            }
        } else {
            body += socket.read(readBlock);
        }
        if (inBody && expected >= 0 && body.size() >= expected) {
            body.truncate(expected);
            break;
        }
        if (body.size() >= limits.maxBodyBytes) {
            body.truncate(limits.maxBodyBytes);
            break;
        }
    }
    socket.abort();
    // A bare text shorter than a status line, ended by the host closing the connection.
    if (!inBody && !head.isEmpty() && !QByteArray("HTTP/").startsWith(head)) return head.left(limits.maxBodyBytes);
    return body;
}

double versionAfterV(const QString& text) {
    qsizetype v = text.indexOf(u'V');
    return v < 0 ? 0.0 : readDecimal(text.mid(v + 1).toLatin1());
}

std::optional<double> offeredVersion(const QByteArray& versionText) {
    QByteArray head = versionText.left(5);
    qsizetype v = head.indexOf('V');
    if (v < 0) return std::nullopt;
    QByteArray piece = head.mid(v + 1);
    if (qsizetype next = piece.indexOf('V'); next >= 0) piece.truncate(next);
    return readDecimal(piece);
}

VersionVerdict judgeVersionText(const QByteArray& versionText, double currentVersion) {
    if (versionText.isEmpty()) return VersionVerdict::NoAnswer;
    if (versionText.startsWith("<!DOC")) return VersionVerdict::WebPage;
    std::optional<double> offered = offeredVersion(versionText);
    if (!offered) return VersionVerdict::NoAnswer;
    return *offered - currentVersion > 0.0000001 ? VersionVerdict::Newer : VersionVerdict::NotNewer;
}

}  // namespace update
