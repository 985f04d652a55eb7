// The icon files the entry editor writes: ico/<n>.ico in the program folder holding
// a 24-bit bitmap of the picture box as it shows. User-interface thread only.
#pragma once

#include <QImage>
#include <QString>

namespace settings {

// Writes the picture (alpha already composed over its background; any remaining
// alpha is dropped) as a 24-bit bottom-up bitmap to path. False when the file
// could not be written; a previous file is then left as it was.
[[nodiscard]] bool saveIconBitmap(const QString& path, const QImage& picture);

}  // namespace settings
