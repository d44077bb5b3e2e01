#include "platform/link_control.h"

#include "platform/link_wire.h"
#include "platform/text.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <list>
#include <optional>
#include <string_view>
#include <utility>

namespace korvane {
namespace {

using Protocol = asio::local::stream_protocol;

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// What became of one message sent to the program.
struct Answer {
  enum class Kind { kOk, kError, kData, kTimedOut, kLost };
  explicit Answer(Kind k, int c = 0, std::string t = {}) : kind(k), code(c), text(std::move(t)) {}
  Kind kind;
  int code;          // of an ERR line; 0 when it carried none
  std::string text;  // of an ERR line, or the DATA payload
};

// "282 No foreign application..." -> code 282 and the text.
Answer ErrorAnswer(const std::string& arg) {
  Answer answer(Answer::Kind::kError);
  std::size_t i = 0;
  while (i < arg.size() && i < 9 && std::isdigit(static_cast<unsigned char>(arg[i])))
    answer.code = answer.code * 10 + (arg[i++] - '0');
  answer.text = arg.substr(std::min(arg.size(), i + 1));
  return answer;
}

// Error code of an answer: 0 for success, the program's code for a refusal
// (refused_code when it gave none), lost_code when the conversation ended.
int CodeOf(const Answer& answer, int refused_code, int lost_code) {
  switch (answer.kind) {
    case Answer::Kind::kOk:
    case Answer::Kind::kData: return 0;
    case Answer::Kind::kError: return answer.code > 0 ? answer.code : refused_code;
    case Answer::Kind::kTimedOut: return kLinkTimeout;
    case Answer::Kind::kLost: return lost_code;
  }
  return refused_code;
}

}  // namespace

// Lets one operation at a time through, in arrival order. A waiting caller
// sleeps on its own timer; letting it in moves the timer's expiry to the
// past, which ends the wait whether or not it has started yet.
class LinkControl::Turnstile : public std::enable_shared_from_this<Turnstile> {
 public:
  explicit Turnstile(asio::io_context& io) : io_(io) {}

  // The turn lasts as long as the returned handle.
  asio::awaitable<std::shared_ptr<void>> Enter() {
    if (busy_) {
      auto gate = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
      queue_.push_back(gate);
      asio::error_code ignored;
      co_await gate->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    busy_ = true;
    co_return std::shared_ptr<void>(nullptr, [self = shared_from_this()](void*) { self->Leave(); });
  }

  // Hands the turn straight to the next caller, if any.
  void Leave() {
    if (queue_.empty()) {
      busy_ = false;
      return;
    }
    auto next = queue_.front();
    queue_.pop_front();
    next->expires_at(asio::steady_timer::time_point::min());
  }

 private:
  asio::io_context& io_;
  bool busy_ = false;
  // A list, not a deque: every link control has a turnstile, and an empty
  // deque already holds a block of its own (over 500 bytes), once per slot.
  std::list<std::shared_ptr<asio::steady_timer>> queue_;
};

// The client side of one connection. A reader runs for the connection's
// whole life: it passes answers to the one operation waiting for them and
// turns CHANGED lines, which may come at any time, into notifications.
struct LinkControl::Conversation : std::enable_shared_from_this<Conversation> {
  explicit Conversation(asio::io_context& io) : socket(io), answer_signal(io) {}

  Protocol::socket socket;
  bool open = true;
  std::string advised_item;  // lower case; empty in manual mode
  std::function<void()> on_changed;
  std::function<void()> on_lost;  // the program ended the conversation

  void StartReading() {
    asio::co_spawn(socket.get_executor(),
                   [self = shared_from_this()] { return self->ReadLoop(); }, asio::detached);
  }

  // Sends one message and waits for its answer, at most `limit`.
  asio::awaitable<Answer> Exchange(std::string bytes, Duration limit) {
    if (!open) co_return Answer{Answer::Kind::kLost};
    answer.reset();
    waiting = true;
    Send(std::move(bytes));
    const std::uint64_t sent_mark = queued_bytes;
    answer_signal.expires_after(limit);
    asio::error_code ignored;
    co_await answer_signal.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    waiting = false;
    if (answer) co_return std::exchange(answer, std::nullopt).value();
    if (!open) co_return Answer{Answer::Kind::kLost};
    // Too late. A message that went out still gets its answer some day,
    // which must not be taken for the next message's; a message stuck on
    // the way leaves a stream that cannot be brought back in step.
    if (written_bytes >= sent_mark) {
      ++answers_to_skip;
    } else {
      Close(false);
    }
    co_return Answer{Answer::Kind::kTimedOut};
  }

  void Close(bool say_goodbye) {
    if (!open) return;
    open = false;
    on_changed = nullptr;
    on_lost = nullptr;
    asio::error_code ignored;
    // Best effort and never blocking: a program that does not read may
    // miss the BYE and see the connection close instead.
    if (say_goodbye && outbox.empty()) SendNow("BYE\n");
    socket.shutdown(Protocol::socket::shutdown_both, ignored);
    socket.close(ignored);
    answer_signal.cancel();
  }

 private:
  asio::awaitable<void> ReadLoop() {
    while (open) {
      auto message = co_await link::ReadMessage(socket, inbuf, "DATA");
      if (!message) break;
      if (message->word == "CHANGED") {
        if (!advised_item.empty() && Lower(message->arg) == advised_item && on_changed) on_changed();
        continue;
      }
      std::optional<Answer> answer_read;
      if (message->word == "OK") answer_read = Answer{Answer::Kind::kOk};
      if (message->word == "ERR") answer_read = ErrorAnswer(message->arg);
      if (message->word == "DATA") answer_read = Answer(Answer::Kind::kData, 0, std::move(message->payload));
      if (!answer_read) break;  // not the link protocol: nothing can follow
      Deliver(std::move(*answer_read));
    }
    // Still open here: the program's side ended it (it quit or died).
    std::function<void()> lost = open ? on_lost : nullptr;
    Close(false);
    if (lost) lost();
  }

  void Deliver(Answer arrived) {
    if (answers_to_skip > 0) {
      --answers_to_skip;  // the late answer of a timed-out operation
      return;
    }
    if (!waiting) return;  // nobody asked: a confused program, ignore
    answer = std::move(arrived);
    answer_signal.cancel();
  }

  // What the socket takes at once, without waiting: the byte count, or -1.
  ssize_t SendNow(std::string_view bytes) {
    ssize_t n;
    do {
      n = ::send(socket.native_handle(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  // A message normally fits the socket's buffer and leaves at once; only
  // what the socket cannot take now waits for the writer.
  void Send(std::string bytes) {
    queued_bytes += bytes.size();
    if (!writing) {
      ssize_t n = SendNow(bytes);
      if (n > 0) {
        written_bytes += static_cast<std::uint64_t>(n);
        bytes.erase(0, static_cast<size_t>(n));
      }
      if (bytes.empty()) return;
    }
    outbox.push_back(std::move(bytes));
    if (writing) return;
    writing = true;
    asio::co_spawn(socket.get_executor(),
                   [self = shared_from_this()] { return self->WriteLoop(); }, asio::detached);
  }

  asio::awaitable<void> WriteLoop() {
    while (!outbox.empty() && open) {
      asio::error_code ec;
      std::size_t n = co_await asio::async_write(socket, asio::buffer(outbox.front()),
                                                 asio::redirect_error(asio::use_awaitable, ec));
      if (ec) break;
      written_bytes += n;
      outbox.pop_front();
    }
    writing = false;
    if (!outbox.empty()) Close(false);
  }

  asio::steady_timer answer_signal;  // cancelled when the awaited answer is in
  std::string inbuf;
  std::optional<Answer> answer;
  bool waiting = false;
  int answers_to_skip = 0;
  std::deque<std::string> outbox;
  bool writing = false;
  std::uint64_t queued_bytes = 0;
  std::uint64_t written_bytes = 0;
};

LinkControl::LinkControl(asio::io_context& io, std::string link_dir, int timeout_tenths)
    : LinkTimeout(timeout_tenths),
      io_(io),
      link_dir_(std::move(link_dir)),
      turnstile_(std::make_shared<Turnstile>(io)),
      alive_(std::make_shared<bool>(true)) {}

LinkControl::~LinkControl() { CloseConversation(); }

int LinkControl::LinkMode() const { return IsOpen() ? mode_ : 0; }

bool LinkControl::IsOpen() const { return conversation_ && conversation_->open; }

void LinkControl::ClearError() {
  Error = 0;
  ErrorText.clear();
}

asio::awaitable<int> LinkControl::SetLinkMode(int mode) {
  return ChangeMode(mode, LinkTopic, LinkItem, WaitLimit());
}

asio::awaitable<int> LinkControl::LinkExecute(std::string command) {
  return Execute(std::move(command), WaitLimit());
}

asio::awaitable<int> LinkControl::LinkRequest() { return Request(LinkItem, WaitLimit()); }

LinkControl::Duration LinkControl::WaitLimit() const {
  if (LinkTimeout < 0) return std::chrono::hours(24 * 365);
  return std::chrono::milliseconds(100LL * LinkTimeout);
}

asio::awaitable<int> LinkControl::ChangeMode(int mode, std::string topic, std::string item,
                                             Duration limit) {
  auto turn = co_await turnstile_->Enter();
  // Pointing an open, healthy conversation at the topic (and item) it
  // already has keeps it: a new conversation would cost the program a
  // goodbye, a connect and an advise for nothing. A conversation the
  // program has ended is never reused.
  if (IsOpen() && mode == mode_ && topic == topic_ && (mode == 2 || Lower(item) == Lower(item_)))
    co_return 0;
  CloseConversation();
  if (mode == 0) co_return 0;
  if (mode != 2 && mode != 3) co_return Fail(kLinkInvalidMode);
  auto conversation = std::make_shared<Conversation>(io_);
  const std::string topic_text = topic;
  int code = co_await Connect(*conversation, std::move(topic), limit);
  if (code == 0 && mode == 3) code = co_await Advise(*conversation, item, limit);
  if (code != 0) {
    conversation->Close(false);
    co_return Fail(code);
  }
  conversation_ = std::move(conversation);
  mode_ = mode;
  topic_ = topic_text;
  item_ = item;
  co_return 0;
}

asio::awaitable<int> LinkControl::Connect(Conversation& conversation, std::string topic,
                                          Duration limit) {
  auto bar = topic.find('|');
  if (bar == std::string::npos || HasLineBreak(topic)) co_return kLinkNoAnswer;
  std::string application = Lower(topic.substr(0, bar));
  if (application.empty() || application == "." || application == ".." ||
      application.find('/') != std::string::npos)
    co_return kLinkNoAnswer;
  std::string path = link_dir_ + "/" + application;
  if (path.size() >= sizeof(sockaddr_un::sun_path)) co_return kLinkNoAnswer;

  asio::error_code ec;
  co_await conversation.socket.async_connect(Protocol::endpoint(path),
                                             asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return kLinkNoAnswer;
  conversation.StartReading();
  Answer answer = co_await conversation.Exchange("CONNECT " + topic.substr(bar + 1) + "\n", limit);
  co_return CodeOf(answer, kLinkNoAnswer, kLinkNoAnswer);
}

asio::awaitable<int> LinkControl::Advise(Conversation& conversation, std::string item,
                                         Duration limit) {
  if (HasLineBreak(item)) co_return kLinkRefused;
  // Watch before asking: the program may announce a change right after OK.
  WatchNotifications(conversation, item);
  Answer answer = co_await conversation.Exchange("ADVISE " + item + "\n", limit);
  co_return CodeOf(answer, kLinkRefused, kLinkNoChannel);
}

void LinkControl::WatchNotifications(Conversation& conversation, const std::string& item) {
  conversation.advised_item = Lower(item);
  std::weak_ptr<bool> alive = alive_;
  conversation.on_changed = [this, alive] {
    asio::post(io_, [this, alive] {
      if (!alive.expired() && OnNotify) OnNotify();
    });
  };
  conversation.on_lost = [this, alive] {
    asio::post(io_, [this, alive] {
      if (!alive.expired() && OnLost) OnLost();
    });
  };
}

asio::awaitable<int> LinkControl::Execute(std::string command, Duration limit) {
  auto turn = co_await turnstile_->Enter();
  if (!IsOpen()) co_return Fail(kLinkNoChannel);
  auto conversation = conversation_;
  std::string message = link::Frame("EXECUTE " + std::to_string(command.size()), command);
  Answer answer = co_await conversation->Exchange(std::move(message), limit);
  int code = CodeOf(answer, kLinkRefused, kLinkNoChannel);
  co_return code ? Fail(code, answer.text) : 0;
}

asio::awaitable<int> LinkControl::Request(std::string item, Duration limit) {
  auto turn = co_await turnstile_->Enter();
  if (!IsOpen()) co_return Fail(kLinkNoChannel);
  if (HasLineBreak(item)) co_return Fail(kLinkRefused);
  auto conversation = conversation_;
  Answer answer = co_await conversation->Exchange("REQUEST " + item + "\n", limit);
  if (answer.kind == Answer::Kind::kData) {
    Caption = std::move(answer.text);
    co_return 0;
  }
  // OK is no answer to a request: taken as a refusal.
  int code = CodeOf(answer, kLinkRefused, kLinkNoChannel);
  co_return Fail(code != 0 ? code : kLinkRefused, answer.text);
}

void LinkControl::CloseConversation() {
  if (conversation_) conversation_->Close(true);
  conversation_.reset();
  mode_ = 0;
}

int LinkControl::Fail(int code, const std::string& program_text) {
  Error = code;
  ErrorText = LinkErrorText(code);
  // Codes of our own have fixed texts; any other code keeps the program's.
  if (ErrorText.empty())
    ErrorText = program_text.empty() ? "DDE error " + std::to_string(code) : program_text;
  return code;
}

std::string LinkErrorText(int code) {
  switch (code) {
    case kLinkNoAnswer:
    case kLinkRefused:
    case kLinkTimeout:
    case kLinkNoChannel: return link::ErrorText(code);
    case kLinkInvalidMode: return "Invalid property value";
    default: return {};
  }
}

std::string DefaultLinkDir() {
  const auto env = [](const char* name) -> std::string {
    const char* value = std::getenv(name);
    return value ? value : "";
  };
  if (auto dir = env("KORVANE_LINK_DIR"); !dir.empty()) return dir;
  if (auto run = env("XDG_RUNTIME_DIR"); !run.empty()) return run + "/korvane/links";
  std::error_code ec;
  auto temp = std::filesystem::temp_directory_path(ec);
  return (ec ? std::string("/tmp") : temp.string()) + "/korvane-" + std::to_string(::getuid()) +
         "/links";
}

}  // namespace korvane
