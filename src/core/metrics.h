// Health at a glance: requests by road, answers by kind, how long link
// round trips and program runs take, and how long the gateway has run.
// Counting is a few integer steps per request and allocates nothing; the
// texts are made only when someone asks (`korvane ctl status --json`, the
// metrics page).
#pragma once
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

struct Gateway;

enum class Road : uint8_t { kDocument, kLink, kProgram, kPut, kFtp, kCount };

// What a web answer was. kNone: not counted.
enum class Outcome : uint8_t {
  kNone,
  kOk,
  kNotFound,
  kFull,
  kUnavailable,
  kLinkError,
  kProgramError,
  kUploadStored,
  kUploadRefused,
  kCount
};

const char* RoadName(Road road);
const char* OutcomeName(Outcome outcome);

// The last kKept durations; older ones drop out, so the quantiles follow
// what the gateway does now.
class Durations {
 public:
  static constexpr size_t kKept = 1024;
  void Add(std::chrono::steady_clock::duration d);
  uint64_t Count() const { return count_; }     // all time
  double SumSeconds() const { return sum_; }    // all time
  // Nearest-rank quantile (0 < q <= 1) of the kept samples, in seconds;
  // nothing when there is no sample yet.
  std::optional<double> Quantile(double q) const;

 private:
  std::array<float, kKept> samples_{};
  uint64_t count_ = 0;
  double sum_ = 0;
};

struct Metrics {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::array<uint64_t, static_cast<size_t>(Road::kCount)> requests{};
  std::array<uint64_t, static_cast<size_t>(Outcome::kCount)> answers{};
  Durations linkRoundTrip;
  Durations programRun;

  void Count(Road road) { ++requests[static_cast<size_t>(road)]; }
  void Count(Outcome outcome) {
    if (outcome != Outcome::kNone) ++answers[static_cast<size_t>(outcome)];
  }
};

// Client sessions open now.
int SlotsInUse(Gateway& g);

// One JSON object and a line end.
std::string MetricsJson(Gateway& g);

// The Prometheus text format (version 0.0.4).
std::string MetricsText(Gateway& g);

// Whether a peer may read the metrics page: a loopback address
// (127.0.0.0/8, ::1, ::ffff:127.x.x.x), or one named exactly in the
// comma-separated list `from`.
bool MetricsPeerAllowed(const std::string& peer, const std::string& from);

}  // namespace korvane
