// TReadModemThread: the reader worker of one connected call. It waits for received
// characters on the owner's port and takes frames out of the byte stream (see
// transfer/frame.h), storing messages and saving files, with OnLineReceive progress.
//
// How it behaves where the frame format leaves room:
//   - It never spins: it sleeps in WaitCommEvent between frames, and a payload read asks for
//     what is queued (up to 64 KiB) or, with nothing queued, for the next 2 KiB (at most
//     what the frame still lacks), blocking until they arrive.
//   - A stop request (Cut) or a closed or hung-up port ends the frame being received: the
//     partial frame is dropped and its temporary file removed; a partial message raises
//     nothing, a partial file frame its OnFileError. A frame whose bytes have all arrived is
//     still completed (stored or saved, event raised), also when the stop came meanwhile,
//     before the worker ends.
//   - A hang-up (every read ends at once with ERROR_HANDLE_EOF) drops the partial frame and
//     sends the worker back to waiting for port events.
//   - Files are streamed into a temporary file (transfer/received_file.h) under a name made
//     safe (transfer/file_name.h). Every file frame ends in exactly one of OnFileReceive (saved)
//     and OnFileError (not saved): a frame with an unusable name or a name Length above 255,
//     one the host refuses in OnFileAccept, and one whose save fails are read to their end
//     and dropped, so the stream stays in step; their payload still raises OnLineReceive.
//   - At its start, and before its first file into any other folder, the worker removes the
//     stale temporary files that killed receivers left in the save folder.
//   - Exceptions thrown by event handlers are caught and ignored, so they cannot break the
//     stream.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "quodem/component/quodem.h"
#include "transfer/received_file.h"

namespace quodem {

class TReadModemThread : public TThread {
 public:
  // Use TThread::Create<TReadModemThread>(true, owner), then Resume. The owner counts the
  // worker in FLiveReaders before resuming it; the worker counts itself out as the very last
  // thing it does with the owner.
  explicit TReadModemThread(TQuodem* owner);
  ~TReadModemThread() override;

  // Reads up to Bytes bytes into Dest: first clears Bytes + 1 bytes of Dest when Bytes > 1,
  // then blocks (without using CPU) until the read completes; returns the count read (the
  // bytes that arrived before a failure, purge, close or hang-up). One read at a time.
  unsigned long ReadBytes(void* Dest, unsigned long Bytes);

  // The host's Read: as ReadBytes, but writes nothing beyond Bytes (it clears Bytes bytes
  // when Bytes > 1, not Bytes + 1).
  unsigned long ReadForHost(void* Dest, unsigned long Bytes);

  // True on the thread of a reader worker of `owner`, while its body runs.
  static bool IsReaderThreadOf(const TQuodem* owner);

 protected:
  void Execute() override;

 private:
  // Why a frame ended early.
  enum class FrameResult { kDone, kBroken };

  // The owner's port for the next operation: INVALID_HANDLE_VALUE when it holds none or a
  // stop was requested. Read before the stop flag, so a port stored after a Cut is never
  // used by a worker that Cut let go.
  HANDLE CurrentPort() const;
  DWORD QueuedBytes() const;
  // One overlapped read into Dest; clears nothing.
  unsigned long ReadPort(void* Dest, DWORD Bytes);

  void ReceiveLoop();
  FrameResult ReceiveFrame();
  FrameResult ReceiveMessage(const FrameHeader& header);
  FrameResult ReceiveFile(const FrameHeader& header);
  // How much the next payload read asks for, with `remaining` bytes still missing and room
  // for `room`.
  DWORD PayloadRequest(DWORD remaining, DWORD room) const;
  // Reads `total` bytes of the current frame. A payload (`payload` true) counts in
  // FRecvBytes with DoLineReceive after each read and goes into `into` (a message buffer
  // with one spare byte) or, when `into` is null, through FBuffer into FFile while one
  // is open (a write that fails closes it and records why in FFileFailure). Anything else
  // (the rest of an oversized name) is read into FBuffer and dropped.
  FrameResult ReadSpan(DWORD total, std::uint8_t* into, bool payload);

  // Raises OnFileAccept for the frame's file; false when the host refused it (or its handler
  // threw).
  bool AcceptFile();
  // Raises OnFileError for the current file frame.
  void ReportFileError(const std::string& name, const std::string& reason);
  // Removes stale temporary files from `directory`, once per folder in a row.
  void SweepFolder(const std::string& directory);

  TQuodem* FOwner;
  HANDLE FReadEvent = 0;
  OVERLAPPED FReadOverlapped;
  std::unique_ptr<ReceivedFile> FFile;      // the temporary file of the incoming file frame
  std::string FFileFailure;                 // why that frame will not be saved, once known
  std::string FSweptFolder;                 // the folder swept last
  std::unique_ptr<std::uint8_t[]> FBuffer;  // payload reads of files and skipped bytes
  std::mutex FReadLock;                     // one ReadBytes at a time
};

}  // namespace quodem
