#include "core/view.h"

#include <cstdio>

namespace korvane {

void HeadlessView::MessageBox(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace korvane
