// The password codec: round trips, salting, the layout's length and
// checksum characters, and refusal of damaged or foreign encodings.
#include "web/password_codec.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace korvane {
namespace {

using test::GatewayHarness;

const std::string kCantDecode = "***CANT DECODE PASSWORD***";
const std::string kCantEncode = "***CANT ENCODE PASSWORD***";

bool Printable(const std::string& s) {
  for (unsigned char c : s)
    if (c < 33 || c > 126) return false;
  return true;
}

class Codec : public ::testing::Test {
 protected:
  GatewayHarness h{"", ""};
  Gateway& g = h.g();
  std::string Enc(const std::string& t, const std::string& k) { return EncodePassword(g, t, k); }
  std::string Dec(const std::string& e, const std::string& k) { return DecodePassword(g, e, k); }
};

TEST_F(Codec, RoundTripsAndIsSalted) {
  const std::string key = "192.168.1.20";
  std::string a = Enc("secret", key), b = Enc("secret", key);
  EXPECT_NE(a, b);
  EXPECT_TRUE(Printable(a)) << a;
  EXPECT_EQ(Dec(a, key), "secret");
  EXPECT_EQ(Dec(b, key), "secret");
  // The length character and the checksum end every encoding.
  EXPECT_EQ(static_cast<unsigned char>(a[a.size() - 2]), 106);
}

TEST_F(Codec, EveryPrintableTextOfAnyLengthRoundTrips) {
  const std::string key = " 10.0.0.1 ";  // trimmed before use
  std::string all;
  for (int c = 32; c <= 125; ++c) all += static_cast<char>(c);
  for (size_t n : {1u, 2u, 3u, 8u, 9u, 10u, 40u, 86u}) {
    std::string text = all.substr(0, n);
    for (int round = 0; round < 20; ++round) EXPECT_EQ(Dec(Enc(text, key), key), text) << n;
  }
  for (int round = 0; round < 20; ++round) EXPECT_EQ(Dec(Enc(all.substr(40), key), "10.0.0.1"), all.substr(40));
}

TEST_F(Codec, EmptyTextGivesSaltLengthAndChecksum) {
  for (int round = 0; round < 30; ++round) {
    std::string e = Enc("", "");
    ASSERT_GE(e.size(), 3u);
    EXPECT_EQ(e.substr(e.size() - 2), std::string("d!"));  // codes 100 and 33
    EXPECT_EQ(static_cast<unsigned char>(e[e.size() - 3]) % 2, 0);  // the salt
    EXPECT_EQ(Dec(e, ""), "");
    EXPECT_EQ(Dec(Enc("", "127.0.0.1"), "127.0.0.1"), "");
  }
}

TEST_F(Codec, TextLongerThanTheKeyUsesZerosBeyondIt) {
  EXPECT_EQ(Dec(Enc("a much longer password", "k1"), "k1"), "a much longer password");
  EXPECT_EQ(Dec(Enc("pw", ""), ""), "pw");
}

TEST_F(Codec, BlanksSurviveAndTildeComesBackAsABlank) {
  EXPECT_EQ(Dec(Enc("a b", "key"), "key"), "a b");
  EXPECT_EQ(Dec(Enc("a~b", "key"), "key"), "a b");
}

TEST_F(Codec, BlanksNearTheChecksumLimitStillRoundTrip) {
  // A blank decodes through "~", 94 higher than it was encoded: the longest
  // texts the encoder accepts must not overflow the decoder's sum.
  const std::string key = "10.0.0.1";
  int accepted = 0;
  for (size_t n = 100; n <= 150; ++n) {
    std::string text = "c$" + std::string(n, '}') + "Content-Type: }}}}Cookie: }}}";
    std::string e = Enc(text, key);
    if (e == "***CANT ENCODE PASSWORD***") continue;
    ++accepted;
    EXPECT_EQ(Dec(e, key), text) << n;
  }
  EXPECT_GT(accepted, 0);
}

TEST_F(Codec, WrongKeyOrDamageIsRefused) {
  int refused = 0;
  for (int round = 0; round < 50; ++round) {
    std::string e = Enc("password1", "10.0.0.1");
    if (Dec(e, "10.0.0.2") == kCantDecode) ++refused;
    std::string damaged = e;
    damaged.back() = damaged.back() == '!' ? '"' : '!';
    EXPECT_EQ(Dec(damaged, "10.0.0.1"), kCantDecode);
  }
  EXPECT_GT(refused, 40);
  EXPECT_EQ(Dec("", "k"), kCantDecode);
  EXPECT_EQ(Dec("x", "k"), kCantDecode);
  EXPECT_EQ(Dec(std::string(3, '\xff'), "k"), kCantDecode);
}

TEST_F(Codec, TextsBeyondTheCodecsLimitsAreRefusedWithALogLine) {
  EXPECT_EQ(Enc(std::string(156, 'a'), "k"), kCantEncode);       // length above 155
  EXPECT_EQ(Enc(std::string(120, '\xfe'), "k"), kCantEncode);    // checksum beyond 16 bits
  std::string log = h.home().Read("drives/c/temp/log/korvane.log");
  EXPECT_NE(log.find("Error encoding password"), std::string::npos);
}

TEST_F(Codec, AnyGarbageDecodesToTextOrRefusalWithoutFault) {
  std::string garbage;
  for (int i = 0; i < 400; ++i) {
    garbage += static_cast<char>((i * 37) % 256);
    std::string out = Dec(garbage, "key");
    (void)out;
  }
  SUCCEED();
}

TEST(PasswordFiller, AppendsOddCodesAndReturnsAnEvenOne) {
  for (int round = 0; round < 200; ++round) {
    std::string out;
    int s = PasswordFiller(out);
    EXPECT_EQ(s % 2, 0);
    EXPECT_GE(s, 34);
    EXPECT_LE(s, 126);
    for (unsigned char c : out) {
      EXPECT_EQ(c % 2, 1);
      EXPECT_GE(c, 33);
      EXPECT_LE(c, 125);
    }
  }
}

}  // namespace
}  // namespace korvane
