// The execute links in this process: a gateway and a served program written
// by hand (SlowProgram, so that it can hold back an acknowledgement) share
// one io_context and talk over a real Unix socket.
#include <gtest/gtest.h>

#include "dde/execute_links.h"
#include "dde/link_bridge.h"
#include "dde/link_manager.h"
#include "platform/link_control.h"
#include "test_support.h"

namespace korvane::test {
namespace {

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
