#include "core/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/gateway.h"
#include "core/primitives.h"
#include "platform/clock.h"

namespace korvane {
namespace {

constexpr double kQuantiles[] = {0.5, 0.9, 0.99};
constexpr const char* kQuantileKeys[] = {"p50", "p90", "p99"};

std::string Fixed(double v, int decimals) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Whole(uint64_t v) { return std::to_string(v); }

double UptimeSeconds(const Metrics& m) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - m.started).count();
}

int MaxUsers(Gateway& g) { return static_cast<int>(Val(g.maxusers.Text())); }

// {"document":3,"link":1,...}
template <typename Kind, size_t N>
std::string JsonCounts(const std::array<uint64_t, N>& counts, const char* (*name)(Kind), size_t first) {
  std::string out = "{";
  for (size_t k = first; k < N; ++k) {
    if (k > first) out += ",";
    out += std::string("\"") + name(static_cast<Kind>(k)) + "\":" + Whole(counts[k]);
  }
  return out + "}";
}

// {"count":5,"p50":12.345,"p90":...,"p99":...} in milliseconds; null
// for a quantile without samples.
std::string JsonDurations(const Durations& d) {
  std::string out = "{\"count\":" + Whole(d.Count());
  for (size_t q = 0; q < std::size(kQuantiles); ++q) {
    std::optional<double> v = d.Quantile(kQuantiles[q]);
    out += std::string(",\"") + kQuantileKeys[q] + "\":" + (v ? Fixed(*v * 1000, 3) : "null");
  }
  return out + "}";
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
}

template <typename Kind, size_t N>
void TextCounts(std::string& out, const char* name, const char* label, const std::array<uint64_t, N>& counts,
                const char* (*kind)(Kind), size_t first) {
  for (size_t k = first; k < N; ++k)
    out += std::string(name) + "{" + label + "=\"" + kind(static_cast<Kind>(k)) + "\"} " + Whole(counts[k]) + "\n";
}

void TextSummary(std::string& out, const char* name, const char* help, const Durations& d) {
  Family(out, name, "summary", help);
  for (double q : kQuantiles) {
    std::optional<double> v = d.Quantile(q);
    char quantile[16];
    std::snprintf(quantile, sizeof quantile, "%g", q);
    out += std::string(name) + "{quantile=\"" + quantile + "\"} " + (v ? Fixed(*v, 6) : "NaN") + "\n";
  }
  out += std::string(name) + "_sum " + Fixed(d.SumSeconds(), 6) + "\n";
  out += std::string(name) + "_count " + Whole(d.Count()) + "\n";
}

bool Loopback(const std::string& peer) {
  return peer.rfind("127.", 0) == 0 || peer == "::1" || peer.rfind("::ffff:127.", 0) == 0;
}

}  // namespace

const char* RoadName(Road road) {
  switch (road) {
    case Road::kDocument: return "document";
    case Road::kLink: return "link";
    case Road::kProgram: return "program";
    case Road::kPut: return "put";
    case Road::kFtp: return "ftp";
    case Road::kCount: break;
  }
  return "";
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "ok";
    case Outcome::kNotFound: return "not_found";
    case Outcome::kFull: return "full";
    case Outcome::kUnavailable: return "unavailable";
    case Outcome::kLinkError: return "link_error";
    case Outcome::kProgramError: return "program_error";
    case Outcome::kUploadStored: return "upload_stored";
    case Outcome::kUploadRefused: return "upload_refused";
    case Outcome::kNone:
    case Outcome::kCount: break;
  }
  return "";
}

void Durations::Add(std::chrono::steady_clock::duration d) {
  const double seconds = std::max(std::chrono::duration<double>(d).count(), 0.0);
  samples_[count_ % kKept] = static_cast<float>(seconds);
  ++count_;
  sum_ += seconds;
}

std::optional<double> Durations::Quantile(double q) const {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count_, kKept));
  if (n == 0) return std::nullopt;
  std::array<float, kKept> sorted = samples_;
  const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(n)));
  const size_t at = std::clamp<size_t>(rank, 1, n) - 1;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at),
                   sorted.begin() + static_cast<std::ptrdiff_t>(n));
  return sorted[at];
}

int SlotsInUse(Gateway& g) {
  int open = 0;
  for (int k = 1; k <= g.TopSlot && static_cast<size_t>(k) < g.commandsock.size(); ++k)
    if (g.commandsock[k] && g.commandsock[k]->Connected()) ++open;
  return open;
}

std::string MetricsJson(Gateway& g) {
  const Metrics& m = g.metrics;
  std::string out = "{\"slots_in_use\":" + std::to_string(SlotsInUse(g));
  out += ",\"max_users\":" + std::to_string(MaxUsers(g));
  out += ",\"uptime_seconds\":" + Whole(static_cast<uint64_t>(UptimeSeconds(m)));
  out += ",\"requests\":" + JsonCounts(m.requests, RoadName, 0);
  out += ",\"answers\":" + JsonCounts(m.answers, OutcomeName, 1);
  out += ",\"link_roundtrip_ms\":" + JsonDurations(m.linkRoundTrip);
  out += ",\"program_run_ms\":" + JsonDurations(m.programRun);
  return out + "}\n";
}

std::string MetricsText(Gateway& g) {
  const Metrics& m = g.metrics;
  std::string out;
  Family(out, "korvane_requests_total", "counter", "Requests by road.");
  TextCounts(out, "korvane_requests_total", "road", m.requests, RoadName, 0);
  Family(out, "korvane_answers_total", "counter", "Web answers by kind.");
  TextCounts(out, "korvane_answers_total", "kind", m.answers, OutcomeName, 1);
  Family(out, "korvane_slots_in_use", "gauge", "Client sessions open now.");
  out += "korvane_slots_in_use " + std::to_string(SlotsInUse(g)) + "\n";
  Family(out, "korvane_max_users", "gauge", "Client sessions allowed at once (MaxUsers).");
  out += "korvane_max_users " + std::to_string(MaxUsers(g)) + "\n";
  Family(out, "korvane_uptime_seconds", "gauge", "Seconds since the gateway started.");
  out += "korvane_uptime_seconds " + Fixed(UptimeSeconds(m), 3) + "\n";
  TextSummary(out, "korvane_link_roundtrip_seconds", "From a link request to its served program's answer.",
              m.linkRoundTrip);
  TextSummary(out, "korvane_program_run_seconds", "How long configured programs ran.", m.programRun);
  return out;
}

bool MetricsPeerAllowed(const std::string& peer, const std::string& from) {
  if (Loopback(peer)) return true;
  std::string rest = from;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string one = Trim(rest.substr(0, comma));
    if (!one.empty() && one == peer) return true;
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
  }
  return false;
}

}  // namespace korvane
