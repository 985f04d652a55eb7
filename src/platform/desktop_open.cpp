#include "platform/desktop_open.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStringList>

namespace platform {
namespace {

DesktopOpener g_opener;

bool openForReal(const QUrl& url) {
    if (QDesktopServices::openUrl(url)) return true;
    // The system's default web browser command, given the address as its argument.
    return QProcess::startDetached(QStringLiteral("x-www-browser"), QStringList{url.toString()});
}

}  // namespace

QUrl desktopOpenUrl(const QString& target) {
    const QString trimmed = target.trimmed();
    QUrl url(trimmed, QUrl::TolerantMode);
    if (url.scheme().isEmpty() && trimmed.contains(QLatin1Char('@'))) {
        return QUrl(QStringLiteral("mailto:") + trimmed);
    }
    return url;
}

bool openWithDesktop(const QString& target) {
    const QUrl url = desktopOpenUrl(target);
    if (!url.isValid() || url.isEmpty()) return false;
    return g_opener ? g_opener(url) : openForReal(url);
}

DesktopOpener setDesktopOpener(DesktopOpener opener) {
    DesktopOpener previous = std::move(g_opener);
    g_opener = std::move(opener);
    return previous;
}

}  // namespace platform
