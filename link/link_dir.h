// Where served programs put their sockets, and the socket of one
// application. The gateway applies the same rule (see docs/link-protocol.md).
#pragma once
#include <string>

namespace korvane::link {

// KORVANE_LINK_DIR, else $XDG_RUNTIME_DIR/korvane/links, else
// <temp dir>/korvane-<uid>/links. Empty variables count as unset.
std::string DefaultLinkDir();

// The gateway's home folder as the gateway chooses it when given no
// --home: KORVANE_HOME, else $XDG_DATA_HOME/korvane, else
// ~/.local/share/korvane. The gateway exports KORVANE_HOME (absolute) to
// the programs it starts.
std::string DefaultHomeDir();

// Where a served program writes its answer files, so that the gateway may
// send them: KORVANE_ANSWERS_DIR (the gateway exports it to the programs it
// starts: its C:\temp\answers), else <home>/drives/c/temp/answers with the
// home above. Inside the gateway's drives, as every file it sends must be.
std::string DefaultAnswersDir();

// <link_dir>/<application in lower case>.
std::string SocketPathFor(const std::string& link_dir, const std::string& application);

// Creates the folder and any missing parents, new ones private to the user.
// Throws std::system_error on failure.
void MakePrivateDirs(const std::string& dir);

}  // namespace korvane::link
