// Shared test support: temporary folders, an in-process gateway on a fresh
// home, blocking loopback clients run from other threads, and coroutines run
// to their end.
#pragma once
#include <asio.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/gateway.h"

namespace korvane::test {

using namespace std::chrono_literals;

// A fresh folder, removed at destruction; short enough for link sockets below it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  void Write(const std::string& relative, const std::string& content) const {
    std::filesystem::path p = std::filesystem::path(path_) / relative;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  std::string Read(const std::string& relative) const {
    std::ifstream in(std::filesystem::path(path_) / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool Exists(const std::string& relative) const { return std::filesystem::exists(std::filesystem::path(path_) / relative); }

 private:
  std::string path_;
};

// Sets (or, with nullptr, removes) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Runs io in short slices until done() holds or the limit passes.
inline bool RunUntil(asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs a coroutine on io to its end; returns its result or throws what it threw.
template <class T>
T RunToEnd(asio::io_context& io, asio::awaitable<T> operation) {
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result = std::move(value);
  });
  if (!RunUntil(io, [&] { return result.has_value() || failure; }))
    throw std::runtime_error("operation did not finish");
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}
inline void RunToEnd(asio::io_context& io, asio::awaitable<void> operation) {
  RunToEnd(io, [](asio::awaitable<void> op) -> asio::awaitable<bool> {
    co_await std::move(op);
    co_return true;
  }(std::move(operation)));
}

// Records message boxes (and their titles) and counts beeps.
class RecordingView : public View {
 public:
  void MessageBox(const std::string& text) override { boxes.push_back(text); }
  void ShowMessage(const std::string& title, const std::string& text) override {
    titles.push_back(title);
    boxes.push_back(text);
  }
  void Beep() override { ++beeps; }
  std::vector<std::string> boxes, titles;
  int beeps = 0;
};

// Options for a gateway on home (drives and links below it), bound to an
// ephemeral loopback port.
Options HomeOptions(const std::string& home);

// A gateway on a temporary home, listening on an ephemeral loopback port.
class GatewayHarness {
 public:
  // ini: korvane.ini ("" for none); command_line: as typed after the program name.
  explicit GatewayHarness(const std::string& ini = "", const std::string& command_line = "LISTEN");
  ~GatewayHarness();

  Gateway& g() { return *gateway_; }
  asio::io_context& io() { return io_; }
  const TempDir& home() const { return home_; }
  int port();  // the listener's actual port

  // Runs the gateway's loop until pred is true or the limit passes.
  bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s);
  void RunFor(std::chrono::milliseconds d);
  // Runs a coroutine on the gateway's loop to its end.
  template <class T>
  T Finish(asio::awaitable<T> work) {
    return RunToEnd(io_, std::move(work));
  }

  // The event log lines (List1 may be cleared; this keeps every line).
  const std::vector<std::string>& events() const { return events_; }
  void ForgetEvents() { std::vector<std::string>().swap(events_); }  // and their memory
  int CountEvents(const std::string& message) const;  // logged messages that read so
  bool SawEvent(const std::string& message) const { return CountEvents(message) > 0; }

  RecordingView view;

 private:
  TempDir home_;
  asio::io_context io_;
  std::unique_ptr<Gateway> gateway_;
  std::vector<std::string> events_;
};

// One end of a link conversation spoken by hand: lines, the commands of
// EXECUTE messages (a header line, then that many bytes), and writes.
struct LinkPeer {
  explicit LinkPeer(asio::local::stream_protocol::socket s) : socket(std::move(s)) {}
  asio::awaitable<std::string> ReadLine() {
    std::size_t end =
        co_await asio::async_read_until(socket, asio::dynamic_buffer(inbuf), '\n', asio::use_awaitable);
    std::string line = inbuf.substr(0, end - 1);
    inbuf.erase(0, end);
    co_return line;
  }
  // The command of the EXECUTE message whose header line is header.
  asio::awaitable<std::string> ReadCommand(const std::string& header) {
    std::size_t size = std::stoul(header.substr(8));
    if (inbuf.size() < size)
      co_await asio::async_read(socket, asio::dynamic_buffer(inbuf), asio::transfer_exactly(size - inbuf.size()),
                                asio::use_awaitable);
    std::string command = inbuf.substr(0, size);
    inbuf.erase(0, size);
    co_return command;
  }
  asio::awaitable<void> Write(std::string bytes) {
    co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
  }
  asio::local::stream_protocol::socket socket;
  std::string inbuf;
};

// Application "slow", topic "t". Acknowledges an execute at once, unless
// its command is to be held: then only once it is let go.
class SlowProgram {
 public:
  SlowProgram(GatewayHarness& h, std::function<bool(const std::string&)> hold)
      : io_(h.io()), hold_(std::move(hold)), acceptor_(io_, Endpoint(h.g().opts.link_dir)) {
    asio::co_spawn(io_, Accept(), asio::detached);
  }

  static asio::local::stream_protocol::endpoint Endpoint(const std::string& link_dir) {
    std::filesystem::create_directories(link_dir);
    return asio::local::stream_protocol::endpoint(link_dir + "/slow");
  }

  void LetGo() {
    for (auto& gate : gates_) gate->cancel();
    let_go_ = true;
  }

  int conversations = 0;
  std::vector<std::string> commands;  // in arrival order

 private:
  asio::awaitable<void> Accept() {
    for (;;) {
      auto peer = std::make_shared<LinkPeer>(co_await acceptor_.async_accept(asio::use_awaitable));
      ++conversations;
      asio::co_spawn(io_, Serve(peer), asio::detached);
    }
  }

  asio::awaitable<void> Serve(std::shared_ptr<LinkPeer> peer) {
    for (;;) {
      std::string line = co_await peer->ReadLine();
      if (line.rfind("EXECUTE ", 0) == 0) {
        std::string command = co_await peer->ReadCommand(line);
        commands.push_back(command);
        if (hold_(command) && !let_go_) {
          auto gate = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
          gates_.push_back(gate);
          asio::error_code ignored;
          co_await gate->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
      } else if (line == "BYE") {
        co_return;
      }
      co_await peer->Write("OK\n");
    }
  }

  asio::io_context& io_;
  std::function<bool(const std::string&)> hold_;
  bool let_go_ = false;
  asio::local::stream_protocol::acceptor acceptor_;
  std::vector<std::shared_ptr<asio::steady_timer>> gates_;
};

// A blocking loopback client, run from a thread other than the gateway's.
class Client {
 public:
  explicit Client(int port);
  void Send(const std::string& data);
  // Reads until the peer closes or the limit passes.
  std::string ReadAll(std::chrono::milliseconds limit = 10s);
  // Reads until text holds n bytes or the peer closes.
  std::string ReadAtLeast(size_t n, std::chrono::milliseconds limit = 10s);
  void Close();
  ~Client();

 private:
  int fd_ = -1;
};

// Runs fn on its own thread while the harness runs the gateway loop, and
// returns once fn has finished (or the limit passed: then fails the test).
void WithClient(GatewayHarness& h, const std::function<void()>& fn, std::chrono::milliseconds limit = 20s);

// Connects a client and runs the loop until its session holds slot.
std::unique_ptr<Client> ConnectedClient(GatewayHarness& h, int slot = 1);

// The message part of a log line (after date, time and the address caption).
std::string MessageOf(const std::string& log_line);

// Heap bytes in use. A sanitized build keeps freed memory in quarantine,
// which malloc's own figures would count; its allocator's count does not.
long long HeapInUse();

}  // namespace korvane::test
