// quodem demo: a whole call between two processes on this machine. In a private exchange
// folder it starts a second quodem as the receiver ("wait --once" on line 1), dials it from
// line 0, sends a message and a generated file, checks that the receiver saved the file
// unchanged (SHA-256), prints the throughput, and removes everything it created.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "child_process.h"
#include "command.h"
#include "json.h"
#include "json_line.h"
#include "preflight.h"
#include "session.h"
#include "sha256.h"
#include "signals.h"
#include "text.h"

namespace quodem::tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDemoMessage = "Hello from the Quodem demo";
constexpr const char* kDemoFileName = "quodem-demo.bin";
constexpr std::chrono::seconds kStartLimit(20);
constexpr std::chrono::seconds kHangUpLimit(10);

// The demo's private folder under the system's temporary folder, removed with everything in
// it when the demo ends, however it ends.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quodem-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw UsageError("cannot create a temporary folder in " +
                       std::filesystem::temp_directory_path().string() + ": " +
                       std::strerror(errno));
    }
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Writes `size` bytes of pseudo-random (incompressible, reproducible) data; returns their
// SHA-256.
std::string GenerateFile(const std::string& path, std::uint64_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw UsageError("cannot create " + path + ": " + std::strerror(errno));
  Sha256 hash;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::vector<unsigned char> chunk(1 << 16);
  for (std::uint64_t written = 0; written < size;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - written));
    for (std::size_t i = 0; i < n; ++i) {
      state ^= state << 13;  // xorshift64
      state ^= state >> 7;
      state ^= state << 17;
      chunk[i] = static_cast<unsigned char>(state >> 24);
    }
    if (std::fwrite(chunk.data(), 1, n, file) != n) {
      std::fclose(file);
      throw UsageError("cannot write " + path + ": " + std::strerror(errno));
    }
    hash.Update(chunk.data(), n);
    written += n;
  }
  if (std::fclose(file) != 0)
    throw UsageError("cannot write " + path + ": " + std::strerror(errno));
  return DigestHex(hash.Final());
}

// Follows the receiver's JSON events (on a thread of its own) and lets the main thread wait
// for the ones it needs. Receive progress goes to the demo's reporter as the receiving side.
class ReceiverEvents {
 public:
  explicit ReceiverEvents(Reporter& reporter) : reporter_(reporter) {}

  void Run(int fd) {
    LineReader lines(fd);
    std::string text;
    std::uint64_t last_size = 0;
    bool receiving = false;
    while (lines.Next(text)) {
      const std::optional<JsonLine> event = JsonLine::Parse(text);
      if (!event) continue;
      const std::string name = event->String("event").value_or("");
      if (name == "received") {
        TransferUpdate update;
        update.direction = Direction::kReceive;
        update.kind = event->String("kind") == "message" ? dcMessage : dcFile;
        update.name = update.kind == dcFile ? kDemoFileName : "";
        update.size = static_cast<std::uint64_t>(event->Integer("size").value_or(0));
        update.total = static_cast<std::uint64_t>(event->Integer("total").value_or(0));
        update.first = !receiving || update.size < last_size;
        receiving = update.size < update.total;
        last_size = update.size;
        reporter_.Progress(update);
        continue;
      }
      std::lock_guard<std::mutex> lock(lock_);
      if (name == "waiting") {
        ready_ = true;
      } else if (name == "message") {
        message_hex_ = event->String("hex").value_or("");
        reporter_.Note("the receiver got the message: " + event->String("text").value_or(""));
      } else if (name == "file") {
        file_path_ = event->String("path").value_or("");
        file_size_ = static_cast<std::uint64_t>(event->Integer("size").value_or(-1));
        file_time_ = Clock::now();
        reporter_.Note("the receiver saved " + file_path_);
      }
      changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(lock_);
    ended_ = true;
    changed_.notify_all();
  }

  // Until the receiver is waiting for the call; false when it ended first, the limit passed
  // or the demo was interrupted.
  bool WaitReady(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_for(lock, limit, [this] { return ready_ || ended_ || interrupted_; });
    return ready_ && !interrupted_;
  }
  // Until the receiver has saved a file (or ended, or the limit, or an interrupt).
  bool WaitFile(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_for(lock, limit,
                      [this] { return !file_path_.empty() || ended_ || interrupted_; });
    return !file_path_.empty();
  }
  void Interrupt() {
    std::lock_guard<std::mutex> lock(lock_);
    interrupted_ = true;
    changed_.notify_all();
  }

  std::string MessageHex() {
    std::lock_guard<std::mutex> lock(lock_);
    return message_hex_;
  }
  std::string FilePath() {
    std::lock_guard<std::mutex> lock(lock_);
    return file_path_;
  }
  std::uint64_t FileSize() {
    std::lock_guard<std::mutex> lock(lock_);
    return file_size_;
  }
  Clock::time_point FileTime() {
    std::lock_guard<std::mutex> lock(lock_);
    return file_time_;
  }

 private:
  Reporter& reporter_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool ready_ = false;
  bool ended_ = false;
  bool interrupted_ = false;
  std::string message_hex_;
  std::string file_path_;
  std::uint64_t file_size_ = 0;
  Clock::time_point file_time_{};
};

// Ends the receiver (politely, then not) and joins the thread that reads its events.
class ReceiverGuard {
 public:
  ReceiverGuard(ChildProcess& child, std::thread& reader) : child_(child), reader_(reader) {}
  ~ReceiverGuard() {
    if (!child_.Wait(std::chrono::milliseconds(0))) {
      child_.Signal(SIGTERM);
      if (!child_.Wait(kHangUpLimit)) {
        child_.Signal(SIGKILL);
        child_.Wait(kHangUpLimit);
      }
    }
    if (reader_.joinable()) reader_.join();
  }

 private:
  ChildProcess& child_;
  std::thread& reader_;
};

std::string SelfPath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "/proc/self/exe";
  return std::string(path, static_cast<std::size_t>(n));
}

// The default lines, with both exchange lines paced at `bits` a second.
void WritePacedLines(const std::string& path, long long bits) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) throw UsageError("cannot create " + path + ": " + std::strerror(errno));
  const std::string speed = std::to_string(bits);
  const std::string text =
      "[line]\nprovider = exchange\nname = Local line 1\nnumber = 101\nspeed = " + speed +
      "\n\n[line]\nprovider = exchange\nname = Local line 2\nnumber = 102\nspeed = " + speed +
      "\n\n[line]\nprovider = tcp\nname = TCP/IP line\n";
  const bool written = std::fputs(text.c_str(), file) >= 0;
  if (std::fclose(file) != 0 || !written) {
    throw UsageError("cannot write " + path + ": " + std::strerror(errno));
  }
}

int RunDemo(const ParsedArgs& args) {
  LimitPositionals(args, 0);
  const std::uint64_t size = ParseSize(args.Value("size", "8M"), "--size");
  const long long speed =
      args.Has("speed") ? ParseNumber(args.Value("speed", ""), "--speed", 50, 100000000) : 0;
  TempFolder folder;
  const std::string exchange = folder.Path() + "/exchange";
  const std::string saves = folder.Path() + "/received";
  // Absent: the default lines. With --speed both exchange lines are paced.
  const std::string config = folder.Path() + (speed > 0 ? "/lines.conf" : "/no-lines.conf");
  if (speed > 0) WritePacedLines(config, speed);
  std::filesystem::create_directory(saves);
  // This process and the receiver use the private exchange and the default lines.
  ::setenv("QUODEM_EXCHANGE_DIR", exchange.c_str(), 1);
  ::setenv("QUODEM_CONFIG", config.c_str(), 1);
  CheckExchange();
  const std::string source = folder.Path() + "/" + kDemoFileName;
  const std::string source_hash = GenerateFile(source, size);

  auto reporter = MakeReporter(ChooseOutputForm(false));
  CallSession session(*reporter, 0, folder.Path());
  const LineChoice caller = CheckLine(session.Modem(), 0);
  const LineChoice callee = CheckLine(session.Modem(), 1);
  ReceiverEvents events(*reporter);
  SignalWatcher signals([&](int) {
    session.Interrupt();
    events.Interrupt();
  });

  const std::string self = SelfPath();
  reporter->Note("Quodem demo: a call between two processes over a private local exchange");
  reporter->Note("  exchange folder: " + exchange);
  SpawnOptions options;
  options.env = {{"QUODEM_EXCHANGE_DIR", exchange}, {"QUODEM_CONFIG", config}};
  options.pipe_stdout = true;
  ChildProcess receiver(self, {"wait", "--once", "--line", "1", "--save-dir", saves, "--json"},
                        options);
  std::thread reader([&] { events.Run(receiver.StdoutFd()); });
  ReceiverGuard guard(receiver, reader);
  reporter->Note("  receiver: quodem wait --once on line 1 (" + callee.name + ", number " +
                 callee.info.address + "), pid " + std::to_string(receiver.Pid()));
  if (!events.WaitReady(kStartLimit)) {
    if (session.Interrupted()) return kExitInterrupted;
    reporter->Problem("the receiver did not start");
    return kExitCallFailed;
  }
  reporter->Note("  caller: line 0 (" + caller.name + "), dialing " + callee.info.address);
  reporter->Note("  sending: a message and " + std::string(kDemoFileName) + " (" +
                 FormatBytes(size) + ")");
  if (speed > 0) {
    reporter->Note("  line speed: " + std::to_string(speed) + " bit/s each way (" +
                   FormatRate(static_cast<double>(speed) / 10) + ")");
  }

  session.BeginCall();
  if (!session.Dial(callee.info.address)) return kExitCallFailed;
  switch (session.WaitForConnection()) {
    case CallSession::Outcome::kInterrupted:
      session.HangUpAfterInterrupt();
      return kExitInterrupted;
    case CallSession::Outcome::kEnded:
      reporter->Problem("the call did not connect");
      return kExitCallFailed;
    case CallSession::Outcome::kConnected:
      break;
  }
  const bool message_sent = session.SendMessage(kDemoMessage);
  const Clock::time_point file_start = Clock::now();
  const bool file_sent = message_sent && session.SendFile(source);
  if (session.Interrupted()) {
    session.HangUpAfterInterrupt();
    return kExitInterrupted;
  }
  // The receiver has the file once it reports it saved; only then hang up, so that the time
  // measured covers the whole way.
  // A paced line takes its time: the wait grows with what the file needs at that speed.
  const auto file_limit =
      std::chrono::minutes(5) +
      std::chrono::seconds(speed > 0 ? static_cast<long long>(size * 10 * 3 / 2 / speed) : 0);
  const bool file_saved = file_sent && events.WaitFile(file_limit);
  if (session.Interrupted()) {
    session.HangUpAfterInterrupt();
    return kExitInterrupted;
  }
  session.Cut();
  session.WaitForIdle(kHangUpLimit);
  const std::optional<int> receiver_status = receiver.Wait(std::chrono::seconds(30));
  if (!message_sent || !file_sent) return kExitSendFailed;

  bool ok = true;
  reporter->Note("summary:");
  const bool message_ok = events.MessageHex() == HexEncode(kDemoMessage);
  reporter->Note(std::string("  message   \"") + kDemoMessage +
                 "\": " + (message_ok ? "delivered" : "NOT delivered intact"));
  ok = ok && message_ok;
  const std::string saved = events.FilePath();
  std::string received_hash;
  if (file_saved) {
    try {
      received_hash = Sha256FileHex(saved);
    } catch (const std::exception& e) {
      reporter->Problem(e.what());
    }
  }
  const bool file_ok = file_saved && received_hash == source_hash && events.FileSize() == size &&
                       std::filesystem::path(saved).parent_path() == saves;
  reporter->Note("  file      " + std::string(kDemoFileName) + ", " + FormatBytes(size) + ": " +
                 (file_ok ? "identical" : "DIFFERENT") + " (SHA-256 " + source_hash.substr(0, 16) +
                 "...)");
  ok = ok && file_ok;
  if (file_saved) {
    const double seconds = std::chrono::duration<double>(events.FileTime() - file_start).count();
    reporter->Note("  transfer  " + FormatBytes(size) + " in " +
                   std::to_string(static_cast<long>(seconds * 1000)) +
                   " ms: " + FormatRate(seconds > 0 ? static_cast<double>(size) / seconds : -1));
  }
  if (!receiver_status || *receiver_status != 0) {
    reporter->Problem("the receiver ended with status " +
                      (receiver_status ? std::to_string(*receiver_status) : std::string("?")));
    ok = false;
  }
  reporter->Note(ok ? "demo passed" : "demo FAILED");
  return ok ? kExitOk : kExitSendFailed;
}

}  // namespace

const Command kDemoCommand = {
    "demo",
    "a whole call between two processes on this machine",
    "usage: quodem demo [--size BYTES] [--speed BITS]\n"
    "\n"
    "Starts a second quodem that waits for a call (in a private exchange folder under the\n"
    "system's temporary folder), dials it, sends a message and a generated file, checks that\n"
    "the file arrived unchanged (SHA-256) and prints the throughput. Everything it creates is\n"
    "removed at the end.\n"
    "\n"
    "  --size BYTES   size of the file to send (default 8M; suffixes k, M, G)\n"
    "  --speed BITS   pace the call at BITS bit/s each way (BITS/10 bytes a second), as a\n"
    "                 modem of that speed would: 50 to 100000000 (try 33600 --size 256k)\n"
    "\n"
    "Exit status: 0 the demo passed; 2 the call could not be made; 3 something did not\n"
    "arrive intact; 130 interrupted.\n",
    {{"size", true, false}, {"speed", true, false}},
    RunDemo,
};

}  // namespace quodem::tool
