#include "test_support.h"

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's count of live heap bytes (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "app/startup.h"
#include "app/wiring.h"

namespace korvane::test {

long long HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
  return static_cast<long long>(mallinfo2().uordblks);
#endif
}

std::string MessageOf(const std::string& line) {
  // date, time, AM/PM, caption, message
  size_t p = 0;
  for (int i = 0; i < 4 && p != std::string::npos; ++i) p = line.find(' ', p + 1);
  return p == std::string::npos ? "" : line.substr(p + 1);
}

Options HomeOptions(const std::string& home) {
  Options o;
  o.home = home;
  o.drives = home + "/drives";
  o.link_dir = home + "/links";
  o.bind_address = "127.0.0.1";
  o.bind_port = 0;
  return o;
}

GatewayHarness::GatewayHarness(const std::string& ini, const std::string& command_line) {
  // As the gateway's main has it: sendfile to a client that has reset
  // raises SIGPIPE, having no MSG_NOSIGNAL.
  std::signal(SIGPIPE, SIG_IGN);
  if (!ini.empty()) home_.Write("korvane.ini", ini);
  Options o = HomeOptions(home_.path());
  o.command_line = command_line;
  gateway_ = std::make_unique<Gateway>(io_, o, &view, GatewayHooks());
  gateway_->feed.Subscribe([this](const ChangeView& c) {
    if (c.control == "List1" && c.property == "AddItem") events_.emplace_back(c.value);
  });
  Form_Load(*gateway_);
}

// The gateway goes first, while its io_context still exists; handlers still
// pending are then destroyed with the io_context, never run.
GatewayHarness::~GatewayHarness() { gateway_.reset(); }

int GatewayHarness::port() { return gateway_->CommandSock(0).LocalPortNow(); }

bool GatewayHarness::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  return test::RunUntil(io_, pred, limit);
}

void GatewayHarness::RunFor(std::chrono::milliseconds d) { test::RunUntil(io_, [] { return false; }, d); }

int GatewayHarness::CountEvents(const std::string& message) const {
  int n = 0;
  for (const auto& line : events_) n += MessageOf(line) == message;
  return n;
}

Client::Client(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Client::Send(const std::string& data) {
  size_t off = 0;
  while (fd_ >= 0 && off < data.size()) {
    ssize_t n = ::send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

std::string Client::ReadAtLeast(size_t n, std::chrono::milliseconds limit) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + limit;
  while (fd_ >= 0 && out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

std::string Client::ReadAll(std::chrono::milliseconds limit) { return ReadAtLeast(SIZE_MAX, limit); }

void WithClient(GatewayHarness& h, const std::function<void()>& fn, std::chrono::milliseconds limit) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    fn();
    done = true;
  });
  bool finished = h.RunUntil([&] { return done.load(); }, limit);
  t.join();
  EXPECT_TRUE(finished) << "client did not finish in time";
}

std::unique_ptr<Client> ConnectedClient(GatewayHarness& h, int slot) {
  auto c = std::make_unique<Client>(h.port());
  EXPECT_TRUE(h.RunUntil([&] { return h.g().CommandConnected(slot); }));
  return c;
}

}  // namespace korvane::test
