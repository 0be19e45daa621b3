// Talking to a Hayes modem in command state: one command at a time, its reply lines collected
// until the final result, and unsolicited lines (RING, caller ID, RINGING, CARRIER...) passed
// on whenever they come, also in the middle of a command's reply.
//
// Threading: used on the telephony service's event loop with the service lock held, like
// everything a provider does; handlers run there too. Never blocks: the device is
// non-blocking, reads and writes are driven by readiness, time-outs by the loop's timers.
// Handlers may send further commands, stop the channel or destroy it.
//
// Completion: every command sent completes exactly once (a final reply, its time-out, or the
// end of the device), never inside Send; commands dropped by Stop or the destructor are not
// completed.
//
// Data after CONNECT: reading stops right after a CONNECT line, whether it answered a command
// or came unprompted, because the device carries the call's data from then on and whoever
// takes the call's port reads it. Bytes read past the line are kept for that reader
// (TakeDataAfterConnect).
//
// Line endings: a line ends at CR or LF; the LF of a CR LF pair is dropped even when it comes
// in a later read. Echoed command lines and blank lines are dropped. A line longer than 256
// bytes is cut there, so noise without line ends costs bounded memory.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/telephony/event_loop.h"
#include "platform/telephony/modem/reply_parser.h"

namespace quodem::telephony::modem {

struct CommandResult {
  enum class Kind {
    kFinal,     // `final` holds the final reply
    kTimedOut,  // no final reply within the command's time-out
    kEnded,     // the device ended or failed first
  };
  Kind kind = Kind::kTimedOut;
  Reply final;
  std::vector<std::string> information;  // other lines that came with the reply (ATI text)
  std::string text;                      // the command, for messages
};

class AtChannel {
 public:
  struct Handlers {
    // A line that is not part of a command's reply: the unsolicited kinds, and a final reply
    // while no command waits (a CONNECT from a modem that answered by itself, a NO CARRIER).
    std::function<void(const Reply& reply)> unsolicited;
    // The device ended (end of file, EIO, hang-up) or failed; nothing more comes from it.
    std::function<void(const std::string& why)> ended;
  };
  using Done = std::function<void(const CommandResult& result)>;

  static constexpr std::size_t kMaxLine = 256;

  // Uses `fd` (owned by the caller, which keeps it open while the channel exists).
  AtChannel(EventLoop& loop, int fd, Handlers handlers);
  ~AtChannel();
  AtChannel(const AtChannel&) = delete;
  AtChannel& operator=(const AtChannel&) = delete;

  // Queues `text` (a CR is appended when `line`: "+++" goes without) to be sent after the
  // commands before it have completed. The time-out runs from when the whole text has gone
  // to the device (and, before that, bounds how long the device may refuse to take it).
  // `written`, when given, is called once it has gone.
  void Send(std::string text, bool line, std::chrono::milliseconds timeout, Done done,
            std::function<void()> written = nullptr);

  // Writes a CR at once, ahead of anything queued (any character aborts a modem's dial or
  // answer, which then gives its final reply to the command waiting for it).
  void Interrupt();
  // Starts (or resumes) reading replies in command state.
  void Start();
  // Stops reading and watching; queued commands are dropped without completing.
  void Stop();
  // Watches only for the end of the device (used while the call's port reads the data).
  void WatchForEnd();

  bool Reading() const { return mode_ == Mode::kReading; }
  // Nothing queued or waiting for a reply.
  bool Idle() const { return queue_.empty(); }
  // The bytes read past the last CONNECT line (once; empty afterwards).
  std::string TakeDataAfterConnect();

 private:
  enum class Mode { kStopped, kReading, kEndOnly };
  struct Command {
    std::string text;
    std::chrono::milliseconds timeout;
    Done done;
    std::function<void()> written;
    std::size_t sent = 0;  // bytes of `text` written so far
    bool waiting = false;  // written in full; the time-out runs
  };

  void UpdateWatch();
  void OnReady(std::uint32_t events);
  void ReadAvailable();
  void WriteFront();
  void TakeLines();
  void Dispatch(const std::string& line);
  void Complete(CommandResult result);
  void TimedOut();
  void Ended(const std::string& why);
  bool Writing() const;

  EventLoop& loop_;
  const int fd_;
  Handlers handlers_;
  Mode mode_ = Mode::kStopped;
  EventLoop::Token watch_ = 0;
  std::uint32_t watched_events_ = 0;
  EventLoop::Token timer_ = 0;
  std::deque<Command> queue_;  // the front one is being sent or answered
  std::vector<std::string> information_;
  std::string raw_;            // read, not cut into lines yet
  bool skip_lf_ = false;       // the last line ended with CR: an LF first is its pair
  std::string after_connect_;  // read past a CONNECT line
  bool ended_ = false;
  // Cleared by the destructor: a handler that destroyed the channel stops the loop that
  // called it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quodem::telephony::modem
