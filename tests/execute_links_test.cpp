// The execute links in this process: a gateway and a served program written
// by hand (so that it can hold back an acknowledgement) share one io_context
// and talk over a real Unix socket.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "dde/execute_links.h"
#include "dde/link_bridge.h"
#include "dde/link_manager.h"
#include "platform/link_control.h"
#include "test_support.h"

namespace korvane::test {
namespace {

using Protocol = asio::local::stream_protocol;

// Application "slow", topic "t". Acknowledges an execute at once, unless
// its command is to be held: then only once it is let go.
class SlowProgram {
 public:
  SlowProgram(GatewayHarness& h, std::function<bool(const std::string&)> hold)
      : io_(h.io()), hold_(std::move(hold)), acceptor_(io_, Endpoint(h.g().opts.link_dir)) {
    asio::co_spawn(io_, Accept(), asio::detached);
  }

  static Protocol::endpoint Endpoint(const std::string& link_dir) {
    std::filesystem::create_directories(link_dir);
    return Protocol::endpoint(link_dir + "/slow");
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
      auto socket = std::make_shared<Protocol::socket>(co_await acceptor_.async_accept(asio::use_awaitable));
      ++conversations;
      asio::co_spawn(io_, Serve(socket), asio::detached);
    }
  }

  asio::awaitable<void> Serve(std::shared_ptr<Protocol::socket> socket) {
    std::string in;
    for (;;) {
      std::size_t end = co_await asio::async_read_until(*socket, asio::dynamic_buffer(in), '\n', asio::use_awaitable);
      std::string line = in.substr(0, end - 1);
      in.erase(0, end);
      if (line.rfind("EXECUTE ", 0) == 0) {
        std::size_t size = std::stoul(line.substr(8));
        if (in.size() < size)
          co_await asio::async_read(*socket, asio::dynamic_buffer(in), asio::transfer_exactly(size - in.size()),
                                    asio::use_awaitable);
        std::string command = in.substr(0, size);
        in.erase(0, size);
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
      co_await asio::async_write(*socket, asio::buffer(std::string("OK\n")), asio::use_awaitable);
    }
  }

  asio::io_context& io_;
  std::function<bool(const std::string&)> hold_;
  bool let_go_ = false;
  Protocol::acceptor acceptor_;
  std::vector<std::shared_ptr<asio::steady_timer>> gates_;
};

struct Outcome {
  bool done = false;
  LinkError err;
};

void StartExecute(GatewayHarness& h, const std::string& command, Outcome& out) {
  asio::co_spawn(h.io(), ExecuteOnTopic(h.g(), "slow|t", command, out.err),
                 [&out](std::exception_ptr) { out.done = true; });
}

TEST(ExecuteLinks, AnAcknowledgementHeldBackDelaysOnlyItsOwnSession) {
  GatewayHarness h;
  SlowProgram program(h, [](const std::string& command) { return command == "1,first"; });
  Outcome first, second, third;
  StartExecute(h, "1,first", first);
  StartExecute(h, "2,second", second);
  ASSERT_TRUE(h.RunUntil([&] { return second.done; }));
  StartExecute(h, "3,third", third);
  ASSERT_TRUE(h.RunUntil([&] { return third.done; }));
  EXPECT_FALSE(first.done);
  EXPECT_EQ(second.err.code, 0);
  EXPECT_EQ(third.err.code, 0);
  // lnkDDE(0) carries the held command; one spare serves the others in turn.
  EXPECT_EQ(program.conversations, 2);
  EXPECT_EQ(h.g().lnkDDE[0]->LinkTopic, "slow|t");

  program.LetGo();
  ASSERT_TRUE(h.RunUntil([&] { return first.done; }));
  EXPECT_EQ(first.err.code, 0);
  EXPECT_EQ(program.commands, (std::vector<std::string>{"1,first", "2,second", "3,third"}));
}

// A program that acknowledges nothing gets no more conversations at once
// than the limit; the sessions beyond it wait for a link that comes free
// (when an earlier command times out, its conversation is given up) and
// then get their own time-out on a fresh conversation.
TEST(ExecuteLinks, AProgramThatAcknowledgesNothingGetsAtMostTheLimitAtOnce) {
  GatewayHarness h;
  h.g().lnkDDE[0]->LinkTimeout = 2;  // tenths of a second
  SlowProgram program(h, [](const std::string&) { return true; });
  std::vector<Outcome> outcomes(ExecuteLinks::kMaxLinks + 2);
  for (size_t i = 0; i < outcomes.size(); ++i) StartExecute(h, std::to_string(i + 1) + ",x", outcomes[i]);
  ASSERT_TRUE(h.RunUntil([&] { return outcomes[ExecuteLinks::kMaxLinks - 1].done; }));
  EXPECT_FALSE(outcomes[ExecuteLinks::kMaxLinks].done);
  ASSERT_TRUE(h.RunUntil([&] { return outcomes.back().done; }));
  for (const Outcome& o : outcomes) EXPECT_EQ(o.err.code, kLinkTimeout);
  // The last two went out on conversations of their own, not behind the
  // commands the program never acknowledged.
  EXPECT_EQ(program.conversations, static_cast<int>(outcomes.size()));
  EXPECT_EQ(program.commands.size(), outcomes.size());
  program.LetGo();
}

}  // namespace
}  // namespace korvane::test
