#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
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
  bool found = false;  // exists and resolves beneath the drives
  struct stat st {};
};
constexpr size_t kKeptLooks = 4;
thread_local uint64_t looks_pass = 0;
thread_local std::vector<Look> looks;

template <typename Inside>
bool LookAt(const std::string& host, struct stat& st, Inside inside) {
  const uint64_t pass = CurrentPass();
  if (pass == 0) return StatPath(host, st) && inside(host);
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
  const bool found = StatPath(host, st) && inside(host);
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
    : home_(std::move(home)),
      drives_root_(std::move(drives_root)),
      drives_dir_(std::make_shared<RootDir>(drives_root_)),
      home_dir_(std::make_shared<RootDir>(home_)) {}

Files::RootDir::~RootDir() {
  int fd = fd_.load();
  if (fd >= 0) ::close(fd);
}

int Files::RootDir::Get() {
  int fd = fd_.load();
  if (fd >= 0) return fd;
  fd = ::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int none = -1;
  if (fd_.compare_exchange_strong(none, fd)) return fd;
  ::close(fd);  // the other thread opened it first
  return none;
}

// Only a deleted folder is let go, and its descriptor is left open: the
// other thread may be opening through it at this moment, and a number
// closed under it could name another folder by then. One descriptor per
// deletion of the drives root is the price. A drives root renamed away
// while the gateway runs stays in use.
bool Files::RootDir::Renew() {
  int fd = fd_.load();
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_nlink != 0) return false;
  fd_.compare_exchange_strong(fd, -1);
  return true;
}

void Files::ForgetLooks() { looks.clear(); }

void Files::MapDrive(char letter, std::string host_dir) {
  drives_[static_cast<char>(std::tolower(static_cast<unsigned char>(letter)))] = std::move(host_dir);
}

std::string Files::Host(std::string_view win_path) const {
  struct stat st;
  return HostStat(win_path, st);
}

// Every file operation starts here, several times per request, so the
// path is taken apart in place rather than through copies of its parts.
void Files::Split(std::string_view win_path, std::string& root, std::vector<std::string>& kept) const {
  std::string_view path = win_path;
  const size_t first = path.find_first_not_of(' ');
  path = first == std::string_view::npos ? std::string_view() : path.substr(first, path.find_last_not_of(' ') - first + 1);
  auto drive_root = [this](char letter) {
    auto it = drives_.find(letter);
    if (it != drives_.end()) return it->second;
    std::string r;
    r.reserve(drives_root_.size() + 2);
    return r.append(drives_root_).append(1, '/').append(1, letter);
  };
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    root = drive_root(static_cast<char>(std::tolower(static_cast<unsigned char>(path[0]))));
    path.remove_prefix(2);
  } else if (!path.empty() && (path[0] == '\\' || path[0] == '/')) {
    root = drive_root('c');  // a rooted path without a drive is on the current drive, C:
  } else {
    root = home_;
  }
  kept.clear();
  while (true) {
    const size_t end = path.find_first_of("\\/");
    const std::string_view part = path.substr(0, end);
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();  // never above the root
    } else if (!part.empty() && part != ".") {
      kept.emplace_back(part);
    }
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
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
  auto inside = [this, &root](const std::string& host) { return Beneath(root, host); };
  std::string host = Joined(root, parts);
  if ((found = LookAt(host, st, inside))) return host;
  if (parts.empty()) return host;
  std::string given = parts.back();
  parts.back() = LowerCase(given);
  if (parts.back() != given) {
    std::string lower = Joined(root, parts);
    if ((found = LookAt(lower, st, inside))) return lower;
  }
  parts.back() = given;
  host = root;
  for (const std::string& part : parts) host += '/' + MatchComponent(host, part);
  found = StatPath(host, st) && Beneath(root, host);
  return host;
}

// ---- Resolving beneath the drives -------------------------------------
//
// Every open of a file goes through OpenBeneath: openat2 with
// RESOLVE_BENEATH from the drives root (or the mapped drive's folder, or
// the home folder for a path without drive) refuses any step out of it,
// ".." and symlinks alike. Where openat2 is missing (kernels before 5.6, or
// a filter that forbids it) and for absolute symlinks, which it refuses
// even when they stay inside, the real path is worked out and checked
// against the allowed folders instead.

namespace {

int OpenAt2(int dir, const std::string& rel, int flags, mode_t mode) {
  struct open_how how {};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(::syscall(SYS_openat2, dir, rel.c_str(), &how, sizeof how));
}

std::string RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return "";
  std::string out = real;
  std::free(real);
  return out;
}

bool Under(const std::string& path, const std::string& folder) {
  if (folder.empty()) return false;
  if (folder == "/") return true;
  return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                            path[folder.size()] == '/');
}

}  // namespace

int Files::OpenBeneath(const std::string& root, const std::string& host, int flags, mode_t mode) const {
  const bool on_drives = root.size() > drives_root_.size() && Under(root, drives_root_);
  const std::string& jail = on_drives ? drives_root_ : root;
  std::string rel = host.size() > jail.size() ? host.substr(jail.size() + 1) : ".";
  int fd = -1;
  int err = 0;
  RootDir* kept = on_drives ? drives_dir_.get() : jail == home_ ? home_dir_.get() : nullptr;
  if (kept) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      int dir = kept->Get();
      if (dir < 0) return -1;
      fd = OpenAt2(dir, rel, flags, mode);
      err = errno;
      if (fd >= 0 || err != ENOENT || !kept->Renew()) break;
    }
  } else {
    int dir = ::open(jail.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    fd = OpenAt2(dir, rel, flags, mode);
    err = errno;
    ::close(dir);
  }
  if (fd >= 0) return fd;
  if (err != EXDEV && err != ENOSYS && err != EPERM) {
    errno = err;
    return -1;
  }
  return OpenChecked(root, host, flags, mode);
}

// The real path of host, checked against the allowed folders: the drives
// root and every mapped drive for a path on a drive, else root alone. A new
// file is made only through a real folder, never through a symlink.
int Files::OpenChecked(const std::string& root, const std::string& host, int flags, mode_t mode) const {
  const bool on_drive = (root.size() > drives_root_.size() && Under(root, drives_root_)) ||
                        std::any_of(drives_.begin(), drives_.end(), [&](const auto& d) { return d.second == root; });
  std::string real = RealPath(host);
  int extra = 0;
  if (real.empty() && errno == ENOENT && (flags & O_CREAT)) {
    size_t cut = host.rfind('/');
    std::string folder = RealPath(host.substr(0, cut));
    if (folder.empty()) return -1;
    real = folder + host.substr(cut);
    extra = O_NOFOLLOW;
  }
  if (real.empty()) return -1;
  bool allowed = false;
  if (on_drive) {
    allowed = Under(real, RealPath(drives_root_));
    for (const auto& d : drives_) allowed = allowed || Under(real, RealPath(d.second));
  } else {
    allowed = Under(real, RealPath(root));
  }
  if (!allowed) {
    errno = EXDEV;
    return -1;
  }
  return ::open(real.c_str(), flags | extra | O_CLOEXEC, mode);
}

bool Files::Beneath(const std::string& root, const std::string& host) const {
  int fd = OpenBeneath(root, host, O_PATH, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

int Files::Open(std::string_view win_path, int flags, mode_t mode) const {
  std::string root;
  std::vector<std::string> kept;
  Split(win_path, root, kept);
  // A name given in its stored case opens at the first try (the open
  // checks that it stays beneath the drives); only a miss needs the search
  // without case. A file to be made is first opened as given without being
  // made, since the name as given wins the search anyway; when that misses
  // it is looked for, so that an existing one in another case is the one
  // opened. (Not with O_EXCL, which must fail on an existing file.)
  if (!(flags & O_EXCL)) {
    int fd = OpenBeneath(root, Joined(root, kept), flags & ~O_CREAT, mode);
    if (fd >= 0 || (errno != ENOENT && errno != ENOTDIR)) return fd;
  }
  struct stat st;
  bool found = false;
  std::string host = MatchPath(root, kept, st, found);
  return OpenBeneath(root, host, flags, mode);
}

int Files::OpenFolderOf(std::string_view win_path, std::string& name) const {
  std::string root;
  std::vector<std::string> kept;
  Split(win_path, root, kept);
  if (kept.empty()) return -1;
  name = kept.back();
  kept.pop_back();
  struct stat st;
  bool found = false;
  std::string folder = MatchPath(root, kept, st, found);
  if (!found) return -1;
  // The name in the case the folder holds it, when it is there.
  name = MatchComponent(folder, name);
  return OpenBeneath(root, folder, O_PATH | O_DIRECTORY, 0);
}

bool Files::Place(std::string_view from, std::string_view to) const {
  Changing changing;
  std::string from_name, to_name;
  int from_dir = OpenFolderOf(from, from_name);
  int to_dir = OpenFolderOf(to, to_name);
  bool ok = false;
  if (from_dir >= 0 && to_dir >= 0) {
    if (::renameat(from_dir, from_name.c_str(), to_dir, to_name.c_str()) == 0) {
      ok = true;
    } else if (errno == EXDEV) {
      // Another file system: a copy under a new name beside the target.
      int in = ::openat(from_dir, from_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st;
      if (in >= 0 && ::fstat(in, &st) == 0 && S_ISREG(st.st_mode)) {
        for (int attempt = 0; attempt < 100 && !ok; ++attempt) {
          std::string temp = ".put" + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
          int out = ::openat(to_dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
          if (out < 0) {
            if (errno == EEXIST) continue;
            break;
          }
          off_t copied = 0;
          bool whole = CopyBytes(in, out, st.st_size, copied) && copied == st.st_size;
          whole = ::close(out) == 0 && whole;
          ok = whole && ::renameat(to_dir, temp.c_str(), to_dir, to_name.c_str()) == 0;
          if (!ok) ::unlinkat(to_dir, temp.c_str(), 0);
          break;
        }
      }
      if (in >= 0) ::close(in);
      if (ok) ::unlinkat(from_dir, from_name.c_str(), 0);
    }
  }
  if (from_dir >= 0) ::close(from_dir);
  if (to_dir >= 0) ::close(to_dir);
  return ok;
}

bool Files::Stat(std::string_view p, FileInfo& info) const {
  struct stat st;
  bool found = false;
  info.host = HostStat(p, st, &found);
  if (!found) return false;
  info.is_dir = S_ISDIR(st.st_mode);
  info.is_file = S_ISREG(st.st_mode);
  info.readonly = (st.st_mode & S_IWUSR) == 0;
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
  std::string name;
  int dir = OpenFolderOf(p, name);
  if (dir < 0) return false;
  bool ok = ::unlinkat(dir, name.c_str(), 0) == 0;
  ::close(dir);
  return ok;
}

bool Files::Copy(std::string_view from, std::string_view to) const {
  // The kernel copies; a large upload never passes through our memory.
  // The source is found before the kept looks are forgotten: only the
  // destination changes.
  int in = Open(from, O_RDONLY);
  Changing changing;
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return false;
  }
  // Opened without O_TRUNC (see FinishRewrite): what it held is cut after.
  int out = Open(to, O_WRONLY | O_CREAT, st.st_mode & 0777);
  struct stat old;
  if (out < 0 || ::fstat(out, &old) != 0) {
    if (out >= 0) ::close(out);
    ::close(in);
    return false;
  }
  off_t copied = 0;
  bool ok = CopyBytes(in, out, st.st_size, copied);
  ::close(in);
  return FinishRewrite(out, copied, old.st_size, ok);
}

bool Files::ReadAll(std::string_view p, std::string& out) const {
  int fd = Open(p, O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  out.clear();
  if (ok) out.resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (ok && got < out.size()) {
    ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  ::close(fd);
  return ok;
}

bool Files::WriteAll(std::string_view p, std::string_view data) const {
  Changing changing;
  int fd = Open(p, O_WRONLY | O_CREAT, 0666);
  struct stat old;
  if (fd < 0) return false;
  if (::fstat(fd, &old) != 0) old.st_size = 0;
  off_t written = 0;
  bool ok = WriteBytes(fd, data, written);
  return FinishRewrite(fd, written, old.st_size, ok);
}

std::vector<DirEntry> Files::List(std::string_view win_dir) const {
  std::vector<DirEntry> entries;
  std::string root;
  std::vector<std::string> kept;
  Split(win_dir, root, kept);
  struct stat st;
  bool found = false;
  std::string host = MatchPath(root, kept, st, found);
  int fd = found ? OpenBeneath(root, host, O_RDONLY | O_DIRECTORY, 0) : -1;
  DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (!d) {
    if (fd >= 0) ::close(fd);
    return entries;
  }
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (::fstatat(::dirfd(d), name.c_str(), &st, 0) != 0) continue;
    // A symlink is listed only when it stays beneath the drives.
    struct stat link;
    if (::fstatat(::dirfd(d), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode) &&
        !Beneath(root, host + "/" + name))
      continue;
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
  int host_dir = Open(dir, O_PATH | O_DIRECTORY);
  if (host_dir < 0) return "";
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{host_dir};
  for (int attempt = 0; attempt < 65536; ++attempt) {
    counter = (counter + 1) & 0xFFFF;
    if (counter == 0) counter = 1;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", counter);
    std::string name = std::string(prefix.substr(0, 3)) + hex + ".tmp";
    int fd = ::openat(host_dir, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return dir + "\\" + name;
    }
    if (errno != EEXIST) return "";
  }
  return "";
}

}  // namespace korvane
