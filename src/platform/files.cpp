#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/event_pass.h"

namespace korvane {
namespace {

bool StatPath(const std::string& host, struct stat& st) { return ::stat(host.c_str(), &st) == 0; }

// One pass of the gateway's loop (see event_pass.h) often looks at the
// same file several times: the router finds a document, measures it, then
// opens it. What a look found is kept for the rest of the pass, and
// forgotten at once when this gateway changes anything on disk. Each thread
// keeps its own; outside a counting loop nothing is kept.
struct Look {
  std::string host;
  bool found = false;
  struct stat st {};
};
constexpr size_t kKeptLooks = 4;
thread_local uint64_t looks_pass = 0;
thread_local std::vector<Look> looks;

bool LookAt(const std::string& host, struct stat& st) {
  const uint64_t pass = CurrentPass();
  if (pass == 0) return StatPath(host, st);
  if (pass != looks_pass) {
    looks.clear();
    looks_pass = pass;
  }
  for (const Look& look : looks) {
    if (look.host == host) {
      st = look.st;
      return look.found;
    }
  }
  const bool found = StatPath(host, st);
  if (looks.size() == kKeptLooks) looks.erase(looks.begin());
  looks.push_back(Look{host, found, st});
  return found;
}

// The entry of dir whose name equals name without regard to case: name
// itself when it exists as given, else its lower-case form when that
// exists, else the first the folder lists; name when nothing matches.
std::string MatchComponent(const std::string& dir, const std::string& name) {
  struct stat st;
  if (StatPath(dir + "/" + name, st)) return name;
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower != name && StatPath(dir + "/" + lower, st)) return lower;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return name;
  std::string found = name;
  while (dirent* e = ::readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0) {
      found = e->d_name;
      break;
    }
  }
  ::closedir(d);
  return found;
}

// Copies size bytes from in to out in the kernel; falls back on plain reads
// and writes where the file systems do not allow that.
// Copies up to size bytes from in to out at their current offsets; copied
// tells how many arrived.
bool CopyBytes(int in, int out, off_t size, off_t& copied) {
  off_t left = size;
  copied = 0;
  while (left > 0) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) break;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;  // the file shrank: what was there is copied
    left -= n;
    copied += n;
  }
  char buffer[65536];
  while (left > 0) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
      copied += w;
    }
    left -= n;
  }
  return true;
}

// A file whose content is replaced is opened without O_TRUNC and cut to its
// new length once written (FinishRewrite). ext4 takes "truncate to zero,
// then write" for a file being replaced and pushes it to disk when it is
// closed (auto_da_alloc); that made each rewrite of a small file such as
// ddeclient.txt or recent.htm cost about 100 us. Writing over the old bytes
// and cutting the rest leaves the same file without the flush.
int OpenForRewrite(const std::string& host, mode_t mode) {
  return ::open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode);
}

// old_length: the file's length before (0 when it was not there); only a
// longer old content needs cutting.
bool FinishRewrite(int fd, off_t length, off_t old_length, bool ok) {
  if (old_length > length) ok = ::ftruncate(fd, length) == 0 && ok;
  return ::close(fd) == 0 && ok;
}

bool WriteBytes(int fd, std::string_view data, off_t& written) {
  written = 0;
  while (written < static_cast<off_t>(data.size())) {
    ssize_t w = ::write(fd, data.data() + written, data.size() - static_cast<size_t>(written));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    written += w;
  }
  return true;
}

std::string TrimBlanks(std::string_view s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return "";
  size_t e = s.find_last_not_of(' ');
  return std::string(s.substr(b, e - b + 1));
}

// A change made through this class: looks kept from before it are
// forgotten, and so is what the change itself looked at.
struct Changing {
  Changing() { looks.clear(); }
  ~Changing() { looks.clear(); }
};

}  // namespace

std::vector<std::string> SplitWinPath(std::string_view path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  return parts;
}

Files::Files(std::string home, std::string drives_root)
    : home_(std::move(home)), drives_root_(std::move(drives_root)) {}

void Files::ForgetLooks() { looks.clear(); }

void Files::MapDrive(char letter, std::string host_dir) {
  drives_[static_cast<char>(std::tolower(static_cast<unsigned char>(letter)))] = std::move(host_dir);
}

std::string Files::Host(std::string_view win_path) const {
  struct stat st;
  return HostStat(win_path, st);
}

void Files::Split(std::string_view win_path, std::string& root, std::vector<std::string>& kept) const {
  std::string path = TrimBlanks(win_path);
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    auto it = drives_.find(letter);
    root = it != drives_.end() ? it->second : drives_root_ + "/" + std::string(1, letter);
    path = path.substr(2);
  } else if (!path.empty() && (path[0] == '\\' || path[0] == '/')) {
    // A rooted path without a drive is on the current drive, which is C:.
    auto it = drives_.find('c');
    root = it != drives_.end() ? it->second : drives_root_ + "/c";
  } else {
    root = home_;
  }
  kept.clear();
  for (const std::string& part : SplitWinPath(path)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();  // never above the root
      continue;
    }
    kept.push_back(part);
  }
}

std::string Files::HostStat(std::string_view win_path, struct stat& st, bool* found) const {
  std::string root;
  std::vector<std::string> kept;
  Split(win_path, root, kept);
  bool ok = false;
  std::string host = MatchPath(root, kept, st, ok);
  if (found) *found = ok;
  return host;
}

bool Files::RemoveMade(std::string_view p) const {
  Changing changing;
  std::string root;
  std::vector<std::string> kept;
  Split(p, root, kept);
  std::string host = root;
  for (const std::string& part : kept) host += "/" + part;
  if (::unlink(host.c_str()) == 0) return true;
  if (errno != ENOENT || kept.empty()) return Remove(p);
  // Gone already, if its folder is there as named; only a folder named in
  // another case needs the search.
  struct stat st;
  std::string folder = host.substr(0, host.rfind('/'));
  if (StatPath(folder, st) && S_ISDIR(st.st_mode)) return false;
  return Remove(p);
}

namespace {

std::string LowerCase(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Joined(const std::string& root, const std::vector<std::string>& parts) {
  std::string host = root;
  for (const std::string& part : parts) host += "/" + part;
  return host;
}

}  // namespace

// Most names are given in their stored case: one look at the whole path
// settles it. Requests arrive upper-cased while Linux files are mostly
// lower-case, so the next guess is the last component in lower case. Only
// when both fail is each component matched without case; where a folder
// holds several names that differ only in case, the one as given wins, then
// the lower-case one, then the first the folder lists.
std::string Files::MatchPath(const std::string& root, std::vector<std::string>& parts,
                             struct stat& st, bool& found) const {
  std::string host = Joined(root, parts);
  if ((found = LookAt(host, st))) return host;
  if (parts.empty()) return host;
  std::string given = parts.back();
  parts.back() = LowerCase(given);
  if (parts.back() != given) {
    std::string lower = Joined(root, parts);
    if ((found = LookAt(lower, st))) return lower;
  }
  parts.back() = given;
  host = root;
  for (const std::string& part : parts) host += '/' + MatchComponent(host, part);
  found = StatPath(host, st);
  return host;
}

bool Files::Stat(std::string_view p, FileInfo& info) const {
  struct stat st;
  bool found = false;
  info.host = HostStat(p, st, &found);
  if (!found) return false;
  info.is_dir = S_ISDIR(st.st_mode);
  info.is_file = S_ISREG(st.st_mode);
  info.size = static_cast<int64_t>(st.st_size);
  info.mtime = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
  return true;
}

bool Files::Exists(std::string_view p) const {
  FileInfo info;
  return Stat(p, info);
}

bool Files::IsDir(std::string_view p) const {
  FileInfo info;
  return Stat(p, info) && info.is_dir;
}

bool Files::IsFile(std::string_view p) const {
  FileInfo info;
  return Stat(p, info) && info.is_file;
}

int64_t Files::Length(std::string_view p) const {
  FileInfo info;
  return Stat(p, info) ? info.size : -1;
}

bool Files::Modified(std::string_view p, double& unix_seconds) const {
  FileInfo info;
  if (!Stat(p, info)) return false;
  unix_seconds = info.mtime;
  return true;
}

bool Files::MakeDir(std::string_view p, unsigned mode) const {
  Changing changing;
  std::string host = Host(p);
  return ::mkdir(host.c_str(), static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

bool Files::MakeDirs(std::string_view p) const {
  Changing changing;
  std::string host = Host(p);
  for (size_t i = 1; i <= host.size(); ++i) {
    if (i == host.size() || host[i] == '/') {
      std::string part = host.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

bool Files::Remove(std::string_view p) const {
  Changing changing;
  return ::unlink(Host(p).c_str()) == 0;
}

bool Files::Copy(std::string_view from, std::string_view to) const {
  // The kernel copies; a large upload never passes through our memory.
  // The source is found before the kept looks are forgotten: only the
  // destination changes.
  const std::string source = Host(from);
  Changing changing;
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return false;
  }
  struct stat old;
  bool existed = false;
  int out = OpenForRewrite(HostStat(to, old, &existed), st.st_mode & 0777);
  if (out < 0) {
    ::close(in);
    return false;
  }
  off_t copied = 0;
  bool ok = CopyBytes(in, out, st.st_size, copied);
  ::close(in);
  return FinishRewrite(out, copied, existed ? old.st_size : 0, ok);
}

bool Files::ReadAll(std::string_view p, std::string& out) const {
  FileInfo info;
  if (!Stat(p, info) || !info.is_file) return false;
  std::ifstream in(info.host, std::ios::binary);
  if (!in) return false;
  out.resize(static_cast<size_t>(info.size));
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  out.resize(static_cast<size_t>(in.gcount()));
  return !in.bad();
}

bool Files::WriteAll(std::string_view p, std::string_view data) const {
  Changing changing;
  struct stat old;
  bool existed = false;
  int fd = OpenForRewrite(HostStat(p, old, &existed), 0666);
  if (fd < 0) return false;
  off_t written = 0;
  bool ok = WriteBytes(fd, data, written);
  return FinishRewrite(fd, written, existed ? old.st_size : 0, ok);
}

bool Files::Append(std::string_view p, std::string_view data) const {
  Changing changing;
  std::ofstream out(Host(p), std::ios::binary | std::ios::app);
  if (!out) return false;
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

std::vector<DirEntry> Files::List(std::string_view win_dir) const {
  std::vector<DirEntry> entries;
  std::string host = Host(win_dir);
  DIR* d = ::opendir(host.c_str());
  if (!d) return entries;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (!StatPath(host + "/" + name, st)) continue;
    DirEntry entry;
    entry.name = name;
    entry.is_dir = S_ISDIR(st.st_mode);
    entry.hidden = name[0] == '.';
    entry.readonly = (st.st_mode & S_IWUSR) == 0;
    entry.size = static_cast<int64_t>(st.st_size);
    entry.mtime = static_cast<double>(st.st_mtim.tv_sec);
    entries.push_back(entry);
  }
  ::closedir(d);
  return entries;
}

std::string Files::TempName(std::string_view win_dir, std::string_view prefix) const {
  static unsigned counter = static_cast<unsigned>(::getpid()) & 0xFFFF;
  std::string dir(win_dir);
  while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  Changing changing;
  std::string host_dir = Host(dir);
  for (int attempt = 0; attempt < 65536; ++attempt) {
    counter = (counter + 1) & 0xFFFF;
    if (counter == 0) counter = 1;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", counter);
    std::string name = std::string(prefix.substr(0, 3)) + hex + ".tmp";
    int fd = ::open((host_dir + "/" + name).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (fd >= 0) {
      ::close(fd);
      return dir + "\\" + name;
    }
    if (errno != EEXIST) return "";
  }
  return "";
}

}  // namespace korvane
