// The behaviour of one emulated Hayes modem, without any I/O: what the terminal program (the
// DTE) sends goes in with the time it arrived; replies, echo, data for the far end and
// requests for the call plumbing (dial, answer, hang up) come out. The caller owns time: it
// passes `now` with every input and calls Tick once NextDeadline has passed.
//
// States: command (on hook) -> dialling or answering -> online (data) <-> online command
// (after the escape; the call is kept) -> command.
//
// Command set: E V Q X0-X4 Z &F H O A A/ D I, S-registers (Sn=v, Sn?; S0 rings before
// auto-answer, S1 ring count, S2 escape character, S3/S4/S5 CR/LF/BS, S7 seconds to wait for
// carrier, S8 comma pause, S10 carrier-loss time, S12 escape guard time in 1/50 s), &C &D &V,
// the vendor commands (&, \, %) and extended +NAME commands that real clients send (answered
// OK: they configure what an emulated line does not have), M L N W Y B C F P T. Unknown basic
// commands answer OK, or ERROR in strict mode; known commands with values out of range, and
// syntax errors, answer ERROR.
//
// Results: V1 "<S3><S4>TEXT<S3><S4>", V0 "<code><S3>"; Q1 sends none. X0: CONNECT without
// rate, BUSY, NO ANSWER and NO DIALTONE come as NO CARRIER. X1: CONNECT with rate. X2: adds
// NO DIALTONE. X3: adds BUSY and NO ANSWER (not NO DIALTONE). X4: everything. Numeric
// CONNECT codes: 1, 5 (1200), 10 (2400); other rates use 1, since higher codes differ
// between vendors.
//
// Data mode is 8-bit transparent: every byte goes to the far end, "+++" and "NO CARRIER"
// included. The escape needs S12 of silence, three S2 characters each within S12 of the
// one before, and S12 of silence after; then "OK" and online-command state, the call kept
// (the "+" characters have gone to the far end, as on real modems). While dialling or
// answering any character aborts (NO CARRIER), except an LF right after the command's CR.
//
// DTR: &D0 ignores it, &D1 drops to online command, &D2 hangs up, &D3 hangs up and resets.
// Auto-answer waits while DTR is off (unless &D0). A DTE that closes the device hangs up.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/telephony/modem/emulator/command_line.h"
#include "platform/telephony/modem/emulator/dial_string.h"

namespace quodem::telephony::modem::emulator {

using Clock = std::chrono::steady_clock;

// Why a call did not connect, as the telephony service reports it.
enum class CallEnd {
  kBusy,        // the number is held by a line in a call
  kNoAnswer,    // it rang until the caller gave up
  kNoCarrier,   // nobody holds the number, the host refused, the call failed
  kNoDialtone,  // no line to dial on
};

// What the interpreter asks of its surroundings, collected over one input. The plumbing
// applies them in this order: replies, data, hang-up, dial, answer.
struct Effects {
  std::string to_dte;              // replies and echo, in order
  std::string to_line;             // data for the far end
  std::optional<DialTarget> dial;  // place this call (resolved: never a redial)
  bool answer = false;             // answer the incoming call
  bool hang_up = false;            // end the call, whatever stage it is at
};

class CommandInterpreter {
 public:
  static constexpr auto kRingInterval = std::chrono::seconds(6);
  static constexpr std::size_t kMaxCommandLine = 255;

  explicit CommandInterpreter(bool strict = false);

  // Bytes from the DTE, arrived at `now`.
  Effects Input(std::string_view bytes, Clock::time_point now);
  // Runs what is due at `now` (escape, dial pauses, carrier time-out, ring cadence).
  Effects Tick(Clock::time_point now);
  // When Tick must run next; nothing when no timer runs.
  std::optional<Clock::time_point> NextDeadline() const;

  // From the call plumbing.
  Effects FarEndRinging(Clock::time_point now);
  Effects Connected(unsigned rate, Clock::time_point now);
  Effects CallFailed(CallEnd end, Clock::time_point now);
  // An incoming call: RING now and every kRingInterval; answered after S0 rings.
  Effects IncomingCall(Clock::time_point now);
  // The caller gave up before the call was answered.
  Effects IncomingGone(Clock::time_point now);
  // The far end hung up a connected call. `report`: send NO CARRIER (false when the plumbing
  // signals the loss by hanging up the device instead).
  Effects CarrierLost(bool report, Clock::time_point now);
  Effects DtrChanged(bool raised, Clock::time_point now);
  // The DTE closed the device: DTR is off, a call hangs up, a half-typed command goes.
  Effects DteClosed(Clock::time_point now);

  // Data from the far end goes to the DTE only while online.
  bool Online() const { return state_ == State::kOnline; }
  // Between a dial or answer and the end of the call.
  bool InCall() const { return state_ != State::kCommand; }
  // An incoming call can ring now (on hook, not ringing already).
  bool CanRing() const { return state_ == State::kCommand && !ringing_; }
  bool Ringing() const { return ringing_; }
  std::uint8_t Register(int n) const { return registers_[static_cast<std::size_t>(n)]; }

 private:
  enum class State { kCommand, kDialing, kAnswering, kOnline, kOnlineCommand };
  enum class Result {
    kOk = 0,
    kConnect = 1,
    kRing = 2,
    kNoCarrier = 3,
    kError = 4,
    kNoDialtone = 6,
    kBusy = 7,
    kNoAnswer = 8
  };
  enum class Scan { kIdle, kGotA, kCollect };

  void Reset();  // the factory profile
  void CommandByte(char c, Clock::time_point now);
  void OnlineByte(char c, Clock::time_point now);
  void Execute(const std::string& body, Clock::time_point now);
  // Runs one command; false when it fails (ERROR). `stop` set when the rest of the line is
  // not run (A, O, D without ';', a dial that started).
  bool Run(const AtCommand& command, Clock::time_point now, bool* final_sent, bool* stop);
  bool RunBasic(const AtCommand& command, Clock::time_point now, bool* final_sent, bool* stop);
  bool RunDial(const AtCommand& command, Clock::time_point now, bool* final_sent, bool* stop);
  void Answer(Clock::time_point now);
  void Ring(Clock::time_point now);
  void EndCall();  // asks for the hang-up and goes on hook
  void FailCall(CallEnd end);
  void Report(Result result, unsigned rate = 0);
  void Info(const std::string& text);
  std::chrono::milliseconds Guard() const;

  const bool strict_;
  std::array<std::uint8_t, 256> registers_{};
  bool echo_ = true;
  bool verbose_ = true;
  bool quiet_ = false;
  int x_level_ = 4;
  int dcd_mode_ = 1;  // &C
  int dtr_mode_ = 2;  // &D

  State state_ = State::kCommand;
  Effects out_;
  Scan scan_ = Scan::kIdle;
  std::string line_;
  bool overflow_ = false;
  std::string last_line_;
  bool swallow_lf_ = false;  // the LF after the CR of ATD / ATA is no abort

  // Dialling.
  std::string pending_digits_;  // from D...; commands earlier on the line
  DialTarget last_dial_;
  std::optional<DialTarget> dial_waiting_;  // placed once dial_at_ has come
  Clock::time_point dial_at_{};
  std::optional<Clock::time_point> carrier_deadline_;
  bool far_end_ringing_ = false;
  unsigned rate_ = 0;

  // Incoming calls.
  bool ringing_ = false;
  Clock::time_point next_ring_{};

  // Escape detection.
  Clock::time_point last_data_{};
  Clock::time_point last_plus_{};
  int pluses_ = 0;
  std::optional<Clock::time_point> escape_at_;

  bool dtr_ = false;
};

}  // namespace quodem::telephony::modem::emulator
