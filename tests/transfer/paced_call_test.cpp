// An exchange line with `speed` set carries the call at that speed each way: a frame takes
// at least the time its bytes need at speed/10 bytes a second, in either direction, and the
// sender's progress keeps pace with the line instead of running ahead of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "support/call_fixture.h"

namespace quodem {
namespace {

using namespace calltest;
using Clock = std::chrono::steady_clock;

constexpr int kSpeed = 115200;
constexpr double kBytesPerSecond = kSpeed / 10.0;
constexpr std::size_t kFileBytes = 16 * 1024;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The least time `bytes` can take on the line: a pace may let its first 20 ms slice go at once.
double LeastTime(std::size_t bytes) {
  return (static_cast<double>(bytes) - 2 * kBytesPerSecond * 0.02) / kBytesPerSecond;
}

class PacedCallTest : public ::testing::Test {
 protected:
  PacedCallTest() {
    // Before the far end's session starts: both exchange lines are paced.
    const std::string path = dir / "lines.conf";
    std::ofstream(path) << "[line]\nprovider = exchange\nname = A\nnumber = 101\nspeed = " << kSpeed
                        << "\n[line]\nprovider = exchange\nname = B\nnumber = 102\nspeed = "
                        << kSpeed << "\n";
    setenv("QUODEM_CONFIG", path.c_str(), 1);
  }
  void SetUp() override {
    peer = std::make_unique<RawPeer>();
    modem = std::make_unique<TestQuodem>();
    events = std::make_unique<Recorder>(*modem);
    modem->SetSaveFileDir(dir.path());
    modem->SetLineIndex(0);
    modem->Wait();
    ASSERT_TRUE(peer->Dial("101"));
    ASSERT_TRUE(events->WaitPortTaken());
  }
  void TearDown() override {
    modem.reset();
    events.reset();
    peer.reset();
  }

  TempDir dir;
  MessageCapture shown;
  std::unique_ptr<RawPeer> peer;
  std::unique_ptr<TestQuodem> modem;
  std::unique_ptr<Recorder> events;
};

TEST_F(PacedCallTest, FramesTakeAtLeastTheTimeTheSpeedImpliesEachWay) {
  // From the component: the far end reads as fast as the line brings the bytes.
  const Bytes content = Pattern(kFileBytes, 7);
  WriteFileBytes(dir / "out.bin", content);
  const Bytes frame = FileFrame("out.bin", content);
  Bytes got;
  // Each report and when it came (the send's own thread raises them).
  std::vector<DWORD> report_sizes;
  std::vector<Clock::time_point> report_times;
  modem->SetOnSentState([&](TQuodem*, DWORD size, Dataclass) {
    report_sizes.push_back(size);
    report_times.push_back(Clock::now());
  });
  const Clock::time_point start = Clock::now();
  std::thread reader([&] { got = peer->Receive(frame.size()); });
  ASSERT_TRUE(modem->SendFile(dir / "out.bin"));
  const Clock::time_point sent = Clock::now();
  reader.join();
  const Clock::time_point arrived = Clock::now();
  EXPECT_TRUE(frame == got);
  EXPECT_GE(Seconds(arrived - start), LeastTime(frame.size()));
  // The send returned once its last bytes were in the port's queue of half a second.
  EXPECT_GE(Seconds(sent - start), LeastTime(frame.size()) - 0.5);
  // Progress keeps pace with the line: the sender never hands the port more than a fraction
  // of its half-second queue at a time, so reports never pause for long (the line takes the
  // whole file in about 1.5 s).
  ASSERT_EQ((kFileBytes + 254) / 255, report_sizes.size());
  EXPECT_EQ(255u, report_sizes.front());
  EXPECT_EQ(kFileBytes, report_sizes.back());
  double longest_pause = 0;
  Clock::time_point previous = start;
  for (const Clock::time_point time : report_times) {
    longest_pause = std::max(longest_pause, Seconds(time - previous));
    previous = time;
  }
  EXPECT_LT(longest_pause, 0.5);

  // To the component: the far end's port is paced as well.
  const Bytes back = FileFrame("in.bin", Pattern(kFileBytes, 8));
  const Clock::time_point back_start = Clock::now();
  ASSERT_TRUE(peer->Send(back));
  ASSERT_TRUE(events->WaitFiles(1));
  EXPECT_GE(Seconds(Clock::now() - back_start), LeastTime(back.size()));
  EXPECT_TRUE(Pattern(kFileBytes, 8) == ReadFileBytes(dir / "in.bin"));
}

}  // namespace
}  // namespace quodem
