#include "dde/execute_links.h"

#include "platform/link_control.h"

namespace korvane {

ExecuteLinks::Lease& ExecuteLinks::Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::move(other.state_);
    index_ = other.index_;
  }
  return *this;
}

void ExecuteLinks::Lease::Release() {
  if (!state_) return;
  std::shared_ptr<State> state = std::move(state_);
  if (state->waiting.empty()) {
    state->busy[index_] = false;
    return;
  }
  // Straight to the next in line: the link stays busy, so nobody arriving
  // meanwhile slips in ahead.
  Waiter next = std::move(state->waiting.front());
  state->waiting.pop_front();
  *next.granted = index_;
  next.wake->cancel();
}

ExecuteLinks::ExecuteLinks(asio::io_context& io, LinkControl& first)
    : io_(io), state_(std::make_shared<State>()) {
  state_->links.push_back(&first);
  state_->busy.push_back(false);
}

ExecuteLinks::~ExecuteLinks() {
  // A lease that outlives us (a coroutine torn down at shutdown) must not
  // reach a spare that is gone.
  state_->links.resize(1);
}

size_t ExecuteLinks::IdleLink(const std::string& topic) const {
  const State& state = *state_;
  size_t chosen = kNone;
  for (size_t i = 0; i < state.links.size(); ++i) {
    if (state.busy[i]) continue;
    const LinkControl& link = *state.links[i];
    if (link.LinkMode() == 2 && link.LinkTopic == topic) return i;
    if (chosen == kNone) chosen = i;
  }
  return chosen;
}

size_t ExecuteLinks::AddSpare() {
  const LinkControl& first = *state_->links[0];
  spares_.push_back(std::make_unique<LinkControl>(io_, first.link_dir(), first.LinkTimeout));
  state_->links.push_back(spares_.back().get());
  state_->busy.push_back(false);
  return state_->links.size() - 1;
}

asio::awaitable<ExecuteLinks::Lease> ExecuteLinks::Take(const std::string& topic) {
  std::shared_ptr<State> state = state_;
  size_t chosen = IdleLink(topic);
  if (chosen == kNone && state->links.size() < kMaxLinks) chosen = AddSpare();
  if (chosen == kNone) {
    Waiter waiter{std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max()),
                  std::make_shared<size_t>(0)};
    state->waiting.push_back(waiter);
    asio::error_code ignored;
    co_await waiter.wake->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    chosen = *waiter.granted;  // handed over busy
  }
  state->busy[chosen] = true;
  // Spares wait as long as lnkDDE(0) does.
  state->links[chosen]->LinkTimeout = state->links[0]->LinkTimeout;
  co_return Lease(state, chosen);
}

asio::awaitable<void> ExecuteLinks::CloseSpares() {
  // By index: a spare may be added while one is being closed.
  for (size_t i = 0; i < spares_.size(); ++i) co_await spares_[i]->SetLinkMode(0);
}

}  // namespace korvane
