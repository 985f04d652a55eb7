// The version check without the window: fetching the version text from the update
// host in one blocking HTTP/1.0 request, and reading what the text offers.
// No widgets; fetchWholeUrl blocks the calling thread until the answer has ended.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace update {

struct FetchLimits {
    int connectTimeoutMs = 10000;
    int idleTimeoutMs = 15000;  // longest silence while the answer is read
    // The whole fetch, connecting included: a host that drips its answer byte by byte
    // cannot hold the window longer than this.
    int totalTimeoutMs = 20000;
    qsizetype maxBodyBytes = 1 << 20;  // a version text is a few lines; a longer answer is cut here
};

// Fetches an http:// address into memory: the whole body whatever the HTTP status,
// or, when the transfer fails, the body bytes read before the failure (empty when
// there were none). A fetch that has not ended within the total limit gives up and
// returns nothing. Anything after a "#" in the address is dropped.
QByteArray fetchWholeUrl(const QString& url, const FetchLimits& limits = {});

// The version number after the "V" of a text such as "当前版本： V2.0".
double versionAfterV(const QString& text);

// The version a version text offers: its first five bytes split at "V", the second
// piece read as a decimal number (no digits read as 0). Nothing when those five
// bytes hold no "V".
std::optional<double> offeredVersion(const QByteArray& versionText);

enum class VersionVerdict {
    NoAnswer,  // empty text, or no version in it
    WebPage,   // the host answered with a web page instead of a version text
    NotNewer,
    Newer,
};

VersionVerdict judgeVersionText(const QByteArray& versionText, double currentVersion);

}  // namespace update
