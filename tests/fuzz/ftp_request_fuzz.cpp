// libFuzzer target: arbitrary command lines through process_FTP_request.
//
// Input: the first byte picks the starting state (bit 0: logged in), the
// rest is split at LF into command lines, each handed to the interpreter on
// slot 1 as the command reader would (without its terminator). The gateway
// runs on a throw-away home whose data waits are limited to a few
// milliseconds, so LIST/RETR/STOR end quickly without a client.
//
// Checked after every line, beyond the sanitizers:
//   - no upload file is left open once the line's handler has finished;
//   - the current directory is empty or begins with "\";
//   - an accepted PORT never leaves a data port of 32768 or more;
//   - nothing is written outside the drives root (checked per input).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/startup.h"
#include "app/wiring.h"
#include "channel/ftp_commands.h"
#include "core/gateway.h"
#include "core/open_files.h"

namespace {

namespace fs = std::filesystem;
using namespace korvane;

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
    std::ofstream(home + "/drives/c/export/a.txt") << "abc";
    std::ofstream(home + "/korvane.ini")
        << "[Variables]\r\nPort=21\r\nFTPConnectLimit=0.005\r\nFTPIdleLimit=0.005\r\n";
    Options o;
    o.home = home;
    o.drives = home + "/drives";
    o.link_dir = home + "/links";
    o.bind_address = "127.0.0.1";
    g = std::make_unique<Gateway>(io, o, &view, GatewayHooks());
    Form_Load(*g);  // no LISTEN: sessions are set up by hand below
    g->Sessions.assign(3, SessionRecord{});
    g->CommandSock(1);
    g->DataSock(1);
  }

  // Everything under home that is not below the drives root.
  size_t OutsideCount() const {
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(home); it != fs::recursive_directory_iterator(); ++it) {
      if (it->path() == fs::path(home + "/drives")) {
        it.disable_recursion_pending();
        continue;
      }
      ++n;
    }
    return n;
  }

  void Run(const std::string& line) {
    bool done = false;
    asio::co_spawn(io, [this, line, &done]() -> asio::awaitable<void> {
      co_await process_FTP_request(*g, 1, line);
      done = true;
    }, asio::detached);
    for (int i = 0; i < 10000 && !done; ++i) {  // a hang, not a slow machine
      io.restart();
      io.run_for(std::chrono::milliseconds(1));
    }
    Check(done, "a command did not finish within its limits");
  }
};

World& TheWorld() {
  static World w;
  return w;
}

void StartSession(World& w, bool logged_in) {
  SessionRecord& r = w.g->Sessions[1];
  r = SessionRecord{};
  if (logged_in) {
    r.username = "fuzz";
    r.n.loggedin = kTrue;
    r.n.dataport = 20;
  }
  w.g->FTPExportDir = "c:\\export";
  w.g->FTPImportDir = "c:\\import";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  World& w = TheWorld();
  static const size_t outside = w.OutsideCount();
  StartSession(w, data[0] & 1);
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\n', start);
    if (end == std::string::npos) end = rest.size();
    std::string line = rest.substr(start, end - start);
    w.Run(line);
    const SessionRecord& r = w.g->Sessions[1];
    Check(w.g->openFiles->OpenCount() == 0, "an upload file was left open");
    Check(r.ftpdir.empty() || r.ftpdir[0] == '\\', "ftpdir does not begin with a backslash");
    if (line.rfind("PORT", 0) == 0 && r.success == kTrue) Check(r.n.dataport < 32768, "PORT kept a high port");
    start = end + 1;
  }
  Check(w.OutsideCount() == outside, "a file appeared outside the drives root");
  return 0;
}
