#include "platform/image_loader.h"

#include <QBuffer>
#include <QImageReader>

namespace platform {
namespace {

// An icon file may hold the same picture at several sizes, smallest first; the
// largest shows best once fitted into a control.
std::optional<QImage> readFrom(QImageReader& reader) {
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    QImage best = reader.read();
    if (best.isNull()) return std::nullopt;
    // Frames of an animation share one size; only several sizes are worth reading.
    const int count = reader.supportsAnimation() ? 1 : reader.imageCount();
    for (int i = 1; i < count; ++i) {
        if (!reader.jumpToImage(i)) break;
        QImage next = reader.read();
        if (next.isNull()) break;
        if (qint64(next.width()) * next.height() > qint64(best.width()) * best.height()) best = next;
    }
    return best.convertToFormat(QImage::Format_ARGB32_Premultiplied);
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

}  // namespace platform
