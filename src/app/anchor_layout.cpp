#include "app/anchor_layout.h"

#include <QEvent>
#include <QPointer>
#include <QRect>
#include <QWidget>
#include <vector>

namespace app {
namespace {

struct LayoutAnchor {
    QPointer<QWidget> parent;
    QPointer<QWidget> control;
    int left = 0;
    int top = 0;
    int rightMargin = 0;
    int bottomMargin = 0;
    int width = 0;
    int height = 0;
    bool anchorLeft = false;
    bool anchorTop = false;
    bool anchorRight = false;
    bool anchorBottom = false;
};

class LayoutFilter;

struct AnchoredParent {
    QPointer<QWidget> parent;
    LayoutFilter* filter = nullptr;  // owned by the parent
    bool anchoring = true;
};

std::vector<LayoutAnchor> g_anchors;
std::vector<AnchoredParent> g_parents;

// Outer rectangle in screen coordinates: the frame for a window, the widget itself
// for a child (a child's border lies inside its geometry).
QRect outerRect(const QWidget* w) {
    if (w->isWindow()) return w->frameGeometry();
    return QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
}

void layOut(QWidget* parent) {
    const int clientWidth = parent->width();
    const int clientHeight = parent->height();
    for (const LayoutAnchor& stored : g_anchors) {
        if (stored.parent != parent || !stored.control) continue;
        LayoutAnchor a = stored;  // the stored geometry never changes
        if (a.anchorRight) {
            if (a.anchorLeft) {
                a.width = clientWidth - a.left - a.rightMargin;
            } else {
                a.left = clientWidth - a.width - a.rightMargin;
            }
        }
        if (a.anchorTop) {
            if (a.anchorBottom) a.height = clientHeight - a.top - a.bottomMargin;
        } else {
            a.top = clientHeight - a.height - a.bottomMargin;
        }
        // A parent shrunk below the registered distances gives zero or negative sizes;
        // the widget system takes those as empty.
        a.control->setGeometry(a.left, a.top, a.width, a.height);
        a.control->update();
    }
}

class LayoutFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize) {
            for (const AnchoredParent& p : g_parents) {
                if (p.parent == watched) {
                    if (p.anchoring) layOut(p.parent);
                    break;
                }
            }
        }
        return false;  // every event still reaches the parent itself
    }
};

}  // namespace

void registerLayoutAnchor(QWidget* control, bool anchorLeft, bool anchorTop, bool anchorRight, bool anchorBottom) {
    if (!control || !control->parentWidget()) return;
    QWidget* parent = control->parentWidget();

    const QRect parentOuter = outerRect(parent);
    const QRect controlOuter = outerRect(control);
    const int border = static_cast<int>((parentOuter.width() - parent->width()) / 2.0);
    const int caption = parentOuter.height() - parent->height() - border;

    LayoutAnchor a;
    a.parent = parent;
    a.control = control;
    a.left = controlOuter.x() - parentOuter.x() - border;
    a.top = controlOuter.y() - parentOuter.y() - caption;
    a.rightMargin = (parentOuter.x() + parentOuter.width()) - (controlOuter.x() + controlOuter.width()) - border;
    a.bottomMargin = (parentOuter.y() + parentOuter.height()) - (controlOuter.y() + controlOuter.height()) - border;
    a.width = controlOuter.width();
    a.height = controlOuter.height();
    a.anchorLeft = anchorLeft;
    a.anchorTop = anchorTop;
    a.anchorRight = anchorRight;
    a.anchorBottom = anchorBottom;
    g_anchors.push_back(a);

    for (const AnchoredParent& p : g_parents) {
        if (p.parent == parent) return;  // watched already: one take-over per parent
    }
    auto* filter = new LayoutFilter(parent);
    parent->installEventFilter(filter);
    g_parents.push_back({parent, filter, true});
}

void clearLayoutAnchors() {
    for (AnchoredParent& p : g_parents) {
        if (p.parent) {
            p.parent->removeEventFilter(p.filter);
            delete p.filter;
        }
    }
    g_parents.clear();
    g_anchors.clear();
}

int anchoredParentCount() {
    int n = 0;
    for (const AnchoredParent& p : g_parents) n += p.parent ? 1 : 0;
    return n;
}

int layoutAnchorCount() {
    int n = 0;
    for (const LayoutAnchor& a : g_anchors) n += a.control ? 1 : 0;
    return n;
}

}  // namespace app
