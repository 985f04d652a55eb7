// Fixed window layouts: a window placed at its design position with its design
// outer size (frame included), and controls placed by design rectangle under their
// design names. Owned by the settings subsystem; user-interface thread only.
#pragma once

#include <QRect>
#include <QString>

class QWidget;

namespace settings {

// Places a top-level window with its frame's top-left at outer.topLeft() and its
// outer size fixed to outer.size(). The frame is only known once the window is
// shown, so the client size is corrected then. The window gets the dialog font
// the design rectangles were made for.
void placeWindow(QWidget* window, const QString& title, const QRect& outer);

// Names a control with its design name and puts it at rect inside its container.
template <typename Control>
Control* placeControl(Control* control, const QString& name, const QRect& rect) {
    control->setObjectName(name);
    control->setGeometry(rect);
    return control;
}

}  // namespace settings
