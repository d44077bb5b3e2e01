// Shared test support: a gateway in this process on a fresh home folder,
// run on the test thread, and small blocking clients that talk to it from
// other threads over real loopback sockets.
#pragma once
#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/gateway.h"

namespace korvane::test {

// A fresh, empty folder under the system's temporary folder, removed at
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  void Write(const std::string& relative, const std::string& content) const;
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;

 private:
  std::string path_;
};

// Records message boxes and counts beeps.
class RecordingView : public View {
 public:
  void MessageBox(const std::string& text) override { boxes.push_back(text); }
  void Beep() override { ++beeps; }
  std::vector<std::string> boxes;
  int beeps = 0;
};

// A gateway on a temporary home, listening on an ephemeral loopback port.
class GatewayHarness {
 public:
  // ini: the korvane.ini content ("" for none). command_line: as typed
  // after the program name.
  explicit GatewayHarness(const std::string& ini = "", const std::string& command_line = "LISTEN");
  ~GatewayHarness();

  Gateway& g() { return *gateway_; }
  asio::io_context& io() { return io_; }
  const TempDir& home() const { return home_; }
  int port();  // the listener's actual port

  // Runs the gateway's loop until pred is true or the limit passes.
  bool RunUntil(const std::function<bool()>& pred,
                std::chrono::milliseconds limit = std::chrono::seconds(10));
  void RunFor(std::chrono::milliseconds d);

  // The event log lines (List1 may be cleared; this keeps every line).
  const std::vector<std::string>& events() const { return events_; }
  bool SawEvent(const std::string& suffix) const;  // a logged message ending so

  RecordingView view;

 private:
  TempDir home_;
  asio::io_context io_;
  std::unique_ptr<Gateway> gateway_;
  std::vector<std::string> events_;
};

// A blocking loopback client, run from a thread other than the gateway's.
class Client {
 public:
  explicit Client(int port);
  void Send(const std::string& data);
  // Reads until the peer closes or the limit passes.
  std::string ReadAll(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Reads until text holds n bytes or the peer closes.
  std::string ReadAtLeast(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
  void ShutdownSend();
  void Close();
  ~Client();

 private:
  int fd_ = -1;
};

// Runs fn on its own thread while the harness runs the gateway loop, and
// returns once fn has finished (or the limit passed: then fails the test).
void WithClient(GatewayHarness& h, const std::function<void()>& fn,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// The message part of a log line (after date, time and the address caption).
std::string MessageOf(const std::string& log_line);

}  // namespace korvane::test
