#include "ui/form_unload.h"

#include <chrono>
#include <memory>

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
  // A moment for the closing sockets to flush, then the process ends.
  auto done = std::make_shared<asio::steady_timer>(g.io, std::chrono::milliseconds(300));
  done->async_wait([&g, done](std::error_code) { g.io.stop(); });
  return true;
}

}  // namespace korvane
