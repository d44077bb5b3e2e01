#include "ui/qt/window_host.h"

#include <QApplication>

#include <optional>
#include <string>
#include <thread>

#include "platform/event_pass.h"
#include "ui/operator_commands.h"
#include "ui/qt/change_queue.h"
#include "ui/qt/form1.h"
#include "ui/qt/qt_view.h"
#include "ui/window_model.h"

namespace korvane {
namespace {

// Controls the window does not show; their changes are not queued.
bool Shown(const ChangeView& c) { return c.control != "DirList" && c.control != "Timer1"; }

class QtWindowHost : public WindowHost {
 public:
  QtWindowHost(int& argc, char** argv) : app_(argc, argv) { app_.setQuitOnLastWindowClosed(false); }

  ~QtWindowHost() override { StopGateway(); }

  View* view() override { return &view_; }

  void Attach(asio::io_context& io, Gateway& g) override {
    io_ = &io;
    form_ = std::make_unique<Form1>([&io, &g](std::string command) {
      asio::co_spawn(io, RunOperatorCommand(g, std::move(command)), asio::detached);
    });
    view_.SetWindow(form_.get());
    Form1* form = form_.get();
    queue_ = std::make_unique<ChangeQueue>([this, form] {
      QMetaObject::invokeMethod(form, [this, form] { form->ApplyBatch(queue_->Take()); }, Qt::QueuedConnection);
    });
    // The loop does not run yet: reading the model here races with nothing.
    form_->ApplyBatch(Snapshot(g));
    g.feed.Subscribe([this](const ChangeView& c) {
      if (Shown(c)) queue_->Push(c.Owned());
    });
  }

  int Run() override {
    StartGateway();
    int code = app_.exec();
    StopGateway();
    return code;
  }

  void StartGateway() override {
    // The window's commands are work to come: the loop waits for them even
    // when nothing else is pending.
    work_.emplace(io_->get_executor());
    gateway_ = std::thread([this] {
      RunCountingPasses(*io_);
      // The gateway has stopped (Exit): the window goes with it. Not quit(),
      // which asks the window to close first, and the window's close box
      // refuses (only minimises), so the loop would never end.
      QMetaObject::invokeMethod(&app_, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
  }

  void StopGateway() override {
    if (!gateway_.joinable()) return;
    work_.reset();
    io_->stop();
    gateway_.join();
  }

 private:
  QApplication app_;
  QtView view_;
  asio::io_context* io_ = nullptr;
  std::unique_ptr<Form1> form_;
  std::unique_ptr<ChangeQueue> queue_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread gateway_;
};

}  // namespace

}  // namespace korvane

extern "C" korvane::WindowHost* korvane_window_open(int* argc, char** argv) {
  return new korvane::QtWindowHost(*argc, argv);
}
