// FTP data connections and transfers on a session's datasock(k).
#pragma once
#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "core/gateway.h"

namespace korvane {

// Sends the listing of the current directory: names only, or with
// long_form the `ls -l` lines today's clients parse (type, permissions,
// size, date and the name as it is on disk).
asio::awaitable<void> ListDirectory(Gateway& g, int index, bool long_form = false);
// Sends a file of the export folder; names with ".." are refused.
asio::awaitable<void> RetrieveFile(Gateway& g, int index, std::string name);
// Receives a file into the import folder, replacing one of the same name.
asio::awaitable<void> StoreFile(Gateway& g, int index, std::string name);

// Brings the data connection up: connects to the client (active) or waits
// for the client's connection to the PASV listener (passive). tag ("LIST",
// "RECV", "STOR") names the transfer in the log. False when no connection
// came within the connect limit, the connect failed or the session ended.
asio::awaitable<bool> OpenDataConnection(Gateway& g, int index, std::string tag);

// The limits of the waits (seconds, from [Variables] when set there):
//   FTPConnectLimit (60): how long a data connection may take to come;
//   FTPIdleLimit (120): how long a transfer may go without progress: a
//     client that stops reading a RETR or a listing, or that neither sends
//     nor closes during a STOR.
// A transfer that reaches a limit is ended and its data connection aborted;
// the control connection stays usable.
std::chrono::milliseconds FtpConnectLimit(Gateway& g);
std::chrono::milliseconds FtpIdleLimit(Gateway& g);

enum class WaitEnd { kDone, kSessionEnded, kTimedOut };

// Waits, letting every other event run, until done() holds. The limit is
// counted from the start, and again from every change of progress() when
// given. kSessionEnded when the slot's session ended meanwhile (its record
// then belongs to someone else and must not be touched).
// Ends the slot's WaitForData at once to look again: called by every event
// of the slot's data socket.
void WakeDataWait(Gateway& g, int index);

asio::awaitable<WaitEnd> WaitForData(Gateway& g, int index, SessionRef session,
                                     std::function<bool()> done, std::chrono::milliseconds limit,
                                     std::function<int64_t()> progress = nullptr);

// After the last send: waits (within the idle limit) until the data
// connection's queue is empty, then closes it so that the client sees the
// end of the data. A client that stops reading gets the connection aborted.
// False when the limit was reached or the session ended.
asio::awaitable<bool> CloseAfterSending(Gateway& g, int index, SessionRef session, const std::string& what);

// Gives up on a data connection: stops a PASV listener and drops a
// connection or a pending connect without waiting for queued data.
void AbortDataConnection(Gateway& g, int index);

// Logs that a wait reached its limit: "#k <what> timed out after N s".
void LogTimeOut(Gateway& g, int index, const std::string& what, std::chrono::milliseconds limit);

// The command socket's local address and port as RETR and STOR show them:
// "127.0.0.1,2121".
std::string CommandEndpointText(Gateway& g, int index);

}  // namespace korvane
