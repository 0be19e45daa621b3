// Helpers for the tests that put real programs (C-Kermit, ppp's chat, mgetty) and the tool's
// modem emulator together: an emulator process with modems at private paths, a DTE that
// drives an emulated modem like a terminal program does, and running a program to its end
// with a generous guard. No helper waits a fixed time to synchronise: each waits for what it
// expects, bounded only to catch hangs.
#pragma once

#include <termios.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "tool/tool_runner.h"

namespace quodem::interop {

constexpr auto kGuard = std::chrono::seconds(30);  // hang guard, never a timing check
// Silence before an escape: the modem's guard time (S12, 1 s) measured from when the
// emulator read the last byte, which on a busy machine can be well after it was written.
constexpr auto kEscapePause = std::chrono::seconds(2);

// Whether `program` can be run (found on PATH or as a path); a test skips with a reason
// when not.
bool HaveProgram(const std::string& program);
bool IsRoot();

// `quodem emulate` with one modem per number, each at a path private to the test (under
// `dir`, default the test's folder); waits until it says "ready".
class EmulatorProcess {
 public:
  explicit EmulatorProcess(const std::vector<std::string>& numbers,
                           const std::vector<std::string>& extra_args = {},
                           const std::string& dir = "");
  ~EmulatorProcess();
  const std::string& Path(const std::string& number) const;
  tool::testing::BackgroundTool& Tool() { return *tool_; }
  // Waits for a line of the emulator's log containing `text`.
  bool WaitForLog(const std::string& text) { return tool_->WaitForText(text); }

 private:
  std::vector<std::pair<std::string, std::string>> paths_;
  std::unique_ptr<tool::testing::BackgroundTool> tool_;
};

// A terminal program's side of an emulated modem: the device opened and set raw, with CLOCAL
// as asked (set: carrier is ignored; clear: carrier loss hangs the device up).
class Dte {
 public:
  explicit Dte(const std::string& path, bool local = true, speed_t speed = B57600);
  ~Dte();
  Dte(const Dte&) = delete;
  Dte& operator=(const Dte&) = delete;

  void Send(const std::string& bytes);
  // Reads until `text` has come; returns everything read (the text included), or fails the
  // test when the guard runs out or the device ends first.
  std::string Expect(const std::string& text);
  // Sends an AT command line and expects `reply` ("OK" by default).
  std::string Command(const std::string& line, const std::string& reply = "OK");
  // Reads exactly `count` bytes (fails the test on a guard or the end of the device).
  std::string ReadExactly(std::size_t count);
  // Waits until the device ends (a read gives end of file or EIO): the modem hung it up.
  bool WaitForHangup();
  void SetSpeed(speed_t speed);  // B0 drops DTR
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string pending_;  // read past what Expect waited for
};

// Runs `program` with `args` to its end (killed after `guard`): exit status (128 + the
// signal's number when a signal ended it, -1 when the guard had to kill it) and everything
// it wrote on standard output and error.
struct ProgramResult {
  int status = -1;
  std::string output;
};
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         std::chrono::seconds guard = std::chrono::seconds(90),
                         const std::string& stdin_path = "/dev/null");

// A program running in the background, its output collected; Finish() waits for its end.
class BackgroundProgram {
 public:
  BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                    const std::string& stdin_path = "/dev/null");
  ~BackgroundProgram();
  ProgramResult Finish(std::chrono::seconds guard = std::chrono::seconds(90));
  pid_t Pid() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

std::string WriteScript(const std::string& name, const std::string& text);

// A configuration with one modem line (`name` "Modem NAME") on `device`, lock files in a
// folder of the test's own, and `extra` (more "key = value" lines) in its section; the
// environment that points the tool at it.
tool::testing::Env ModemLine(const std::string& name, const std::string& device,
                             const std::string& extra = "");

}  // namespace quodem::interop
