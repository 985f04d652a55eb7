// Draws the program's eleven toolbar icons as 48x48 ICO files: nine coloured envelopes
// for the mailbox buttons, a gear for the settings button and an "i" for About. The
// background is fully transparent, so the program's top-left colour key keeps it clear.
// Given a second folder it also draws the application icon for menus, launchers and
// window frames: 48x48.png, 128x128.png, 256x256.png and the same design as scalable.svg.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <array>
#include <cmath>
#include <cstdio>

#include "records/mailbox_facts.h"

namespace {

constexpr int kSide = 48;

QImage blank() {
    QImage image(kSide, kSide, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

QImage envelope(const QColor& colour) {
    QImage image = blank();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body(4, 10, 40, 28);
    p.setPen(QPen(colour.darker(150), 2));
    p.setBrush(colour);
    p.drawRoundedRect(body, 4, 4);
    // The flap.
    QPainterPath flap;
    flap.moveTo(body.left() + 2, body.top() + 2);
    flap.lineTo(body.center().x(), body.top() + 16);
    flap.lineTo(body.right() - 2, body.top() + 2);
    p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
    // The lower folds.
    p.setPen(QPen(colour.lighter(140), 1.5));
    p.drawLine(QPointF(body.left() + 3, body.bottom() - 3), QPointF(body.left() + 15, body.top() + 13));
    p.drawLine(QPointF(body.right() - 3, body.bottom() - 3), QPointF(body.right() - 15, body.top() + 13));
    return image;
}

QImage gear() {
    QImage image = blank();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(24, 24);
    QPainterPath outline;
    constexpr int kTeeth = 8;
    for (int i = 0; i < kTeeth * 2; ++i) {
        const double angle = M_PI * i / kTeeth;
        const double r = (i % 2 == 0) ? 21.0 : 15.5;
        const double half = M_PI / kTeeth / 2.2;
        const QPointF a(c.x() + r * std::cos(angle - half), c.y() + r * std::sin(angle - half));
        const QPointF b(c.x() + r * std::cos(angle + half), c.y() + r * std::sin(angle + half));
        if (i == 0)
            outline.moveTo(a);
        else
            outline.lineTo(a);
        outline.lineTo(b);
    }
    outline.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, 7, 7);
    p.setPen(QPen(QColor(60, 70, 85), 1.5));
    p.setBrush(QColor(120, 135, 155));
    p.drawPath(outline.subtracted(hole));
    return image;
}

QImage info() {
    QImage image = blank();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 80, 150), 2));
    p.setBrush(QColor(45, 120, 200));
    p.drawEllipse(QPointF(24, 24), 21, 21);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(24, 13.5), 3.5, 3.5);
    p.drawRoundedRect(QRectF(20.5, 20, 7, 18), 2, 2);
    return image;
}

// The application icon, designed on a 256-unit square: a blue tile carrying a white
// envelope over a golden shuttle. appIconSvg() below is the same drawing.
QImage appIcon(int side) {
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / 256.0, side / 256.0);
    QLinearGradient sky(0, 16, 0, 240);
    sky.setColorAt(0, QColor(72, 140, 214));
    sky.setColorAt(1, QColor(36, 92, 176));
    p.setPen(Qt::NoPen);
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(16, 16, 224, 224), 44, 44);

    QPainterPath shuttle;
    shuttle.moveTo(32, 188);
    shuttle.quadTo(128, 136, 224, 188);
    shuttle.quadTo(128, 240, 32, 188);
    p.setBrush(QColor(240, 176, 64));
    p.setPen(QPen(QColor(150, 90, 20), 4));
    p.drawPath(shuttle);

    const QRectF body(56, 64, 144, 100);
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor(30, 60, 110), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawRoundedRect(body, 10, 10);
    QPainterPath flap;
    flap.moveTo(62, 72);
    flap.lineTo(128, 124);
    flap.lineTo(194, 72);
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);
    return image;
}

const char* appIconSvg() {
    return R"svg(<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 256 256">
  <defs>
    <linearGradient id="sky" x1="0" y1="16" x2="0" y2="240" gradientUnits="userSpaceOnUse">
      <stop offset="0" stop-color="#488cd6"/>
      <stop offset="1" stop-color="#245cb0"/>
    </linearGradient>
  </defs>
  <rect x="16" y="16" width="224" height="224" rx="44" fill="url(#sky)"/>
  <path d="M32 188 Q128 136 224 188 Q128 240 32 188 Z" fill="#f0b040" stroke="#965a14" stroke-width="4"/>
  <g stroke="#1e3c6e" stroke-width="6" stroke-linecap="round" stroke-linejoin="round">
    <rect x="56" y="64" width="144" height="100" rx="10" fill="#ffffff"/>
    <path d="M62 72 L128 124 L194 72" fill="none"/>
  </g>
</svg>
)svg";
}

bool writeAppIcons(const QString& folder) {
    if (!QDir().mkpath(folder)) return false;
    for (int side : {48, 128, 256}) {
        const QString path = folder + QStringLiteral("/%1x%1.png").arg(side);
        QImageWriter writer(path, "png");
        if (!writer.write(appIcon(side))) {
            std::fprintf(stderr, "make_icons: %s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
            return false;
        }
    }
    QFile svg(folder + QStringLiteral("/scalable.svg"));
    if (!svg.open(QIODevice::WriteOnly | QIODevice::Truncate) || svg.write(appIconSvg()) < 0) return false;
    return svg.flush();
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_icons <ico folder> [<application icon folder>]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "make_icons: cannot create %s\n", argv[1]);
        return 1;
    }
    const std::array<QColor, records::kMailboxCount> mailboxColours = {
        QColor(214, 69, 65),  QColor(232, 140, 30), QColor(222, 190, 40), QColor(90, 170, 70),  QColor(40, 150, 150),
        QColor(50, 110, 200), QColor(110, 80, 190), QColor(190, 70, 150), QColor(120, 120, 120)};
    // One icon per mailbox, then the settings and About buttons.
    for (int i = 0; i < records::kMailboxCount + 2; ++i) {
        const QImage image = i < records::kMailboxCount    ? envelope(mailboxColours[static_cast<std::size_t>(i)])
                             : i == records::kMailboxCount ? gear()
                                                           : info();
        const QString path = folder + QStringLiteral("/%1.ico").arg(i);
        QImageWriter writer(path, "ico");
        if (!writer.write(image)) {
            std::fprintf(stderr, "make_icons: %s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
            return 1;
        }
    }
    if (argc == 3 && !writeAppIcons(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "make_icons: cannot write the application icons to %s\n", argv[2]);
        return 1;
    }
    return 0;
}
