// Test support for transfers: a TQuodem connected to a raw far end over the local exchange.
//
// The far end is a telephony session of its own in this process (lineInitialize, lineOpenA,
// lineMakeCallA, lineGetIDA) that dials the component waiting on "101" and then moves bytes
// with ReadFile/WriteFile on its port, so tests see exactly the bytes that cross the call.
// Header-only: test programs include it where they need it.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quodem/component/quodem.h"
#include "quodem/platform/framework.h"
#include "quodem/platform/telephony.h"
#include "transfer/read_modem_thread.h"

namespace quodem::calltest {

// Hang guard for every wait: generous, never a measurement.
constexpr auto kGuard = std::chrono::seconds(20);
constexpr DWORD kGuardMs = 20000;

using Bytes = std::vector<std::uint8_t>;

inline Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// The bytes of a frame as a conforming sender writes it.
inline Bytes Frame(std::uint8_t kind, const std::string& name, const Bytes& payload) {
  FrameHeader header;
  header.Kind = kind;
  header.Length = static_cast<std::uint16_t>(kind == dcMessage ? payload.size() : name.size() + 1);
  header.Size = kind == dcMessage ? 0 : static_cast<std::uint32_t>(payload.size());
  Bytes out(kHeadBytes);
  out[0] = kFrameMarker;
  EncodeFrameHeader(header, out.data() + 1);
  if (kind != dcMessage) {
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
  }
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
inline Bytes MessageFrame(const Bytes& payload) {
  return Frame(dcMessage, "", payload);
}
inline Bytes FileFrame(const std::string& name, const Bytes& content) {
  return Frame(dcFile, name, content);
}
// A header with any values, as a hostile or broken sender could write it.
inline Bytes RawHead(std::uint8_t kind, std::uint16_t length, std::uint32_t size) {
  FrameHeader header;
  header.Kind = kind;
  header.Length = length;
  header.Size = size;
  Bytes out(kHeadBytes);
  out[0] = kFrameMarker;
  EncodeFrameHeader(header, out.data() + 1);
  return out;
}
inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
inline Bytes Pattern(std::size_t size, unsigned seed = 1) {
  Bytes out(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

// A writable temporary folder under $QUODEM_TEST_ROOT, removed at the end.
class TempDir {
 public:
  TempDir() {
    const char* root = std::getenv("QUODEM_TEST_ROOT");
    std::string base = (root != nullptr ? std::string(root) : std::string("/tmp")) + "/dir-XXXXXX";
    std::vector<char> name(base.begin(), base.end());
    name.push_back(0);
    path_ = ::mkdtemp(name.data()) != nullptr ? name.data() : "";
    EXPECT_FALSE(path_.empty());
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path_, ec)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void WriteFileBytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Records what ShowMessage shows while it lives.
class MessageCapture {
 public:
  MessageCapture() {
    previous_ = SetShowMessageHandler([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(lock_);
      texts_.push_back(text);
    });
  }
  ~MessageCapture() { SetShowMessageHandler(previous_); }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(lock_);
    return texts_;
  }

 private:
  TShowMessageHandler previous_;
  std::mutex lock_;
  std::vector<std::string> texts_;
};

// A TQuodem whose protected fields a test may read.
class TestQuodem : public TQuodem {
 public:
  using TQuodem::TQuodem;
  // As every derived class must: no worker may call into it while it is torn down.
  ~TestQuodem() override { StopWorkers(); }
  // A holder of handlers that go before the component stops its workers first.
  using TQuodem::StopWorkers;
  int SentBytes() const { return FSentBytes.load(); }
  FrameHeader SendHeader() {
    std::lock_guard<std::mutex> lock(FSendLock);
    return FSendHeader;
  }
  std::string RecvFileName() {
    std::lock_guard<std::mutex> lock(FFieldLock);
    return FRecvFileName;
  }
  // The last message buffer: `size` bytes and the byte after them. Only the reader writes
  // it, when a message frame begins; call this after an event that followed the message
  // (the recorder's lock orders the two) and before the next message frame is sent.
  Bytes MsgBuffer(std::size_t size) {
    if (!FMsgBuffer) return {};
    return Bytes(FMsgBuffer.get(), FMsgBuffer.get() + size + 1);
  }
  std::shared_ptr<TReadModemThread> Reader() {
    std::lock_guard<std::mutex> lock(FCutLock);
    return FReadThread;
  }
  // Waits until no reader worker of this component runs any more (after Cut).
  bool WaitReadersDone() {
    std::unique_lock<std::mutex> lock(FReaderLock);
    return FReadersDone.wait_for(lock, kGuard, [this] { return FLiveReaders == 0; });
  }
};

// Records the events of one component. Hooks run on the raising thread after recording.
class Recorder {
 public:
  struct Progress {
    DWORD size;
    Dataclass kind;
    bool operator==(const Progress&) const = default;
  };
  struct Message {
    Bytes data;
    bool zero_terminated;
  };
  struct FileError {
    std::string name;
    std::string reason;
    bool operator==(const FileError&) const = default;
  };

  explicit Recorder(TQuodem& modem) {
    modem.SetOnLineState([this](TQuodem* sender, CallState state) {
      Hook<CallState> hook;
      const bool held = sender->CommHandle() != INVALID_HANDLE_VALUE;
      Record([&] {
        states_.push_back(state);
        port_seen_ = port_seen_ || held;
        hook = on_state;
      });
      if (hook) hook(state);
    });
    modem.SetOnSentState([this](TQuodem*, DWORD size, Dataclass kind) {
      Record([&] { sent_.push_back({size, kind}); });
    });
    modem.SetOnLineReceive([this](TQuodem*, DWORD size, Dataclass kind) {
      Hook<Progress> hook;
      Record([&] {
        received_.push_back({size, kind});
        hook = on_progress;
      });
      if (hook) hook({size, kind});
    });
    modem.SetOnMsgReceive([this](TQuodem*, const char* buffer, DWORD size) {
      Hook<Message> hook;
      Message message{Bytes(buffer, buffer + size), buffer[size] == 0};
      Record([&] {
        messages_.push_back(message);
        hook = on_message;
      });
      if (hook) hook(message);
    });
    modem.SetOnFileReceive([this](TQuodem*, const std::string& path) {
      Hook<std::string> hook;
      Record([&] {
        files_.push_back(path);
        hook = on_file;
      });
      if (hook) hook(path);
    });
    modem.SetOnFileError([this](TQuodem*, const std::string& name, const std::string& reason) {
      Record([&] { file_errors_.push_back({name, reason}); });
    });
  }

  template <typename T>
  using Hook = std::function<void(const T&)>;
  // Set before the events they watch can come.
  Hook<CallState> on_state;
  Hook<Progress> on_progress;
  Hook<Message> on_message;
  Hook<std::string> on_file;

  bool WaitState(CallState state) {
    return Wait([&] { return std::find(states_.begin(), states_.end(), state) != states_.end(); });
  }
  // Waits for a state event raised while the component held a port: the one of the state
  // handling that took the port over and started the reader. (A csConnected event alone is
  // not enough: an event carries the state recorded when it is raised, which may be newer
  // than the state its handling acted on.)
  bool WaitPortTaken() {
    return Wait([&] { return port_seen_; });
  }
  // Waits until the end of the call has been handled: csDisconnected or csIdle (the two are
  // often coalesced into the last) after the port was taken.
  bool WaitCallEnded() {
    return Wait([&] {
      return port_seen_ && (states_.back() == csDisconnected || states_.back() == csIdle);
    });
  }
  bool WaitMessages(std::size_t count) {
    return Wait([&] { return messages_.size() >= count; });
  }
  bool WaitFiles(std::size_t count) {
    return Wait([&] { return files_.size() >= count; });
  }
  bool WaitProgress(std::size_t count) {
    return Wait([&] { return received_.size() >= count; });
  }
  bool WaitFileErrors(std::size_t count) {
    return Wait([&] { return file_errors_.size() >= count; });
  }

  std::vector<CallState> States() { return Get(states_); }
  std::vector<Progress> Sent() { return Get(sent_); }
  std::vector<Progress> Received() { return Get(received_); }
  std::vector<Message> Messages() { return Get(messages_); }
  std::vector<std::string> Files() { return Get(files_); }
  std::vector<FileError> FileErrors() { return Get(file_errors_); }
  void ClearProgress() {
    Record([&] {
      sent_.clear();
      received_.clear();
    });
  }

 private:
  template <typename F>
  void Record(F&& change) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      change();
    }
    changed_.notify_all();
  }
  template <typename F>
  bool Wait(F&& done) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kGuard, done);
  }
  template <typename T>
  T Get(const T& field) {
    std::lock_guard<std::mutex> lock(lock_);
    return field;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<CallState> states_;
  bool port_seen_ = false;
  std::vector<Progress> sent_;
  std::vector<Progress> received_;
  std::vector<Message> messages_;
  std::vector<std::string> files_;
  std::vector<FileError> file_errors_;
};

// Overlapped transfers on a raw port, each bounded by the hang guard.
inline bool RawWrite(HANDLE port, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 20));
    OVERLAPPED block;
    DWORD written = 0;
    if (!WriteFile(port, p, piece, &written, &block)) {
      if (GetLastError() != ERROR_IO_PENDING) return false;
      if (!GetOverlappedResult(port, &block, &written, TRUE)) return false;
    }
    p += piece;
    size -= piece;
  }
  return true;
}
inline bool RawWrite(HANDLE port, const Bytes& data) {
  return RawWrite(port, data.data(), data.size());
}
// Reads exactly `size` bytes unless the port fails, hangs up, or nothing comes for the guard.
inline Bytes RawRead(HANDLE port, std::size_t size) {
  Bytes out(size);
  std::size_t got = 0;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  while (got < size) {
    OVERLAPPED block;
    block.hEvent = event;
    DWORD count = 0;
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size - got, 1 << 20));
    if (!ReadFile(port, out.data() + got, piece, &count, &block)) {
      if (GetLastError() != ERROR_IO_PENDING) break;
      if (WaitForSingleObject(event, kGuardMs) != WAIT_OBJECT_0) PurgeComm(port, PURGE_RXABORT);
      const BOOL ok = GetOverlappedResult(port, &block, &count, TRUE);
      got += count;
      if (!ok) break;
      continue;
    }
    got += count;
  }
  CloseHandle(event);
  out.resize(got);
  return out;
}

// The far end of a call: its own telephony session in this process. One at a time per
// process (the callback finds it through a static pointer).
class RawPeer {
 public:
  RawPeer() {
    {
      std::lock_guard<std::mutex> lock(Registry());
      Current() = this;
    }
    DWORD devices = 0;
    EXPECT_EQ(0, lineInitialize(&app_, nullptr, &RawPeer::Callback, nullptr, &devices));
  }
  ~RawPeer() {
    ClosePort();
    if (app_ != 0) lineShutdown(app_);
    std::lock_guard<std::mutex> lock(Registry());
    Current() = nullptr;
  }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  // Opens line `device` and calls `number`; true once connected with the port in hand.
  bool Dial(const std::string& number, DWORD device = 1) {
    if (lineOpenA(app_, device, &line_, kSupportedApiHigh, 0, 0, LINECALLPRIVILEGE_OWNER,
                  LINEMEDIAMODE_DATAMODEM, nullptr) != 0) {
      return false;
    }
    if (lineMakeCallA(line_, &call_, number.c_str(), 0, nullptr) <= 0) return false;
    if (!WaitCallState(LINECALLSTATE_CONNECTED)) return false;
    alignas(VARSTRING) std::uint8_t block[1024] = {};
    auto* id = reinterpret_cast<VARSTRING*>(block);
    id->dwTotalSize = sizeof block;
    if (lineGetIDA(0, 0, call_, LINECALLSELECT_CALL, id, "comm/datamodem") != 0) return false;
    std::memcpy(&port_, block + id->dwStringOffset, sizeof port_);
    return true;
  }
  HANDLE Port() const { return port_; }
  bool Send(const Bytes& data) { return RawWrite(port_, data); }
  Bytes Receive(std::size_t size) { return RawRead(port_, size); }
  // Hangs up gracefully: what was written still reaches the component first.
  void HangUp() {
    if (call_ != 0) lineDrop(call_, nullptr, 0);
  }
  void ClosePort() {
    if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
  }
  bool WaitCallState(DWORD state) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kGuard, [&] {
      for (const auto& [call, s] : states_) {
        if (call == call_ && s == state) return true;
      }
      return false;
    });
  }

 private:
  static std::mutex& Registry() {
    static std::mutex m;
    return m;
  }
  static RawPeer*& Current() {
    static RawPeer* current = nullptr;
    return current;
  }
  static void Callback(DWORD device, DWORD message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
    if (message != LINE_CALLSTATE) return;
    std::lock_guard<std::mutex> registry(Registry());
    RawPeer* self = Current();
    if (self == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(self->lock_);
      self->states_.push_back({device, static_cast<DWORD>(p1)});
    }
    self->changed_.notify_all();
  }

  HLINEAPP app_ = 0;
  HLINE line_ = 0;
  HCALL call_ = 0;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::pair<DWORD, DWORD>> states_;
};

// A component waiting on line 0 ("101"), its recorder, and a raw far end that called it.
// Members are destroyed in reverse order: the component first (it cuts the call), then the
// far end.
class CallFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    modem = std::make_unique<TestQuodem>();
    events = std::make_unique<Recorder>(*modem);
    modem->SetSaveFileDir(dir.path());
    Connect();
  }
  void TearDown() override {
    modem.reset();  // first: its handlers refer to the recorder
    events.reset();
  }
  void Connect() {
    modem->SetLineIndex(0);
    modem->Wait();
    ASSERT_TRUE(peer.Dial("101"));
    ASSERT_TRUE(events->WaitPortTaken());
    ASSERT_NE(INVALID_HANDLE_VALUE, modem->CommHandle());
  }
  // Runs `send` while the far end reads `size` bytes, and returns them: a send larger than
  // the line's buffers completes only while the far end reads.
  Bytes ReceiveDuring(std::size_t size, const std::function<void()>& send) {
    Bytes got;
    std::thread reader([&] { got = peer.Receive(size); });
    send();
    reader.join();
    return got;
  }
  // Sends bytes to the component, then a message frame as a marker, and waits for it: every
  // frame the bytes held has then been received (the reader takes frames in order).
  void SendAndSync(const Bytes& data, std::size_t messages_before) {
    ASSERT_TRUE(peer.Send(Concat({data, MessageFrame(ToBytes("sync"))})));
    ASSERT_TRUE(events->WaitMessages(messages_before + 1));
  }

  TempDir dir;
  MessageCapture shown;
  RawPeer peer;
  std::unique_ptr<TestQuodem> modem;
  std::unique_ptr<Recorder> events;
};

}  // namespace quodem::calltest
