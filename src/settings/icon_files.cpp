#include "settings/icon_files.h"

#include <QFile>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image_loader.h"
#include "platform/program_folder.h"
#include "settings/bitmap_file.h"

namespace settings {

QString iconFilePath(int index) {
    return QString::fromStdString(platform::dataFolder()) + QStringLiteral("/ico/") + QString::number(index) +
           QStringLiteral(".ico");
}

QPixmap loadIconFile(const QString& path) {
    // The entry editor saves plain bitmaps under the .ico name: the loader goes by content.
    std::optional<QImage> loaded = platform::loadImageFile(path);
    if (!loaded) return {};

    QImage image = loaded->convertToFormat(QImage::Format_ARGB32);
    const QRgb key = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (line[x] == key) line[x] = qRgba(0, 0, 0, 0);
        }
    }
    if (image.width() != kIconSide || image.height() != kIconSide) {
        image = image.scaled(kIconSide, kIconSide, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    return QPixmap::fromImage(image);
}

QList<QPixmap> loadIconList() {
    QList<QPixmap> icons;
    for (int i = 0; i < kIconFileCount; ++i) {
        QPixmap icon = loadIconFile(iconFilePath(i));
        if (!icon.isNull()) icons.append(icon);
    }
    return icons;
}

bool saveIconBitmap(const QString& path, const QImage& picture) {
    if (picture.isNull()) return false;
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    std::vector<std::uint32_t> pixels;
    pixels.reserve(static_cast<std::size_t>(rgb.width()) * static_cast<std::size_t>(rgb.height()));
    for (int y = 0; y < rgb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        pixels.insert(pixels.end(), line, line + rgb.width());
    }
    const std::vector<std::uint8_t> file = encodeBitmap24(rgb.width(), rgb.height(), pixels);
    if (file.empty()) return false;
    return writeWholeFile(QFile::encodeName(path).toStdString(), file);
}

}  // namespace settings
