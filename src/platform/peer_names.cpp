#include "platform/peer_names.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Names are kept a minute, like a resolver's short cache: long enough for a
// busy client, short enough that a changed name is soon seen.
constexpr auto kRemembered = 60s;
constexpr auto kLimit = 1500ms;
constexpr size_t kMaxRemembered = 4096;

std::string NameOf(const std::string& address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return address;
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                  NI_NAMEREQD) != 0)
    return address;
  return host;
}

struct Job {
  asio::io_context* io;
  std::string address;
  std::shared_ptr<LookupToken> token;
  std::function<void(std::string)> deliver;  // runs on io's thread
};

// One worker thread for the whole process, started on first use and left
// running (detached) until the process ends.
class Resolver {
 public:
  static Resolver& Instance() {
    static Resolver* r = new Resolver;  // never destroyed: the worker may outlive main
    return *r;
  }

  bool Remembered(const std::string& address, std::string& name) {
    std::lock_guard<std::mutex> lock(m_);
    auto it = names_.find(address);
    if (it == names_.end() || Clock::now() - it->second.when > kRemembered) return false;
    name = it->second.name;
    return true;
  }

  void Queue(Job job) {
    std::lock_guard<std::mutex> lock(m_);
    jobs_.push_back(std::move(job));
    if (!started_) {
      started_ = true;
      std::thread([this] { Work(); }).detach();
    }
    ready_.notify_one();
  }

 private:
  struct Entry {
    std::string name;
    Clock::time_point when;
  };

  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(m_);
        ready_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      std::string name;
      if (!Remembered(job.address, name)) {
        name = NameOf(job.address);
        Remember(job.address, name);
      }
      std::lock_guard<std::mutex> lock(job.token->m);
      if (!job.token->alive) continue;
      asio::post(*job.io, [deliver = std::move(job.deliver), name] { deliver(name); });
    }
  }

  void Remember(const std::string& address, const std::string& name) {
    std::lock_guard<std::mutex> lock(m_);
    if (names_.size() >= kMaxRemembered) names_.clear();
    names_[address] = Entry{name, Clock::now()};
  }

  std::mutex m_;
  std::condition_variable ready_;
  std::deque<Job> jobs_;
  std::map<std::string, Entry> names_;
  bool started_ = false;
};

}  // namespace

void LookupHostName(asio::io_context& io, const std::string& address,
                    std::shared_ptr<LookupToken> token, std::function<void(std::string)> done) {
  Resolver& resolver = Resolver::Instance();
  std::string name;
  if (address.empty() || resolver.Remembered(address, name)) {
    done(address.empty() ? address : name);
    return;
  }
  // Whichever comes first, the answer or the limit, is given; the other is
  // dropped. The timer lives through its own handler.
  auto settled = std::make_shared<bool>(false);
  auto limit = std::make_shared<asio::steady_timer>(io, kLimit);
  limit->async_wait([settled, done, address, token, limit](std::error_code) {
    if (*settled || !token->alive) return;
    *settled = true;
    done(address);
  });
  std::weak_ptr<asio::steady_timer> weak_limit = limit;
  resolver.Queue(Job{&io, address, token, [settled, weak_limit, done, token](std::string found) {
                       if (*settled || !token->alive) return;
                       *settled = true;
                       if (auto t = weak_limit.lock()) t->cancel();
                       done(found);
                     }});
}

}  // namespace korvane
