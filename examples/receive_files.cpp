// receive_files: answer calls on a line and save every file that arrives; print messages.
//
//   receive_files [DIR] [LINE]        e.g.  receive_files inbox 1
//
// Runs until Ctrl-C. Each call ends in the idle state, which closes the line, so the program
// calls Wait again after every call. Files are saved by the component itself into
// SaveFileDir; this program keeps existing files (ReplaceFiles false: a new "a.txt" becomes
// "a (1).txt") and refuses files over 1 GiB. OnFileReceive reports the full path of each
// saved file, OnFileError each file that was not saved, with the reason.
#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "quodem/component/quodem.h"

using namespace quodem;

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  const int line = argc > 2 ? std::atoi(argv[2]) : 0;

  // Ctrl-C is taken by a thread of ours with sigwait: block the signals before the
  // component starts its threads, so that they all inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::mutex lock;
  std::condition_variable changed;
  bool idle = false;
  bool stop = false;
  std::thread signal_thread([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    std::lock_guard<std::mutex> guard(lock);
    stop = true;
    changed.notify_all();
  });

  TQuodem modem;
  modem.SetSaveFileDir(std::filesystem::absolute(dir).string());
  modem.SetLineIndex(line);
  modem.SetOnLineState([&](TQuodem*, CallState state) {  // event worker thread
    std::lock_guard<std::mutex> guard(lock);
    std::printf("call state: %s\n", CallStateName(state));
    if (state == csIdle) idle = true;
    changed.notify_all();
  });
  modem.SetOnLineErr([](TQuodem*, LONG code) {
    std::printf("telephony error 0x%08X\n", static_cast<unsigned>(code));
  });
  // The receive events run on the reader worker of the call.
  modem.SetOnMsgReceive([](TQuodem*, const char* buffer, DWORD size) {
    std::printf("message: %.*s\n", static_cast<int>(size), buffer);
  });
  modem.SetReplaceFiles(false);
  modem.SetOnFileAccept(
      [](TQuodem*, const std::string&, DWORD size, bool& accept) { accept = size <= (1u << 30); });
  modem.SetOnFileReceive(
      [](TQuodem*, const std::string& path) { std::printf("saved %s\n", path.c_str()); });
  modem.SetOnFileError([](TQuodem*, const std::string& name, const std::string& reason) {
    std::printf("not saved %s: %s\n", name.c_str(), reason.c_str());
  });

  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock);
      idle = false;
    }
    modem.Wait();
    std::printf("waiting for a call on line %d (saving into %s)\n", line,
                modem.SaveFileDir().c_str());
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return idle || stop; });
    if (stop) break;
  }
  modem.Cut();  // hangs up a call in progress; destroying the component closes the line
  signal_thread.join();
  return 0;
}
