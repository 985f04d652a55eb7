#include "settings/about_window.h"

#include <QFont>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include "platform/desktop_open.h"
#include "platform/dialogs.h"
#include "settings/window_geometry.h"
#include "update/update_window.h"

namespace settings {
namespace {

const QString kTitle = QStringLiteral("关于");
const QString kUpdateCaption = QStringLiteral("在线升级");

QLabel* transparentLabel(QWidget* parent, const QString& name, const QString& text, const QRect& rect) {
    auto* label = placeControl(new QLabel(text, parent), name, rect);
    label->setAutoFillBackground(false);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

// A label showing its address as a link; a click opens it through the desktop. Without
// an address the label stays in its place, empty.
QLabel* linkLabel(QWidget* parent, const QString& name, const QString& address, const QString& shown,
                  const QRect& rect) {
    auto* label = placeControl(new QLabel(parent), name, rect);
    if (address.isEmpty()) return label;
    label->setTextFormat(Qt::RichText);
    label->setText(QStringLiteral("<a href=\"%1\">%2</a>").arg(address.toHtmlEscaped(), shown.toHtmlEscaped()));
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    label->setCursor(Qt::PointingHandCursor);
    label->setProperty("linkTarget", address);
    QObject::connect(label, &QLabel::linkActivated, label, [address] { platform::openWithDesktop(address); });
    return label;
}

// The site as people write it: without the scheme and the closing "/".
QString shownAddress(QString address) {
    for (const QString& scheme : {QStringLiteral("https://"), QStringLiteral("http://")}) {
        if (address.startsWith(scheme, Qt::CaseInsensitive)) address.remove(0, scheme.size());
    }
    while (address.endsWith(u'/')) address.chop(1);
    return address;
}

QString versionLine(const BuildFacts& facts) {
    QStringList parts;
    if (!facts.version.isEmpty()) parts << QStringLiteral("版本：") + facts.version;
    if (!facts.buildDate.isEmpty()) parts << QStringLiteral("构建日期：") + facts.buildDate;
    return parts.join(QStringLiteral("  "));
}

QString licenceLine(const QString& licence) {
    if (licence.isEmpty()) return {};
    if (licence == QStringLiteral("LicenseRef-proprietary")) return QStringLiteral("许可：保留所有权利");
    return QStringLiteral("许可：") + licence;
}

}  // namespace

BuildFacts compiledBuildFacts() {
    return {QString::fromUtf8(TMBL_ABOUT_VERSION), QString::fromUtf8(TMBL_ABOUT_BUILD_DATE),
            QString::fromUtf8(TMBL_ABOUT_LICENCE), QString::fromUtf8(TMBL_ABOUT_HOMEPAGE),
            QString::fromUtf8(TMBL_ABOUT_CONTACT)};
}

QImage drawAboutPicture(QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal w = size.width();
    const qreal h = size.height();

    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, QColor(72, 140, 214));
    sky.setColorAt(1, QColor(186, 222, 250));
    p.fillRect(QRectF(0, 0, w, h), sky);

    // Two clouds the shuttle flies between.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 220));
    for (QPointF c : {QPointF(w * 0.16, h * 0.70), QPointF(w * 0.86, h * 0.32)}) {
        p.drawEllipse(c, h * 0.22, h * 0.13);
        p.drawEllipse(c + QPointF(h * 0.16, -h * 0.06), h * 0.16, h * 0.13);
        p.drawEllipse(c + QPointF(-h * 0.16, 0), h * 0.13, h * 0.10);
    }

    // The shuttle: a pointed spindle carrying an envelope.
    QPainterPath shuttle;
    const QPointF a(w * 0.08, h * 0.42), b(w * 0.40, h * 0.42);
    shuttle.moveTo(a);
    shuttle.quadTo(QPointF(w * 0.24, h * 0.16), b);
    shuttle.quadTo(QPointF(w * 0.24, h * 0.68), a);
    p.setBrush(QColor(240, 176, 64));
    p.setPen(QPen(QColor(150, 90, 20), 1.2));
    p.drawPath(shuttle);
    const QRectF envelope(w * 0.18, h * 0.32, w * 0.12, h * 0.20);
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.drawRect(envelope);
    p.drawLine(envelope.topLeft(), envelope.center());
    p.drawLine(envelope.topRight(), envelope.center());

    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(qMax(8, static_cast<int>(h * 0.34)));
    p.setFont(font);
    p.setPen(QColor(20, 50, 110));
    p.drawText(QRectF(w * 0.44, 0, w * 0.56, h * 0.62), Qt::AlignLeft | Qt::AlignBottom, QStringLiteral("云梭邮盒"));
    font.setBold(false);
    font.setPixelSize(qMax(6, static_cast<int>(h * 0.18)));
    p.setFont(font);
    p.drawText(QRectF(w * 0.44, h * 0.64, w * 0.56, h * 0.30), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("V2.0"));
    p.end();
    return image;
}

AboutWindow::AboutWindow(QWidget* parent, const BuildFacts& facts) : QDialog(parent) {
    placeWindow(this, kTitle, QRect(50, 50, 352, 246));

    auto* update = placeControl(new QPushButton(kUpdateCaption, this), QStringLiteral("按钮1"), QRect(244, 22, 77, 26));
    connect(update, &QPushButton::clicked, this, &AboutWindow::openUpdateWindow);
    transparentLabel(this, QStringLiteral("透明标签2"), QStringLiteral("网站："), QRect(48, 88, 40, 16));
    linkLabel(this, QStringLiteral("超级链接框2"), facts.homepage, shownAddress(facts.homepage),
              QRect(84, 88, 140, 16));
    auto* picture = placeControl(new QLabel(this), QStringLiteral("图片框1"), QRect(0, 0, 216, 70));
    picture->setPixmap(QPixmap::fromImage(drawAboutPicture(QSize(216, 70))));
    linkLabel(this, QStringLiteral("超级链接框1"), facts.contact, facts.contact, QRect(84, 112, 87, 16));
    transparentLabel(this, QStringLiteral("透明标签7"), QString(60, QLatin1Char('-')), QRect(0, 64, 347, 16));
    transparentLabel(this, QStringLiteral("透明标签6"), QString(22, QChar(0x2014)), QRect(49, 161, 264, 16));
    transparentLabel(this, QStringLiteral("透明标签5"), versionLine(facts), QRect(48, 136, 200, 16));
    transparentLabel(this, QStringLiteral("透明标签4"), QStringLiteral("信箱："), QRect(48, 112, 40, 16));
    transparentLabel(this, QStringLiteral("透明标签1"), licenceLine(facts.licence), QRect(208, 184, 104, 16));
}

void AboutWindow::openUpdateWindow() { update::showUpdateWindow(this); }

void showAboutWindow(QWidget* parent) {
    AboutWindow window(parent);
    window.exec();
}

}  // namespace settings
