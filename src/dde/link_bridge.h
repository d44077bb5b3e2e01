// What the link bridge keeps per gateway besides the link controls: the turn
// on the shared execute link, and which session each notify link waits for.
#pragma once
#include <asio.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/gateway.h"

namespace korvane {

// A first-come, first-served turn for coroutines of one io_context. Whoever
// holds it may use the guarded resource through several waits in a row;
// the others wait their turn without blocking the thread.
class AsyncTurn {
  struct State {
    explicit State(asio::io_context& io) : io(io) {}
    asio::io_context& io;
    bool held = false;
    std::deque<std::shared_ptr<asio::steady_timer>> waiting;
  };

 public:
  // Releases the turn when it goes out of scope. It keeps the state alive,
  // so a coroutine destroyed with its io_context releases nothing freed.
  class Hold {
   public:
    Hold() = default;
    explicit Hold(std::shared_ptr<State> state) : state_(std::move(state)) {}
    Hold(Hold&& other) noexcept = default;
    Hold& operator=(Hold&& other) noexcept;
    ~Hold() { Release(); }
    void Release();

   private:
    std::shared_ptr<State> state_;
  };

  explicit AsyncTurn(asio::io_context& io) : state_(std::make_shared<State>(io)) {}
  asio::awaitable<Hold> Take();

 private:
  std::shared_ptr<State> state_;
};

struct LinkBridge {
  explicit LinkBridge(asio::io_context& io) : executeTurn(io) {}
  ~LinkBridge();

  // lnkDDE(0) is pointed at a topic and then sent a command; both steps
  // happen within one turn so that no other session re-targets it between.
  AsyncTurn executeTurn;

  // Per slot: the generation of the session whose request went out on the
  // slot's notify link (0: none). An answer only reaches that session.
  std::vector<uint64_t> awaiting;

  // Per slot: an overflow file kept apart from the session's upload file,
  // as a host path; removed at the slot's next relay and at shutdown.
  std::vector<std::string> overflowFiles;
};

// The gateway's bridge state, made on first use.
LinkBridge& Bridge(Gateway& g);

// Slot k's notify link waits for an answer to the session of generation gen.
void SetAwaiting(Gateway& g, int k, uint64_t gen);
bool IsAwaiting(Gateway& g, int k, uint64_t gen);

// Connects lnkDDE(k)'s notifications to lnkDDE_LinkNotify (k >= 1); call
// where the control is created.
void WireLinkControl(Gateway& g, int k);

}  // namespace korvane
