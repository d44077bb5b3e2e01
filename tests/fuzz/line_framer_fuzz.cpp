// libFuzzer target: the line framer on arbitrary bytes.
//
// Input: two bytes that choose a split point and a body count, then the
// stream. Checked, beyond the sanitizers:
//   - the lines put together are exactly the bytes fed, in order;
//   - no line is longer than the limit;
//   - a line without LF is a full-limit piece, the body piece, or the rest
//     at the end of the stream;
//   - outside a body, feeding the stream in two pieces gives the same
//     lines as in one (inside one, a piece that reaches the body count
//     goes as it is, wherever the client's packets happened to end).
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_world.h"
#include "platform/line_framer.h"

namespace {

using korvane::LineFramer;
using korvane::fuzz::Check;

constexpr size_t kMaxLine = 64;

std::vector<std::string> Frame(const std::string& a, const std::string& b, long body) {
  LineFramer framer(kMaxLine);
  std::vector<std::string> out;
  for (const std::string* piece : {&a, &b}) {
    framer.Feed(*piece);
    while (auto line = framer.Next(body, false)) out.push_back(*line);
  }
  while (auto line = framer.Next(body, true)) out.push_back(*line);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string stream(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t split = stream.empty() ? 0 : data[0] % (stream.size() + 1);
  const long body = data[1] % 8 == 0 ? 0 : data[1] % 80;

  const std::vector<std::string> whole = Frame(stream, "", body);
  std::string joined;
  for (size_t i = 0; i < whole.size(); ++i) {
    const std::string& line = whole[i];
    Check(!line.empty() && line.size() <= kMaxLine, "a line is empty or over the limit");
    const bool last = i + 1 == whole.size();
    Check(line.back() == '\n' || line.size() == kMaxLine || last || static_cast<long>(line.size()) >= body,
          "a line without LF came out too early");
    joined += line;
  }
  Check(joined == stream, "the lines are not the bytes fed");
  if (body == 0)
    Check(Frame(stream.substr(0, split), stream.substr(split), body) == whole, "a split changed the lines");
  return 0;
}
