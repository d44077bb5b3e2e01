// A served program: listens on its application's link socket and holds
// conversations with the gateway. Executes go to a handler per topic; items
// are string values per topic, and setting one tells every conversation that
// advises it. Everything runs on the given io_context's thread.
//
//   asio::io_context io;
//   korvane::link::ServedProgram program(io, "calc");
//   program.AddTopic("sheet", [&](const std::string& command) { ...; return true; });
//   program.Start();
//   io.run();
#pragma once
#include <asio.hpp>

#include <memory>
#include <string>

#include "link/link_dir.h"
#include "link/served_state.h"

namespace korvane::link {

class ServedProgram {
 public:
  ServedProgram(asio::io_context& io, std::string application,
                std::string link_dir = DefaultLinkDir());
  ~ServedProgram();
  ServedProgram(const ServedProgram&) = delete;
  ServedProgram& operator=(const ServedProgram&) = delete;

  // The handler runs for each EXECUTE on a conversation with this topic;
  // returning false refuses the command (the client sees error 285). It
  // must not wait: start longer work on the io_context and return.
  void AddTopic(const std::string& topic, ExecuteHandler on_execute);

  // Creates the link folder, binds the socket and starts accepting.
  // A stale socket left by a crashed run is replaced; a socket another
  // running program answers on is not (throws std::system_error, as for
  // any other failure).
  void Start();

  // Closes the socket file and every conversation.
  void Stop();

  // Stores the value and sends CHANGED to every conversation that advises
  // the item, also when the value is the same as before.
  void SetItem(const std::string& topic, const std::string& item, std::string value);
  std::string Item(const std::string& topic, const std::string& item) const;

  const std::string& SocketPath() const { return socket_path_; }
  const std::string& Application() const { return application_; }

 private:
  asio::awaitable<void> AcceptLoop();

  asio::io_context& io_;
  std::string application_;
  std::string link_dir_;
  std::string socket_path_;
  std::shared_ptr<ServedState> state_;
  asio::local::stream_protocol::acceptor acceptor_;
  bool listening_ = false;
};

}  // namespace korvane::link
