// The window as a whole, for a view that follows the model: the window's
// own properties as changes of the control "Form1", and a snapshot of every
// control, so that a view that starts late begins from the current state.
#pragma once
#include <string>
#include <vector>

#include "core/gateway.h"

namespace korvane {

const char* WindowStateText(WindowState state);  // "Normal", "Minimized", "Maximized"
bool ParseWindowState(const std::string& text, WindowState& state);

// Publishes Form1's Caption and WindowState. The window's own fields are
// plain; they change only in start-up, shutdown and operator commands, and
// each of those publishes them afterwards.
void PublishWindow(Gateway& g);

// Every property a view shows, as changes in an order that rebuilds it.
std::vector<Change> Snapshot(Gateway& g);

}  // namespace korvane
