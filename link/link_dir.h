// Where served programs put their sockets, and the socket of one
// application. The gateway applies the same rule (see docs/link-protocol.md).
#pragma once
#include <string>

namespace korvane::link {

// KORVANE_LINK_DIR, else $XDG_RUNTIME_DIR/korvane/links, else
// <temp dir>/korvane-<uid>/links. Empty variables count as unset.
std::string DefaultLinkDir();

// <link_dir>/<application in lower case>.
std::string SocketPathFor(const std::string& link_dir, const std::string& application);

// Creates the folder and any missing parents, new ones private to the user.
// Throws std::system_error on failure.
void MakePrivateDirs(const std::string& dir);

}  // namespace korvane::link
