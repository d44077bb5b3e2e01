// The error state the link steps share. As every step goes on after a
// failure, the state keeps the last failure's code and text until it is
// cleared; a step that succeeds leaves it alone.
#pragma once
#include <string>

#include "platform/link_control.h"

namespace korvane {

struct LinkError {
  int code = 0;
  std::string text;

  void Clear() {
    code = 0;
    text.clear();
  }

  // Records the outcome of one operation on link; 0 records nothing.
  void Note(int result, const LinkControl& link) {
    if (result == 0) return;
    code = result;
    text = link.ErrorText.empty() ? LinkErrorText(result) : link.ErrorText;
  }

  void Note(int result, const std::string& message) {
    if (result == 0) return;
    code = result;
    text = message;
  }
};

}  // namespace korvane
