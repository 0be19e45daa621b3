// Port options a modem line provider uses: bytes read before the port existed come first, an
// in-band end-of-stream text ends the stream where it stands (also when it comes split over
// reads), and a creator that owns the device's lines keeps purges and DTR requests away from
// the device.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "platform/port_test_support.h"

namespace quodem::port_test {
namespace {

const std::string kEnd = "\r\nNO CARRIER\r\n";

// Reads up to `n` bytes with one ReadFile; the bytes and the result.
struct Got {
  bool ok;
  DWORD error;
  std::string bytes;
};
Got ReadSome(HANDLE port, DWORD n) {
  std::string buffer(n, '#');
  DWORD count = 0;
  OVERLAPPED block{};
  bool ok = ReadFile(port, buffer.data(), n, &count, &block);
  DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (!ok && error == ERROR_IO_PENDING) {
    ok = GetOverlappedResult(port, &block, &count, TRUE);
    error = ok ? ERROR_SUCCESS : GetLastError();
  }
  buffer.resize(count);
  return {ok, error, buffer};
}

using PortModemOptionsTest = SocketPortTest;

TEST_F(PortModemOptionsTest, InitialInputIsReadFirstAndCountsAsQueued) {
  posix::PortOptions options;
  options.initial_input = "abc";
  Open(options);
  PeerWrite("def");
  EXPECT_EQ(6u, InQueue());
  DWORD event = 0;
  SetCommMask(port, EV_RXCHAR);
  ASSERT_TRUE(WaitCommEvent(port, &event, nullptr));
  EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), event);
  EXPECT_EQ("ab", ReadSome(port, 2).bytes);
  EXPECT_EQ("cde", ReadSome(port, 3).bytes);  // the rest of it, then the descriptor
  EXPECT_EQ("f", ReadSome(port, 1).bytes);
}

TEST_F(PortModemOptionsTest, PurgingInputDropsWhatIsLeftOfTheInitialInput) {
  posix::PortOptions options;
  options.initial_input = "stale";
  Open(options);
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  EXPECT_EQ(0u, InQueue());
  PeerWrite("x");
  EXPECT_EQ("x", ReadSome(port, 1).bytes);
}

TEST_F(PortModemOptionsTest, TheEndTextEndsTheStreamWhereItStandsWhetherWholeOrSplit) {
  struct Case {
    std::vector<std::string> writes;  // each delivered before the next read
    std::vector<DWORD> reads;         // sizes of the reads (a read waits for its count)
    std::string delivered;            // everything the reads returned
  };
  const Case cases[] = {
      {{"data" + kEnd + "OK\r\n"}, {64}, "data"},
      // A read returns the start of the text before the rest of it has come.
      {{"da", "ta\r\nNO CAR", "RIER\r\n"}, {2, 10, 64}, "data\r\nNO CAR"},
      // A near miss ("\r\n\r\nNO CARRIER") still ends at the true text.
      {{"x\r\n" + kEnd}, {64}, "x\r\n"},
      // The part of the text still unread when it completes is not returned.
      {{"12\r\nNO", " CARRIER\r\n"}, {4, 64}, "12\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.delivered);
    posix::PortOptions options;
    options.end_of_stream_text = kEnd;
    Open(options);
    std::string got;
    bool ended = false;
    for (std::size_t i = 0; i < c.reads.size(); ++i) {
      if (i < c.writes.size()) PeerWrite(c.writes[i]);
      Got r = ReadSome(port, c.reads[i]);
      got += r.bytes;
      if (!r.ok) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), r.error);
        ended = true;
        break;
      }
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(c.delivered, got);
    EXPECT_TRUE(observer->AwaitHangup());
    EXPECT_EQ(1, observer->Hangups());
  }
}

TEST_F(PortModemOptionsTest, WithoutTheOptionTheTextIsData) {
  PeerWrite("a" + kEnd);
  EXPECT_EQ("a" + kEnd, ReadSome(port, static_cast<DWORD>(1 + kEnd.size())).bytes);
  EXPECT_EQ(0, observer->Hangups());
}

// A pseudo-terminal: the port on the slave, the master as the modem.
class TerminalPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(0, grantpt(master_));
    ASSERT_EQ(0, unlockpt(master_));
    int slave = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    observer_ = std::make_shared<RecordingObserver>();
    posix::PortOptions options;
    options.lines_owned_by_creator = true;
    port_ = posix::CreatePortFromDescriptor(slave, observer_, options);
    ASSERT_NE(0u, port_);
  }
  void TearDown() override {
    if (port_ != 0) CloseHandle(port_);
    if (master_ >= 0) close(master_);
  }
  int master_ = -1;
  HANDLE port_ = 0;
  std::shared_ptr<RecordingObserver> observer_;
};

TEST_F(TerminalPort, APurgeAndADtrDropLeaveWhatWasWrittenToGoOut) {
  // More than the master's line discipline holds, so some of it waits in the pty's buffers,
  // which a flush of the terminal's output would throw away.
  const std::string data(8000, 'z');
  DWORD count = 0;
  OVERLAPPED block{};
  if (!WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &count, &block)) {
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    ASSERT_TRUE(GetOverlappedResult(port_, &block, &count, TRUE));
  }
  ASSERT_EQ(data.size(), count);
  EXPECT_TRUE(EscapeCommFunction(port_, CLRDTR));
  EXPECT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  CloseHandle(port_);
  port_ = 0;
  EXPECT_EQ(std::vector<bool>{false}, observer_->DtrChanges());
  std::string got;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the slave is closed and everything was read
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(data.size(), got.size());
}

}  // namespace
}  // namespace quodem::port_test
