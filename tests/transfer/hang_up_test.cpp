// Frames written just before the sender hangs up, or just before its process ends, arrive
// whole, over the local exchange and over TCP: what the port accepted is delivered before
// the socket is shut down or closed. Two components in this process, or a sender in a child
// process (this test program started again with a filter).
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "quodem/platform/telephony_service.h"
#include "support/call_fixture.h"

extern char** environ;

namespace quodem {
namespace {

using namespace calltest;

// More than the kernel buffers of a loopback TCP connection hold.
constexpr std::size_t kFileBytes = 12u << 20;
constexpr int kMessageBytes = 60000;

// Lines 0 and 1: the exchange numbers 101 and 102, the second one paced at `speed` bit/s;
// line 2: TCP on a free loopback port.
std::string WriteLines(const std::string& folder, int speed = 0) {
  const std::string path = folder + "/lines.conf";
  std::ofstream(path) << "[line]\nprovider = exchange\nname = A\nnumber = 101\n"
                      << "[line]\nprovider = exchange\nname = B\nnumber = 102\nspeed = " << speed
                      << "\n"
                      << "[line]\nprovider = tcp\nname = T\nlisten = 127.0.0.1:0\n";
  return path;
}

// A component and the recorder of its events; the component goes first, so that no worker
// of it still raises an event into a recorder that is gone.
struct Component {
  std::unique_ptr<TestQuodem> modem = std::make_unique<TestQuodem>();
  std::unique_ptr<Recorder> events = std::make_unique<Recorder>(*modem);
  ~Component() { modem.reset(); }
};

class HangUpTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    config = WriteLines(dir.path());
    setenv("QUODEM_CONFIG", config.c_str(), 1);
    std::filesystem::create_directory(dir / "in");
    WriteFileBytes(dir / "big.bin", Pattern(kFileBytes, 3));
  }
  bool Tcp() const { return GetParam(); }
  // The line `modem` waits on, and the number that reaches it once it waits.
  int WaitLine() const { return Tcp() ? 2 : 0; }
  std::string Number() const { return Tcp() ? telephony::ListLines().at(2).address : "101"; }

  TempDir dir;
  std::string config;
  MessageCapture shown;
};

TEST_P(HangUpTest, FramesFollowedAtOnceByCutArriveWhole) {
  // The component sends; a raw far end dials it and reads exactly what crosses the line.
  RawPeer peer;
  Component side;
  TestQuodem& modem = *side.modem;
  modem.SetLineIndex(WaitLine());
  modem.Wait();
  ASSERT_TRUE(peer.Dial(Number(), Tcp() ? 2 : 1));
  ASSERT_TRUE(side.events->WaitPortTaken());

  const Bytes content = Pattern(kFileBytes, 3);
  const Bytes message = Pattern(kMessageBytes, 4);
  const Bytes expected = Concat({FileFrame("big.bin", content), MessageFrame(message)});
  Bytes got;
  std::thread reader([&] { got = peer.Receive(expected.size()); });
  ASSERT_TRUE(modem.SendFile(dir / "big.bin"));
  ASSERT_TRUE(modem.SendBuffer(message.data(), kMessageBytes));
  modem.Cut();
  reader.join();
  EXPECT_EQ(expected.size(), got.size());
  EXPECT_TRUE(expected == got);
  // Then the end of the call, and nothing more.
  EXPECT_TRUE(peer.Receive(1).empty());
  EXPECT_TRUE(peer.WaitCallState(LINECALLSTATE_DISCONNECTED));
}

// The sending side of FramesFollowedAtOnceByTheProcessEndArriveWhole: runs only when started
// by it, and ends its process as soon as the frame is written, without hanging up.
TEST(HangUpChild, SendsAndEndsItsProcess) {
  const char* link = std::getenv("QUODEM_HANG_UP_TEST_LINK");
  const char* file = std::getenv("QUODEM_HANG_UP_TEST_FILE");
  if (link == nullptr || file == nullptr) GTEST_SKIP() << "run by its parent only";
  const bool tcp = std::string(link) == "tcp";
  // The parent's lines and exchange, not the private ones every test process starts with.
  setenv("QUODEM_CONFIG", std::getenv("QUODEM_HANG_UP_TEST_CONFIG"), 1);
  setenv("QUODEM_EXCHANGE_DIR", std::getenv("QUODEM_HANG_UP_TEST_EXCHANGE"), 1);
  Component side;
  TestQuodem& sender = *side.modem;
  sender.SetLineIndex(tcp ? 2 : 1);
  sender.SetDialString(std::getenv("QUODEM_HANG_UP_TEST_ADDRESS"));
  sender.Dial();
  ASSERT_TRUE(side.events->WaitPortTaken());
  ASSERT_TRUE(sender.SendFile(file));
  std::exit(0);  // no Cut, no destructors: the process just ends
}

TEST_P(HangUpTest, FramesFollowedAtOnceByTheProcessEndArriveWhole) {
  // Over the exchange the sender's line is slow, so its port certainly still holds the
  // frame's last bytes when its process ends. Over TCP a slow receiver fills the line's
  // buffers to the same end, less certainly.
  const bool tcp = Tcp();
  const std::size_t size = tcp ? kFileBytes : 16 * 1024;
  if (!tcp) setenv("QUODEM_CONFIG", (config = WriteLines(dir.path(), 115200)).c_str(), 1);
  WriteFileBytes(dir / "sent.bin", Pattern(size, 5));
  Component side;
  TestQuodem& receiver = *side.modem;
  Recorder& received = *side.events;
  if (tcp) {
    received.on_progress = [](const Recorder::Progress&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
  }
  receiver.SetSaveFileDir(dir / "in");
  receiver.SetLineIndex(WaitLine());
  receiver.Wait();

  std::vector<std::string> env_text = {
      std::string("QUODEM_HANG_UP_TEST_LINK=") + (tcp ? "tcp" : "exchange"),
      "QUODEM_HANG_UP_TEST_FILE=" + (dir / "sent.bin"), "QUODEM_HANG_UP_TEST_ADDRESS=" + Number(),
      "QUODEM_HANG_UP_TEST_CONFIG=" + config,
      std::string("QUODEM_HANG_UP_TEST_EXCHANGE=") + std::getenv("QUODEM_EXCHANGE_DIR")};
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=HangUpChild.SendsAndEndsItsProcess";
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), filter.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(0, posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, env.data()));

  const bool arrived = received.WaitFiles(1);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(arrived);
  EXPECT_TRUE(Pattern(size, 5) == ReadFileBytes(dir / "in/sent.bin"));
}

INSTANTIATE_TEST_SUITE_P(Links, HangUpTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Tcp" : "Exchange";
                         });

}  // namespace
}  // namespace quodem
