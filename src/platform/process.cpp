#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace korvane {

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\') {
      size_t run = 0;
      while (i < line.size() && line[i] == '\\') ++run, ++i;
      if (i < line.size() && line[i] == '"') {
        word.append(run / 2, '\\');
        if (run % 2) {
          word += '"';
        } else {
          quoted = !quoted;
        }
      } else {
        word.append(run, '\\');
        --i;
      }
      in_word = true;
    } else if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string ResolveProgram(const Files& files, const std::string& word) {
  if (word.empty()) return "";
  if (word.find(':') != std::string::npos || word.find('\\') != std::string::npos) {
    std::string host = files.Host(word);
    return IsExecutableFile(host) ? host : "";
  }
  if (word.find('/') != std::string::npos) return IsExecutableFile(word) ? word : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + word;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  // As on Windows, a program in the program folder is found too.
  std::string local = files.Host(word);
  return IsExecutableFile(local) ? local : "";
}

StartResult StartProcess(const std::vector<std::string>& argv, const std::string& working_dir,
                         const std::string& stdout_path) {
  StartResult result;
  if (argv.empty() || argv[0].empty()) {
    result.error = ENOENT;
    result.text = std::strerror(ENOENT);
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!stdout_path.empty())
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!working_dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, working_dir.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts in its own process group with default signal handling,
  // so the gateway's SIGPIPE setting and a terminal's Ctrl-C stay ours.
  sigset_t all;
  sigemptyset(&all);
  posix_spawnattr_setsigmask(&attr, &all);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    result.error = rc;
    result.text = std::strerror(rc);
    return result;
  }
  result.pid = pid;
  return result;
}

StartResult StartDetached(asio::io_context& io, const Files& files, const std::string& command_line) {
  std::vector<std::string> argv = SplitCommandLine(command_line);
  StartResult result;
  if (argv.empty()) {
    result.error = ENOENT;
    result.text = std::strerror(ENOENT);
    return result;
  }
  std::string program = ResolveProgram(files, argv[0]);
  if (program.empty()) {
    result.error = ENOENT;
    result.text = std::strerror(ENOENT);
    return result;
  }
  argv[0] = program;
  result = StartProcess(argv);
  if (result.pid > 0) {
    asio::co_spawn(io, WaitForExit(io, result.pid), asio::detached);
  }
  return result;
}

asio::awaitable<int> WaitForExit(asio::io_context& io, pid_t pid) {
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  int status = -1;
  if (fd >= 0) {
    // The pidfd becomes readable when the process ends. The reactor can
    // report it ready while the process still runs (a blocking waitpid
    // would then stall the gateway's only thread), so each wake is checked
    // and the wait taken up again; a look every second besides covers a
    // readiness the reactor reported before this wait was armed.
    asio::posix::stream_descriptor d(io, fd);
    for (;;) {
      asio::steady_timer guard(io, std::chrono::seconds(1));
      guard.async_wait([&d](std::error_code e) {
        if (!e) d.cancel();
      });
      std::error_code ec;
      co_await d.async_wait(asio::posix::stream_descriptor::wait_read,
                            asio::redirect_error(asio::use_awaitable, ec));
      guard.cancel();
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) co_return status;
      if (r < 0) co_return -1;
    }
  }
  // No pidfd (old kernel): poll every 50 ms.
  asio::steady_timer t(io);
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) co_return status;
    if (r < 0) co_return -1;
    t.expires_after(std::chrono::milliseconds(50));
    std::error_code ec;
    co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
}

bool ProcessRunning(pid_t pid) {
  if (pid <= 0) return false;
  // Not waitpid: that would reap the child under WaitForExit's feet.
  return ::kill(pid, 0) == 0;
}

}  // namespace korvane
