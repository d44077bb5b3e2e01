#include "dde/link_bridge.h"

#include <unistd.h>

#include "core/sessions.h"
#include "dde/notify.h"
#include "platform/link_control.h"

namespace korvane {

AsyncTurn::Hold& AsyncTurn::Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::move(other.state_);
  }
  return *this;
}

void AsyncTurn::Hold::Release() {
  if (!state_) return;
  std::shared_ptr<State> state = std::move(state_);
  if (state->waiting.empty()) {
    state->held = false;
    return;
  }
  // Hand the turn straight to the next in line: it stays held, so nobody
  // arriving meanwhile can slip in ahead.
  std::shared_ptr<asio::steady_timer> next = std::move(state->waiting.front());
  state->waiting.pop_front();
  next->cancel();
}

asio::awaitable<AsyncTurn::Hold> AsyncTurn::Take() {
  std::shared_ptr<State> state = state_;
  if (!state->held) {
    state->held = true;
    co_return Hold(state);
  }
  auto wake = std::make_shared<asio::steady_timer>(state->io, asio::steady_timer::time_point::max());
  state->waiting.push_back(wake);
  std::error_code ec;
  co_await wake->async_wait(asio::redirect_error(asio::use_awaitable, ec));
  co_return Hold(state);
}

LinkBridge::~LinkBridge() {
  for (const std::string& path : overflowFiles)
    if (!path.empty()) ::unlink(path.c_str());
}

LinkBridge& Bridge(Gateway& g) {
  if (!g.linkBridge) g.linkBridge = std::make_unique<LinkBridge>(g.io);
  return *g.linkBridge;
}

void SetAwaiting(Gateway& g, int k, uint64_t gen) {
  if (k < 0) return;
  std::vector<uint64_t>& awaiting = Bridge(g).awaiting;
  if (awaiting.size() <= static_cast<size_t>(k)) awaiting.resize(k + 1, 0);
  awaiting[k] = gen;
}

bool IsAwaiting(Gateway& g, int k, uint64_t gen) {
  const std::vector<uint64_t>& awaiting = Bridge(g).awaiting;
  return gen != 0 && k >= 0 && static_cast<size_t>(k) < awaiting.size() && awaiting[k] == gen;
}

void WireLinkControl(Gateway& g, int k) {
  if (k < 1 || static_cast<size_t>(k) >= g.lnkDDE.size() || !g.lnkDDE[k]) return;
  g.lnkDDE[k]->OnNotify = [&g, k] { Spawn(g, lnkDDE_LinkNotify(g, k)); };
}

}  // namespace korvane
