// Finds and loads the operator window's module when a window is to be shown.
#pragma once
#include <memory>
#include <string>

#include "ui/qt/window_host.h"

namespace korvane {

// Null when no window can be shown: no X or Wayland display named, and no
// Qt platform chosen with QT_QPA_PLATFORM; also when the display named
// cannot be reached or the window's module cannot be loaded, each said in
// one line on standard error. argc and argv must outlive the window.
std::unique_ptr<WindowHost> OpenWindow(int& argc, char** argv);

// Where the module is looked for: next to the executable (the build
// folder), then in the installed tree's private library folder.
std::string WindowModulePath(const std::string& executable_dir);

}  // namespace korvane
