// Until the FTP interpreter is built: commands are logged (by the reader)
// and answered with a plain refusal, and data sockets carry no events.
#include "channel/data_events.h"
#include "channel/ftp_commands.h"
#include "core/primitives.h"

namespace korvane {

asio::awaitable<void> process_FTP_request(Gateway& g, int index, std::string) {
  co_await SendReply(g, index, "502 Command not implemented");
}

void WireDataSocket(Gateway&, int) {}

}  // namespace korvane
