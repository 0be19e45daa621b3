// quodem config on a modem line: the dialog shows every key of the line, explains what is
// wrong with a value it refuses and asks again, and saves what was given so that the file
// gives it back. The dialog needs a terminal, so the tool runs on a pseudo-terminal here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <sstream>

#include "tool/tool_runner.h"

extern char** environ;

namespace quodem::tool::testing {
namespace {

struct DialogRun {
  int status = -1;
  std::string shown;  // everything the terminal showed, the typed answers' echo included
};

// Runs `quodem ARGS` with a pseudo-terminal as its terminal and `typed` as what the user
// types (all of it at once: the terminal keeps the lines until the dialog reads them).
DialogRun RunOnTerminal(const std::vector<std::string>& args, const std::string& typed,
                        const Env& env) {
  DialogRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    ADD_FAILURE() << "no pseudo-terminal";
    if (master >= 0) close(master);
    return run;
  }
  const std::string slave = ptsname(master);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, slave.c_str(), O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, 0, 1);
  posix_spawn_file_actions_adddup2(&actions, 0, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<std::string> all = {ToolPath()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string text = *variable;
    bool replaced = false;
    for (const auto& [name, value] : env) replaced |= text.starts_with(name + "=");
    if (!replaced) variables.push_back(text);
  }
  for (const auto& [name, value] : env) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start the tool: " << std::strerror(rc);
    close(master);
    return run;
  }
  EXPECT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  // What the terminal shows, until the tool has closed it (EIO on the master).
  const auto end = std::chrono::steady_clock::now() + kExitGuard;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    run.shown.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  if (std::chrono::steady_clock::now() >= end) {
    ADD_FAILURE() << "the dialog did not end; it showed: " << run.shown;
    kill(pid, SIGKILL);
  }
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  close(master);
  return run;
}

// The "key = value" lines of the file's first [line] section.
std::map<std::string, std::string> FirstLineSection(const std::string& path) {
  std::map<std::string, std::string> keys;
  std::istringstream file(ReadFile(path));
  std::string line;
  int sections = 0;
  while (std::getline(file, line)) {
    if (!line.empty() && line[0] == '[') ++sections;
    if (sections != 1 || line.empty() || line[0] == '[') continue;
    const std::size_t equals = line.find(" = ");
    if (equals != std::string::npos) keys[line.substr(0, equals)] = line.substr(equals + 3);
  }
  return keys;
}

Env ModemConfig(const std::string& name, const std::string& section) {
  const std::string dir = MakeDir(name);
  WriteFile(dir + "/lines.conf", section);
  return {{"QUODEM_CONFIG", dir + "/lines.conf"}};
}

// The keys in the order the dialog asks for them; each a refused value, what the dialog says
// of it, and a value it takes.
struct KeyCase {
  const char* key;
  const char* refused;
  const char* says;
  const char* taken;
};

const KeyCase kModemKeys[] = {
    {"name", "a;b", "must not contain ';'", "Desk modem"},
    {"device", "ttyUSB1", "must be an absolute path", "/dev/ttyUSB1"},
    {"baud", "12345", "must be a speed the serial driver knows", "57600"},
    {"flow", "cts", "must be one of rtscts, xonxoff, none", "none"},
    {"init", "ATZ|E1", "each command between '|' must begin with AT", "ATZ|ATE0V1&D2"},
    {"dial_prefix", "DT", "must begin with AT", "ATDP"},
    {"dial_suffix", ";", "begins a comment in the file", "W"},
    {"answer", "yes", "must be one of manual, auto", "auto"},
    {"command_timeout", "0", "from 1 to 600", "9"},
    {"connect_timeout", "256", "from 1 to 255", "45"},
    {"guard_ms", "5", "from 20 to 10000", "1000"},
    {"hangup", "dtr,dtr", "must not name a method twice", "escape"},
    {"carrier", "dcd", "must be one of auto, inband", "inband"},
    {"lock_dir", "/var/lock ;old", "begins a comment in the file", "/var/lock"},
};

TEST(ToolConfig, ShowsAndEditsEveryModemKeyAndSaysWhatIsWrongWithARefusedValue) {
  const Env env =
      ModemConfig("config", "[line]\nprovider = modem\nname = M\ndevice = /dev/ttyS0\n");
  std::string typed;
  for (const KeyCase& key : kModemKeys) typed += std::string(key.refused) + "\n" + key.taken + "\n";
  typed += "\n";  // answer_timeout, kept
  const DialogRun run = RunOnTerminal({"config"}, typed, env);
  EXPECT_EQ(run.status, 0) << run.shown;
  std::size_t at = 0;
  for (const KeyCase& key : kModemKeys) {
    SCOPED_TRACE(key.key);
    // Asked for in order, refused with a reason, asked again.
    at = run.shown.find(std::string("  ") + key.key + " (", at);
    ASSERT_NE(at, std::string::npos) << run.shown;
    const std::size_t reason = run.shown.find(key.says, at);
    const std::size_t again = run.shown.find(std::string("  ") + key.key + " (", at + 1);
    EXPECT_NE(reason, std::string::npos);
    EXPECT_LT(reason, again);
    at = again;
  }
  const std::map<std::string, std::string> saved = FirstLineSection(env[0].second);
  EXPECT_EQ(saved.at("provider"), "modem");
  for (const KeyCase& key : kModemKeys) EXPECT_EQ(saved.at(key.key), key.taken) << key.key;
  // The tool reads the file it wrote: the line is listed with its new device.
  const ToolResult lines = RunTool({"lines"}, "", env);
  EXPECT_NE(lines.out.find("/dev/ttyUSB1"), std::string::npos) << lines.out << lines.err;
}

TEST(ToolConfig, AValueCanBeEmptiedWhereEmptyIsAllowedAndOnlyThere) {
  const Env env = ModemConfig(
      "empty", "[line]\nprovider = modem\nname = M\ndevice = /dev/ttyS0\ndial_suffix = W\n");
  // name, device, baud, flow, init, dial_prefix kept; dial_suffix emptied; answer kept;
  // command_timeout: "-" refused (it must be a number), then kept; the rest kept.
  const DialogRun run = RunOnTerminal({"config"}, "\n\n\n\n\n\n-\n\n-\n\n\n\n\n\n\n\n", env);
  EXPECT_EQ(run.status, 0) << run.shown;
  EXPECT_NE(run.shown.find("- to empty it"), std::string::npos) << run.shown;
  EXPECT_NE(run.shown.find("must be a whole number of seconds from 1 to 600"), std::string::npos)
      << run.shown;
  const std::map<std::string, std::string> saved = FirstLineSection(env[0].second);
  EXPECT_EQ(saved.at("dial_suffix"), "");
  EXPECT_EQ(saved.at("command_timeout"), "5");
  EXPECT_EQ(saved.at("device"), "/dev/ttyS0");
}

}  // namespace
}  // namespace quodem::tool::testing
