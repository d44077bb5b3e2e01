// Form1, the operator window: a view of the controls model. It only
// reflects the changes the gateway publishes, and turns the operator's
// clicks, keys and edits into operator commands for the gateway.
#pragma once
#include <QMainWindow>
#include <QRect>
#include <QStringList>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/controls.h"

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;

namespace korvane {

class Form1 : public QMainWindow {
  Q_OBJECT

 public:
  using Post = std::function<void(std::string command)>;
  explicit Form1(Post post);

  // Applies one batch of changes, in order, with one repaint at the end.
  void ApplyBatch(std::vector<Change> batch);

  // Reached by tests: the widget that stands for a control.
  QAction* Action(const std::string& menu) const;
  QListWidget* List(const std::string& name) const;
  QLabel* SlotLabel(int index) const;
  QLineEdit* Box(const std::string& name) const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void BuildFixedControls();
  void Apply(const Change& c);
  void ApplyToMenu(QAction* action, const Change& c);
  void ApplyToLabel(QLabel* label, const Change& c);
  void ApplyToList(QListWidget* list, const Change& c);
  void ApplyToBox(QLineEdit* box, const Change& c);
  void ApplyToWindow(const Change& c);
  void FlushLines(const std::string& list, QStringList& lines);
  QLabel* EnsureSlotLabel(int index);
  void PlaceSlots();
  void Place(QWidget* widget, const std::string& twips);
  int Pixels(int twips) const;
  int Twips(int pixels) const;
  void ReportPlacement();

  Post post_;
  QWidget* client_;
  std::map<std::string, QAction*> actions_;
  std::map<std::string, QLineEdit*> boxes_;
  std::map<std::string, QListWidget*> lists_;
  std::map<std::string, QLabel*> labels_;  // lblPeerAddress, lblPeerName
  std::vector<QLabel*> slots_;             // lblUser(k)
  std::vector<QRect> slot_twips_;          // where the model puts lblUser(k)
  bool slots_moved_ = false;
};

}  // namespace korvane
