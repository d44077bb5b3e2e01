// What the link bridge keeps per gateway besides the link controls: the
// execute links, and which session each notify link waits for.
#pragma once
#include <asio.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/gateway.h"
#include "dde/execute_links.h"

namespace korvane {

// A program being started by one session, which others wait for.
struct ProgramStart {
  explicit ProgramStart(asio::io_context& io) : done(io, asio::steady_timer::time_point::max()) {}
  asio::steady_timer done;  // cancelled once the start and its wait are over
  bool started = false;
};

struct LinkBridge : GatewayPart {
  LinkBridge(asio::io_context& io, LinkControl& lnkDDE0) : executeLinks(io, lnkDDE0) {}
  ~LinkBridge() override;

  // lnkDDE(0) and its spares: each "point at topic, then execute" holds
  // one of them throughout.
  ExecuteLinks executeLinks;

  // Per slot: the generation of the session whose request went out on the
  // slot's notify link (0: none). An answer only reaches that session.
  std::vector<uint64_t> awaiting;

  // Programs being started, by their program path.
  std::map<std::string, std::shared_ptr<ProgramStart>> starting;

  // Programs started for links, while they run, by pid: their section and
  // EXE path as logged.
  struct StartedProgram {
    std::string program;
    std::string exePath;
  };
  std::map<int, StartedProgram> started;

  // When each program (section in lower case) last answered a request, in
  // steady-clock seconds.
  std::map<std::string, double> lastAnswers;

  // Per slot: an overflow file kept apart from the session's upload file,
  // as a host path; removed at the slot's next relay and at shutdown.
  std::vector<std::string> overflowFiles;
};

// The gateway's bridge state, made on first use.
LinkBridge& Bridge(Gateway& g);

// The session's notify link waits for an answer to that session only.
void SetAwaiting(Gateway& g, SessionRef session);
bool IsAwaiting(Gateway& g, SessionRef session);
void StopAwaiting(Gateway& g, int k);  // the answer came, or none is wanted

// Connects lnkDDE(k)'s notifications to lnkDDE_LinkNotify (k >= 1); call
// where the control is created.
void WireLinkControl(Gateway& g, int k);

}  // namespace korvane
