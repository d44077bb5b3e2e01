#include "link/link_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace korvane::link {
namespace {

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string TempDir() {
  std::error_code ec;
  auto dir = std::filesystem::temp_directory_path(ec);
  return ec ? "/tmp" : dir.string();
}

}  // namespace

std::string DefaultLinkDir() {
  if (auto dir = EnvOrEmpty("KORVANE_LINK_DIR"); !dir.empty()) return dir;
  if (auto run = EnvOrEmpty("XDG_RUNTIME_DIR"); !run.empty()) return run + "/korvane/links";
  return TempDir() + "/korvane-" + std::to_string(::getuid()) + "/links";
}

std::string DefaultHomeDir() {
  if (auto home = EnvOrEmpty("KORVANE_HOME"); !home.empty()) return home;
  if (auto data = EnvOrEmpty("XDG_DATA_HOME"); !data.empty()) return data + "/korvane";
  auto user = EnvOrEmpty("HOME");
  return (user.empty() ? std::string("/tmp") : user) + "/.local/share/korvane";
}

std::string DefaultAnswersDir() {
  if (auto dir = EnvOrEmpty("KORVANE_ANSWERS_DIR"); !dir.empty()) return dir;
  return DefaultHomeDir() + "/drives/c/temp/answers";
}

std::string SocketPathFor(const std::string& link_dir, const std::string& application) {
  std::string name = application;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return link_dir + "/" + name;
}

void MakePrivateDirs(const std::string& dir) {
  std::string path;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    path = dir.substr(0, pos);
    if (path.empty()) continue;
    // 0700: the sockets of a user's programs are reachable by that user only.
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
      throw std::system_error(errno, std::generic_category(), "mkdir " + path);
  }
}

}  // namespace korvane::link
