#include "platform/process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <sstream>

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

// Programs are found by drive path or on PATH; a started program finds its
// arguments, its own process group, the given folder, SIGPIPE at its
// default and an empty standard input; a file that cannot be executed is
// reported and nothing is left running.
TEST(Processes, ResolvesStartsAndWaitsCleanly) {
  TempDir dir;
  Files files(dir.path(), dir.path() + "/drives");
  dir.Write("drives/c/bin/probe.sh",
            "#!/bin/sh\n"
            "echo \"hello $1\"\n"
            "echo \"dir=$(pwd)\"\n"
            "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = \"$$\" ] && echo own-group\n"
            "grep SigIgn /proc/$$/status | cut -f2\n"
            "echo \"stdin=$(wc -c)\"\n");
  ASSERT_EQ(chmod((dir.path() + "/drives/c/bin/probe.sh").c_str(), 0755), 0);
  std::string program = ResolveProgram(files, "C:\\BIN\\PROBE.SH");
  EXPECT_EQ(program, dir.path() + "/drives/c/bin/probe.sh");
  EXPECT_EQ(ResolveProgram(files, "sh"), "/usr/bin/sh");
  EXPECT_EQ(ResolveProgram(files, "no-such-program-here"), "");
  std::signal(SIGPIPE, SIG_IGN);  // as the gateway has it

  asio::io_context io;
  StartResult started = StartProcess({program, "world"}, dir.path(), dir.path() + "/out.txt");
  ASSERT_GT(started.pid, 0);
  int status = -2;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> { status = co_await WaitForExit(io, started.pid); },
                 asio::detached);
  io.run();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_FALSE(ProcessRunning(started.pid));
  std::istringstream out(dir.Read("out.txt"));
  std::string line;
  for (const std::string& expected : {std::string("hello world"), "dir=" + dir.path(), std::string("own-group")}) {
    std::getline(out, line);
    EXPECT_EQ(line, expected);
  }
  std::getline(out, line);
  EXPECT_EQ(std::stoull(line, nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << line;
  std::getline(out, line);
  EXPECT_EQ(line, "stdin=0");

  StartResult missing = StartDetached(io, files, "nothing-by-this-name arg");
  EXPECT_EQ(missing.pid, -1);
  EXPECT_FALSE(missing.text.empty());
  // Children of earlier tests (detached viewers) go first, so that what is
  // left after the refusal is the refusal's.
  test::RunUntil(io, [] { return ::waitpid(-1, nullptr, WNOHANG) == -1; }, std::chrono::seconds(5));
  dir.Write("plain.txt", "not a program");
  StartResult refused = StartProcess({dir.path() + "/plain.txt"});
  EXPECT_EQ(refused.pid, -1);
  EXPECT_EQ(refused.error, EACCES);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no child left behind
}

}  // namespace
}  // namespace korvane
