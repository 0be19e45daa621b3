// The process-wide I/O engine: one thread waiting in epoll for the descriptors of ports that
// have an operation in the background.
//
// Each descriptor is registered with EPOLLONESHOT and armed only while its port needs to hear
// about it (a pending read or WaitCommEvent wants EPOLLIN|EPOLLRDHUP, a pending write wants
// EPOLLOUT). After each wake-up the descriptor stays disarmed until its port arms it again,
// so an idle or hung-up connection costs no wake-ups and can never make the engine spin.
//
// The engine never holds a pointer to a port: epoll carries a registration id, looked up in a
// map of weak references at each wake-up, so a port that is gone is simply not found. The
// engine keeps a strong reference only while it runs one port's OnReady, and runs it without
// any engine lock held; a port may therefore be destroyed on the engine thread.
//
// Arming is epoll_ctl(EPOLL_CTL_MOD) from whichever thread changes the port's needs; the
// kernel applies it to the epoll_wait already in progress, so no extra wake-up channel is
// needed. The engine thread starts with the first registration, is detached, and the engine
// itself is never destroyed, so nothing has to be torn down in order at process exit.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace quodem::posix {

class IoEngine {
 public:
  class Client {
   public:
    virtual ~Client() = default;
    // Runs on the engine thread after the armed descriptor reported `events` (epoll bits).
    // The descriptor is disarmed when this is called.
    virtual void OnReady(std::uint32_t events) = 0;
  };

  static IoEngine& Instance();

  // Adds `fd` to the epoll set, disarmed. Returns the registration id, or 0 with errno set
  // (for example EPERM for a regular file, which epoll cannot watch).
  std::uint64_t Watch(int fd, std::weak_ptr<Client> client);
  // Arms the descriptor for one report of `events`. False with errno on failure.
  bool Arm(std::uint64_t id, int fd, std::uint32_t events);
  // Removes the descriptor; call before closing it.
  void Forget(std::uint64_t id, int fd);

 private:
  IoEngine();
  bool StartThread();
  void Run();

  int epoll_fd_ = -1;
  std::mutex lock_;
  std::unordered_map<std::uint64_t, std::weak_ptr<Client>> clients_;
  std::uint64_t next_id_ = 1;
  bool thread_started_ = false;
};

}  // namespace quodem::posix
