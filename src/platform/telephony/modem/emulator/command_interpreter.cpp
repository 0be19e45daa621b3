#include "platform/telephony/modem/emulator/command_interpreter.h"

#include <cstdio>
#include <utility>

namespace quodem::telephony::modem::emulator {
namespace {

constexpr const char* kIdentity = "Quodem modem emulator";

const char* ResultText(int code) {
  switch (code) {
    case 0:
      return "OK";
    case 1:
      return "CONNECT";
    case 2:
      return "RING";
    case 3:
      return "NO CARRIER";
    case 4:
      return "ERROR";
    case 6:
      return "NO DIALTONE";
    case 7:
      return "BUSY";
    case 8:
      return "NO ANSWER";
    default:
      return "ERROR";
  }
}

std::string Three(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%03d", value);
  return text;
}

}  // namespace

CommandInterpreter::CommandInterpreter(bool strict) : strict_(strict) {
  Reset();
}

void CommandInterpreter::Reset() {
  registers_.fill(0);
  registers_[2] = 43;  // '+'
  registers_[3] = 13;  // CR
  registers_[4] = 10;  // LF
  registers_[5] = 8;   // BS
  registers_[6] = 2;
  registers_[7] = 50;
  registers_[8] = 2;
  registers_[9] = 6;
  registers_[10] = 14;
  registers_[11] = 95;
  registers_[12] = 50;
  echo_ = true;
  verbose_ = true;
  quiet_ = false;
  x_level_ = 4;
  dcd_mode_ = 1;
  dtr_mode_ = 2;
  pending_digits_.clear();
}

std::chrono::milliseconds CommandInterpreter::Guard() const {
  return std::chrono::milliseconds(registers_[12] * 20);
}

// ---- output ----

void CommandInterpreter::Report(Result result, unsigned rate) {
  if (quiet_) return;
  int code = static_cast<int>(result);
  const char cr = static_cast<char>(registers_[3]);
  const char lf = static_cast<char>(registers_[4]);
  if (result == Result::kConnect && x_level_ >= 1 && rate != 0) {
    if (verbose_) {
      out_.to_dte += std::string{cr, lf} + "CONNECT " + std::to_string(rate) + cr + lf;
    } else {
      int numeric = rate == 1200 ? 5 : rate == 2400 ? 10 : 1;
      out_.to_dte += std::to_string(numeric) + cr;
    }
    return;
  }
  if (verbose_) {
    out_.to_dte += std::string{cr, lf} + ResultText(code) + cr + lf;
  } else {
    out_.to_dte += std::to_string(code) + cr;
  }
}

void CommandInterpreter::Info(const std::string& text) {
  const char cr = static_cast<char>(registers_[3]);
  const char lf = static_cast<char>(registers_[4]);
  if (verbose_) {
    out_.to_dte += std::string{cr, lf} + text + cr + lf;
  } else {
    out_.to_dte += text + cr + lf;
  }
}

// ---- bytes from the DTE ----

Effects CommandInterpreter::Input(std::string_view bytes, Clock::time_point now) {
  for (char c : bytes) {
    switch (state_) {
      case State::kCommand:
      case State::kOnlineCommand:
        CommandByte(c, now);
        break;
      case State::kOnline:
        OnlineByte(c, now);
        break;
      case State::kDialing:
      case State::kAnswering:
        if (swallow_lf_ && c == '\n') {
          swallow_lf_ = false;
          break;
        }
        swallow_lf_ = false;
        // Any other character gives up the call, as on a real modem.
        EndCall();
        Report(Result::kNoCarrier);
        break;
    }
  }
  return std::exchange(out_, Effects{});
}

void CommandInterpreter::CommandByte(char c, Clock::time_point now) {
  if (echo_) out_.to_dte += c;
  const char cr = static_cast<char>(registers_[3]);
  const char bs = static_cast<char>(registers_[5]);
  switch (scan_) {
    case Scan::kIdle:
      if (c == 'A' || c == 'a') scan_ = Scan::kGotA;
      return;
    case Scan::kGotA:
      if (c == 'T' || c == 't') {
        scan_ = Scan::kCollect;
        line_.clear();
        overflow_ = false;
      } else if (c == '/') {
        scan_ = Scan::kIdle;
        // The repeated line runs as if it had just been typed, with its CR.
        swallow_lf_ = false;
        Execute(last_line_, now);
      } else if (!(c == 'A' || c == 'a')) {
        scan_ = Scan::kIdle;
      }
      return;
    case Scan::kCollect:
      if (c == cr) {
        scan_ = Scan::kIdle;
        if (overflow_) {
          Report(Result::kError);
          return;
        }
        last_line_ = line_;
        swallow_lf_ = true;
        Execute(line_, now);
        if (state_ != State::kDialing && state_ != State::kAnswering) swallow_lf_ = false;
      } else if (c == bs) {
        if (!line_.empty()) line_.pop_back();
      } else if (static_cast<unsigned char>(c) >= 0x20) {
        if (line_.size() < kMaxCommandLine) {
          line_ += c;
        } else {
          overflow_ = true;
        }
      }
      return;
  }
}

void CommandInterpreter::OnlineByte(char c, Clock::time_point now) {
  out_.to_line += c;
  const unsigned char escape = registers_[2];
  const auto guard = Guard();
  bool counted = false;
  if (escape <= 127 && static_cast<unsigned char>(c) == escape) {
    if (pluses_ == 0) {
      counted = now - last_data_ >= guard;
    } else if (pluses_ < 3) {
      counted = now - last_plus_ <= guard;
    }
  }
  if (counted) {
    ++pluses_;
    last_plus_ = now;
    if (pluses_ == 3) escape_at_ = now + guard;
  } else {
    pluses_ = 0;
    escape_at_.reset();
  }
  last_data_ = now;
}

// ---- command lines ----

void CommandInterpreter::Execute(const std::string& body, Clock::time_point now) {
  CommandLine parsed = ParseCommandLine(body);
  bool final_sent = false;
  bool stop = false;
  for (const AtCommand& command : parsed.commands) {
    if (!Run(command, now, &final_sent, &stop)) {
      Report(Result::kError);
      return;
    }
    if (stop) return;
  }
  if (parsed.error) {
    Report(Result::kError);
    return;
  }
  if (!final_sent) Report(Result::kOk);
}

bool CommandInterpreter::Run(const AtCommand& command, Clock::time_point now, bool* final_sent,
                             bool* stop) {
  switch (command.kind) {
    case AtCommand::Kind::kBasic:
      return RunBasic(command, now, final_sent, stop);
    case AtCommand::Kind::kDial:
      return RunDial(command, now, final_sent, stop);
    case AtCommand::Kind::kRegisterSet:
      if (command.number > 255 || command.value > 255) return false;
      registers_[static_cast<std::size_t>(command.number)] =
          static_cast<std::uint8_t>(command.value);
      return true;
    case AtCommand::Kind::kRegisterQuery:
      if (command.number > 255) return false;
      Info(Three(registers_[static_cast<std::size_t>(command.number)]));
      return true;
    case AtCommand::Kind::kRegisterSelect:
      return command.number <= 255;
    case AtCommand::Kind::kVendor:
      if (command.prefix == '&') {
        switch (command.letter) {
          case 'C':
            if (command.number > 1) return false;
            dcd_mode_ = command.number < 0 ? 0 : static_cast<int>(command.number);
            return true;
          case 'D':
            if (command.number > 3) return false;
            dtr_mode_ = command.number < 0 ? 0 : static_cast<int>(command.number);
            return true;
          case 'F':
            Reset();
            return true;
          case 'V': {
            std::string view = std::string("E") + (echo_ ? "1" : "0") + " Q" +
                               (quiet_ ? "1" : "0") + " V" + (verbose_ ? "1" : "0") + " X" +
                               std::to_string(x_level_) + " &C" + std::to_string(dcd_mode_) +
                               " &D" + std::to_string(dtr_mode_);
            Info(view);
            std::string regs;
            for (int n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}) {
              regs += (regs.empty() ? "S" : " S") +
                      (n < 10 ? "0" + std::to_string(n) : std::to_string(n)) + ":" +
                      Three(registers_[static_cast<std::size_t>(n)]);
            }
            Info(regs);
            return true;
          }
          default:
            return true;  // &K flow control, &Q, &W and the like: nothing to emulate
        }
      }
      return true;  // \ and % commands: error correction and compression settings
    case AtCommand::Kind::kExtended:
      if (command.name == "+GMI" || command.name == "+CGMI") {
        Info("Quodem");
      } else if (command.name == "+GMM" || command.name == "+CGMM") {
        Info(kIdentity);
      } else if (command.name == "+GMR" || command.name == "+CGMR") {
        Info("1.0");
      } else if (command.name == "+FCLASS" && (command.text == "=?" || command.text == "?")) {
        Info(command.text == "?" ? "0" : "(0)");
      }
      return true;
  }
  return true;
}

bool CommandInterpreter::RunBasic(const AtCommand& command, Clock::time_point now, bool* final_sent,
                                  bool* stop) {
  const long n = command.number < 0 ? 0 : command.number;
  switch (command.letter) {
    case 'E':
      if (n > 1) return false;
      echo_ = n == 1;
      return true;
    case 'V':
      if (n > 1) return false;
      verbose_ = n == 1;
      return true;
    case 'Q':
      if (n > 1) return false;
      quiet_ = n == 1;
      return true;
    case 'X':
      if (n > 4) return false;
      x_level_ = static_cast<int>(n);
      return true;
    case 'Z':
      if (n > 1) return false;
      if (InCall()) EndCall();
      Reset();
      return true;
    case 'H':
      if (n > 1) return false;
      if (n == 0 && InCall()) EndCall();
      pending_digits_.clear();
      return true;
    case 'O':
      *stop = true;
      if (state_ != State::kOnlineCommand) {
        Report(Result::kNoCarrier);
      } else {
        state_ = State::kOnline;
        last_data_ = now;
        pluses_ = 0;
        escape_at_.reset();
        Report(Result::kConnect, rate_);
      }
      *final_sent = true;
      return true;
    case 'A':
      *stop = true;
      *final_sent = true;
      if (state_ == State::kOnlineCommand) return false;
      if (!ringing_) {
        Report(Result::kNoCarrier);
        return true;
      }
      Answer(now);
      return true;
    case 'I':
      Info(kIdentity);
      return true;
    case 'M':  // speaker
    case 'L':  // speaker volume
    case 'N':  // automode
    case 'W':  // progress reports
    case 'Y':  // long-space disconnect
    case 'B':  // CCITT or Bell
    case 'C':  // carrier
    case 'F':  // on-line echo
    case 'P':  // pulse dialling by default
    case 'T':  // tone dialling by default
      return true;
    default:
      return !strict_;
  }
}

bool CommandInterpreter::RunDial(const AtCommand& command, Clock::time_point now, bool* final_sent,
                                 bool* stop) {
  if (state_ == State::kOnlineCommand) return false;
  DialTarget target = ParseDialString(command.text);
  if (command.semicolon && target.kind == DialTarget::Kind::kExchange && !target.redial) {
    // Digits dialled so far; the modem returns to command mode and the line goes on.
    pending_digits_ += target.address;
    return true;
  }
  *stop = true;
  *final_sent = true;
  if (target.redial) {
    target = last_dial_;
  } else if (target.kind == DialTarget::Kind::kExchange) {
    target.address = pending_digits_ + target.address;
  }
  pending_digits_.clear();
  if (target.address.empty()) {
    Report(Result::kNoCarrier);
    return true;
  }
  last_dial_ = target;
  state_ = State::kDialing;
  far_end_ringing_ = false;
  dial_waiting_ = target;
  dial_at_ = now + std::chrono::seconds(registers_[8]) * target.pauses;
  carrier_deadline_ = dial_at_ + std::chrono::seconds(registers_[7]);
  if (target.pauses == 0) {
    out_.dial = target;
    dial_waiting_.reset();
  }
  return true;
}

// ---- calls ----

void CommandInterpreter::Answer(Clock::time_point now) {
  ringing_ = false;
  registers_[1] = 0;
  state_ = State::kAnswering;
  carrier_deadline_ = now + std::chrono::seconds(registers_[7]);
  out_.answer = true;
}

void CommandInterpreter::Ring(Clock::time_point now) {
  Report(Result::kRing);
  if (registers_[1] < 255) ++registers_[1];
  next_ring_ = now + kRingInterval;
  const bool dtr_allows = dtr_ || dtr_mode_ == 0;
  if (registers_[0] > 0 && registers_[1] >= registers_[0] && dtr_allows) Answer(now);
}

void CommandInterpreter::EndCall() {
  // A dial asked for in this same input was never placed: dropping the request is the whole
  // hang-up (the plumbing applies hang-up before dial, so asking for both would place it).
  if (out_.dial) {
    out_.dial.reset();
  } else {
    out_.hang_up = true;
  }
  out_.answer = false;
  state_ = State::kCommand;
  dial_waiting_.reset();
  carrier_deadline_.reset();
  escape_at_.reset();
  pluses_ = 0;
  swallow_lf_ = false;
}

void CommandInterpreter::FailCall(CallEnd end) {
  EndCall();
  switch (end) {
    case CallEnd::kBusy:
      Report(x_level_ >= 3 ? Result::kBusy : Result::kNoCarrier);
      break;
    case CallEnd::kNoAnswer:
      Report(x_level_ >= 3 ? Result::kNoAnswer : Result::kNoCarrier);
      break;
    case CallEnd::kNoDialtone:
      Report(x_level_ == 2 || x_level_ == 4 ? Result::kNoDialtone : Result::kNoCarrier);
      break;
    case CallEnd::kNoCarrier:
      Report(Result::kNoCarrier);
      break;
  }
}

Effects CommandInterpreter::Tick(Clock::time_point now) {
  if (dial_waiting_ && now >= dial_at_) {
    out_.dial = *dial_waiting_;
    dial_waiting_.reset();
  }
  if (carrier_deadline_ && now >= *carrier_deadline_) {
    if (state_ == State::kDialing) {
      FailCall(far_end_ringing_ ? CallEnd::kNoAnswer : CallEnd::kNoCarrier);
    } else if (state_ == State::kAnswering) {
      FailCall(CallEnd::kNoCarrier);
    }
    carrier_deadline_.reset();
  }
  if (escape_at_ && now >= *escape_at_) {
    escape_at_.reset();
    pluses_ = 0;
    if (state_ == State::kOnline) {
      state_ = State::kOnlineCommand;
      scan_ = Scan::kIdle;
      Report(Result::kOk);
    }
  }
  if (ringing_ && now >= next_ring_) Ring(now);
  return std::exchange(out_, Effects{});
}

std::optional<Clock::time_point> CommandInterpreter::NextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (dial_waiting_) consider(dial_at_);
  if (carrier_deadline_) consider(*carrier_deadline_);
  if (escape_at_) consider(*escape_at_);
  if (ringing_) consider(next_ring_);
  return next;
}

Effects CommandInterpreter::FarEndRinging(Clock::time_point) {
  if (state_ == State::kDialing) far_end_ringing_ = true;
  return std::exchange(out_, Effects{});
}

Effects CommandInterpreter::Connected(unsigned rate, Clock::time_point now) {
  if (state_ == State::kDialing || state_ == State::kAnswering) {
    state_ = State::kOnline;
    rate_ = rate;
    carrier_deadline_.reset();
    swallow_lf_ = false;
    last_data_ = now;
    pluses_ = 0;
    escape_at_.reset();
    Report(Result::kConnect, rate);
  }
  return std::exchange(out_, Effects{});
}

Effects CommandInterpreter::CallFailed(CallEnd end, Clock::time_point) {
  if (state_ == State::kDialing || state_ == State::kAnswering) FailCall(end);
  return std::exchange(out_, Effects{});
}

Effects CommandInterpreter::IncomingCall(Clock::time_point now) {
  if (CanRing()) {
    ringing_ = true;
    registers_[1] = 0;
    Ring(now);
  }
  return std::exchange(out_, Effects{});
}

Effects CommandInterpreter::IncomingGone(Clock::time_point) {
  ringing_ = false;
  registers_[1] = 0;
  if (state_ == State::kAnswering) FailCall(CallEnd::kNoCarrier);
  return std::exchange(out_, Effects{});
}

Effects CommandInterpreter::CarrierLost(bool report, Clock::time_point) {
  if (state_ == State::kOnline || state_ == State::kOnlineCommand) {
    EndCall();
    scan_ = Scan::kIdle;
    if (report) Report(Result::kNoCarrier);
  } else if (state_ == State::kDialing || state_ == State::kAnswering) {
    FailCall(CallEnd::kNoCarrier);
  }
  return std::exchange(out_, Effects{});
}

Effects CommandInterpreter::DtrChanged(bool raised, Clock::time_point) {
  const bool was = dtr_;
  dtr_ = raised;
  if (raised || !was || dtr_mode_ == 0) return std::exchange(out_, Effects{});
  switch (dtr_mode_) {
    case 1:
      if (state_ == State::kOnline) {
        state_ = State::kOnlineCommand;
        scan_ = Scan::kIdle;
        escape_at_.reset();
        pluses_ = 0;
        Report(Result::kOk);
      }
      break;
    case 2:
      if (InCall()) {
        EndCall();
        Report(Result::kNoCarrier);
      }
      break;
    default:  // &D3
      if (InCall()) EndCall();
      Reset();
      break;
  }
  return std::exchange(out_, Effects{});
}

Effects CommandInterpreter::DteClosed(Clock::time_point) {
  dtr_ = false;
  if (InCall()) EndCall();
  if (dtr_mode_ == 3) Reset();
  scan_ = Scan::kIdle;
  line_.clear();
  out_.to_dte.clear();  // nobody is there to read it
  return std::exchange(out_, Effects{});
}

}  // namespace quodem::telephony::modem::emulator
