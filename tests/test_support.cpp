#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "app/startup.h"

namespace korvane::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "korvane-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempDir::Write(const std::string& relative, const std::string& content) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

std::string TempDir::Read(const std::string& relative) const {
  std::ifstream in(fs::path(path_) / relative, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TempDir::Exists(const std::string& relative) const { return fs::exists(fs::path(path_) / relative); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  value ? ::setenv(name, value, 1) : ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

bool RunUntil(asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
  return true;
}

void RunToEnd(asio::io_context& io, asio::awaitable<void> operation) {
  RunToEnd(io, [](asio::awaitable<void> op) -> asio::awaitable<bool> {
    co_await std::move(op);
    co_return true;
  }(std::move(operation)));
}

std::string MessageOf(const std::string& line) {
  // date, time, AM/PM, caption, message
  size_t p = 0;
  for (int i = 0; i < 4 && p != std::string::npos; ++i) p = line.find(' ', p + 1);
  return p == std::string::npos ? "" : line.substr(p + 1);
}

GatewayHarness::GatewayHarness(const std::string& ini, const std::string& command_line) {
  if (!ini.empty()) home_.Write("korvane.ini", ini);
  Options o;
  o.home = home_.path();
  o.drives = home_.path() + "/drives";
  o.link_dir = home_.path() + "/links";
  o.bind_address = "127.0.0.1";
  o.bind_port = 0;
  o.command_line = command_line;
  gateway_ = std::make_unique<Gateway>(io_, o, &view);
  gateway_->feed.Subscribe([this](const Change& c) {
    if (c.control == "List1" && c.property == "AddItem") events_.push_back(c.value);
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

void GatewayHarness::RunFor(std::chrono::milliseconds d) {
  auto end = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < end) {
    io_.restart();
    io_.run_for(std::chrono::milliseconds(5));
  }
}

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

void Client::ShutdownSend() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
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
