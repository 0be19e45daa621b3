#include "platform/telephony/modem/at_channel.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/telephony/modem/serial_port.h"

namespace quodem::telephony::modem {
namespace {

constexpr std::size_t kReadChunk = 512;
constexpr std::size_t kMaxInformationLines = 64;

}  // namespace

AtChannel::AtChannel(EventLoop& loop, int fd, Handlers handlers)
    : loop_(loop), fd_(fd), handlers_(std::move(handlers)) {}

AtChannel::~AtChannel() {
  *alive_ = false;
  loop_.CancelTimer(timer_);
  loop_.Unwatch(watch_);
}

void AtChannel::Send(std::string text, bool line, std::chrono::milliseconds timeout, Done done,
                     std::function<void()> written) {
  if (line) text += '\r';
  const bool first = queue_.empty();
  queue_.push_back(Command{std::move(text), timeout, std::move(done), std::move(written)});
  if (!first) return;
  // Never inside Send: the first step runs from the loop.
  loop_.Post([this, alive = alive_] {
    if (*alive) WriteFront();
  });
}

void AtChannel::Interrupt() {
  if (ended_) return;
  ssize_t n;
  do {
    n = write(fd_, "\r", 1);
  } while (n < 0 && errno == EINTR);
  // A full output queue drops it; the command's time-out still ends the wait.
}

void AtChannel::Start() {
  if (ended_) return;
  mode_ = Mode::kReading;
  raw_.clear();
  skip_lf_ = false;
  after_connect_.clear();
  UpdateWatch();
}

void AtChannel::Stop() {
  mode_ = Mode::kStopped;
  queue_.clear();
  information_.clear();
  loop_.CancelTimer(timer_);
  timer_ = 0;
  UpdateWatch();
}

void AtChannel::WatchForEnd() {
  if (ended_) return;
  mode_ = Mode::kEndOnly;
  UpdateWatch();
}

std::string AtChannel::TakeDataAfterConnect() {
  return std::exchange(after_connect_, std::string());
}

bool AtChannel::Writing() const {
  return !ended_ && !queue_.empty() && !queue_.front().waiting &&
         queue_.front().sent < queue_.front().text.size();
}

void AtChannel::UpdateWatch() {
  std::uint32_t wanted = 0;
  if (mode_ == Mode::kReading) wanted |= EPOLLIN;
  if (Writing()) wanted |= EPOLLOUT;
  if (ended_ || (mode_ == Mode::kStopped && wanted == 0)) {
    loop_.Unwatch(watch_);
    watch_ = 0;
    return;
  }
  // kEndOnly watches no event at all: epoll reports a hang-up (and errors) regardless.
  if (watch_ == 0) {
    watch_ = loop_.Watch(fd_, wanted, [this](std::uint32_t events) { OnReady(events); });
    watched_events_ = wanted;
    if (watch_ == 0) {
      loop_.Post([this, alive = alive_] {
        if (*alive) Ended("the device cannot be watched");
      });
    }
  } else if (wanted != watched_events_) {
    loop_.Modify(watch_, wanted);
    watched_events_ = wanted;
  }
}

void AtChannel::OnReady(std::uint32_t events) {
  std::shared_ptr<bool> alive = alive_;
  if ((events & EPOLLOUT) != 0) {
    WriteFront();
    if (!*alive) return;
  }
  if (mode_ == Mode::kReading && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
    ReadAvailable();
  } else if (mode_ == Mode::kEndOnly && (events & (EPOLLHUP | EPOLLERR)) != 0) {
    Ended("the device hung up");
  }
}

void AtChannel::WriteFront() {
  if (!Writing()) return;
  Command& command = queue_.front();
  if (timer_ == 0) {
    // A device that never takes the text (flow control held off) fails the command too.
    timer_ = loop_.StartTimer(command.timeout, [this] {
      timer_ = 0;
      TimedOut();
    });
  }
  while (command.sent < command.text.size()) {
    ssize_t n = write(fd_, command.text.data() + command.sent, command.text.size() - command.sent);
    if (n > 0) {
      command.sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      UpdateWatch();  // on with EPOLLOUT
      return;
    }
    Ended(std::string("cannot write to the device: ") + std::strerror(n < 0 ? errno : EIO));
    return;
  }
  command.waiting = true;
  information_.clear();
  loop_.CancelTimer(timer_);
  timer_ = loop_.StartTimer(command.timeout, [this] {
    timer_ = 0;
    TimedOut();
  });
  UpdateWatch();
  if (command.written) {
    std::function<void()> written = std::move(command.written);
    written();  // may destroy the channel
  }
}

void AtChannel::ReadAvailable() {
  std::shared_ptr<bool> alive = alive_;
  char buffer[kReadChunk];
  while (mode_ == Mode::kReading && !ended_) {
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      std::size_t start = 0;
      if (skip_lf_ && buffer[0] == '\n') start = 1;
      skip_lf_ = false;
      raw_.append(buffer + start, static_cast<std::size_t>(n) - start);
      TakeLines();
      if (!*alive) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n == 0 && !TerminalHungUp(fd_)) return;
    Ended(n == 0 || errno == EIO
              ? "the device hung up"
              : std::string("cannot read from the device: ") + std::strerror(errno));
    return;
  }
}

void AtChannel::TakeLines() {
  std::shared_ptr<bool> alive = alive_;
  while (mode_ == Mode::kReading) {
    std::size_t end = raw_.find_first_of("\r\n");
    if (end == std::string::npos) {
      if (raw_.size() > kMaxLine) raw_.erase(0, raw_.size() - kMaxLine);  // noise: keep the tail
      return;
    }
    std::string line = raw_.substr(0, std::min(end, kMaxLine));
    std::size_t next = end + 1;
    if (raw_[end] == '\r') {
      if (next < raw_.size()) {
        if (raw_[next] == '\n') ++next;
      } else {
        skip_lf_ = true;
      }
    }
    raw_.erase(0, next);
    if (line.empty()) continue;
    Dispatch(line);
    if (!*alive) return;
  }
  // Reading stopped after a CONNECT: the rest is the call's data.
  after_connect_ += raw_;
  raw_.clear();
}

void AtChannel::Dispatch(const std::string& line) {
  Reply reply = ParseReply(line);
  if (reply.kind == ReplyKind::kEmpty || reply.kind == ReplyKind::kEcho) return;
  // Handlers are called through copies: one may destroy the channel, and with it handlers_.
  if (reply.Unsolicited()) {
    if (auto handler = handlers_.unsolicited) handler(reply);
    return;
  }
  const bool waiting = !queue_.empty() && queue_.front().waiting;
  if (reply.Final()) {
    if (reply.kind == ReplyKind::kConnect) {
      // The device carries data from here on: what was read past the line is the call's,
      // there for the handler to take.
      mode_ = Mode::kStopped;
      after_connect_ += raw_;
      raw_.clear();
      UpdateWatch();
    }
    if (waiting) {
      CommandResult result;
      result.kind = CommandResult::Kind::kFinal;
      result.final = std::move(reply);
      Complete(std::move(result));
    } else if (auto handler = handlers_.unsolicited) {
      handler(reply);
    }
    return;
  }
  if (waiting && information_.size() < kMaxInformationLines) information_.push_back(line);
}

void AtChannel::Complete(CommandResult result) {
  loop_.CancelTimer(timer_);
  timer_ = 0;
  Command command = std::move(queue_.front());
  queue_.pop_front();
  result.information = std::move(information_);
  information_.clear();
  result.text = command.text;
  while (!result.text.empty() && result.text.back() == '\r') result.text.pop_back();
  std::shared_ptr<bool> alive = alive_;
  if (command.done) command.done(result);
  if (!*alive) return;
  WriteFront();
  if (*alive) UpdateWatch();
}

void AtChannel::TimedOut() {
  if (queue_.empty()) return;
  CommandResult result;
  result.kind = CommandResult::Kind::kTimedOut;
  Complete(std::move(result));
}

void AtChannel::Ended(const std::string& why) {
  if (ended_) return;
  ended_ = true;
  mode_ = Mode::kStopped;
  loop_.CancelTimer(timer_);
  timer_ = 0;
  loop_.Unwatch(watch_);
  watch_ = 0;
  std::shared_ptr<bool> alive = alive_;
  std::deque<Command> pending = std::move(queue_);
  queue_.clear();
  for (Command& command : pending) {
    CommandResult result;
    result.kind = CommandResult::Kind::kEnded;
    result.text = command.text;
    if (command.done) command.done(result);
    if (!*alive) return;
  }
  if (auto handler = handlers_.ended) handler(why);
}

}  // namespace quodem::telephony::modem
