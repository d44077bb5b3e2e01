#include "core/view.h"

#include <chrono>
#include <cstdio>

namespace korvane {

void HeadlessView::MessageBox(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void HeadlessView::Beep() {
  double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  if (now - last_beep_ < 1) {
    ++unshown_beeps_;
    return;
  }
  last_beep_ = now;
  if (unshown_beeps_ > 0)
    std::fprintf(stderr, "beep (%ld more not shown)\n", unshown_beeps_);
  else
    std::fprintf(stderr, "beep\n");
  unshown_beeps_ = 0;
  std::fflush(stderr);
}

}  // namespace korvane
