#include "web/password_codec.h"

#include <cstdint>
#include <optional>
#include <random>

#include "core/primitives.h"

namespace korvane {
namespace {

const char kCantEncode[] = "***CANT ENCODE PASSWORD***";
const char kCantDecode[] = "***CANT DECODE PASSWORD***";

int Code(char c) { return static_cast<unsigned char>(c); }

// The checksum is kept as the 16-bit number it always was: a text long and
// high enough to overflow it cannot be encoded.
bool AddChecked(int16_t& sum, int add) {
  int next = sum + add;
  if (next > INT16_MAX || next < INT16_MIN) return false;
  sum = static_cast<int16_t>(next);
  return true;
}

// A character from a computed code; none outside the byte range.
std::optional<char> CharOf(int code) {
  if (code < 0 || code > 255) return std::nullopt;
  return static_cast<char>(code);
}

// Key code at 1-based position p; positions beyond the key count as "0".
int KeyCode(const std::string& key, size_t p) { return p <= key.size() ? Code(key[p - 1]) : '0'; }

std::optional<std::string> Encode(std::string text, std::string key) {
  std::string out;
  int s = PasswordFiller(out);
  out += static_cast<char>(s);
  const size_t unpadded = text.size();
  key = Trim(key);
  const size_t n = std::max(text.size(), key.size());
  text.resize(n, '0');
  key.resize(n, '0');
  int16_t sum = 0;
  for (size_t p = 1; p <= n; ++p) {
    if (p % 2 == 0) {
      s = PasswordFiller(out);
      out += static_cast<char>(s);
    }
    int k = Code(key[p - 1]);
    int t = Code(text[p - 1]);
    if (!AddChecked(sum, 2 * k + t)) return std::nullopt;
    // Truncating remainder: control characters can give a negative code.
    auto c = CharOf((k + t + s + static_cast<int>(p) - 112) % 94 + 33);
    if (!c) return std::nullopt;
    out += *c;
  }
  auto length = CharOf(static_cast<int>(unpadded) + 100);
  if (!length) return std::nullopt;
  out += *length;
  out += static_cast<char>(sum % 94 + 33);
  return out;
}

// Decoding errors (a text cut short, a negative count) are told apart from
// a plain mismatch: only they are logged.
struct Decoded {
  bool error = false;
  std::string text;
  bool matches = false;
};

Decoded Failed() { return Decoded{true, "", false}; }

Decoded Decode(const std::string& encoded, std::string key) {
  key = Trim(key);
  const size_t len = encoded.size();
  auto at = [&](size_t pos) -> std::optional<int> {
    if (pos < 1 || pos > len) return std::nullopt;
    return Code(encoded[pos - 1]);
  };
  std::string out;
  // Wider than the encoder's 16-bit sum: a blank comes back as "~" and adds
  // 94 more than it did when encoded, so a text near the encoder's limit
  // would overflow here although its checksum (taken modulo 94) is right.
  int32_t sum = 0;
  size_t count = 0, pos = 1;
  int s = 0;
  while (len > 2 && pos < len - 2) {
    if (count % 2 == 1 || pos == 1) {
      if (pos != 1) ++pos;
      while (at(pos) && *at(pos) % 2 == 1) ++pos;
      if (!at(pos)) return Failed();
      s = *at(pos);
      // A salt group with nothing after it but length and checksum (the
      // empty text) holds no data character.
      if (pos + 1 > len - 2) break;
    }
    ++pos;
    ++count;
    auto e = at(pos);
    if (!e) return Failed();
    int k = KeyCode(key, count);
    auto t = CharOf((*e - static_cast<int>(count) - s - k + 46 + 940) % 94 + 33);
    if (!t) return Failed();
    sum += Code(*t) + 2 * k;
    out += *t;
  }
  auto length = at(len - 1);
  auto check = at(len);
  if (len < 2 || !length || !check || *length - 100 < 0) return Failed();
  out.resize(std::min(out.size(), static_cast<size_t>(*length - 100)));
  // A blank encodes as a "~" comes back.
  ReplaceAll(out, "~", " ");
  return {false, out, sum % 94 == *check - 33};
}

}  // namespace

int PasswordFiller(std::string& out) {
  // One sequence for the whole process, never reseeded.
  static std::mt19937 random_source;
  static std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (;;) {
    int d = static_cast<int>(unit(random_source) * 93.9) + 33;
    if (d % 2 == 0) return d;
    out += static_cast<char>(d);
  }
}

std::string EncodePassword(Gateway& g, const std::string& text, const std::string& key) {
  std::optional<std::string> encoded = Encode(text, key);
  if (encoded) return *encoded;
  LogEvent(g, nullptr, "Error encoding password");
  return kCantEncode;
}

std::string DecodePassword(Gateway& g, const std::string& encoded, const std::string& key) {
  Decoded d = Decode(encoded, key);
  if (d.error) LogEvent(g, nullptr, "Error decoding password");
  if (d.error || !d.matches) return kCantDecode;
  return d.text;
}

}  // namespace korvane
