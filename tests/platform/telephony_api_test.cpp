// The line functions' contracts that do not need a connected call: devices and their
// capabilities, version negotiation, handle and argument checks, request identifiers, and
// when callbacks may arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "telephony_harness.h"

namespace quodem::telephony_test {
namespace {

std::string LineName(const std::vector<DWORD>& storage) {
  const auto* caps = reinterpret_cast<const LINEDEVCAPS*>(storage.data());
  if (caps->dwLineNameSize == 0) return "";
  return std::string(reinterpret_cast<const char*>(caps) + caps->dwLineNameOffset,
                     caps->dwLineNameSize - 1);
}

TEST(TelephonyDevices, DefaultLinesCarryDataModemCalls) {
  Party session;
  ASSERT_EQ(session.devices, 3u);
  const char* names[] = {"Local line 1", "Local line 2", "TCP/IP line"};
  for (DWORD device = 0; device < 3; ++device) {
    DWORD version = 0;
    LINEEXTENSIONID extension{1, 2, 3, 4};
    ASSERT_EQ(
        lineNegotiateAPIVersion(session.app, device, 0x00010000, 0x00010028, &version, &extension),
        0);
    EXPECT_EQ(version, 0x00010028u);
    EXPECT_EQ(extension.dwExtensionID0, 0u);
    std::vector<DWORD> storage(1268 / sizeof(DWORD), 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(storage.data());
    caps->dwTotalSize = 1268;
    ASSERT_EQ(lineGetDevCapsA(session.app, device, version, 0, caps), 0);
    EXPECT_NE(caps->dwMediaModes & LINEMEDIAMODE_DATAMODEM, 0u);
    EXPECT_NE(caps->dwBearerModes & LINEBEARERMODE_VOICE, 0u);
    EXPECT_EQ(caps->dwNumAddresses, 1u);
    EXPECT_EQ(LineName(storage), names[device]);
    EXPECT_LE(caps->dwNeededSize, 1268u);
    EXPECT_EQ(caps->dwUsedSize, caps->dwNeededSize);
  }
  auto lines = telephony::ListLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].provider, "exchange");
  EXPECT_EQ(lines[0].address, "101");
  EXPECT_EQ(lines[1].address, "102");
  EXPECT_EQ(lines[2].provider, "tcp");
  EXPECT_EQ(lines[2].address, "127.0.0.1:6400");
  EXPECT_EQ(lines[0].hold, telephony::NumberHold::kFree);
}

TEST(TelephonyDevices, CapabilityBlocksTooSmallAreNeverOverrun) {
  Party session;
  std::vector<unsigned char> storage(2048, 0xAB);
  auto* caps = reinterpret_cast<LINEDEVCAPS*>(storage.data());
  // Too small for the fixed part.
  caps->dwTotalSize = sizeof(LINEDEVCAPS) - 4;
  EXPECT_EQ(lineGetDevCapsA(session.app, 0, kSupportedApiHigh, 0, caps), LINEERR_STRUCTURETOOSMALL);
  EXPECT_GT(caps->dwNeededSize, sizeof(LINEDEVCAPS));
  for (std::size_t i = sizeof(LINEDEVCAPS) - 4; i < storage.size(); ++i) {
    ASSERT_EQ(storage[i], 0xAB) << i;
  }
  // The fixed part only: the capabilities without the strings, and the size needed.
  std::fill(storage.begin(), storage.end(), 0xAB);
  caps->dwTotalSize = sizeof(LINEDEVCAPS);
  EXPECT_EQ(lineGetDevCapsA(session.app, 0, kSupportedApiHigh, 0, caps), 0);
  EXPECT_EQ(caps->dwMediaModes, LINEMEDIAMODE_DATAMODEM);
  EXPECT_EQ(caps->dwLineNameSize, 0u);
  EXPECT_GT(caps->dwNeededSize, caps->dwUsedSize);
  for (std::size_t i = sizeof(LINEDEVCAPS); i < storage.size(); ++i) {
    ASSERT_EQ(storage[i], 0xAB) << i;
  }
  caps->dwTotalSize = 4;  // not even room for dwNeededSize
  EXPECT_EQ(lineGetDevCapsA(session.app, 0, kSupportedApiHigh, 0, caps), LINEERR_STRUCTURETOOSMALL);
}

struct Negotiation {
  DWORD low;
  DWORD high;
  LONG result;
  DWORD agreed;
};

TEST(TelephonyVersions, NegotiationAgreesInsideTheSupportedRange) {
  Party session;
  const Negotiation cases[] = {
      {0x00010000, 0x00010028, 0, 0x00010028},
      {0x00010004, 0x00020000, 0, 0x00010028},
      {0x00010000, 0x00010003, 0, 0x00010003},
      {0x00010028, 0x00010028, 0, 0x00010028},
      {0x00000001, 0x00010000, 0, 0x00010000},
      {0x00020000, 0x00030000, LINEERR_INCOMPATIBLEAPIVERSION, 0},
      {0x00000001, 0x00000002, LINEERR_INCOMPATIBLEAPIVERSION, 0},
      {0x00010010, 0x00010004, LINEERR_INCOMPATIBLEAPIVERSION, 0},
  };
  for (const Negotiation& c : cases) {
    DWORD version = 0;
    LINEEXTENSIONID extension;
    EXPECT_EQ(lineNegotiateAPIVersion(session.app, 0, c.low, c.high, &version, &extension),
              c.result)
        << std::hex << c.low << "-" << c.high;
    if (c.result == 0) {
      EXPECT_EQ(version, c.agreed);
    }
  }
  DWORD version;
  LINEEXTENSIONID extension;
  EXPECT_EQ(lineNegotiateAPIVersion(session.app, 3, 0x10000, 0x10028, &version, &extension),
            LINEERR_BADDEVICEID);
  EXPECT_EQ(lineNegotiateAPIVersion(0x12345, 0, 0x10000, 0x10028, &version, &extension),
            LINEERR_INVALAPPHANDLE);
}

TEST(TelephonyVersions, UnnegotiatedSessionAcceptsAnySupportedVersion) {
  Party session;  // never negotiates, as after the component restarts its session
  for (DWORD version : {0x00010000u, 0x00010004u, 0x00010028u}) {
    HLINE line = 0;
    EXPECT_EQ(lineOpenA(session.app, 0, &line, version, 0, 0, kOwnerAndMonitor,
                        LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    std::vector<DWORD> storage(1268 / 4, 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(storage.data());
    caps->dwTotalSize = 1268;
    EXPECT_EQ(lineGetDevCapsA(session.app, 1, version, 0, caps), 0);
    std::vector<DWORD> out(1040 / 4, 0);
    auto* translated = reinterpret_cast<LINETRANSLATEOUTPUT*>(out.data());
    translated->dwTotalSize = 1040;
    EXPECT_EQ(lineTranslateAddressA(session.app, 0, version, "102", 0, 0, translated), 0);
  }
  HLINE line = 0;
  EXPECT_EQ(lineOpenA(session.app, 0, &line, 0x00020000, 0, 0, kOwnerAndMonitor,
                      LINEMEDIAMODE_DATAMODEM, nullptr),
            LINEERR_INCOMPATIBLEAPIVERSION);
  std::vector<DWORD> storage(1268 / 4, 0);
  auto* caps = reinterpret_cast<LINEDEVCAPS*>(storage.data());
  caps->dwTotalSize = 1268;
  EXPECT_EQ(lineGetDevCapsA(session.app, 0, 0x0000FFFF, 0, caps), LINEERR_INCOMPATIBLEAPIVERSION);
  EXPECT_EQ(lineGetDevCapsA(session.app, 0, kSupportedApiHigh, 1, caps),
            LINEERR_INCOMPATIBLEEXTVERSION);
}

TEST(TelephonyHandles, BadHandlesAndArgumentsAreRefused) {
  Party session;
  HLINE line = 0;
  auto open = [&](HLINEAPP app, DWORD device, DWORD privileges, DWORD media) {
    return lineOpenA(app, device, &line, kSupportedApiHigh, 0, 0, privileges, media, nullptr);
  };
  EXPECT_EQ(open(0x4242, 0, kOwnerAndMonitor, LINEMEDIAMODE_DATAMODEM), LINEERR_INVALAPPHANDLE);
  EXPECT_EQ(open(session.app, 3, kOwnerAndMonitor, LINEMEDIAMODE_DATAMODEM), LINEERR_BADDEVICEID);
  EXPECT_EQ(open(session.app, 0, 0, LINEMEDIAMODE_DATAMODEM), LINEERR_INVALPRIVSELECT);
  EXPECT_EQ(open(session.app, 0, 0x10, LINEMEDIAMODE_DATAMODEM), LINEERR_INVALPRIVSELECT);
  EXPECT_EQ(open(session.app, 0, LINECALLPRIVILEGE_OWNER, 0), LINEERR_INVALMEDIAMODE);
  EXPECT_EQ(open(session.app, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_INTERACTIVEVOICE),
            LINEERR_INVALMEDIAMODE);
  EXPECT_EQ(lineOpenA(session.app, 0, nullptr, kSupportedApiHigh, 0, 0, kOwnerAndMonitor,
                      LINEMEDIAMODE_DATAMODEM, nullptr),
            LINEERR_INVALPOINTER);
  // A monitor-only open does not take the number.
  EXPECT_EQ(open(session.app, 0, LINECALLPRIVILEGE_MONITOR, 0), 0);
  EXPECT_EQ(telephony::ListLines()[0].hold, telephony::NumberHold::kFree);

  EXPECT_EQ(lineClose(0x7654321), LINEERR_INVALLINEHANDLE);
  HCALL call = 0;
  EXPECT_EQ(lineMakeCallA(0x7654321, &call, "102", 0, nullptr), LINEERR_INVALLINEHANDLE);
  EXPECT_EQ(lineMakeCallA(line, nullptr, "102", 0, nullptr), LINEERR_INVALPOINTER);
  EXPECT_EQ(lineMakeCallA(line, &call, nullptr, 0, nullptr), LINEERR_INVALADDRESS);
  LINECALLPARAMS params{};
  params.dwTotalSize = sizeof params - 1;
  EXPECT_EQ(lineMakeCallA(line, &call, "102", 0, &params), LINEERR_STRUCTURETOOSMALL);
  params.dwTotalSize = sizeof params;
  params.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
  EXPECT_EQ(lineMakeCallA(line, &call, "102", 0, &params), LINEERR_INVALMEDIAMODE);
  EXPECT_EQ(lineAnswer(0x7654321, nullptr, 0), LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(lineDrop(0x7654321, nullptr, 0), LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(lineDeallocateCall(0x7654321), LINEERR_INVALCALLHANDLE);
  EXPECT_EQ(lineShutdown(0x7654321), LINEERR_INVALAPPHANDLE);
  HLINEAPP app;
  DWORD devices;
  EXPECT_EQ(lineInitialize(&app, nullptr, nullptr, nullptr, &devices), LINEERR_INVALPOINTER);
  EXPECT_EQ(lineInitialize(nullptr, nullptr, &Recorder::Callback, nullptr, &devices),
            LINEERR_INVALPOINTER);
}

TEST(TelephonyRequests, IdentifiersAndCallHandlesAreUniqueAcrossSessions) {
  Party a(0), b(1);
  std::set<LONG> requests;
  std::set<HCALL> calls;
  for (int round = 0; round < 5; ++round) {
    for (Party* party : {&a, &b}) {
      HCALL call = 0;
      LONG request = lineMakeCallA(party->line, &call, "777", 0, nullptr);  // nobody there
      ASSERT_GT(request, 0);
      EXPECT_TRUE(requests.insert(request).second) << request;
      EXPECT_TRUE(calls.insert(call).second) << call;
      party->recorder.WaitState(call, LINECALLSTATE_DISCONNECTED);
      LONG drop = lineDrop(call, nullptr, 0);
      ASSERT_GT(drop, 0);
      EXPECT_TRUE(requests.insert(drop).second) << drop;
      EXPECT_EQ(party->recorder.WaitReply(drop), 0);
      party->recorder.WaitState(call, LINECALLSTATE_IDLE);
      EXPECT_EQ(lineDeallocateCall(call), 0);
    }
  }
  // Handles of lines and sessions never come back either.
  std::set<DWORD> handles = {a.app, b.app, a.line, b.line};
  EXPECT_EQ(handles.size(), 4u);
  for (HCALL call : calls) EXPECT_EQ(handles.count(call), 0u);
}

// A callback that places a call itself: the call's notifications, the reply first, come
// only after the callback (and so the function) has returned, on the dispatcher thread.
struct NestedCall {
  std::atomic<bool> in_callback{false};
  std::atomic<bool> early{false};
  std::atomic<LONG> request{0};
  std::atomic<HCALL> call{0};
  HLINE first_line = 0;
  HLINE second_line = 0;
  std::mutex lock;
  std::condition_variable done;
  bool replied = false;
  std::thread::id reply_thread;
};
NestedCall* nested = nullptr;

void NestedCallback(DWORD device, DWORD message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR,
                    DWORD_PTR) {
  if (nested->in_callback.exchange(true)) nested->early = true;  // callbacks overlap
  if (message == LINE_REPLY && nested->request.load() == 0) {
    // The reply of the first call arrived: place another from inside the callback.
    HCALL call = 0;
    LONG request = lineMakeCallA(nested->second_line, &call, "888", 0, nullptr);
    nested->call = call;
    nested->request = request;  // stored before the callback returns
  } else if (message == LINE_REPLY && static_cast<LONG>(param1) == nested->request.load()) {
    std::lock_guard<std::mutex> guard(nested->lock);
    nested->replied = true;
    nested->reply_thread = std::this_thread::get_id();
    nested->done.notify_all();
  } else if (message == LINE_CALLSTATE && device == nested->call.load() &&
             nested->request.load() == 0) {
    nested->early = true;  // a state of the nested call before its request id was known
  }
  nested->in_callback = false;
}

TEST(TelephonyCallbacks, ReplyNeverArrivesInsideTheCallThatStartedIt) {
  NestedCall state;
  nested = &state;
  HLINEAPP app = 0;
  DWORD devices = 0;
  ASSERT_EQ(lineInitialize(&app, nullptr, &NestedCallback, nullptr, &devices), 0);
  for (HLINE* line : {&state.first_line, &state.second_line}) {
    ASSERT_EQ(lineOpenA(app, line == &state.first_line ? 0 : 1, line, kSupportedApiHigh, 0, 0,
                        kOwnerAndMonitor, LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
  }
  HCALL first = 0;
  LONG request = lineMakeCallA(state.first_line, &first, "777", 0, nullptr);
  ASSERT_GT(request, 0);
  {
    std::unique_lock<std::mutex> guard(state.lock);
    ASSERT_TRUE(state.done.wait_for(guard, kGuard, [&] { return state.replied; }));
    EXPECT_NE(state.reply_thread, std::this_thread::get_id());
  }
  EXPECT_GT(state.request.load(), request);
  EXPECT_FALSE(state.early.load());
  EXPECT_EQ(lineShutdown(app), 0);
  nested = nullptr;
}

// lineShutdown waits for a callback of its session that is running on the dispatcher.
std::atomic<int> slow_callbacks{0};
std::atomic<bool> slow_callback_running{false};
std::mutex slow_lock;
std::condition_variable slow_started;
void SlowCallback(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  {
    std::lock_guard<std::mutex> guard(slow_lock);
    slow_callback_running = true;
  }
  slow_started.notify_all();
  // Long enough for lineShutdown to be called while this runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ++slow_callbacks;
  slow_callback_running = false;
}

TEST(TelephonyCallbacks, ShutdownWaitsForTheSessionsRunningCallback) {
  HLINEAPP app = 0;
  DWORD devices = 0;
  ASSERT_EQ(lineInitialize(&app, nullptr, &SlowCallback, nullptr, &devices), 0);
  HLINE line = 0;
  ASSERT_EQ(lineOpenA(app, 0, &line, kSupportedApiHigh, 0, 0, kOwnerAndMonitor,
                      LINEMEDIAMODE_DATAMODEM, nullptr),
            0);
  HCALL call = 0;
  ASSERT_GT(lineMakeCallA(line, &call, "777", 0, nullptr), 0);
  {
    std::unique_lock<std::mutex> guard(slow_lock);
    ASSERT_TRUE(slow_started.wait_for(guard, kGuard, [] { return slow_callback_running.load(); }));
  }
  EXPECT_EQ(lineShutdown(app), 0);
  EXPECT_FALSE(slow_callback_running.load());
  int seen = slow_callbacks.load();
  // Nothing is delivered after the shutdown returned.
  Party other(0);
  other.Dial("777");
  other.recorder.WaitFor([](const Note& n) { return n.param1 == LINECALLSTATE_DISCONNECTED; },
                         "disconnected");
  EXPECT_EQ(slow_callbacks.load(), seen);
}

}  // namespace
}  // namespace quodem::telephony_test
