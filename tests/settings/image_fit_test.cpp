#include "settings/image_fit.h"

#include <gtest/gtest.h>

namespace settings {
namespace {

TEST(ImageFit, NeverEnlargesAndKeepsProportionsWhenShrinking) {
    EXPECT_EQ(fitInside(20, 10, 48, 48), (FitSize{20, 10}));
    EXPECT_EQ(fitInside(48, 48, 48, 48), (FitSize{48, 48}));
    // Twice as wide as the control and as high: the width decides.
    EXPECT_EQ(fitInside(96, 48, 48, 48), (FitSize{48, 24}));
    // Too tall only: the height decides.
    EXPECT_EQ(fitInside(30, 96, 48, 48), (FitSize{15, 48}));
    // Too wide, and still too tall after the width was fitted.
    EXPECT_EQ(fitInside(60, 200, 48, 48), (FitSize{14, 48}));
}

TEST(ImageFit, QuotientsAreTruncatedTowardZero) {
    // 70 * 48 / 100 = 33.6
    EXPECT_EQ(fitInside(100, 70, 48, 48), (FitSize{48, 33}));
    // 48 * 13 / 50 = 12.48 for the width once the height is fitted.
    EXPECT_EQ(fitInside(13, 50, 48, 48), (FitSize{12, 48}));
}

TEST(ImageFit, ModesPlaceThePicture) {
    // Fit: a small picture stays at its size, centred (halves truncated).
    EXPECT_EQ(placePicture(2, 21, 11, 48, 48), (PlacedRect{13, 18, 21, 11}));
    // Fit: twice as wide and as high is centred vertically at the control's width.
    EXPECT_EQ(placePicture(2, 96, 48, 48, 48), (PlacedRect{0, 12, 48, 24}));
    // Stretch covers the control whatever the picture's size.
    EXPECT_EQ(placePicture(1, 21, 11, 48, 40), (PlacedRect{0, 0, 48, 40}));
    // Natural size at the top left, also for unknown modes.
    EXPECT_EQ(placePicture(0, 96, 11, 48, 48), (PlacedRect{0, 0, 96, 11}));
    EXPECT_EQ(placePicture(7, 21, 11, 48, 48), (PlacedRect{0, 0, 21, 11}));
}

}  // namespace
}  // namespace settings
