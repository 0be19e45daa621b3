// quodem emulate: Hayes modems on pseudo-terminals for terminal programs to dial, whose calls
// go through the telephony service (the modem itself lives in
// src/platform/telephony/modem/emulator/).
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "command.h"
#include "platform/telephony/modem/emulator/emulator.h"
#include "reporter.h"
#include "signals.h"

namespace quodem::tool {

namespace {

namespace emulator = telephony::modem::emulator;

emulator::ModemSpec ParseModem(const std::string& value) {
  std::size_t equals = value.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == value.size()) {
    throw UsageError("--modem wants NUMBER=PATH, not '" + value + "'");
  }
  emulator::ModemSpec spec{value.substr(0, equals), value.substr(equals + 1)};
  if (spec.path.front() != '/') {
    spec.path = (std::filesystem::current_path() / spec.path).lexically_normal().string();
  }
  return spec;
}

mode_t ParseMode(const std::string& text) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos) {
    throw UsageError("--mode wants an octal mode such as 0600, not '" + text + "'");
  }
  return static_cast<mode_t>(std::stoul(text, nullptr, 8) & 0777);
}

// A private folder for the emulator's configuration, removed at the end.
class ConfigFolder {
 public:
  ConfigFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quodem-emulate-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a folder for the configuration under " + pattern);
    }
    path_ = pattern;
  }
  ~ConfigFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int RunEmulate(const ParsedArgs& args) {
  LimitPositionals(args, 0);
  std::vector<emulator::ModemSpec> modems;
  for (const auto& [name, value] : args.Ordered()) {
    if (name == "modem") modems.push_back(ParseModem(value));
  }
  if (modems.empty()) throw UsageError("at least one --modem NUMBER=PATH is needed");
  emulator::EmulatorOptions options;
  options.modems = modems;
  if (args.Has("speed")) {
    options.speed =
        static_cast<unsigned>(ParseNumber(args.Value("speed"), "--speed", 300, 4000000));
  }
  options.mode = ParseMode(args.Value("mode", "0600"));
  options.strict = args.Has("strict");

  std::vector<std::string> numbers;
  for (const auto& spec : modems) numbers.push_back(spec.number);
  const std::string configuration = emulator::EmulatorConfiguration(numbers);  // checks them
  ConfigFolder folder;
  const std::string config_path = folder.path() + "/lines.conf";
  {
    std::ofstream file(config_path, std::ios::trunc);
    file << configuration;
    if (!file.flush()) throw std::runtime_error("cannot write " + config_path);
  }
  // Before the first session: every session of this process reads it.
  setenv("QUODEM_CONFIG", config_path.c_str(), 1);

  std::mutex output;
  options.log = [&output](const std::string& line) {
    std::lock_guard<std::mutex> guard(output);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };

  std::mutex lock;
  std::condition_variable stopped;
  bool stop = false;
  SignalWatcher signals([&](int) {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    stopped.notify_all();
  });

  std::optional<emulator::Emulator> running;
  running.emplace(options);
  {
    std::lock_guard<std::mutex> guard(output);
    std::vector<std::string> slaves = running->SlavePaths();
    for (std::size_t i = 0; i < modems.size(); ++i) {
      std::printf("modem %s at %s (%s)\n", modems[i].number.c_str(), modems[i].path.c_str(),
                  slaves[i].c_str());
    }
    std::printf("ready\n");
    std::fflush(stdout);
  }
  std::unique_lock<std::mutex> guard(lock);
  stopped.wait(guard, [&] { return stop; });
  guard.unlock();
  running.reset();  // hangs up every call and removes the links
  return kExitOk;
}

}  // namespace

const Command kEmulateCommand = {
    "emulate",
    "present Hayes modems on pseudo-terminals for terminal programs",
    "usage: quodem emulate --modem NUMBER=PATH [--modem NUMBER=PATH]... [--speed BITS]\n"
    "                      [--mode MODE] [--strict]\n"
    "\n"
    "Presents a Hayes-compatible modem at each PATH (a symbolic link to a new\n"
    "pseudo-terminal) that owns the local-exchange number NUMBER. Terminal programs (C-Kermit,\n"
    "minicom, chat, mgetty, pyserial) use it like a modem on a serial port:\n"
    "  ATD102          calls exchange number 102 (another emulated modem, or 'quodem wait')\n"
    "  ATDhost:port    calls over TCP (also ATD\"host:port\"; without a port, 23)\n"
    "  incoming calls to NUMBER ring (RING every 6 s); ATA answers, ATS0=n answers by itself\n"
    "A number in a call gives BUSY, a number nobody holds NO CARRIER.\n"
    "\n"
    "  --modem NUMBER=PATH  a modem (repeatable); PATH is replaced if it is a symbolic link\n"
    "  --speed BITS         report CONNECT BITS and pace each direction to BITS/10 bytes/s\n"
    "                       (default: report the terminal's speed, no pacing)\n"
    "  --mode MODE          mode of the pseudo-terminals (default 0600)\n"
    "  --strict             unknown AT commands answer ERROR instead of OK\n"
    "\n"
    "Prints one line per modem, then 'ready', then a line per call event. Runs until\n"
    "Ctrl-C or SIGTERM, which hang up every call, remove the links and exit 0.\n",
    {{"modem", true, true},
     {"speed", true, false},
     {"mode", true, false},
     {"strict", false, false}},
    RunEmulate,
};

}  // namespace quodem::tool
