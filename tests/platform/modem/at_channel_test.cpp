// The AT channel against a pseudo-terminal whose master plays the modem: replies cut into
// lines however they arrive, echo and blank lines dropped, unsolicited lines passed on in the
// middle of a reply, time-outs, reading stopping at CONNECT with the data after it kept, and
// the end of the device.
#include "platform/telephony/modem/at_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace quodem::telephony::modem {
namespace {

using namespace std::chrono_literals;
constexpr auto kGuard = 20s;  // hang guard only

// An event loop run by a thread of its own, with a lock standing in for the service lock.
class LoopThread {
 public:
  LoopThread() {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mu);
      while (!stop_) {
        loop.Dispatch();
        int timeout = loop.MillisecondsToNextTimer();
        lock.unlock();
        loop.WaitForEvents(timeout);
        lock.lock();
      }
    });
  }
  ~LoopThread() {
    {
      std::lock_guard<std::mutex> guard(mu);
      stop_ = true;
    }
    loop.Wake();
    thread_.join();
  }
  // Runs `work` with the lock held, then wakes the loop.
  void Do(const std::function<void()>& work) {
    {
      std::lock_guard<std::mutex> guard(mu);
      work();
    }
    loop.Wake();
  }
  // Waits (lock held while testing) until `ready` is true.
  bool Await(const std::function<bool()>& ready) {
    const auto end = std::chrono::steady_clock::now() + kGuard;
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(mu);
        if (ready()) return true;
      }
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(2ms);
    }
  }

  EventLoop loop;
  std::mutex mu;

 private:
  bool stop_ = false;
  std::thread thread_;
};

class AtChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave_, 0);
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &raw);
    loop_.Do([this] {
      AtChannel::Handlers handlers;
      handlers.unsolicited = [this](const Reply& reply) {
        unsolicited_.push_back(reply);
        // The line takes the call's first bytes at once, from inside the handler.
        if (reply.kind == ReplyKind::kConnect) taken_ += channel_->TakeDataAfterConnect();
      };
      handlers.ended = [this](const std::string& why) { ended_ = why; };
      channel_ = std::make_unique<AtChannel>(loop_.loop, slave_, handlers);
      channel_->Start();
    });
  }
  void TearDown() override {
    loop_.Do([this] { channel_.reset(); });
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

  // Sends a command; its result lands in results_.
  void Send(const std::string& text, std::chrono::milliseconds timeout = 5s, bool line = true) {
    loop_.Do([&] {
      channel_->Send(text, line, timeout,
                     [this](const CommandResult& result) { results_.push_back(result); });
    });
  }
  // What the channel wrote, once `count` bytes have come.
  std::string ModemReads(std::size_t count) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + kGuard;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[256];
      ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  void ModemSays(const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(master_, text.data(), text.size()));
  }
  bool AwaitResults(std::size_t n) {
    return loop_.Await([&] { return results_.size() >= n; });
  }

  LoopThread loop_;
  int master_ = -1;
  int slave_ = -1;
  std::unique_ptr<AtChannel> channel_;
  // Under loop_.mu:
  std::vector<CommandResult> results_;
  std::vector<Reply> unsolicited_;
  std::string taken_;  // the call's first bytes, taken by the unsolicited handler
  std::optional<std::string> ended_;
};

TEST_F(AtChannelTest, RepliesArriveAsLinesWhateverTheirCutWithEchoDroppedAndRingPassedOn) {
  Send("ATI3");
  EXPECT_EQ("ATI3\r", ModemReads(5));
  // Echo, a RING in the middle, information, then OK, sent a byte at a time so that CR and
  // LF come apart.
  for (char c : std::string("ATI3\r\r\nRING\r\n\r\nQuodem 1.0\r\n\r\nOK\r\n")) {
    ModemSays(std::string(1, c));
  }
  ASSERT_TRUE(AwaitResults(1));
  std::lock_guard<std::mutex> guard(loop_.mu);
  EXPECT_EQ(CommandResult::Kind::kFinal, results_[0].kind);
  EXPECT_EQ(ReplyKind::kOk, results_[0].final.kind);
  EXPECT_EQ(std::vector<std::string>{"Quodem 1.0"}, results_[0].information);
  EXPECT_EQ("ATI3", results_[0].text);
  ASSERT_EQ(1u, unsolicited_.size());
  EXPECT_EQ(ReplyKind::kRing, unsolicited_[0].kind);
}

TEST_F(AtChannelTest, CommandsGoOneAtATimeAndAnUnansweredOneTimesOut) {
  Send("ATZ", 300ms);
  Send("ATE0");
  Send("+++", 5s, false);
  EXPECT_EQ("ATZ\r", ModemReads(4));
  // Nothing answers ATZ: the next command goes only after its time-out.
  EXPECT_EQ("ATE0\r", ModemReads(5));
  ModemSays("\r\nOK\r\n");
  EXPECT_EQ("+++", ModemReads(3));  // no CR after an escape
  ModemSays("\r\nERROR\r\n");
  ASSERT_TRUE(AwaitResults(3));
  std::lock_guard<std::mutex> guard(loop_.mu);
  EXPECT_EQ(CommandResult::Kind::kTimedOut, results_[0].kind);
  EXPECT_EQ(ReplyKind::kOk, results_[1].final.kind);
  EXPECT_EQ(ReplyKind::kError, results_[2].final.kind);
}

TEST_F(AtChannelTest, ReadingStopsAtConnectAndKeepsWhatCameAfterIt) {
  // The completion takes the data at once, as the line does when it connects the call.
  std::string after;
  loop_.Do([&] {
    channel_->Send("ATD102", true, 5s, [&](const CommandResult& result) {
      results_.push_back(result);
      after = channel_->TakeDataAfterConnect();
    });
  });
  ModemReads(7);
  ModemSays("\r\nCONNECT 33600/V42BIS\r\n\x05payload\r\nOK\r\n");
  ASSERT_TRUE(AwaitResults(1));
  loop_.Do([&] {
    EXPECT_EQ(ReplyKind::kConnect, results_[0].final.kind);
    EXPECT_EQ(33600u, results_[0].final.rate.value_or(0));
    EXPECT_FALSE(channel_->Reading());
    EXPECT_EQ("\x05payload\r\nOK\r\n", after);        // data, whatever it looks like
    EXPECT_EQ("", channel_->TakeDataAfterConnect());  // taken once
  });
  // Nothing more is read: the bytes stay for the port.
  ModemSays("more");
  std::this_thread::sleep_for(50ms);  // time for a wrong read to happen
  pollfd p{slave_, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 20000));
  char buffer[16];
  EXPECT_EQ(4, read(slave_, buffer, sizeof buffer));
}

TEST_F(AtChannelTest, AnUnpromptedConnectGoesToTheHandlerAndStopsReading) {
  ModemSays("\r\nRING\r\n\r\nCONNECT\r\nxy");
  ASSERT_TRUE(loop_.Await([&] { return unsolicited_.size() >= 2; }));
  loop_.Do([&] {
    EXPECT_EQ(ReplyKind::kRing, unsolicited_[0].kind);
    EXPECT_EQ(ReplyKind::kConnect, unsolicited_[1].kind);
    EXPECT_FALSE(unsolicited_[1].rate.has_value());
    EXPECT_EQ("xy", taken_);
  });
}

TEST_F(AtChannelTest, NoiseWithoutLineEndsCostsBoundedMemoryAndCommandsStillWork) {
  Send("AT");
  ModemReads(3);
  ModemSays(std::string(10000, 'x'));
  ModemSays("\r\nOK\r\n");
  ASSERT_TRUE(AwaitResults(1));
  std::lock_guard<std::mutex> guard(loop_.mu);
  EXPECT_EQ(ReplyKind::kOk, results_[0].final.kind);
  ASSERT_EQ(1u, results_[0].information.size());
  EXPECT_LE(results_[0].information[0].size(), AtChannel::kMaxLine);
}

TEST_F(AtChannelTest, TheEndOfTheDeviceEndsTheWaitingCommandAndIsReported) {
  Send("ATA", 30s);
  ModemReads(4);
  close(master_);
  master_ = -1;
  ASSERT_TRUE(AwaitResults(1));
  ASSERT_TRUE(loop_.Await([&] { return ended_.has_value(); }));
  std::lock_guard<std::mutex> guard(loop_.mu);
  EXPECT_EQ(CommandResult::Kind::kEnded, results_[0].kind);
}

TEST_F(AtChannelTest, WatchingForTheEndOnlySeesTheHangUpButReadsNothing) {
  loop_.Do([&] { channel_->WatchForEnd(); });
  ModemSays("data for the port");
  std::this_thread::sleep_for(50ms);
  loop_.Do([&] { EXPECT_FALSE(ended_.has_value()); });
  close(master_);
  master_ = -1;
  ASSERT_TRUE(loop_.Await([&] { return ended_.has_value(); }));
  loop_.Do([&] { EXPECT_TRUE(unsolicited_.empty()); });
}

TEST_F(AtChannelTest, AHandlerMayDestroyTheChannel) {
  loop_.Do([&] {
    channel_->Send("AT", true, 5s, [this](const CommandResult&) {
      channel_.reset();
      results_.emplace_back();
    });
  });
  ModemReads(3);
  ModemSays("\r\nOK\r\n\r\nRING\r\n");
  ASSERT_TRUE(AwaitResults(1));
  loop_.Do([&] { EXPECT_TRUE(unsolicited_.empty()); });
}

}  // namespace
}  // namespace quodem::telephony::modem
