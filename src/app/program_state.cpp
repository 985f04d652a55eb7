#include "app/program_state.h"

#include <QImage>

#include "platform/image_loader.h"
#include "platform/program_folder.h"

namespace app {
namespace {

constexpr int kIconSide = 48;
constexpr int kIconFileCount = 11;  // 0..8 mailboxes, 9 settings, 10 About

}  // namespace

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

void ProgramState::rebuildIconList() {
    QList<QPixmap> icons;
    for (int i = 0; i < kIconFileCount; ++i) {
        QPixmap icon = loadIconFile(iconFilePath(i));
        if (!icon.isNull()) icons.append(icon);
    }
    iconList = icons;
    emit iconListChanged();
}

void ProgramState::reset() {
    currentEntry = records::MailboxEntry{};
    selectedButton = 0;
    loginDone = false;
    passwordLogin = false;
    accessPassword.clear();
    allowNewWindows = false;
    iconList.clear();
}

ProgramState& state() {
    static ProgramState* instance = new ProgramState;  // lives until exit; QObjects after QApplication are fine
    return *instance;
}

}  // namespace app
