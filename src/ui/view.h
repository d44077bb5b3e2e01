// What the gateway asks of whatever shows it: message boxes and the beep.
// Headless, both only leave a line on standard error.
#pragma once
#include <string>

namespace korvane {

class View {
 public:
  virtual ~View() = default;
  virtual void MessageBox(const std::string& text) = 0;
  virtual void Beep() = 0;
};

class HeadlessView : public View {
 public:
  void MessageBox(const std::string& text) override;
  void Beep() override {}
};

}  // namespace korvane
