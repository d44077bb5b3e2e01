#include "core/controls.h"

namespace korvane {

void TextBox::SetText(std::string t) {
  if (t == text_) return;
  text_ = std::move(t);
  Publish("Text", text_);
  if (OnChange) OnChange();
}

void TextBox::SetEnabled(bool e) {
  enabled_ = e;
  Publish("Enabled", e ? "1" : "0");
}

void Label::SetCaption(std::string c) {
  caption_ = std::move(c);
  Publish("Caption", caption_);
}

void Label::SetBackColor(int c) {
  back_color_ = c;
  Publish("BackColor", std::to_string(c));
}

void Label::SetVisible(bool v) {
  visible_ = v;
  Publish("Visible", v ? "1" : "0");
}

void PlacedControl::Move(int left, int top, int width, int height) {
  Left = left, Top = top, Width = width, Height = height;
  Publish("Move", std::to_string(left) + "," + std::to_string(top) + "," +
                      std::to_string(width) + "," + std::to_string(height));
}

void ListBox::AddItem(std::string line) {
  lines_.push_back(PublishKept("AddItem", std::move(line)));
}

void ListBox::Clear() {
  lines_.clear();
  top_index_ = 0;
  Publish("Clear", "");
}

// A repeat of the same index changes nothing a view shows: not published.
void ListBox::SetTopIndex(int i) {
  if (i == top_index_) return;
  top_index_ = i;
  Publish("TopIndex", std::to_string(i));
}

void MenuItem::SetCaption(std::string c) {
  caption_ = std::move(c);
  Publish("Caption", caption_);
}

void MenuItem::SetVisible(bool v) {
  visible_ = v;
  Publish("Visible", v ? "1" : "0");
}

void MenuItem::SetEnabled(bool e) {
  enabled_ = e;
  Publish("Enabled", e ? "1" : "0");
}

}  // namespace korvane
