// Running the built quodem tool as separate processes in tests. Each test process has its
// own exchange folder and no configuration file (tests/support/test_main.cpp), which the tool
// processes inherit, so the calls of one test never reach another's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "json_line.h"

namespace quodem::tool::testing {

// Generous guards against hangs; no test asserts how long anything takes.
constexpr std::chrono::seconds kEventGuard(20);
constexpr std::chrono::seconds kExitGuard(60);

std::string ToolPath();
// A new folder under the test process's private root, private to the running test.
std::string MakeDir(const std::string& name);
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> ListDir(const std::string& path);
// Pseudo-random bytes (reproducible for a seed).
std::string RandomBytes(std::size_t size, std::uint32_t seed);

using Env = std::vector<std::pair<std::string, std::string>>;

struct ToolResult {
  int status = -1;
  int signal = 0;  // the signal that killed the tool (0: it exited)
  std::string out;
  std::string err;
  // Every line of `out` parsed as JSON; a line that does not parse, or is not an event of
  // the schema docs/cli.md describes, fails the calling test.
  std::vector<JsonLine> Events() const;
};

// How a background tool is connected.
struct ToolOptions {
  Env env;
  bool pipe_stdin = false;
  bool read_output = true;   // false: nobody reads standard output, which fills and blocks
  int output_pipe_size = 0;  // > 0: the capacity of the standard output pipe
};

// Runs the tool to its end. A tool still running after `limit` is killed and reported.
ToolResult RunTool(const std::vector<std::string>& args, const std::string& input = "",
                   const Env& env = {}, std::chrono::seconds limit = kExitGuard);

// A tool process running in the background; its standard output is collected line by line
// and standard error as a whole, each by a thread of its own.
class BackgroundTool {
 public:
  explicit BackgroundTool(const std::vector<std::string>& args, const Env& env = {},
                          bool pipe_stdin = false);
  BackgroundTool(const std::vector<std::string>& args, const ToolOptions& options);
  ~BackgroundTool();

  // The first event (parsed output line) from `from` on that satisfies `match`, waiting for
  // it at most kEventGuard; nothing when it did not come (or the tool ended without it).
  std::optional<JsonLine> WaitForEvent(const std::function<bool(const JsonLine&)>& match);
  std::optional<JsonLine> WaitForEvent(const std::string& name);
  // Until `count` events named `name` have come (at most kEventGuard); false otherwise.
  bool WaitForEvents(const std::string& name, std::size_t count);
  // Until `count` output lines contain `text`, at most kEventGuard.
  bool WaitForText(const std::string& text, std::size_t count = 1);

  void Signal(int signal) { child_->Signal(signal); }
  pid_t Pid() const { return child_->Pid(); }
  void Input(const std::string& text);
  void CloseInput() { child_->CloseStdin(); }
  // Stops reading the tool's standard output and closes it: the tool's reader has gone.
  void CloseOutput();
  // Stops reading the tool's standard output but keeps it open: a reader that stalls.
  void StopReadingOutput();

  // Waits for the exit (at most `limit`, then kills it) and for its output to end; returns
  // the exit status (-1 when it had to be killed). Every output line that is a JSON object
  // is checked against the schema.
  int Finish(std::chrono::seconds limit = kExitGuard);
  std::vector<std::string> Lines();
  // When each output line was read from the tool, in the order of Lines().
  std::vector<std::chrono::steady_clock::time_point> Arrivals();
  std::string Err();
  ToolResult Result();  // after Finish

 private:
  void ReadOutput(int fd);

  std::unique_ptr<ChildProcess> child_;
  void StopReader(std::uint64_t how);

  int stop_reading_ = -1;  // eventfd: 1 stops the output reader, 2 also closes the output
  std::thread out_reader_, err_reader_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<std::chrono::steady_clock::time_point> arrivals_;  // one per line
  std::string err_;
  bool out_ended_ = false;
  int status_ = -1;
  int signal_ = 0;
};

// "" when `event` is one of the tool's JSON lines as docs/cli.md describes them (an event,
// or a line of 'quodem lines --json'), else what is wrong with it.
std::string SchemaProblem(const JsonLine& event);

// Event helpers.
std::string EventName(const JsonLine& event);
std::vector<JsonLine> EventsNamed(const std::vector<JsonLine>& events, const std::string& name);

}  // namespace quodem::tool::testing
