// TQuodem: the modem component. A host creates one (with an owner, or none), picks a line
// from LineNames with SetLineIndex, and dials (SetDialString, Dial) or waits for a call
// (Wait). Once connected it sends messages (SendBuffer) and files (SendFile) to a peer running
// the same component, and learns everything through its events: the six of the classic
// design, then OnFileError and OnFileAccept.
//
// Threads. Events are raised directly on the thread that notices them, never handed over:
//   - the host's thread (the caller of Dial, Wait, ConfigDlg, TransDlg, SendBuffer,
//     SendFile): OnSentState, and OnLineErr from those operations;
//   - the event worker (one per component): OnLineState, and OnLineErr from state handling;
//   - the reader worker (one per connected call): OnLineReceive, OnMsgReceive,
//     OnFileAccept, OnFileReceive, OnFileError.
// A handler that updates a user interface must hand over to its own thread. Events are
// raised with no lock of the component held: a handler may call Cut, Dial, Wait, SendBuffer
// and SendFile. Destroying a component from inside one of its own event handlers is not
// supported.
//
// Deriving. The event worker starts inside TQuodem's constructor and calls the virtual
// DoLineState; reader workers call DoLineReceive, DoMsgReceive, DoFileAccept, DoFileReceive
// and DoFileError. A class derived from TQuodem must call StopWorkers() first thing in its
// destructor, so that no worker calls into it (or reads its vtable) while it is being torn
// down. Notifications that arrive while a derived constructor still runs are handled by
// TQuodem's own operations.
//
// Behaviour a host may rely on:
//   - Every notification keeps its call: the component keeps a record of each call it placed
//     or was offered, and every reaction (answer, take the port, drop, tear down) acts on the
//     call the notification is about. A late state of an old call never drops, cuts or takes
//     the port of a newer one; a call cut locally never gets its port taken; one component's
//     call never touches another component's.
//   - Notifications are coalesced per call: several states of one call that arrive before
//     the event worker runs are handled once, with the latest; the calls of one round are
//     handled in the order of their first notification. Each round raises OnLineState once,
//     with CallRecord.State as read when it is raised (the process's latest state, which may
//     be newer than what was acted on, or another component's), then OnLineErr for what
//     failed in it.
//   - Every call is torn down exactly once, when its idle state is handled (also when its
//     states merged into idle, or the host cut it before any was handled): the port is
//     released if it is the call's, the handle deallocated and the call's line closed, unless
//     Dial or Wait has opened that line again since or Wait was called on it meanwhile (it
//     then keeps waiting). When that leaves the component with no open line and no call, the
//     telephony session ends and a new one starts; the next call needs a new Dial or Wait.
//   - Wait on a line the component is waiting on already changes nothing but keeps the line
//     open when its call ends (a Wait from a csIdle handler never turns away a call being
//     offered). A waiting line holds its number or listen address: when it cannot (another
//     process waits on it, or it cannot be taken) Wait closes it again and reports
//     LINEERR_RESOURCEUNAVAIL, with the reason in telephony::ServiceProblem().
//   - Only a line opened by Wait answers offered calls; an offer on a line opened by Dial is
//     dropped.
//   - A failed request (a LINE_REPLY with an error for the component's call request or
//     answer) raises OnLineErr with that code after OnLineState; the request's call is
//     released and the line Dial opened closed. A Dial that fails at once (translation, call
//     request) reports, runs Cut and closes the line it opened.
//   - An answer or port lookup refused with LINEERR_INVALCALLSTATE is not reported: the
//     caller hung up meanwhile, and the call's next state tears it down.
//   - LINEERR_CALLUNAVAIL after a failed answer or port lookup leads to lineDialA on that
//     call instead of an OnLineErr.
//   - Cut drops this component's current call (the one it placed or answered last of those
//     not torn down), releases the port and marks the call cut.
//   - Two components in one process share one CallRecord and one notification event
//     ("LineModemEvent"); a signal that names no component's line wakes both. Each component
//     acts only on its own lines' calls.
//   - A failed line open releases the call-parameter block; Dial builds it again.
// Decided limits:
//   - Only LineIndex values 0 .. LineNames().size() - 1 select a line; any other value
//     selects none.
//   - DialString and the translated strings must fit CallRecord's areas (79, 79 and 119
//     bytes of text); longer ones are refused with LINEERR_INVALADDRESS and no call is
//     placed.
//   - The line table keeps the first 10 usable lines; names are cut to 127 bytes.
//   - Sends on one component are serialised: a second send waits for the first. A send
//     started from a receive handler (on the reader worker) while another send of the same
//     component runs fails at once with its failure message instead of waiting.
//     OnSentState runs inside its send, which keeps its turn until the frame is written: a
//     send from an OnSentState handler fails at once, and a handler must not wait for
//     another thread's send on the same component.
// Files:
//   - SendFile streams the file in blocks of 64 KiB, so its memory stays bounded whatever the
//     file's size. It opens the path without blocking and sends only a regular file: a FIFO,
//     a device or a folder throws EFOpenError, as a file that cannot be opened does, before
//     anything is written. It sends the size the file had when it was opened: a file that
//     grows meanwhile is sent as it was; one that shrinks or cannot be read once the head is
//     on the line fails the send ("ファイルの読込に失敗しました", false) and cuts the call,
//     so that the far end drops the partial frame instead of taking wrong content for a
//     whole file. Cut stops a send within one block.
//   - Every received file frame ends in exactly one OnFileReceive (saved) or one OnFileError
//     (not saved: refused, unusable name, folder or disk failure, call ended in mid-frame,
//     also by Cut or the destructor); the frame is read to its end either way, so the next
//     one arrives as before.
//     OnFileAccept comes first, for a usable name, before anything is written.
//   - Nothing is left behind: the content is in an unnamed temporary file until complete
//     where the file system has them (O_TMPFILE); elsewhere in a ".quodem-XXXXXX.part" that
//     its writer keeps locked, and a reader starting in that folder removes those whose
//     writer is gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quodem/platform/framework.h"
#include "quodem/platform/system.h"
#include "quodem/platform/telephony.h"
#include "quodem/transfer/frame.h"

namespace quodem {

class TQuodem;
class TQuodemThread;
class TReadModemThread;
namespace line {
class CallTable;
class Inbox;
class StateRound;
using OpenId = std::uint64_t;
}  // namespace line

// Call states as the component reports them (one byte in events).
enum CallState : std::uint8_t {
  csIdle = 0,
  csOffering = 1,
  csAccepted = 2,
  csDialTone = 3,
  csDialing = 4,
  csRingBack = 5,
  csBusy = 6,
  csSpecialInfo = 7,
  csConnected = 8,
  csProceeding = 9,
  csConferenced = 10,
  csOnHold = 11,
  csDisconnected = 12,
  csUnknown = 13,
};

// "csConnected" for csConnected; "csUnknown" for values outside the enumeration.
const char* CallStateName(CallState state);

using TCallStateEvent = std::function<void(TQuodem* Sender, CallState LineState)>;
using TLineErrEvent = std::function<void(TQuodem* Sender, LONG ErrState)>;
using TTransferEvent = std::function<void(TQuodem* Sender, DWORD Size, Dataclass Kind)>;
// Buffer: the received bytes followed by a zero byte, valid until the next message frame
// begins (copy it to keep it). Size: the message length.
using TMsgReceiveEvent = std::function<void(TQuodem* Sender, const char* Buffer, DWORD Size)>;
// FileTitle: the full path of the saved file (with ReplaceFiles false, the name it got).
using TFileReceiveEvent = std::function<void(TQuodem* Sender, const std::string& FileTitle)>;
// A file frame that did not end in a saved file. FileName: the name as made safe, or for a
// name that is unusable (empty, ".", "..", longer than 255 bytes) a printable form of the
// bytes received (bytes outside printable ASCII and the backslash as \xHH); a name of the
// receiver's temporary files (".quodem-XXXXXX.part") is unusable too. Reason: a short
// English text, the system's error text where there is one ("No space left on device",
// "Is a directory", "Permission denied"), otherwise "unusable name", "name longer than 255
// bytes", "refused by the host", "no folder to save into" or "the call ended before the last
// byte".
using TFileErrorEvent =
    std::function<void(TQuodem* Sender, const std::string& FileName, const std::string& Reason)>;
// Raised once the header and name of a file frame have arrived, before anything is written.
// FileName: the name as made safe; Size: the size the frame announces. Accept starts true; a
// handler that sets it false (or throws) has the frame read and dropped, and reported through
// OnFileError as "refused by the host".
using TFileAcceptEvent =
    std::function<void(TQuodem* Sender, const std::string& FileName, DWORD Size, bool& Accept)>;

// The process-wide record of the current call, shared by every component and the telephony
// callback. Members are atomic; the three strings are guarded by `Strings`.
struct TCallRecord {
  std::atomic<int> State{0};  // a CallState value
  std::atomic<LONG> RequestId{0};
  std::atomic<HCALL> Call{0};
  std::mutex Strings;
  char Dialable[80] = {};
  char DialInput[80] = {};
  char Displayable[120] = {};
  std::atomic<DWORD> TranslateResults{0};
  std::atomic<LONG> LastResult{0};
};
extern TCallRecord CallRecord;

// The name of the process-wide notification event.
inline constexpr const char* kLineEventName = "LineModemEvent";

// The telephony callback the component gives lineInitialize: records call states in
// CallRecord and signals "LineModemEvent".
void LineCallback(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                  DWORD_PTR dwParam2, DWORD_PTR dwParam3);

// One row of the line table.
struct LineEntry {
  DWORD NumAddresses = 0;  // copied from the device's capabilities
  HLINE Line = 0;          // filled when Dial or Wait opens the line
  DWORD DeviceId = 0;      // the service's device index of this line
  char Name[128] = {};     // zero-terminated, at most 127 bytes
};

constexpr int kMaxLines = 10;

class TQuodem : public TComponent {
 public:
  explicit TQuodem(TComponent* Owner = nullptr);
  // Drops a connected call and closes the port, stops the event worker and waits until no
  // worker of this component can touch it any more, closes the line and ends the session.
  ~TQuodem() override;

  std::string ClassName() const override { return "TQuodem"; }
  // LineIndex, FileTotal, DataTotal, DialString, SaveFileDir, the six events of the classic
  // design, then ReplaceFiles, OnFileError and OnFileAccept.
  std::vector<TPropInfo> PublishedProperties() const override;

  // Published properties.
  int LineIndex() const { return FLineIndex.load(); }
  void SetLineIndex(int value) { FLineIndex.store(value); }
  unsigned long FileTotal() const { return FFileTotal.load(); }
  unsigned long DataTotal() const { return FDataTotal.load(); }
  std::string DialString() const;
  void SetDialString(const std::string& value);
  std::string SaveFileDir() const;
  void SetSaveFileDir(const std::string& value);
  // True (the default): a received file replaces an existing file of its name in one step.
  // False: it is saved under the first free name of "name.ext", "name (1).ext",
  // "name (2).ext", ... and never replaces anything, also not a file that appears meanwhile.
  // Read when a file's last byte has arrived.
  bool ReplaceFiles() const { return FReplaceFiles.load(); }
  void SetReplaceFiles(bool value) { FReplaceFiles.store(value); }

  TCallStateEvent OnLineState() const;
  void SetOnLineState(TCallStateEvent handler);
  TLineErrEvent OnLineErr() const;
  void SetOnLineErr(TLineErrEvent handler);
  TTransferEvent OnSentState() const;
  void SetOnSentState(TTransferEvent handler);
  TTransferEvent OnLineReceive() const;
  void SetOnLineReceive(TTransferEvent handler);
  TMsgReceiveEvent OnMsgReceive() const;
  void SetOnMsgReceive(TMsgReceiveEvent handler);
  TFileReceiveEvent OnFileReceive() const;
  void SetOnFileReceive(TFileReceiveEvent handler);
  TFileErrorEvent OnFileError() const;
  void SetOnFileError(TFileErrorEvent handler);
  TFileAcceptEvent OnFileAccept() const;
  void SetOnFileAccept(TFileAcceptEvent handler);

  // The names of the usable lines, in row order (a copy).
  std::vector<std::string> LineNames() const;
  // The port of the connected call, INVALID_HANDLE_VALUE when none is held.
  HANDLE CommHandle() const { return FCommHandle.load(); }

  // Line control (line/). Each acts on the row selected by LineIndex; with no row selected
  // (LineIndex negative or not below the number of rows) they do nothing and raise nothing,
  // except Cut, which always runs. Telephony failures are reported through OnLineErr.
  void ModemInit();
  void Dial();
  void Wait();
  // Hangs up: requests the drop, stops the reader worker, ends pending transfers and closes
  // the port. Serialised; never waits for a worker to end; may run on any thread.
  void Cut();
  void ConfigDlg();
  void TransDlg();

  // Port I/O (link/). Write: true when every byte was handed to the port; false when no port
  // is held or the write failed. Read: bytes read into Dest (never more than Bytes, nothing
  // written beyond them); 0 when no port or no reader worker exists. Both block without using
  // CPU until the transfer ends.
  bool Write(const void* Source, unsigned long Bytes);
  unsigned long Read(void* Dest, unsigned long Bytes);

  // Sending (transfer/). One frame each; OnSentState after every 255-byte chunk of the payload (and
  // the rest). A failure shows its message through ShowMessage and returns false. SendFile throws
  // the framework's exception (EFOpenError/EReadError) when the path cannot be opened as a regular
  // file or its first block cannot be read; nothing has been written then. A read that fails later
  // fails the send and cuts the call (see Files above).
  bool SendBuffer(const void* Source, int Bytes);
  bool SendFile(const std::string& Path);

  // Event sources: each checks its guard and that the handler is assigned, then raises it.
  virtual void DoSentState();
  virtual void DoLineState();
  virtual void DoLineReceive();
  virtual void DoMsgReceive();
  virtual void DoFileReceive();
  // Raise OnFileError from FRecvErrorName and FRecvErrorReason, and OnFileAccept from
  // FRecvFileName and FRecvHeader.Size, storing the answer in FRecvAccept; guarded as
  // DoFileReceive is.
  virtual void DoFileError();
  virtual void DoFileAccept();

 protected:
  // Fields, in the order of the component's design. Shared ones are atomic or guarded.
  HANDLE FLineEvent = 0;
  std::atomic<int> FLineIndex{-1};
  std::atomic<int> FSentBytes{0};
  std::atomic<DWORD> FDataTotal{0};
  std::atomic<DWORD> FFileTotal{0};
  std::string FDialString;    // guarded by FFieldLock
  std::string FSaveFileDir;   // guarded by FFieldLock
  std::string FRecvFileName;  // guarded by FFieldLock
  TStringList FLineNames;     // guarded by FLineLock
  FrameHeader FSendHeader;    // guarded by FSendLock
  std::atomic<HLINEAPP> FLineApp{0};
  std::atomic<DWORD> FNumDevs{0};
  std::atomic<DWORD> FApiVersion{0};
  LineEntry FLines[kMaxLines];  // guarded by FLineLock
  LINEEXTENSIONID FExtensionId;
  // Unused: Dial keeps its translation block local, so that a Dial from an event handler and
  // one on the host's thread never share it. Kept for the designed field order.
  std::unique_ptr<std::uint8_t[]> FTranslateOutput;
  std::unique_ptr<std::uint8_t[]> FCallParams;  // guarded by FLineLock
  TCallStateEvent FOnLineState;                 // the six: guarded by FEventLock
  TLineErrEvent FOnLineErr;
  TTransferEvent FOnSentState;
  TTransferEvent FOnLineReceive;
  TMsgReceiveEvent FOnMsgReceive;
  TFileReceiveEvent FOnFileReceive;
  TFileErrorEvent FOnFileError;  // guarded by FEventLock, as the six
  TFileAcceptEvent FOnFileAccept;
  std::shared_ptr<TQuodemThread> FEventThread;
  std::shared_ptr<TReadModemThread> FReadThread;  // guarded by FCutLock
  OVERLAPPED FWriteOverlapped;                    // guarded by FWriteLock (used by Write)
  // Set by every Cut; cleared when a call's disconnected or idle state has been handled and
  // when Dial or Wait opens a line. State handling decides by each call's own record (see
  // line/call_table.h); this flag only tells what happened last.
  std::atomic<bool> FLocalCut{false};
  std::unique_ptr<char[]> FMsgBuffer;  // receive side (see FReceiveLock)
  std::atomic<DWORD> FRecvBytes{0};
  std::atomic<HANDLE> FCommHandle{INVALID_HANDLE_VALUE};  // written under FCutLock
  FrameHeader FRecvHeader;                                // receive side (see FReceiveLock)

  // Beyond the classic design.
  //
  // Locks, outermost first. None is held while an event is raised, and none is taken while a
  // lock that comes after it in this list is held:
  //   FSendLock     one send at a time (FSendHeader, the frame's writes)
  //   FCallLock     line control: the session (start, restart, end), line opens, the call
  //                 table and the calls Dial places. Held across telephony calls, which never
  //                 call back while it is held (the callback takes only the inbox's own lock).
  //   FCutLock      the port and the reader: FCommHandle, FPortCall, FReadThread
  //   FWriteLock    one Write at a time on FWriteOverlapped
  //   FReceiveLock  held by a reader worker while it receives (see below)
  //   FReaderLock, FLineLock, FFieldLock, FEventLock: leaves guarding plain fields
  std::mutex FSendLock;
  std::mutex FCallLock;
  std::mutex FCutLock;
  std::mutex FWriteLock;
  // Held by a reader worker while it receives, so that a reader let go by Cut and still
  // finishing a frame never overlaps the next call's reader on FRecvHeader and FMsgBuffer.
  std::mutex FReceiveLock;
  mutable std::mutex FFieldLock;  // the strings
  mutable std::mutex FLineLock;   // line table, names, call parameters
  mutable std::mutex FEventLock;  // the eight closures

  // Line control (line/): the lines this component opened and the calls it placed or was
  // offered (guarded by FCallLock), and where the telephony callback leaves notifications
  // for it (guarded by its own lock).
  std::unique_ptr<line::CallTable> FCalls;
  std::shared_ptr<line::Inbox> FInbox;
  HCALL FPortCall = 0;    // the call whose port is held (guarded by FCutLock)
  HANDLE FStopEvent = 0;  // private wake-up of this component's event worker
  // Reader workers alive (started and not yet past their last use of this component).
  std::mutex FReaderLock;
  std::condition_variable FReadersDone;
  int FLiveReaders = 0;

  // Receive side, beyond the classic design (see FReceiveLock): whether the frame being
  // received began while the port was held (DoMsgReceive and DoFileReceive deliver such a
  // frame even when the call was cut meanwhile), and the path its file was saved to.
  std::atomic<bool> FRecvPortHeld{false};
  std::string FRecvFilePath;  // guarded by FFieldLock
  // Beyond the classic design: ReplaceFiles; the answer of the last OnFileAccept; the
  // FileName and Reason of the last OnFileError (guarded by FFieldLock).
  std::atomic<bool> FReplaceFiles{true};
  std::atomic<bool> FRecvAccept{true};
  std::string FRecvErrorName;
  std::string FRecvErrorReason;

  // Drops a connected call and closes the port, stops the event worker and waits until no
  // worker of this component can touch it any more. Run by the destructor; a derived class
  // runs it at the start of its own destructor (see the top of this file). Only the first
  // call does anything. Must not be called from an event handler of this component.
  void StopWorkers();

  // The second half of Cut (line/): stops the reader worker and purges and closes the port,
  // when held (ReleasePortOf: only when it is `call`'s). Serialised by FCutLock; never waits
  // for a worker.
  void ReleasePort();
  void ReleasePortOf(HCALL call);
  // Line control's helpers (line/call_control.cpp). OpenLine and CloseOpenLine run with
  // FCallLock held.
  bool SelectedDevice(int* index, DWORD* device) const;
  LONG OpenLine(DWORD device, int index, bool for_wait, HLINE* line, line::OpenId* id);
  void CloseOpenLine(line::OpenId id);

  // Starts the reader worker for the port just taken over, when none runs (transfer/).
  // Called by state handling with FCutLock held.
  void StartReadWorker();
  // Writes Bytes of a send's payload, with DoSentState after every 255-byte chunk and after
  // the rest (FSentBytes: 255, 510, ..., as if each chunk were one write), each raised once
  // the chunk has been handed to the port. The chunks go in writes of several (PayloadPiece).
  // Offset is the number of payload bytes written before them (FSentBytes counts from the
  // start of the payload). False when a write failed. Called by the senders with FSendLock
  // held (transfer/).
  bool WriteFramePayload(const std::uint8_t* Payload, DWORD Bytes, DWORD Offset);
  // How many of Remaining payload bytes the next write takes: whole chunks, as many as the
  // port's transmit queue has room for now (at least a quarter of the queue, at least one
  // chunk), or all Remaining when they fit.
  DWORD PayloadPiece(DWORD Remaining) const;

  friend class TQuodemThread;
  friend class TReadModemThread;
  friend class line::StateRound;
};

// Registers TQuodem on the palette page "Samples" (and nothing else there).
void Register();

// The package's metadata.
struct PackageInfo {
  const char* description;        // "Modem Component's"
  const char* file_version;       // "1.0.0.0"
  const char* product_version;    // "1.0.0.0"
  std::uint16_t version[4];       // 1, 0, 0, 0
  std::uint16_t language;         // 0x0411
  std::uint16_t code_page;        // 932
  const char* required_packages;  // the one runtime package: "vcl50"
};
const PackageInfo& QuodemPackageInfo();

}  // namespace quodem
