#include "settings/about_window.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QLabel>
#include <QPushButton>

#include "platform/desktop_open.h"
#include "platform/dialogs.h"

namespace settings {
namespace {

const BuildFacts kFullFacts{QStringLiteral("V2.0"), QStringLiteral("2026-12-09"), QStringLiteral("GPL-3.0-or-later"),
                            QStringLiteral("https://www.yunsuo.cn/"), QStringLiteral("mail@yunsuo.cn")};

QString labelText(const QWidget& window, const char* name) {
    auto* label = window.findChild<QLabel*>(QString::fromUtf8(name));
    return label ? label->text() : QStringLiteral("(no label)");
}

TEST(AboutWindow, ControlsAndLinks) {
    AboutWindow window(nullptr, kFullFacts);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("关于"));
    auto* update = window.findChild<QPushButton*>(QStringLiteral("按钮1"));
    ASSERT_NE(update, nullptr);
    EXPECT_EQ(update->text(), QStringLiteral("在线升级"));
    EXPECT_EQ(update->geometry(), QRect(244, 22, 77, 26));
    auto* picture = window.findChild<QLabel*>(QStringLiteral("图片框1"));
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->pixmap().size(), QSize(216, 70));
    auto* dashes = window.findChild<QLabel*>(QStringLiteral("透明标签7"));
    ASSERT_NE(dashes, nullptr);
    EXPECT_EQ(dashes->text(), QString(60, QLatin1Char('-')));
    auto* longDashes = window.findChild<QLabel*>(QStringLiteral("透明标签6"));
    ASSERT_NE(longDashes, nullptr);
    EXPECT_EQ(longDashes->text(), QString(22, QChar(0x2014)));
    for (const char* name : {"透明标签1", "透明标签2", "透明标签4", "透明标签5"}) {
        EXPECT_NE(window.findChild<QLabel*>(QString::fromUtf8(name)), nullptr) << name;
    }

    QList<QUrl> opened;
    platform::setDesktopOpener([&](const QUrl& url) {
        opened << url;
        return true;
    });
    auto* mail = window.findChild<QLabel*>(QStringLiteral("超级链接框1"));
    auto* site = window.findChild<QLabel*>(QStringLiteral("超级链接框2"));
    ASSERT_NE(mail, nullptr);
    ASSERT_NE(site, nullptr);
    emit mail->linkActivated(mail->property("linkTarget").toString());
    emit site->linkActivated(site->property("linkTarget").toString());
    platform::setDesktopOpener(nullptr);
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(opened[0].scheme(), QStringLiteral("mailto"));
    EXPECT_EQ(opened[1], QUrl(kFullFacts.homepage));
}

TEST(AboutWindow, MakerLinesShowTheBuildFacts) {
    AboutWindow window(nullptr, kFullFacts);
    EXPECT_EQ(labelText(window, "透明标签5"), QStringLiteral("版本：V2.0  构建日期：2026-12-09"));
    EXPECT_EQ(labelText(window, "透明标签1"), QStringLiteral("许可：GPL-3.0-or-later"));
    auto* site = window.findChild<QLabel*>(QStringLiteral("超级链接框2"));
    auto* mail = window.findChild<QLabel*>(QStringLiteral("超级链接框1"));
    EXPECT_EQ(site->property("linkTarget").toString(), QStringLiteral("https://www.yunsuo.cn/"));
    EXPECT_TRUE(site->text().contains(QStringLiteral(">www.yunsuo.cn<"))) << site->text().toStdString();
    EXPECT_EQ(mail->property("linkTarget").toString(), QStringLiteral("mail@yunsuo.cn"));

    // Without a web site or mail address their lines keep their places but show nothing,
    // and a click has nothing to open.
    BuildFacts bare = kFullFacts;
    bare.homepage.clear();
    bare.contact.clear();
    bare.licence = QStringLiteral("LicenseRef-proprietary");
    AboutWindow plain(nullptr, bare);
    for (const char* name : {"超级链接框1", "超级链接框2"}) {
        auto* label = plain.findChild<QLabel*>(QString::fromUtf8(name));
        ASSERT_NE(label, nullptr) << name;
        EXPECT_TRUE(label->text().isEmpty()) << name;
        EXPECT_FALSE(label->property("linkTarget").isValid()) << name;
    }
    EXPECT_EQ(plain.findChild<QLabel*>(QStringLiteral("超级链接框2"))->geometry(), QRect(84, 88, 140, 16));
    EXPECT_EQ(labelText(plain, "透明标签1"), QStringLiteral("许可：保留所有权利"));
    EXPECT_EQ(labelText(plain, "透明标签2"), QStringLiteral("网站："));
}

TEST(AboutWindow, TheCompiledFactsHoldNoPlaceholders) {
    const BuildFacts facts = compiledBuildFacts();
    EXPECT_EQ(facts.version, QStringLiteral("V2.0"));
    EXPECT_TRUE(QDate::fromString(facts.buildDate, Qt::ISODate).isValid()) << facts.buildDate.toStdString();
    EXPECT_FALSE(facts.licence.isEmpty());
    AboutWindow window;
    for (QLabel* label : window.findChildren<QLabel*>()) {
        for (const QString& bad : {QStringLiteral("待填"), QStringLiteral("example"), QStringLiteral(".test")}) {
            EXPECT_FALSE(label->text().contains(bad))
                << label->objectName().toStdString() << ": " << label->text().toStdString();
        }
    }
}

TEST(AboutWindow, OnlineUpdateButtonOpensTheUpdateWindow) {
    platform::ScriptedDialogs dialogs;
    AboutWindow window;
    window.findChild<QPushButton*>(QStringLiteral("按钮1"))->click();
    // Run from a test folder without the program's icons, the update window explains
    // why it cannot update and closes; what matters here is that it was the update
    // window that spoke.
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("请将本程序复制到《澜禾云梭邮盒》程序目录，并且不要更改文件名！")});
}

TEST(AboutWindow, PictureIsDrawnAtTheAskedSize) {
    const QImage picture = drawAboutPicture(QSize(216, 70));
    ASSERT_EQ(picture.size(), QSize(216, 70));
    // Not a blank: the sky at the top differs from the text area's pixels somewhere.
    EXPECT_NE(picture.pixelColor(2, 2), picture.pixelColor(2, 68));
    EXPECT_EQ(picture.pixelColor(2, 2).alpha(), 255);
}

}  // namespace
}  // namespace settings
