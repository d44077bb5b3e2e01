// The window's resize rule and the slot strip it lays out.
#pragma once
#include <vector>

#include "core/gateway.h"

namespace korvane {

// The window's resize event: stretches the two lists to the window and cuts
// the strip from lblUser(0) to List1's right edge into MaxUsers + 1 equal
// parts. A minimised window is left as it is.
void Form_Resize(Gateway& g);

// The window changed size or state (the view reports its outer size in
// twips); runs the resize rule.
void SetWindowPlacement(Gateway& g, int width, int height, WindowState state);

// The slot strip as a window draws it. The resize rule moves only the left
// edges, so a label made while the strip was wider (before MaxUsers was
// raised) would reach over its neighbours: each label is drawn no wider
// than the gap to the next one, and the last no wider than lblUser(0). The
// model keeps its own sizes; only the drawing is fitted.
struct SlotBox {
  int left = 0, top = 0, width = 0, height = 0;
};
void FitSlotStrip(std::vector<SlotBox>& strip);

}  // namespace korvane
