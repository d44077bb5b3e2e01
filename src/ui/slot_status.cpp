#include "ui/slot_status.h"

#include <cstdint>
#include <cstdio>

#include "platform/clock.h"

namespace korvane {
namespace {

std::string Hex(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", value);
  return buf;
}

// A 16-bit value in hexadecimal shows its 16 bits (-1 is FFFF).
std::string Hex16(int16_t value) { return Hex(static_cast<uint16_t>(value)); }

// A time taken to the nearest whole number is a 32-bit number here, and a
// negative one shows its 32 bits.
std::string HexRounded(double value) {
  return Hex(static_cast<uint32_t>(static_cast<int32_t>(RoundHalfEven(value))));
}

// The peer tables have 21 entries; a slot above them shows empty lines.
std::string PeerEntry(const std::array<std::string, kPeerTableSize>& table, int n) {
  return n >= 0 && n < kPeerTableSize ? table[n] : std::string();
}

}  // namespace

std::string SlotStatusText(Gateway& g, int n) {
  // Before the port was first opened there is no record: a blank one stands in.
  static const SessionRecord blank;
  const SessionRecord* r = g.Record(n);
  if (!r) r = &blank;
  const std::string& e = g.CRLF;
  return PeerEntry(g.PeerAddresses, n) + e + PeerEntry(g.PeerNames, n) + e +
         "entered=" + GeneralDate(r->entered) + e + "exitted=" + GeneralDate(r->exitted) + e +
         "success=" + std::to_string(r->success) + e + "state=" + Hex16(r->n.state) + e +
         "expires=" + HexRounded(r->n.expires) + e + "keepalive=" + std::to_string(r->n.keepalive) + e +
         "blocked=" + NumText(r->n.expires) + e + "loggedin=" + std::to_string(r->n.loggedin) + e +
         "referer=" + r->referer + e + "agent=" + r->agent + e;
}

void ShowSlotStatus(Gateway& g, int n) {
  if (g.view) g.view->ShowMessage("User " + std::to_string(n), SlotStatusText(g, n));
}

void lblUser_Click(Gateway& g, int index) { ShowSlotStatus(g, index); }

}  // namespace korvane
