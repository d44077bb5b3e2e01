// Framing of link messages: a header line ended by LF, then, for the
// messages that carry one, a payload of exactly the announced size.
#pragma once
#include <asio.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace korvane::link {

inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr std::size_t kMaxPayloadBytes = 64 * 1024 * 1024;

// Error codes and texts the gateway shows for failed link operations.
inline constexpr int kNoAnswer = 282;
inline constexpr int kRefused = 285;
inline constexpr int kTimeout = 286;
inline constexpr int kNoChannel = 293;
std::string ErrorText(int code);

struct Message {
  std::string word;     // "EXECUTE"
  std::string arg;      // text after the first space, may be empty
  std::string payload;  // only for messages that carry one
};

// Reads one message. A payload is read when the word is payload_word (the
// header's argument is then its size). nullopt on end of stream, read error
// or a malformed or oversized message: the connection is then unusable.
using Socket = asio::local::stream_protocol::socket;
asio::awaitable<std::optional<Message>> ReadMessage(Socket& socket, std::string& inbuf,
                                                    std::string_view payload_word);

// Parses a payload size: decimal digits only, at most kMaxPayloadBytes.
std::optional<std::size_t> ParseSize(std::string_view text);

// Header plus payload, ready to write.
std::string Frame(std::string_view header, std::string_view payload);
std::string ErrorLine(int code);

}  // namespace korvane::link
