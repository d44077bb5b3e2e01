// Until head and upload parsing are built: a request head is read, bodies
// are ignored.
#include "channel/http_head.h"
#include "core/primitives.h"

namespace korvane {

asio::awaitable<void> PutSetUp(Gateway&, int, const std::string&) { co_return; }
void ContentLengthLine(Gateway&, int, const std::string&) {}
void ContentTypeLine(Gateway&, int, const std::string&) {}
void RefererLine(Gateway&, int, const std::string&) {}
asio::awaitable<void> FormBodyLine(Gateway&, int, const std::string&) { co_return; }
asio::awaitable<void> PutBodyLine(Gateway&, int, const std::string&) { co_return; }
asio::awaitable<void> MultipartBodyLine(Gateway&, int, const std::string&) { co_return; }

}  // namespace korvane
