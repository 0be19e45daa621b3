// Communication functions of ports: WaitCommEvent and the event mask, queue counts, purging
// input, DTR, closing (also from inside an observer), stale handles and creation failures.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "port_test_support.h"

namespace quodem::port_test {
namespace {

using PortCommTest = SocketPortTest;

// Runs WaitCommEvent on its own thread.
struct CommWait {
  explicit CommWait(HANDLE port)
      : thread([this, port] {
          ok = WaitCommEvent(port, &word, nullptr);
          error = GetLastError();
        }) {}
  void Join() { thread.join(); }
  DWORD word = 0xFFFF;
  BOOL ok = -1;
  DWORD error = 0;
  std::thread thread;
};

TEST_F(PortCommTest, WaitReturnsAtOnceForWaitingBytesOrAnEmptyMask) {
  DWORD word = 0xFFFF;
  ASSERT_TRUE(SetCommMask(port, 0));
  EXPECT_TRUE(WaitCommEvent(port, &word, nullptr));
  EXPECT_EQ(0u, word);

  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  DWORD mask = 0;
  ASSERT_TRUE(GetCommMask(port, &mask));
  EXPECT_EQ(EV_RXCHAR, mask);
  PeerWrite("x");
  EXPECT_TRUE(WaitCommEvent(port, &word, nullptr));
  EXPECT_EQ(EV_RXCHAR, word);
  EXPECT_EQ(1u, InQueue());

  OVERLAPPED block;
  EXPECT_FALSE(WaitCommEvent(port, &word, &block));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(PortCommTest, WaitIsWokenByArrivingBytesWhichStayQueued) {
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  CommWait wait(port);
  AwaitBlocked(port, 1);
  PeerWrite("abc");
  wait.Join();
  EXPECT_TRUE(wait.ok);
  EXPECT_EQ(EV_RXCHAR, wait.word);
  EXPECT_EQ(3u, InQueue());
}

TEST_F(PortCommTest, WaitIsWokenBySettingTheMaskEvenToTheSameValue) {
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  CommWait same(port);
  AwaitBlocked(port, 1);
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  same.Join();
  EXPECT_TRUE(same.ok);
  EXPECT_EQ(0u, same.word);

  CommWait cleared(port);
  AwaitBlocked(port, 1);
  ASSERT_TRUE(SetCommMask(port, 0));
  cleared.Join();
  EXPECT_TRUE(cleared.ok);
  EXPECT_EQ(0u, cleared.word);
}

TEST_F(PortCommTest, ClosingThePortEndsAWaitWithFailure) {
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  CommWait wait(port);
  AwaitBlocked(port, 1);
  ASSERT_TRUE(CloseHandle(port));
  port = 0;
  wait.Join();
  EXPECT_FALSE(wait.ok);
  EXPECT_EQ(ERROR_OPERATION_ABORTED, wait.error);
}

TEST_F(PortCommTest, AfterTheHangUpAWaitBlocksUntilTheMaskChangesOrThePortCloses) {
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  CommWait first(port);
  AwaitBlocked(port, 1);
  ClosePeer();
  // The engine notices the hang-up for the waiting caller; the wait itself goes on.
  ASSERT_TRUE(observer->AwaitHangup());
  EXPECT_EQ(1u, posix::HandleTable::Instance().FindAs<posix::Port>(port)->BlockedCallers());
  ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
  first.Join();
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(0u, first.word);

  CommWait second(port);
  AwaitBlocked(port, 1);
  ASSERT_TRUE(CloseHandle(port));
  port = 0;
  second.Join();
  EXPECT_FALSE(second.ok);
  EXPECT_EQ(1, observer->Hangups());
}

TEST_F(PortCommTest, ClearCommErrorCountsWaitingBytesAndPurgeDiscardsThem) {
  PeerWrite(std::string(100, 'z'));
  DWORD errors = 0xFF;
  COMSTAT stat;
  ASSERT_TRUE(ClearCommError(port, &errors, &stat));
  EXPECT_EQ(0u, errors);  // a socket keeps no line errors
  EXPECT_EQ(100u, stat.cbInQue);
  EXPECT_EQ(0u, stat.cbOutQue);

  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  EXPECT_EQ(0u, InQueue());
  PeerWrite("xy");
  char buf[2];
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port, buf, 2, &count, nullptr));
  EXPECT_EQ("xy", std::string(buf, 2));
}

TEST_F(PortCommTest, DtrRequestsOnASocketAreRecordedAndPassedOn) {
  auto port_object = posix::HandleTable::Instance().FindAs<posix::Port>(port);
  EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
  EXPECT_TRUE(port_object->DtrRaised());
  EXPECT_TRUE(EscapeCommFunction(port, CLRDTR));
  EXPECT_FALSE(port_object->DtrRaised());
  EXPECT_FALSE(EscapeCommFunction(port, 7));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ((std::vector<bool>{true, false}), observer->DtrChanges());
}

TEST_F(PortCommTest, ObserversMayCloseThePortFromInsideTheirCallbacks) {
  const HANDLE handle = port;
  observer->OnDtrDo([handle] { CloseHandle(handle); });
  EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
  EXPECT_FALSE(SetCommMask(port, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  port = 0;

  // On the caller's thread, inside ReadFile.
  Open({});
  const HANDLE second = port;
  observer->OnHangupDo([second] { CloseHandle(second); });
  ClosePeer();
  char c;
  DWORD count = 0;
  EXPECT_FALSE(ReadFile(port, &c, 1, &count, nullptr));
  EXPECT_EQ(ERROR_HANDLE_EOF, GetLastError());
  EXPECT_FALSE(ReadFile(port, &c, 1, &count, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  port = 0;

  // On the engine thread, which noticed the hang-up for a pending read.
  Open({});
  const HANDLE third = port;
  observer->OnHangupDo([third] { CloseHandle(third); });
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED block;
  block.hEvent = event;
  ASSERT_FALSE(ReadFile(port, &c, 1, nullptr, &block));
  ClosePeer();
  ASSERT_TRUE(observer->AwaitHangup());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, kGuardMs));
  // The observer runs after the block's event was set; wait until its close took effect.
  for (auto give_up = std::chrono::steady_clock::now() + kGuard;
       posix::HandleTable::Instance().Find(third);) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(CloseHandle(third));
  port = 0;
  CloseHandle(event);
}

TEST_F(PortCommTest, StaleAndForeignHandlesFailWithoutTouchingAnything) {
  const HANDLE closed = port;
  ASSERT_TRUE(CloseHandle(closed));
  port = 0;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(0u, event);
  for (HANDLE handle : {closed, event, HANDLE{0}, INVALID_HANDLE_VALUE}) {
    SCOPED_TRACE(handle);
    char buf[4] = {'a', 'b', 'c', 'd'};
    DWORD count = 77;
    DWORD word = 77;
    COMSTAT stat;
    stat.cbInQue = 77;
    OVERLAPPED block;
    block.Internal = 77;
    const auto expect_invalid = [](BOOL ok) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    };
    expect_invalid(ReadFile(handle, buf, 4, &count, &block));
    expect_invalid(ReadFile(handle, buf, 4, &count, nullptr));
    expect_invalid(WriteFile(handle, buf, 4, &count, &block));
    expect_invalid(GetOverlappedResult(handle, &block, &count, TRUE));
    expect_invalid(ClearCommError(handle, &word, &stat));
    expect_invalid(SetCommMask(handle, EV_RXCHAR));
    expect_invalid(GetCommMask(handle, &word));
    expect_invalid(WaitCommEvent(handle, &word, nullptr));
    expect_invalid(EscapeCommFunction(handle, SETDTR));
    expect_invalid(PurgeComm(handle, PURGE_RXCLEAR));
    EXPECT_EQ("abcd", std::string(buf, 4));
    EXPECT_EQ(77u, count);
    EXPECT_EQ(77u, word);
    EXPECT_EQ(77u, stat.cbInQue);
    EXPECT_EQ(77u, block.Internal);
  }
  EXPECT_FALSE(CloseHandle(closed));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  CloseHandle(event);
}

TEST(PortCreationTest, DescriptorsThatCannotBePortsAreRefusedAndClosed) {
  EXPECT_EQ(0u, posix::CreatePortFromDescriptor(-1));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  const std::string path = std::string(getenv("QUODEM_TEST_ROOT")) + "/plain-file";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0u, posix::CreatePortFromDescriptor(fd));
  EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));  // closed, as the port owned it

  EXPECT_EQ(0u, posix::OpenSerialPort(path));
  EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
  EXPECT_EQ(0u, posix::OpenSerialPort(path + ".missing"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

}  // namespace
}  // namespace quodem::port_test
