// Bringing the gateway up: the window load.
#pragma once
#include "core/gateway.h"

namespace korvane {

inline constexpr const char* kVersionCaption = "Tarnwick Version 3.0g";

// Window load: everything start-up does after the single-instance check
// (which runs before the gateway exists, see instance.h).
void Form_Load(Gateway& g);

}  // namespace korvane
