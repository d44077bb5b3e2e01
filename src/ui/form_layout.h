// The window's resize rule and the slot strip it lays out.
#pragma once
#include "core/gateway.h"

namespace korvane {

// The window's resize event: stretches the two lists to the window and cuts
// the strip from lblUser(0) to List1's right edge into MaxUsers + 1 equal
// parts. A minimised window is left as it is.
void Form_Resize(Gateway& g);

// The window changed size or state (the view reports its outer size in
// twips); runs the resize rule.
void SetWindowPlacement(Gateway& g, int width, int height, WindowState state);

}  // namespace korvane
