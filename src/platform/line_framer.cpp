#include "platform/line_framer.h"

namespace korvane {

std::optional<std::string> LineFramer::Next(long body_expected, bool ended) {
  std::size_t lf = inbox_.find('\n');
  std::size_t take = 0;
  if (lf != std::string::npos && lf < max_line_) {
    take = lf + 1;
  } else if (inbox_.size() >= max_line_) {
    take = max_line_;
  } else if (!inbox_.empty()) {
    bool body_done = body_expected > 0 && inbox_.size() >= static_cast<std::size_t>(body_expected);
    if (body_done || ended) take = inbox_.size();
  }
  if (take == 0) return std::nullopt;
  std::string line = inbox_.substr(0, take);
  inbox_.erase(0, take);
  return line;
}

}  // namespace korvane
