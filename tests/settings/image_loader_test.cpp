#include "platform/image_loader.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>

namespace settings {
namespace {

// A 1 x 1 GIF whose one pixel is red (Qt has no GIF writer).
const QByteArray kRedGif = QByteArray::fromHex(
    "474946383961010001008000"
    "00ff0000000000"
    "2c0000000001000100000202440100"
    "3b");

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format)) << format;
    return bytes;
}

TEST(ImageLoader, EverySupportedFormatLoadsByContentWhateverItsName) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage picture(8, 8, QImage::Format_ARGB32);
    picture.fill(QColor(0, 0, 255));
    picture.setPixelColor(0, 0, QColor(0, 0, 0, 0));

    const QList<QPair<const char*, QByteArray>> files = {
        {"png", encoded(picture, "PNG")},  {"bmp", encoded(picture, "BMP")}, {"jpg", encoded(picture, "JPG")},
        {"tif", encoded(picture, "TIFF")}, {"ico", encoded(picture, "ICO")}, {"gif", kRedGif}};
    for (const auto& [format, bytes] : files) {
        // Every file carries the icon files' name, whatever it holds.
        const QString path = dir.path() + QStringLiteral("/%1.ico").arg(QString::fromLatin1(format));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        std::optional<QImage> loaded = platform::loadImageFile(path);
        ASSERT_TRUE(loaded) << format;
        EXPECT_FALSE(loaded->isNull()) << format;
        std::optional<QImage> fromBytes = platform::loadImageData(bytes);
        ASSERT_TRUE(fromBytes) << format;
        EXPECT_EQ(fromBytes->size(), loaded->size()) << format;
    }
    // PNG keeps its alpha channel.
    std::optional<QImage> png = platform::loadImageData(files[0].second);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(png->pixelColor(4, 4), QColor(0, 0, 255));
    std::optional<QImage> gif = platform::loadImageData(kRedGif);
    ASSERT_TRUE(gif);
    EXPECT_EQ(gif->pixelColor(0, 0), QColor(255, 0, 0));
}

TEST(ImageLoader, AnIconWithSeveralSizesGivesItsLargestPicture) {
    // Two-image icon file: 16 x 16 first, then 32 x 32.
    QByteArray icon = QByteArray::fromHex("000001000200");
    QImage small(16, 16, QImage::Format_ARGB32), large(32, 32, QImage::Format_ARGB32);
    small.fill(Qt::red);
    large.fill(Qt::blue);
    const QByteArray smallPng = encoded(small, "PNG"), largePng = encoded(large, "PNG");
    auto entry = [](int side, qsizetype size, qsizetype offset) {
        QByteArray e(16, '\0');
        e[0] = static_cast<char>(side);
        e[1] = static_cast<char>(side);
        e[4] = 1;
        e[6] = 32;
        for (int i = 0; i < 4; ++i) {
            e[8 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
            e[12 + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
        }
        return e;
    };
    icon += entry(16, smallPng.size(), 6 + 32);
    icon += entry(32, largePng.size(), 6 + 32 + smallPng.size());
    icon += smallPng + largePng;
    std::optional<QImage> loaded = platform::loadImageData(icon);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->size(), QSize(32, 32));
    EXPECT_EQ(loaded->pixelColor(5, 5), QColor(Qt::blue));
}

TEST(ImageLoader, MissingAndDamagedFilesGiveNoImage) {
    QTemporaryDir dir;
    EXPECT_FALSE(platform::loadImageFile(dir.path() + QStringLiteral("/none.png")));
    EXPECT_FALSE(platform::loadImageData(QByteArray()));
    EXPECT_FALSE(platform::loadImageData(QByteArray("\x89PNG\r\n\x1a\n truncated", 19)));
}

}  // namespace
}  // namespace settings
