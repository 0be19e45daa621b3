// quodem to quodem over two emulated modems paced at 33600 bits/s (the emulator's --speed):
// a 64 KiB file takes the time the rate implies, and both sides report progress at least once
// a second. Timings are normally a benchmark's matter
// (bench/paced_call does the same over a paced exchange line); this one is a test because a modem
// line that stalls, bursts or reports progress in lumps is a fault users see. The bound is the
// rate's own: 10 % either way, over about 20 s, which a busy machine does not come near.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "interop/interop_support.h"

namespace quodem::interop {
namespace {

using tool::JsonLine;
using tool::testing::BackgroundTool;
using tool::testing::Env;
using tool::testing::EventName;
using tool::testing::MakeDir;
using tool::testing::RandomBytes;
using tool::testing::ReadFile;
using tool::testing::WriteFile;
using TimePoint = std::chrono::steady_clock::time_point;

constexpr unsigned kBitsPerSecond = 33600;

struct TimedEvent {
  JsonLine event;
  TimePoint at;
};

// The tool's events with when the test read each of them.
std::vector<TimedEvent> Timed(BackgroundTool& tool) {
  const std::vector<std::string> lines = tool.Lines();
  const std::vector<TimePoint> arrivals = tool.Arrivals();
  std::vector<TimedEvent> events;
  for (std::size_t i = 0; i < lines.size() && i < arrivals.size(); ++i) {
    if (std::optional<JsonLine> event = JsonLine::Parse(lines[i]))
      events.push_back({*event, arrivals[i]});
  }
  return events;
}

std::vector<TimePoint> TimesOf(const std::vector<TimedEvent>& events, const std::string& name) {
  std::vector<TimePoint> times;
  for (const TimedEvent& timed : events) {
    if (EventName(timed.event) == name) times.push_back(timed.at);
  }
  return times;
}

double Seconds(std::chrono::steady_clock::duration span) {
  return std::chrono::duration<double>(span).count();
}

// The longest time between two consecutive times (seconds).
double LongestGap(const std::vector<TimePoint>& times) {
  double longest = 0;
  for (std::size_t i = 1; i < times.size(); ++i)
    longest = std::max(longest, Seconds(times[i] - times[i - 1]));
  return longest;
}

TEST(ModemSpeed, A64KiBFileTakesTheTimeTheRateImpliesWithProgressEverySecond) {
  EmulatorProcess emulator({"101", "102"}, {"--speed", std::to_string(kBitsPerSecond)});
  const Env a = ModemLine("a", emulator.Path("101"));
  const Env b = ModemLine("b", emulator.Path("102"));
  const std::string saves = MakeDir("saves");
  const std::string name = "paced.bin";
  const std::string path = MakeDir("outbox") + "/" + name;
  const std::string content = RandomBytes(64 * 1024, 33);
  WriteFile(path, content);

  BackgroundTool receiver({"wait", "--once", "--save-dir", saves, "--json"}, b);
  ASSERT_TRUE(receiver.WaitForEvent("waiting")) << receiver.Err();
  BackgroundTool sender({"dial", "102", "--json", "--send", path}, a);
  EXPECT_EQ(sender.Finish(std::chrono::seconds(120)), 0) << sender.Err();
  EXPECT_EQ(receiver.Finish(), 0) << receiver.Err();
  ASSERT_TRUE(ReadFile(saves + "/" + name) == content) << "the saved file differs";

  const std::vector<TimedEvent> sent = Timed(sender);
  const std::vector<TimedEvent> got = Timed(receiver);
  // From the sender's connect (it sends at once) to the file's arrival.
  std::optional<TimePoint> connected, arrived;
  for (const TimedEvent& timed : sent) {
    if (EventName(timed.event) == "state" && timed.event.String("state") == "csConnected")
      connected = timed.at;
  }
  // Both sides say the rate the modems connected at.
  for (const std::vector<TimedEvent>* side : {&sent, &got}) {
    std::vector<std::int64_t> rates;
    for (const TimedEvent& timed : *side) {
      if (EventName(timed.event) == "state" && timed.event.String("state") == "csConnected")
        rates.push_back(timed.event.Integer("rate").value_or(0));
    }
    EXPECT_EQ(rates, std::vector<std::int64_t>{kBitsPerSecond});
  }
  std::int64_t size = -1;
  for (const TimedEvent& timed : got) {
    if (EventName(timed.event) != "file") continue;
    arrived = timed.at;
    size = timed.event.Integer("size").value_or(-1);
  }
  ASSERT_TRUE(connected && arrived) << "no connect or no file";
  ASSERT_EQ(size, static_cast<std::int64_t>(content.size()));
  // What crossed the line: marker and header (9 bytes), the name and its zero, the content.
  const double framed = 9.0 + static_cast<double>(name.size() + 1) + static_cast<double>(size);
  const double implied = framed / (kBitsPerSecond / 10.0);
  const double took = Seconds(*arrived - *connected);
  EXPECT_NEAR(took, implied, implied * 0.10)
      << framed << " bytes at " << kBitsPerSecond << " bits/s";

  // Progress at least once a second on both sides, from the first report to the last.
  const std::vector<TimePoint> sent_progress = TimesOf(sent, "sent");
  const std::vector<TimePoint> received_progress = TimesOf(got, "received");
  ASSERT_GE(sent_progress.size(), 2u);
  ASSERT_GE(received_progress.size(), 2u);
  EXPECT_LE(LongestGap(sent_progress), 1.0);
  EXPECT_LE(LongestGap(received_progress), 1.0);
  // The sender keeps to the line's pace: its last write completes about when the file has
  // crossed, not when a buffer took it.
  EXPECT_GT(Seconds(sent_progress.back() - *connected), implied * 0.8);
  // The receiver's reports span the transfer: paced bytes come steadily, not in one lump.
  EXPECT_GT(Seconds(received_progress.back() - received_progress.front()), implied * 0.8);
  std::printf(
      "took %.2f s for %.0f bytes (implied %.2f s); longest progress gaps %.2f s "
      "(sender), %.2f s (receiver)\n",
      took, framed, implied, LongestGap(sent_progress), LongestGap(received_progress));
}

}  // namespace
}  // namespace quodem::interop
