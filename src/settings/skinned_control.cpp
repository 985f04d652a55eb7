#include "settings/skinned_control.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QToolTip>

#include "platform/image_loader.h"
#include "settings/image_fit.h"

namespace settings {
namespace {

// Set for the next paint when a custom-draw notification asks for the state picture.
constexpr char kPropCustomDrawPending[] = "Reror_CustomDrawPending";
// Set when a tool tip was added to be shown centred below the widget.
constexpr char kPropToolTipCentred[] = "Reror_ToolTipCentred";

int customDrawEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

class CustomDrawEvent : public QEvent {
public:
    explicit CustomDrawEvent(QWidget* sender)
        : QEvent(static_cast<QEvent::Type>(customDrawEventType())), m_sender(sender) {}
    QWidget* sender() const { return m_sender; }

private:
    QWidget* m_sender;
};

QImage propertyImage(const QWidget* w, const char* name) {
    QVariant v = w->property(name);
    return v.canConvert<QImage>() ? v.value<QImage>() : QImage();
}

// The picture of the widget's draw state, the normal picture standing in for a state
// that has none.
QImage stateImage(const QWidget* w) {
    const char* name = nullptr;
    switch (w->property(kPropDrawState).toInt()) {
        case 1:
            name = kPropOverlImage;
            break;
        case 2:
            name = kPropDownImage;
            break;
        case 3:
            name = kPropDisableImage;
            break;
        default:
            break;
    }
    QImage image = name ? propertyImage(w, name) : QImage();
    return image.isNull() ? propertyImage(w, kPropNormalImage) : image;
}

enum class PictureSource { Back, State };

// The background cache with the chosen picture drawn over it; null without a cache.
QImage compose(const QWidget* w, PictureSource source) {
    QImage cache = propertyImage(w, kPropCacheBitmap);
    if (cache.isNull()) return {};
    QImage out = cache.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (out.size() != w->size()) out = out.scaled(w->size());
    QImage picture = source == PictureSource::Back ? propertyImage(w, kPropBackImage) : stateImage(w);
    if (!picture.isNull()) {
        PlacedRect r = placePicture(w->property(kPropBackType).toInt(), picture.width(), picture.height(), out.width(),
                                    out.height());
        QPainter painter(&out);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(r.left, r.top, r.width, r.height), picture);
    }
    return out;
}

void refreshCache(QWidget* w) { w->setProperty(kPropCacheBitmap, captureBeneath(w)); }

// Paints the widget from the event filter: the composition is made off screen and
// put on the widget in one piece.
void paintSkinned(QWidget* w) {
    refreshCache(w);
    PictureSource source = PictureSource::Back;
    if (w->property(kPropCustomDrawPending).toBool()) {
        w->setProperty(kPropCustomDrawPending, QVariant());
        source = PictureSource::State;
    }
    QImage composed = compose(w, source);
    if (composed.isNull()) return;
    QPainter painter(w);
    painter.drawImage(0, 0, composed);
}

// Installed on every parent of a skinned control: answers the custom-draw
// notification of its skinned picture boxes and lets everything else through.
class ParentProcedure : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == customDrawEventType()) {
            QWidget* sender = static_cast<CustomDrawEvent*>(event)->sender();
            if (sender && sender->parent() == watched && sender->property(kPropType).toInt() == kTypePictureBox) {
                sender->setProperty(kPropCustomDrawPending, true);
                sender->repaint();
            }
        }
        return false;
    }
};

// Installed on every skinned picture box: it erases nothing and paints itself.
class ControlProcedure : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint || !watched->isWidgetType()) return false;
        paintSkinned(static_cast<QWidget*>(watched));
        return true;
    }
};

// Shows a centred tip below the widget for tools added with atMouse false.
class ToolTipProcedure : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType()) return false;
        auto* w = static_cast<QWidget*>(watched);
        if (!w->property(kPropToolTipCentred).toBool() || w->toolTip().isEmpty()) return false;
        QToolTip::showText(w->mapToGlobal(QPoint(w->width() / 2, w->height())), w->toolTip(), w);
        return true;
    }
};

// The procedures live as long as the application; widgets of any dialog share them.
template <typename Procedure>
Procedure* procedure() {
    static Procedure* instance = new Procedure(QCoreApplication::instance());
    return instance;
}

// The widget's procedure marker: the address of the procedure that now paints it.
QVariant procedureMark(const QObject* procedure) {
    return QVariant::fromValue(reinterpret_cast<qulonglong>(procedure));
}

void takeOver(QWidget* w, QObject* procedure) {
    if (w->property(kPropWndProc).isValid()) return;
    w->setProperty(kPropWndProc, procedureMark(procedure));
    w->installEventFilter(procedure);
}

void paintBeneath(QPainter& painter, QWidget* w, const QRect& area);

// Paints what parent shows inside areaInParent (parent coordinates, the painter
// already mapped to them) below the child `above`.
void paintParentBelow(QPainter& painter, QWidget* parent, QWidget* above, const QRect& areaInParent) {
    const bool opaque =
        parent->isWindow() || parent->autoFillBackground() || parent->testAttribute(Qt::WA_OpaquePaintEvent);
    if (!opaque) paintBeneath(painter, parent, areaInParent);

    QWidget::RenderFlags ownFlags;
    if (parent->isWindow()) ownFlags |= QWidget::DrawWindowBackground;
    parent->render(&painter, areaInParent.topLeft(), QRegion(areaInParent), ownFlags);

    for (QObject* child : parent->children()) {
        if (child == above) break;
        if (!child->isWidgetType()) continue;
        auto* sibling = static_cast<QWidget*>(child);
        if (sibling->isWindow() || sibling->isHidden()) continue;
        QRect overlap = sibling->geometry() & areaInParent;
        if (overlap.isEmpty()) continue;
        QWidget::RenderFlags flags = QWidget::DrawChildren;
        if (sibling->autoFillBackground()) flags |= QWidget::DrawWindowBackground;
        sibling->render(&painter, overlap.topLeft(), QRegion(overlap.translated(-sibling->pos())), flags);
    }
}

// Paints, in w's coordinates, what lies beneath w inside area.
void paintBeneath(QPainter& painter, QWidget* w, const QRect& area) {
    QWidget* parent = w->parentWidget();
    if (!parent || w->isWindow()) return;
    painter.save();
    painter.translate(-w->pos());
    paintParentBelow(painter, parent, w, area.translated(w->pos()));
    painter.restore();
}

}  // namespace

QString pictureBoxText() { return QStringLiteral("roride.图片框"); }

QImage captureBeneath(QWidget* window) {
    if (!window || window->size().isEmpty()) return {};
    QImage image(window->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    paintBeneath(painter, window, window->rect());
    painter.end();
    return image;
}

QImage captureWindowPixels(QWidget* window) {
    if (!window || window->size().isEmpty()) return {};
    if (window->property(kPropType).toInt() == kTypePictureBox && window->property(kPropWndProc).isValid()) {
        refreshCache(window);
        return compose(window, PictureSource::Back);
    }
    QImage image = captureBeneath(window);
    QPainter painter(&image);
    QWidget::RenderFlags flags = QWidget::DrawChildren;
    if (window->autoFillBackground()) flags |= QWidget::DrawWindowBackground;
    window->render(&painter, QPoint(), QRegion(), flags);
    painter.end();
    return image;
}

QImage composeStatePicture(const QWidget* window) { return window ? compose(window, PictureSource::State) : QImage(); }

void sendCustomDraw(QWidget* child) {
    if (!child || !child->parentWidget()) return;
    CustomDrawEvent event(child);
    QCoreApplication::sendEvent(child->parentWidget(), &event);
}

bool SkinnedControl::AttachControl(QWidget* window) {
    if (!window) return false;
    if (QWidget* parent = window->parentWidget()) takeOver(parent, procedure<ParentProcedure>());
    // A skinned control paints over its parent's pixels: it must not clear its area
    // first, and nothing may keep the parent from painting beneath it.
    window->setAutoFillBackground(false);
    window->setAttribute(Qt::WA_OpaquePaintEvent, false);
    window->setAttribute(Qt::WA_NoSystemBackground, true);
    m_window = window;
    return true;
}

void SkinnedControl::SetProperty(const char* name, const QVariant& value) {
    if (m_window) m_window->setProperty(name, value);
}

QVariant SkinnedControl::GetProperty(const char* name) const {
    return m_window ? m_window->property(name) : QVariant();
}

bool SkinnedControl::SendMessage(QEvent* event) {
    if (!m_window || !event) return false;
    return QCoreApplication::sendEvent(m_window, event);
}

void SkinnedControl::SetToolTip(const QString& text, bool atMouse) {
    if (!m_window) return;
    if (!m_window->property(kPropToolTips).isValid()) {
        m_window->setProperty(kPropToolTips, 1);
        if (!atMouse) {
            m_window->setProperty(kPropToolTipCentred, true);
            m_window->installEventFilter(procedure<ToolTipProcedure>());
        }
    }
    m_window->setToolTip(text);
}

void SkinnedControl::Move(std::optional<int> left, std::optional<int> top, std::optional<int> width,
                          std::optional<int> height, bool noRedraw) {
    if (!m_window) return;
    const QRect current = m_window->geometry();
    const QRect target(left.value_or(current.x()), top.value_or(current.y()), width.value_or(current.width()),
                       height.value_or(current.height()));
    if (target == current) return;
    // Qt composes the uncovered area and the moved widget itself in one pass, so
    // there is no separate redraw that noRedraw could hold back.
    Q_UNUSED(noRedraw);
    m_window->setGeometry(target);
}

void SkinnedControl::Redraw() {
    if (m_window) m_window->update();
}

QWidget* SkinnedControl::CreatePictureBox(QWidget* parent, int left, int top, int width, int height) {
    if (!parent) return nullptr;
    auto* box = new QWidget(parent);
    box->setGeometry(left, top, width, height);
    box->setWindowTitle(pictureBoxText());
    box->show();
    AttachPictureBox(box);
    return box;
}

bool SkinnedControl::AttachPictureBox(QWidget* window, const QImage& image) {
    if (!AttachControl(window)) return false;
    window->setProperty(kPropType, kTypePictureBox);
    window->setWindowTitle(pictureBoxText());
    takeOver(window, procedure<ControlProcedure>());
    if (!image.isNull()) SetBackImage(image);
    return true;
}

void SkinnedControl::SetBackImage(const QImage& image) {
    if (!m_window) return;
    m_window->setProperty(kPropBackImage, image.isNull() ? QVariant() : QVariant(image));
    // The area beneath repaints first so that the cache taken at the widget's own
    // paint shows the parent as it is now.
    if (QWidget* parent = m_window->parentWidget()) parent->update(m_window->geometry());
    m_window->update();
}

void SkinnedControl::SetBackImageData(const QByteArray& bytes) {
    SetBackImage(platform::loadImageData(bytes).value_or(QImage()));
}

void SkinnedControl::SetBackType(int mode) {
    if (m_window) m_window->setProperty(kPropBackType, mode);
}

}  // namespace settings
