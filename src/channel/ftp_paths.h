// Windows file attributes as the FTP interpreter tests them, mapped onto
// the host's files.
#pragma once
#include <string>

#include "core/gateway.h"

namespace korvane {

constexpr int kAttrReadOnly = 1;
constexpr int kAttrHidden = 2;
constexpr int kAttrSystem = 4;  // never set here: Linux has no system files
constexpr int kAttrDirectory = 16;
constexpr int kAttrArchive = 32;  // never set here: Linux keeps no archive bit

// The attributes of a Windows-style path, or -1 when it does not exist.
//   read-only: the owner has no write permission (as the files layer's
//              DirEntry::readonly);
//   hidden:    the name begins with "." (as Unix hides files);
//   system, archive: no counterpart, never set.
// So "a plain directory" (exactly kAttrDirectory) is a directory whose name
// does not begin with "." and whose owner may write to it.
int FtpAttributes(Files& files, const std::string& win_path);
int FtpAttributes(const DirEntry& entry);

inline bool IsPlainDirectory(int attributes) { return attributes == kAttrDirectory; }

}  // namespace korvane
