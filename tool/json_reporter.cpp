// The JSON form: one object per line on standard output, written at once so that a program
// reading the tool's output sees each event as it happens. docs/cli.md lists every event and
// its members.
#include <chrono>
#include <mutex>

#include "json.h"
#include "progress.h"
#include "reporter.h"
#include "text.h"

namespace quodem::tool {

namespace {

const char* KindName(Dataclass kind) {
  return kind == dcMessage ? "message" : "file";
}

class JsonReporter : public Reporter {
 public:
  explicit JsonReporter(Output& out) : out_(out) {}

  void State(CallState state, unsigned rate) override {
    JsonObject object;
    object.Add("event", "state")
        .Add("state", CallStateName(state))
        .Add("value", static_cast<int>(state));
    if (rate > 0) object.Add("rate", static_cast<std::int64_t>(rate));
    Emit(object);
  }

  void Failed(const Failure& failure) override {
    JsonObject object;
    object.Add("event", "error").Add("reason", failure.reason).Add("message", failure.message);
    if (failure.code) object.Add("code", static_cast<std::int64_t>(*failure.code));
    Emit(object);
    PrintError(failure.message);
  }

  void Progress(const TransferUpdate& update) override {
    std::lock_guard<std::mutex> lock(lock_);
    TransferMeter& meter = update.direction == Direction::kSend ? send_ : receive_;
    if (!meter.Update(update.size, update.total, update.first).show) return;
    WriteLine(JsonObject()
                  .Add("event", update.direction == Direction::kSend ? "sent" : "received")
                  .Add("kind", KindName(update.kind))
                  .Add("size", update.size)
                  .Add("total", update.total));
  }

  void Message(std::string_view bytes) override {
    Emit(JsonObject()
             .Add("event", "message")
             .Add("size", static_cast<std::uint64_t>(bytes.size()))
             .Add("hex", HexEncode(bytes))
             .Add("text", bytes));
  }

  void FileSaved(const std::string& path, std::uint64_t size,
                 const std::string& sent_name) override {
    JsonObject object;
    object.Add("event", "file").AddName("path", path).Add("size", size);
    if (!sent_name.empty()) object.AddName("name", sent_name);
    Emit(object);
  }

  void FileFailed(const std::string& name, const std::string& reason) override {
    Emit(JsonObject().Add("event", "file-failed").AddName("name", name).Add("reason", reason));
    PrintError(FileFailedWords(name, reason));
  }

  void SendFailed(Dataclass kind, const std::string& message) override {
    Emit(JsonObject()
             .Add("event", "send-failed")
             .Add("kind", KindName(kind))
             .Add("message", message));
  }

  void Waiting(int index, const std::string& name, const std::string& address) override {
    Emit(JsonObject()
             .Add("event", "waiting")
             .Add("index", index)
             .AddName("name", name)
             .Add("address", address));
  }

  void Note(const std::string&) override {}

  void Problem(const std::string& text) override { PrintError(text); }

  void Finish() override {}

 private:
  void Emit(const JsonObject& object) {
    std::lock_guard<std::mutex> lock(lock_);
    WriteLine(object);
  }

  void WriteLine(const JsonObject& object) { out_.Write(object.Text() + "\n"); }

  Output& out_;
  std::mutex lock_;
  TransferMeter send_{std::chrono::milliseconds(250)};
  TransferMeter receive_{std::chrono::milliseconds(250)};
};

}  // namespace

std::unique_ptr<Reporter> MakeJsonReporter(Output& out) {
  return std::make_unique<JsonReporter>(out);
}

}  // namespace quodem::tool
