#include "tools/child_job.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

extern char** environ;

namespace korvane::tools {
namespace {

// A file descriptor that closes itself.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// The request as an in-memory file: the child may read it at leisure and
// we never wait on a pipe it does not drain.
int InputFile(const std::string& input) {
  int fd = ::memfd_create("korvane-request", MFD_CLOEXEC);
  if (fd < 0) return -1;
  std::size_t done = 0;
  while (done < input.size()) {
    ssize_t n = ::write(fd, input.data() + done, input.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// At most the last `lines` lines and `bytes` bytes of text.
std::string LastLines(std::string text, int lines, std::size_t bytes) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.size() > bytes) text.erase(0, text.size() - bytes);
  std::size_t pos = text.size();
  for (int i = 0; i < lines; ++i) {
    pos = text.rfind('\n', pos == 0 ? 0 : pos - 1);
    if (pos == std::string::npos) return text;
  }
  return text.substr(pos + 1);
}

// What the child wrote to standard error is passed on to ours (its last
// 64 KiB); its last ten lines are kept for an error page.
std::string StderrTail(int fd) {
  constexpr off_t kKept = 64 * 1024;
  off_t size = ::lseek(fd, 0, SEEK_END);
  if (size <= 0) return {};
  off_t from = size > kKept ? size - kKept : 0;
  std::string text(static_cast<std::size_t>(size - from), '\0');
  ssize_t n = ::pread(fd, text.data(), text.size(), from);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  [[maybe_unused]] ssize_t passed = ::write(2, text.data(), text.size());
  return LastLines(std::move(text), 10, 2048);
}

pid_t Spawn(JobSpec& job, int in, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Own process group, so a time-out ends the whole pipeline; default signal
  // handling and mask, whatever ours are.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), job.extra_env.begin(), job.extra_env.end());
  auto argv = Pointers(job.argv);
  auto envp = Pointers(env);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

// Waits for the child's exit through a pidfd; on kernels without one,
// looks again every 50 ms.
asio::awaitable<void> WaitForExit(asio::io_context& io, pid_t pid) {
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    asio::posix::stream_descriptor exit_watch(io, pidfd);
    asio::error_code ignored;
    co_await exit_watch.async_wait(asio::posix::stream_descriptor::wait_read,
                                   asio::redirect_error(asio::use_awaitable, ignored));
    co_return;
  }
  asio::steady_timer poll(io);
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0) {
    poll.expires_after(std::chrono::milliseconds(50));
    co_await poll.async_wait(asio::use_awaitable);
  }
}

}  // namespace

void KillJob(pid_t pid) {
  if (pid > 0) ::kill(-pid, SIGKILL);
}

asio::awaitable<JobOutcome> RunJob(asio::io_context& io, JobSpec job,
                                   std::function<void(pid_t)> on_start) {
  JobOutcome outcome;
  if (job.argv.empty()) co_return outcome;
  Fd in{InputFile(job.input)};
  Fd out{::open(job.output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
  Fd err{::memfd_create("korvane-stderr", MFD_CLOEXEC)};
  if (in.fd < 0 || out.fd < 0 || err.fd < 0) co_return outcome;
  pid_t pid = Spawn(job, in.fd, out.fd, err.fd);
  if (pid < 0) co_return outcome;
  outcome.started = true;
  if (on_start) on_start(pid);

  // The limit's handler may run after this coroutine is gone, so it shares
  // only what it owns; once the child is reaped its pid may belong to
  // someone else and must not be signalled.
  struct Watch {
    bool killed = false;
    bool reaped = false;
  };
  auto watch = std::make_shared<Watch>();
  asio::steady_timer limit(io, job.limit);
  limit.async_wait([watch, pid](const asio::error_code& ec) {
    if (ec || watch->reaped) return;
    watch->killed = true;
    KillJob(pid);
  });
  co_await WaitForExit(io, pid);
  limit.cancel();
  watch->reaped = true;
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.timed_out = watch->killed;
  if (WIFEXITED(status)) outcome.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  outcome.stderr_tail = StderrTail(err.fd);
  co_return outcome;
}

}  // namespace korvane::tools
