// The emulated modem's behaviour without any I/O: the command lines real clients send, the
// result formats and X levels, dialling and its aborts, the escape and its guard times,
// ringing and auto-answer, DTR. Time is driven by the test.
#include <gtest/gtest.h>

#include <string>

#include "platform/telephony/modem/emulator/command_interpreter.h"

namespace quodem::telephony::modem::emulator {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class Modem : public ::testing::Test {
 protected:
  Clock::time_point now = Clock::time_point() + seconds(1000);
  CommandInterpreter modem;
  Effects last;

  Modem() { modem.DtrChanged(true, now); }

  // Sends `text` and returns what went to the DTE.
  std::string Send(const std::string& text) {
    last = modem.Input(text, now);
    return last.to_dte;
  }
  std::string Quiet(const std::string& text) {  // echo off first
    Send("ATE0\r");
    return Send(text);
  }
  // Lets `d` pass, running every deadline on the way as the plumbing's loop does; returns
  // what went to the DTE and keeps every effect in `ticked`.
  std::string Wait(Clock::duration d) {
    const Clock::time_point end = now + d;
    std::string out;
    ticked = Effects{};
    while (auto next = modem.NextDeadline()) {
      if (*next > end) break;
      now = *next;
      Collect(modem.Tick(now), out);
    }
    now = end;
    Collect(modem.Tick(now), out);
    return out;
  }
  void Collect(const Effects& e, std::string& out) {
    out += e.to_dte;
    ticked.to_line += e.to_line;
    if (e.dial) ticked.dial = e.dial;
    ticked.answer |= e.answer;
    ticked.hang_up |= e.hang_up;
  }
  void Online() {
    Quiet("ATD555\r");
    ASSERT_TRUE(last.dial);
    EXPECT_EQ(modem.Connected(33600, now).to_dte, "\r\nCONNECT 33600\r\n");
    ASSERT_TRUE(modem.Online());
  }
  Effects ticked;
};

TEST_F(Modem, CommandLinesRealClientsSend) {
  // C-Kermit (usrobotics), mgetty, chat, ModemManager, minicom, spaces and vendor commands.
  for (const char* line : {"ATQ0H0\r",
                           "ATQ0\r",
                           "AT&H1&R2&I0\r",
                           "ATQ0X4&A3&N0&Y3S14=0\r",
                           "AT&M4&B1\r",
                           "AT&K1\r",
                           "ATM1L2\r",
                           "ATS2=43S7=15\r",
                           "ATQ0V1H0\r",
                           "AT\r",
                           "ATZ\r",
                           "ATS0=0\r",
                           "ATE0\r",
                           "AT+CMEE=1\r",
                           "AT+FCLASS=0S37=0\r",
                           "AT &C1 &D2 \\N3 %C1\r",
                           "AT&K 1\r",
                           "at&f\r",
                           "AT+IFC=2,2;+ES=3,0,2\r",
                           "AT\\Q3\r",
                           "ATS7=30\r",
                           "AT+CGDCONT=1,\"IP\",\"x;y\"\r"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(Quiet(line), "\r\nOK\r\n");
  }
  EXPECT_EQ(modem.Register(37), 0);
  EXPECT_EQ(modem.Register(14), 0);
  EXPECT_EQ(modem.Register(7), 30);
  EXPECT_EQ(Quiet("AT+GMI\r"), "\r\nQuodem\r\n\r\nOK\r\n");
}

TEST_F(Modem, EchoFormatsRegistersAndLineEditing) {
  EXPECT_EQ(Send("ATE1\r"), "ATE1\r\r\nOK\r\n");  // echo includes the CR
  EXPECT_EQ(Send("AT S7 = 30 S7?\r"), "AT S7 = 30 S7?\r\r\n030\r\n\r\nOK\r\n");
  Send("ATE0\r");
  EXPECT_EQ(Send("ATS12?\r"), "\r\n050\r\n\r\nOK\r\n");
  EXPECT_EQ(Send("ATV0\r"), "0\r");  // the new format already
  EXPECT_EQ(Send("ATS2?\r"), "043\r\n0\r");
  EXPECT_EQ(Send("ATE2\r"), "4\r");
  EXPECT_EQ(Send("ATV1Q1\r"), "");
  EXPECT_EQ(Send("ATS0?\r"), "\r\n000\r\n");  // Q1 keeps information, drops results
  EXPECT_EQ(Send("ATQ0\r"), "\r\nOK\r\n");
  // Several lines in one write, LF and garbage between them, backspace.
  EXPECT_EQ(Send("ATS0=2\r\nATS0?\r\nxxATQ0\r"), "\r\nOK\r\n\r\n002\r\n\r\nOK\r\n\r\nOK\r\n");
  EXPECT_EQ(Send("ATS7=41\b2S7?\r"), "\r\n042\r\n\r\nOK\r\n");
  // A/ repeats the last line without a CR.
  EXPECT_EQ(Send("A/"), "\r\n042\r\n\r\nOK\r\n");
  // A line longer than a modem's buffer is refused whole.
  EXPECT_EQ(Send("AT" + std::string(300, 'M') + "\r"), "\r\nERROR\r\n");
  EXPECT_EQ(Send("AT\r"), "\r\nOK\r\n");
}

TEST_F(Modem, ErrorsStopTheLineButKeepWhatRanBefore) {
  Send("ATE0\r");
  EXPECT_EQ(Send("ATS7=20X9S7=30\r"), "\r\nERROR\r\n");
  EXPECT_EQ(modem.Register(7), 20);
  for (const char* bad : {"ATS256=1\r", "ATS7=256\r", "ATS\r", "AT&C2\r", "AT&D4\r", "ATQ2\r",
                          "ATS7=123456\r", "AT+\r", "AT&\r", "AT+X=\"open\r"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Send(bad), "\r\nERROR\r\n");
  }
  // Unknown basic commands: OK unless strict.
  EXPECT_EQ(Send("ATG1K3\r"), "\r\nOK\r\n");
  CommandInterpreter strict(true);
  EXPECT_EQ(strict.Input("ATE0\r", now).to_dte, "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(strict.Input("ATG1\r", now).to_dte, "\r\nERROR\r\n");
  EXPECT_EQ(strict.Input("AT&K3\\N3+CMEE=1\r", now).to_dte, "\r\nOK\r\n");
}

TEST_F(Modem, XLevelsDecideWhatIsReported) {
  struct Row {
    int x;
    CallEnd end;
    const char* text;
  };
  const Row rows[] = {
      {0, CallEnd::kBusy, "NO CARRIER"},
      {1, CallEnd::kBusy, "NO CARRIER"},
      {2, CallEnd::kBusy, "NO CARRIER"},
      {3, CallEnd::kBusy, "BUSY"},
      {4, CallEnd::kBusy, "BUSY"},
      {2, CallEnd::kNoDialtone, "NO DIALTONE"},
      {3, CallEnd::kNoDialtone, "NO CARRIER"},
      {4, CallEnd::kNoDialtone, "NO DIALTONE"},
      {0, CallEnd::kNoAnswer, "NO CARRIER"},
      {4, CallEnd::kNoAnswer, "NO ANSWER"},
      {4, CallEnd::kNoCarrier, "NO CARRIER"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.x) + " " + row.text);
    Quiet("ATX" + std::to_string(row.x) + "D555\r");
    ASSERT_TRUE(last.dial);
    Effects e = modem.CallFailed(row.end, now);
    EXPECT_EQ(e.to_dte, std::string("\r\n") + row.text + "\r\n");
    EXPECT_TRUE(e.hang_up);
    EXPECT_FALSE(modem.InCall());
  }
  // CONNECT: X0 without rate; V0 codes 1, 5, 10.
  Quiet("ATX0D555\r");
  EXPECT_EQ(modem.Connected(33600, now).to_dte, "\r\nCONNECT\r\n");
  modem.CarrierLost(false, now);
  for (auto [rate, code] : {std::pair{1200u, "5\r"}, {2400u, "10\r"}, {33600u, "1\r"}}) {
    Quiet("ATV0X4D555\r");
    EXPECT_EQ(modem.Connected(rate, now).to_dte, code);
    modem.CarrierLost(false, now);
    Send("ATV1\r");
  }
}

TEST_F(Modem, DialTargetsSemicolonAndRedial) {
  Quiet("ATDT 555-0102\r");
  ASSERT_TRUE(last.dial);
  EXPECT_EQ(last.dial->kind, DialTarget::Kind::kExchange);
  EXPECT_EQ(last.dial->address, "5550102");
  EXPECT_EQ(last.to_dte, "");  // the result comes with the call
  modem.CallFailed(CallEnd::kBusy, now);
  // minicom's prefix: dial, back to command mode, X4, dial the rest.
  EXPECT_EQ(Send("ATX1DT12;X4D34\r"), "");
  ASSERT_TRUE(last.dial);
  EXPECT_EQ(last.dial->address, "1234");
  modem.CallFailed(CallEnd::kNoAnswer, now);
  Send("ATDL\r");
  ASSERT_TRUE(last.dial);
  EXPECT_EQ(last.dial->address, "1234");
  modem.CallFailed(CallEnd::kNoCarrier, now);
  Send("ATD\"bbs.example.org:2323\"\r");
  ASSERT_TRUE(last.dial);
  EXPECT_EQ(last.dial->kind, DialTarget::Kind::kTcp);
  EXPECT_EQ(last.dial->address, "bbs.example.org:2323");
  modem.CallFailed(CallEnd::kNoCarrier, now);
  // Nothing to dial: no call at all.
  EXPECT_EQ(Send("ATD\r"), "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(last.dial);
  // In online command state there is a call already.
  Online();
  Wait(seconds(2));
  Send("+++");
  EXPECT_EQ(Wait(seconds(2)), "\r\nOK\r\n");
  EXPECT_EQ(Send("ATD556\r"), "\r\nERROR\r\n");
}

TEST_F(Modem, AnyCharacterAbortsDiallingExceptTheLfAfterTheCr) {
  Quiet("ATD555\r\n");  // CR LF from a terminal: the LF is no abort
  ASSERT_TRUE(last.dial);
  EXPECT_TRUE(modem.InCall());
  Effects e = modem.Input("\n", now);  // a second LF is an ordinary character
  EXPECT_TRUE(e.hang_up);
  EXPECT_EQ(e.to_dte, "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.InCall());
  // A late result for the abandoned call changes nothing.
  EXPECT_EQ(modem.Connected(33600, now).to_dte, "");
  EXPECT_FALSE(modem.Online());
  // A dial followed at once by another command in the same write is aborted by it before
  // it is ever placed.
  e = modem.Input("ATD555\rAT\r", now);
  EXPECT_FALSE(e.dial);
  EXPECT_EQ(e.to_dte, "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.InCall());
  // An answer aborted in the same way hangs up the ringing call instead of answering it.
  modem.IncomingCall(now);
  e = modem.Input("ATA\rx", now);
  EXPECT_FALSE(e.answer);
  EXPECT_TRUE(e.hang_up);
}

TEST_F(Modem, CarrierWaitEndsInNoAnswerOnlyWhenTheFarEndRang) {
  Quiet("ATS7=10D555\r");
  EXPECT_EQ(Wait(seconds(9)), "");
  EXPECT_EQ(Wait(seconds(2)), "\r\nNO CARRIER\r\n");
  EXPECT_TRUE(ticked.hang_up);
  Send("ATD555\r");
  modem.FarEndRinging(now);
  EXPECT_EQ(Wait(seconds(11)), "\r\nNO ANSWER\r\n");
  // Each comma waits S8 seconds before the call is placed; the wait for carrier follows.
  Send("ATS8=3D9,,555\r");
  EXPECT_FALSE(last.dial);
  Wait(seconds(5));
  EXPECT_FALSE(ticked.dial);
  Wait(seconds(1));
  ASSERT_TRUE(ticked.dial);
  EXPECT_EQ(ticked.dial->address, "9555");
  EXPECT_EQ(Wait(seconds(9)), "");
  EXPECT_EQ(Wait(seconds(2)), "\r\nNO CARRIER\r\n");
}

TEST_F(Modem, DataModeIsTransparent) {
  Online();
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string data = all + "+++" + "\r\nNO CARRIER\r\nATH\r";
  Effects e = modem.Input(data, now);
  EXPECT_EQ(e.to_line, data);
  EXPECT_EQ(e.to_dte, "");
  EXPECT_FALSE(e.hang_up);
  // "+++" right after data, inside it: no escape, however long the silence after.
  EXPECT_EQ(Wait(seconds(5)), "");
  EXPECT_TRUE(modem.Online());
}

TEST_F(Modem, EscapeNeedsGuardTimeBeforeAndAfter) {
  Online();
  Wait(milliseconds(500));
  Send("+++");  // only 0.5 s after CONNECT: too soon
  EXPECT_EQ(Wait(seconds(3)), "");
  EXPECT_TRUE(modem.Online());
  // Silence, "+++" one at a time, then a byte within the guard time: still data.
  Send("+");
  Wait(milliseconds(200));
  Send("+");
  Wait(milliseconds(200));
  Send("+");
  Wait(milliseconds(900));
  EXPECT_EQ(last.to_dte, "");
  Send("x");
  EXPECT_EQ(Wait(seconds(3)), "");
  EXPECT_TRUE(modem.Online());
  // Pluses too far apart are data too.
  Send("+");
  Wait(milliseconds(1100));
  Send("++");
  EXPECT_EQ(Wait(seconds(3)), "");
  EXPECT_TRUE(modem.Online());
  // A proper escape; the pluses still reach the far end, as on real modems.
  Effects e = modem.Input("+++", now);
  EXPECT_EQ(e.to_line, "+++");
  EXPECT_EQ(Wait(milliseconds(999)), "");
  EXPECT_EQ(Wait(milliseconds(2)), "\r\nOK\r\n");
  EXPECT_FALSE(modem.Online());
  EXPECT_TRUE(modem.InCall());
  EXPECT_EQ(Send("ATS7?\r"), "\r\n050\r\n\r\nOK\r\n");
  EXPECT_EQ(Send("ATO\r"), "\r\nCONNECT 33600\r\n");
  EXPECT_TRUE(modem.Online());
  // S12 changes the guard; S2 the character.
  modem.Input("+++", now + seconds(2));
  Wait(seconds(4));
  EXPECT_EQ(Send("ATS12=10S2=126H\r"), "\r\nOK\r\n");
  EXPECT_TRUE(last.hang_up);
  EXPECT_FALSE(modem.InCall());
}

TEST_F(Modem, RingingAutoAnswerAndAta) {
  Send("ATE0\r");
  Effects e = modem.IncomingCall(now);
  EXPECT_EQ(e.to_dte, "\r\nRING\r\n");
  EXPECT_FALSE(modem.CanRing());
  EXPECT_EQ(Wait(seconds(5)), "");
  EXPECT_EQ(Wait(seconds(1)), "\r\nRING\r\n");
  EXPECT_EQ(Send("ATS1?\r"), "\r\n002\r\n\r\nOK\r\n");
  Send("ATA\r\n");
  EXPECT_TRUE(last.answer);
  EXPECT_EQ(modem.Input("\n", now).to_dte, "\r\nNO CARRIER\r\n");  // second LF aborts
  EXPECT_FALSE(modem.Ringing());
  // ATA with nothing ringing.
  EXPECT_EQ(Send("ATA\r"), "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(last.answer);
  // S0=2: answered on the second ring, without a word from the DTE.
  Send("ATS0=2\r");
  e = modem.IncomingCall(now);
  EXPECT_FALSE(e.answer);
  Wait(seconds(6));
  EXPECT_TRUE(ticked.answer);
  EXPECT_EQ(modem.Connected(2400, now).to_dte, "\r\nCONNECT 2400\r\n");
  // The caller hanging up before the answer just stops the rings.
  modem.CarrierLost(false, now);
  modem.IncomingCall(now);
  modem.IncomingGone(now);
  EXPECT_EQ(Wait(seconds(20)), "");
  EXPECT_TRUE(modem.CanRing());
}

TEST_F(Modem, AutoAnswerWaitsWhileDtrIsOffUnlessIgnored) {
  Send("ATE0S0=1\r");
  modem.DteClosed(now);
  Effects e = modem.IncomingCall(now);
  EXPECT_FALSE(e.answer);
  modem.DtrChanged(true, now);
  Wait(seconds(6));
  EXPECT_TRUE(ticked.answer);
  modem.CallFailed(CallEnd::kNoCarrier, now);
  Send("AT&D0\r");
  modem.DtrChanged(false, now);
  EXPECT_TRUE(modem.IncomingCall(now).answer);
}

TEST_F(Modem, DtrDropFollowsAmpersandD) {
  Online();
  Send("ATS7?");                             // data: no effect
  Effects e = modem.DtrChanged(false, now);  // &D2 (the default): hang up
  EXPECT_TRUE(e.hang_up);
  EXPECT_FALSE(modem.InCall());
  modem.DtrChanged(true, now);
  // &D1: to online command state, the call kept.
  modem.Input("+++", now);
  Wait(seconds(2));
  Send("AT&D1\r");
  Online();
  e = modem.DtrChanged(false, now);
  EXPECT_FALSE(e.hang_up);
  EXPECT_EQ(e.to_dte, "\r\nOK\r\n");
  EXPECT_TRUE(modem.InCall());
  modem.DtrChanged(true, now);
  EXPECT_EQ(Send("ATO\r"), "\r\nCONNECT 33600\r\n");
  // &D3: hang up and reset (echo back on).
  modem.Input("+++", now + seconds(2));
  Wait(seconds(4));
  Send("AT&D3\r");
  modem.DtrChanged(false, now);
  EXPECT_FALSE(modem.InCall());
  modem.DtrChanged(true, now);
  EXPECT_EQ(Send("AT\r"), "AT\r\r\nOK\r\n");
  // DTR changes while idle say nothing.
  EXPECT_EQ(modem.DtrChanged(false, now).to_dte, "");
  // Closing the device hangs up whatever &D says.
  modem.DtrChanged(true, now);
  Send("AT&D0\r");
  Online();
  e = modem.DteClosed(now);
  EXPECT_TRUE(e.hang_up);
  EXPECT_EQ(e.to_dte, "");
}

TEST_F(Modem, CarrierLossReportsOnlyWhenAsked) {
  Online();
  Effects e = modem.CarrierLost(true, now);
  EXPECT_EQ(e.to_dte, "\r\nNO CARRIER\r\n");
  EXPECT_FALSE(modem.InCall());
  Online();
  EXPECT_EQ(modem.CarrierLost(false, now).to_dte, "");
  // Afterwards commands work at once.
  EXPECT_EQ(Send("AT\r"), "\r\nOK\r\n");
}

}  // namespace
}  // namespace quodem::telephony::modem::emulator
