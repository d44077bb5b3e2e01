#include "link/served_program.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "link/link_connection.h"

namespace korvane::link {
namespace {

using Protocol = asio::local::stream_protocol;

// True when a program answers on the socket: then it is not ours to take.
bool SomeoneListens(asio::io_context& io, const std::string& path) {
  Protocol::socket probe(io);
  asio::error_code ec;
  probe.connect(Protocol::endpoint(path), ec);
  return !ec;
}

}  // namespace

ServedProgram::ServedProgram(asio::io_context& io, std::string application,
                             std::string link_dir)
    : io_(io),
      application_(std::move(application)),
      link_dir_(std::move(link_dir)),
      socket_path_(SocketPathFor(link_dir_, application_)),
      state_(std::make_shared<ServedState>()),
      acceptor_(io) {}

ServedProgram::~ServedProgram() { Stop(); }

void ServedProgram::AddTopic(const std::string& topic, ExecuteHandler on_execute) {
  auto& entry = state_->topics[LowerCase(topic)];
  entry.name = topic;
  entry.on_execute = std::move(on_execute);
}

void ServedProgram::Start() {
  MakePrivateDirs(link_dir_);
  if (SomeoneListens(io_, socket_path_))
    throw std::system_error(EADDRINUSE, std::generic_category(),
                            "another program serves " + socket_path_);
  // Bound and listening under a temporary name first: the socket appears
  // under its own name only when connections to it succeed.
  std::string fresh = socket_path_ + "." + std::to_string(::getpid()) + ".new";
  ::unlink(fresh.c_str());
  acceptor_.open(Protocol());
  acceptor_.bind(Protocol::endpoint(fresh));
  acceptor_.listen();
  if (::rename(fresh.c_str(), socket_path_.c_str()) != 0) {
    int error = errno;
    acceptor_.close();
    ::unlink(fresh.c_str());
    throw std::system_error(error, std::generic_category(), "rename to " + socket_path_);
  }
  listening_ = true;
  asio::co_spawn(io_, AcceptLoop(), asio::detached);
}

void ServedProgram::Stop() {
  if (listening_) {
    listening_ = false;
    asio::error_code ignored;
    acceptor_.close(ignored);
    ::unlink(socket_path_.c_str());
  }
  for (auto& weak : state_->connections)
    if (auto connection = weak.lock()) connection->Close();
  state_->connections.clear();
}

asio::awaitable<void> ServedProgram::AcceptLoop() {
  // After Stop (or destruction) the pending accept ends with
  // operation_aborted and the loop returns before touching any member.
  auto state = state_;
  for (;;) {
    asio::error_code ec;
    Protocol::socket socket =
        co_await acceptor_.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) co_return;
    if (ec) continue;  // e.g. the client gave up before we accepted
    auto connection = std::make_shared<Connection>(std::move(socket), state);
    std::erase_if(state->connections, [](const auto& weak) { return weak.expired(); });
    state->connections.push_back(connection);
    connection->Start();
  }
}

void ServedProgram::SetItem(const std::string& topic, const std::string& item,
                            std::string value) {
  auto topic_key = LowerCase(topic);
  auto item_key = LowerCase(item);
  state_->topics[topic_key].items[item_key] = std::move(value);
  // Copy: an announcement may end a connection and shrink the list.
  auto connections = state_->connections;
  for (auto& weak : connections)
    if (auto connection = weak.lock()) connection->AnnounceIfAdvised(topic_key, item_key);
}

std::string ServedProgram::Item(const std::string& topic, const std::string& item) const {
  auto topic_it = state_->topics.find(LowerCase(topic));
  if (topic_it == state_->topics.end()) return {};
  auto item_it = topic_it->second.items.find(LowerCase(item));
  return item_it == topic_it->second.items.end() ? std::string() : item_it->second;
}

}  // namespace korvane::link
