// Bringing a link to a served program into being: starting the program when
// it is allowed to be started, and (re)opening a session's notify link.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"
#include "dde/link_error.h"

namespace korvane {

// Checks that linkTopic ("program|topic") names a program the gateway may
// start, connects an execute link to it, starting the program when
// nobody answers, and sends it "initialize <item base>". Returns the reason
// when the configuration forbids the attempt, "" otherwise (failures of the
// attempt itself are only logged).
asio::awaitable<std::string> StartLinkProgram(Gateway& g, std::string linkTopic);

// Tells the program to drop what it holds for session n ("-n,") and opens
// lnkDDE(n) in notify mode on item. Returns the code of the last failing
// step, 0 when all succeeded. topic comes trimmed.
asio::awaitable<int> OpenNotifyLink(Gateway& g, int n, std::string topic, std::string item);

// Points an execute link (lnkDDE(0), or a spare while it is busy) at topic
// and sends it command, within one lease of the link. Failures are noted
// in err.
asio::awaitable<void> ExecuteOnTopic(Gateway& g, std::string topic, std::string command, LinkError& err);

// Closes the conversations of the spare execute links (lnkDDE(0) is closed
// with the other slots' links).
asio::awaitable<void> CloseSpareExecuteLinks(Gateway& g);

}  // namespace korvane
