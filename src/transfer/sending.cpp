// SendBuffer and SendFile: one frame each, written through Write as the head (marker,
// header, name), then 255-byte chunks and the rest, with DoSentState after each payload
// write.
//
// Sends on one component are serialised by FSendLock, so frames never interleave. A send
// that would wait for a send it can never see finish fails at once with its failure message
// instead: one started on this component's reader worker (a receive handler) while another
// send runs (the other send may be waiting for the peer, whose reader may be waiting for
// ours), and one started from an OnSentState handler of a send on the same thread.
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "quodem/component/quodem.h"
#include "transfer/read_modem_thread.h"

namespace quodem {
namespace {

constexpr char kDataTransferFailed[] = "データ転送に失敗しました";
constexpr char kOutOfMemory[] = "メモリー不足です";
constexpr char kFileTransferFailed[] = "ファイル転送に失敗しました";

// The components whose send runs on this thread (nested through OnSentState handlers).
thread_local std::vector<const TQuodem*> t_sending;

// Holds FSendLock for one send, or fails to when waiting could never end.
class SendTurn {
 public:
  SendTurn(const TQuodem* component, std::mutex& lock, bool wait) {
    for (const TQuodem* sending : t_sending) {
      if (sending == component) return;  // a send of this component runs on this thread
    }
    if (wait) {
      lock.lock();
    } else if (!lock.try_lock()) {
      return;
    }
    lock_ = &lock;
    t_sending.push_back(component);
  }
  ~SendTurn() {
    if (lock_ == nullptr) return;
    t_sending.pop_back();
    lock_->unlock();
  }
  SendTurn(const SendTurn&) = delete;
  SendTurn& operator=(const SendTurn&) = delete;

  explicit operator bool() const { return lock_ != nullptr; }

 private:
  std::mutex* lock_ = nullptr;
};

bool Fail(const char* message) {
  ShowMessage(message);
  return false;
}

}  // namespace

bool TQuodem::SendBuffer(const void* Source, int Bytes) {
  // Length is 16 bits: a longer message cannot be framed, and a negative count is no length.
  if (Bytes < 0 || static_cast<unsigned>(Bytes) > kMaxMessageBytes) {
    return Fail(kDataTransferFailed);
  }
  // The caller's bytes are read once, here, before anything is written.
  const auto* source = static_cast<const std::uint8_t*>(Source);
  const std::vector<std::uint8_t> payload(source, source + Bytes);

  bool sent = false;
  {
    SendTurn turn(this, FSendLock, !TReadModemThread::IsReaderThreadOf(this));
    if (turn) {
      FSendHeader = FrameHeader{};
      FSendHeader.Kind = dcMessage;
      FSendHeader.Length = static_cast<std::uint16_t>(Bytes);
      FSendHeader.Size = 0;
      std::uint8_t head[kHeadBufferBytes] = {};
      head[0] = kFrameMarker;
      EncodeFrameHeader(FSendHeader, head + 1);
      FSentBytes.store(0);
      sent =
          Write(head, kHeadBytes) && WriteFramePayload(payload.data(), static_cast<DWORD>(Bytes));
    }
  }
  // The message is shown after the turn is given back: a modal box must not hold up the
  // sends of other threads.
  return sent || Fail(kDataTransferFailed);
}

bool TQuodem::SendFile(const std::string& Path) {
  const std::string name = ExtractFileName(Path);
  // Marker, header, name and its zero byte must fit the 256-byte head.
  if (name.size() > kMaxSentNameBytes) return Fail(kFileTransferFailed);

  // Size is 32 bits on the wire: a file of 4 GiB or more is refused before it is loaded.
  // (A file that cannot be examined is left to the load below, which throws.)
  std::error_code examined;
  const std::uintmax_t on_disk = std::filesystem::file_size(Path, examined);
  if (!examined && on_disk > UINT32_MAX) return Fail(kFileTransferFailed);

  // The one copy of the file: the payload is written straight from the stream's memory.
  // A file that cannot be opened or read throws here, before anything is written.
  TMemoryStream stream;
  try {
    stream.LoadFromFile(Path);
  } catch (const std::bad_alloc&) {
    return Fail(kOutOfMemory);
  }
  const std::int64_t size = stream.Size();
  // The file may have grown since it was examined.
  if (size > static_cast<std::int64_t>(UINT32_MAX)) return Fail(kFileTransferFailed);

  bool sent = false;
  {
    SendTurn turn(this, FSendLock, !TReadModemThread::IsReaderThreadOf(this));
    if (turn) {
      FSendHeader = FrameHeader{};
      FSendHeader.Kind = dcFile;
      FSendHeader.Length = static_cast<std::uint16_t>(name.size() + 1);
      FSendHeader.Size = static_cast<std::uint32_t>(size);
      // The reader overwrites FileTotal with every header it receives; the payload below
      // is sized from `size`, never from FileTotal.
      FFileTotal.store(static_cast<DWORD>(size));
      std::uint8_t head[kHeadBufferBytes] = {};
      head[0] = kFrameMarker;
      EncodeFrameHeader(FSendHeader, head + 1);
      std::memcpy(head + kHeadBytes, name.data(), name.size());
      FSentBytes.store(0);
      sent = Write(head, kHeadBytes + FSendHeader.Length) &&
             WriteFramePayload(stream.Memory(), static_cast<DWORD>(size));
      if (sent) FSentBytes.store(0);
    }
  }
  return sent || Fail(kFileTransferFailed);
}

bool TQuodem::WriteFramePayload(const std::uint8_t* Payload, DWORD Total) {
  // FSentBytes is a signed 32-bit field; files of 2 GiB and more wrap in it and come back
  // whole as the unsigned Size of OnSentState.
  DWORD sent = 0;
  while (Total - sent >= kChunkBytes) {
    if (!Write(Payload + sent, kChunkBytes)) return false;
    sent += kChunkBytes;
    FSentBytes.store(static_cast<int>(sent));
    DoSentState();
  }
  if (sent < Total) {
    if (!Write(Payload + sent, Total - sent)) return false;
    sent = Total;
    FSentBytes.store(static_cast<int>(sent));
    DoSentState();
  }
  return true;
}

void TQuodem::DoSentState() {
  if (FCommHandle.load() == INVALID_HANDLE_VALUE) return;
  if (auto handler = OnSentState()) {
    handler(this, static_cast<DWORD>(FSentBytes.load()), static_cast<Dataclass>(FSendHeader.Kind));
  }
}

}  // namespace quodem
