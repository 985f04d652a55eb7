// Opening a web address or a new mail through the desktop's open action, with the
// default web browser command as fallback. Tests replace the opener so nothing
// starts. User-interface thread only.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

namespace platform {

// True when something took the address.
using DesktopOpener = std::function<bool(const QUrl&)>;

// Opens target: a web address as it is, or an e-mail address (anything with "@" and
// no scheme) as a "mailto:" address. False when neither the open action nor the
// fallback browser command accepted it.
bool openWithDesktop(const QString& target);

// The address openWithDesktop would hand on for target.
QUrl desktopOpenUrl(const QString& target);

// nullptr restores the real desktop; returns the opener that was installed.
DesktopOpener setDesktopOpener(DesktopOpener opener);

}  // namespace platform
