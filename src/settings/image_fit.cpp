#include "settings/image_fit.h"

namespace settings {

FitSize fitInside(int iw, int ih, int w, int h) {
    FitSize fit{iw, ih};
    if (w < iw) {
        fit.width = w;
        fit.height = static_cast<int>(static_cast<double>(ih) * w / iw);
    }
    if (h < fit.height) {
        fit.width = static_cast<int>(static_cast<double>(h) * fit.width / fit.height);
        fit.height = h;
    }
    return fit;
}

PlacedRect placePicture(int mode, int iw, int ih, int w, int h) {
    switch (mode) {
        case static_cast<int>(BackMode::Stretch):
            return {0, 0, w, h};
        case static_cast<int>(BackMode::Fit): {
            FitSize fit = fitInside(iw, ih, w, h);
            return {(w - fit.width) / 2, (h - fit.height) / 2, fit.width, fit.height};
        }
        default:
            return {0, 0, iw, ih};
    }
}

}  // namespace settings
