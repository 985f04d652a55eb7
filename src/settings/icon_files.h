// The icon files: ico/<n>.ico in the program folder, n = 0..8 for the mailbox
// entries, then the settings and About buttons. The entry editor writes them as
// 24-bit bitmaps of its picture box; readers go by content, so real icons and other
// pictures put there load too. User-interface thread only (pixmaps).
#pragma once

#include <QImage>
#include <QList>
#include <QPixmap>
#include <QString>

#include "records/mailbox_facts.h"

namespace settings {

inline constexpr int kSettingsIconFile = records::kMailboxCount;
inline constexpr int kAboutIconFile = records::kMailboxCount + 1;
inline constexpr int kIconFileCount = records::kMailboxCount + 2;
inline constexpr int kIconSide = 48;

// Icon file `index` of the program folder.
QString iconFilePath(int index);

// One icon file as a 48x48 picture whose top-left pixel colour is transparent; a
// null pixmap when the file is missing or not a picture.
QPixmap loadIconFile(const QString& path);

// The shared icon list: files 0..kIconFileCount-1 in order. A file that is missing or
// not a picture adds nothing, so the icons after it move one place up.
QList<QPixmap> loadIconList();

// Writes the picture (alpha already composed over its background; any remaining
// alpha is dropped) as a 24-bit bottom-up bitmap to path, readable by its owner
// only. False when the file could not be written; a previous file is then left as
// it was.
[[nodiscard]] bool saveIconBitmap(const QString& path, const QImage& picture);

}  // namespace settings
