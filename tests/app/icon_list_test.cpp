#include <QAction>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QToolBar>

#include "app/main_window.h"
#include "app/program_state.h"
#include "app_fixture.h"

namespace {

using app_test::ProgramFolderTest;

const QRgb kKey = qRgb(255, 0, 255);

// Icon i: the key colour in the corners and a solid square of colour i in the middle.
QRgb colourOf(int i) { return qRgb(20 * i, 200 - 10 * i, 40 + 15 * i); }

QImage iconPicture(int i, int side = 48) {
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(kKey);
    QPainter p(&image);
    p.fillRect(side / 4, side / 4, side / 2, side / 2, QColor(colourOf(i)));
    return image;
}

class IconListTest : public ProgramFolderTest {
protected:
    void SetUp() override {
        ProgramFolderTest::SetUp();
        ASSERT_TRUE(QDir().mkpath(folder.filePath(QStringLiteral("ico"))));
    }
    QString iconFile(int i) const { return folder.filePath(QStringLiteral("ico/%1.ico").arg(i)); }
    void writeIcons(const QList<int>& which, const char* format = "ico") {
        for (int i : which) ASSERT_TRUE(iconPicture(i).save(iconFile(i), format));
    }
    static QRgb centreOf(const QPixmap& pixmap) { return pixmap.toImage().pixel(24, 24) | 0xff000000u; }
    static QRgb centreOf(const QAction* action) {
        return action->icon().isNull() ? 0 : centreOf(action->icon().pixmap(48, 48));
    }
};

TEST_F(IconListTest, TopLeftColourBecomesTransparentWhateverTheFileFormat) {
    writeIcons({0, 1});
    // The entry editor stores plain bitmaps under the .ico name; a PNG must work too.
    ASSERT_TRUE(iconPicture(2).save(iconFile(2), "BMP"));
    ASSERT_TRUE(iconPicture(3, 96).save(iconFile(3), "PNG"));
    app::state().rebuildIconList();
    const QList<QPixmap>& icons = app::state().iconList;
    ASSERT_EQ(icons.size(), 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(icons.at(i).size(), QSize(48, 48));
        const QImage image = icons.at(i).toImage().convertToFormat(QImage::Format_ARGB32);
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(47, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(24, 24)), 255);
        EXPECT_EQ(image.pixel(24, 24), colourOf(i));
    }
}

TEST_F(IconListTest, MissingOrBrokenFilesShiftTheLaterIcons) {
    writeIcons({0, 1, 2, 3, 5, 6, 7, 8, 9, 10});  // 4 is missing
    QFile broken(iconFile(7));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("this is no picture");
    broken.close();

    app::MainWindow window(QStringLiteral("about:blank"));
    window.buildIconList();
    ASSERT_EQ(app::state().iconList.size(), 9);
    const QList<QAction*> mailbox = window.mailboxToolBar()->actions();
    const QList<QAction*> settings = window.settingsToolBar()->actions();
    EXPECT_EQ(centreOf(mailbox.at(3)), colourOf(3));
    EXPECT_EQ(centreOf(mailbox.at(4)), colourOf(5));  // file 5 moved into place 4
    EXPECT_EQ(centreOf(mailbox.at(6)), colourOf(8));  // 4 and 7 both missing
    EXPECT_EQ(centreOf(mailbox.at(7)), colourOf(9));
    EXPECT_EQ(centreOf(mailbox.at(8)), colourOf(10));
    EXPECT_TRUE(settings.at(0)->icon().isNull());
    EXPECT_TRUE(settings.at(1)->icon().isNull());

    // Repairing the files and rebuilding gives every button its own icon again.
    writeIcons({4, 7});
    app::state().rebuildIconList();
    EXPECT_EQ(centreOf(mailbox.at(4)), colourOf(4));
    EXPECT_EQ(centreOf(settings.at(0)), colourOf(9));
    EXPECT_EQ(centreOf(settings.at(1)), colourOf(10));
}

TEST_F(IconListTest, OneMissingFileLeavesTheLastButtonWithoutImage) {
    writeIcons({0, 1, 2, 3, 5, 6, 7, 8, 9, 10});
    app::MainWindow window(QStringLiteral("about:blank"));
    window.buildIconList();
    const QList<QAction*> settings = window.settingsToolBar()->actions();
    EXPECT_EQ(centreOf(window.mailboxToolBar()->actions().at(4)), colourOf(5));
    EXPECT_EQ(centreOf(settings.at(0)), colourOf(10));
    EXPECT_TRUE(settings.at(1)->icon().isNull());
}

}  // namespace
