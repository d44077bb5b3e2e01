// The operator window, seen from main(): free of Qt, so that the gateway
// core and main() build without it. The window is a module of its own
// (libkorvane-window.so, the one part of korvane that links Qt), loaded
// only when it is to be shown; a headless gateway never maps Qt.
//
// Threads: Qt's event loop runs on the main thread and the gateway's
// io_context on a second thread, so that neither a modal box nor a busy
// window can hold up the gateway, and a busy gateway never freezes the
// window. The two meet only through the change feed (the gateway's
// changes are queued and applied by the window in batches) and through
// operator commands, which the window posts into the io_context as the
// same command texts `korvane ctl` sends.
#pragma once
#include <asio.hpp>

#include <memory>

#include "core/gateway.h"

namespace korvane {

class WindowHost {
 public:
  virtual ~WindowHost() = default;

  virtual View* view() = 0;

  // After start-up, before the gateway's loop runs: the window starts from
  // the gateway's present state and follows its changes from then on.
  virtual void Attach(asio::io_context& io, Gateway& g) = 0;

  // Runs the gateway's loop on its own thread and the window's loop here,
  // until the gateway stops (the Exit menu, a signal, `korvane ctl exit`).
  virtual int Run() = 0;

  // The two halves of Run, for tests that drive the window themselves.
  virtual void StartGateway() = 0;
  virtual void StopGateway() = 0;
};

}  // namespace korvane

// The module's one entry point, looked up by this name once it is loaded:
// makes the Qt application (argc and argv must outlive it) and the window's
// host. The caller owns what it returns.
extern "C" korvane::WindowHost* korvane_window_open(int* argc, char** argv);
inline constexpr const char* kWindowOpenSymbol = "korvane_window_open";
