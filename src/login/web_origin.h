// The origin of a web address, spelled one way wherever origins are compared: the
// page's address, a frame's origin as its agent reports it, a request's initiator.
#pragma once

#include <QString>
#include <QUrl>

namespace login {

// "scheme://host[:port]" in lower case, the port only when the address names one;
// empty for an address without a host.
inline QString originOf(const QUrl& address) {
    if (!address.isValid() || address.host().isEmpty()) return {};
    QUrl origin;
    origin.setScheme(address.scheme().toLower());
    origin.setHost(address.host().toLower());
    origin.setPort(address.port());
    return origin.toString();
}

}  // namespace login
