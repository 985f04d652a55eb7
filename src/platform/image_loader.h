// Loading pictures for the icon list, the entry editor and the skinned controls:
// the format is recognised from the content, never from the file name, so a bitmap
// stored under an ".ico" name loads. Qt Gui only; any thread.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>

namespace platform {

// The decoded picture with its alpha channel, or nothing when the file is missing
// or not a picture any installed reader understands.
std::optional<QImage> loadImageFile(const QString& path);
std::optional<QImage> loadImageData(const QByteArray& bytes);

}  // namespace platform
