#include "platform/process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "test_support.h"

namespace korvane {
namespace {

using test::TempDir;

TEST(SplitCommandLine, BlanksSeparateQuotesGroup) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("calc.exe  c:\\temp\\dde1.tmp"), (V{"calc.exe", "c:\\temp\\dde1.tmp"}));
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\x.exe\" a \"b c\""),
            (V{"C:\\Program Files\\x.exe", "a", "b c"}));
  EXPECT_EQ(SplitCommandLine("a\\\\b \\\"q\\\" \"\""), (V{"a\\\\b", "\"q\"", ""}));
  EXPECT_EQ(SplitCommandLine("   "), V{});
}

TEST(Processes, ResolvesStartsAndWaits) {
  TempDir dir;
  Files files(dir.path(), dir.path() + "/drives");
  dir.Write("drives/c/bin/hello.sh", "#!/bin/sh\necho hello \"$1\"\n");
  ASSERT_EQ(chmod((dir.path() + "/drives/c/bin/hello.sh").c_str(), 0755), 0);
  std::string program = ResolveProgram(files, "C:\\BIN\\HELLO.SH");
  EXPECT_EQ(program, dir.path() + "/drives/c/bin/hello.sh");
  EXPECT_EQ(ResolveProgram(files, "sh"), "/usr/bin/sh");
  EXPECT_EQ(ResolveProgram(files, "no-such-program-here"), "");

  asio::io_context io;
  std::string out = dir.path() + "/out.txt";
  StartResult started = StartProcess({program, "world"}, "", out);
  ASSERT_GT(started.pid, 0);
  int status = -2;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> { status = co_await WaitForExit(io, started.pid); },
                 asio::detached);
  io.run();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(dir.Read("out.txt"), "hello world\n");
  EXPECT_FALSE(ProcessRunning(started.pid));

  StartResult missing = StartDetached(io, files, "nothing-by-this-name arg");
  EXPECT_EQ(missing.pid, -1);
  EXPECT_FALSE(missing.text.empty());
}

}  // namespace
}  // namespace korvane
