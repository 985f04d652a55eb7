// Where a skinned control draws its picture: the three back-image modes and the
// proportional fit. Plain integer arithmetic, no Qt, so it is tested on its own.
// Owned by the settings subsystem; pure functions, any thread.
#pragma once

namespace settings {

struct PlacedRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const PlacedRect&, const PlacedRect&) = default;
};

struct FitSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const FitSize&, const FitSize&) = default;
};

enum class BackMode { Natural = 0, Stretch = 1, Fit = 2 };

// Shrinks iw x ih to fit inside w x h keeping its proportions; never enlarges.
// Products are formed in floating point and truncated toward zero.
FitSize fitInside(int iw, int ih, int w, int h);

// The rectangle a picture of iw x ih occupies in a control of w x h for a mode
// number as stored on the control (anything but 1 and 2 draws at natural size).
PlacedRect placePicture(int mode, int iw, int ih, int w, int h);

}  // namespace settings
