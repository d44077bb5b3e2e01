#include "ui/qt/form1.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QStringList>

#include "ui/form_design.h"
#include "ui/form_layout.h"
#include "ui/menu_tree.h"
#include "ui/qt/change_queue.h"
#include "ui/window_model.h"

namespace korvane {
namespace {

QString Text(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

// A list line may end with the request's own CR LF.
QString Line(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return Text(s);
}

// Colours are Windows colour values: red in the low byte, blue in the high.
QString ColourName(int value) {
  return QColor(value & 0xff, (value >> 8) & 0xff, (value >> 16) & 0xff).name();
}

bool Flag(const std::string& value) { return value == "1"; }

// "left,top,width,height" in twips.
QRect TwipsRect(const std::string& twips) {
  int v[4] = {0, 0, 0, 0};
  size_t at = 0;
  for (int i = 0; i < 4 && at <= twips.size(); ++i) {
    size_t comma = twips.find(',', at);
    v[i] = std::atoi(twips.substr(at, comma - at).c_str());
    at = comma == std::string::npos ? twips.size() + 1 : comma + 1;
  }
  return QRect(v[0], v[1], v[2], v[3]);
}

}  // namespace

Form1::Form1(Post post) : post_(std::move(post)), client_(new QWidget(this)) {
  setObjectName("Form1");
  setCentralWidget(client_);
  BuildFixedControls();
  BuildMenus();
  resize(Pixels(kDesignWidth), Pixels(kDesignHeight));
}

void Form1::BuildFixedControls() {
  for (const DesignedControl& d : DesignedLabels()) {
    auto* label = new QLabel(Text(d.caption), client_);
    label->setObjectName(d.name);
    label->setGeometry(Pixels(d.left), Pixels(d.top), Pixels(d.width), Pixels(d.height));
  }
  for (const DesignedControl& d : DesignedTextBoxes()) {
    auto* box = new QLineEdit(client_);
    box->setObjectName(d.name);
    box->setGeometry(Pixels(d.left), Pixels(d.top), Pixels(d.width), Pixels(d.height));
    box->installEventFilter(this);
    std::string name = d.name;
    connect(box, &QLineEdit::editingFinished, this, [this, box, name] {
      if (!box->isModified()) return;
      box->setModified(false);
      QByteArray bytes = box->text().toLatin1();
      post_("set " + name + " " + std::string(bytes.constData(), static_cast<size_t>(bytes.size())));
    });
    boxes_[name] = box;
  }
  for (const char* name : {"List1", "List2"}) {
    auto* list = new QListWidget(client_);
    list->setObjectName(name);
    list->setUniformItemSizes(true);  // long lists stay cheap to lay out
    lists_[name] = list;
  }
  for (const char* name : {"lblPeerAddress", "lblPeerName"}) {
    auto* label = new QLabel(client_);
    label->setObjectName(name);
    labels_[name] = label;
  }
  lists_["List1"]->setFocus();
}

void Form1::BuildMenus() {
  std::map<std::string, QMenu*> menus;
  auto has_items = [](const std::string& name) {
    for (const MenuNode& node : MenuTree())
      if (name == node.parent) return true;
    return false;
  };
  for (const MenuNode& node : MenuTree()) {
    std::string name = node.name;
    QAction* action = nullptr;
    if (*node.parent == '\0' && has_items(name)) {
      menus[name] = menuBar()->addMenu(QString());
      action = menus[name]->menuAction();
    } else {
      action = *node.parent ? menus[node.parent]->addAction(QString()) : menuBar()->addAction(QString());
      connect(action, &QAction::triggered, this, [this, name] { post_("click " + name); });
    }
    action->setObjectName(node.name);
    actions_[name] = action;
  }
}

void Form1::ApplyBatch(std::vector<Change> batch) {
  batch = WithoutClearedLines(std::move(batch));
  setUpdatesEnabled(false);
  std::map<std::string, QStringList> pending;
  for (const Change& c : batch) {
    bool list = lists_.count(c.control) > 0;
    if (list && c.property == "AddItem") {
      pending[c.control] << Line(c.value);
      continue;
    }
    if (list) FlushLines(c.control, pending[c.control]);
    Apply(c);
  }
  for (auto& [name, lines] : pending) FlushLines(name, lines);
  if (slots_moved_) PlaceSlots();
  setUpdatesEnabled(true);
}

void Form1::FlushLines(const std::string& list, QStringList& lines) {
  if (lines.isEmpty()) return;
  lists_[list]->addItems(lines);
  lines.clear();
}

void Form1::Apply(const Change& c) {
  if (c.control == "Form1") return ApplyToWindow(c);
  if (c.control == "lblUser") return ApplyToLabel(EnsureSlotLabel(c.index), c);
  if (auto a = actions_.find(c.control); a != actions_.end()) return ApplyToMenu(a->second, c);
  if (auto b = boxes_.find(c.control); b != boxes_.end()) return ApplyToBox(b->second, c);
  if (auto l = lists_.find(c.control); l != lists_.end()) return ApplyToList(l->second, c);
  if (auto l = labels_.find(c.control); l != labels_.end()) return ApplyToLabel(l->second, c);
  // Controls the window does not show (DirList, Timer1) are left alone.
}

void Form1::ApplyToMenu(QAction* action, const Change& c) {
  if (c.property == "Caption") action->setText(Text(c.value));
  if (c.property == "Visible") action->setVisible(Flag(c.value));
  if (c.property == "Enabled") action->setEnabled(Flag(c.value));
  if (c.property == "Shortcut") action->setShortcut(QKeySequence(Text(c.value)));
}

void Form1::ApplyToLabel(QLabel* label, const Change& c) {
  if (c.property == "Caption") label->setText(Text(c.value));
  if (c.property == "Visible") label->setVisible(Flag(c.value));
  if (c.property == "Move" && label->property("slot").isValid()) {
    slot_twips_[label->property("slot").toInt()] = TwipsRect(c.value);
    slots_moved_ = true;
  } else if (c.property == "Move") {
    Place(label, c.value);
  }
  // Only the slot strip shows its colours; the peer labels keep the window's.
  if (c.property == "BackColor" && label->property("slot").isValid())
    label->setStyleSheet("background-color: " + ColourName(std::stoi(c.value)) + "; border: 1px solid #808080;");
}

void Form1::ApplyToList(QListWidget* list, const Change& c) {
  if (c.property == "Clear") list->clear();
  if (c.property == "Move") Place(list, c.value);
  if (c.property == "TopIndex") {
    int top = std::stoi(c.value);
    if (top >= list->count() - 1) {
      list->scrollToBottom();
    } else if (QListWidgetItem* item = list->item(top)) {
      list->scrollToItem(item, QAbstractItemView::PositionAtTop);
    }
  }
}

void Form1::ApplyToBox(QLineEdit* box, const Change& c) {
  if (c.property == "Enabled") box->setEnabled(Flag(c.value));
  // The operator's own typing is not overwritten while it is not yet sent.
  if (c.property == "Text" && !(box->hasFocus() && box->isModified())) box->setText(Text(c.value));
}

void Form1::ApplyToWindow(const Change& c) {
  if (c.property == "Caption") setWindowTitle(Text(c.value));
  if (c.property != "WindowState") return;
  WindowState state;
  if (!ParseWindowState(c.value, state)) return;
  if (state == WindowState::Maximized && !isMaximized()) showMaximized();
  if (state == WindowState::Minimized && !isMinimized()) showMinimized();
  if (state == WindowState::Normal && (isMinimized() || !isVisible())) {
    showNormal();
    raise();
    activateWindow();
  }
}

QLabel* Form1::EnsureSlotLabel(int index) {
  while (static_cast<int>(slots_.size()) <= index) {
    int k = static_cast<int>(slots_.size());
    auto* label = new QLabel("0", client_);
    label->setObjectName(QString("lblUser(%1)").arg(k));
    label->setAlignment(Qt::AlignCenter);
    label->setProperty("slot", k);
    label->installEventFilter(this);
    label->hide();
    slots_.push_back(label);
    slot_twips_.emplace_back();
  }
  return slots_[index];
}

// The strip is fitted in pixels, so that rounding cannot make neighbours
// touch either.
void Form1::PlaceSlots() {
  slots_moved_ = false;
  std::vector<SlotBox> strip;
  for (const QRect& r : slot_twips_)
    strip.push_back({Pixels(r.x()), Pixels(r.y()), Pixels(r.width()), Pixels(r.height())});
  FitSlotStrip(strip);
  for (size_t k = 0; k < strip.size(); ++k)
    slots_[k]->setGeometry(strip[k].left, strip[k].top, strip[k].width, strip[k].height);
}

void Form1::Place(QWidget* widget, const std::string& twips) {
  QRect r = TwipsRect(twips);
  widget->setGeometry(Pixels(r.x()), Pixels(r.y()), Pixels(r.width()), Pixels(r.height()));
}

int Form1::Pixels(int twips) const { return twips * logicalDpiX() / 1440; }
int Form1::Twips(int pixels) const { return pixels * 1440 / logicalDpiX(); }

// The model lays the window out from its outer size in twips.
void Form1::ReportPlacement() {
  if (!isVisible()) return;
  WindowState state = isMinimized()   ? WindowState::Minimized
                      : isMaximized() ? WindowState::Maximized
                                      : WindowState::Normal;
  QSize outer = frameGeometry().size();
  post_("window " + std::to_string(Twips(outer.width())) + " " + std::to_string(Twips(outer.height())) + " " +
        WindowStateText(state));
}

void Form1::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  ReportPlacement();
}

void Form1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) ReportPlacement();
}

// The close box only minimises; the gateway decides (only Exit ends it).
void Form1::closeEvent(QCloseEvent* event) {
  event->ignore();
  post_("unload");
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress && watched->property("slot").isValid()) {
    post_("click lblUser " + std::to_string(watched->property("slot").toInt()));
    return true;
  }
  // Menu shortcuts come before a text box's own keys (Ctrl+C, Ctrl+V), as
  // the window's accelerators always did.
  if (event->type() == QEvent::ShortcutOverride) {
    auto* key = static_cast<QKeyEvent*>(event);
    QKeySequence pressed(key->keyCombination());
    for (const auto& [name, action] : actions_)
      if (!action->shortcut().isEmpty() && action->shortcut() == pressed) return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

QAction* Form1::Action(const std::string& menu) const {
  auto a = actions_.find(menu);
  return a == actions_.end() ? nullptr : a->second;
}

QListWidget* Form1::List(const std::string& name) const {
  auto l = lists_.find(name);
  return l == lists_.end() ? nullptr : l->second;
}

QLabel* Form1::SlotLabel(int index) const {
  return index >= 0 && index < static_cast<int>(slots_.size()) ? slots_[index] : nullptr;
}

QLineEdit* Form1::Box(const std::string& name) const {
  auto b = boxes_.find(name);
  return b == boxes_.end() ? nullptr : b->second;
}

}  // namespace korvane
