// Head lines, form bodies, PUT uploads and multipart uploads, sent by real
// clients over loopback sockets to a gateway running in this process.
#include "channel/http_head.h"

#include <gtest/gtest.h>

#include "core/open_files.h"
#include "test_support.h"

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

// The session as the router found it. The router may overwrite the
// temporary file (template filling) and the session's end deletes it, so
// tests that look at an upload copy it at the first event after the
// request completed: the router's own first log line.
struct Snapshot {
  bool taken = false;
  SessionRecord record;
  std::string file;  // the temporary file's bytes
};

std::shared_ptr<Snapshot> SnapshotWhen(GatewayHarness& h, int slot,
                                       std::function<bool(const SessionRecord&)> complete) {
  auto shot = std::make_shared<Snapshot>();
  Gateway& g = h.g();
  g.feed.Subscribe([&g, slot, shot, complete](const ChangeView&) {
    SessionRecord* r = g.Record(slot);
    if (shot->taken || !r || !complete(*r)) return;
    shot->taken = true;
    shot->record = *r;
    if (!r->tempfile.empty()) g.files.ReadAll(r->tempfile, shot->file);
  });
  return shot;
}

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

TEST(FormPost, EveryBodyLineJoinsTheTrimmedRequestOnce) {
  // A browser sends the body without CR LF and keeps its side open: only
  // the declared length can tell that the request is complete. Trimming
  // removes blanks only, so the line ends between the pieces stay.
  for (auto [sent, request] :
       {std::pair{"POST /a HTTP/1.0\r\nContent-Length: 7\r\n\r\nx=1&y=2", "POST /a HTTP/1.0\r\n?\r\nx=1&y=2"},
        {"POST /a HTTP/1.0  \r\nContent-Length: 12\r\n\r\na=1  \r\nb=2  ", "POST /a HTTP/1.0  \r\n?\r\na=1  \r\nb=2  "}}) {
    GatewayHarness h;
    auto shot = SnapshotWhen(h, 1, [](const SessionRecord& r) { return r.n.state == kFormBody && r.n.remaining <= 0; });
    EXPECT_NE(Exchange(h, sent), "");
    ASSERT_TRUE(shot->taken);
    EXPECT_EQ(shot->record.request, request);
    EXPECT_EQ(h.CountEvents("#1 to be detached by WWW_Process_Request_sendfile"), 1);
  }
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
      {"PUT s/common/a.txt\r\nContent-Length: 10\r\n", 10, kPutHead},
      // "multipart" must be the type itself.
      {"POST /u HTTP/1.0\r\nContent-type: text/html; multipart/form-data\r\n", 0, kFormHead},
      {"GET /a HTTP/1.0\r\nReferer: http://h/p?q=1&r=2\r\nReferer: http://other/\r\n", 0, kGetHead,
       "Referer: http://h/p"},  // the first, up to its query
      {"GET /a HTTP/1.0\r\nReferer: http://h/p  \r\n", 0, kGetHead, "Referer: http://h/p  \r\n"},
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
    EXPECT_EQ(r.n.remaining, c.remaining);
    EXPECT_EQ(r.n.state, c.state);
    EXPECT_EQ(r.referer, c.referer);
    EXPECT_EQ(r.boundary, c.boundary);
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

TEST(PutUpload, ClientLeavingMidBodyLeavesNothingBehind) {
  GatewayHarness h("[Variables]\nExpireSeconds=1\n");
  fs::create_directories(TempFolder(h) + "/common");
  WithClient(h, [&] {
    Client c(h.port());
    c.Send("PUT s/common/part.txt\r\nContent-Length: 100\r\n\r\nonly a part\r\n");
  });
  ASSERT_TRUE(h.RunUntil([&] { return TempFilesLeft(h) == 1; }, 5s));
  // The expiry sweep ends the abandoned session; its file goes with it.
  ASSERT_TRUE(h.RunUntil([&] { return h.SawEvent("#1 to be detached by checkexpiration"); }, 20s));
  EXPECT_EQ(TempFilesLeft(h) + h.g().openFiles->OpenCount(), 0u);
  EXPECT_FALSE(fs::exists(TempFolder(h) + "/common/part.txt"));
}

// Multipart uploads: a plain field joins the request; an empty file part and
// a second file whose data holds a line that only starts like the boundary
// each get their own counts. (The
// layout of one large upload's file is compared by the end-to-end tests.)
TEST(MultipartUpload, EmptyFileAndSeveralFilesGetTheirOwnCounts) {
  GatewayHarness h;
  auto shot = SnapshotWhen(h, 1, [](const SessionRecord& r) {
    return r.n.state == kMultipartBody && r.request.find("&TEMPFILE=") != std::string::npos;
  });
  std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nx&y\r\n"
                     "--XyZ\r\nContent-Disposition: form-data; name=\"a\"; filename=\"e.txt\"\r\n"
                     "Content-Type: text/plain\r\n\r\n\r\n"
                     "--XyZ\r\nContent-Disposition: form-data; name=\"b\"; filename=\"f.txt\"\r\n"
                     "Content-Type: text/plain\r\n\r\nline one\r\n--not the boundary\r\n\r\n"
                     "--XyZ--\r\n";
  Exchange(h, "POST /u HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
  ASSERT_TRUE(shot->taken);
  const std::string& req = shot->record.request;
  size_t first = req.find("?&note=x%26y&a=e.txt&FILEPT=");
  size_t second = req.find("&NBYTES=0&b=f.txt&FILEPT=");
  ASSERT_NE(first, std::string::npos) << req;
  ASSERT_NE(second, std::string::npos) << req;
  const std::string data = "line one\r\n--not the boundary\r\n";
  std::string tail = req.substr(second + 25);
  int32_t filept = std::stoi(tail);
  EXPECT_NE(tail.find("&NBYTES=" + std::to_string(data.size()) + "&TEMPFILE="), std::string::npos) << req;
  EXPECT_EQ(shot->file.substr(filept - 1, data.size()), data);
}

// A body over MaxFileLength, or an upload name that climbs, is refused
// before anything is stored: the refusal line, a log line, nothing left.
TEST(UploadLimits, RefusedBeforeAnythingIsStored) {
  GatewayHarness h("[Variables]\nMaxFileLength=1000\n");
  fs::create_directories(TempFolder(h) + "/common");
  struct Case {
    std::string head, reply, log;
  };
  const Case cases[] = {
      {"POST /a HTTP/1.0\r\nContent-Length: 1001\r\n", "515 Can't POST /a HTTP/1.0\r\n",
       "#1 body of 1001 bytes refused: MaxFileLength is 1000"},
      {"PUT s/common/a.txt\r\nContent-Length: 2000000\r\n", "515 Can't s/common/a.txt\r\n",
       "#1 body of 2000000 bytes refused: MaxFileLength is 1000"},
      {"PUT s/common/a.txt\r\nContent-Length: 99999999999999999999999\r\n", "515 Can't s/common/a.txt\r\n",
       "#1 body of 2147483647 bytes refused: MaxFileLength is 1000"},
      {"POST /u HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=B\r\nContent-Length: 9000000\r\n",
       "515 Can't POST /u HTTP/1.0\r\n", "#1 body of 9000000 bytes refused: MaxFileLength is 1000"},
      {"PUT s/common/../../export/a.htm\r\nContent-Length: 3\r\n", "515 Can't PUT s/common/../../export/a.htm\r\n\r\n",
       "#1 to be detached by put"},
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
