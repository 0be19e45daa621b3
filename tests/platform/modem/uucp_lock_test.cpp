// UUCP lock files against what other programs leave behind: live and dead holders, locks in
// the binary format, a lock being written, and a device reached through a symbolic link
// (locked under the resolved name by C-Kermit, under the given name by minicom and mgetty).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/telephony/modem/uucp_lock.h"

namespace quodem::telephony::modem {
namespace {

std::string Folder(const std::string& name) {
  const char* root = std::getenv("QUODEM_TEST_ROOT");
  std::string path = std::string(root != nullptr ? root : "/tmp") + "/uucp-" + name;
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path;
}

std::string Read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string Hdb(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

// A process that lives until killed, and the PID of one that has ended.
struct Child {
  pid_t pid = fork();
  Child() {
    if (pid == 0) {
      for (;;) pause();
    }
  }
  ~Child() { End(); }
  void End() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

pid_t DeadPid() {
  Child child;
  pid_t pid = child.pid;
  child.End();
  return pid;
}

TEST(UucpLock, WritesTenCharacterPidAndRemovesItOnRelease) {
  const std::string dir = Folder("plain");
  const std::string device = dir + "/ttyUSB0";
  Write(device, "");
  std::string reason;
  {
    std::optional<UucpLock> lock = UucpLock::Take(device, dir, &reason);
    ASSERT_TRUE(lock) << reason;
    ASSERT_EQ(lock->Files(), std::vector<std::string>{dir + "/LCK..ttyUSB0"});
    EXPECT_EQ(Read(dir + "/LCK..ttyUSB0"), Hdb(getpid()));
    struct stat info;
    ASSERT_EQ(stat((dir + "/LCK..ttyUSB0").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0444u);
    // A second taker in this very process is refused: the holder is alive.
    EXPECT_FALSE(UucpLock::Take(device, dir, &reason));
    EXPECT_NE(reason.find(std::to_string(getpid())), std::string::npos) << reason;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/LCK..ttyUSB0"));
  // No temporary files are left behind either: only the device file remains.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(UucpLock, LiveHolderRefusesWithItsPidAndDeadHolderIsRemoved) {
  const std::string dir = Folder("holders");
  const std::string device = "/dev/ttyS0";
  Child holder;
  ASSERT_GT(holder.pid, 0);
  Write(dir + "/LCK..ttyS0", Hdb(holder.pid));
  std::string reason;
  EXPECT_FALSE(UucpLock::Take(device, dir, &reason));
  EXPECT_NE(reason.find("process " + std::to_string(holder.pid)), std::string::npos) << reason;
  EXPECT_EQ(Read(dir + "/LCK..ttyS0"), Hdb(holder.pid));  // left alone

  // Binary lock of a live process: refused too.
  std::int32_t binary = holder.pid;
  Write(dir + "/LCK..ttyS0", std::string(reinterpret_cast<const char*>(&binary), 4));
  EXPECT_FALSE(UucpLock::Take(device, dir, &reason));
  EXPECT_NE(reason.find(std::to_string(holder.pid)), std::string::npos) << reason;

  // Dead holder, both formats: stale, replaced by ours.
  const pid_t dead = DeadPid();
  Write(dir + "/LCK..ttyS0", "  " + std::to_string(dead) + "\n");
  std::optional<UucpLock> lock = UucpLock::Take(device, dir, &reason);
  ASSERT_TRUE(lock) << reason;
  EXPECT_EQ(Read(dir + "/LCK..ttyS0"), Hdb(getpid()));
  lock->Release();
  std::int32_t dead_binary = dead;
  Write(dir + "/LCK..ttyS0", std::string(reinterpret_cast<const char*>(&dead_binary), 4));
  EXPECT_TRUE(UucpLock::Take(device, dir, &reason)) << reason;
}

TEST(UucpLock, LockWithoutPidIsHeldWhileFreshAndStaleWhenOld) {
  const std::string dir = Folder("unreadable");
  const std::string path = dir + "/LCK..ttyACM0";
  Write(path, "");
  std::string reason;
  EXPECT_FALSE(UucpLock::Take("/dev/ttyACM0", dir, &reason));
  EXPECT_NE(reason.find("being locked"), std::string::npos) << reason;
  // An hour old: whoever wrote it never finished.
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  EXPECT_TRUE(UucpLock::Take("/dev/ttyACM0", dir, &reason)) << reason;
}

TEST(UucpLock, SymbolicLinkTakesBothNamesAndEitherHolderBlocks) {
  const std::string dir = Folder("symlink");
  const std::string target = dir + "/pts-7";
  const std::string link = dir + "/ttyV101";
  Write(target, "");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(UucpLock::LockNames(link), (std::vector<std::string>{"LCK..ttyV101", "LCK..pts-7"}));
  EXPECT_EQ(UucpLock::LockNames(target), std::vector<std::string>{"LCK..pts-7"});

  std::string reason;
  {
    std::optional<UucpLock> lock = UucpLock::Take(link, dir, &reason);
    ASSERT_TRUE(lock) << reason;
    EXPECT_EQ(Read(dir + "/LCK..ttyV101"), Hdb(getpid()));
    EXPECT_EQ(Read(dir + "/LCK..pts-7"), Hdb(getpid()));
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/LCK..ttyV101"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/LCK..pts-7"));

  Child kermit;  // holds the resolved name, as C-Kermit does
  Write(dir + "/LCK..pts-7", Hdb(kermit.pid));
  EXPECT_FALSE(UucpLock::Take(link, dir, &reason));
  EXPECT_NE(reason.find(std::to_string(kermit.pid)), std::string::npos) << reason;
  // The failed take gave back the name it had already taken.
  EXPECT_FALSE(std::filesystem::exists(dir + "/LCK..ttyV101"));
  unlink((dir + "/LCK..pts-7").c_str());

  Child minicom;  // holds the given name
  Write(dir + "/LCK..ttyV101", Hdb(minicom.pid));
  EXPECT_FALSE(UucpLock::Take(link, dir, &reason));
  EXPECT_FALSE(std::filesystem::exists(dir + "/LCK..pts-7"));
}

TEST(UucpLock, ReleaseLeavesALockThatIsNoLongerOurs) {
  const std::string dir = Folder("taken-over");
  std::string reason;
  std::optional<UucpLock> lock = UucpLock::Take("/dev/ttyS1", dir, &reason);
  ASSERT_TRUE(lock) << reason;
  Child other;  // removed ours as stale and took the device
  unlink((dir + "/LCK..ttyS1").c_str());
  Write(dir + "/LCK..ttyS1", Hdb(other.pid));
  lock->Release();
  EXPECT_EQ(Read(dir + "/LCK..ttyS1"), Hdb(other.pid));
}

TEST(UucpLock, UnusableLockFolderSaysWhy) {
  std::string reason;
  EXPECT_FALSE(UucpLock::Take("/dev/ttyS0", "/nonexistent/lock", &reason));
  EXPECT_NE(reason.find("/nonexistent/lock"), std::string::npos) << reason;
  EXPECT_FALSE(UucpLock::Take("/", "/tmp", &reason));
}

}  // namespace
}  // namespace quodem::telephony::modem
