// quodem demo: a whole call between two processes on this machine. In a private exchange
// folder it starts a second quodem as the receiver ("wait --once" on line 1), dials it from
// line 0, sends a message and a generated file, checks that the receiver saved the file
// unchanged (SHA-256), prints the throughput, and removes everything it created.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
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
#include "connect.h"
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

// The demo's stop request, which can come from its very first step on: a flag that the steps
// before the call look at (making the file, starting the receiver), passed on to the session
// and the receiver's events while they exist.
class DemoStop {
 public:
  void Stop(int signal) {
    std::lock_guard<std::mutex> lock(lock_);
    if (signal_.load() == 0) signal_.store(signal);
    if (session_ != nullptr) session_->Interrupt(signal);
    if (on_stop_) on_stop_();
  }
  // While the call runs: `session` and `on_stop` (for the receiver's events) hear the stop,
  // also one that came before.
  void Attach(CallSession* session, std::function<void()> on_stop) {
    std::lock_guard<std::mutex> lock(lock_);
    session_ = session;
    on_stop_ = std::move(on_stop);
    if (signal_.load() != 0) {
      if (session_ != nullptr) session_->Interrupt(signal_.load());
      if (on_stop_) on_stop_();
    }
  }
  void Detach() { Attach(nullptr, nullptr); }
  bool Stopped() const { return signal_.load() != 0; }
  int Status() const { return signal_.load() == SIGPIPE ? kExitOutputClosed : kExitInterrupted; }

 private:
  std::mutex lock_;
  std::atomic<int> signal_{0};
  CallSession* session_ = nullptr;
  std::function<void()> on_stop_;
};

// Writes `size` bytes of pseudo-random (incompressible, reproducible) data; returns their
// SHA-256, or nothing when the demo was stopped meanwhile (the folder goes with the rest).
std::optional<std::string> GenerateFile(const std::string& path, std::uint64_t size,
                                        const DemoStop& stop) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw UsageError("cannot create " + path + ": " + std::strerror(errno));
  Sha256 hash;
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::vector<unsigned char> chunk(1 << 16);
  for (std::uint64_t written = 0; written < size;) {
    if (stop.Stopped()) {
      std::fclose(file);
      return std::nullopt;
    }
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

// What the demo works with: its private exchange, the folder the receiver saves into, and
// the file to send.
struct DemoPlan {
  std::uint64_t size = 0;
  long long speed = 0;  // bits a second each way; 0: not paced
  std::string exchange;
  std::string config;  // absent: the default lines
  std::string saves;
  std::string source;
  std::string source_hash;
};

// What the call brought.
struct DemoOutcome {
  bool message_sent = false;
  bool file_sent = false;
  bool file_saved = false;
  std::optional<int> receiver_status;
  std::string message_hex;
  std::string saved_path;
  std::uint64_t saved_size = 0;
  double seconds = 0;  // from the start of the file's send until the receiver saved it
};

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

// The first step: the environment of the private exchange and the file to send, made in
// `folder`. Nothing when the demo was stopped meanwhile.
std::optional<DemoPlan> PrepareDemo(const std::string& folder, std::uint64_t size, long long speed,
                                    Reporter& reporter, const DemoStop& stop) {
  DemoPlan plan;
  plan.size = size;
  plan.speed = speed;
  plan.exchange = folder + "/exchange";
  plan.saves = folder + "/received";
  // Absent: the default lines. With a speed both exchange lines are paced.
  plan.config = folder + (speed > 0 ? "/lines.conf" : "/no-lines.conf");
  if (speed > 0) WritePacedLines(plan.config, speed);
  plan.source = folder + "/" + kDemoFileName;
  std::filesystem::create_directory(plan.saves);
  // This process and the receiver use the private exchange and the default lines.
  ::setenv("QUODEM_EXCHANGE_DIR", plan.exchange.c_str(), 1);
  ::setenv("QUODEM_CONFIG", plan.config.c_str(), 1);
  CheckExchange();
  reporter.Note("Quodem demo: a call between two processes over a private local exchange");
  reporter.Note("  exchange folder: " + plan.exchange);
  reporter.Note("  preparing " + std::string(kDemoFileName) + " (" + FormatBytes(size) + ")");
  std::optional<std::string> hash = GenerateFile(plan.source, size, stop);
  if (!hash) return std::nullopt;
  plan.source_hash = *hash;
  return plan;
}

// The second step: starts the receiver, calls it, sends the message and the file, waits
// until the receiver has saved it, hangs up and lets the receiver end. Returns kExitOk when
// everything was sent (the outcome says what arrived), else the status to exit with.
int RunDemoCall(const DemoPlan& plan, Reporter& reporter, DemoStop& stop, DemoOutcome* outcome) {
  CallSession session(reporter, 0, ReceiveRules{});  // the caller receives no file
  const LineChoice caller = CheckLine(session.Modem(), 0);
  const LineChoice callee = CheckLine(session.Modem(), 1);
  ReceiverEvents events(reporter);
  SpawnOptions options;
  options.env = {{"QUODEM_EXCHANGE_DIR", plan.exchange}, {"QUODEM_CONFIG", plan.config}};
  options.pipe_stdout = true;
  ChildProcess receiver(
      SelfPath(), {"wait", "--once", "--line", "1", "--save-dir", plan.saves, "--json"}, options);
  std::thread reader([&] { events.Run(receiver.StdoutFd()); });
  ReceiverGuard guard(receiver, reader);
  stop.Attach(&session, [&events] { events.Interrupt(); });
  struct Detacher {
    DemoStop& stop;
    ~Detacher() { stop.Detach(); }
  } detacher{stop};

  reporter.Note("  receiver: quodem wait --once on line 1 (" + callee.name + ", number " +
                callee.info.address + "), pid " + std::to_string(receiver.Pid()));
  if (!events.WaitReady(kStartLimit)) {
    if (stop.Stopped()) return stop.Status();
    reporter.Failed(Failure{"failed", "the receiver did not start", std::nullopt});
    return kExitCallFailed;
  }
  reporter.Note("  caller: line 0 (" + caller.name + "), dialing " + callee.info.address);
  reporter.Note("  sending: a message and " + std::string(kDemoFileName) + " (" +
                FormatBytes(plan.size) + ")");
  if (plan.speed > 0) {
    reporter.Note("  line speed: " + std::to_string(plan.speed) + " bit/s each way (" +
                  FormatRate(static_cast<double>(plan.speed) / 10) + ")");
  }
  const int connected = Connect(session, reporter, caller, callee.info.address);
  if (connected != kExitOk) return connected;
  outcome->message_sent = session.SendMessage(kDemoMessage);
  const Clock::time_point file_start = Clock::now();
  outcome->file_sent = outcome->message_sent && session.SendFile(plan.source);
  // The receiver has the file once it reports it saved; only then hang up, so that the time
  // measured covers the whole way.
  // A paced line takes its time: the wait grows with what the file needs at that speed.
  const auto file_limit =
      std::chrono::minutes(5) +
      std::chrono::seconds(
          plan.speed > 0 ? static_cast<long long>(plan.size * 10 * 3 / 2 / plan.speed) : 0);
  outcome->file_saved = outcome->file_sent && !session.Interrupted() && events.WaitFile(file_limit);
  if (session.Interrupted()) {
    session.HangUpAfterInterrupt();
    return session.InterruptStatus();
  }
  session.HangUp();
  outcome->receiver_status = receiver.Wait(std::chrono::seconds(30));
  outcome->message_hex = events.MessageHex();
  outcome->saved_path = events.FilePath();
  outcome->saved_size = events.FileSize();
  outcome->seconds = std::chrono::duration<double>(events.FileTime() - file_start).count();
  if (!outcome->message_sent || !outcome->file_sent) return kExitSendFailed;
  return kExitOk;
}

// The last step: whether the message and the file arrived intact, and how fast.
int SummariseDemo(const DemoPlan& plan, const DemoOutcome& outcome, Reporter& reporter) {
  bool ok = true;
  reporter.Note("summary:");
  const bool message_ok = outcome.message_hex == HexEncode(kDemoMessage);
  reporter.Note(std::string("  message   \"") + kDemoMessage +
                "\": " + (message_ok ? "delivered" : "NOT delivered intact"));
  ok = ok && message_ok;
  std::string received_hash;
  if (outcome.file_saved) {
    try {
      received_hash = Sha256FileHex(outcome.saved_path);
    } catch (const std::exception& e) {
      reporter.Problem(e.what());
    }
  }
  const bool file_ok = outcome.file_saved && received_hash == plan.source_hash &&
                       outcome.saved_size == plan.size &&
                       std::filesystem::path(outcome.saved_path).parent_path() == plan.saves;
  reporter.Note("  file      " + std::string(kDemoFileName) + ", " + FormatBytes(plan.size) + ": " +
                (file_ok ? "identical" : "DIFFERENT") + " (SHA-256 " +
                plan.source_hash.substr(0, 16) + "...)");
  ok = ok && file_ok;
  if (outcome.file_saved) {
    const double seconds = outcome.seconds;
    reporter.Note("  transfer  " + FormatBytes(plan.size) + " in " +
                  std::to_string(static_cast<long>(seconds * 1000)) + " ms: " +
                  FormatRate(seconds > 0 ? static_cast<double>(plan.size) / seconds : -1));
  }
  if (!outcome.receiver_status || *outcome.receiver_status != 0) {
    reporter.Problem(
        "the receiver ended with status " +
        (outcome.receiver_status ? std::to_string(*outcome.receiver_status) : std::string("?")));
    ok = false;
  }
  reporter.Note(ok ? "demo passed" : "demo FAILED");
  return ok ? kExitOk : kExitSendFailed;
}

int RunDemo(const ParsedArgs& args) {
  LimitPositionals(args, 0);
  const std::uint64_t size = ParseSize(args.Value("size", "8M"), "--size");
  const long long speed =
      args.Has("speed") ? ParseNumber(args.Value("speed", ""), "--speed", 50, 100000000) : 0;
  // Watching for Ctrl-C from the first step on, so that whatever the demo has made is
  // removed however early it is stopped (the folder's destructor removes it).
  DemoStop stop;
  SignalWatcher signals([&stop](int signal) { stop.Stop(signal); });
  auto reporter = MakeReporter(ChooseOutputForm(false));
  TempFolder folder;
  const std::optional<DemoPlan> plan = PrepareDemo(folder.Path(), size, speed, *reporter, stop);
  if (!plan) return stop.Status();
  DemoOutcome outcome;
  const int status = RunDemoCall(*plan, *reporter, stop, &outcome);
  if (status != kExitOk) return status;
  return SummariseDemo(*plan, outcome, *reporter);
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
    "arrive intact; 130 interrupted (whenever it comes, everything made is removed).\n",
    {{"size", true, false}, {"speed", true, false}},
    RunDemo,
};

}  // namespace quodem::tool
