// A link control: one conversation of the gateway with a served program,
// held over the program's link socket (docs/link-protocol.md). The public
// fields are the control's properties as gateway code reads and writes them;
// the operations are coroutines on the gateway's io_context, so a program
// that is slow or stalled holds up only the coroutine that waits for it,
// never the thread.
//
// Operations on one control run one at a time, in call order: a second
// caller waits until the first has its answer, so request/answer pairs of
// different callers never mix. Each operation reads the properties it uses
// (LinkTopic, LinkItem, LinkTimeout) when it is called, not when its turn
// comes. The control must outlive the operations started on it.
#pragma once
#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/link_wire.h"

namespace korvane {

// Error codes of failed link operations.
inline constexpr int kLinkNoAnswer = link::kNoAnswer;    // no program, or topic refused
inline constexpr int kLinkRefused = link::kRefused;      // program refused the operation
inline constexpr int kLinkTimeout = link::kTimeout;      // no answer within LinkTimeout
inline constexpr int kLinkNoChannel = link::kNoChannel;  // no open conversation
inline constexpr int kLinkInvalidMode = 380;  // LinkMode other than 0, 2, 3

class LinkControl {
 public:
  LinkControl(asio::io_context& io, std::string link_dir, int timeout_tenths = 50);
  ~LinkControl();
  LinkControl(const LinkControl&) = delete;
  LinkControl& operator=(const LinkControl&) = delete;

  std::string LinkTopic;  // "application|topic"
  std::string LinkItem;
  std::string Caption;    // an execute text before sending, the value after LinkRequest
  std::string Tag;        // free text kept with the link
  int LinkTimeout;        // tenths of a second to wait for each answer; < 0: no limit

  // 0 none, 2 manual, 3 notify. Reads 0 again once the program has ended
  // the conversation (it quit, or broke the protocol).
  int LinkMode() const;

  // 0 closes the conversation. 2 opens one on LinkTopic (closing any open
  // one first, so a changed LinkTopic re-targets the control); 3 also
  // advises LinkItem. On failure the control is left closed (mode 0).
  // Each returns the error code, 0 when it succeeded.
  asio::awaitable<int> SetLinkMode(int mode);
  asio::awaitable<int> LinkExecute(std::string command);
  asio::awaitable<int> LinkRequest();  // LinkItem's value into Caption

  // Last failure; operations that succeed leave it as it is.
  int Error = 0;
  std::string ErrorText;
  void ClearError();

  // Raised, as a handler posted on the io_context, for each change of the
  // advised item (notify mode).
  std::function<void()> OnNotify;
  // Raised likewise when the program ends an advising conversation (it
  // quit or died), so that whoever waits for its notification can stop.
  std::function<void()> OnLost;

  const std::string& link_dir() const { return link_dir_; }

 private:
  struct Conversation;
  class Turnstile;

  using Duration = std::chrono::steady_clock::duration;

  // The public operations copy the properties they use and hand them to
  // these, so that a later change of a property cannot affect a queued call.
  asio::awaitable<int> ChangeMode(int mode, std::string topic, std::string item, Duration limit);
  asio::awaitable<int> Execute(std::string command, Duration limit);
  asio::awaitable<int> Request(std::string item, Duration limit);

  asio::awaitable<int> Connect(Conversation& conversation, std::string topic, Duration limit);
  asio::awaitable<int> Advise(Conversation& conversation, std::string item, Duration limit);
  void WatchNotifications(Conversation& conversation, const std::string& item);
  bool IsOpen() const;
  void CloseConversation();
  Duration WaitLimit() const;
  int Fail(int code, const std::string& program_text = {});

  asio::io_context& io_;
  std::string link_dir_;
  int mode_ = 0;
  std::string topic_;  // of the open conversation
  std::string item_;   // advised by it (mode 3)
  std::shared_ptr<Conversation> conversation_;
  std::shared_ptr<Turnstile> turnstile_;
  std::shared_ptr<bool> alive_;  // lets posted notifications see a destroyed control
};

// Message text of a link error code (the texts for 282, 285, 286 and 293
// are the ones the gateway logs and shows to browsers).
std::string LinkErrorText(int code);

// KORVANE_LINK_DIR, else $XDG_RUNTIME_DIR/korvane/links, else
// <temp dir>/korvane-<uid>/links. The --link-dir option comes before all.
std::string DefaultLinkDir();

}  // namespace korvane
