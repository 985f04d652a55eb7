#include "settings/icon_files.h"

#include <QFile>
#include <cstdint>
#include <vector>

#include "settings/bitmap_file.h"

namespace settings {

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
