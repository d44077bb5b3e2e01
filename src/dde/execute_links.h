// The links that carry execute commands to served programs: lnkDDE(0) and,
// while it is busy with another session's command, spare links of the same
// kind. A link is pointed at a topic and then sent a command within one
// lease, so no other session re-targets it in between; but one program that
// is slow to acknowledge no longer holds up every other session's request.
#pragma once
#include <asio.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

class LinkControl;

class ExecuteLinks {
  struct Waiter {
    std::shared_ptr<asio::steady_timer> wake;
    std::shared_ptr<size_t> granted;  // the link handed over
  };
  struct State {
    std::vector<LinkControl*> links;  // [0] is lnkDDE(0), then the spares
    std::vector<bool> busy;
    std::deque<Waiter> waiting;
  };

 public:
  // lnkDDE(0) and at most seven spares: enough for the requests a program
  // acknowledges at once, few enough that a stalled program never holds
  // more than eight conversations open (a link that timed out is closed
  // and opened afresh for its next command).
  static constexpr size_t kMaxLinks = 8;

  // One link, for as long as it lives; released to the next in line.
  class Lease {
   public:
    Lease() = default;
    Lease(std::shared_ptr<State> state, size_t index) : state_(std::move(state)), index_(index) {}
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&& other) noexcept;
    ~Lease() { Release(); }
    LinkControl& link() const { return *state_->links[index_]; }
    void Release();

   private:
    std::shared_ptr<State> state_;  // kept alive: a lease may outlive the owner
    size_t index_ = 0;
  };

  ExecuteLinks(asio::io_context& io, LinkControl& first);
  ~ExecuteLinks();
  ExecuteLinks(const ExecuteLinks&) = delete;
  ExecuteLinks& operator=(const ExecuteLinks&) = delete;

  // An idle link, preferring one already open on topic, then lnkDDE(0);
  // else a new spare while there may be more; else the first link that
  // comes free (first come, first served).
  asio::awaitable<Lease> Take(const std::string& topic);

  // Closes the spares' conversations (the port is being closed).
  asio::awaitable<void> CloseSpares();

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  // An idle link (one open on topic first, else the lowest), or kNone.
  size_t IdleLink(const std::string& topic) const;
  size_t AddSpare();

  asio::io_context& io_;
  std::shared_ptr<State> state_;
  std::vector<std::unique_ptr<LinkControl>> spares_;
};

}  // namespace korvane
