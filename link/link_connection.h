// One conversation of a served program: the server side of one socket
// connection, from CONNECT to BYE.
#pragma once
#include <asio.hpp>

#include <deque>
#include <map>
#include <memory>
#include <string>

#include "link/served_state.h"
#include "platform/link_wire.h"

namespace korvane::link {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Socket socket, std::shared_ptr<ServedState> state);

  // Starts serving on the socket's executor.
  void Start();
  void Close();

  // Sends CHANGED when this conversation advises that item of that topic.
  void AnnounceIfAdvised(const std::string& topic_key, const std::string& item_key);

 private:
  asio::awaitable<void> Serve();
  std::string Answer(const Message& message);
  std::string Connect(const std::string& topic);
  std::string Execute(const std::string& command);
  std::string Request(const std::string& item);
  ServedTopic* CurrentTopic();

  // Answers and announcements share one ordered outbox.
  void Send(std::string bytes);
  asio::awaitable<void> Drain();

  Socket socket_;
  std::shared_ptr<ServedState> state_;
  std::string topic_key_;  // empty until CONNECT succeeded
  std::map<std::string, std::string> advised_;  // item key -> name as advised
  std::string inbuf_;
  std::deque<std::string> outbox_;
  std::size_t outbox_bytes_ = 0;
  bool draining_ = false;
  bool reading_done_ = false;
  bool closed_ = false;
};

}  // namespace korvane::link
