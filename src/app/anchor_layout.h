// Anchor layout: a control registered with four anchor flags keeps its distances to the
// chosen edges of its parent whenever the parent is resized. The registries are
// program-wide and only grow; user-interface thread only.
#pragma once

class QWidget;

namespace app {

// Records the control's present distances to its parent's edges and, the first time
// the parent is seen, starts watching the parent's resizes.
void registerLayoutAnchor(QWidget* control, bool anchorLeft, bool anchorTop, bool anchorRight, bool anchorBottom);

// Drops both registries (the clean-up at exit). Watched parents stop being laid out.
void clearLayoutAnchors();

// Number of parents watched and anchors registered (diagnostics and tests).
int anchoredParentCount();
int layoutAnchorCount();

}  // namespace app
