#include "platform/telephony/modem/emulator/call_line.h"

#include <cstring>
#include <stdexcept>

#include "platform/telephony/exchange_dir.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::telephony::modem::emulator {
namespace {

constexpr DWORD kOwnerAndMonitor = LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR;
constexpr auto kHangUpFlushLimit = std::chrono::seconds(2);

std::string Hex(LONG result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

// Whether anybody holds an exchange number (its lock file is taken).
bool NumberHeld(const std::string& number) {
  try {
    std::string folder = ExchangeDirectory();
    return ProbeNumberLock(NumberSocketPath(folder, number) + ".lock") != NumberHold::kFree;
  } catch (const std::exception&) {
    return true;  // cannot tell: keep what the exchange said
  }
}

}  // namespace

CallLine::CallLine(DWORD exchange_device, DWORD tcp_device, std::string number,
                   std::function<void()> wake)
    : exchange_device_(exchange_device),
      tcp_device_(tcp_device),
      number_(std::move(number)),
      wake_(std::move(wake)) {}

CallLine::~CallLine() {
  Shutdown();
}

void CallLine::Shutdown() {
  HangUp();
  if (app_ != 0) lineShutdown(app_);  // once it returns, the callback runs no more
  if (dial_app_ != 0) lineShutdown(dial_app_);
  app_ = dial_app_ = 0;
}

void CallLine::Callback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                        DWORD_PTR param2, DWORD_PTR) {
  if (instance == 0) return;
  reinterpret_cast<CallLine*>(instance)->Push(Note{device, message, param1, param2});
}

void CallLine::Push(const Note& note) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    notes_.push_back(note);
  }
  wake_();
}

void CallLine::Open() {
  DWORD devices = 0;
  LONG result = lineInitialize(&app_, nullptr, &CallLine::Callback, "quodem emulate", &devices);
  if (result != 0) {
    app_ = 0;
    throw std::runtime_error("cannot start the telephony service (" + Hex(result) + ") " +
                             ServiceConfigurationError());
  }
  if (exchange_device_ >= devices || tcp_device_ >= devices) {
    throw std::runtime_error("the emulator's configuration lacks a line");
  }
  result = lineOpenA(app_, exchange_device_, &exchange_line_, kSupportedApiHigh, 0,
                     reinterpret_cast<DWORD_PTR>(this), kOwnerAndMonitor, LINEMEDIAMODE_DATAMODEM,
                     nullptr);
  if (result != 0) {
    throw std::runtime_error("cannot open the line for number " + number_ + " (" + Hex(result) +
                             ") " + ServiceProblem());
  }
  if (ListLines().at(exchange_device_).hold != NumberHold::kHeldHere) {
    throw std::runtime_error("number " + number_ + " is held by another program");
  }
  // Numbers are dialled from the same line opened without owner privilege, in a session of
  // its own (a session opens a device once): a line that dials gives its number back for the
  // call, and the modem keeps its number while it calls out, so its callers hear busy.
  result = lineInitialize(&dial_app_, nullptr, &CallLine::Callback, "quodem emulate", &devices);
  if (result != 0) {
    dial_app_ = 0;
    throw std::runtime_error("cannot start the telephony service (" + Hex(result) + ")");
  }
  result = lineOpenA(dial_app_, exchange_device_, &dial_line_, kSupportedApiHigh, 0,
                     reinterpret_cast<DWORD_PTR>(this), LINECALLPRIVILEGE_NONE,
                     LINEMEDIAMODE_DATAMODEM, nullptr);
  if (result != 0) {
    throw std::runtime_error("cannot open the line for dialling (" + Hex(result) + ") " +
                             ServiceProblem());
  }
  // Dialling hosts needs no number: the TCP line is opened without owner privilege, so it
  // never listens.
  result = lineOpenA(app_, tcp_device_, &tcp_line_, kSupportedApiHigh, 0,
                     reinterpret_cast<DWORD_PTR>(this), LINECALLPRIVILEGE_NONE,
                     LINEMEDIAMODE_DATAMODEM, nullptr);
  if (result != 0) {
    throw std::runtime_error("cannot open the TCP line (" + Hex(result) + ") " + ServiceProblem());
  }
}

std::vector<LineEvent> CallLine::Process() {
  std::vector<LineEvent> events;
  if (failed_now_) {
    events.push_back(LineEvent{LineEvent::Kind::kFailed, *failed_now_});
    failed_now_.reset();
  }
  for (;;) {
    Note note;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (notes_.empty()) break;
      note = notes_.front();
      notes_.pop_front();
    }
    if (note.message == LINE_CALLSTATE) {
      OnState(note.device, static_cast<DWORD>(note.param1), static_cast<DWORD>(note.param2),
              events);
    } else if (note.message == LINE_REPLY && note.param2 != 0 && current_ != 0 &&
               static_cast<LONG>(note.param1) == request_) {
      // Placing or answering the current call failed: it is over.
      request_ = 0;
      HCALL call = current_;
      current_ = 0;
      Retire(call);
      events.push_back(LineEvent{outgoing_ ? LineEvent::Kind::kFailed : LineEvent::Kind::kGone,
                                 CallEnd::kNoCarrier});
    }
  }
  return events;
}

void CallLine::OnState(HCALL call, DWORD state, DWORD mode, std::vector<LineEvent>& events) {
  if (call == offered_ && (state == LINECALLSTATE_IDLE || state == LINECALLSTATE_DISCONNECTED)) {
    // The caller gave up before the modem took the call.
    offered_ = 0;
    if (state == LINECALLSTATE_IDLE) {
      lineDeallocateCall(call);
    } else {
      Retire(call);
    }
    events.push_back(LineEvent{LineEvent::Kind::kGone});
    return;
  }
  if (state == LINECALLSTATE_IDLE) {
    if (retiring_.erase(call) != 0 || call != current_) {
      lineDeallocateCall(call);
    }
    if (call == current_) {
      // Idle without a disconnect first (the service closed the line): the call is over.
      current_ = 0;
      lineDeallocateCall(call);
      if (link_) link_->Close();
      events.push_back(LineEvent{connected_  ? LineEvent::Kind::kRemoteHangup
                                 : outgoing_ ? LineEvent::Kind::kFailed
                                             : LineEvent::Kind::kGone,
                                 CallEnd::kNoCarrier});
    }
    if (pending_dial_ && retiring_.empty()) {
      DialTarget target = *pending_dial_;
      pending_dial_.reset();
      PlaceCall(target, events);
    }
    return;
  }
  if (state == LINECALLSTATE_OFFERING) {
    if (current_ != 0 || offered_ != 0 || pending_dial_) {
      Retire(call);  // one call at a time: the caller hears busy
      return;
    }
    offered_ = call;
    events.push_back(LineEvent{LineEvent::Kind::kOffered});
    return;
  }
  if (call != current_) return;  // a call already let go
  switch (state) {
    case LINECALLSTATE_RINGBACK:
      events.push_back(LineEvent{LineEvent::Kind::kFarEndRinging});
      break;
    case LINECALLSTATE_CONNECTED:
      if (!connected_) TakePort(events);
      break;
    case LINECALLSTATE_BUSY:
    case LINECALLSTATE_DISCONNECTED: {
      current_ = 0;
      Retire(call);
      if (connected_) {
        // The far end hung up; what it sent is all in the link (read before the service
        // reported the hang-up), which stays for the loop to drain.
        if (link_) link_->Close();
        events.push_back(LineEvent{LineEvent::Kind::kRemoteHangup});
      } else if (outgoing_) {
        events.push_back(LineEvent{LineEvent::Kind::kFailed, state == LINECALLSTATE_BUSY
                                                                 ? EndFor(LINEDISCONNECTMODE_BUSY)
                                                                 : EndFor(mode)});
      } else {
        events.push_back(LineEvent{LineEvent::Kind::kGone});
      }
      break;
    }
    default:
      break;  // dialing, proceeding, accepted: nothing to tell
  }
}

CallEnd CallLine::EndFor(DWORD mode) const {
  switch (mode) {
    case LINEDISCONNECTMODE_BUSY:
      // The exchange says busy also when nobody holds the number at all, and the TCP line
      // when nobody listens on the port: nobody there is NO CARRIER.
      if (dialled_.kind == DialTarget::Kind::kTcp || !NumberHeld(dialled_.address)) {
        return CallEnd::kNoCarrier;
      }
      return CallEnd::kBusy;
    case LINEDISCONNECTMODE_NOANSWER:
      return CallEnd::kNoAnswer;
    default:
      return CallEnd::kNoCarrier;
  }
}

void CallLine::TakePort(std::vector<LineEvent>& events) {
  std::vector<DWORD> storage(1024 / sizeof(DWORD), 0);
  auto* id = reinterpret_cast<VARSTRING*>(storage.data());
  id->dwTotalSize = 1024;
  LONG result = lineGetIDA(0, 0, current_, LINECALLSELECT_CALL, id, "comm/datamodem");
  if (result != 0) {
    HCALL call = current_;
    current_ = 0;
    Retire(call);
    events.push_back(LineEvent{outgoing_ ? LineEvent::Kind::kFailed : LineEvent::Kind::kGone});
    return;
  }
  HANDLE port;
  std::memcpy(&port, reinterpret_cast<const char*>(id) + id->dwStringOffset, sizeof port);
  connected_ = true;
  link_ = std::make_unique<CallLink>(port, wake_);
  events.push_back(LineEvent{LineEvent::Kind::kConnected});
}

void CallLine::Dial(const DialTarget& target) {
  if (current_ != 0) HangUp();
  std::vector<LineEvent> events;
  if (!retiring_.empty()) {
    pending_dial_ = target;  // the line takes one call at a time: after the last one's end
    return;
  }
  PlaceCall(target, events);
  if (!events.empty()) failed_now_ = events.front().end;
  wake_();
}

void CallLine::PlaceCall(const DialTarget& target, std::vector<LineEvent>& events) {
  link_.reset();
  connected_ = false;
  outgoing_ = true;
  dialled_ = target;
  HLINE line = target.kind == DialTarget::Kind::kTcp ? tcp_line_ : dial_line_;
  HCALL call = 0;
  LONG result = lineMakeCallA(line, &call, target.address.c_str(), 0, nullptr);
  if (result > 0) {
    current_ = call;
    request_ = result;
    return;
  }
  CallEnd end = result == LINEERR_INVALADDRESS ? CallEnd::kNoCarrier : CallEnd::kNoDialtone;
  events.push_back(LineEvent{LineEvent::Kind::kFailed, end});
}

void CallLine::Ring() {
  if (offered_ == 0) return;
  link_.reset();
  current_ = offered_;
  offered_ = 0;
  outgoing_ = false;
  connected_ = false;
}

void CallLine::Reject() {
  if (offered_ == 0) return;
  Retire(offered_);
  offered_ = 0;
}

void CallLine::Answer() {
  if (current_ == 0 || outgoing_) return;
  LONG result = lineAnswer(current_, nullptr, 0);
  if (result > 0) request_ = result;
  if (result < 0) {
    HCALL call = current_;
    current_ = 0;
    Retire(call);
    failed_now_ = CallEnd::kNoCarrier;
    wake_();
  }
}

void CallLine::HangUp() {
  pending_dial_.reset();
  if (link_) {
    // What the DTE sent before it hung up still reaches the far end, unless the far end
    // holds it back for longer than this.
    link_->Flush(kHangUpFlushLimit);
    link_->Close();
  }
  if (current_ != 0) {
    HCALL call = current_;
    current_ = 0;
    Retire(call);
  }
  connected_ = false;
}

void CallLine::Retire(HCALL call) {
  retiring_.insert(call);
  if (lineDrop(call, nullptr, 0) < 0) {
    // Idle already (or gone): nothing more will come for it.
    retiring_.erase(call);
    lineDeallocateCall(call);
  }
}

}  // namespace quodem::telephony::modem::emulator
