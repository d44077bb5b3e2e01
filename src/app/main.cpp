// korvane: the gateway process. Parses its options, makes sure it is the
// only gateway of its home folder, loads, and runs the one event loop.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "app/wiring.h"
#include "core/gateway.h"
#include "core/primitives.h"
#include "platform/event_pass.h"
#include "platform/instance.h"
#include "platform/link_control.h"
#include "ui/form_unload.h"
#include "ui/operator_commands.h"
#include "ui/peer_lookup.h"
#include "ui/qt/window_host.h"  // free of Qt; built only with KORVANE_WITH_QT

using namespace korvane;

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: korvane [--home DIR] [--drives DIR] [--link-dir DIR]\n"
               "               [--bind ADDRESS[:PORT]] [--headless] [LISTEN [PORT]]\n"
               "       korvane [--home DIR] ctl COMMAND [ARGS]\n"
               "ctl commands: listen close reinit save exit status N beep peer timer\n"
               "              editlog editrecent viewrecent recentclient shellwait\n"
               "              set BOX TEXT  settings  menus  clipboard [TEXT]  gethost [clip|ADDRESS]\n");
}

std::string DefaultHome() {
  if (const char* h = std::getenv("KORVANE_HOME"); h && *h) return h;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::string(x) + "/korvane";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/korvane";
}

std::string Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

// "--bind 127.0.0.1:8080", "--bind 127.0.0.1" or "--bind :8080".
bool ParseBind(const std::string& text, Options& o) {
  size_t colon = text.rfind(':');
  o.bind_address = colon == std::string::npos ? text : text.substr(0, colon);
  if (colon != std::string::npos) {
    char* end = nullptr;
    long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) return false;
    o.bind_port = static_cast<int>(port);
  }
  return true;
}

bool ParseOptions(int argc, char** argv, Options& o, std::vector<std::string>& ctl) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string bind;
    if (a == "--home") {
      if (!value(o.home)) return false;
    } else if (a == "--drives") {
      if (!value(o.drives)) return false;
    } else if (a == "--link-dir") {
      if (!value(o.link_dir)) return false;
    } else if (a == "--bind") {
      if (!value(bind) || !ParseBind(bind, o)) return false;
    } else if (a == "--headless") {
      o.headless = true;
    } else if (a == "ctl" && words.empty()) {
      ctl.assign(argv + i + 1, argv + argc);
      if (ctl.empty()) return false;
      break;
    } else if (a.rfind("--", 0) == 0) {
      return false;
    } else {
      words.push_back(a);
    }
  }
  for (size_t i = 0; i < words.size(); ++i) o.command_line += (i ? " " : "") + words[i];
  if (o.home.empty()) o.home = DefaultHome();
  o.home = Absolute(o.home);
  if (o.drives.empty()) o.drives = o.home + "/drives";
  o.drives = Absolute(o.drives);
  if (o.link_dir.empty()) o.link_dir = DefaultLinkDir();
  o.link_dir = Absolute(o.link_dir);
  // Programs the gateway starts inherit this (they run in the home folder),
  // so they serve in the gateway's link folder.
  setenv("KORVANE_LINK_DIR", o.link_dir.c_str(), 1);
  return true;
}

void WriteOut(std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  text.clear();
}

int RunControlClient(const Options& o, const std::vector<std::string>& words) {
  // The peer lookup runs here, in the client, so a slow name server never
  // holds up the gateway.
  if (words[0] == "gethost") return RunPeerLookup(o.home, {words.begin() + 1, words.end()});
  std::string command;
  for (size_t i = 0; i < words.size(); ++i) command += (i ? " " : "") + words[i];
  std::string answer;
  if (!SendControlCommand(o.home, command, answer)) {
    std::fprintf(stderr, "no korvane is running for %s\n", o.home.c_str());
    return 1;
  }
  std::fputs(answer.c_str(), stdout);
  return 0;
}

// Headless, every line of the event and request lists is also printed, so
// a service manager's journal shows the event log. Lines are gathered and
// handed to the log writer when the loop is about to wait (or once 64 KiB
// have gathered), which prints them once the log file holds them; what is
// left at the end is written by the caller.
constexpr size_t kStdoutBatch = 64 * 1024;

std::shared_ptr<std::string> PrintListLines(Gateway& g) {
  auto pending = std::make_shared<std::string>();
  g.feed.Subscribe([pending](const Change& c) {
    if (c.property == "AddItem" && (c.control == "List1" || c.control == "List2")) {
      // Lines may carry the request's own CR LF; the journal gets one line each.
      std::string_view line = c.value;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
      pending->append(line);
      pending->push_back('\n');
    }
  });
  return pending;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.headless = false;  // a window when one can be shown
  std::vector<std::string> ctl;
  if (!ParseOptions(argc, argv, options, ctl)) {
    Usage();
    return 2;
  }
  if (!ctl.empty()) return RunControlClient(options, ctl);

  std::string mkdir = options.home;
  for (size_t i = 1; i <= mkdir.size(); ++i)
    if (i == mkdir.size() || mkdir[i] == '/') ::mkdir(mkdir.substr(0, i).c_str(), 0755);

  HeadlessView headless;
  std::unique_ptr<WindowHost> window;
#ifdef KORVANE_WITH_QT
  if (!options.headless) window = WindowHost::Open(argc, argv);
#endif
  View& view = window ? *window->view() : headless;
  InstanceLock lock;
  if (!lock.Acquire(options.home)) {
    view.MessageBox(std::string(kVersionCaption) + " is already running");
    std::string answer;
    if (!SendControlCommand(options.home, "activate", answer))
      view.MessageBox("The running instance could not be reached: " + std::string(std::strerror(errno)));
    return 1;
  }

  asio::io_context io(1);
  Gateway g(io, options, &view, GatewayHooks());
  std::shared_ptr<std::string> unprinted = PrintListLines(g);
  ControlServer control(io, [&g](std::string command) { return RunOperatorCommand(g, std::move(command)); });
  control.Start(options.home);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&g](std::error_code ec, int) {
    if (!ec) mnuExit_Click(g);
  });
  std::signal(SIGPIPE, SIG_IGN);

  Form_Load(g);
  // Log lines go to their writer thread, and list lines to stdout, when the
  // loop is about to wait, or sooner when many have gathered.
  g.logWriter.Start();
  OnPassEnd([&g, unprinted](bool idle) {
    if (idle ? !unprinted->empty() : unprinted->size() >= kStdoutBatch) {
      g.logWriter.Print(std::move(*unprinted));
      unprinted->clear();
    }
    g.logWriter.Flush(idle);
  });
  int status = 0;
  if (window) {
    window->Attach(io, g);
    status = window->Run();
  } else {
    RunCountingPasses(io);
  }
  OnPassEnd({});
  g.logWriter.Stop();
  WriteOut(*unprinted);
  return status;
}
