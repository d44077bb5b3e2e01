#include "link/link_connection.h"

#include <cctype>

namespace korvane::link {
namespace {

// A client that stops reading while its items keep changing is dropped
// rather than allowed to grow the program's memory without end.
constexpr std::size_t kMaxOutboxBytes = 16 * 1024 * 1024;

}  // namespace

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

Connection::Connection(Socket socket, std::shared_ptr<ServedState> state)
    : socket_(std::move(socket)), state_(std::move(state)) {}

void Connection::Start() {
  asio::co_spawn(socket_.get_executor(), [self = shared_from_this()] { return self->Serve(); },
                 asio::detached);
}

void Connection::Close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  socket_.shutdown(Socket::shutdown_both, ignored);
  socket_.close(ignored);
}

asio::awaitable<void> Connection::Serve() {
  while (!closed_) {
    auto message = co_await ReadMessage(socket_, inbuf_, "EXECUTE");
    if (!message || message->word == "BYE") break;
    Send(Answer(*message));
  }
  // Let queued answers leave before the socket goes.
  reading_done_ = true;
  if (!draining_) Close();
}

std::string Connection::Answer(const Message& message) {
  if (message.word == "CONNECT") return Connect(message.arg);
  if (topic_key_.empty()) return ErrorLine(kNoChannel);
  if (message.word == "EXECUTE") return Execute(message.payload);
  if (message.word == "REQUEST") return Request(message.arg);
  if (message.word == "ADVISE") {
    advised_[LowerCase(message.arg)] = message.arg;
    return "OK\n";
  }
  if (message.word == "UNADVISE") {
    advised_.erase(LowerCase(message.arg));
    return "OK\n";
  }
  return ErrorLine(kRefused);
}

std::string Connection::Connect(const std::string& topic) {
  // One connection is one conversation: its topic is fixed once chosen.
  if (!topic_key_.empty()) return ErrorLine(kRefused);
  auto key = LowerCase(topic);
  if (!state_->topics.count(key)) return ErrorLine(kNoAnswer);
  topic_key_ = key;
  return "OK\n";
}

std::string Connection::Execute(const std::string& command) {
  ServedTopic* topic = CurrentTopic();
  if (!topic || !topic->on_execute) return ErrorLine(kRefused);
  bool accepted = false;
  try {
    accepted = topic->on_execute(command);
  } catch (...) {
    accepted = false;  // a failing handler refuses; the conversation goes on
  }
  return accepted ? "OK\n" : ErrorLine(kRefused);
}

std::string Connection::Request(const std::string& item) {
  ServedTopic* topic = CurrentTopic();
  if (!topic) return ErrorLine(kNoChannel);
  // An item never set reads as empty, as a fresh text box would.
  auto it = topic->items.find(LowerCase(item));
  std::string value = it == topic->items.end() ? std::string() : it->second;
  return Frame("DATA " + std::to_string(value.size()), value);
}

ServedTopic* Connection::CurrentTopic() {
  auto it = state_->topics.find(topic_key_);
  return it == state_->topics.end() ? nullptr : &it->second;
}

void Connection::AnnounceIfAdvised(const std::string& topic_key, const std::string& item_key) {
  if (closed_ || topic_key != topic_key_) return;
  auto it = advised_.find(item_key);
  if (it != advised_.end()) Send("CHANGED " + it->second + "\n");
}

void Connection::Send(std::string bytes) {
  if (closed_) return;
  outbox_bytes_ += bytes.size();
  outbox_.push_back(std::move(bytes));
  if (outbox_bytes_ > kMaxOutboxBytes) return Close();
  if (draining_) return;
  draining_ = true;
  asio::co_spawn(socket_.get_executor(), [self = shared_from_this()] { return self->Drain(); },
                 asio::detached);
}

asio::awaitable<void> Connection::Drain() {
  while (!outbox_.empty() && !closed_) {
    asio::error_code ec;
    co_await asio::async_write(socket_, asio::buffer(outbox_.front()),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;
    outbox_bytes_ -= outbox_.front().size();
    outbox_.pop_front();
  }
  draining_ = false;
  if (!outbox_.empty() || reading_done_) Close();
}

}  // namespace korvane::link
