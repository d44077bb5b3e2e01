// Cuts the bytes a client sends into lines, with no socket in sight:
// bytes go in with Feed(), lines come out of Next().
//
// - A line ends at LF and keeps its terminator (CR LF, or a lone LF).
// - A line longer than max_line comes out in pieces of max_line bytes, so
//   a client without line ends cannot make the gateway hold more.
// - An unterminated rest comes out whole once it holds as many bytes as
//   the body still expects (a browser sends a form body without a final
//   CR LF), or once the stream has ended.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

class LineFramer {
 public:
  static constexpr std::size_t kMaxLine = 64 * 1024;
  explicit LineFramer(std::size_t max_line = kMaxLine) : max_line_(max_line) {}

  void Feed(std::string_view bytes) { inbox_.append(bytes); }

  // The next line, if one is complete. body_expected: how many bytes the
  // body still expects (0 or less: not in a body); ended: no more bytes
  // will come.
  std::optional<std::string> Next(long body_expected, bool ended);

  bool Empty() const { return inbox_.empty(); }
  bool HasLineEnd() const { return inbox_.find('\n') != std::string::npos; }

 private:
  std::size_t max_line_;
  std::string inbox_;  // bytes fed, not yet framed
};

}  // namespace korvane
