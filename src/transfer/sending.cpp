// SendBuffer and SendFile: one frame each, written through Write as the head (marker,
// header, name), then the payload in pieces of whole 255-byte chunks (and the rest), as
// large as the port's transmit queue takes at once, with DoSentState after each chunk of a
// piece once the piece was handed over. SendFile streams the file: it holds one block of it
// at a time.
//
// Sends on one component are serialised by FSendLock, so frames never interleave. A send
// that would wait for a send it can never see finish fails at once with its failure message
// instead: one started on this component's reader worker (a receive handler) while another
// send runs (the other send may be waiting for the peer, whose reader may be waiting for
// ours), and one started from an OnSentState handler of a send on the same thread.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "quodem/component/quodem.h"
#include "transfer/read_modem_thread.h"

namespace quodem {
namespace {

constexpr char kDataTransferFailed[] = "データ転送に失敗しました";
constexpr char kOutOfMemory[] = "メモリー不足です";
constexpr char kFileTransferFailed[] = "ファイル転送に失敗しました";
constexpr char kReadFailed[] = "ファイルの読込に失敗しました";

// SendFile reads the file in blocks of this size, so its memory stays bounded whatever the
// file's size, and a Cut takes effect before the next block is read.
constexpr std::size_t kSendFileBlockBytes = 64 * 1024;
// Each block but the last is a whole number of 255-byte chunks, so the chunks, and the
// progress reports after them, fall where they would for the payload in one piece.
constexpr DWORD kSendBlockBytes =
    static_cast<DWORD>(kSendFileBlockBytes / kChunkBytes * kChunkBytes);
static_assert(kSendBlockBytes >= kChunkBytes);

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
      sent = Write(head, kHeadBytes) &&
             WriteFramePayload(payload.data(), static_cast<DWORD>(Bytes), 0);
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

  // Opened without blocking, and only as a regular file: a FIFO, a device or a folder throws
  // here as a missing file does, before anything is written.
  TFileStream file(Path, TFileStream::fmOpenRead);
  // The size seen now is what is sent: a file that grows meanwhile is sent as it was. Size is
  // 32 bits on the wire: a file of 4 GiB or more is refused.
  const std::int64_t size = file.Size();
  if (size > static_cast<std::int64_t>(UINT32_MAX)) return Fail(kFileTransferFailed);
  const auto total = static_cast<DWORD>(size);

  std::vector<std::uint8_t> block;
  try {
    block.resize(std::min<DWORD>(total, kSendBlockBytes));
  } catch (const std::bad_alloc&) {
    return Fail(kOutOfMemory);
  }
  // The first block is read before anything is written, so a file that cannot be read throws
  // (EReadError) with nothing on the line, and one already shorter than its size fails.
  DWORD in_block = std::min<DWORD>(total, kSendBlockBytes);
  if (file.Read(block.data(), in_block) != in_block) return Fail(kReadFailed);

  const char* failure = kFileTransferFailed;
  bool sent = false;
  {
    SendTurn turn(this, FSendLock, !TReadModemThread::IsReaderThreadOf(this));
    if (turn) {
      FSendHeader = FrameHeader{};
      FSendHeader.Kind = dcFile;
      FSendHeader.Length = static_cast<std::uint16_t>(name.size() + 1);
      FSendHeader.Size = total;
      // The reader overwrites FileTotal with every header it receives; the payload below
      // is sized from `total`, never from FileTotal.
      FFileTotal.store(total);
      std::uint8_t head[kHeadBufferBytes] = {};
      head[0] = kFrameMarker;
      EncodeFrameHeader(FSendHeader, head + 1);
      std::memcpy(head + kHeadBytes, name.data(), name.size());
      FSentBytes.store(0);
      sent = Write(head, kHeadBytes + FSendHeader.Length);
      DWORD done = 0;
      while (sent) {
        sent = WriteFramePayload(block.data(), in_block, done);
        done += in_block;
        if (!sent || done == total) break;
        // Cut ends the send here at the latest: no further block is read for a closed port.
        if (FCommHandle.load() == INVALID_HANDLE_VALUE) {
          sent = false;
          break;
        }
        in_block = std::min<DWORD>(total - done, kSendBlockBytes);
        bool read = false;
        try {
          read = file.Read(block.data(), in_block) == in_block;
        } catch (const EStreamError&) {
          // An I/O error: as a file that shrank.
        }
        if (!read) {
          // The head announced bytes the file no longer has. The call is cut inside this send's
          // turn, so no other frame follows the partial one, and the far end drops it rather
          // than take what comes next as its missing bytes.
          sent = false;
          failure = kReadFailed;
          Cut();
        }
      }
      if (sent) FSentBytes.store(0);
    }
  }
  return sent || Fail(failure);
}

DWORD TQuodem::PayloadPiece(DWORD Remaining) const {
  if (Remaining <= kChunkBytes) return Remaining;
  // As much as the port's transmit queue takes without waiting, so the piece is handed over
  // at once and its progress follows at once; when the queue is (nearly) full, a quarter of
  // it, so that a sender ahead of its line waits in a few large writes rather than in many
  // small ones. The queue holds about half a second of line time on a slow line, so the wait
  // for a quarter of it keeps the progress smooth there.
  DWORD limit = kChunkBytes;
  const HANDLE port = FCommHandle.load();
  COMMPROP properties;
  DWORD errors = 0;
  COMSTAT status;
  if (port != INVALID_HANDLE_VALUE && GetCommProperties(port, &properties) &&
      ClearCommError(port, &errors, &status)) {
    const DWORD capacity = properties.dwCurrentTxQueue;
    const DWORD room = capacity > status.cbOutQue ? capacity - status.cbOutQue : 0;
    limit = std::max(room, capacity / 4);
  }
  if (limit >= Remaining) return Remaining;
  return std::max<DWORD>(limit / kChunkBytes, 1) * kChunkBytes;
}

bool TQuodem::WriteFramePayload(const std::uint8_t* Payload, DWORD Bytes, DWORD Offset) {
  // FSentBytes is a signed 32-bit field; files of 2 GiB and more wrap in it and come back
  // whole as the unsigned Size of OnSentState.
  DWORD sent = 0;
  while (sent < Bytes) {
    // A piece is whole 255-byte chunks, or the rest of the payload.
    const DWORD end = sent + PayloadPiece(Bytes - sent);
    if (!Write(Payload + sent, end - sent)) return false;
    // Progress as the chunks of the piece, each now handed to the port: after every whole
    // chunk, and after the rest. A Cut from a handler ends the send there, as it would have
    // failed the next chunk's own write: nothing more is counted or reported.
    for (DWORD first = sent; sent < end;) {
      if (sent != first && FCommHandle.load() == INVALID_HANDLE_VALUE) return false;
      sent += std::min<DWORD>(kChunkBytes, end - sent);
      FSentBytes.store(static_cast<int>(Offset + sent));
      DoSentState();
    }
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
