// The operator window over a running gateway, on Qt's offscreen platform:
// menu shortcuts and clicks reach the gateway, and the window follows
// every change the gateway publishes.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QListWidget>
#include <QTest>

#include <atomic>
#include <future>

#include "app/startup.h"
#include "app/wiring.h"
#include "core/primitives.h"
#include "test_support.h"
#include "ui/operator_commands.h"
#include "ui/qt/form1.h"
#include "ui/qt/window_host.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;

int g_argc = 1;
char g_arg0[] = "korvane_qt_tests";
char* g_argv[] = {g_arg0, nullptr};

// Reads the gateway's state on its own thread, where it lives.
template <class F>
auto OnGateway(asio::io_context& io, F read) {
  std::promise<decltype(read())> answer;
  asio::post(io, [&] { answer.set_value(read()); });
  return answer.get_future().get();
}

bool HasLine(QListWidget* list, const QString& ending) {
  for (int i = 0; i < list->count(); ++i)
    if (list->item(i)->text().endsWith(ending)) return true;
  return false;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.reset(korvane_window_open(&g_argc, g_argv));
    ASSERT_TRUE(host_) << "QT_QPA_PLATFORM=offscreen is set by the test's environment";
    gateway_ = std::make_unique<Gateway>(io_, test::HomeOptions(home_.path()), host_->view(), GatewayHooks());
    Form_Load(*gateway_);
    host_->Attach(io_, *gateway_);
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* f = qobject_cast<Form1*>(w)) form_ = f;
    ASSERT_TRUE(form_);
    host_->StartGateway();
    // Shortcuts go to the active window.
    form_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_));
  }

  void TearDown() override {
    if (host_) host_->StopGateway();
    gateway_.reset();
    host_.reset();
  }

  void Key(char letter) {
    QTest::keyClick(form_, static_cast<Qt::Key>(Qt::Key_A + (letter - 'A')), Qt::ControlModifier);
  }

  test::TempDir home_;
  asio::io_context io_{1};
  std::unique_ptr<WindowHost> host_;
  std::unique_ptr<Gateway> gateway_;
  Form1* form_ = nullptr;
};

TEST_F(WindowTest, MenusCarryTheirCaptionsAccessLettersAndShortcuts) {
  EXPECT_EQ(form_->windowTitle(), "Tarnwick Version 3.0g");
  EXPECT_TRUE(form_->isMaximized()) << "start-up without LISTEN shows the window maximised";
  EXPECT_EQ(form_->Action("mnuListen")->text(), "&Listen on Port 80");
  EXPECT_EQ(form_->Action("mnuViewRecent")->shortcut(), QKeySequence("Ctrl+V"));
  EXPECT_FALSE(form_->Action("mnuClose")->isVisible());
  EXPECT_FALSE(form_->Action("mnuDisableTimer")->isEnabled());
  QStringList bar;
  for (QAction* menu : form_->menuBar()->actions()) bar << menu->text();
  EXPECT_EQ(bar, QStringList({"&File", "&Options", "&Save Configuration", "&test"}));
}

TEST_F(WindowTest, ShortcutsListenCloseAndReinitialize) {
  Key('L');
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->Action("mnuClose")->isVisible(); }, 10000));
  EXPECT_TRUE(OnGateway(io_, [&] { return gateway_->CommandSock(0).Listening(); }));
  EXPECT_EQ(form_->Action("mnuClose")->text(), "&Close Port 80");
  EXPECT_FALSE(form_->Box("txtport")->isEnabled());

  // Ctrl+C closes the port even while a text box has the focus.
  form_->Box("lnkTopic")->setFocus();
  Key('C');
  ASSERT_TRUE(QTest::qWaitFor([&] { return HasLine(form_->List("List1"), "Port 80 closed"); }, 10000));
  EXPECT_FALSE(OnGateway(io_, [&] { return gateway_->CommandSock(0).Listening(); }));
  EXPECT_TRUE(form_->Action("mnuListen")->isVisible());
  EXPECT_TRUE(form_->Box("txtport")->isEnabled());

  form_->List("List1")->setFocus();
  Key('R');
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->Action("mnuClose")->isVisible(); }, 10000));
  EXPECT_TRUE(OnGateway(io_, [&] { return gateway_->CommandSock(0).Listening(); }));
}

TEST_F(WindowTest, SlotStripTurnsRedForAConnectionAndEditsReachTheModel) {
  form_->Action("mnuListen")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->Action("mnuClose")->isVisible(); }, 10000));
  int port = OnGateway(io_, [&] { return gateway_->CommandSock(0).LocalPortNow(); });
  test::Client client(port);
  ASSERT_TRUE(QTest::qWaitFor([&] {
    QLabel* slot = form_->SlotLabel(1);
    return slot && slot->text() == "1" && slot->styleSheet().contains("#ff0000");
  }, 10000));
  EXPECT_TRUE(form_->SlotLabel(1)->isVisible());
  EXPECT_TRUE(form_->SlotLabel(10)->styleSheet().contains("#ffff00"));

  // lnkTopic stays editable while listening; an edit lands in the model.
  QLineEdit* topics = form_->Box("lnkTopic");
  topics->setFocus();
  QTest::keyClicks(topics, " book|orders ");
  QTest::keyClick(topics, Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return OnGateway(io_, [&] { return gateway_->lnkTopic.Text(); }) == " book|orders "; }, 10000));
}

TEST_F(WindowTest, CloseBoxOnlyMinimisesAndExitEndsTheGateway) {
  form_->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }, 10000));
  EXPECT_FALSE(io_.stopped());
  EXPECT_EQ(OnGateway(io_, [&] { return gateway_->windowState; }), WindowState::Minimized);

  form_->Action("mnuExit")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return io_.stopped(); }, 10000));
}

TEST_F(WindowTest, SlotLabelsNeverOverlapAfterMaxUsersIsRaised) {
  for (const char* users : {"10", "40", "100"}) {
    std::atomic<bool> done = false;
    asio::co_spawn(io_, [&]() -> asio::awaitable<void> {
      co_await RunOperatorCommand(*gateway_, std::string("set maxusers ") + users);
      co_await RunOperatorCommand(*gateway_, "click mnuReinit");  // makes the labels and listens
      co_await RunOperatorCommand(*gateway_, "click mnuClose");   // so the next round may edit
      done = true;
    }, asio::detached);
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000)) << users;
    QCoreApplication::processEvents();  // the last batch, posted before done
    int last = std::atoi(users);
    ASSERT_TRUE(form_->SlotLabel(last) && form_->SlotLabel(last)->isVisible()) << users;
    for (int i = 0; i <= last; ++i) {
      QRect r = form_->SlotLabel(i)->geometry();
      EXPECT_GT(r.width(), 0) << users << " users, label " << i;
      EXPECT_LE(r.right(), form_->centralWidget()->width()) << users << " users, label " << i;
      if (i < last) {
        EXPECT_LT(r.right(), form_->SlotLabel(i + 1)->geometry().left()) << users << " users, label " << i;
      }
    }
  }
}

TEST_F(WindowTest, AFloodOfLogLinesArrivesInFewBatches) {
  // Thousands of lines published at once: the window shows the last
  // screenful the log kept (it clears itself past 100 lines).
  asio::post(io_, [&] {
    for (int i = 0; i < 5000; ++i) LogEvent(*gateway_, &gateway_->List1, "line " + std::to_string(i));
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return HasLine(form_->List("List1"), "line 4999"); }, 20000));
  EXPECT_EQ(form_->List("List1")->count(), OnGateway(io_, [&] { return gateway_->List1.ListCount(); }));
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
