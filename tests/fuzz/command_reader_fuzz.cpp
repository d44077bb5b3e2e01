// libFuzzer target: arbitrary line sequences through ReadCommandLine in
// HTTP mode.
//
// Input: at most 64 KiB, split at LF into lines that keep their LF (the
// reader gets lines with their terminator); a last piece without LF is
// handed over as it is, as a body's last piece would be. All lines go in
// order to one web session opened on slot 1 and ended after the input.
// Complete requests reach the router, whose answers go to a command socket
// that is not connected. Request heads with huge Content-Length values,
// multipart bodies whose boundary never comes and binary bodies are all
// fair game.
//
// Checked, beyond the sanitizers:
//   - every line's handling finishes within its limits;
//   - no file stays open once the session has ended;
//   - nothing is written outside the drives root: the home's entries
//     beside the drives root, and a sentinel folder among them, are the
//     same before and after every input.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "app/startup.h"
#include "app/wiring.h"
#include "channel/command_reader.h"
#include "core/gateway.h"
#include "core/open_files.h"
#include "core/sessions.h"

namespace {

namespace fs = std::filesystem;
using namespace korvane;

constexpr size_t kMaxInput = 64 * 1024;

class QuietView : public View {
 public:
  void MessageBox(const std::string&) override {}
  void Beep() override {}
};

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct World {
  asio::io_context io;
  QuietView view;
  std::string home;
  std::unique_ptr<Gateway> g;

  World() {
    char pattern[] = "/tmp/korvane-fuzz-XXXXXX";
    home = ::mkdtemp(pattern);
    fs::create_directories(home + "/drives/c/export/Sub");
    fs::create_directories(home + "/drives/c/import");
    fs::create_directories(home + "/drives/c/www");
    std::ofstream(home + "/drives/c/export/a.txt") << "abc";
    std::ofstream(home + "/drives/c/www/index.htm") << "<html>hi</html>";
    fs::create_directories(home + "/sentinel/inner");
    std::ofstream(home + "/sentinel/keep.txt") << "sentinel";
    std::ofstream(home + "/korvane.ini") << "[Variables]\r\nPort=8080\r\n";
    Options o;
    o.home = home;
    o.drives = home + "/drives";
    o.link_dir = home + "/links";
    o.bind_address = "127.0.0.1";
    g = std::make_unique<Gateway>(io, o, &view, GatewayHooks());
    Form_Load(*g);  // no LISTEN: the session is opened by hand below
    Check(!g->FtpMode(), "the gateway is not in HTTP mode");
    g->Sessions.assign(3, SessionRecord{});
    g->CommandSock(1);
    g->DataSock(1);
  }

  // Every path under home that is not below the drives root, with the
  // sizes of the sentinel's files.
  std::set<std::string> Outside() const {
    std::set<std::string> seen;
    for (auto it = fs::recursive_directory_iterator(home); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path() == fs::path(home + "/drives")) {
        it.disable_recursion_pending();
        continue;
      }
      std::string entry = it->path().string();
      if (entry.rfind(home + "/sentinel", 0) == 0 && it->is_regular_file())
        entry += " " + std::to_string(it->file_size());
      seen.insert(entry);
    }
    return seen;
  }

  void Run(asio::awaitable<void> work) {
    bool done = false;
    asio::co_spawn(io, [w = std::move(work), &done]() mutable -> asio::awaitable<void> {
      co_await std::move(w);
      done = true;
    }, asio::detached);
    // One handler at a time, so that a line done at once costs no wait for
    // the timers that stay armed.
    // Generous: this catches a line that never ends, not a slow machine.
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < limit) {
      io.restart();
      io.run_one_for(std::chrono::milliseconds(1));
    }
    Check(done, "a line's handling did not finish within its limits");
  }
};

World& TheWorld() {
  static World w;
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  World& w = TheWorld();
  static const std::set<std::string> outside = w.Outside();
  w.Run(OpenSession(*w.g, 1));
  std::string rest(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find('\n', start);
    end = end == std::string::npos ? rest.size() : end + 1;
    w.Run(ReadCommandLine(*w.g, 1, rest.substr(start, end - start)));
    start = end;
  }
  w.Run(EndSession(*w.g, 1, "fuzz input done", AfterEnd::kNoSweep));
  Check(w.g->openFiles->OpenCount() == 0, "a file was left open after the session ended");
  Check(w.Outside() == outside, "something was written outside the drives root");
  return 0;
}
