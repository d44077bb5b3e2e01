#include "platform/process.h"

#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

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

std::string SelfExecutablePath() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

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

ProgramLookup FindServedProgram(const Files& files, const std::string& word) {
  ProgramLookup lookup;
  if (word.empty()) return lookup;
  if (word[0] == '/') {
    lookup.tried.push_back(word);
  } else if (word.find(':') != std::string::npos) {
    lookup.tried.push_back(files.Host(word));
  } else {
    // Rooted or not, a word without a drive names a file below the home.
    lookup.tried.push_back(files.Host(".\\" + word));
    if (word.find_first_of("\\/") == std::string::npos) {
      const char* path = std::getenv("PATH");
      std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
      for (size_t start = 0; start <= dirs.size();) {
        size_t end = std::min(dirs.find(':', start), dirs.size());
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/') lookup.tried.push_back(dir + "/" + word);
        start = end + 1;
      }
    }
  }
  for (const std::string& candidate : lookup.tried) {
    if (IsExecutableFile(candidate)) {
      lookup.found = candidate;
      break;
    }
  }
  return lookup;
}

namespace {

// The signals this process catches, and SIGPIPE, which it ignores: a started
// program gets them at their defaults. Asked once: the gateway sets its
// handlers up before it starts any program.
const std::vector<int>& SignalsToReset() {
  static const std::vector<int> signals = [] {
    std::vector<int> v{SIGPIPE};
    for (int sig = 1; sig < 32; ++sig) {
      struct sigaction sa;
      if (sig == SIGKILL || sig == SIGSTOP || sig == SIGPIPE || ::sigaction(sig, nullptr, &sa) != 0) continue;
      if ((sa.sa_flags & SA_SIGINFO) || (sa.sa_handler != SIG_DFL && sa.sa_handler != SIG_IGN)) v.push_back(sig);
    }
    return v;
  }();
  return signals;
}

// All a child needs, made ready before it exists: between vfork and exec it
// shares this process's memory and makes system calls only.
struct ChildPlan {
  const char* program;
  char* const* argv;
  const char* working_dir;  // nullptr: ours
  const char* stdout_path;  // nullptr: ours
  const int* reset;
  size_t reset_count;
  const sigset_t* mask;
  volatile int* exec_error;
};

// The child keeps standard input, output and error only. Our listening
// socket, clients' connections and open files must not live on in a
// program: a served program outlives the gateway, and would keep its port
// taken and a client's connection open after the gateway closed it.
void CloseInheritedFiles() {
  if (::close_range(3, ~0U, 0) == 0) return;
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);  // kernels before close_range
}

[[noreturn]] __attribute__((noinline)) void RunChild(const ChildPlan& p) {
  // Our handlers must not run here: they go back to defaults before any
  // signal is let through.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  for (size_t i = 0; i < p.reset_count; ++i) ::sigaction(p.reset[i], &dfl, nullptr);
  ::sigprocmask(SIG_SETMASK, p.mask, nullptr);
  // Its own process group: a terminal's Ctrl-C stays ours.
  ::setpgid(0, 0);
  int in = ::open("/dev/null", O_RDONLY);
  if (in > 0) {
    ::dup2(in, 0);
    ::close(in);
  }
  if (p.stdout_path) {
    int out = ::open(p.stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0 && out != 1) {
      ::dup2(out, 1);
      ::close(out);
    }
  }
  if (p.working_dir && ::chdir(p.working_dir) != 0) {
    *p.exec_error = errno;
    ::_exit(127);
  }
  CloseInheritedFiles();
  // The system call itself, not the libc function: a coverage build wraps
  // calls of execve to write its counters first, which here, in memory
  // shared with the gateway, would mark the gateway's counters as written
  // and lose everything it did afterwards.
  ::syscall(SYS_execve, p.program, p.argv, environ);
  *p.exec_error = errno;
  ::_exit(127);
}

}  // namespace

// vfork rather than posix_spawn: the child runs on our stack until it
// execs, so no stack is mapped and unmapped for it (the unmapping had to
// interrupt the other processor, where the child ran) on every program run.
StartResult StartProcess(const std::vector<std::string>& argv, const std::string& working_dir,
                         const std::string& stdout_path) {
  Files::ForgetLooks();  // the program makes and changes files from now on
  StartResult result;
  if (argv.empty() || argv[0].empty()) {
    result.error = ENOENT;
    result.text = std::strerror(ENOENT);
    return result;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<int>& reset = SignalsToReset();
  sigset_t all, none, old;
  sigfillset(&all);
  sigemptyset(&none);
  volatile int exec_error = 0;
  const ChildPlan plan{argv[0].c_str(), args.data(),
                       working_dir.empty() ? nullptr : working_dir.c_str(),
                       stdout_path.empty() ? nullptr : stdout_path.c_str(),
                       reset.data(), reset.size(), &none, &exec_error};
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = ::vfork();
  if (pid == 0) RunChild(plan);
  int fork_error = pid < 0 ? errno : 0;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  int rc = fork_error ? fork_error : exec_error;
  if (pid > 0 && rc != 0) ::waitpid(pid, nullptr, 0);  // the child that could not exec
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
    // The guard's tick may already be queued when the process ends in the
    // same pass; it must then find the descriptor gone, not freed.
    auto d = std::make_shared<asio::posix::stream_descriptor>(io, fd);
    std::weak_ptr<asio::posix::stream_descriptor> watched = d;
    for (;;) {
      asio::steady_timer guard(io, std::chrono::seconds(1));
      guard.async_wait([watched](std::error_code e) {
        if (auto alive = watched.lock(); alive && !e) alive->cancel();
      });
      std::error_code ec;
      co_await d->async_wait(asio::posix::stream_descriptor::wait_read,
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
