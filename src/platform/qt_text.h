// GBK byte strings to and from QString, for the user-interface edge: records and
// page texts stay GBK bytes everywhere else.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "platform/gbk.h"

namespace platform {

inline QString fromGbk(std::string_view gbk) { return QString::fromStdString(gbkToUtf8(gbk)); }

inline std::string toGbk(const QString& text) { return utf8ToGbk(text.toStdString()); }

}  // namespace platform
