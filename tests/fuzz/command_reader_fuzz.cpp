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
#include <cstdint>
#include <set>
#include <string>

#include "channel/command_reader.h"
#include "core/open_files.h"
#include "core/sessions.h"
#include "fuzz_world.h"

namespace {

using namespace korvane;
using fuzz::Check;
using fuzz::World;

constexpr size_t kMaxInput = 64 * 1024;

World& TheWorld() {
  static World w("[Variables]\r\nPort=8080\r\n",
                 {{"drives/c/export/Sub/", ""}, {"drives/c/import/", ""}, {"drives/c/export/a.txt", "abc"},
                  {"drives/c/www/index.htm", "<html>hi</html>"}, {"sentinel/inner/", ""},
                  {"sentinel/keep.txt", "sentinel"}});
  static bool prepared = (Check(!w.g->FtpMode(), "the gateway is not in HTTP mode"), w.PrepareSlot(), true);
  (void)prepared;
  return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  World& w = TheWorld();
  static const std::set<std::string> outside = w.Outside();
  w.Run(OpenSession(*w.g, 1), "opening the session did not finish");
  std::string rest(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find('\n', start);
    end = end == std::string::npos ? rest.size() : end + 1;
    w.Run(ReadCommandLine(*w.g, 1, rest.substr(start, end - start)),
          "a line's handling did not finish within its limits");
    start = end;
  }
  w.Run(EndSession(*w.g, 1, "fuzz input done", AfterEnd::kNoSweep), "the session's end did not finish");
  Check(w.g->openFiles->OpenCount() == 0, "a file was left open after the session ended");
  Check(w.Outside() == outside, "something was written outside the drives root");
  return 0;
}
