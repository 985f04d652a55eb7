#include "settings/window_geometry.h"

#include <QEvent>
#include <QFont>
#include <QMargins>
#include <QWidget>

namespace settings {
namespace {

constexpr char kPropOuterRect[] = "tmbl_outerRect";
constexpr int kDialogFontPixels = 12;

QSize clientSize(const QSize& outer, const QMargins& frame) {
    return QSize(qMax(1, outer.width() - frame.left() - frame.right()),
                 qMax(1, outer.height() - frame.top() - frame.bottom()));
}

// Corrects the client size once the window system has put a frame around it. A
// window manager may add the frame only after the window is shown, so the keeper
// watches until a frame turns up.
class OuterSizeKeeper : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if ((type != QEvent::Show && type != QEvent::Move && type != QEvent::Resize) || !watched->isWidgetType()) {
            return false;
        }
        auto* window = static_cast<QWidget*>(watched);
        if (!window->isVisible()) return false;
        const QRect frame = window->frameGeometry();
        const QRect client = window->geometry();
        const QMargins margins(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                               frame.bottom() - client.bottom());
        if (margins.isNull()) return false;
        window->removeEventFilter(this);
        const QRect outer = window->property(kPropOuterRect).toRect();
        window->setFixedSize(clientSize(outer.size(), margins));
        window->move(outer.topLeft());
        deleteLater();
        return false;
    }
};

}  // namespace

void placeWindow(QWidget* window, const QString& title, const QRect& outer) {
    window->setWindowTitle(title);
    // The fixed rectangles were laid out for a 12-pixel dialog font; a larger desktop
    // font would cut captions off.
    QFont font = window->font();
    font.setPixelSize(kDialogFontPixels);
    window->setFont(font);
    window->setProperty(kPropOuterRect, outer);
    window->setFixedSize(outer.size());
    window->move(outer.topLeft());
    window->installEventFilter(new OuterSizeKeeper(window));
}

}  // namespace settings
