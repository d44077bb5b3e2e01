// korvane: the gateway process. Parses its options, makes sure it is the
// only gateway of its home folder, loads, and runs the one event loop.
#include <getopt.h>
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

#include "app/service_notify.h"
#include "app/startup.h"
#include "app/window_module.h"
#include "app/wiring.h"
#include "core/config_check.h"
#include "core/gateway.h"
#include "core/primitives.h"
#include "platform/event_pass.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/instance.h"
#include "platform/link_control.h"
#include "ui/form_unload.h"
#include "ui/operator_commands.h"
#include "ui/peer_lookup.h"

using namespace korvane;

namespace {

constexpr const char* kUsage =
    "usage: korvane [--home DIR] [--drives DIR] [--link-dir DIR] [--bind ADDRESS[:PORT]]\n"
    "               [--headless] [LISTEN [PORT]]\n"
    "       korvane [--home DIR] ctl COMMAND [ARGS]\n"
    "       korvane [--home DIR] --check-config\n"
    "       korvane --help | --version\n";

void Help() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "  -h, --help             this text\n"
      "      --version          the version\n"
      "      --home DIR         the program folder: korvane.ini, hit logs (else $KORVANE_HOME,\n"
      "                         $XDG_DATA_HOME/korvane, ~/.local/share/korvane)\n"
      "      --drives DIR       where drive letters live (default HOME/drives)\n"
      "      --link-dir DIR     where served programs put their link sockets\n"
      "      --bind ADDR[:PORT] the interface to listen on, and optionally another port\n"
      "      --headless         no window\n"
      "      --check-config     report every value of korvane.ini the gateway cannot take\n"
      "                         as written; exit 1 when there is one\n"
      "  LISTEN [PORT]          listen at once (on PORT instead of the configured port)\n"
      "\n"
      "ctl commands: listen close reinit save exit status N|--json beep peer timer\n"
      "              editlog editrecent viewrecent recentclient shellwait CMD\n"
      "              set BOX TEXT  settings  menus  clipboard [TEXT]  gethost [clip|ADDRESS]\n"
      "ctl exits 0 when done, 1 when refused or failed, 2 on a usage error, 3 when no\n"
      "gateway answers.\n",
      stdout);
}

// A usage error: what was wrong, the usage, exit status 2.
int UsageError(const std::string& what) {
  std::fprintf(stderr, "korvane: %s\n%s", what.c_str(), kUsage);
  return 2;
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
    if (end == text.c_str() + colon + 1 || *end != '\0' || port < 0 || port > 65535) return false;
    o.bind_port = static_cast<int>(port);
  }
  return true;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

enum class Mode { kGateway, kControl, kCheckConfig, kHelp, kVersion };

struct Parsed {
  Mode mode = Mode::kGateway;
  std::vector<std::string> ctl;  // the control command's words
  std::string error;             // a usage error, named
};

// The words after the options: "LISTEN [PORT]", "ctl COMMAND …" or nothing.
void ParseWords(const std::vector<std::string>& words, Options& o, Parsed& p) {
  if (words.empty()) return;
  if (words[0] == "ctl") {
    p.ctl.assign(words.begin() + 1, words.end());
    if (p.ctl.empty()) p.error = "ctl needs a COMMAND";
    p.mode = Mode::kControl;
    return;
  }
  size_t n = 0;
  if (words[0] == "LISTEN") n = words.size() > 1 && AllDigits(words[1]) ? 2 : 1;
  if (n < words.size()) {
    p.error = "unexpected word: " + words[n];
    return;
  }
  for (size_t i = 0; i < n; ++i) o.command_line += (i ? " " : "") + words[i];
}

Parsed ParseOptions(int argc, char** argv, Options& o) {
  enum { kHome = 1000, kDrives, kLinkDir, kBind, kHeadless, kCheck, kVersion };
  static const option longs[] = {
      {"home", required_argument, nullptr, kHome},        {"drives", required_argument, nullptr, kDrives},
      {"link-dir", required_argument, nullptr, kLinkDir}, {"bind", required_argument, nullptr, kBind},
      {"headless", no_argument, nullptr, kHeadless},      {"check-config", no_argument, nullptr, kCheck},
      {"version", no_argument, nullptr, kVersion},        {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  Parsed p;
  opterr = 0;  // the messages are ours
  int c;
  // "+": options stop at the first word, so a control command's own words
  // are never taken for options.
  while (p.error.empty() && (c = getopt_long(argc, argv, "+:h", longs, nullptr)) != -1) {
    switch (c) {
      case kHome: o.home = optarg; break;
      case kDrives: o.drives = optarg; break;
      case kLinkDir: o.link_dir = optarg; break;
      case kBind:
        if (!ParseBind(optarg, o)) p.error = std::string("not ADDRESS[:PORT]: --bind ") + optarg;
        break;
      case kHeadless: o.headless = true; break;
      case kCheck: p.mode = Mode::kCheckConfig; break;
      case kVersion: p.mode = Mode::kVersion; break;
      case 'h': p.mode = Mode::kHelp; break;
      case ':': p.error = std::string("option needs a value: ") + argv[optind - 1]; break;
      default:
        p.error = optopt ? std::string("unknown option: -") + static_cast<char>(optopt)
                         : std::string("unknown option: ") + argv[optind - 1];
        break;
    }
  }
  if (!p.error.empty() || p.mode == Mode::kHelp || p.mode == Mode::kVersion) return p;
  Mode asked = p.mode;
  ParseWords(std::vector<std::string>(argv + optind, argv + argc), o, p);
  if (asked == Mode::kCheckConfig && p.error.empty() && (p.mode != asked || !o.command_line.empty()))
    p.error = "--check-config takes no command";
  if (!p.error.empty()) return p;

  if (o.home.empty()) o.home = DefaultHome();
  o.home = Absolute(o.home);
  if (o.drives.empty()) o.drives = o.home + "/drives";
  o.drives = Absolute(o.drives);
  if (o.link_dir.empty()) o.link_dir = DefaultLinkDir();
  o.link_dir = Absolute(o.link_dir);
  // Programs the gateway starts inherit this (they run in the home folder),
  // so they serve in the gateway's link folder.
  setenv("KORVANE_LINK_DIR", o.link_dir.c_str(), 1);
  return p;
}

// --check-config: every problem on standard output, exit 1 when there is one.
int CheckConfigCommand(const Options& o) {
  Files files(o.home, o.drives);
  FileInfo info;
  if (!files.Stat(".\\korvane.ini", info)) {
    std::printf("%s: no configuration file\n", info.host.c_str());
    return 1;
  }
  std::vector<ConfigProblem> problems = CheckConfig(IniFile(info.host));
  for (const ConfigProblem& p : problems) std::printf("%s\n", DescribeProblem(info.host, p).c_str());
  if (problems.empty()) std::printf("%s: no problems\n", info.host.c_str());
  return problems.empty() ? 0 : 1;
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
  AnswerKind kind = AnswerKind::kDone;
  if (!SendControlCommand(o.home, command, answer, &kind)) {
    std::fprintf(stderr, "no korvane is running for %s\n", o.home.c_str());
    return 3;
  }
  if (kind == AnswerKind::kDone) {
    std::fputs(answer.c_str(), stdout);
    return 0;
  }
  std::fprintf(stderr, "korvane ctl: %s", answer.c_str());
  return kind == AnswerKind::kUsage ? 2 : 1;
}

// Headless, every line of the event and request lists is also printed, so
// a service manager's journal shows the event log. Lines are gathered and
// handed to the log writer when the loop is about to wait (or once 64 KiB
// have gathered), which prints them once the log file holds them; what is
// left at the end is written by the caller.
constexpr size_t kStdoutBatch = 64 * 1024;

std::shared_ptr<std::string> PrintListLines(Gateway& g) {
  auto pending = std::make_shared<std::string>();
  g.feed.Subscribe([pending](const ChangeView& c) {
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

// SIGHUP does what the Reinitialize menu does, as often as it comes.
void ReinitializeOnHangup(Gateway& g, asio::signal_set& hangup) {
  hangup.async_wait([&g, &hangup](std::error_code ec, int) {
    if (ec) return;
    asio::co_spawn(g.io, RunOperatorCommand(g, "click mnuReinit"), asio::detached);
    ReinitializeOnHangup(g, hangup);
  });
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.headless = false;  // a window when one can be shown
  Parsed parsed = ParseOptions(argc, argv, options);
  if (!parsed.error.empty()) return UsageError(parsed.error);
  switch (parsed.mode) {
    case Mode::kHelp: Help(); return 0;
    case Mode::kVersion: std::printf("korvane %s\n", KORVANE_VERSION); return 0;
    case Mode::kCheckConfig: return CheckConfigCommand(options);
    case Mode::kControl: return RunControlClient(options, parsed.ctl);
    case Mode::kGateway: break;
  }

  std::string mkdir = options.home;
  for (size_t i = 1; i <= mkdir.size(); ++i)
    if (i == mkdir.size() || mkdir[i] == '/') ::mkdir(mkdir.substr(0, i).c_str(), 0755);

  HeadlessView headless;
  std::unique_ptr<WindowHost> window;
#ifdef KORVANE_WITH_QT
  if (!options.headless) window = OpenWindow(argc, argv);
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
  ControlServer control(io, [&g](std::string command) { return RunOperatorRequest(g, std::move(command)); });
  control.Start(options.home);

  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&g](std::error_code ec, int) {
    if (ec) return;
    ServiceNotify("STOPPING=1");
    mnuExit_Click(g);
  });
  asio::signal_set hangup(io, SIGHUP);
  ReinitializeOnHangup(g, hangup);
  std::signal(SIGPIPE, SIG_IGN);

  Form_Load(g);
  StartServiceStatus(g);
  // Log lines go to their writer thread, and list lines to stdout, when the
  // loop is about to wait, or sooner when many have gathered.
  g.logWriter.Start();
  OnPassEnd([&g, unprinted](bool idle) {
    if (idle ? !unprinted->empty() : unprinted->size() >= kStdoutBatch) {
      g.logWriter.Print(*unprinted);
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
  ServiceNotify("STOPPING=1");
  g.logWriter.Stop();
  WriteOut(*unprinted);
  return status;
}
