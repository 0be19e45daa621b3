// The pacing check: a file sent over an exchange line with `speed` set must arrive in the
// time the speed implies, with the progress events coming steadily on both sides. Two
// processes (the receiver is a child of this program) call each other over a private
// exchange whose two lines both have the speed.
//
//   paced_call [--speed BITS] [--size BYTES]       (defaults: 33600, 262144)
//
// Prints one line:
//   "paced BITS BYTES EXPECTED_S TOOK_S DEVIATION_PERCENT SENT_GAP_S RECEIVE_GAP_S SENT RECEIVED"
// where EXPECTED_S is the frame's bytes at BITS/10 bytes a second, TOOK_S the time from the
// start of SendFile to OnFileReceive in the receiver, and the gaps the longest time without an
// OnSentState (sender) or an OnLineReceive (receiver) between that start and the arrival.
// Exits 1 when the call fails or the file arrives damaged.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "quodem/component/quodem.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// steady_clock is CLOCK_MONOTONIC: one time line for both processes.
long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

class Events {
 public:
  explicit Events(quodem::TQuodem& modem) {
    modem.SetOnLineState([this](quodem::TQuodem* sender, quodem::CallState) {
      std::lock_guard<std::mutex> guard(lock_);
      if (sender->CommHandle() != quodem::INVALID_HANDLE_VALUE) connected_ = true;
      changed_.notify_all();
    });
    modem.SetOnSentState([this](quodem::TQuodem*, quodem::DWORD, quodem::Dataclass) {
      std::lock_guard<std::mutex> guard(lock_);
      sent_.push_back(NowNs());
    });
    modem.SetOnLineReceive([this](quodem::TQuodem*, quodem::DWORD, quodem::Dataclass) {
      std::lock_guard<std::mutex> guard(lock_);
      received_.push_back(NowNs());
    });
    modem.SetOnFileReceive([this](quodem::TQuodem*, const std::string&) {
      std::lock_guard<std::mutex> guard(lock_);
      file_at_ = NowNs();
      changed_.notify_all();
    });
  }
  bool WaitConnected() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, 20s, [this] { return connected_; });
  }
  bool WaitFile(std::chrono::seconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, [this] { return file_at_ != 0; });
  }
  std::vector<long long> Sent() {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
  }
  std::vector<long long> Received() {
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
  }
  long long FileAt() {
    std::lock_guard<std::mutex> guard(lock_);
    return file_at_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool connected_ = false;
  std::vector<long long> sent_;
  std::vector<long long> received_;
  long long file_at_ = 0;
};

// The longest stretch between `from`, the events and `to` (seconds).
double LongestGap(long long from, std::vector<long long> times, long long to) {
  times.insert(times.begin(), from);
  times.push_back(to);
  std::sort(times.begin(), times.end());
  long long longest = 0;
  for (std::size_t i = 1; i < times.size(); ++i)
    longest = std::max(longest, times[i] - times[i - 1]);
  return longest / 1e9;
}

// The receiving side, in the child: waits on line 0, then reports "L", and after the file
// "F <arrival>" and one "R <time>" per OnLineReceive, and ends when the parent closes `control`.
[[noreturn]] void Receive(const std::string& save_dir, std::chrono::seconds limit, int report,
                          int control) {
  int status = 1;
  {
    quodem::TQuodem modem;
    Events events(modem);
    modem.SetSaveFileDir(save_dir);
    modem.SetLineIndex(0);
    modem.Wait();
    if (write(report, "L\n", 2) == 2 && events.WaitFile(limit)) {
      std::string text = "F " + std::to_string(events.FileAt()) + "\n";
      for (long long at : events.Received()) text += "R " + std::to_string(at) + "\n";
      text += "E\n";
      if (write(report, text.data(), text.size()) == static_cast<ssize_t>(text.size())) status = 0;
    }
    close(report);
    char c;
    (void)!read(control, &c, 1);
    modem.Cut();
  }
  std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  long long speed = 33600;
  long long size = 256 * 1024;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--speed") {
      speed = std::atoll(argv[i + 1]);
    } else if (name == "--size") {
      size = std::atoll(argv[i + 1]);
    } else {
      std::fprintf(stderr, "usage: %s [--speed BITS] [--size BYTES]\n", argv[0]);
      return 2;
    }
  }
  if (speed < 50 || size < 0) {
    std::fprintf(stderr, "paced_call: speed from 50, size from 0\n");
    return 2;
  }

  // A private exchange whose two lines are paced, and the file to send.
  char folder_template[] = "/tmp/quodem-paced-XXXXXX";
  if (mkdtemp(folder_template) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string folder = folder_template;
  std::filesystem::create_directory(folder + "/in");
  std::ofstream(folder + "/lines.conf")
      << "[line]\nprovider = exchange\nname = A\nnumber = 101\nspeed = " << speed
      << "\n[line]\nprovider = exchange\nname = B\nnumber = 102\nspeed = " << speed << "\n";
  setenv("QUODEM_CONFIG", (folder + "/lines.conf").c_str(), 1);
  setenv("QUODEM_EXCHANGE_DIR", (folder + "/exchange").c_str(), 1);
  std::vector<char> content(static_cast<std::size_t>(size));
  unsigned state = 12345;
  for (char& c : content) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  const std::string name = "paced.bin";
  std::ofstream(folder + "/" + name, std::ios::binary).write(content.data(), size);
  const long long frame = 9 + static_cast<long long>(name.size()) + 1 + size;
  const double expected = frame * 10.0 / speed;
  const auto limit = std::chrono::seconds(static_cast<long long>(expected * 2) + 30);

  int report[2], control[2];
  if (pipe(report) != 0 || pipe(control) != 0) {
    std::perror("pipe");
    return 1;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("fork");
    return 1;
  }
  if (child == 0) {
    close(report[0]);
    close(control[1]);
    Receive(folder + "/in", limit, report[1], control[0]);
  }
  close(report[1]);
  close(control[0]);

  FILE* from_child = fdopen(report[0], "r");
  char line[128];
  int status = 1;
  if (from_child == nullptr || fgets(line, sizeof line, from_child) == nullptr || line[0] != 'L') {
    std::fprintf(stderr, "paced_call: the receiver did not start\n");
  } else {
    quodem::TQuodem modem;
    Events events(modem);
    modem.SetLineIndex(1);
    modem.SetDialString("101");
    modem.Dial();
    if (!events.WaitConnected()) {
      std::fprintf(stderr, "paced_call: the call did not connect\n");
    } else {
      const long long start = NowNs();
      const bool sent = modem.SendFile(folder + "/" + name);
      long long arrived = 0;
      std::vector<long long> received;
      while (fgets(line, sizeof line, from_child) != nullptr && line[0] != 'E') {
        if (line[0] == 'F') arrived = std::atoll(line + 2);
        if (line[0] == 'R') received.push_back(std::atoll(line + 2));
      }
      std::ifstream saved(folder + "/in/" + name, std::ios::binary);
      const std::vector<char> got((std::istreambuf_iterator<char>(saved)),
                                  std::istreambuf_iterator<char>());
      if (!sent || arrived == 0 || got != content) {
        std::fprintf(stderr, "paced_call: the file did not arrive intact\n");
      } else {
        const double took = (arrived - start) / 1e9;
        std::printf("paced %lld %lld %.2f %.2f %+.2f %.2f %.2f %zu %zu\n", speed, size, expected,
                    took, 100.0 * (took - expected) / expected,
                    LongestGap(start, events.Sent(), arrived), LongestGap(start, received, arrived),
                    events.Sent().size(), received.size());
        status = 0;
      }
    }
    modem.Cut();
  }
  close(control[1]);
  int child_status = 0;
  waitpid(child, &child_status, 0);
  if (from_child != nullptr) fclose(from_child);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return status;
}
