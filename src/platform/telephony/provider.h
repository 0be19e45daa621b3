// The interface between the telephony service and its line providers.
//
// The service owns sessions, handles, request identifiers and the delivery of callbacks; a
// provider owns what a line device really is (a number on the local exchange, a TCP listen
// address, later a modem on a serial port): opening it for incoming calls, placing and
// answering calls, the call's port, and hanging up.
//
// Threading: every provider member function is called with the service lock held, either on
// the thread of a line function or on the dispatcher thread (event-loop handlers). Providers
// therefore need no locks of their own, must never block, and report progress through the
// sinks below, which only queue notifications.
//
// Lifetime: the service destroys a ProviderCall after it has reported the idle state (or when
// its line or session goes away); the destructor hangs up gracefully and releases everything.
// A provider never destroys itself and never touches the service after its destructor ran.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "quodem/platform/telephony.h"
#include "quodem/platform/telephony_service.h"

namespace quodem::telephony {

class EventLoop;
class GracefulCloser;
class Resolver;
struct Location;
struct LineSettings;
struct ServiceConfig;
struct Translation;

// Completes an asynchronous request (answer, drop): 0 or a LINEERR_ code. Calling it more
// than once has no further effect.
using Completion = std::function<void(LONG result)>;

// Implemented by the service for each call: the provider reports every state change here.
class CallEvents {
 public:
  virtual ~CallEvents() = default;
  // A LINECALLSTATE_ value and its mode detail (LINEDISCONNECTMODE_, LINEBUSYMODE_ or 0).
  // After LINECALLSTATE_IDLE the call is over and the provider object is destroyed soon.
  virtual void CallStateChanged(DWORD state, DWORD mode) = 0;
};

class ProviderCall {
 public:
  virtual ~ProviderCall() = default;

  // Set by the service before Start or Answer is called.
  void AttachEvents(CallEvents* events) { events_ = events; }

  // Outgoing calls: begins placing the call (the service has already queued the successful
  // LINE_REPLY of lineMakeCallA). Reports dialing and what follows.
  virtual void Start() = 0;
  // Incoming calls in the offering state. Completes `done`, then reports connected (or
  // whatever follows).
  virtual void Answer(Completion done) = 0;
  // Hangs up gracefully: bytes already handed to the connection still reach the peer. Reports
  // idle, then completes `done`.
  virtual void Drop(Completion done) = 0;
  // lineDialA: whether the call can take further digits now, and dialing them.
  virtual bool CanTakeDigits() const { return false; }
  virtual void DialDigits(const std::string& digits, Completion done) {
    (void)digits;
    done(LINEERR_INVALCALLSTATE);
  }
  // An incoming call still offered, whose line is closing: gives up its connection (nothing
  // has been sent on it) so the line can keep the caller and offer it again once reopened.
  // Empty when the call has no such connection (outgoing, answered, or gone).
  virtual posix::UniqueFd TakeBackOffered() { return {}; }
  // True once the far end has hung up, even if that has not been reported yet (the bytes it
  // sent before are still being read).
  virtual bool PeerHungUp() const { return false; }
  // How the line names the caller of an incoming call (a TCP line: its address).
  virtual std::string CallerName() const { return {}; }
  // The rate a connected call runs at, in bits per second, when the line learned one (a
  // modem's CONNECT rate); 0 otherwise.
  virtual DWORD Rate() const { return 0; }
  // "comm/datamodem" on a connected call: the name of the device carrying the call, and a
  // new port handle on it that the caller owns (0 on failure).
  virtual std::string PortDeviceName() const = 0;
  virtual HANDLE OpenPort() = 0;

 protected:
  void Report(DWORD state, DWORD mode = 0) {
    if (events_ != nullptr) events_->CallStateChanged(state, mode);
  }

 private:
  CallEvents* events_ = nullptr;
};

// Implemented by the service for each open line.
class LineEvents {
 public:
  virtual ~LineEvents() = default;
  // True while a call on this line is not idle (one call per line).
  virtual bool HasActiveCall() const = 0;
  // True while that call is ending: disconnected, or its far end has hung up already (it goes
  // idle as soon as its owner drops it), so a new caller need not be turned away busy (see
  // ProviderLine::LineFree).
  virtual bool ActiveCallEnding() const = 0;
  // A new incoming call. The service attaches its events and reports it as offering to the
  // line's session. Returns false when the line cannot take it; the call is destroyed then.
  virtual bool OfferCall(std::unique_ptr<ProviderCall> call) = 0;
  // The line cannot go on (its device failed; the reason has gone to report_problem): the
  // service closes it soon after, never inside this call, as lineClose would, and tells the
  // session (LINE_CLOSE).
  virtual void LineLost() = 0;
};

// A line device opened by one session.
class ProviderLine {
 public:
  // Closing the line gives its number (or listen address) back, or parks it (parking.h).
  virtual ~ProviderLine() = default;
  // True when this open line holds the number or listen address `name` (fault injection
  // and CloseLineByService address lines this way).
  virtual bool Holds(const std::string& name) const = 0;
  // Whether calls to the line's number (or listen address) reach this open line: kHeld; or
  // kPending, when another process holds the number for an outgoing call and the line takes
  // it over as soon as that call ends; or kNotHeld, with `*why` saying why in words (held by
  // another process or another line, broken, or the line was opened without owner
  // privilege).
  enum class AddressHold { kHeld, kPending, kNotHeld };
  virtual AddressHold HoldsAddress(std::string* why) const = 0;
  // The line's call has gone idle (called later, from the event loop, while the line is still
  // open and has no call): a caller kept waiting while that call was ending may be offered.
  virtual void LineFree() {}
  // The line is closing with this caller's offer unanswered: kept (see waiting_callers.h) or
  // turned away (closed).
  virtual void KeepCaller(posix::UniqueFd fd, std::string peer) {
    (void)fd;
    (void)peer;
  }
  // Creates an outgoing call to `destination` (not started yet). Returns null and sets
  // `*error` (LINEERR_INVALADDRESS for an address this line cannot dial) on failure.
  virtual std::unique_ptr<ProviderCall> MakeCall(const std::string& destination, LONG* error) = 0;
};

// What the service lends its providers. Everything here is used with the service lock held.
struct ProviderContext {
  EventLoop& loop;
  Resolver& resolver;
  GracefulCloser& closer;
  // Problems worth telling a user (unusable exchange folder, socket path too long) are
  // recorded here; telephony::ServiceProblem() returns the last one.
  std::function<void(const std::string&)> report_problem;
};

// One configured line device, as a session sees it.
class Provider {
 public:
  virtual ~Provider() = default;
  virtual const std::string& Name() const = 0;
  // Text for LINEDEVCAPS' provider info ("Quodem local exchange, number 101").
  virtual std::string ProviderInfo() const = 0;
  // For ListLines(): the line's name, provider, address and who holds its number.
  virtual LineInfo Describe(DWORD device_id) const = 0;
  // lineTranslateAddressA's rules for this kind of line. Returns 0 or LINEERR_INVALADDRESS.
  virtual LONG Translate(const std::string& input, const Location& location,
                         Translation* out) const = 0;
  // lineOpenA. With `owner` the line also takes its number for incoming calls when free;
  // when someone else holds it the open still succeeds (outgoing calls only, or taking the
  // number over later: see ProviderLine::HoldsAddress). A line that closes without having
  // dialed out parks its address (platform/telephony/parking.h). Returns 0 and sets `*line`,
  // or a LINEERR_ code.
  virtual LONG Open(bool owner, LineEvents* events, std::unique_ptr<ProviderLine>* line) = 0;
};

// A kind of provider: its name in the configuration file, the keys a [line] section of
// that kind takes, and how to make one. Adding a provider means adding a kind to the list in
// provider_kinds.cpp; the service and the configuration parser need no change.
struct KeyRule {
  std::string key;
  std::string default_value;  // used when the key is missing (unless required)
  bool required = false;
  bool unique = false;  // no two lines may have the same value
  std::string help;     // shown by the text dialog
  // "" when `value` is acceptable, otherwise the problem in a few words.
  std::function<std::string(const std::string& value)> check;
};

struct ProviderKind {
  std::string name;
  std::vector<KeyRule> keys;  // "name" included
  std::function<std::unique_ptr<Provider>(const LineSettings& settings, const ServiceConfig& config,
                                          ProviderContext& context)>
      create;
};

}  // namespace quodem::telephony
