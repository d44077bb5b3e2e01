// Form1 as designed: where its controls stand before the first resize, and
// the captions of the labels that only name what stands beside them. The
// model places the controls that move (the lists and the slot strip); the
// view draws the fixed ones from the same table.
#pragma once
#include <vector>

#include "core/gateway.h"

namespace korvane {

// Design size of the window (outer size, twips).
inline constexpr int kDesignWidth = 9600;
inline constexpr int kDesignHeight = 7200;

struct DesignedControl {
  const char* name;     // control name; the text boxes' names are the model's
  const char* caption;  // fixed caption of a label; "" for a text box
  int left, top, width, height;
};

// The settings boxes (txtport .. lnkTopic), in tab order.
const std::vector<DesignedControl>& DesignedTextBoxes();

// Labels with fixed captions: Label1 .. Label7 and the three link labels.
const std::vector<DesignedControl>& DesignedLabels();

// Puts List1, List2, lblUser(0), lblPeerAddress and lblPeerName where the
// design has them, with their design captions. Runs as the window loads.
void DesignForm1(Gateway& g);

}  // namespace korvane
