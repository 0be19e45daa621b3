// The reader worker: waits for port events, takes frames out of the byte stream and turns
// them into messages and saved files.
#include "transfer/read_modem_thread.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "transfer/file_name.h"

namespace quodem {
namespace {

// Payload reads of files go through a buffer of this size, so a read of a large file costs
// few system calls and bounded memory whatever size the peer announces.
constexpr DWORD kBufferBytes = 64 * 1024;

// With nothing queued, a payload read asks for this much (or the rest of the frame, if less)
// and sleeps until it is in. Several of a sender's 255-byte chunks per wake-up keep the
// receiver's cost per byte low on a fast line (where senders hand over large blocks anyway);
// 2 KiB still means a progress report at least every 0.7 s on a 28.8 kbit/s modem.
constexpr DWORD kEmptyQueueRequest = 2 * 1024;

// Reasons of OnFileError that are not the system's error texts.
constexpr char kReasonUnusableName[] = "unusable name";
constexpr char kReasonNameTooLong[] = "name longer than 255 bytes";
constexpr char kReasonRefused[] = "refused by the host";
constexpr char kReasonCallEnded[] = "the call ended before the last byte";
constexpr char kReasonNoFolder[] = "no folder to save into";

// The component the current thread reads for, while a reader worker's body runs on it.
thread_local const TQuodem* t_reading_for = nullptr;

// Runs an event source; a handler's exception must not break the stream or end the worker.
template <typename F>
void RaiseEvent(F&& raise) {
  try {
    raise();
  } catch (...) {
  }
}

}  // namespace

TReadModemThread::TReadModemThread(TQuodem* owner)
    : FOwner(owner), FBuffer(std::make_unique<std::uint8_t[]>(kBufferBytes + 1)) {
  SetFreeOnTerminate(true);
  FReadEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (FReadEvent != 0) {
    FReadOverlapped.Offset = 0;
    FReadOverlapped.OffsetHigh = 0;
    FReadOverlapped.hEvent = FReadEvent;
  }
}

TReadModemThread::~TReadModemThread() {
  // Execute removes its temporary file itself; this only covers a worker that never ran.
  FFile.reset();
  if (FReadEvent != 0) CloseHandle(FReadEvent);
}

bool TReadModemThread::IsReaderThreadOf(const TQuodem* owner) {
  return owner != nullptr && t_reading_for == owner;
}

HANDLE TReadModemThread::CurrentPort() const {
  // Cut requests the stop before it clears the handle and closes the port, and a new port is
  // only stored after that; so a handle read here before the stop flag is seen clear
  // belongs to this worker's call.
  const HANDLE port = FOwner->FCommHandle.load();
  if (Terminated()) return INVALID_HANDLE_VALUE;
  return port;
}

DWORD TReadModemThread::QueuedBytes() const {
  const HANDLE port = CurrentPort();
  if (port == INVALID_HANDLE_VALUE) return 0;
  DWORD errors = 0;
  COMSTAT status;
  // Communication errors are cleared here and otherwise ignored: a damaged byte is data.
  if (!ClearCommError(port, &errors, &status)) return 0;
  return status.cbInQue;
}

unsigned long TReadModemThread::ReadPort(void* Dest, DWORD Bytes) {
  std::lock_guard<std::mutex> lock(FReadLock);
  const HANDLE port = CurrentPort();
  if (port == INVALID_HANDLE_VALUE || Bytes == 0) return 0;
  DWORD count = 0;
  if (ReadFile(port, Dest, Bytes, &count, &FReadOverlapped)) return count;
  DWORD errors = 0;
  COMSTAT status;
  if (GetLastError() != ERROR_IO_PENDING) {
    ClearCommError(port, &errors, &status);
    return 0;
  }
  // Ended in error (purged, closed, hung up): the bytes that did arrive count.
  if (!GetOverlappedResult(port, &FReadOverlapped, &count, TRUE)) {
    ClearCommError(port, &errors, &status);
  }
  return count;
}

unsigned long TReadModemThread::ReadBytes(void* Dest, unsigned long Bytes) {
  // Reads of more than 4 GiB - 1 are asked for as that much.
  const auto count = static_cast<DWORD>(std::min<unsigned long>(Bytes, 0xFFFFFFFFu));
  if (count > 1) std::memset(Dest, 0, static_cast<std::size_t>(count) + 1);
  return ReadPort(Dest, count);
}

unsigned long TReadModemThread::ReadForHost(void* Dest, unsigned long Bytes) {
  const auto count = static_cast<DWORD>(std::min<unsigned long>(Bytes, 0xFFFFFFFFu));
  if (count > 1) std::memset(Dest, 0, count);
  return ReadPort(Dest, count);
}

void TReadModemThread::Execute() {
  t_reading_for = FOwner;
  try {
    ReceiveLoop();
  } catch (...) {
    // Nothing below throws on purpose; whatever did ends this worker quietly.
  }
  FFile.reset();
  t_reading_for = nullptr;
  // The very last use of the owner: its destructor waits for this count to reach 0 and may
  // free the component as soon as the lock is released.
  std::lock_guard<std::mutex> lock(FOwner->FReaderLock);
  --FOwner->FLiveReaders;
  FOwner->FReadersDone.notify_all();
}

void TReadModemThread::ReceiveLoop() {
  // A worker that Cut let go may still be finishing a frame; the next call's worker starts
  // receiving only after it.
  std::lock_guard<std::mutex> receiving(FOwner->FReceiveLock);
  HANDLE port = CurrentPort();
  if (port == INVALID_HANDLE_VALUE || !SetCommMask(port, EV_RXCHAR)) return;
  // Whatever receivers killed in mid-file left in the save folder goes before new files come.
  std::string folder;
  {
    std::lock_guard<std::mutex> lock(FOwner->FFieldLock);
    folder = FOwner->FSaveFileDir;
  }
  SweepFolder(folder);
  while (!Terminated()) {
    port = CurrentPort();
    if (port == INVALID_HANDLE_VALUE) return;
    DWORD events = 0;
    // Blocks until bytes are waiting or the mask changes (Cut clears it); fails once the
    // port is closed.
    if (!WaitCommEvent(port, &events, nullptr)) return;
    if (Terminated()) return;
    if ((events & EV_RXCHAR) == 0) continue;
    // Frames that arrived together are all taken before waiting again. A broken frame (stop,
    // close, hang-up) sends the worker back to the wait, which ends it on a stop.
    while (ReceiveFrame() == FrameResult::kDone && !Terminated() && QueuedBytes() > 0) {
    }
  }
}

TReadModemThread::FrameResult TReadModemThread::ReceiveFrame() {
  // Bytes before the marker are dropped, one at a time so nothing after it is taken.
  std::uint8_t byte = 0;
  do {
    if (ReadPort(&byte, 1) != 1) return FrameResult::kBroken;
  } while (byte != kFrameMarker);
  FOwner->FRecvPortHeld.store(FOwner->FCommHandle.load() != INVALID_HANDLE_VALUE);

  std::uint8_t staging[kHeaderBytes + 1];  // ReadBytes clears one byte beyond the header
  if (ReadBytes(staging, kHeaderBytes) != kHeaderBytes) return FrameResult::kBroken;
  const FrameHeader header = DecodeFrameHeader(staging);
  FOwner->FRecvHeader = header;
  FOwner->FDataTotal.store(header.Length);
  FOwner->FFileTotal.store(header.Size);
  const FrameResult result =
      header.Kind == dcMessage ? ReceiveMessage(header) : ReceiveFile(header);
  FOwner->FRecvPortHeld.store(false);
  return result;
}

TReadModemThread::FrameResult TReadModemThread::ReceiveMessage(const FrameHeader& header) {
  // Length + 1 <= 65536 bytes: bounded whatever the peer announces.
  FOwner->FMsgBuffer.reset(new (std::nothrow) char[header.Length + 1]());
  auto* buffer = reinterpret_cast<std::uint8_t*>(FOwner->FMsgBuffer.get());
  if (buffer == nullptr) {
    // No room for the message: read past it and drop it.
    return ReadSpan(header.Length, nullptr, true);
  }
  if (ReadSpan(header.Length, buffer, true) != FrameResult::kDone) return FrameResult::kBroken;
  RaiseEvent([this] { FOwner->DoMsgReceive(); });
  return FrameResult::kDone;
}

TReadModemThread::FrameResult TReadModemThread::ReceiveFile(const FrameHeader& header) {
  FFileFailure.clear();
  // The name: a usable one is at most 255 bytes. Of a longer one the first bytes are kept for
  // the report and the rest is read and dropped.
  const bool over_long = header.Length > kMaxReceivedNameLength;
  const DWORD kept = std::min<DWORD>(header.Length, kMaxReceivedNameLength + 1);
  char raw[kMaxReceivedNameLength + 2] = {};  // ReadBytes clears one byte beyond its count
  const auto got = static_cast<DWORD>(kept > 0 ? ReadBytes(raw, kept) : 0);
  const std::string received(raw, strnlen(raw, got));
  if (got != kept ||
      (over_long && ReadSpan(header.Length - kept, nullptr, false) != FrameResult::kDone)) {
    ReportFileError(PrintableFileName(received), kReasonCallEnded);
    return FrameResult::kBroken;
  }
  const std::string name = over_long ? std::string() : SafeReceivedFileName(received);
  // Reports name the file as it would have been saved, or show what arrived.
  const std::string shown = name.empty() ? PrintableFileName(received) : name;

  std::string directory;
  {
    std::lock_guard<std::mutex> lock(FOwner->FFieldLock);
    FOwner->FRecvFileName = name;
    // The folder is taken once per frame: the temporary file and the target must be in the
    // same one. A change by the host applies from the next frame.
    directory = FOwner->FSaveFileDir;
  }
  if (over_long) {
    FFileFailure = kReasonNameTooLong;
  } else if (name.empty() || IsReceiveTempName(name)) {
    // (A name of the temporary files' pattern is unusable too: a peer must neither replace
    // another receiver's file in progress nor have its own swept away.)
    FFileFailure = kReasonUnusableName;
  } else if (!AcceptFile()) {
    FFileFailure = kReasonRefused;
  } else if (directory.empty()) {
    FFileFailure = kReasonNoFolder;
  } else {
    SweepFolder(directory);
    std::error_code error;
    FFile = ReceivedFile::Create(directory, error);
    if (!FFile) FFileFailure = error.message();
  }

  // A frame that is not saved is still read to its end, so the next frame is found.
  if (ReadSpan(header.Size, nullptr, true) != FrameResult::kDone) {
    FFile.reset();
    ReportFileError(shown, FFileFailure.empty() ? kReasonCallEnded : FFileFailure);
    return FrameResult::kBroken;
  }
  if (!FFile) {
    ReportFileError(shown, FFileFailure);
    return FrameResult::kDone;
  }
  std::string saved;
  const std::error_code error = FFile->Commit(name, FOwner->ReplaceFiles(), saved);
  FFile.reset();
  if (error) {
    ReportFileError(shown, error.message());
    return FrameResult::kDone;
  }
  {
    std::lock_guard<std::mutex> lock(FOwner->FFieldLock);
    FOwner->FRecvFilePath = saved;
  }
  RaiseEvent([this] { FOwner->DoFileReceive(); });
  return FrameResult::kDone;
}

bool TReadModemThread::AcceptFile() {
  bool accepted = false;
  RaiseEvent([&] {
    FOwner->FRecvAccept.store(true);
    FOwner->DoFileAccept();
    accepted = FOwner->FRecvAccept.load();
  });
  return accepted;
}

void TReadModemThread::ReportFileError(const std::string& name, const std::string& reason) {
  {
    std::lock_guard<std::mutex> lock(FOwner->FFieldLock);
    FOwner->FRecvErrorName = name;
    FOwner->FRecvErrorReason = reason;
  }
  RaiseEvent([this] { FOwner->DoFileError(); });
}

void TReadModemThread::SweepFolder(const std::string& directory) {
  if (directory.empty() || directory == FSweptFolder) return;
  RemoveStaleReceiveFiles(directory);
  FSweptFolder = directory;
}

DWORD TReadModemThread::PayloadRequest(DWORD remaining, DWORD room) const {
  // What is queued is there at once. With nothing queued, ask for the next few chunks and
  // sleep until they are in: the read never asks for more than the frame still lacks, so it
  // cannot take bytes of the next frame, and a sender that hangs up mid-way ends it early.
  const DWORD queued = QueuedBytes();
  const DWORD want = queued > 0 ? queued : kEmptyQueueRequest;
  return std::min({want, remaining, room});
}

TReadModemThread::FrameResult TReadModemThread::ReadSpan(DWORD total, std::uint8_t* into,
                                                         bool payload) {
  if (payload) FOwner->FRecvBytes.store(0);
  DWORD remaining = total;
  while (remaining > 0) {
    std::uint8_t* dest = into != nullptr ? into + (total - remaining) : FBuffer.get();
    const DWORD want = PayloadRequest(remaining, into != nullptr ? remaining : kBufferBytes);
    const auto got = static_cast<DWORD>(ReadBytes(dest, want));
    if (got > 0) {
      remaining -= got;
      if (payload) {
        if (into == nullptr && FFile) {
          // Disk full, quota, I/O error: the rest of the frame is read and dropped.
          if (const std::error_code error = FFile->Write(dest, got)) {
            FFile.reset();
            FFileFailure = error.message();
          }
        }
        FOwner->FRecvBytes.fetch_add(got);
        RaiseEvent([this] { FOwner->DoLineReceive(); });
      }
    }
    // A read that ended early means the port failed, was purged or closed, or the peer hung
    // up; a stop request ends the frame too. Only a frame that is complete survives either.
    if (remaining > 0 && (got < want || Terminated())) return FrameResult::kBroken;
  }
  return FrameResult::kDone;
}

void TQuodem::StartReadWorker() {
  if (FReadThread) {
    FReadThread->Resume();
    return;
  }
  auto reader = TThread::Create<TReadModemThread>(true, this);
  {
    std::lock_guard<std::mutex> lock(FReaderLock);
    ++FLiveReaders;
  }
  FReadThread = reader;
  try {
    reader->Resume();
  } catch (...) {
    // The thread could not be started: no worker for this call, and none to wait for.
    FReadThread.reset();
    std::lock_guard<std::mutex> lock(FReaderLock);
    --FLiveReaders;
    FReadersDone.notify_all();
  }
}

}  // namespace quodem
