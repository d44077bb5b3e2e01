// URL, query and file-name utilities. Strings are byte strings; positions
// handed out are 1-based with 0 for "not found", converted here once.
#include "core/url_utils.h"

#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "core/primitives.h"
#include "platform/clock.h"

namespace korvane {
namespace {

// Value of one hexadecimal digit, either case; -1 when c is not one.
int HexValue(char c) {
  static const std::string kDigits = "0123456789ABCDEF";
  char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  size_t at = kDigits.find(upper);
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

// Percent escapes, left to right. A "%" that decoding produced is never
// decoded again, because the search goes on after it.
//
// A "%" followed by exactly one hexadecimal digit has no sound decoding (the
// missing digit would make a negative code). Such an escape is left as sent:
// the text still reaches the program, and "%4x" cannot turn into some other
// character by accident.
void DecodePercents(std::string& s) {
  size_t p = s.find('%');
  while (p != std::string::npos && p + 2 < s.size()) {
    int d1 = HexValue(s[p + 1]);
    int d2 = HexValue(s[p + 2]);
    if (d1 >= 0 && d2 >= 0) s.replace(p, 3, 1, static_cast<char>(d1 * 16 + d2));
    p = s.find('%', p + 1);
  }
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string UrlDecode(const std::string& text, bool lastHttp) {
  std::string s = text;
  std::string tail;
  size_t at = lastHttp ? s.rfind("HTTP") : s.find("HTTP");
  if (at != std::string::npos) {
    tail = "&HTTP=" + s.substr(at + 4);
    s.resize(at);
  }
  // Every field, the first one after "?" too, is then preceded by "&".
  ReplaceAll(s, "?", "?&");
  ReplaceAll(s, "&\r\n", "&");
  ReplaceAll(s, "+", " ");
  DecodePercents(s);
  if (lastHttp) {
    if (EndsWith(s, "\r\n")) s.resize(s.size() - 2);
    // Code 1 marks the fields the gateway adds itself; a client must not
    // be able to forge one.
    if (s.find('\x01') != std::string::npos) s = "SECURITY VIOLATION";
  }
  return s + tail;
}

std::string QueryValue(const std::string& query, const std::string& name) {
  const std::string t = "&" + query + "&";
  const std::string key = "&" + name + "=";
  size_t p = t.find(key);
  if (p == std::string::npos) return "";
  size_t q = t.find('&', p + 1);
  size_t from = p + name.size() + 2;
  if (q == std::string::npos || q < from) return "";
  return Trim(t.substr(from, q - from));
}

int FindLast(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return 0;
  size_t at = haystack.rfind(needle);
  return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

int FindLastChar(const std::string& text, const std::string& ch) {
  if (ch.empty()) return 0;
  size_t at = text.rfind(ch[0]);
  return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

std::string NextTokenLast(std::string& text, const std::string& delimiter) {
  return TokenAt(text, delimiter.empty() ? std::string::npos : text.rfind(delimiter), delimiter.size());
}

std::string ReadTextFile(const Files& files, const std::string& path) {
  // A folder opens like a file on this platform; it is no text file.
  if (!files.IsFile(path)) return "";
  std::string content;
  if (!files.ReadAll(path, content)) return "";
  return content;
}

bool WriteTextFile(const Files& files, const std::string& content, const std::string& path) {
  return files.WriteAll(path, content);
}

void CountHit(Gateway& g, const std::string& letter) {
  std::string name = g.AppPath + "\\ddehits" + letter.substr(0, 1) + ".log";
  char h = static_cast<char>('A' + std::llround(Timer()) / 3600);
  // One open for the look at the last letter and the append. Where the
  // file was found last time is tried first; it is looked for anew (and
  // made) only when it is not there any more.
  static std::map<std::string, std::string> found_at;
  Files::ForgetLooks();
  std::string& host = found_at[g.files.home() + '\n' + name];
  int fd = host.empty() ? -1 : ::open(host.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    host = g.files.Host(name);
    fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  }
  if (fd < 0) return;
  char last = h;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1) last = h;
  // A CR marks the start of a new day: the hour letter went backwards.
  std::string add;
  if (last > h) add += '\r';
  add += h;
  ssize_t written = ::write(fd, add.data(), add.size());
  (void)written;  // a hit that cannot be counted is not an error
  ::close(fd);
}

}  // namespace korvane
