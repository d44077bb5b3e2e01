// The operator's file viewers and the peer lookup: fixed command lines of
// desktop programs, each resolved here to what stands for that program on
// this system (see RunFixedCommand).
#pragma once
#include <string>
#include <vector>

#include "core/gateway.h"

namespace korvane {

void mnuEditLog_Click(Gateway& g);       // "Notepad " & LogPath
void mnuRecent_Click(Gateway& g);        // "Notepad " & RecentFile
void mnuRecentClient_Click(Gateway& g);  // "Notepad " & RecentClientFile
void mnuViewRecent_Click(Gateway& g);    // the browser on RecentFile

// The host command a fixed command line stands for: the program word is
// looked up in a small table (Notepad, the browser's path, gethost), the
// file arguments are mapped through the files layer. Empty when the program
// has no counterpart here. KORVANE_EDITOR, KORVANE_BROWSER and
// KORVANE_GETHOST, when set, name the program to use instead.
std::vector<std::string> HostCommand(Gateway& g, const std::string& command_line);

// Starts the command without waiting. A missing program is ignored:
// nothing is shown and nothing logged. True when a program was started.
bool RunFixedCommand(Gateway& g, const std::string& command_line);

}  // namespace korvane
