// Head lines, PUT uploads and the upload limits, sent by real clients over
// loopback sockets to a gateway running in this process.
#include "channel/http_head.h"

#include <gtest/gtest.h>

#include <tuple>

#include "core/open_files.h"
#include "test_support.h"

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

std::string TempFolder(GatewayHarness& h) { return h.home().path() + "/drives/c/temp"; }

// Temporary files of the "~dde" family still on disk.
size_t TempFilesLeft(GatewayHarness& h) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(TempFolder(h)))
    if (e.path().filename().string().rfind("~dd", 0) == 0) ++n;
  return n;
}

// Sends text and waits until the client's connection is closed by the
// gateway; returns what came back.
std::string Exchange(GatewayHarness& h, const std::string& text) {
  std::string reply;
  WithClient(h, [&] {
    Client c(h.port());
    c.Send(text);
    reply = c.ReadAll(10s);
  });
  return reply;
}

// Head fields, read while the head is still open: the head lines go out on
// a connection that stays open, and the marker line is logged last.
TEST(OpenHead, FieldsSetTheRequestsState) {
  struct Case {
    std::string lines;
    int32_t remaining;
    int state;
    std::string referer = "", boundary = "";
  };
  const Case cases[] = {
      {"POST /a HTTP/1.0\r\nContent-Length: 1500000\r\n", kMaxBody, kFormHead},  // the limit itself
      {"GET /a HTTP/1.0\r\nContent-Length:    42.5xyz\r\n", 42, kFormHead},  // halves go to the even neighbour
      // "multipart" must be the type itself.
      {"POST /u HTTP/1.0\r\nContent-type: text/html; multipart/form-data\r\n", 0, kFormHead},
      {"GET /a HTTP/1.0\r\nReferer: http://h/p?q=1&r=2\r\nReferer: http://other/\r\n", 0, kGetHead,
       "Referer: http://h/p"},  // the first, up to its query
      // A multipart type opens the upload file; quotes stay part of the boundary.
      {"POST /u HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=\"q r\"\r\nContent-Length: 5\r\n", 5,
       kMultipartHead, "", "--\"q r\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    GatewayHarness h;
    Client client(h.port());
    client.Send(c.lines + "Host: marker\r\n");
    ASSERT_TRUE(h.RunUntil([&] { return h.SawEvent("#1 Host: marker\r\n"); }, 5s));
    const SessionRecord& r = h.g().Sessions[1];
    EXPECT_EQ(std::tuple(r.n.remaining, r.n.state, r.referer, r.boundary),
              std::tuple(c.remaining, c.state, c.referer, c.boundary));
    EXPECT_EQ(r.n.multipart, c.boundary.empty() ? 0 : kTrue);
    const bool upload = c.state == kPutHead || c.state == kMultipartHead;
    EXPECT_EQ(h.g().openFiles->OpenCount(), upload ? 1u : 0u);
    EXPECT_TRUE(!upload || (h.g().openFiles->IsOpen(r.n.filenum) && h.g().files.IsFile(r.tempfile)));
    if (c.referer == "Referer: http://h/p") {
      EXPECT_NE(h.home().Read("drives/c/temp/log/korvane.log").find(" #1 9 q=1&r=2\r\n\r\n"), std::string::npos);
    }
  }
}

// PUT uploads: the head's blank line is the body's first line, the path is
// lower-cased and slashes are folders; nothing stays open or behind.
TEST(PutUpload, StoresReplacesAndRefusesLeavingNothingOpen) {
  GatewayHarness h;
  fs::create_directories(TempFolder(h) + "/common/sub");
  struct Case {
    std::string target, body, reply;
  };
  for (const Case& c : {Case{"s/common/Sub/X.txt", "first version, longer", "200 OK\r\n"},
                        Case{"s/common/sub/x.txt", "second", "200 OK\r\n"},
                        Case{"s/common/NoSuchFolder/a.txt ", "abc", "515 Can't s/common/nosuchfolder/a.txt\r\n"}}) {
    EXPECT_EQ(Exchange(h, "PUT " + c.target + "\r\nContent-Length: " + std::to_string(c.body.size()) +
                              "\r\n\r\n" + c.body),
              c.reply);
    EXPECT_EQ(TempFilesLeft(h) + h.g().openFiles->OpenCount(), 0u);
  }
  EXPECT_EQ(h.home().Read("drives/c/temp/common/sub/x.txt"), "\r\nsecond");
}

// A body over MaxFileLength is refused before anything is stored: the
// refusal line, a log line, nothing left.
TEST(UploadLimits, RefusedBeforeAnythingIsStored) {
  GatewayHarness h("[Variables]\nMaxFileLength=1000\n");
  fs::create_directories(TempFolder(h) + "/common");
  struct Case {
    std::string head, reply, log;
  };
  const Case cases[] = {
      {"POST /a HTTP/1.0\r\nContent-Length: 1001\r\n", "515 Can't POST /a HTTP/1.0\r\n",
       "#1 body of 1001 bytes refused: MaxFileLength is 1000"},
      {"PUT s/common/a.txt\r\nContent-Length: 99999999999999999999999\r\n", "515 Can't s/common/a.txt\r\n",
       "#1 body of 2147483647 bytes refused: MaxFileLength is 1000"},
      {"POST /u HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: 9000000\r\n",
       "515 Can't POST /u HTTP/1.0\r\n", "#1 body of 9000000 bytes refused: MaxFileLength is 1000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(Exchange(h, c.head + "\r\n" + std::string(500, 'z')), c.reply);
    EXPECT_TRUE(h.SawEvent(c.log));
    EXPECT_EQ(TempFilesLeft(h) + h.g().openFiles->OpenCount(), 0u);
  }
  EXPECT_TRUE(fs::is_empty(TempFolder(h) + "/common"));
}

}  // namespace
}  // namespace korvane::test
