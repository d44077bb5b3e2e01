// The texts a served program decodes and writes back, and the served side
// of the protocol where the gateway's control would not show it.
#include <gtest/gtest.h>

#include "link/request_text.h"
#include "link/served_program.h"
#include "test_support.h"

namespace korvane::link {
namespace {

TEST(RequestIdTextTest, MatchesTheGatewaysNumberForm) {
  for (auto [id, text] : {std::pair{45296.5, "45296.5"}, {45296.0, "45296"}, {0.01, "0.01"}, {86399.99, "86399.99"},
                          {45296.17, "45296.17"}})
    EXPECT_EQ(RequestIdText(id), text);
  // From the two-decimal ID field of a request.
  for (auto [field, text] : {std::pair{"45296.50", "45296.5"}, {"45296.00", "45296"}, {"0.10", "0.1"},
                             {"abc", "abc"}, {"", ""}})
    EXPECT_EQ(RequestIdText(std::string_view(field)), text) << field;
}

TEST(ExecuteCommandTest, SplitsSessionAndRequestText) {
  for (auto [text, slot] : {std::pair{"&MYIP=1.2.3.4&a=1,2&HTTP/1.0\r\n", 3}, {"", -12}}) {
    auto request = ParseExecuteCommand(std::to_string(slot) + "," + text);
    ASSERT_TRUE(request) << text;
    EXPECT_EQ(request->slot, slot);
    EXPECT_EQ(request->text, text);
  }
  for (const char* other : {"initialize lnkWWW", ",x", "-,", "3x,", "1234567890,x", "3"})
    EXPECT_FALSE(ParseExecuteCommand(other)) << other;

  EXPECT_EQ(ParseInitializeCommand("initialize  lnkWWW "), "lnkWWW");
  EXPECT_EQ(ParseInitializeCommand("INITIALIZE page"), "page");
  EXPECT_FALSE(ParseInitializeCommand("initializer x"));
}

TEST(RequestFieldsTest, DecodesNameValuePieces) {
  std::string text = "&MYIP=10.0.0.5&ID=45296.17&__=calc/sheet&a=1%2B1&b=x+y&HTTP/1.0\r\n";
  text += '\x1a';
  text += "pw=se%63ret";
  auto fields = ParseRequestFields(text);
  EXPECT_EQ(fields, (Fields{{"MYIP", "10.0.0.5"}, {"ID", "45296.17"}, {"__", "calc/sheet"},
                            {"a", "1+1"}, {"b", "x y"}, {"pw", "secret"}}));
  EXPECT_EQ(FieldValue(fields, "id"), "45296.17");
  EXPECT_FALSE(FieldValue(fields, "c"));
  // A posted form: its body follows the request line after a line break.
  EXPECT_EQ(ParseRequestFields("&ID=1.5&__=calc/sheet&HTTP/1.0\r\n&\r\na=1&b=2\r\n"),
            (Fields{{"ID", "1.5"}, {"__", "calc/sheet"}, {"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(UrlDecode("100%"), "100%");
  EXPECT_EQ(UrlDecode("%zz%4"), "%zz%4");
}

TEST(ServedProgramTest, RefusesToTakeOverARunningProgramsSocket) {
  test::TempDir dir;
  asio::io_context io;
  ServedProgram first(io, "Calc", dir.path() + "/links");
  first.Start();
  EXPECT_EQ(first.SocketPath(), dir.path() + "/links/calc");
  ServedProgram second(io, "calc", dir.path() + "/links");
  EXPECT_THROW(second.Start(), std::system_error);

  // Once the first has gone, a socket file it left behind is replaced.
  first.Stop();
  asio::local::stream_protocol::acceptor stale(io, asio::local::stream_protocol::endpoint(
                                                       first.SocketPath()));
  stale.close();
  EXPECT_NO_THROW(second.Start());
}

}  // namespace
}  // namespace korvane::link
