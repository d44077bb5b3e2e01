#include "platform/link_wire.h"

namespace korvane::link {

std::string ErrorText(int code) {
  switch (code) {
    case kNoAnswer: return "No foreign application responded to a DDE conversation";
    case kRefused: return "Foreign application won't perform DDE method or operation";
    case kTimeout: return "Timeout while waiting for DDE response";
    case kNoChannel: return "DDE method invoked with no channel open";
    default: return "DDE error " + std::to_string(code);
  }
}

std::optional<std::size_t> ParseSize(std::string_view text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::size_t size = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    size = size * 10 + static_cast<std::size_t>(c - '0');
  }
  if (size > kMaxPayloadBytes) return std::nullopt;
  return size;
}

asio::awaitable<std::optional<Message>> ReadMessage(Socket& socket, std::string& inbuf,
                                                    std::string_view payload_word) {
  asio::error_code ec;
  std::size_t line_end = co_await asio::async_read_until(
      socket, asio::dynamic_buffer(inbuf, kMaxHeaderBytes), '\n',
      asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return std::nullopt;
  std::string header = inbuf.substr(0, line_end - 1);
  inbuf.erase(0, line_end);
  // A CR before the LF is tolerated so that hand-typed sessions work too.
  if (!header.empty() && header.back() == '\r') header.pop_back();
  Message message;
  auto space = header.find(' ');
  message.word = header.substr(0, space);
  if (space != std::string::npos) message.arg = header.substr(space + 1);
  if (message.word != payload_word) co_return message;

  auto size = ParseSize(message.arg);
  if (!size) co_return std::nullopt;
  if (inbuf.size() < *size) {
    co_await asio::async_read(socket, asio::dynamic_buffer(inbuf),
                              asio::transfer_exactly(*size - inbuf.size()),
                              asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::nullopt;
  }
  message.payload = inbuf.substr(0, *size);
  inbuf.erase(0, *size);
  co_return message;
}

std::string Frame(std::string_view header, std::string_view payload) {
  std::string out;
  out.reserve(header.size() + 1 + payload.size());
  out.append(header).append("\n").append(payload);
  return out;
}

std::string ErrorLine(int code) {
  return "ERR " + std::to_string(code) + " " + ErrorText(code) + "\n";
}

}  // namespace korvane::link
