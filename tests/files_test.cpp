// The files and process layers.
#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <regex>
#include <sstream>
#include <tuple>

#include "core/open_files.h"
#include "platform/event_pass.h"
#include "platform/process.h"
#include "test_support.h"

namespace korvane::test {
namespace {

// A files layer over a fresh home with drive C: below it.
struct FilesTest : ::testing::Test {
  TempDir dir;
  Files f{dir.path(), dir.path() + "/drives"};
  std::string Host(const std::string& relative) { return dir.path() + "/" + relative; }
  std::string Read(const std::string& name) {
    std::string data;
    EXPECT_TRUE(f.ReadAll(name, data)) << name;
    return data;
  }
};

// Names are found without regard to case; where names differ only in case,
// the one as given wins, then the lower-case one. New components keep the
// case they are given, and ".." never climbs above a drive root.
TEST_F(FilesTest, MapsDrivesAndFindsNamesWithoutCase) {
  dir.Write("drives/c/Docs/Page.htm", "page");
  dir.Write("drives/c/Export/doc.txt", "lower");
  dir.Write("drives/c/Export/DOC.txt", "mixed");
  dir.Write("elsewhere/e.txt", "e");
  dir.Write("home.ini", "h");
  f.MapDrive('E', dir.path() + "/elsewhere");
  for (auto [name, host] : {std::pair{"C:\\DOCS\\PAGE.HTM", "drives/c/Docs/Page.htm"},
                            {"c:/docs/page.htm", "drives/c/Docs/Page.htm"},
                            {"e:\\E.TXT", "elsewhere/e.txt"},
                            {"HOME.INI", "home.ini"},
                            {".\\home.ini", "home.ini"},
                            {"c:\\docs\\New.TXT", "drives/c/Docs/New.TXT"},
                            {"C:\\EXPORT\\DOC.txt", "drives/c/Export/DOC.txt"},
                            {"C:\\Export\\DOC.TXT", "drives/c/Export/doc.txt"},
                            {"..\\..\\x", "x"},
                            {"c:\\a\\..\\b", "drives/c/b"}})
    EXPECT_EQ(f.Host(name), Host(host)) << name;
  for (const char* hostile : {"c:\\..\\..\\etc\\passwd", "c:/../../etc/passwd", "C:\\a\\..\\..\\..\\etc\\passwd",
                              "\\..\\..\\etc\\passwd", "c:\\export\\..\\..\\..\\..\\etc\\passwd"})
    EXPECT_EQ(f.Host(hostile).rfind(Host("drives/c/"), 0), 0u) << hostile << " -> " << f.Host(hostile);

  EXPECT_EQ(Read("C:\\docs\\page.HTM"), "page");
  EXPECT_EQ(f.Length("c:\\docs\\none.htm"), -1);
  FileInfo info;
  ASSERT_TRUE(f.Stat("c:\\export\\Doc.Txt", info));
  EXPECT_EQ(std::tuple(info.host, info.is_file, info.size), std::make_tuple(Host("drives/c/Export/doc.txt"), true, 5));
  EXPECT_FALSE(f.Stat("c:\\export\\none.txt", info));
  EXPECT_EQ(info.host, Host("drives/c/Export/none.txt"));
}

// The gateway's own temporary files are removed by the name they were made
// under; a missing one is not searched for in another case.
TEST_F(FilesTest, RemovesMadeFilesByTheirExactName) {
  dir.Write("drives/c/temp/~dd1A.tmp", "t");
  dir.Write("drives/c/temp/~DD2B.TMP", "u");
  EXPECT_TRUE(f.RemoveMade("C:\\temp\\~dd1A.tmp"));
  EXPECT_FALSE(dir.Exists("drives/c/temp/~dd1A.tmp"));
  EXPECT_FALSE(f.RemoveMade("C:\\temp\\~dd1A.tmp"));
  EXPECT_FALSE(f.RemoveMade("C:\\temp\\~dd2b.tmp"));
  EXPECT_TRUE(dir.Exists("drives/c/temp/~DD2B.TMP"));
  EXPECT_TRUE(f.RemoveMade("C:\\TEMP\\~DD2B.TMP"));  // a folder named in another case is found
  EXPECT_FALSE(dir.Exists("drives/c/temp/~DD2B.TMP"));
}

// A file written or copied over a longer one holds exactly the new bytes,
// and a copy onto itself keeps them.
TEST_F(FilesTest, ReplacesContentExactly) {
  dir.Write("drives/c/temp/long.txt", std::string(5000, 'x'));
  dir.Write("drives/c/temp/short.txt", "abc");
  ASSERT_TRUE(f.WriteAll("c:\\temp\\long.txt", "new"));
  EXPECT_EQ(Read("c:\\temp\\long.txt"), "new");
  dir.Write("drives/c/temp/long.txt", std::string(5000, 'y'));
  ASSERT_TRUE(f.Copy("c:\\temp\\short.txt", "c:\\temp\\long.txt"));
  EXPECT_EQ(Read("c:\\temp\\long.txt"), "abc");
  ASSERT_TRUE(f.Copy("c:\\temp\\short.txt", "c:\\temp\\short.txt"));
  EXPECT_EQ(Read("c:\\temp\\short.txt"), "abc");
  ASSERT_TRUE(f.WriteAll("c:\\temp\\fresh.txt", "made"));
  // Placing a file replaces the one found without case, under its own name.
  dir.Write("drives/c/temp/Old.TXT", "old, longer than the new");
  ASSERT_TRUE(f.Place("c:\\temp\\fresh.txt", "c:\\temp\\old.txt"));
  EXPECT_EQ(dir.Read("drives/c/temp/Old.TXT"), "made");
  EXPECT_FALSE(f.Exists("c:\\temp\\fresh.txt"));
  EXPECT_FALSE(f.Place("c:\\temp\\fresh.txt", "c:\\temp\\old.txt"));
}

// Within one pass of the loop a look is reused, but never past a change
// the gateway makes itself, by this class or through its open files; an
// outside change is seen from the next pass.
TEST_F(FilesTest, KeepsLooksForOnePassOnlyUntilTheGatewayWrites) {
  dir.Write("drives/c/a.txt", "12");
  OpenFiles open;
  asio::io_context io;
  std::vector<int64_t> seen;
  asio::post(io, [&] {
    seen.push_back(f.Length("C:\\A.TXT"));
    dir.Write("drives/c/a.txt", "1234");  // outside the gateway
    seen.push_back(f.Length("c:\\a.txt"));
    EXPECT_TRUE(f.WriteAll("c:\\a.txt", "abc"));
    seen.push_back(f.Length("c:\\a.txt"));
    ASSERT_TRUE(open.OpenForWriting(1, f.Open("c:\\a.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644)));
    seen.push_back(f.Length("c:\\a.txt"));
    open.Write(1, "12345");
    open.Close(1);
    seen.push_back(f.Length("c:\\a.txt"));
    dir.Write("drives/c/a.txt", "1234567");
    asio::post(io, [&] { seen.push_back(f.Length("c:\\a.txt")); });
  });
  RunCountingPasses(io);
  EXPECT_EQ(seen, (std::vector<int64_t>{2, 2, 3, 0, 5, 7}));
}

TEST_F(FilesTest, MakesTempNames) {
  ASSERT_TRUE(f.MakeDirs("C:\\temp"));
  std::string a = f.TempName("C:\\temp", "~dde");
  EXPECT_TRUE(std::regex_match(a, std::regex(R"(C:\\temp\\~dd[0-9A-F]{1,4}\.tmp)"))) << a;
  EXPECT_NE(a, f.TempName("C:\\temp\\", "~dde"));
  EXPECT_EQ(f.Length(a), 0);
  EXPECT_EQ(f.TempName("C:\\no such folder", "~dde"), "");
}

// Someone else may delete the home and a drive's root and make them again
// meanwhile; opens follow the name.
TEST_F(FilesTest, OpensThroughADrivesRootAndHomeMadeAgain) {
  for (const std::string text : {"first", "second"}) {
    std::filesystem::remove_all(dir.path());
    dir.Write("drives/c/a.txt", text);
    dir.Write("notes.txt", text);
    EXPECT_EQ(Read("c:\\a.txt"), text);
    EXPECT_EQ(Read("notes.txt"), text);
  }
}

TEST(SplitCommandLine, BlanksSeparateQuotesGroup) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\x.exe\" a \"b c\""),
            (V{"C:\\Program Files\\x.exe", "a", "b c"}));
  EXPECT_EQ(SplitCommandLine("a\\\\b \\\"q\\\" \"\""), (V{"a\\\\b", "\"q\"", ""}));
  EXPECT_EQ(SplitCommandLine("   "), V{});
}

// Programs are found by drive path or on PATH; a started program finds its
// arguments, its own process group, the given folder, SIGPIPE at its
// default, an empty standard input and none of our sockets; a file that
// cannot be executed is reported and nothing is left running.
TEST(Processes, ResolvesStartsAndWaitsCleanly) {
  TempDir dir;
  Files files(dir.path(), dir.path() + "/drives");
  dir.Write("drives/c/bin/probe.sh",
            "#!/bin/sh\n"
            "echo \"hello $1\"\n"
            "echo \"dir=$(pwd)\"\n"
            "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = \"$$\" ] && echo own-group\n"
            "grep SigIgn /proc/$$/status | cut -f2\n"
            "echo \"stdin=$(wc -c)\"\n"
            "echo \"sockets=$(ls -l /proc/$$/fd | grep -c socket:)\"\n");
  ASSERT_EQ(chmod((dir.path() + "/drives/c/bin/probe.sh").c_str(), 0755), 0);
  std::string program = ResolveProgram(files, "C:\\BIN\\PROBE.SH");
  EXPECT_EQ(program, dir.path() + "/drives/c/bin/probe.sh");
  EXPECT_EQ(ResolveProgram(files, "sh"), "/usr/bin/sh");
  EXPECT_EQ(ResolveProgram(files, "no-such-program-here"), "");
  std::signal(SIGPIPE, SIG_IGN);  // as the gateway has it

  asio::io_context io;
  // A listening socket, as the gateway has one while it starts programs.
  asio::ip::tcp::acceptor listener(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  StartResult started = StartProcess({program, "world"}, dir.path(), dir.path() + "/out.txt");
  ASSERT_GT(started.pid, 0);
  int status = -2;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> { status = co_await WaitForExit(io, started.pid); },
                 asio::detached);
  io.run();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_FALSE(ProcessRunning(started.pid));
  std::istringstream out(dir.Read("out.txt"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(std::stoull(lines[3], nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << lines[3];  // ignored signals
  lines.erase(lines.begin() + 3);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"hello world", "dir=" + dir.path(), "own-group", "stdin=0", "sockets=0"}));

  StartResult missing = StartDetached(io, files, "nothing-by-this-name arg");
  EXPECT_EQ(missing.pid, -1);
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
}  // namespace korvane::test
