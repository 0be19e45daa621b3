// The emulated modem's side of the telephony service: its own session, the local-exchange
// line that holds the modem's number (so calls to it ring here), the TCP line it dials hosts
// on, and the one call in progress. It uses nothing but the line functions of
// quodem/platform/telephony.h, as any host program would.
//
// The service's callback runs on the service's thread and only queues what it was told;
// everything else runs on the modem's loop thread, which calls Process() when woken and
// gets back what happened, in the modem's terms.
//
// Outcomes: a number held by a line in a call is BUSY (the exchange refuses the caller); a
// number nobody holds is NO CARRIER (the exchange also says busy, so the number's lock is
// looked at to tell the two apart); an unanswered call is NO ANSWER once the exchange gives
// up; a TCP host that refuses or does not resolve is NO CARRIER; a line that cannot place
// calls at all is NO DIALTONE.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/telephony/modem/emulator/call_link.h"
#include "platform/telephony/modem/emulator/command_interpreter.h"
#include "platform/telephony/modem/emulator/dial_string.h"
#include "quodem/platform/telephony.h"

namespace quodem::telephony::modem::emulator {

struct LineEvent {
  enum class Kind {
    kOffered,        // an incoming call: Ring() or Reject() it
    kGone,           // the ringing caller gave up
    kFarEndRinging,  // the dialled number rings
    kConnected,      // the call carries data: see Link()
    kFailed,         // the call did not connect: `end`
    kRemoteHangup,   // the far end hung up a connected call
  };
  Kind kind;
  CallEnd end = CallEnd::kNoCarrier;
};

class CallLine {
 public:
  // `exchange_device` holds `number`; `tcp_device` dials hosts. `wake` is called (from any
  // thread) when Process() has something to do.
  CallLine(DWORD exchange_device, DWORD tcp_device, std::string number, std::function<void()> wake);
  ~CallLine();  // hangs up and ends the session
  CallLine(const CallLine&) = delete;
  CallLine& operator=(const CallLine&) = delete;

  // Starts the session and takes the number. Throws std::runtime_error saying why not (the
  // number held by another program, the exchange unusable).
  void Open();

  // Hangs up and ends the session; once it returns the service calls `wake` no more.
  void Shutdown();

  std::vector<LineEvent> Process();

  void Dial(const DialTarget& target);
  void Ring();    // takes the offered call as the modem's ringing call
  void Reject();  // refuses the offered call: its caller hears busy
  void Answer();
  void HangUp();  // ends the call at whatever stage, the link with it

  bool HasCall() const { return current_ != 0 || pending_dial_.has_value(); }
  // The connected call's data path (null otherwise). Closed and gone after HangUp.
  CallLink* Link() const { return link_.get(); }

 private:
  struct Note {
    DWORD device;
    DWORD message;
    DWORD_PTR param1;
    DWORD_PTR param2;
  };
  static void Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                       DWORD_PTR param2, DWORD_PTR param3);
  void Push(const Note& note);
  void OnState(HCALL call, DWORD state, DWORD mode, std::vector<LineEvent>& events);
  void PlaceCall(const DialTarget& target, std::vector<LineEvent>& events);
  void Retire(HCALL call);  // drops it (when not idle yet) and deallocates it once idle
  CallEnd EndFor(DWORD mode) const;
  void TakePort(std::vector<LineEvent>& events);

  const DWORD exchange_device_;
  const DWORD tcp_device_;
  const std::string number_;
  std::function<void()> wake_;

  std::mutex lock_;  // guards notes_ only
  std::deque<Note> notes_;

  // Loop thread only.
  HLINEAPP app_ = 0;
  HLINE exchange_line_ = 0;  // holds the number: incoming calls
  HLINEAPP dial_app_ = 0;
  HLINE dial_line_ = 0;  // the same line without owner privilege: outgoing calls
  HLINE tcp_line_ = 0;
  HCALL current_ = 0;
  bool outgoing_ = false;
  bool connected_ = false;
  DialTarget dialled_;
  std::optional<DialTarget> pending_dial_;  // waits for the previous call to go idle
  std::optional<CallEnd> failed_now_;       // a dial that failed before it started
  LONG request_ = 0;                        // placing or answering current_
  HCALL offered_ = 0;
  std::set<HCALL> retiring_;  // hung up, not idle yet
  std::unique_ptr<CallLink> link_;
};

}  // namespace quodem::telephony::modem::emulator
