// The files layer. Paths inside the gateway stay Windows-style texts
// ("C:\temp\recent.htm"); this layer maps them to host paths at the moment
// of each file operation:
//   - drive X: is the folder x/ under the drives root, unless mapped
//     elsewhere; a path without a drive is relative to the home folder;
//   - each component is looked up without regard to case, new components
//     keep the case they are given;
//   - ".." is resolved lexically and never climbs above the drive's root,
//     so no path reaches outside the mapped folders;
//   - a file is opened, looked at or listed only when it resolves beneath
//     the drives (beneath the home folder for a path without drive): a
//     symlink that leads out of them counts as missing.
#pragma once
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

struct DirEntry {
  std::string name;
  bool is_dir = false;
  bool hidden = false;     // names starting with "."
  bool readonly = false;   // no write permission for the owner
  int64_t size = 0;
  double mtime = 0;        // Unix seconds
};

// What one look at a file tells.
struct FileInfo {
  std::string host;        // the host path it was found at
  bool is_dir = false;
  bool is_file = false;
  bool readonly = false;   // no write permission for the owner
  int64_t size = 0;
  double mtime = 0;        // Unix seconds
};

class Files {
 public:
  Files(std::string home, std::string drives_root);

  void MapDrive(char letter, std::string host_dir);
  const std::string& home() const { return home_; }
  const std::string& drives_root() const { return drives_root_; }

  // Host path for a Windows-style path (see above). Never empty.
  std::string Host(std::string_view win_path) const;

  // One look: false when the path does not exist (info.host is still set).
  bool Stat(std::string_view win_path, FileInfo& info) const;

  bool Exists(std::string_view win_path) const;
  bool IsDir(std::string_view win_path) const;
  bool IsFile(std::string_view win_path) const;
  int64_t Length(std::string_view win_path) const;  // -1 when missing
  bool Modified(std::string_view win_path, double& unix_seconds) const;

  // One level; existing is fine. mode applies to a folder made now.
  bool MakeDir(std::string_view win_path, unsigned mode = 0755) const;
  bool MakeDirs(std::string_view win_path) const;   // with parents
  bool Remove(std::string_view win_path) const;
  // Removes a file this gateway made under exactly that name (a temporary
  // file): no search without case when it is gone already, which in a
  // folder of thousands of files would cost a full listing.
  bool RemoveMade(std::string_view win_path) const;
  bool Copy(std::string_view from, std::string_view to) const;
  bool ReadAll(std::string_view win_path, std::string& out) const;
  bool WriteAll(std::string_view win_path, std::string_view data) const;
  std::vector<DirEntry> List(std::string_view win_dir) const;

  // open(2) on a Windows-style path, resolved beneath its drive without
  // following a symlink out of the drives. -1 with errno set (EXDEV when
  // the path leads out).
  int Open(std::string_view win_path, int flags, mode_t mode = 0) const;

  // Moves a finished file into place under the name to, replacing what is
  // there: a rename when both are on one file system, else a copy to a new
  // name in to's folder that is renamed once complete. Either way to is
  // never seen partly written; on failure nothing is left under to's
  // folder and from is kept.
  bool Place(std::string_view from, std::string_view to) const;

  // A new, unique, empty file in win_dir named by the first three characters
  // of prefix, a hexadecimal counter and ".tmp". Returns its Windows-style
  // name, or "" when no file could be made.
  std::string TempName(std::string_view win_dir, std::string_view prefix) const;

  // Looks at files are kept for the rest of an event pass; whatever changes
  // files on this thread other than through this class calls this first.
  static void ForgetLooks();

 private:
  // Host path and, when found is set true, the file's status from the look
  // that found it.
  void Split(std::string_view win_path, std::string& root, std::vector<std::string>& parts) const;
  std::string HostStat(std::string_view win_path, struct stat& st, bool* found = nullptr) const;
  std::string MatchPath(const std::string& root, std::vector<std::string>& parts, struct stat& st,
                        bool& found) const;
  // The open beneath root's drives (see Open) of host, a path under root.
  int OpenBeneath(const std::string& root, const std::string& host, int flags, mode_t mode) const;
  int OpenChecked(const std::string& root, const std::string& host, int flags, mode_t mode) const;
  bool Beneath(const std::string& root, const std::string& host) const;
  // The folder of win_path opened as a path descriptor, and the file's name in it.
  int OpenFolderOf(std::string_view win_path, std::string& name) const;

  // The folders most opens start from (the drives root, and the home folder
  // for paths without drive), each opened once as a path descriptor rather
  // than around each open (two system calls per open saved); shared by
  // copies of this object and safe to use from the log writer's thread.
  class RootDir {
   public:
    explicit RootDir(std::string path) : path_(std::move(path)) {}
    ~RootDir();
    // The descriptor, opened on first use; -1 when the folder is not there.
    int Get();
    // After an open through the descriptor found nothing: true when the
    // folder it names was deleted meanwhile, and the next Get opens the
    // folder now under that name.
    bool Renew();

   private:
    std::string path_;
    std::atomic<int> fd_{-1};
  };

  std::string home_;
  std::string drives_root_;
  std::shared_ptr<RootDir> drives_dir_;
  std::shared_ptr<RootDir> home_dir_;
  std::map<char, std::string> drives_;
};

// Splits a Windows-style path at "\" and "/" into its components.
std::vector<std::string> SplitWinPath(std::string_view path);

}  // namespace korvane
