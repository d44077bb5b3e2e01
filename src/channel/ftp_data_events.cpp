#include "channel/data_events.h"
#include "channel/ftp_transfers.h"
#include "core/open_files.h"
#include "core/primitives.h"
#include "platform/text.h"

namespace korvane {
namespace {

const char kDataUp[] = "connected";

// Ends a store early: its file is closed and its number forgotten, which
// StoreFile takes as a failed store (the number may be reused at once by
// another session, so it must not linger in this record).
void FailStore(OpenFiles& files, SessionRecord& r) {
  files.Close(r.n.filenum);
  r.n.filenum = 0;
}

}  // namespace

void WireDataSocket(Gateway& g, int k) {
  SocketControl& data = *g.datasock[k];
  // Each event also wakes a transfer waiting on this slot.
  data.OnIncoming = [&g, k](asio::ip::tcp::socket s, std::string peer) {
    DataAccepted(g, k, std::move(s), std::move(peer));
    WakeDataWait(g, k);
  };
  data.OnConnected = [&g, k] {
    DataConnected(g, k);
    WakeDataWait(g, k);
  };
  data.OnData = [&g, k](std::string bytes) {
    DataRead(g, k, bytes);
    WakeDataWait(g, k);
  };
  data.OnWritable = [&g, k] {
    DataWritable(g, k);
    WakeDataWait(g, k);
  };
  data.OnClosedByPeer = [&g, k] {
    DataClosed(g, k);
    WakeDataWait(g, k);
  };
  data.OnDisconnected = [&g, k] {
    DataFailed(g, k);
    WakeDataWait(g, k);
  };
}

bool SameHost(const std::string& a, const std::string& b) {
  std::error_code ea, eb;
  asio::ip::address x = asio::ip::make_address(a, ea), y = asio::ip::make_address(b, eb);
  if (ea || eb) return false;
  auto plain = [](asio::ip::address v) -> asio::ip::address {
    if (v.is_v6() && v.to_v6().is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v.to_v6());
    return v;
  };
  return plain(x) == plain(y);
}

void DataAccepted(Gateway& g, int index, asio::ip::tcp::socket socket, std::string peer_address) {
  SocketControl& data = g.DataSock(index);
  // Only the client itself may take its data connection: anyone else who
  // reaches the PASV port first is turned away, and the port keeps waiting.
  const std::string client = g.CommandSock(index).PeerAddress();
  if (!SameHost(peer_address, client)) {
    LogEvent(g, &g.List1, '#' + Num(index) + " data connection from " + peer_address + " refused: the client is " +
                              client);
    std::error_code ec;
    socket.close(ec);
    return;
  }
  data.Close();  // stops listening: one data connection per PASV
  data.Accept(std::move(socket), std::move(peer_address));
  data.Tag = kDataUp;
}

void DataConnected(Gateway& g, int index) {
  g.DataSock(index).Tag = kDataUp;
  LogEvent(g, &g.List1, "datasock connect " + Num(index));
}

bool DataUp(const SocketControl& data) { return data.Tag == kDataUp; }
void ForgetDataUp(SocketControl& data) { data.Tag.clear(); }

void DataRead(Gateway& g, int index, const std::string& bytes) {
  LogEvent(g, &g.List1, "datasock read #" + Num(index) + Num(static_cast<long long>(bytes.size())));
  SessionRecord* r = g.Record(index);
  if (!r || r->n.filenum <= 0 || !g.openFiles->IsOpen(r->n.filenum)) return;  // no store: discarded
  if (!g.openFiles->Write(r->n.filenum, bytes)) FailStore(*g.openFiles, *r);
}

void DataWritable(Gateway& g, int index) {
  if (SessionRecord* r = g.Record(index)) r->n.datablocked = kFalse;
}

void DataFailed(Gateway& g, int index) {
  SessionRecord* r = g.Record(index);
  if (r && r->n.filenum > 0) FailStore(*g.openFiles, *r);
}

void DataClosed(Gateway& g, int index) {
  LogEvent(g, &g.List1, "datasock close ");
  g.DataSock(index).Close();
}

}  // namespace korvane
