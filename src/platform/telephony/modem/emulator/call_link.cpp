#include "platform/telephony/modem/emulator/call_link.h"

#include <algorithm>

namespace quodem::telephony::modem::emulator {
namespace {

constexpr DWORD kChunk = 16 * 1024;

}  // namespace

CallLink::CallLink(HANDLE port, std::function<void()> wake) : port_(port), wake_(std::move(wake)) {
  SetCommMask(port_, EV_RXCHAR);
  reader_ = std::thread([this] { ReadLoop(); });
  writer_ = std::thread([this] { WriteLoop(); });
}

CallLink::~CallLink() {
  Close();
}

void CallLink::Close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closing_) return;
    closing_ = true;
  }
  changed_.notify_all();
  CloseHandle(port_);  // ends a pending wait, read or write at once
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
}

bool CallLink::Flush(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, limit, [this] { return closing_ || outgoing_.empty(); }) &&
         outgoing_.empty();
}

std::size_t CallLink::SendRoom() const {
  std::lock_guard<std::mutex> guard(lock_);
  return outgoing_.size() >= kQueueLimit ? 0 : kQueueLimit - outgoing_.size();
}

void CallLink::Send(std::string_view bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    outgoing_.append(bytes);
  }
  changed_.notify_all();
}

std::size_t CallLink::Unsent() const {
  std::lock_guard<std::mutex> guard(lock_);
  return outgoing_.size();
}

std::string CallLink::Receive(std::size_t max) {
  std::string taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t n = std::min(max, incoming_.size());
    taken = incoming_.substr(0, n);
    incoming_.erase(0, n);
  }
  if (!taken.empty()) changed_.notify_all();
  return taken;
}

std::size_t CallLink::Received() const {
  std::lock_guard<std::mutex> guard(lock_);
  return incoming_.size();
}

void CallLink::ReadLoop() {
  std::string buffer(kChunk, '\0');
  for (;;) {
    DWORD events = 0;
    if (!WaitCommEvent(port_, &events, nullptr)) break;  // closed
    COMSTAT stat;
    if (!ClearCommError(port_, nullptr, &stat)) break;
    // With nothing queued, one byte: it waits for data and tells the end of the stream.
    DWORD want = std::clamp<DWORD>(stat.cbInQue, 1, kChunk);
    OVERLAPPED block{};
    DWORD got = 0;
    if (!ReadFile(port_, buffer.data(), want, &got, &block)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(port_, &block, &got, TRUE)) {
        std::lock_guard<std::mutex> guard(lock_);
        if (got > 0) incoming_.append(buffer.data(), got);
        break;
      }
    }
    {
      std::unique_lock<std::mutex> guard(lock_);
      incoming_.append(buffer.data(), got);
    }
    wake_();
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return closing_ || incoming_.size() < kQueueLimit; });
    if (closing_) return;
  }
  wake_();
}

void CallLink::WriteLoop() {
  for (;;) {
    std::string chunk;
    {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait(guard, [this] { return closing_ || !outgoing_.empty(); });
      if (closing_) return;
      chunk = outgoing_.substr(0, kChunk);
    }
    OVERLAPPED block{};
    DWORD done = 0;
    bool ok = WriteFile(port_, chunk.data(), static_cast<DWORD>(chunk.size()), &done, &block);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      ok = GetOverlappedResult(port_, &block, &done, TRUE);
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      outgoing_.erase(0, std::min<std::size_t>(done, outgoing_.size()));
      if (!ok) {
        outgoing_.clear();  // the far end is gone; nothing more will go
      }
    }
    changed_.notify_all();  // for Flush
    wake_();
    if (!ok) {
      std::unique_lock<std::mutex> guard(lock_);
      // Nothing more can go; the loop learns of the end from the call's state.
      changed_.wait(guard, [this] { return closing_; });
      return;
    }
  }
}

}  // namespace quodem::telephony::modem::emulator
