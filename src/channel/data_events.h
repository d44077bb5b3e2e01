// The FTP data socket's events (accepted, connected, data, writable, closed).
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Connects datasock(k)'s events to the data-transfer handlers.
void WireDataSocket(Gateway& g, int k);

// Whether two address texts name one host (an IPv4-mapped IPv6 address is
// its IPv4 address). Texts that are no address never match.
bool SameHost(const std::string& a, const std::string& b);

// A client connected to the PASV listener: the listener becomes the
// connected data socket. A connection from another host than the
// session's client is closed and logged; the listener keeps waiting.
void DataAccepted(Gateway& g, int index, asio::ip::tcp::socket socket,
                  std::string peer_address = "");
void DataConnected(Gateway& g, int index);
// Bytes arrived: they go to the store's open file, or nowhere when no
// store is in progress.
void DataRead(Gateway& g, int index, const std::string& bytes);
void DataWritable(Gateway& g, int index);
void DataClosed(Gateway& g, int index);
// The connection was reset or a connect failed: a store in progress fails
// (its data may be cut short).
void DataFailed(Gateway& g, int index);

// Whether a data connection came up (accepted or connected) since the last
// ForgetDataUp: the data socket's Tag carries it, as a command socket's Tag
// carries write-readiness. A transfer may find the connection already
// closed by a quick client; it still came.
bool DataUp(const SocketControl& data);
void ForgetDataUp(SocketControl& data);

}  // namespace korvane
