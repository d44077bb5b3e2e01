#include "core/gateway.h"

#include <algorithm>

#include "core/open_files.h"
#include "core/primitives.h"
#include "platform/link_control.h"

namespace korvane {

Gateway::Gateway(asio::io_context& io_, Options options, View* v, Hooks h)
    : io(io_),
      opts(std::move(options)),
      files(opts.home, opts.drives),
      view(v),
      hooks(std::move(h)),
      Timer1(io_, &feed, "Timer1"),
      openFiles(std::make_unique<OpenFiles>()) {
  lblUser.push_back(std::make_unique<Label>(&feed, "lblUser", 0));
  DirList.push_back(std::make_unique<ListBox>(&feed, "DirList", 0));
  commandsock.push_back(std::make_unique<SocketControl>(io, SocketControl::Mode::Line, 0));
  datasock.push_back(std::make_unique<SocketControl>(io, SocketControl::Mode::Byte, 0));
  SlotLink(0);
  SlotLink(1);
  Timer1.SetInterval(65000);
  Sessions.resize(1);
}

Gateway::~Gateway() = default;

uint64_t Gateway::Generation(int k) const {
  return k >= 0 && static_cast<size_t>(k) < generations_.size() ? generations_[k] : 0;
}

void Gateway::NextGeneration(int k) {
  if (k < 0) return;
  if (static_cast<size_t>(k) >= generations_.size()) generations_.resize(k + 1, 0);
  generations_[k] = ++generation_counter_;
}

LinkControl* Gateway::SlotLink(int k) {
  if (k < 0 || k > std::max(linkSlots, 1)) return nullptr;
  if (lnkDDE.size() <= static_cast<size_t>(k)) lnkDDE.resize(static_cast<size_t>(k) + 1);
  if (!lnkDDE[k]) {
    lnkDDE[k] = std::make_unique<LinkControl>(io, opts.link_dir);
    if (hooks.wireLinkControl) hooks.wireLinkControl(*this, k);
  }
  return lnkDDE[k].get();
}

SocketControl& Gateway::CommandSock(int k) {
  while (commandsock.size() <= static_cast<size_t>(k)) {
    int i = static_cast<int>(commandsock.size());
    commandsock.push_back(std::make_unique<SocketControl>(io, SocketControl::Mode::Line, i));
    if (hooks.wireCommandSocket) hooks.wireCommandSocket(*this, i);
  }
  return *commandsock[k];
}

SocketControl& Gateway::DataSock(int k) {
  while (datasock.size() <= static_cast<size_t>(k)) {
    int i = static_cast<int>(datasock.size());
    datasock.push_back(std::make_unique<SocketControl>(io, SocketControl::Mode::Byte, i));
    if (hooks.wireDataSocket) hooks.wireDataSocket(*this, i);
  }
  return *datasock[k];
}

ListBox& Gateway::DirListOf(int k) {
  while (DirList.size() <= static_cast<size_t>(k))
    DirList.push_back(std::make_unique<ListBox>(&feed, "DirList", static_cast<int>(DirList.size())));
  return *DirList[k];
}

Gateway::FtpActivity& Gateway::FtpActivityOf(int k) {
  if (ftpActivity.size() <= static_cast<size_t>(k)) ftpActivity.resize(static_cast<size_t>(k) + 1);
  return ftpActivity[k];
}

Label& Gateway::UserLabel(int k) {
  while (lblUser.size() <= static_cast<size_t>(k)) {
    auto label = std::make_unique<Label>(&feed, "lblUser", static_cast<int>(lblUser.size()));
    label->SetCaption("0");
    label->SetVisible(false);
    lblUser.push_back(std::move(label));
  }
  return *lblUser[k];
}

bool Gateway::CommandConnected(int k) const {
  return k >= 0 && static_cast<size_t>(k) < commandsock.size() && commandsock[k]->Connected();
}

}  // namespace korvane
