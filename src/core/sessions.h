// Listening, the session table, admission and expiry.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Starts listening (menu Listen, start-up, Reinitialize).
void mnuListen_Click(Gateway& g);

// The listener's incoming-connection event.
asio::awaitable<void> IncomingConnection(Gateway& g, asio::ip::tcp::socket socket,
                                         std::string peer_address = "");

int FindFreeSlot(Gateway& g);
asio::awaitable<void> OpenSession(Gateway& g, int k);
asio::awaitable<void> RejectSession(Gateway& g, int k);

// Ends session k, naming the reason in the log. The expiry sweep follows,
// unless the sweep itself is ending the session.
enum class AfterEnd { kSweep, kNoSweep };
asio::awaitable<void> EndSession(Gateway& g, int k, std::string reason, AfterEnd after = AfterEnd::kSweep);

// Arms the expiry of session k (kArm), or pushes back one that is already
// armed (kIfArmed). The log names an armed session's slot negated.
enum class Renewal { kArm, kIfArmed };
void RenewExpiry(Gateway& g, int k, Renewal how);

asio::awaitable<void> checkexpiration(Gateway& g);
asio::awaitable<void> SendUnavailable(Gateway& g, int k);
void Timer1_Timer(Gateway& g);
void mnuDisableTimer_Click(Gateway& g);
void CreateSlotLabels(Gateway& g);

// Places and shows the slot labels 1 .. MaxUsers after they were created.
void LayoutSlotLabels(Gateway& g);

// The command socket's closed-by-peer event.
void CommandClosed(Gateway& g, int k);

// Runs a gateway coroutine from a plain event handler.
void Spawn(Gateway& g, asio::awaitable<void> work);

}  // namespace korvane
