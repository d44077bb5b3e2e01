#include "ui/form_unload.h"

#include <chrono>

#include "dde/program_lifetimes.h"

namespace korvane {

void txtport_Change(Gateway& g) {
  g.mnuListen.SetCaption("&Listen on Port " + g.txtport.Text());
  g.mnuClose.SetCaption("&Close Port " + g.txtport.Text());
}

void mnuExit_Click(Gateway& g) {
  g.ConfigQuery = "UNLOAD";
  Form_Unload(g);
}

bool Form_Unload(Gateway& g) {
  if (g.ConfigQuery != "UNLOAD") {
    g.windowState = WindowState::Minimized;
    return false;
  }
  for (int k = 0; k <= g.TopSlot; ++k) {
    if (static_cast<size_t>(k) < g.commandsock.size()) g.commandsock[k]->Close();
    if (static_cast<size_t>(k) < g.datasock.size()) g.datasock[k]->Close();
  }
  for (int k = 0; k <= g.SlotLimit; ++k) {
    if (SessionRecord* r = g.Record(k); r && !r->tempfile.empty()) g.files.RemoveMade(r->tempfile);
  }
  // The programs started for links end with the gateway, and the closing
  // sockets have a moment to flush; then the process ends.
  asio::co_spawn(g.io, [&g]() -> asio::awaitable<void> {
    asio::steady_timer flush(g.io, std::chrono::milliseconds(300));
    co_await EndStartedPrograms(g);
    std::error_code ignored;
    co_await flush.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    g.io.stop();
  }, asio::detached);
  return true;
}

}  // namespace korvane
