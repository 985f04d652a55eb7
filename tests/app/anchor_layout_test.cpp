#include "app/anchor_layout.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <memory>

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

TEST_F(AnchorLayoutTest, OneTakeOverPerParentAndRegistrationOrder) {
    QWidget* first = child(0, 0, 100, 100);
    QWidget* second = child(0, 0, 100, 100);
    registerLayoutAnchor(first, true, true, true, true);
    registerLayoutAnchor(second, true, true, true, false);
    EXPECT_EQ(app::anchoredParentCount(), 1);
    EXPECT_EQ(app::layoutAnchorCount(), 2);

    // Events other than resizes still reach the parent itself.
    parent->setWindowTitle(QStringLiteral("still mine"));
    EXPECT_EQ(parent->windowTitle(), QStringLiteral("still mine"));

    resizeParent(450, 320);
    EXPECT_EQ(first->size(), QSize(150, 120));
    EXPECT_EQ(second->size(), QSize(150, 100));
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
