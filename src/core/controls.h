// The controls model. The gateway's state lives in plain objects named as
// the window controls they stand for; gateway code reads and writes them as
// the behaviour is described, tests assert on them, and a view (the Qt
// window, or nothing when headless) follows their changes through the feed.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// One change of one property of one control, e.g. {"lblUser", 3, "BackColor", "255"}.
struct Change {
  std::string control;
  int index = -1;  // -1 for single controls
  std::string property;
  std::string value;
};

// A change as the feed hands it to its listeners: views of the control's
// name and of the value, good for the call only. Dozens are published per
// request, nearly all to listeners that keep none of them; one that keeps a
// change makes a Change of it.
struct ChangeView {
  std::string_view control;
  int index = -1;
  std::string_view property;
  std::string_view value;
  Change Owned() const { return {std::string(control), index, std::string(property), std::string(value)}; }
};

class ChangeFeed {
 public:
  using Listener = std::function<void(const ChangeView&)>;
  void Subscribe(Listener l) { listeners_.push_back(std::move(l)); }
  void Publish(const ChangeView& c) const {
    for (const auto& l : listeners_) l(c);
  }

 private:
  std::vector<Listener> listeners_;
};

// Base of all controls: a name, an index within its control array, the feed.
class Control {
 public:
  Control(ChangeFeed* feed, std::string name, int index = -1)
      : feed_(feed), name_(std::move(name)), index_(index) {}
  const std::string& name() const { return name_; }
  int index() const { return index_; }

 protected:
  void Publish(const char* property, std::string_view value) const {
    if (feed_) feed_->Publish(ChangeView{name_, index_, property, value});
  }
  // Publishes value and gives it back, for a control that keeps it.
  std::string PublishKept(const char* property, std::string value) const {
    Publish(property, value);
    return value;
  }

 private:
  ChangeFeed* feed_;
  std::string name_;
  int index_;
};

class TextBox : public Control {
 public:
  using Control::Control;
  const std::string& Text() const { return text_; }
  void SetText(std::string t);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool e);
  std::function<void()> OnChange;  // the box's change event

 private:
  std::string text_;
  bool enabled_ = true;
};

// A control with a place on the window, in twips (1/1440 inch) from the
// top-left corner of the window's client area.
class PlacedControl : public Control {
 public:
  using Control::Control;
  int Left = 0, Top = 0, Width = 0, Height = 0;
  void Move(int left, int top, int width, int height);
};

constexpr int kRed = 255;
constexpr int kYellow = 65535;

class Label : public PlacedControl {
 public:
  using PlacedControl::PlacedControl;
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  int BackColor() const { return back_color_; }
  void SetBackColor(int c);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);

 private:
  std::string caption_;
  int back_color_ = kYellow;
  bool visible_ = true;
};

class ListBox : public PlacedControl {
 public:
  using PlacedControl::PlacedControl;
  const std::vector<std::string>& Lines() const { return lines_; }
  int ListCount() const { return static_cast<int>(lines_.size()); }
  void AddItem(std::string line);
  void Clear();
  int TopIndex() const { return top_index_; }
  void SetTopIndex(int i);

 private:
  std::vector<std::string> lines_;
  int top_index_ = 0;
};

class MenuItem : public Control {
 public:
  MenuItem(ChangeFeed* feed, std::string name, std::string caption, std::string shortcut = "")
      : Control(feed, std::move(name)), caption_(std::move(caption)), shortcut_(std::move(shortcut)) {}
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string c);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool e);
  const std::string& Shortcut() const { return shortcut_; }
  bool Checked = false;

 private:
  std::string caption_;
  std::string shortcut_;
  bool visible_ = true;
  bool enabled_ = true;
};

}  // namespace korvane
