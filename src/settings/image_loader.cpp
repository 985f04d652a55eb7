#include "settings/image_loader.h"

#include <QBuffer>
#include <QImageReader>

namespace settings {
namespace {

std::optional<QImage> readFrom(QImageReader& reader) {
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

std::optional<QImage> loadImageFile(const QString& path) {
    QImageReader reader(path);
    return readFrom(reader);
}

std::optional<QImage> loadImageData(const QByteArray& bytes) {
    if (bytes.isEmpty()) return std::nullopt;
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return readFrom(reader);
}

}  // namespace settings
