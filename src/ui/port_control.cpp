#include "ui/port_control.h"

#include "core/config.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "dde/link_manager.h"
#include "platform/clock.h"
#include "platform/link_control.h"

namespace korvane {
namespace {

void UnlockSettings(Gateway& g) {
  g.txtport.SetEnabled(true);
  g.maxusers.SetEnabled(true);
  g.lnkItem.SetEnabled(true);
  g.lnkTopic.SetEnabled(true);
}

// Ends every session and closes every link of slots 0 .. MaxUsers; a slot
// whose link was never made has none to close.
asio::awaitable<void> EndAllSessions(Gateway& g) {
  long long last = RoundHalfEven(Val(g.maxusers.Text()));
  for (long long i = 0; i <= last; ++i) {
    int k = static_cast<int>(i);
    co_await EndSession(g, k, "mnuClose_click");
    if (static_cast<size_t>(k) < g.lnkDDE.size() && g.lnkDDE[k]) co_await g.lnkDDE[k]->SetLinkMode(0);
  }
  co_await CloseSpareExecuteLinks(g);
}

// "8080x" becomes "8080", "x" becomes "0".
void NormaliseBox(TextBox& box) { box.SetText(NumText(Val(box.Text()))); }

}  // namespace

asio::awaitable<void> mnuClose_Click(Gateway& g) {
  if (g.Timer1.Enabled()) mnuDisableTimer_Click(g);
  g.mnuDisableTimer.SetEnabled(false);
  UnlockSettings(g);
  g.CommandSock(0).Close();
  g.mnuListen.SetVisible(true);
  g.mnuClose.SetVisible(false);
  g.ExportDirectory.SetEnabled(true);
  LogEvent(g, &g.List1, "Port " + g.txtport.Text() + " closed");
  co_await EndAllSessions(g);
}

asio::awaitable<void> mnuReinit_Click(Gateway& g) {
  if (g.mnuClose.Visible()) co_await mnuClose_Click(g);
  NormaliseBox(g.txtport);
  NormaliseBox(g.maxusers);
  g.SlotLimit = static_cast<int>(Val(g.maxusers.Text())) + 1;
  CreateSlotLabels(g);
  LoadFtpUsers(g);
  mnuListen_Click(g);
  g.List2.Clear();
}

}  // namespace korvane
