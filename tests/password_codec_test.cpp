// The password codec: round trips, salting, the layout's length and
// checksum characters, and refusal of damaged or foreign encodings.
#include "web/password_codec.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace korvane {
namespace {

const std::string kCantDecode = "***CANT DECODE PASSWORD***";
const std::string kCantEncode = "***CANT ENCODE PASSWORD***";

class Codec : public ::testing::Test {
 protected:
  test::GatewayHarness h{"", ""};
  Gateway& g = h.g();
  std::string Enc(const std::string& t, const std::string& k) { return EncodePassword(g, t, k); }
  std::string Dec(const std::string& e, const std::string& k) { return DecodePassword(g, e, k); }
};

TEST_F(Codec, EveryPrintableTextUpTo155CharactersRoundTripsSalted) {
  const std::string key = " 10.0.0.1 ";  // trimmed before use
  std::string all;
  for (int c = 32; c <= 125; ++c) all += static_cast<char>(c);
  all += all;
  for (size_t n : {1u, 2u, 3u, 8u, 9u, 10u, 40u, 86u, 94u, 155u}) {
    std::string text = all.substr(0, n);
    for (int round = 0; round < 20; ++round) {
      std::string e = Enc(text, key);
      for (size_t i = 0; i < e.size(); ++i) {  // all printable but the length character (text length + 100)
        if (i == e.size() - 2) continue;
        ASSERT_TRUE(e[i] >= 33 && e[i] <= 126) << e;
      }
      EXPECT_EQ(static_cast<unsigned char>(e[e.size() - 2]), n + 100);
      EXPECT_EQ(Dec(e, "10.0.0.1"), text) << n;
    }
  }
  std::string a = Enc("secret", "192.168.1.20");
  EXPECT_NE(a, Enc("secret", "192.168.1.20"));
  // Keys shorter than the text, or none; a blank survives and "~" comes back as one.
  EXPECT_EQ(Dec(Enc("a much longer password", "k1"), "k1"), "a much longer password");
  EXPECT_EQ(Dec(Enc("pw", ""), ""), "pw");
  EXPECT_EQ(Dec(Enc("a~b", "key"), "key"), "a b");
  // The empty text: salt, length and checksum (codes 100 and 33) only.
  for (int round = 0; round < 30; ++round) {
    std::string e = Enc("", "");
    ASSERT_GE(e.size(), 3u);
    EXPECT_EQ(e.substr(e.size() - 2), std::string("d!"));
    EXPECT_EQ(static_cast<unsigned char>(e[e.size() - 3]) % 2, 0);  // the salt
    EXPECT_EQ(Dec(e, ""), "");
  }
}

TEST_F(Codec, BlanksNearTheChecksumLimitStillRoundTrip) {
  // A blank decodes through "~", 94 higher than it was encoded: the longest
  // texts the encoder accepts must not overflow the decoder's sum.
  const std::string key = "10.0.0.1";
  int accepted = 0;
  for (size_t n = 100; n <= 150; ++n) {
    std::string text = "c$" + std::string(n, '}') + "Content-Type: }}}}Cookie: }}}";
    std::string e = Enc(text, key);
    if (e == kCantEncode) continue;
    ++accepted;
    EXPECT_EQ(Dec(e, key), text) << n;
  }
  EXPECT_GT(accepted, 0);
}

TEST_F(Codec, WrongKeyDamageAndTextsBeyondTheLimitsAreRefused) {
  int refused = 0;
  for (int round = 0; round < 50; ++round) {
    std::string e = Enc("password1", "10.0.0.1");
    if (Dec(e, "10.0.0.2") == kCantDecode) ++refused;
    std::string damaged = e;
    damaged.back() = damaged.back() == '!' ? '"' : '!';
    EXPECT_EQ(Dec(damaged, "10.0.0.1"), kCantDecode);
  }
  EXPECT_GT(refused, 40);
  for (const std::string& garbage : {std::string(), std::string("x"), std::string(3, '\xff')})
    EXPECT_EQ(Dec(garbage, "k"), kCantDecode);

  EXPECT_EQ(Enc(std::string(156, 'a'), "k"), kCantEncode);     // length above 155
  EXPECT_EQ(Enc(std::string(120, '\xfe'), "k"), kCantEncode);  // checksum beyond 16 bits
  EXPECT_NE(h.home().Read("drives/c/temp/log/korvane.log").find("Error encoding password"), std::string::npos);
}

TEST(PasswordFiller, AppendsOddCodesAndReturnsAnEvenOne) {
  for (int round = 0; round < 200; ++round) {
    std::string out;
    int s = PasswordFiller(out);
    EXPECT_EQ(s % 2, 0);
    EXPECT_TRUE(s >= 34 && s <= 126) << s;
    for (unsigned char c : out) EXPECT_TRUE(c % 2 == 1 && c >= 33 && c <= 125) << int(c);
  }
}

}  // namespace
}  // namespace korvane
