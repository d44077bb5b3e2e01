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
#include <cstdint>
#include <set>
#include <string>

#include "channel/ftp_commands.h"
#include "core/open_files.h"
#include "fuzz_world.h"

namespace {

using namespace korvane;
using fuzz::Check;
using fuzz::World;

World& TheWorld() {
  static World w("[Variables]\r\nPort=21\r\nFTPConnectLimit=0.005\r\nFTPIdleLimit=0.005\r\n",
                 {{"drives/c/export/Sub/", ""}, {"drives/c/import/", ""}, {"drives/c/export/a.txt", "abc"}});
  static bool prepared = (w.PrepareSlot(), true);
  (void)prepared;
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
  static const std::set<std::string> outside = w.Outside();
  StartSession(w, data[0] & 1);
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\n', start);
    if (end == std::string::npos) end = rest.size();
    std::string line = rest.substr(start, end - start);
    w.Run(process_FTP_request(*w.g, 1, line), "a command did not finish within its limits");
    const SessionRecord& r = w.g->Sessions[1];
    Check(w.g->openFiles->OpenCount() == 0, "an upload file was left open");
    Check(r.ftpdir.empty() || r.ftpdir[0] == '\\', "ftpdir does not begin with a backslash");
    if (line.rfind("PORT", 0) == 0 && r.success == kTrue) Check(r.n.dataport < 32768, "PORT kept a high port");
    start = end + 1;
  }
  Check(w.Outside() == outside, "a file appeared outside the drives root");
  return 0;
}
