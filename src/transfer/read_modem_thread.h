// TReadModemThread: the reader worker of one connected call. It waits for received
// characters on the owner's port and takes frames out of the byte stream (see
// transfer/frame.h), storing messages and saving files, with OnLineReceive progress.
#pragma once

#include <memory>
#include <mutex>

#include "quodem/component/quodem.h"

namespace quodem {

class TReadModemThread : public TThread {
 public:
  // Use TThread::Create<TReadModemThread>(true, owner), then Resume.
  explicit TReadModemThread(TQuodem* owner);
  ~TReadModemThread() override;

  // Reads up to Bytes bytes into Dest: first clears Bytes + 1 bytes of Dest when Bytes > 1,
  // then blocks (without using CPU) until the read completes; returns the count read (the
  // bytes that arrived before a failure, purge, close or hang-up). One read at a time.
  unsigned long ReadBytes(void* Dest, unsigned long Bytes);

 protected:
  void Execute() override;

 private:
  TQuodem* FOwner;
  HANDLE FReadEvent = 0;
  OVERLAPPED FReadOverlapped;
  std::unique_ptr<TFileStream> FFileStream;  // the temporary file of the incoming file frame
  std::mutex FReadLock;                      // one ReadBytes at a time
};

}  // namespace quodem
