// Head lines, form bodies, PUT uploads and multipart uploads, sent by real
// clients over loopback sockets to a gateway running in this process.
#include "channel/http_head.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "core/open_files.h"
#include "test_support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Client;
using test::GatewayHarness;
using test::MessageOf;
using test::WithClient;

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
  g.feed.Subscribe([&g, slot, shot, complete](const Change&) {
    SessionRecord* r = g.Record(slot);
    if (shot->taken || !r || !complete(*r)) return;
    shot->taken = true;
    shot->record = *r;
    if (!r->tempfile.empty()) g.files.ReadAll(r->tempfile, shot->file);
  });
  return shot;
}

int CountEvents(const GatewayHarness& h, const std::string& message) {
  int n = 0;
  for (const auto& line : h.events())
    if (MessageOf(line) == message) ++n;
  return n;
}

std::string TempFolder(GatewayHarness& h) { return h.home().path() + "/drives/c/temp"; }

// Temporary files of the "~dde" family still on disk.
int TempFilesLeft(GatewayHarness& h) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(TempFolder(h)))
    if (e.path().filename().string().rfind("~dd", 0) == 0) ++n;
  return n;
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
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

// ---------------------------------------------------------------------------
// Form posts

TEST(FormPost, BodyWithoutFinalLineEndCompletesTheRequestOnce) {
  GatewayHarness h;
  auto shot = SnapshotWhen(h, 1, [](const SessionRecord& r) {
    return r.n.state == kFormBody && r.n.remaining <= 0;
  });
  std::string reply;
  WithClient(h, [&] {
    // A browser sends the body without CR LF and keeps its side open: only
    // the declared length can tell that the request is complete.
    Client c(h.port());
    c.Send("POST /a HTTP/1.0\r\nContent-Length: 7\r\n\r\nx=1&y=2");
    reply = c.ReadAll(10s);
  });
  ASSERT_TRUE(shot->taken);
  EXPECT_EQ(shot->record.request, "POST /a HTTP/1.0\r\n?\r\nx=1&y=2");
  EXPECT_EQ(shot->record.n.remaining, -2);
  EXPECT_FALSE(reply.empty());
  EXPECT_EQ(reply.find("Program is unavailable"), std::string::npos);
  EXPECT_EQ(CountEvents(h, "#1 to be detached by WWW_Process_Request_sendfile"), 1);
}

TEST(FormPost, EveryBodyLineJoinsTheTrimmedRequest) {
  GatewayHarness h;
  auto shot = SnapshotWhen(h, 1, [](const SessionRecord& r) {
    return r.n.state == kFormBody && r.n.remaining <= 0;
  });
  // Trimming removes blanks only, so the blanks of the request line end go
  // but the line ends between the pieces stay.
  Exchange(h, "POST /a HTTP/1.0  \r\nContent-Length: 12\r\n\r\na=1  \r\nb=2  ");
  ASSERT_TRUE(shot->taken);
  EXPECT_EQ(shot->record.request, "POST /a HTTP/1.0  \r\n?\r\na=1  \r\nb=2  ");
}

// ---------------------------------------------------------------------------
// Head fields, read while the head is still open

class OpenHead : public ::testing::Test {
 protected:
  // Sends head lines on a connection that stays open and waits until the
  // gateway has handled them all (the marker line is logged last).
  void Head(const std::string& lines) {
    client_ = std::make_unique<Client>(h_.port());
    client_->Send(lines + "Host: marker\r\n");
    ASSERT_TRUE(h_.RunUntil([&] { return h_.SawEvent("#1 Host: marker\r\n"); }, 5s));
  }
  SessionRecord& rec() { return h_.g().Sessions[1]; }

  GatewayHarness h_;
  std::unique_ptr<Client> client_;
};

TEST_F(OpenHead, ContentLengthAboveTheLimitIsClamped) {
  Head("POST /a HTTP/1.0\r\nContent-Length: 2000000\r\n");
  EXPECT_EQ(rec().n.remaining, kMaxBody);
  EXPECT_EQ(rec().n.state, kFormHead);
}

TEST_F(OpenHead, ContentLengthTooLargeForAnyCountIsClampedToo) {
  Head("POST /a HTTP/1.0\r\nContent-Length: 99999999999999999999999\r\n");
  EXPECT_EQ(rec().n.remaining, 1500000);
}

TEST_F(OpenHead, ContentLengthReadsTheLeadingNumber) {
  Head("GET /a HTTP/1.0\r\nContent-Length:    42.5xyz\r\n");
  EXPECT_EQ(rec().n.remaining, 42);  // halves go to the even neighbour
  EXPECT_EQ(rec().n.state, kFormHead);
}

TEST_F(OpenHead, ContentLengthKeepsAPutHead) {
  Head("PUT s/common/a.txt\r\nContent-Length: 10\r\n");
  EXPECT_EQ(rec().n.state, kPutHead);
  EXPECT_EQ(rec().n.remaining, 10);
}

TEST_F(OpenHead, MultipartTypeOpensTheUploadFileAndKeepsTheBoundary) {
  Head("POST /u HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=\"q r\"\r\nContent-Length: 5\r\n");
  EXPECT_EQ(rec().n.state, kMultipartHead);
  EXPECT_EQ(rec().n.multipart, kTrue);
  EXPECT_EQ(rec().contenttype, "multipart/form-data; boundary=\"q r\"\r\n");
  EXPECT_EQ(rec().boundary, "--\"q r\"");  // quotes stay part of it
  ASSERT_FALSE(rec().tempfile.empty());
  EXPECT_TRUE(h_.g().files.IsFile(rec().tempfile));
  EXPECT_TRUE(h_.g().openFiles->IsOpen(rec().n.filenum));
}

TEST_F(OpenHead, MultipartMustBeTheTypeItself) {
  Head("POST /u HTTP/1.0\r\nContent-type: text/html; multipart/form-data\r\n");
  EXPECT_EQ(rec().contenttype, "text/html; multipart/form-data\r\n");
  EXPECT_EQ(rec().n.state, kFormHead);
  EXPECT_EQ(rec().n.multipart, 0);
  EXPECT_EQ(h_.g().openFiles->OpenCount(), 0u);
}

TEST_F(OpenHead, FirstRefererIsKeptUpToItsQuery) {
  Head("GET /a HTTP/1.0\r\nReferer: http://h/p?q=1&r=2\r\nReferer: http://other/\r\n");
  EXPECT_EQ(rec().referer, "Referer: http://h/p");
  std::string log = h_.home().Read("drives/c/temp/log/korvane.log");
  EXPECT_NE(log.find(" #1 9 q=1&r=2\r\n\r\n"), std::string::npos);
}

TEST_F(OpenHead, RefererWithoutQueryKeepsTheWholeLine) {
  Head("GET /a HTTP/1.0\r\nReferer: http://h/p  \r\n");
  EXPECT_EQ(rec().referer, "Referer: http://h/p  \r\n");
}

// ---------------------------------------------------------------------------
// PUT uploads

class PutUpload : public ::testing::Test {
 protected:
  PutUpload() { fs::create_directories(Common()); }
  std::string Common() { return TempFolder(h_) + "/common"; }
  std::string Put(const std::string& target, const std::string& body) {
    return Exchange(h_, "PUT " + target + "\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body);
  }
  GatewayHarness h_;
};

TEST_F(PutUpload, BodyIsStoredBehindTheHeadsBlankLine) {
  // Every byte value, line ends inside, a last line longer than the two
  // characters the blank line already counted.
  std::string body;
  for (int i = 0; i < 256; ++i) body += static_cast<char>(i);
  body += "\r\n\n\rbinary tail";
  EXPECT_EQ(Put("s/common/Data.BIN", body), "200 OK\r\n");
  // The head's blank line is the body's first line; the path is lower-cased.
  EXPECT_EQ(ReadHostFile(Common() + "/data.bin"), "\r\n" + body);
  EXPECT_EQ(h_.g().Sessions[1].success, 200);
  EXPECT_TRUE(h_.SawEvent("#1 to be detached by WWW_PutFIle"));
  EXPECT_EQ(TempFilesLeft(h_), 0);
  EXPECT_EQ(h_.g().openFiles->OpenCount(), 0u);
}

TEST_F(PutUpload, SecondPutReplacesTheFileAndSlashesBecomeFolders) {
  fs::create_directories(Common() + "/sub");
  EXPECT_EQ(Put("s/common/sub/x.txt", "first version, longer"), "200 OK\r\n");
  EXPECT_EQ(Put("s/common/sub/x.txt", "second"), "200 OK\r\n");
  EXPECT_EQ(ReadHostFile(Common() + "/sub/x.txt"), "\r\nsecond");
}

TEST_F(PutUpload, PathOutsideCommonIsRefusedAtOnce) {
  // The usual request line starts its path with a slash, which is refused.
  std::string reply = Exchange(h_, "PUT /s/common/a.txt HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ(reply, "515 Can't PUT /s/common/a.txt HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(h_.SawEvent("#1 to be detached by put"));
  EXPECT_FALSE(fs::exists(Common() + "/a.txt"));
  EXPECT_EQ(TempFilesLeft(h_), 0);
  EXPECT_EQ(h_.g().openFiles->OpenCount(), 0u);
}

TEST_F(PutUpload, MissingFolderGetsTheFailureLineAndLeavesNothing) {
  EXPECT_EQ(Put("s/common/NoSuchFolder/a.txt ", "abc"), "515 Can't s/common/nosuchfolder/a.txt\r\n");
  EXPECT_NE(h_.g().Sessions[1].success, 200);
  EXPECT_TRUE(h_.SawEvent("#1 to be detached by WWW_PutFIle"));
  EXPECT_EQ(TempFilesLeft(h_), 0);
}

TEST_F(PutUpload, DotDotNeverLeavesTheDrive) {
  const std::string name = "escape-" + std::to_string(std::random_device{}()) + ".txt";
  EXPECT_EQ(Put("s/common/../../../../../../" + name, "abc"), "200 OK\r\n");
  EXPECT_EQ(ReadHostFile(h_.home().path() + "/drives/c/" + name), "\r\nabc");
  EXPECT_FALSE(fs::exists(fs::path(h_.home().path()).parent_path() / name));
  EXPECT_FALSE(fs::exists(fs::path(h_.home().path()) / name));
}

TEST(PutUploadLeft, ClientLeavingMidBodyLeavesNothingBehind) {
  GatewayHarness h("[Variables]\nExpireSeconds=1\n");
  fs::create_directories(TempFolder(h) + "/common");
  WithClient(h, [&] {
    Client c(h.port());
    c.Send("PUT s/common/part.txt\r\nContent-Length: 100\r\n\r\nonly a part\r\n");
  });
  ASSERT_TRUE(h.RunUntil([&] { return TempFilesLeft(h) == 1; }, 5s));
  // The expiry sweep ends the abandoned session; its file goes with it.
  ASSERT_TRUE(h.RunUntil([&] { return h.SawEvent("#1 to be detached by checkexpiration"); }, 20s));
  EXPECT_EQ(TempFilesLeft(h), 0);
  EXPECT_EQ(h.g().openFiles->OpenCount(), 0u);
  EXPECT_FALSE(fs::exists(TempFolder(h) + "/common/part.txt"));
}

// ---------------------------------------------------------------------------
// Multipart uploads

// A body as browsers and curl send it: a plain field, then a file field.
std::string MultipartBody(const std::string& boundary, const std::string& data) {
  return "--" + boundary + "\r\n" +
         "Content-Disposition: form-data; name=\"note\"\r\n\r\n"
         "a&b\r\n" +
         "--" + boundary + "\r\n" +
         "Content-Disposition: form-data; name=\"upload\"; filename=\"x&y.bin\"\r\n"
         "Content-Type: application/octet-stream\r\n\r\n" +
         data + "\r\n--" + boundary + "--\r\n";
}

TEST(MultipartUpload, FileDataIsFoundAtFileptForNbytes) {
  GatewayHarness h;
  auto shot = SnapshotWhen(h, 1, [](const SessionRecord& r) {
    return r.n.state == kMultipartBody && r.request.find("&TEMPFILE=") != std::string::npos;
  });
  const std::string boundary = "------------------------4e1f0c2b9a7d3e55";
  const std::string data = RandomBytes(1 << 20, 20260101);
  const std::string body = MultipartBody(boundary, data);
  const std::string type = "multipart/form-data; boundary=" + boundary + "\r\n";
  Exchange(h, "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\nContent-Type: " + type + "\r\n" + body);
  ASSERT_TRUE(shot->taken);
  const SessionRecord& r = shot->record;
  const std::string& file = shot->file;

  EXPECT_EQ(r.n.nbytes, 1 << 20);
  ASSERT_GT(r.n.filept, 0);
  ASSERT_LE(static_cast<size_t>(r.n.filept - 1 + r.n.nbytes), file.size());
  EXPECT_TRUE(file.compare(r.n.filept - 1, r.n.nbytes, data) == 0);

  // The info line is filled in place and keeps its 51 characters.
  std::string info = "filept=" + std::to_string(r.n.filept) + " nbytes=" + std::to_string(r.n.nbytes);
  std::string line = "Content-Info: " + info + std::string(51 - 14 - info.size(), ' ') + "\r\n";
  ASSERT_GE(r.n.infopos, 15);
  EXPECT_EQ(file.substr(r.n.infopos - 15, line.size()), line);

  const std::string request = "POST /upload HTTP/1.1\r\n?&note=a%26b&upload=x%26y.bin&FILEPT=" +
                              std::to_string(r.n.filept) + "&NBYTES=1048576&TEMPFILE=" + r.tempfile +
                              "&CONTENTTYPE=" + type + "&";
  EXPECT_EQ(r.request, request);
  // The file holds the body from the head's blank line on, with the info
  // line after the file part's disposition, and ends with the request.
  std::string expected = "\r\n" + body;
  std::string disposition = "filename=\"x&y.bin\"\r\n";
  expected.insert(expected.find(disposition) + disposition.size(), line);
  EXPECT_TRUE(file == expected + request) << "temporary file differs from the expected layout";

  // The session's end takes the file with it.
  ASSERT_TRUE(h.RunUntil([&] { return TempFilesLeft(h) == 0; }, 5s));
  EXPECT_EQ(h.g().openFiles->OpenCount(), 0u);
}

TEST(MultipartUpload, EmptyFileAndSeveralFilesGetTheirOwnCounts) {
  GatewayHarness h;
  auto shot = SnapshotWhen(h, 1, [](const SessionRecord& r) {
    return r.n.state == kMultipartBody && r.request.find("&TEMPFILE=") != std::string::npos;
  });
  std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"a\"; filename=\"e.txt\"\r\n"
                     "Content-Type: text/plain\r\n\r\n\r\n"
                     "--XyZ\r\nContent-Disposition: form-data; name=\"b\"; filename=\"f.txt\"\r\n"
                     "Content-Type: text/plain\r\n\r\nline one\r\n--not the boundary\r\n\r\n"
                     "--XyZ--\r\n";
  Exchange(h, "POST /u HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
  ASSERT_TRUE(shot->taken);
  const std::string& req = shot->record.request;
  size_t first = req.find("&a=e.txt&FILEPT=");
  size_t second = req.find("&NBYTES=0&b=f.txt&FILEPT=");
  ASSERT_NE(first, std::string::npos) << req;
  ASSERT_NE(second, std::string::npos) << req;
  const std::string data = "line one\r\n--not the boundary\r\n";
  std::string tail = req.substr(second + 25);
  int32_t filept = std::stoi(tail);
  EXPECT_NE(tail.find("&NBYTES=" + std::to_string(data.size()) + "&TEMPFILE="), std::string::npos) << req;
  EXPECT_EQ(shot->file.substr(filept - 1, data.size()), data);
}

TEST(MultipartUpload, BodyBeyondTheLimitCompletesAtTheLimitWithoutCrashing) {
  GatewayHarness h;
  int routed = 0;
  h.g().feed.Subscribe([&](const Change& c) {
    if (c.control == "List1" && c.property == "AddItem" &&
        MessageOf(c.value) == "#1 to be detached by WWW_Process_Request_sendfile")
      ++routed;
  });
  // Declares far more than the limit and sends a little more than the
  // limit, without ever closing the part.
  std::string head = "POST /u HTTP/1.0\r\nContent-Type: multipart/form-data; boundary=B\r\n"
                     "Content-Length: 9000000\r\n\r\n";
  std::string body = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"big\"\r\n"
                     "Content-Type: text/plain\r\n\r\n";
  std::string line(999, 'z');
  line += "\n";
  while (body.size() < kMaxBody + 20000) body += line;
  WithClient(h, [&] {
    Client c(h.port());
    c.Send(head + body);
    c.ReadAll(10s);
  });
  ASSERT_TRUE(h.RunUntil([&] { return TempFilesLeft(h) == 0; }, 5s));
  EXPECT_EQ(routed, 1);
  EXPECT_EQ(h.g().openFiles->OpenCount(), 0u);
}

}  // namespace
}  // namespace korvane
