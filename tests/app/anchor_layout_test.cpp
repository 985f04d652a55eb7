#include "app/anchor_layout.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

namespace {

using app::registerLayoutAnchor;

class AnchorLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        app::clearLayoutAnchors();
        parent = std::make_unique<QWidget>();
        parent->resize(400, 300);
    }
    void TearDown() override {
        parent.reset();
        app::clearLayoutAnchors();
    }

    QWidget* child(int x, int y, int w, int h, QWidget* under = nullptr) {
        auto* c = new QWidget(under ? under : parent.get());
        c->setGeometry(x, y, w, h);
        return c;
    }

    void resizeParent(int w, int h) {
        parent->resize(w, h);
        QApplication::sendPostedEvents();  // an unshown widget gets its resize event late
        parent->show();
        QApplication::processEvents();
    }

    std::unique_ptr<QWidget> parent;
};

TEST_F(AnchorLayoutTest, EachFlagCombinationKeepsItsDistances) {
    QWidget* all = child(10, 20, 100, 50);
    QWidget* leftRightBottom = child(10, 200, 100, 40);
    QWidget* topBottom = child(300, 10, 30, 200);
    QWidget* none = child(150, 150, 20, 20);
    QWidget* rightOnly = child(350, 10, 40, 20);
    registerLayoutAnchor(all, true, true, true, true);
    registerLayoutAnchor(leftRightBottom, true, false, true, true);
    registerLayoutAnchor(topBottom, false, true, false, true);
    registerLayoutAnchor(none, false, false, false, false);
    registerLayoutAnchor(rightOnly, false, true, true, false);

    resizeParent(500, 350);
    EXPECT_EQ(all->geometry(), QRect(10, 20, 200, 100));
    // Width follows the parent, height stays, distance to the bottom stays.
    EXPECT_EQ(leftRightBottom->geometry(), QRect(10, 250, 200, 40));
    // Left edge and width stay, height grows.
    EXPECT_EQ(topBottom->geometry(), QRect(300, 10, 30, 250));
    // Neither top nor bottom: keeps the distance from the bottom edge.
    EXPECT_EQ(none->geometry(), QRect(150, 200, 20, 20));
    EXPECT_EQ(rightOnly->geometry(), QRect(450, 10, 40, 20));

    // Back to the first size: everything where it was registered.
    resizeParent(400, 300);
    EXPECT_EQ(all->geometry(), QRect(10, 20, 100, 50));
    EXPECT_EQ(leftRightBottom->geometry(), QRect(10, 200, 100, 40));
    EXPECT_EQ(rightOnly->geometry(), QRect(350, 10, 40, 20));
}

// A widget that writes down what reaches its own handlers, so the test can see what
// the layout lets through and in which order it moves the controls.
class Recorder : public QWidget {
public:
    Recorder(std::vector<std::string>& log, std::string name, QWidget* parent = nullptr)
        : QWidget(parent), m_log(log), m_name(std::move(name)) {}

protected:
    bool event(QEvent* event) override {
        switch (event->type()) {
            case QEvent::Resize:
                m_log.push_back(m_name + " resized to " + std::to_string(width()) + "x" + std::to_string(height()));
                break;
            case QEvent::MouseButtonPress:
            case QEvent::KeyPress:
            case QEvent::User:
                m_log.push_back(m_name + " got event " + std::to_string(static_cast<int>(event->type())));
                break;
            default:
                break;
        }
        return QWidget::event(event);
    }

private:
    std::vector<std::string>& m_log;
    std::string m_name;
};

TEST_F(AnchorLayoutTest, OneTakeOverPerParentLaysOutInRegistrationOrderAndPassesEverythingOn) {
    std::vector<std::string> log;
    auto window = std::make_unique<Recorder>(log, "parent");
    window->resize(400, 300);
    auto* first = new Recorder(log, "first", window.get());
    first->setGeometry(0, 0, 100, 100);
    auto* second = new Recorder(log, "second", window.get());
    second->setGeometry(0, 0, 100, 100);
    window->show();
    QApplication::processEvents();
    registerLayoutAnchor(second, true, true, true, false);
    registerLayoutAnchor(first, true, true, true, true);
    EXPECT_EQ(app::anchoredParentCount(), 1);
    EXPECT_EQ(app::layoutAnchorCount(), 2);

    // A resize lays the controls out in the order they were registered, before the
    // parent's own handler sees the resize, exactly once.
    log.clear();
    window->resize(450, 320);
    QApplication::processEvents();
    EXPECT_EQ(log, (std::vector<std::string>{"second resized to 150x100", "first resized to 150x120",
                                             "parent resized to 450x320"}));

    // Every other event reaches the parent's own handler unchanged, once.
    log.clear();
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(300, 250), window->mapToGlobal(QPointF(300, 250)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &press);
    QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QApplication::sendEvent(window.get(), &key);
    QEvent custom(QEvent::User);
    QApplication::sendEvent(window.get(), &custom);
    EXPECT_EQ(log, (std::vector<std::string>{"parent got event " + std::to_string(int(QEvent::MouseButtonPress)),
                                             "parent got event " + std::to_string(int(QEvent::KeyPress)),
                                             "parent got event " + std::to_string(int(QEvent::User))}));
    window.reset();
}

TEST_F(AnchorLayoutTest, NestedPanelsFollowTheWindow) {
    QWidget* panel = child(10, 10, 200, 200);
    QWidget* inner = child(5, 5, 190, 190, panel);
    registerLayoutAnchor(panel, true, true, true, true);
    registerLayoutAnchor(inner, true, true, true, true);
    EXPECT_EQ(app::anchoredParentCount(), 2);

    resizeParent(500, 400);
    EXPECT_EQ(panel->geometry(), QRect(10, 10, 300, 300));
    EXPECT_EQ(inner->geometry(), QRect(5, 5, 290, 290));
}

TEST_F(AnchorLayoutTest, ShrinkingBelowTheMarginsGivesEmptyControls) {
    QWidget* all = child(50, 50, 300, 200);
    registerLayoutAnchor(all, true, true, true, true);
    resizeParent(80, 60);
    // 80 - 50 - 50 = -20 wide: the widget system makes that empty, nothing crashes.
    EXPECT_LE(all->width(), 0);
    EXPECT_LE(all->height(), 0);
    resizeParent(400, 300);
    EXPECT_EQ(all->geometry(), QRect(50, 50, 300, 200));
}

TEST_F(AnchorLayoutTest, DestroyedControlsAndParentsAreSkipped) {
    QWidget* gone = child(0, 0, 10, 10);
    QWidget* stays = child(0, 0, 10, 10);
    registerLayoutAnchor(gone, true, true, true, true);
    registerLayoutAnchor(stays, true, true, true, true);
    delete gone;
    resizeParent(410, 310);
    EXPECT_EQ(stays->size(), QSize(20, 20));
    EXPECT_EQ(app::layoutAnchorCount(), 1);

    parent.reset();
    EXPECT_EQ(app::anchoredParentCount(), 0);
    // A new parent, perhaps at the same address, is a parent of its own.
    parent = std::make_unique<QWidget>();
    parent->resize(100, 100);
    QWidget* fresh = child(0, 0, 50, 50);
    registerLayoutAnchor(fresh, true, true, true, true);
    EXPECT_EQ(app::anchoredParentCount(), 1);
    resizeParent(150, 150);
    EXPECT_EQ(fresh->size(), QSize(100, 100));
}

}  // namespace
