// Shared pieces of the port tests: a socket pair with one end wrapped in a port, an observer
// that records what it is told, and a way to know that a thread is asleep inside the port.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/handle_table.h"
#include "platform/posix/port.h"
#include "quodem/platform/posix/descriptor_port.h"
#include "quodem/platform/system.h"

namespace quodem::port_test {

// Guard against hangs only; no test depends on how long anything takes.
constexpr auto kGuard = std::chrono::seconds(20);
constexpr DWORD kGuardMs = 20000;

class RecordingObserver : public posix::PortObserver {
 public:
  void OnPeerHangup() override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> guard(lock_);
      ++hangups_;
      hook = on_hangup_;
    }
    changed_.notify_all();
    if (hook) hook();
  }
  void OnDtrChanged(bool raised) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> guard(lock_);
      dtr_.push_back(raised);
      hook = on_dtr_;
    }
    if (hook) hook();
  }

  int Hangups() {
    std::lock_guard<std::mutex> guard(lock_);
    return hangups_;
  }
  std::vector<bool> DtrChanges() {
    std::lock_guard<std::mutex> guard(lock_);
    return dtr_;
  }
  bool AwaitHangup() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, kGuard, [this] { return hangups_ > 0; });
  }
  void OnHangupDo(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    on_hangup_ = std::move(hook);
  }
  void OnDtrDo(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(lock_);
    on_dtr_ = std::move(hook);
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int hangups_ = 0;
  std::vector<bool> dtr_;
  std::function<void()> on_hangup_;
  std::function<void()> on_dtr_;
};

// Blocks until `count` threads are asleep inside the port (WaitCommEvent or a waiting
// GetOverlappedResult).
inline void AwaitBlocked(HANDLE port, std::size_t count) {
  auto object = posix::HandleTable::Instance().FindAs<posix::Port>(port);
  ASSERT_TRUE(object);
  const auto give_up = std::chrono::steady_clock::now() + kGuard;
  while (object->BlockedCallers() < count) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "caller never blocked";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// A connected socket pair: `port` wraps one end, `peer` is the plain other end (blocking).
class SocketPortTest : public ::testing::Test {
 protected:
  void SetUp() override { Open({}); }
  void TearDown() override {
    if (port != 0) CloseHandle(port);
    ClosePeer();
  }

  void Open(posix::PortOptions options) {
    if (port != 0) CloseHandle(port);
    ClosePeer();
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    peer = sv[1];
    observer = std::make_shared<RecordingObserver>();
    port = posix::CreatePortFromDescriptor(sv[0], observer, options);
    ASSERT_NE(0u, port) << GetLastError();
  }
  void ClosePeer() {
    if (peer >= 0) close(peer);
    peer = -1;
  }
  void PeerWrite(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(peer, bytes.data(), bytes.size()));
  }
  // Reads exactly `n` bytes from the peer end (blocking).
  std::string PeerRead(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      ssize_t r = read(peer, out.data() + got, n - got);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    out.resize(got);
    return out;
  }
  DWORD InQueue() {
    COMSTAT stat;
    EXPECT_TRUE(ClearCommError(port, nullptr, &stat));
    return stat.cbInQue;
  }

  HANDLE port = 0;
  int peer = -1;
  std::shared_ptr<RecordingObserver> observer;
};

}  // namespace quodem::port_test
