// Calls over the local exchange between sessions of this process: placing, answering,
// moving bytes through the ports, every way of hanging up, and the exchange's refusals.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/telephony/exchange_dir.h"
#include "telephony_harness.h"

namespace quodem::telephony_test {
namespace {

using telephony::ListLines;
using telephony::NumberHold;

class ExchangeCall : public ::testing::Test {
 protected:
  void TearDown() override { telephony::testing::ResetFaults(); }

  // Line 1 (101) calls line 2 (102), which answers: both sides connected.
  struct Connected {
    HCALL caller = 0;
    HCALL callee = 0;
  };
  Connected Connect(Party& from, Party& to) {
    Connected c;
    c.caller = from.Dial("102");
    c.callee = to.recorder.WaitOffered();
    to.Answer(c.callee);
    from.recorder.WaitState(c.caller, LINECALLSTATE_CONNECTED);
    return c;
  }
};

TEST_F(ExchangeCall, CallerHangsUpAfterBytesBothWays) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  EXPECT_EQ(
      a.recorder.States(c.caller),
      (std::vector<DWORD>{LINECALLSTATE_DIALING, LINECALLSTATE_RINGBACK, LINECALLSTATE_CONNECTED}));
  EXPECT_EQ(b.recorder.States(c.callee),
            (std::vector<DWORD>{LINECALLSTATE_OFFERING, LINECALLSTATE_CONNECTED}));

  PortId pa = TakePort(c.caller);
  PortId pb = TakePort(c.callee);
  ASSERT_EQ(pa.result, 0);
  ASSERT_EQ(pb.result, 0);
  EXPECT_NE(pa.port, pb.port);
  EXPECT_EQ(pa.name, telephony::ExchangeDirectory() + "/102");
  EXPECT_EQ(pb.name, pa.name);

  // The answer signal never reaches a port: the first byte each side reads is the peer's.
  ASSERT_TRUE(WriteAll(pa.port, "hello from 101\n"));
  ASSERT_TRUE(WriteAll(pb.port, "hi from 102\n"));
  EXPECT_EQ(ReadCount(pb.port, 15), "hello from 101\n");
  EXPECT_EQ(ReadCount(pa.port, 12), "hi from 102\n");

  a.HangUp(c.caller);
  EXPECT_EQ(ReadToEnd(pb.port), "");
  b.recorder.WaitState(c.callee, LINECALLSTATE_DISCONNECTED);
  b.HangUp(c.callee);
  EXPECT_EQ(a.recorder.States(c.caller).back(), LINECALLSTATE_IDLE);
  EXPECT_EQ(lineDeallocateCall(c.caller), 0);
  EXPECT_EQ(lineDeallocateCall(c.callee), 0);
  EXPECT_EQ(lineDeallocateCall(c.caller), LINEERR_INVALCALLHANDLE);
  CloseHandle(pa.port);
  CloseHandle(pb.port);
}

TEST_F(ExchangeCall, CalleeHangsUpAndCallerSeesDisconnectedThenIdle) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  PortId pa = TakePort(c.caller);
  ASSERT_EQ(pa.result, 0);
  b.HangUp(c.callee);
  EXPECT_EQ(ReadToEnd(pa.port), "");
  Note gone = a.recorder.WaitState(c.caller, LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(gone.param2, LINEDISCONNECTMODE_NORMAL);
  EXPECT_EQ(gone.param3, LINECALLPRIVILEGE_OWNER);
  // A disconnected call gives no port.
  EXPECT_EQ(TakePort(c.caller).result, LINEERR_INVALCALLSTATE);
  a.HangUp(c.caller);
  CloseHandle(pa.port);
}

TEST_F(ExchangeCall, PeerThatWritesAndHangsUpAtOnceLosesNothing) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  PortId pa = TakePort(c.caller);
  PortId pb = TakePort(c.callee);
  ASSERT_EQ(pa.result, 0);
  ASSERT_EQ(pb.result, 0);
  std::string payload;
  for (int i = 0; payload.size() < 600000; ++i) payload += std::to_string(i) + ",";
  // The writer hangs up as soon as its write has handed the last byte to the connection,
  // while the reader is still far behind.
  std::thread writer([&] {
    EXPECT_TRUE(WriteAll(pb.port, payload));
    CloseHandle(pb.port);
    b.HangUp(c.callee);
  });
  // Disconnected comes only after everything was read.
  EXPECT_EQ(ReadToEnd(pa.port), payload);
  writer.join();
  a.recorder.WaitState(c.caller, LINECALLSTATE_DISCONNECTED);
  a.HangUp(c.caller);
  CloseHandle(pa.port);
}

TEST_F(ExchangeCall, HangUpWithoutPortsIsReportedAtOnce) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  a.HangUp(c.caller);
  b.recorder.WaitState(c.callee, LINECALLSTATE_DISCONNECTED);
  b.HangUp(c.callee);
}

// A caller who dials while the line's last call is ending (disconnected, not dropped yet)
// rings until that call is idle and is then offered, instead of being turned away busy. A
// caller of a line in a live call still gets busy.
TEST_F(ExchangeCall, ACallerWhileTheLastCallEndsIsOfferedOnceItIsIdle) {
  Party a(0), b(1);
  Connected first = Connect(a, b);
  Party third(0);  // outgoing only: 101 is held by a
  HCALL busy = third.Dial("102");
  EXPECT_EQ(third.recorder.WaitState(busy, LINECALLSTATE_DISCONNECTED).param2,
            LINEDISCONNECTMODE_BUSY);
  third.HangUp(busy);

  a.HangUp(first.caller);
  b.recorder.WaitState(first.callee, LINECALLSTATE_DISCONNECTED);
  HCALL next = third.Dial("102");
  third.recorder.WaitState(next, LINECALLSTATE_RINGBACK);
  b.HangUp(first.callee);  // the old call goes idle: the waiting caller is offered
  HCALL offered = b.recorder.WaitOffered();
  b.Answer(offered);
  third.recorder.WaitState(next, LINECALLSTATE_CONNECTED);
  for (DWORD state : third.recorder.States(next)) EXPECT_NE(state, LINECALLSTATE_BUSY);
  third.HangUp(next);
  b.HangUp(offered);
}

// Nobody holding the number is not busy: the call ends unreachable, and the service keeps
// that mode for whoever wants to say why the call failed.
TEST_F(ExchangeCall, UnreachableWhenNobodyListens) {
  Party a(0);
  const std::uint64_t before = telephony::LastCallEnding().serial;
  HCALL call = a.Dial("555");
  Note gone = a.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(gone.param2, LINEDISCONNECTMODE_UNREACHABLE);
  EXPECT_EQ(a.recorder.States(call),
            (std::vector<DWORD>{LINECALLSTATE_DIALING, LINECALLSTATE_DISCONNECTED}));
  const telephony::CallEnding ending = telephony::LastCallEnding();
  EXPECT_EQ(ending.serial, before + 1);
  EXPECT_EQ(ending.mode, LINEDISCONNECTMODE_UNREACHABLE);
  EXPECT_EQ(ending.device_id, 0u);
  EXPECT_EQ(lineDeallocateCall(call), LINEERR_INVALCALLSTATE);  // not idle yet
  a.HangUp(call);
  EXPECT_EQ(lineDeallocateCall(call), 0);
  // The line takes the next call.
  HCALL again = a.Dial("556");
  a.recorder.WaitState(again, LINECALLSTATE_DISCONNECTED);
}

TEST_F(ExchangeCall, RingbackThenNoAnswer) {
  telephony::testing::SetAnswerTimeoutMs(300);
  Party a(0), b(1);
  HCALL call = a.Dial("102");
  HCALL offered = b.recorder.WaitOffered();
  a.recorder.WaitState(call, LINECALLSTATE_RINGBACK);
  Note gone = a.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(gone.param2, LINEDISCONNECTMODE_NOANSWER);
  std::vector<DWORD> states = a.recorder.States(call);
  EXPECT_EQ(std::count(states.begin(), states.end(), LINECALLSTATE_CONNECTED), 0);
  a.HangUp(call);
  b.HangUp(offered);
}

TEST_F(ExchangeCall, SecondCallerGetsBusyAndOwnNumberIsBusy) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  // A second session on line 1 cannot take 101 (held here) and dials out only.
  Party third(0);
  HCALL second = third.Dial("102");
  third.recorder.WaitState(second, LINECALLSTATE_BUSY);
  third.recorder.WaitState(second, LINECALLSTATE_DISCONNECTED);
  // The established call is unharmed.
  PortId pa = TakePort(c.caller);
  PortId pb = TakePort(c.callee);
  ASSERT_TRUE(WriteAll(pa.port, "still here"));
  EXPECT_EQ(ReadCount(pb.port, 10), "still here");
  third.HangUp(second);

  // A line dialing the number it holds is busy.
  b.HangUp(c.callee);
  ASSERT_EQ(lineClose(b.line), 0);
  Party own(-1);
  own.Open(1);  // 102 is free again
  HCALL self = own.Dial("102");
  own.recorder.WaitState(self, LINECALLSTATE_BUSY);
  own.recorder.WaitState(self, LINECALLSTATE_DISCONNECTED);
  CloseHandle(pa.port);
  CloseHandle(pb.port);
}

TEST_F(ExchangeCall, DialStringsThatCouldNameAPathAreRefused) {
  Party a(0);
  for (const char* bad : {"../x", "/etc/passwd", "1/2", "..", "abc", "", "  ", "+", "1\n2"}) {
    HCALL call = 0xdead;
    EXPECT_EQ(lineMakeCallA(a.line, &call, bad, 0, nullptr), LINEERR_INVALADDRESS) << bad;
    EXPECT_EQ(call, 0xdeadu) << "no call for " << bad;
  }
  // Formatting and modifiers are dropped: "(5) 5-5" dials 555.
  HCALL call = a.Dial("T(5) 5-5");
  a.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED);
}

TEST_F(ExchangeCall, OfferedCallWhoseCallerHungUpDeliversItsBytesThenTheHangUp) {
  Party b(1);
  // A raw caller: connects, sends, hangs up before anyone answers.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = telephony::ExchangeDirectory() + "/102";
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(write(fd, "early words", 11), 11);
  close(fd);

  HCALL offered = b.recorder.WaitOffered();
  b.Answer(offered);
  PortId port = TakePort(offered);
  ASSERT_EQ(port.result, 0);
  EXPECT_EQ(ReadToEnd(port.port), "early words");
  b.recorder.WaitState(offered, LINECALLSTATE_DISCONNECTED);
  b.HangUp(offered);
  CloseHandle(port.port);
}

TEST_F(ExchangeCall, ClosingTheLineDropsItsCallAndGivesTheNumberBack) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  EXPECT_EQ(ListLines()[1].hold, NumberHold::kHeldHere);
  EXPECT_EQ(lineClose(b.line), 0);
  b.recorder.WaitState(c.callee, LINECALLSTATE_IDLE);
  a.recorder.WaitState(c.caller, LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(ListLines()[1].hold, NumberHold::kFree);
  EXPECT_EQ(lineClose(b.line), LINEERR_INVALLINEHANDLE);
  // An app closing its own line gets no LINE_CLOSE.
  for (const Note& note : b.recorder.Notes()) EXPECT_NE(note.message, LINE_CLOSE);
  EXPECT_EQ(lineDeallocateCall(c.callee), 0);
  a.HangUp(c.caller);
}

TEST_F(ExchangeCall, ShutdownDropsCallsAndFreesNumbers) {
  Party a(0);
  auto b = std::make_unique<Party>(1);
  Connected c = Connect(a, *b);
  HLINEAPP old_app = b->app;
  b.reset();  // lineShutdown
  a.recorder.WaitState(c.caller, LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(ListLines()[1].hold, NumberHold::kFree);
  EXPECT_EQ(lineShutdown(old_app), LINEERR_INVALAPPHANDLE);
  EXPECT_EQ(lineAnswer(c.callee, nullptr, 0), LINEERR_INVALCALLHANDLE);
  a.HangUp(c.caller);
}

TEST_F(ExchangeCall, OpeningAgainInTheSameSessionReplacesTheHandle) {
  Party a(0);
  HLINE first = a.line;
  a.Open(0);
  EXPECT_NE(a.line, first);
  EXPECT_EQ(lineClose(first), LINEERR_INVALLINEHANDLE);
  EXPECT_EQ(ListLines()[0].hold, NumberHold::kHeldHere);  // the new handle holds 101
  Party b(1);
  b.Dial("101");
  a.recorder.WaitOffered();
}

TEST_F(ExchangeCall, DialingOnAnEstablishedCallIsRefusedAndChangesNothing) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  EXPECT_EQ(lineDialA(c.caller, "123", 0), LINEERR_INVALCALLSTATE);
  EXPECT_EQ(lineDialA(c.callee, "123", 0), LINEERR_INVALCALLSTATE);
  EXPECT_EQ(lineDialA(0x7777777, "123", 0), LINEERR_INVALCALLHANDLE);
  PortId pa = TakePort(c.caller);
  PortId pb = TakePort(c.callee);
  ASSERT_TRUE(WriteAll(pa.port, "ok"));
  EXPECT_EQ(ReadCount(pb.port, 2), "ok");
  // And a second call on a busy line is refused at once.
  HCALL extra = 0;
  EXPECT_EQ(lineMakeCallA(a.line, &extra, "102", 0, nullptr), LINEERR_CALLUNAVAIL);
  CloseHandle(pa.port);
  CloseHandle(pb.port);
}

TEST_F(ExchangeCall, PortLookupRules) {
  Party a(0), b(1);
  HCALL call = a.Dial("102");
  HCALL offered = b.recorder.WaitOffered();
  EXPECT_EQ(TakePort(offered).result, LINEERR_INVALCALLSTATE);  // not connected yet
  b.Answer(offered);
  a.recorder.WaitState(call, LINECALLSTATE_CONNECTED);

  std::vector<DWORD> storage(256, 0);
  auto* id = reinterpret_cast<VARSTRING*>(storage.data());
  id->dwTotalSize = 1024;
  EXPECT_EQ(lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "comm"), LINEERR_INVALDEVICECLASS);
  EXPECT_EQ(lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "tapi/line"), LINEERR_INVALDEVICECLASS);
  // Too small for the name: the size needed, and no port handed out.
  std::string name = telephony::ExchangeDirectory() + "/102";
  DWORD needed = sizeof(VARSTRING) + sizeof(HANDLE) + name.size() + 1;
  std::memset(storage.data(), 0xAB, storage.size() * sizeof(DWORD));
  id->dwTotalSize = needed - 1;
  EXPECT_EQ(lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"),
            LINEERR_STRUCTURETOOSMALL);
  EXPECT_EQ(id->dwNeededSize, needed);
  const auto* bytes = reinterpret_cast<const unsigned char*>(id);
  for (DWORD i = sizeof(VARSTRING); i < 1024; ++i) ASSERT_EQ(bytes[i], 0xAB) << i;
  id->dwTotalSize = 8;
  EXPECT_EQ(lineGetIDA(0, 0, call, LINECALLSELECT_CALL, id, "comm/datamodem"),
            LINEERR_STRUCTURETOOSMALL);
  // Exactly the size needed works, and every lookup is a new port.
  PortId one = TakePort(call, needed);
  PortId two = TakePort(call, needed);
  ASSERT_EQ(one.result, 0);
  ASSERT_EQ(two.result, 0);
  EXPECT_NE(one.port, two.port);
  CloseHandle(one.port);
  // The second port still works after the first is closed.
  PortId far = TakePort(offered);
  ASSERT_TRUE(WriteAll(far.port, "xy"));
  EXPECT_EQ(ReadCount(two.port, 2), "xy");
  CloseHandle(two.port);
  CloseHandle(far.port);
}

// ---- injected faults ----

TEST_F(ExchangeCall, FaultAnswerDelayStillConnects) {
  telephony::testing::NumberFaults faults;
  faults.answer_delay_ms = 200;
  telephony::testing::SetNumberFaults("102", faults);
  Party a(0), b(1);
  Connected c = Connect(a, b);
  EXPECT_EQ(a.recorder.States(c.caller).back(), LINECALLSTATE_CONNECTED);
}

TEST_F(ExchangeCall, FaultNeverAnswerLeadsToTheCallersTimeout) {
  telephony::testing::NumberFaults faults;
  faults.never_answer = true;
  telephony::testing::SetNumberFaults("102", faults);
  telephony::testing::SetAnswerTimeoutMs(300);
  Party a(0), b(1);
  HCALL call = a.Dial("102");
  HCALL offered = b.recorder.WaitOffered();
  LONG request = lineAnswer(offered, nullptr, 0);
  ASSERT_GT(request, 0);
  EXPECT_EQ(b.recorder.WaitReply(request), 0);
  EXPECT_EQ(a.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED).param2,
            LINEDISCONNECTMODE_NOANSWER);
  b.recorder.WaitState(offered, LINECALLSTATE_DISCONNECTED);
  std::vector<DWORD> states = b.recorder.States(offered);
  EXPECT_EQ(std::count(states.begin(), states.end(), LINECALLSTATE_CONNECTED), 0);
}

TEST_F(ExchangeCall, FaultBusyNumber) {
  telephony::testing::NumberFaults faults;
  faults.busy = true;
  telephony::testing::SetNumberFaults("102", faults);
  Party a(0), b(1);
  HCALL call = a.Dial("102");
  a.recorder.WaitState(call, LINECALLSTATE_BUSY);
  EXPECT_EQ(a.recorder.WaitState(call, LINECALLSTATE_DISCONNECTED).param2, LINEDISCONNECTMODE_BUSY);
  EXPECT_EQ(telephony::LastCallEnding().mode, LINEDISCONNECTMODE_BUSY);
  for (const Note& note : b.recorder.Notes()) EXPECT_NE(note.param1, LINECALLSTATE_OFFERING);
}

TEST_F(ExchangeCall, FaultCarrierDropsAfterBytesRead) {
  telephony::testing::NumberFaults faults;
  faults.drop_after_bytes = 4;
  telephony::testing::SetNumberFaults("102", faults);
  Party a(0), b(1);
  Connected c = Connect(a, b);
  PortId pa = TakePort(c.caller);
  PortId pb = TakePort(c.callee);
  ASSERT_TRUE(WriteAll(pa.port, "abcdefgh"));
  EXPECT_EQ(ReadToEnd(pb.port), "abcd");
  b.recorder.WaitState(c.callee, LINECALLSTATE_DISCONNECTED);
  // The far side sees the line go down too (through its port, which reads the end).
  EXPECT_EQ(ReadToEnd(pa.port), "");
  a.recorder.WaitState(c.caller, LINECALLSTATE_DISCONNECTED);
  CloseHandle(pa.port);
  CloseHandle(pb.port);
}

TEST_F(ExchangeCall, FaultLineClosedByTheService) {
  Party a(0), b(1);
  Connected c = Connect(a, b);
  EXPECT_FALSE(telephony::testing::CloseLineByService("999"));
  EXPECT_TRUE(telephony::testing::CloseLineByService("102"));
  Note closed =
      b.recorder.WaitFor([](const Note& n) { return n.message == LINE_CLOSE; }, "LINE_CLOSE");
  EXPECT_EQ(closed.device, b.line);
  b.recorder.WaitState(c.callee, LINECALLSTATE_IDLE);
  // LINE_CLOSE comes before the call's idle state.
  std::vector<Note> notes = b.recorder.Notes();
  auto close_at = std::find_if(notes.begin(), notes.end(),
                               [](const Note& n) { return n.message == LINE_CLOSE; });
  auto idle_at = std::find_if(notes.begin(), notes.end(), [&](const Note& n) {
    return n.device == c.callee && n.param1 == LINECALLSTATE_IDLE;
  });
  EXPECT_LT(close_at - notes.begin(), idle_at - notes.begin());
  a.recorder.WaitState(c.caller, LINECALLSTATE_DISCONNECTED);
  EXPECT_EQ(lineClose(b.line), LINEERR_INVALLINEHANDLE);
  EXPECT_EQ(lineDeallocateCall(c.callee), 0);
}

TEST_F(ExchangeCall, FaultFailedRequestsAndInitialize) {
  telephony::testing::FailNextInitialize(LINEERR_NODRIVER);
  HLINEAPP app = 0;
  DWORD devices = 0;
  EXPECT_EQ(lineInitialize(&app, nullptr, &Recorder::Callback, nullptr, &devices),
            LINEERR_NODRIVER);
  Party a(0), b(1);

  telephony::testing::FailNextMakeCallReply(LINEERR_CALLUNAVAIL);
  HCALL failed = 0;
  LONG request = lineMakeCallA(a.line, &failed, "102", 0, nullptr);
  ASSERT_GT(request, 0);
  EXPECT_EQ(a.recorder.WaitReply(request), LINEERR_CALLUNAVAIL);
  EXPECT_EQ(lineDrop(failed, nullptr, 0), LINEERR_INVALCALLHANDLE);

  HCALL call = a.Dial("102");
  HCALL offered = b.recorder.WaitOffered();
  telephony::testing::NextAnswerReturns(LINEERR_CALLUNAVAIL);
  EXPECT_EQ(lineAnswer(offered, nullptr, 0), LINEERR_CALLUNAVAIL);
  telephony::testing::FailNextAnswerReply(LINEERR_OPERATIONFAILED);
  request = lineAnswer(offered, nullptr, 0);
  ASSERT_GT(request, 0);
  EXPECT_EQ(b.recorder.WaitReply(request), LINEERR_OPERATIONFAILED);
  // The call is still offered and can be answered.
  b.Answer(offered);
  a.recorder.WaitState(call, LINECALLSTATE_CONNECTED);
}

// ---- the exchange folder ----

TEST(ExchangeFolder, RefusesAFolderOthersCanWrite) {
  std::string folder = TestRoot() + "/open-exchange";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  ScopedEnv env("QUODEM_EXCHANGE_DIR", folder);
  try {
    telephony::ExchangeDirectory();
    ADD_FAILURE() << "accepted a folder writable by others";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("writable by group or others"), std::string::npos)
        << e.what();
  }
  Party a;
  HLINE line = 0;
  EXPECT_EQ(lineOpenA(a.app, 0, &line, kSupportedApiHigh, 0, 0, kOwnerAndMonitor,
                      LINEMEDIAMODE_DATAMODEM, nullptr),
            LINEERR_OPERATIONFAILED);
  EXPECT_NE(telephony::ServiceProblem().find(folder), std::string::npos);
}

TEST(ExchangeFolder, RefusesAFolderOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a folder to another user";
  std::string folder = TestRoot() + "/foreign-exchange";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(folder.c_str(), 12345, static_cast<gid_t>(-1)), 0);
  ScopedEnv env("QUODEM_EXCHANGE_DIR", folder);
  try {
    telephony::ExchangeDirectory();
    ADD_FAILURE() << "accepted another user's folder";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("belongs to user 12345"), std::string::npos) << e.what();
  }
}

TEST(ExchangeFolder, WhereItIs) {
  ScopedEnv no_explicit("QUODEM_EXCHANGE_DIR");
  std::string runtime = TestRoot() + "/runtime";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  {
    ScopedEnv env("XDG_RUNTIME_DIR", runtime);
    EXPECT_EQ(telephony::ExchangeDirectoryPath(), runtime + "/quodem");
  }
  ScopedEnv env("XDG_RUNTIME_DIR", TestRoot() + "/no-such-folder");
  EXPECT_EQ(telephony::ExchangeDirectoryPath(), "/tmp/quodem-" + std::to_string(getuid()));
}

TEST(ExchangeFolder, CreatesAPrivateFolderWithItsParents) {
  std::string folder = TestRoot() + "/deep/er/exchange";
  ScopedEnv env("QUODEM_EXCHANGE_DIR", folder);
  EXPECT_EQ(telephony::ExchangeDirectory(), folder);
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(ExchangeFolder, SocketPathTooLongIsAClearError) {
  std::string folder = TestRoot() + "/" + std::string(100, 'x');
  ScopedEnv env("QUODEM_EXCHANGE_DIR", folder);
  Party a;
  HLINE line = 0;
  EXPECT_EQ(lineOpenA(a.app, 0, &line, kSupportedApiHigh, 0, 0, kOwnerAndMonitor,
                      LINEMEDIAMODE_DATAMODEM, nullptr),
            LINEERR_OPERATIONFAILED);
  std::string problem = telephony::ServiceProblem();
  EXPECT_NE(problem.find("too long"), std::string::npos) << problem;
  EXPECT_NE(problem.find(folder + "/101"), std::string::npos) << problem;
}

}  // namespace
}  // namespace quodem::telephony_test
