// The pure protocol cores: the line framer, fed every request split at
// every byte offset, and the head-line classifier's decisions.
#include "platform/line_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "channel/head_line.h"

namespace korvane {
namespace {

using Lines = std::vector<std::string>;

// What the reader reports as the body still expected after the lines so
// far: nothing before the head's blank line, then the declared length less
// the body bytes already taken.
long BodyExpected(const Lines& taken, long body_length) {
  bool in_body = false;
  long body = 0;
  for (const std::string& line : taken) {
    if (in_body) body += static_cast<long>(line.size());
    in_body = in_body || line == "\r\n" || line == "\n";
  }
  return in_body ? body_length - body : 0;
}

// Feeds the pieces in turn, taking lines after each, then ends the stream.
Lines FrameAll(const std::vector<std::string>& pieces, long body_length, size_t max_line) {
  LineFramer framer(max_line);
  Lines out;
  auto take = [&](bool ended) {
    while (auto line = framer.Next(BodyExpected(out, body_length), ended)) out.push_back(*line);
  };
  for (const std::string& piece : pieces) {
    framer.Feed(piece);
    take(false);
  }
  take(true);
  return out;
}

struct FramingCase {
  const char* name;
  std::string bytes;
  long body_length;  // the declared body length, 0 for none
  size_t max_line;
  Lines lines;
};

TEST(LineFramer, SameLinesWhereverTheBytesAreSplit) {
  const std::string big(40, 'x');
  const std::vector<FramingCase> cases = {
      {"get head", "GET /a HTTP/1.0\r\nHost: h\r\nUser-Agent: u\r\n\r\n", 0, 1024,
       {"GET /a HTTP/1.0\r\n", "Host: h\r\n", "User-Agent: u\r\n", "\r\n"}},
      {"lone LF ends a line, lone CR does not", "GET /b\nA: 1\rB\n\n", 0, 1024, {"GET /b\n", "A: 1\rB\n", "\n"}},
      {"form body without a final line end", "POST /f HTTP/1.0\r\nContent-Length: 7\r\n\r\nx=1&y=2", 7, 1024,
       {"POST /f HTTP/1.0\r\n", "Content-Length: 7\r\n", "\r\n", "x=1&y=2"}},
      {"unterminated rest waits for the end", "PUT /p\r\nabc", 100, 1024, {"PUT /p\r\n", "abc"}},
      {"short body waits for the end", "POST /f\r\n\r\nab", 5, 1024, {"POST /f\r\n", "\r\n", "ab"}},
      {"oversize line comes in pieces", big + "\r\nend\r\n", 0, 16,
       {big.substr(0, 16), big.substr(16, 16), big.substr(32) + "\r\n", "end\r\n"}},
      {"line of exactly the limit stays whole", std::string(15, 'y') + "\n", 0, 16, {std::string(15, 'y') + "\n"}},
      {"binary junk", std::string("\0\xff\r\n\x01", 5), 0, 1024, {std::string("\0\xff\r\n", 4), "\x01"}},
  };
  for (const FramingCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FrameAll({c.bytes}, c.body_length, c.max_line), c.lines);
    for (size_t at = 0; at <= c.bytes.size(); ++at)
      ASSERT_EQ(FrameAll({c.bytes.substr(0, at), c.bytes.substr(at)}, c.body_length, c.max_line), c.lines)
          << "split at " << at;
    std::vector<std::string> bytewise;
    for (char ch : c.bytes) bytewise.emplace_back(1, ch);
    EXPECT_EQ(FrameAll(bytewise, c.body_length, c.max_line), c.lines);
  }
}

TEST(HeadLine, EachLineNamesItsStepAndItsLogLine) {
  struct Row {
    std::string line;
    HeadStep step;
    std::string log;
    bool listed;
  };
  const std::vector<Row> rows = {
      {"GET /a HTTP/1.0\r\n", HeadStep::kGetRequest, "#3 17 GET /a HTTP/1.0\r\n", true},
      {"HEAD /a\r\n", HeadStep::kGetRequest, "#3 9 HEAD /a\r\n", true},
      {"POST /f\r\n", HeadStep::kFormRequest, "#3 9 POST /f\r\n", true},
      {"PUT /s/common/x\r\n", HeadStep::kPutRequest, "", true},
      {"content-length: 12\r\n", HeadStep::kContentLength, "#3 20 content-length: 12\r\n", true},
      {"Content-Type: text/plain\r\n", HeadStep::kContentType, "#3 Content-Type: text/plain\r\n", true},
      {"Content-type: a\r\n", HeadStep::kContentType, "#3 Content-type: a\r\n", true},
      {"Host: h:80\r\n", HeadStep::kHost, "#3 Host: h:80\r\n", true},
      {"User-Agent: curl\r\n", HeadStep::kUserAgent, "#3 User-Agent: curl\r\n", true},
      {"Referer: http://r/\r\n", HeadStep::kReferer, "#3 Referer: http://r/\r\n", true},
      {"get /lower\r\n", HeadStep::kNone, "#3 unresolved: 12 get /lower\r\n", false},
      {"Accept: */*\r\n", HeadStep::kNone, "#3 unresolved: 13 Accept: */*\r\n", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    HeadDecision d = ClassifyHeadLine(3, row.line);
    EXPECT_EQ(std::tuple(d.step, d.log, d.listed), std::tuple(row.step, row.log, row.listed));
  }
}

}  // namespace
}  // namespace korvane
