// What the gateway asks of whatever shows it: message boxes, the beep and
// the clipboard. Headless, message boxes only leave a line on standard
// error and the clipboard lives here, where `korvane ctl clipboard` reads it.
#pragma once
#include <string>

namespace korvane {

class View {
 public:
  virtual ~View() = default;
  virtual void MessageBox(const std::string& text) = 0;
  virtual void Beep() = 0;

  // A message box with a title; a view without titles shows the text.
  virtual void ShowMessage(const std::string& title, const std::string& text) {
    (void)title;
    MessageBox(text);
  }

  // Called from the gateway's thread; a window also hands the text to the
  // desktop's clipboard.
  virtual void SetClipboard(const std::string& text) { clipboard_ = text; }
  const std::string& Clipboard() const { return clipboard_; }

 private:
  std::string clipboard_;
};

// Headless, a beep leaves a line on standard error too; as every accepted
// client beeps, at most one a second, counting the ones left out.
class HeadlessView : public View {
 public:
  void MessageBox(const std::string& text) override;
  void Beep() override;

 private:
  double last_beep_ = -1e9;  // steady seconds
  long unshown_beeps_ = 0;
};

}  // namespace korvane
