// The plain form: one line per event for logs and pipes, with no control sequences. Progress
// is thinned to one line per second per direction, plus the first and the last.
#include <chrono>
#include <cstdio>
#include <mutex>

#include "progress.h"
#include "reporter.h"
#include "text.h"

namespace quodem::tool {

namespace {

std::string Percent(std::uint64_t size, std::uint64_t total) {
  const std::uint64_t percent = total == 0 ? 100 : size * 100 / total;
  return std::to_string(percent) + "%";
}

class PlainReporter : public Reporter {
 public:
  explicit PlainReporter(Output& out) : out_(out) {}

  void State(CallState state, unsigned rate) override {
    Line("call: " + CallStateWords(state, rate));
  }

  void Failed(const Failure& failure) override {
    std::lock_guard<std::mutex> lock(lock_);
    PrintError(failure.message);
  }

  void Progress(const TransferUpdate& update) override {
    std::lock_guard<std::mutex> lock(lock_);
    const bool send = update.direction == Direction::kSend;
    TransferMeter& meter = send ? send_ : receive_;
    const TransferMeter::Reading reading = meter.Update(update.size, update.total, update.first);
    if (!reading.show) return;
    const std::string what =
        update.kind == dcMessage
            ? std::string("message")
            : "file" + (update.name.empty() ? std::string() : " " + EscapeForDisplay(update.name));
    std::string text;
    if (reading.done) {
      text = std::string(send ? "sent " : "received ") + what + ": " +
             std::to_string(update.total) + " bytes";
      if (reading.elapsed > 0.001 && update.total > 0) {
        text += " in " + FormatDuration(reading.elapsed) + " (" + FormatRate(reading.rate) + ")";
      }
    } else {
      text = std::string(send ? "sending " : "receiving ") + what + ": " +
             std::to_string(update.size) + " of " + std::to_string(update.total) + " bytes (" +
             Percent(update.size, update.total) + ")";
    }
    Write(text);
  }

  void Message(std::string_view bytes) override {
    Line("message (" + std::to_string(bytes.size()) + " bytes): " + EscapeForDisplay(bytes));
  }

  void FileSaved(const std::string& path, std::uint64_t size,
                 const std::string& sent_name) override {
    Line(FileSavedWords(path, std::to_string(size) + " bytes", sent_name));
  }

  void FileFailed(const std::string& name, const std::string& reason) override {
    Problem(FileFailedWords(name, reason));
  }

  void SendFailed(Dataclass kind, const std::string& message) override {
    Line(std::string(kind == dcMessage ? "sending the message failed: "
                                       : "sending the file failed: ") +
         message);
  }

  void Waiting(int index, const std::string& name, const std::string& address) override {
    Line("waiting for a call on line " + std::to_string(index) + " (" + name +
         (address.empty() ? std::string() : ", " + address) + ")");
  }

  void Note(const std::string& text) override { Line(text); }

  void Problem(const std::string& text) override {
    std::lock_guard<std::mutex> lock(lock_);
    PrintError(text);
  }

  void Finish() override {}

 private:
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(lock_);
    Write(text);
  }

  void Write(const std::string& text) { out_.Write(text + "\n"); }

  Output& out_;
  std::mutex lock_;
  TransferMeter send_{std::chrono::seconds(1)};
  TransferMeter receive_{std::chrono::seconds(1)};
};

}  // namespace

std::unique_ptr<Reporter> MakePlainReporter(Output& out) {
  return std::make_unique<PlainReporter>(out);
}

}  // namespace quodem::tool
