#include "settings/skinned_control.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QGroupBox>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <QtTest/QTest>
#include <memory>

namespace settings {
namespace {

const QColor kBackground(10, 60, 200);
const QColor kGreen(0, 200, 0);
const QColor kRed(220, 0, 0);

std::unique_ptr<QWidget> solidWindow(QSize size) {
    auto window = std::make_unique<QWidget>();
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, kBackground);
    window->setPalette(palette);
    window->setAutoFillBackground(true);
    window->resize(size);
    return window;
}

// Left half fully transparent, right half opaque green.
QImage halfTransparent(QSize size) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.fillRect(QRect(size.width() / 2, 0, size.width() - size.width() / 2, size.height()), kGreen);
    return image;
}

QImage solid(QSize size, const QColor& colour) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

QColor at(const QImage& image, int x, int y) { return image.pixelColor(x, y).toRgb(); }

TEST(SkinnedControl, TransparentAreasShowTheParentAndTheSiblingsBeneath) {
    auto window = solidWindow(QSize(200, 120));
    // A red panel beneath the lower half of the box, created before it.
    auto* panel = new QWidget(window.get());
    panel->setGeometry(20, 44, 100, 40);
    QPalette red = panel->palette();
    red.setColor(QPalette::Window, kRed);
    panel->setPalette(red);
    panel->setAutoFillBackground(true);
    auto* box = new QWidget(window.get());
    box->setGeometry(20, 20, 48, 48);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

    SkinnedControl control;
    ASSERT_TRUE(control.AttachPictureBox(box, halfTransparent(QSize(10, 10))));
    control.SetBackType(1);

    const QImage shown = captureWindowPixels(box);
    ASSERT_EQ(shown.size(), QSize(48, 48));
    EXPECT_EQ(at(shown, 5, 5), kBackground);  // transparent, over the window
    EXPECT_EQ(at(shown, 5, 40), kRed);        // transparent, over the panel
    EXPECT_EQ(at(shown, 40, 5), kGreen);      // the picture, stretched
    EXPECT_EQ(at(shown, 40, 40), kGreen);

    // What the screen shows after a paint is the same composition.
    QTest::qWait(20);
    const QImage screen = window->screen()->grabWindow(window->winId()).toImage();
    ASSERT_FALSE(screen.isNull());
    EXPECT_EQ(at(screen, 25, 25), kBackground);
    EXPECT_EQ(at(screen, 25, 60), kRed);
    EXPECT_EQ(at(screen, 60, 25), kGreen);
    EXPECT_EQ(control.GetProperty(kPropCacheBitmap).value<QImage>().size(), QSize(48, 48));
}

TEST(SkinnedControl, AGroupBoxFrameShowsThroughExactly) {
    auto window = solidWindow(QSize(220, 160));
    auto* group = new QGroupBox(QStringLiteral("分组"), window.get());
    group->setGeometry(10, 10, 150, 100);
    auto* box = new QWidget(window.get());
    // Across the group box's top-left corner and title.
    box->setGeometry(2, 2, 48, 48);
    box->hide();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QImage expected = window->grab(QRect(2, 2, 48, 48)).toImage().convertToFormat(QImage::Format_RGB32);

    box->show();
    SkinnedControl control;
    ASSERT_TRUE(control.AttachPictureBox(box, solid(QSize(4, 4), Qt::transparent)));
    control.SetBackType(1);
    const QImage shown = captureWindowPixels(box).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown, expected);
    // The frame is really in there: the capture is not just the window colour.
    EXPECT_NE(shown, solid(QSize(48, 48), kBackground).convertToFormat(QImage::Format_RGB32));
}

TEST(SkinnedControl, FitModeCentresAShrunkPicture) {
    auto window = solidWindow(QSize(100, 100));
    auto* box = new QWidget(window.get());
    box->setGeometry(10, 10, 48, 48);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

    SkinnedControl control;
    ASSERT_TRUE(control.AttachPictureBox(box, solid(QSize(96, 48), kGreen)));
    control.SetBackType(2);
    QImage shown = captureWindowPixels(box);
    EXPECT_EQ(at(shown, 24, 11), kBackground);
    EXPECT_EQ(at(shown, 24, 12), kGreen);
    EXPECT_EQ(at(shown, 24, 35), kGreen);
    EXPECT_EQ(at(shown, 24, 36), kBackground);

    // Natural size at the top left: the picture is cut at the box's edge.
    control.SetBackImage(solid(QSize(20, 10), kRed));
    control.SetBackType(0);
    shown = captureWindowPixels(box);
    EXPECT_EQ(at(shown, 19, 9), kRed);
    EXPECT_EQ(at(shown, 20, 9), kBackground);
    EXPECT_EQ(at(shown, 19, 10), kBackground);
}

TEST(SkinnedControl, TakesAWindowOverOnceAndRefusesNoWindow) {
    auto window = solidWindow(QSize(100, 100));
    auto* box = new QWidget(window.get());
    box->setGeometry(10, 10, 48, 48);

    SkinnedControl control;
    EXPECT_FALSE(control.AttachPictureBox(nullptr));
    EXPECT_FALSE(control.IsValid());
    EXPECT_FALSE(control.AttachControl(nullptr));

    ASSERT_TRUE(control.AttachPictureBox(box));
    const QVariant boxMark = box->property(kPropWndProc);
    const QVariant parentMark = window->property(kPropWndProc);
    ASSERT_TRUE(boxMark.isValid());
    ASSERT_TRUE(parentMark.isValid());
    EXPECT_EQ(box->property(kPropType).toInt(), kTypePictureBox);
    EXPECT_EQ(box->windowTitle(), pictureBoxText());

    SkinnedControl second;
    ASSERT_TRUE(second.AttachPictureBox(box, solid(QSize(2, 2), kGreen)));
    EXPECT_EQ(box->property(kPropWndProc), boxMark);
    EXPECT_EQ(window->property(kPropWndProc), parentMark);
    // Both objects act on the same widget, since the state lives on it.
    EXPECT_EQ(control.GetProperty(kPropBackImage).value<QImage>().size(), QSize(2, 2));
    SkinnedControl copy = second.Copy();
    EXPECT_EQ(copy.GetHandle(), box);

    delete box;
    EXPECT_FALSE(control.IsValid());
    EXPECT_FALSE(control.GetProperty(kPropType).isValid());
}

TEST(SkinnedControl, CreatePictureBoxAndMoveWithOmittedValues) {
    auto window = solidWindow(QSize(200, 200));
    SkinnedControl control;
    QWidget* box = control.CreatePictureBox(window.get(), 5, 6, 40, 30);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->parentWidget(), window.get());
    EXPECT_EQ(box->geometry(), QRect(5, 6, 40, 30));
    EXPECT_EQ(box->property(kPropType).toInt(), kTypePictureBox);
    EXPECT_EQ(control.GetWindow(), box);

    control.Move(std::nullopt, std::nullopt, 70);
    EXPECT_EQ(box->geometry(), QRect(5, 6, 70, 30));
    control.Move(50);
    EXPECT_EQ(box->geometry(), QRect(50, 6, 70, 30));
    control.Move(std::nullopt, 9, std::nullopt, 12, true);
    EXPECT_EQ(box->geometry(), QRect(50, 9, 70, 12));
}

TEST(SkinnedControl, BackImageFromBytesAndUndecodableBytes) {
    auto window = solidWindow(QSize(100, 100));
    auto* box = new QWidget(window.get());
    box->setGeometry(0, 0, 16, 16);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(solid(QSize(16, 16), kGreen).save(&buffer, "PNG"));

    SkinnedControl control;
    ASSERT_TRUE(control.AttachPictureBox(box));
    control.SetBackImageData(png);
    EXPECT_EQ(at(captureWindowPixels(box), 8, 8), kGreen);

    control.SetBackImageData(QByteArray("not a picture at all"));
    EXPECT_FALSE(control.GetProperty(kPropBackImage).isValid());
    EXPECT_EQ(at(captureWindowPixels(box), 8, 8), kBackground);
}

TEST(SkinnedControl, StatePicturesFallBackToTheNormalOne) {
    auto window = solidWindow(QSize(100, 100));
    auto* box = new QWidget(window.get());
    box->setGeometry(0, 0, 16, 16);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    SkinnedControl control;
    ASSERT_TRUE(control.AttachPictureBox(box));
    control.SetBackType(1);
    EXPECT_TRUE(composeStatePicture(nullptr).isNull());

    captureWindowPixels(box);  // the first paint's background cache
    EXPECT_EQ(at(composeStatePicture(box), 8, 8), kBackground);
    control.SetProperty(kPropNormalImage, solid(QSize(4, 4), kGreen));
    control.SetProperty(kPropDownImage, solid(QSize(4, 4), kRed));
    control.SetProperty(kPropDrawState, 2);
    EXPECT_EQ(at(composeStatePicture(box), 8, 8), kRed);
    control.SetProperty(kPropDrawState, 1);  // no hover picture
    EXPECT_EQ(at(composeStatePicture(box), 8, 8), kGreen);
    control.SetProperty(kPropDrawState, 0);
    EXPECT_EQ(at(composeStatePicture(box), 8, 8), kGreen);

    // The notification to the parent repaints the box; its next ordinary paint shows
    // the back image again.
    sendCustomDraw(box);
    EXPECT_FALSE(box->property("Reror_CustomDrawPending").toBool());
    EXPECT_EQ(at(captureWindowPixels(box), 8, 8), kBackground);
}

TEST(SkinnedControl, ToolTipIsAddedOnceThenOnlyItsTextChanges) {
    auto window = solidWindow(QSize(100, 100));
    auto* box = new QWidget(window.get());
    SkinnedControl control;
    ASSERT_TRUE(control.AttachControl(box));
    control.SetToolTip(QStringLiteral("第一行\n第二行"), false);
    EXPECT_EQ(box->property(kPropToolTips).toInt(), 1);
    EXPECT_EQ(box->toolTip(), QStringLiteral("第一行\n第二行"));
    control.SetToolTip(QStringLiteral("新的"));
    EXPECT_EQ(box->toolTip(), QStringLiteral("新的"));
    EXPECT_EQ(box->property(kPropToolTips).toInt(), 1);
}

}  // namespace
}  // namespace settings
