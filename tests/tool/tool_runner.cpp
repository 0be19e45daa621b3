#include "tool_runner.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quodem::tool::testing {

std::string ToolPath() {
  // QUODEM_TEST_TOOL runs the tests against another build of the tool (an older one, to see
  // that a test catches the fault it is about).
  const char* other = std::getenv("QUODEM_TEST_TOOL");
  return other != nullptr && *other != 0 ? other : QUODEM_TOOL_PATH;
}

std::string MakeDir(const std::string& name) {
  const char* root = std::getenv("QUODEM_TEST_ROOT");
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string owner =
      test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "none";
  const std::string path = std::string(root != nullptr ? root : "/tmp") + "/" + owner + "/" + name;
  std::filesystem::create_directories(path);
  return path;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  ASSERT_TRUE(file.good()) << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    c = static_cast<char>(state >> 11);
  }
  return bytes;
}

std::vector<JsonLine> ToolResult::Events() const {
  std::vector<JsonLine> events;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::optional<JsonLine> event = JsonLine::Parse(line);
    EXPECT_TRUE(event.has_value()) << "not a JSON object: " << line;
    if (!event) continue;
    EXPECT_EQ(SchemaProblem(*event), "") << line;
    events.push_back(*event);
  }
  return events;
}

ToolResult RunTool(const std::vector<std::string>& args, const std::string& input, const Env& env,
                   std::chrono::seconds limit) {
  BackgroundTool tool(args, env, true);
  if (!input.empty()) tool.Input(input);
  tool.CloseInput();
  tool.Finish(limit);
  return tool.Result();
}

BackgroundTool::BackgroundTool(const std::vector<std::string>& args, const Env& env,
                               bool pipe_stdin)
    : BackgroundTool(args, ToolOptions{env, pipe_stdin, true, 0}) {}

BackgroundTool::BackgroundTool(const std::vector<std::string>& args, const ToolOptions& tool) {
  // A tool that ends before reading its input must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  SpawnOptions options;
  options.env = tool.env;
  // A sanitizer report in the tool must not pass for one of the tool's own statuses (1 is
  // also a usage error).
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env.emplace_back("ASAN_OPTIONS",
                           std::string(asan != nullptr ? asan : "") + ":exitcode=86");
  options.pipe_stdin = tool.pipe_stdin;
  options.pipe_stdout = true;
  options.pipe_stderr = true;
  options.stdout_pipe_size = tool.output_pipe_size;
  child_ = std::make_unique<ChildProcess>(ToolPath(), args, options);
  stop_reading_ = ::eventfd(0, EFD_CLOEXEC);
  if (tool.read_output) {
    out_reader_ = std::thread([this] { ReadOutput(child_->StdoutFd()); });
  } else {
    std::lock_guard<std::mutex> lock(lock_);
    out_ended_ = true;
  }
  err_reader_ = std::thread([this] {
    const std::string all = ReadAll(child_->StderrFd());
    std::lock_guard<std::mutex> lock(lock_);
    err_ = all;
  });
}

void BackgroundTool::ReadOutput(int fd) {
  std::string pending;
  bool stopped = false;  // a line cut short by the stop is not the tool's
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_reading_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      std::uint64_t how = 0;
      if (::read(stop_reading_, &how, sizeof how) == sizeof how && how >= 2) {
        child_->CloseStdout();  // this thread is the only one using it
      }
      stopped = true;
      break;
    }
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(chunk, static_cast<std::size_t>(n));
    std::size_t newline;
    const auto now = std::chrono::steady_clock::now();
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(lock_);
      lines_.push_back(pending.substr(0, newline));
      arrivals_.push_back(now);
      pending.erase(0, newline + 1);
      changed_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(lock_);
  if (!pending.empty() && !stopped) {
    lines_.push_back(pending);
    arrivals_.push_back(std::chrono::steady_clock::now());
  }
  out_ended_ = true;
  changed_.notify_all();
}

void BackgroundTool::StopReader(std::uint64_t how) {
  ASSERT_EQ(::write(stop_reading_, &how, sizeof how), static_cast<ssize_t>(sizeof how));
  if (out_reader_.joinable()) out_reader_.join();
}

void BackgroundTool::CloseOutput() {
  StopReader(2);
}

void BackgroundTool::StopReadingOutput() {
  StopReader(1);
}

BackgroundTool::~BackgroundTool() {
  if (!child_->Wait(std::chrono::milliseconds(0))) {
    child_->Signal(SIGKILL);
    child_->Wait(kExitGuard);
  }
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  ::close(stop_reading_);
}

std::optional<JsonLine> BackgroundTool::WaitForEvent(
    const std::function<bool(const JsonLine&)>& match) {
  std::unique_lock<std::mutex> lock(lock_);
  std::size_t seen = 0;
  std::optional<JsonLine> found;
  changed_.wait_for(lock, kEventGuard, [&] {
    for (; seen < lines_.size(); ++seen) {
      std::optional<JsonLine> event = JsonLine::Parse(lines_[seen]);
      if (event && match(*event)) {
        found = event;
        return true;
      }
    }
    return out_ended_;
  });
  return found;
}

std::optional<JsonLine> BackgroundTool::WaitForEvent(const std::string& name) {
  return WaitForEvent([&](const JsonLine& event) { return EventName(event) == name; });
}

bool BackgroundTool::WaitForEvents(const std::string& name, std::size_t count) {
  std::size_t seen = 0;
  return WaitForEvent(
             [&](const JsonLine& event) { return EventName(event) == name && ++seen == count; })
      .has_value();
}

bool BackgroundTool::WaitForText(const std::string& text, std::size_t count) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, kEventGuard, [&] {
    return static_cast<std::size_t>(
               std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
                 return line.find(text) != std::string::npos;
               })) >= count;
  });
}

void BackgroundTool::Input(const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(child_->StdinFd(), data, left);
    if (n <= 0) break;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

int BackgroundTool::Finish(std::chrono::seconds limit) {
  std::optional<int> status = child_->Wait(limit);
  if (!status) {
    child_->Signal(SIGKILL);
    child_->Wait(kExitGuard);
  }
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  if (!status) {
    std::string out;
    for (const std::string& line : Lines()) out += line + "\n";
    ADD_FAILURE() << "the tool did not end within " << limit.count() << " s; killed. Its output:\n"
                  << out << "Its errors:\n"
                  << Err();
  }
  status_ = status.value_or(-1);
  signal_ = status ? child_->TermSignal() : SIGKILL;
  for (const std::string& line : Lines()) {
    if (line.empty() || line[0] != '{') continue;  // plain output
    const std::optional<JsonLine> event = JsonLine::Parse(line);
    EXPECT_TRUE(event.has_value()) << "not a JSON object: " << line;
    if (event) {
      EXPECT_EQ(SchemaProblem(*event), "") << line;
    }
  }
  return status_;
}

std::vector<std::string> BackgroundTool::Lines() {
  std::lock_guard<std::mutex> lock(lock_);
  return lines_;
}

std::vector<std::chrono::steady_clock::time_point> BackgroundTool::Arrivals() {
  std::lock_guard<std::mutex> lock(lock_);
  return arrivals_;
}

std::string BackgroundTool::Err() {
  std::lock_guard<std::mutex> lock(lock_);
  return err_;
}

ToolResult BackgroundTool::Result() {
  ToolResult result;
  result.status = status_;
  result.signal = signal_;
  std::lock_guard<std::mutex> lock(lock_);
  for (const std::string& line : lines_) result.out += line + "\n";
  result.err = err_;
  return result;
}

std::string EventName(const JsonLine& event) {
  return event.String("event").value_or("");
}

std::vector<JsonLine> EventsNamed(const std::vector<JsonLine>& events, const std::string& name) {
  std::vector<JsonLine> named;
  for (const JsonLine& event : events) {
    if (EventName(event) == name) named.push_back(event);
  }
  return named;
}

}  // namespace quodem::tool::testing
