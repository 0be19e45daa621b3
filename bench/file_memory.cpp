// Peak resident memory of the two ends of a large file transfer. Two child processes, each a
// TQuodem, call each other over a private local exchange; one sends a file with SendFile and
// the other saves it. Each side's peak resident set size comes from the kernel when the child
// is reaped (wait4), so it covers the whole life of the process. The received file is
// compared with the original byte for byte.
//
//   file_memory [--size-mib N] [--dir DIR]
//
// N defaults to 1024 (a 1 GiB file); the work folder is made under DIR (default /tmp) and
// removed at the end. Prints one line:
//   "file_memory SIZE_MIB SENDER_PEAK_MIB RECEIVER_PEAK_MIB SECONDS"
// and exits 1 when the transfer failed or the received file differs.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "quodem/component/quodem.h"

namespace {

using namespace std::chrono_literals;

// Hang guards only; the figures are memory, not time.
constexpr auto kConnectGuard = 20s;
constexpr auto kTransferGuard = 30min;
constexpr std::size_t kChunk = 1 << 20;

// Fills `out` with bytes that differ from block to block (so a misplaced block shows).
void FillBlock(std::vector<char>& out, std::uint64_t block) {
  std::uint64_t x = block * 0x9E3779B97F4A7C15ull + 1;
  for (std::size_t i = 0; i + 8 <= out.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(out.data() + i, &x, 8);
  }
}

bool MakeFile(const std::string& path, std::uint64_t mib) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(kChunk);
  for (std::uint64_t i = 0; i < mib && out; ++i) {
    FillBlock(block, i);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return static_cast<bool>(out);
}

bool SameFiles(const std::string& a, const std::string& b) {
  std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
  if (!in_a || !in_b) return false;
  std::vector<char> x(kChunk), y(kChunk);
  for (;;) {
    in_a.read(x.data(), static_cast<std::streamsize>(x.size()));
    in_b.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (in_a.gcount() != in_b.gcount()) return false;
    if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(in_a.gcount())) != 0) {
      return false;
    }
    if (in_a.gcount() == 0) return true;
  }
}

// What a side waits for, under one lock.
struct Progress {
  std::mutex lock;
  std::condition_variable changed;
  bool connected = false;
  bool ended = false;
  int files = 0;
  int errors = 0;

  template <typename F>
  void Set(F&& change) {
    {
      std::lock_guard<std::mutex> guard(lock);
      change();
    }
    changed.notify_all();
  }
  template <typename P>
  bool Wait(std::chrono::seconds limit, P&& done) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, done);
  }
};

void Watch(quodem::TQuodem& modem, Progress& progress) {
  modem.SetOnLineState([&](quodem::TQuodem* sender, quodem::CallState state) {
    const bool held = sender->CommHandle() != quodem::INVALID_HANDLE_VALUE;
    progress.Set([&] {
      if (held) progress.connected = true;
      if (progress.connected && (state == quodem::csDisconnected || state == quodem::csIdle)) {
        progress.ended = true;
      }
    });
  });
  modem.SetOnFileReceive(
      [&](quodem::TQuodem*, const std::string&) { progress.Set([&] { ++progress.files; }); });
  modem.SetOnFileError([&](quodem::TQuodem*, const std::string& name, const std::string& why) {
    std::fprintf(stderr, "file_memory: receiver: %s not saved: %s\n", name.c_str(), why.c_str());
    progress.Set([&] { ++progress.errors; });
  });
}

// The receiving child: waits on line 1 ("102"), reports 'L' once waiting, and ends once a
// file has been saved (status 0) or failed.
[[noreturn]] void Receive(const std::string& save_dir, int report) {
  int status = 1;
  {
    quodem::TQuodem modem;
    Progress progress;
    Watch(modem, progress);
    modem.SetSaveFileDir(save_dir);
    modem.SetLineIndex(1);
    modem.Wait();
    if (write(report, "L", 1) == 1 &&
        progress.Wait(std::chrono::duration_cast<std::chrono::seconds>(kTransferGuard),
                      [&] { return progress.files + progress.errors > 0 || progress.ended; })) {
      status = progress.files == 1 ? 0 : 1;
    }
    modem.Cut();
  }
  std::_Exit(status);
}

// The sending child: dials "102" from line 0, sends the file and hangs up.
[[noreturn]] void Send(const std::string& path) {
  int status = 1;
  {
    quodem::TQuodem modem;
    Progress progress;
    Watch(modem, progress);
    modem.SetLineIndex(0);
    modem.SetDialString("102");
    modem.Dial();
    if (progress.Wait(kConnectGuard, [&] { return progress.connected; })) {
      try {
        if (modem.SendFile(path)) status = 0;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "file_memory: sender: %s\n", e.what());
      }
    } else {
      std::fprintf(stderr, "file_memory: the call did not connect\n");
    }
    modem.Cut();
  }
  std::_Exit(status);
}

struct Reaped {
  int status = -1;
  long peak_kib = 0;
};

Reaped Reap(pid_t pid) {
  Reaped out;
  struct rusage usage;
  if (wait4(pid, &out.status, 0, &usage) == pid) out.peak_kib = usage.ru_maxrss;
  return out;
}

bool ExitedZero(const Reaped& r) {
  return WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = 1024;
  std::string base = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--size-mib") {
      mib = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (name == "--dir") {
      base = argv[i + 1];
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (mib == 0 || mib >= 4096) {
    std::fprintf(stderr, "file_memory: --size-mib must be 1 to 4095\n");
    return 2;
  }

  // Everything before the children start runs on this one thread: fork copies no worker.
  std::string pattern = base + "/quodem-file-memory-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string work = pattern;
  const std::string source = work + "/out/data.bin";
  const std::string save_dir = work + "/in";
  std::filesystem::create_directories(work + "/out");
  std::filesystem::create_directories(save_dir);
  setenv("QUODEM_EXCHANGE_DIR", (work + "/exchange").c_str(), 1);
  setenv("QUODEM_CONFIG", (work + "/no-such-lines.conf").c_str(), 1);
  int result = 1;
  if (!MakeFile(source, mib)) {
    std::fprintf(stderr, "file_memory: cannot write %s\n", source.c_str());
  } else {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return 1;
    const pid_t receiver = fork();
    if (receiver == 0) {
      close(pipe_fds[0]);
      Receive(save_dir, pipe_fds[1]);
    }
    close(pipe_fds[1]);
    char c = 0;
    const bool waiting = receiver > 0 && read(pipe_fds[0], &c, 1) == 1 && c == 'L';
    close(pipe_fds[0]);
    pid_t sender = -1;
    const auto t0 = std::chrono::steady_clock::now();
    if (waiting) {
      sender = fork();
      if (sender == 0) Send(source);
    }
    const Reaped sent = sender > 0 ? Reap(sender) : Reaped{};
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (receiver > 0 && !ExitedZero(sent)) kill(receiver, SIGTERM);
    const Reaped received = receiver > 0 ? Reap(receiver) : Reaped{};
    const bool same =
        ExitedZero(sent) && ExitedZero(received) && SameFiles(source, save_dir + "/data.bin");
    if (!same) {
      std::fprintf(stderr, "file_memory: the transfer failed (sender %d, receiver %d)\n",
                   sent.status, received.status);
    } else {
      std::printf("file_memory %llu %.1f %.1f %.1f\n", static_cast<unsigned long long>(mib),
                  sent.peak_kib / 1024.0, received.peak_kib / 1024.0, seconds);
      result = 0;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(work, ignored);
  return result;
}
