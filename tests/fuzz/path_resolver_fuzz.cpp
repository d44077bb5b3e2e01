// The files layer's resolver against any path a client could name: a file
// it opens, looks at or lists lies beneath the drives (beneath the home
// folder for a path without drive), whatever the ".." steps, drive letters
// and symlinks on the way. Read-only: nothing is made or changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/files.h"

namespace {

std::string Real(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return "";
  std::string out = real;
  std::free(real);
  return out;
}

bool Under(const std::string& path, const std::string& folder) {
  return !folder.empty() && (path == folder || path.rfind(folder + "/", 0) == 0);
}

void Write(const std::string& path, const std::string& text) {
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
}

// home/ (korvane.ini) with home/drives/c/{export,temp}, a mapped drive E:
// beside it, and a folder outside both; symlinks out of and within the
// drives from the export folder.
struct Tree {
  std::string top, home, drives, mapped, outside;
  korvane::Files* files = nullptr;

  Tree() {
    char name[] = "/tmp/kvpathfuzz.XXXXXX";
    top = ::mkdtemp(name);
    home = top + "/home";
    drives = home + "/drives";
    mapped = top + "/mapped";
    outside = top + "/outside";
    for (const std::string& d : {home, drives, drives + "/c", drives + "/c/export", drives + "/c/export/sub",
                                 drives + "/c/temp", drives + "/d", mapped, outside})
      ::mkdir(d.c_str(), 0755);
    Write(home + "/korvane.ini", "[Variables]\n");
    Write(outside + "/secret.txt", "secret");
    Write(drives + "/c/export/a.htm", "page");
    Write(mapped + "/m.txt", "mapped");
    const std::string e = drives + "/c/export/";
    const std::pair<std::string, std::string> links[] = {
        {"out", outside},          {"outfile", outside + "/secret.txt"}, {"root", "/"},
        {"up", "../../../../outside"}, {"ini", "../../../korvane.ini"},  {"abs", e + "a.htm"},
        {"rel", "a.htm"},          {"sub/back", "../.."},                {"tomapped", mapped},
        {"loop", "loop"}};
    for (const auto& [link, target] : links) (void)::symlink(target.c_str(), (e + link).c_str());
    (void)::symlink(outside.c_str(), (mapped + "/escape").c_str());
    files = new korvane::Files(home, drives);
    files->MapDrive('E', mapped);
    home = Real(home);
    drives = Real(drives);
    mapped = Real(mapped);
  }

  ~Tree() {
    std::error_code ec;
    std::filesystem::remove_all(top, ec);
  }

  // Where a path may lead: a drive path stays in the drives (E: included),
  // any other in the home folder.
  bool Allowed(const std::string& win_path, const std::string& real) const {
    size_t b = win_path.find_first_not_of(' ');
    std::string p = b == std::string::npos ? "" : win_path.substr(b);
    bool on_drive = (p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]))) ||
                    (!p.empty() && (p[0] == '\\' || p[0] == '/'));
    return on_drive ? Under(real, drives) || Under(real, mapped) : Under(real, home);
  }
};

Tree& Setup() {
  static Tree tree;
  return tree;
}

void Check(const Tree& t, const std::string& path, const std::string& real, const char* how) {
  if (real.empty() || t.Allowed(path, real)) return;
  std::fprintf(stderr, "%s of \"%s\" resolved outside its root: %s\n", how, path.c_str(), real.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  if (path.find('\0') != std::string::npos) return 0;
  Tree& t = Setup();
  for (int flags : {O_RDONLY, O_PATH, O_RDONLY | O_DIRECTORY}) {
    int fd = t.files->Open(path, flags);
    if (fd < 0) continue;
    Check(t, path, Real("/proc/self/fd/" + std::to_string(fd)), "Open");
    ::close(fd);
  }
  korvane::FileInfo info;
  if (t.files->Stat(path, info)) Check(t, path, Real(info.host), "Stat");
  for (const korvane::DirEntry& entry : t.files->List(path)) {
    korvane::FileInfo folder;
    if (t.files->Stat(path, folder)) Check(t, path, Real(folder.host + "/" + entry.name), "List");
  }
  return 0;
}
