#include "platform/ini_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string_view>
#include <strings.h>
#include <unistd.h>

#include "platform/event_pass.h"

namespace korvane {
namespace {

// The helpers look at the file's lines through views: a lookup runs on
// every request, and copying each line it passes was most of its cost.
std::string_view Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Names compare trimmed and without case, up to a NUL as C strings do.
std::string_view NamePart(std::string_view s) {
  s = Trim(s);
  return s.substr(0, s.find('\0'));
}

bool SameName(std::string_view a, std::string_view b) {
  a = NamePart(a);
  b = NamePart(b);
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// A section's key as the value index holds it: both names as SameName
// compares them. No name read from the file holds a line end, so no two
// pairs join to the same text.
std::string IndexKey(std::string_view section, std::string_view key) {
  section = NamePart(section);
  key = NamePart(key);
  std::string joined;
  joined.reserve(section.size() + key.size() + 1);
  joined.append(section).append(1, '\n').append(key);
  for (char& c : joined) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return joined;
}

// "[name]" → name; anything else → false.
bool SectionName(std::string_view line, std::string_view& name) {
  std::string_view t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string_view::npos) return false;
  name = t.substr(1, close - 1);
  return true;
}

// "key = value" → key and value; comments and blank lines → false.
bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
  std::string_view t = Trim(line);
  if (t.empty() || t[0] == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return !key.empty();
}

// A value as a setting takes it: one pair of matching quotes taken off, cut
// at the longest value.
std::string Unquoted(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v.substr(0, IniFile::kMaxValue));
}

}  // namespace

namespace {

std::vector<std::string> ReadFileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// A file's identity and state as one stat gives them.
struct Signature {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{}, ctime{};
  bool operator==(const Signature& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

using Contents = IniFile::Contents;

struct CachedFile {
  Signature sig;
  std::shared_ptr<const Contents> contents;
};

// The lines, and every value Get can find under its IndexKey: a request
// looks up several keys, and one hash look-up each replaces a walk over
// the file. Of a repeated key the first is kept, as the walk found it.
std::shared_ptr<const Contents> Parse(std::vector<std::string> lines) {
  auto c = std::make_shared<Contents>();
  c->lines = std::move(lines);
  bool inside = false;
  std::string_view section;
  for (const std::string& line : c->lines) {
    std::string_view name, k, v;
    if (SectionName(line, name)) {
      inside = true;
      section = name;
    } else if (inside && KeyValue(line, k, v)) {
      c->values.try_emplace(IndexKey(section, k), Unquoted(v));
    }
  }
  return c;
}

// Every lookup reads the file as it is now, so an edit made while the
// gateway runs counts at once; but a file whose status is unchanged is not
// read again. A file changed less than two seconds before it was read is
// read every time: a second change within the file system's timestamp step
// could leave its status as it was. Within one pass of the event loop the
// status is asked once (see event_pass.h).
std::mutex cache_mutex;
std::map<std::string, CachedFile> cache;
std::map<std::string, std::pair<uint64_t, std::shared_ptr<const Contents>>> this_pass;

std::shared_ptr<const Contents> Remember(const std::string& path, uint64_t pass,
                                         std::shared_ptr<const Contents> contents) {
  if (pass != 0) this_pass[path] = {pass, contents};
  return contents;
}

std::shared_ptr<const Contents> CachedContents(const std::string& path) {
  const uint64_t pass = CurrentPass();
  std::lock_guard<std::mutex> lock(cache_mutex);
  if (pass != 0) {
    auto seen = this_pass.find(path);
    if (seen != this_pass.end() && seen->second.first == pass) return seen->second.second;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    cache.erase(path);
    return Remember(path, pass, std::make_shared<const Contents>());
  }
  Signature sig{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  auto it = cache.find(path);
  if (it != cache.end() && it->second.sig == sig) return Remember(path, pass, it->second.contents);
  auto contents = Parse(ReadFileLines(path));
  bool settled = std::time(nullptr) - std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec) >= 2;
  if (settled)
    cache[path] = CachedFile{sig, contents};
  else
    cache.erase(path);
  return Remember(path, pass, contents);
}

// A write of our own is seen by the next lookup, in this pass too.
void Forget(const std::string& path) {
  std::lock_guard<std::mutex> lock(cache_mutex);
  this_pass.erase(path);
}

}  // namespace

std::shared_ptr<const IniFile::Contents> IniFile::Read() const { return CachedContents(path_); }

std::string IniFile::Get(const std::string& section, const std::string& key,
                         const std::string& dflt) const {
  const auto contents = Read();
  auto it = contents->values.find(IndexKey(section, key));
  return it != contents->values.end() ? it->second : dflt.substr(0, kMaxValue);
}

std::vector<IniFile::Entry> IniFile::Entries() const {
  std::vector<Entry> entries;
  std::string section;
  bool in_section = false;
  const auto contents = Read();  // held: the loop must not outlive it
  const std::vector<std::string>* lines = &contents->lines;
  for (size_t i = 0; i < lines->size(); ++i) {
    std::string_view name, k, v;
    if (SectionName((*lines)[i], name)) {
      section = name;
      in_section = true;
    } else if (in_section && KeyValue((*lines)[i], k, v)) {
      entries.push_back({section, std::string(k), Unquoted(v), static_cast<int>(i + 1)});
    }
  }
  return entries;
}

std::vector<std::string> IniFile::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  size_t used = 0;
  bool inside = false;
  const auto contents = Read();  // held: the loop must not outlive it
  for (const std::string& line : contents->lines) {
    std::string_view name, k, v;
    if (SectionName(line, name)) {
      inside = SameName(name, section);
    } else if (inside && KeyValue(line, k, v)) {
      if (used + k.size() + 1 > kMaxValue) break;
      used += k.size() + 1;
      keys.emplace_back(k);
    }
  }
  return keys;
}

bool IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
  std::vector<std::string> lines = ReadFileLines(path_);
  const std::string entry = key + "=" + value;
  int section_at = -1, last_in_section = -1;
  bool done = false;
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    std::string_view name, k, v;
    if (SectionName(lines[i], name)) {
      if (section_at >= 0) break;  // left our section without finding the key
      if (SameName(name, section)) section_at = last_in_section = static_cast<int>(i);
    } else if (section_at >= 0) {
      if (KeyValue(lines[i], k, v) && SameName(k, key)) {
        lines[i] = entry;
        done = true;
      } else if (!Trim(lines[i]).empty()) {
        last_in_section = static_cast<int>(i);
      }
    }
  }
  if (!done && section_at >= 0) {
    lines.insert(lines.begin() + last_in_section + 1, entry);
  } else if (!done) {
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
  }
  std::string tmp = path_ + ".new";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    for (const std::string& l : lines) out << l << "\r\n";
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      return false;
    }
  }
  bool renamed = std::rename(tmp.c_str(), path_.c_str()) == 0;
  Forget(path_);
  return renamed;
}

}  // namespace korvane
