// The terminal form: events as lines, and below them one progress bar per direction that is
// redrawn in place. Before a line is printed (on standard output or standard error) the bars
// are erased, and they are drawn again after it, so lines never mix with a half-drawn bar.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "progress.h"
#include "reporter.h"
#include "text.h"

namespace quodem::tool {

namespace {

// Code points in a UTF-8 string: close enough to its width on a terminal for names.
std::size_t Columns(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The first `columns` code points of `text`, with "~" marking a cut; padded with spaces.
std::string Fit(const std::string& text, std::size_t columns) {
  if (Columns(text) <= columns) return text + std::string(columns - Columns(text), ' ');
  std::string out;
  std::size_t used = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool starts = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (starts && ++used > columns - 1) break;
    out.push_back(text[i]);
  }
  return out + "~";
}

class TerminalReporter : public Reporter {
 public:
  explicit TerminalReporter(Output& out) : out_(out) {}

  void State(CallState state, unsigned rate) override {
    Line("call: " + CallStateWords(state, rate));
  }

  void Failed(const Failure& failure) override { Problem(failure.message); }

  void Progress(const TransferUpdate& update) override {
    std::lock_guard<std::mutex> lock(lock_);
    Bar& bar = bars_[update.direction == Direction::kSend ? 0 : 1];
    bar.reading = bar.meter.Update(update.size, update.total, update.first);
    bar.update = update;
    bar.active = true;
    if (!bar.reading.show) return;
    EraseBars();
    if (bar.reading.done) {
      bar.active = false;
      Write(Summary(bar));
    }
    DrawBars();
  }

  void Message(std::string_view bytes) override {
    Line("message (" + std::to_string(bytes.size()) + " bytes): " + EscapeForDisplay(bytes));
  }

  void FileSaved(const std::string& path, std::uint64_t size,
                 const std::string& sent_name) override {
    Line(FileSavedWords(path, FormatBytes(size), sent_name));
  }

  void FileFailed(const std::string& name, const std::string& reason) override {
    std::lock_guard<std::mutex> lock(lock_);
    EraseBars();
    bars_[1].active = false;  // the file's bar goes with it
    PrintError(FileFailedWords(name, reason));
    DrawBars();
  }

  void SendFailed(Dataclass kind, const std::string& message) override {
    std::lock_guard<std::mutex> lock(lock_);
    EraseBars();
    bars_[0].active = false;  // the failed transfer's bar goes with it
    Write(std::string(kind == dcMessage ? "sending the message failed: "
                                        : "sending the file failed: ") +
          message);
    DrawBars();
  }

  void Waiting(int index, const std::string& name, const std::string& address) override {
    Line("waiting for a call on line " + std::to_string(index) + " (" + name +
         (address.empty() ? std::string() : ", " + address) + ")");
  }

  void Note(const std::string& text) override { Line(text); }

  void Problem(const std::string& text) override {
    std::lock_guard<std::mutex> lock(lock_);
    EraseBars();
    PrintError(text);
    DrawBars();
  }

  void Finish() override {
    std::lock_guard<std::mutex> lock(lock_);
    EraseBars();
    bars_[0].active = bars_[1].active = false;
  }

 private:
  struct Bar {
    bool active = false;
    TransferUpdate update;
    TransferMeter meter{std::chrono::milliseconds(100)};
    TransferMeter::Reading reading;
  };

  static std::string What(const TransferUpdate& update) {
    if (update.kind == dcMessage) return "message";
    return update.name.empty() ? "file" : EscapeForDisplay(update.name);
  }

  static std::string Summary(const Bar& bar) {
    const bool send = bar.update.direction == Direction::kSend;
    std::string text = std::string(send ? "sent " : "received ") + What(bar.update) + " (" +
                       FormatBytes(bar.update.total) + ")";
    if (bar.reading.elapsed > 0.001 && bar.update.total > 0) {
      text += " in " + FormatDuration(bar.reading.elapsed) + ", " + FormatRate(bar.reading.rate);
    }
    return text;
  }

  std::size_t Width() const {
    winsize size{};
    if (::ioctl(out_.Fd(), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
  }

  std::string Render(const Bar& bar) const {
    const TransferUpdate& u = bar.update;
    const std::uint64_t percent = u.total == 0 ? 100 : u.size * 100 / u.total;
    const std::string label =
        std::string(u.direction == Direction::kSend ? "send " : "recv ") + Fit(What(u), 18);
    char stats[160];
    std::snprintf(stats, sizeof stats, " %3u%% %s/%s %s %s left", static_cast<unsigned>(percent),
                  FormatBytes(u.size).c_str(), FormatBytes(u.total).c_str(),
                  FormatRate(bar.reading.rate).c_str(),
                  FormatDuration(bar.reading.remaining).c_str());
    const std::size_t width = Width() - 1;
    const std::size_t used = Columns(label) + Columns(stats) + 3;
    std::string line = label;
    if (width > used + 8) {
      const std::size_t cells = width - used;
      const std::size_t filled = static_cast<std::size_t>(cells * percent / 100);
      line += " [" + std::string(filled, '#') + std::string(cells - filled, '.') + "]";
    }
    line += stats;
    return line;
  }

  void DrawBars() {
    std::string lines;
    for (const Bar& bar : bars_) {
      if (!bar.active) continue;
      lines += Render(bar) + "\n";
      ++drawn_;
    }
    if (!lines.empty()) out_.Write(lines);
  }

  void EraseBars() {
    std::string erase;
    for (; drawn_ > 0; --drawn_) erase += "\x1b[1A\x1b[2K";
    out_.Write(erase + "\r");
  }

  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(lock_);
    EraseBars();
    Write(text);
    DrawBars();
  }

  void Write(const std::string& text) { out_.Write(text + "\n"); }

  Output& out_;
  std::mutex lock_;
  Bar bars_[2];  // send, receive
  int drawn_ = 0;
};

}  // namespace

std::unique_ptr<Reporter> MakeTerminalReporter(Output& out) {
  return std::make_unique<TerminalReporter>(out);
}

}  // namespace quodem::tool
