// What the libFuzzer targets share: the invariant check, and a gateway on a
// throw-away home that runs without listening, with its sessions set up by
// hand.
#pragma once
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "app/wiring.h"
#include "core/gateway.h"

namespace korvane::fuzz {

inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

class QuietView : public View {
 public:
  void MessageBox(const std::string&) override {}
  void Beep() override {}
};

struct World {
  asio::io_context io;
  QuietView view;
  std::string home;
  std::unique_ptr<Gateway> g;

  // files: (name below the home, content); a name ending in "/" is a folder.
  // ini becomes korvane.ini unless it is empty.
  World(const std::string& ini, const std::vector<std::pair<std::string, std::string>>& files) {
    char pattern[] = "/tmp/korvane-fuzz-XXXXXX";
    home = ::mkdtemp(pattern);
    std::filesystem::create_directories(home + "/drives/c");
    for (const auto& [name, content] : files) {
      std::filesystem::path p = home + "/" + name;
      std::filesystem::create_directories(name.back() == '/' ? p : p.parent_path());
      if (name.back() != '/') std::ofstream(p) << content;
    }
    if (!ini.empty()) std::ofstream(home + "/korvane.ini") << ini;
    Options o;
    o.home = home;
    o.drives = home + "/drives";
    o.link_dir = home + "/links";
    o.bind_address = "127.0.0.1";
    g = std::make_unique<Gateway>(io, o, &view, GatewayHooks());
    Form_Load(*g);  // no LISTEN
  }

  // Slot 1 with its sockets, for sessions opened by hand.
  void PrepareSlot() {
    g->Sessions.assign(3, SessionRecord{});
    g->CommandSock(1);
    g->DataSock(1);
  }

  // Every path under home that is not below the drives root, with the
  // sizes of the files in its folder "sentinel".
  std::set<std::string> Outside() const {
    std::set<std::string> seen;
    for (auto it = std::filesystem::recursive_directory_iterator(home);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
      if (it->path() == std::filesystem::path(home + "/drives")) {
        it.disable_recursion_pending();
        continue;
      }
      std::string entry = it->path().string();
      if (entry.rfind(home + "/sentinel/", 0) == 0 && it->is_regular_file())
        entry += " " + std::to_string(it->file_size());
      seen.insert(entry);
    }
    return seen;
  }

  // Runs work to its end, one handler at a time, so that work done at once
  // costs no wait for the timers that stay armed. The limit is generous: it
  // catches work that never ends, not a slow machine.
  void Run(asio::awaitable<void> work, const char* what) {
    bool done = false;
    asio::co_spawn(io, [w = std::move(work), &done]() mutable -> asio::awaitable<void> {
      co_await std::move(w);
      done = true;
    }, asio::detached);
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < limit) {
      io.restart();
      io.run_one_for(std::chrono::milliseconds(1));
    }
    Check(done, what);
  }
};

}  // namespace korvane::fuzz
