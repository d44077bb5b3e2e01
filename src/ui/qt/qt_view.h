// The View the gateway talks to while the window is up. It is called on the
// gateway's thread and hands everything to the window's thread; a message
// box does not hold up the gateway.
#pragma once
#include <QPointer>
#include <QWidget>

#include "core/view.h"

namespace korvane {

class QtView : public View {
 public:
  void SetWindow(QWidget* window) { window_ = window; }
  void MessageBox(const std::string& text) override;
  void ShowMessage(const std::string& title, const std::string& text) override;
  void Beep() override;
  void SetClipboard(const std::string& text) override;

 private:
  QPointer<QWidget> window_;
  HeadlessView fallback_;  // before the window exists
};

}  // namespace korvane
