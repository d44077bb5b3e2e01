// libFuzzer target: the URL utilities and the password codec.
//
// Input: the first byte picks options, the rest is the text.
//   - UrlDecode with lastHttp false and true: no fault; with lastHttp and
//     no "HTTP" in the text, no code 1 survives (the forgery guard).
//   - QueryValue: the text split at its first NUL into query and name
//     (the name empty when there is none); the value never holds "&" and
//     is a piece of the query.
//   - DecodePassword on the text with a fixed and a text-given key: no
//     fault, and the answer is text or the refusal.
//   - For texts of codes 32 to 126 up to 155 long: EncodePassword then
//     DecodePassword gives the text back ("~" comes back as a blank), or
//     the encoder refuses exactly when the 16-bit checksum would overflow.
#include <algorithm>
#include <cstdint>
#include <string>

#include "core/url_utils.h"
#include "fuzz_world.h"
#include "web/password_codec.h"

namespace {

using namespace korvane;
using fuzz::Check;

const std::string kCantEncode = "***CANT ENCODE PASSWORD***";

fuzz::World& TheWorld() {
  static fuzz::World w("", {});
  return w;
}

// Whether the encoder's running 16-bit checksum overflows for this text and
// key (the key trimmed, both padded with "0" to the longer length).
bool ChecksumOverflows(const std::string& text, std::string key) {
  size_t b = key.find_first_not_of(' ');
  size_t e = key.find_last_not_of(' ');
  key = b == std::string::npos ? "" : key.substr(b, e - b + 1);
  size_t n = std::max(text.size(), key.size());
  long sum = 0;
  for (size_t p = 0; p < n; ++p) {
    int k = p < key.size() ? static_cast<unsigned char>(key[p]) : '0';
    int t = p < text.size() ? static_cast<unsigned char>(text[p]) : '0';
    sum += 2 * k + t;
    if (sum > 32767) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 4096) return 0;
  fuzz::World& w = TheWorld();
  const uint8_t options = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  (void)UrlDecode(text, false);
  std::string last = UrlDecode(text, true);
  if (text.find("HTTP") == std::string::npos)
    Check(last.find('\x01') == std::string::npos, "UrlDecode let a code 1 through");

  size_t nul = text.find('\0');
  std::string query = nul == std::string::npos ? text : text.substr(0, nul);
  std::string name = nul == std::string::npos ? "" : text.substr(nul + 1);
  std::string value = QueryValue(query, name);
  Check(value.find('&') == std::string::npos, "QueryValue gave a value holding &");
  Check(value.empty() || query.find(value) != std::string::npos, "QueryValue gave text not in the query");

  const std::string key = (options & 1) ? name : "192.168.1.20";
  (void)DecodePassword(*w.g, text, "10.0.0.1");
  (void)DecodePassword(*w.g, query, key);

  bool printable = text.size() <= 155 &&
                   std::all_of(text.begin(), text.end(), [](char c) { return c >= 32 && c <= 126; });
  if (printable) {
    const std::string codec_key = (options & 2) ? "10.0.0.1" : std::string(" 127.0.0.1 ");
    std::string encoded = EncodePassword(*w.g, text, codec_key);
    if (ChecksumOverflows(text, codec_key)) {
      Check(encoded == kCantEncode, "the encoder accepted a text whose checksum overflows");
    } else {
      Check(encoded != kCantEncode, "the encoder refused a text it can encode");
      // All but the length character (text length + 100) are printable.
      for (size_t i = 0; i + 2 < encoded.size(); ++i)
        Check(encoded[i] >= 33 && encoded[i] <= 126, "an encoding is not printable");
      Check(static_cast<unsigned char>(encoded[encoded.size() - 2]) == text.size() + 100,
            "the length character is wrong");
      std::string expected = text;
      std::replace(expected.begin(), expected.end(), '~', ' ');
      Check(DecodePassword(*w.g, encoded, codec_key) == expected, "a password did not round trip");
    }
  }
  return 0;
}
