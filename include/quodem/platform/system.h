// System services: handles, events, overlapped port I/O, communication events and the
// current directory, with the names, arguments and results of the Win32 base services the
// component was designed on. This header is the portable interface; platform/posix/
// implements it on file descriptors, and a Windows build could map it straight onto the
// real calls.
//
// Handles
//   A HANDLE is a 32-bit value naming an event or a port. 0 is never a valid handle (it is
//   what CreateEventA/OpenEventA return on failure); INVALID_HANDLE_VALUE (all bits set)
//   means "no port". Handle values are never reused while the process runs, so a stale
//   handle fails cleanly with ERROR_INVALID_HANDLE and never reaches another object.
//
// Errors
//   Functions returning BOOL return FALSE on failure and set the calling thread's last error
//   (GetLastError is per thread). Successful calls leave the last error unspecified unless
//   documented otherwise.
//
// Overlapped port I/O (WriteFile, ReadFile with an OVERLAPPED block)
//   - The transfer is first tried on the caller's thread. A read that finds every byte it
//     asks for, and a write whose bytes all fit in the port's transmit queue, return TRUE
//     and fill the count.
//   - Otherwise it returns FALSE with ERROR_IO_PENDING and goes on in the background (one
//     process-wide I/O engine). It completes exactly once: a write when every byte has been
//     handed to the port (its last byte is in the transmit queue); a read when every
//     requested byte has arrived. A read also ends early, in error, when the port fails, is
//     purged (ERROR_OPERATION_ABORTED), is closed (ERROR_OPERATION_ABORTED), or the peer
//     hangs up (ERROR_HANDLE_EOF); the count then holds the bytes that did arrive. Once the
//     peer has hung up and every byte it sent has been read, every further read fails at
//     once with ERROR_HANDLE_EOF.
//   - The transmit queue (64 KiB; on a paced line or a terminal, about half a second of
//     line time at its speed) is what a serial driver's transmit buffer is: the port hands
//     it to the descriptor in large writes, by itself, and the bytes of a write that
//     completed are on their way. A write that finds the queue full waits for room, so
//     writes keep pace with the line. Bytes in the queue count in cbOutQue.
//   - Accepted bytes belong to the line. PURGE_TXABORT/PURGE_TXCLEAR end a pending write
//     (ERROR_OPERATION_ABORTED; its count is the bytes it had handed over), but what was
//     accepted still goes out, as bytes in a socket's kernel buffer do; only on a terminal
//     does PURGE_TXCLEAR also drop the queue (and the driver's), as a serial driver does.
//     CloseHandle ends a pending write the same way; the port then hands over what it
//     accepted before it closes its descriptor, so the peer sees the end of the stream only
//     after the last accepted byte. It gives them up if the descriptor takes nothing for 3 s
//     after the close. A process that ends normally (exit(), return from main) first waits,
//     as long as some port's queue keeps moving, until every queue is handed over; a killed
//     process loses what its queues held.
//   - A write error of the descriptor, or the peer's hang-up (the end of the stream read, or
//     a write refused), drops what the queue holds and ends a pending write with
//     ERROR_BROKEN_PIPE (count: the bytes handed over); every later write fails at once
//     with the same error. A write to a peer that is already gone usually fails at once too:
//     the first write after a pause goes straight to the descriptor.
//   - On completion the block's result is recorded and its hEvent, when not 0, is set.
//     Read the result only through GetOverlappedResult. The block, and the buffer, must stay
//     alive until the operation has completed; PurgeComm and CloseHandle complete pending
//     operations before they return, so after either returns nothing touches them.
//   - At most one read and one write may be pending per port.
//   - The layer reads nothing ahead: bytes stay in the descriptor until a read asks for them.
//   - The engine completes transfers and moves queued output from its own thread; a port
//     with nothing to send and nothing pending costs no wake-ups at all.
//
// Communication events
//   - SetCommMask sets the event mask; a WaitCommEvent pending on the port returns at once
//     (TRUE, event word 0), also when the new mask equals the old one.
//   - WaitCommEvent (blocking form only: pass no OVERLAPPED) returns TRUE with EV_RXCHAR set
//     when bytes are waiting to be read and the mask has EV_RXCHAR. Bytes already waiting
//     when the wait begins satisfy it at once, so no arriving byte goes unnoticed. With an
//     empty mask it returns at once with event word 0. It returns FALSE when the port is
//     closed. After the peer has hung up and every byte has been read it blocks until the
//     mask changes or the port is closed (nothing more can arrive, and it never spins).
//
// Every waiting call here (WaitForSingleObject, WaitForMultipleObjects, GetOverlappedResult
// with waiting, WaitCommEvent) blocks without using CPU.
#pragma once

#include <cstdint>

namespace quodem {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using HANDLE = std::uint32_t;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr HANDLE INVALID_HANDLE_VALUE = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Error codes (the values of the Win32 system error codes).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;

// Wait results.
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Communication events, functions and purge flags.
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Port error bits reported by ClearCommError.
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

constexpr DWORD EVENT_ALL_ACCESS = 0x1F0003;

// Asynchronous-transfer control block. `Internal` and `InternalHigh` belong to the system
// (status and transferred count) and are read through GetOverlappedResult only: the port
// layer writes them under its own lock, from its engine thread too, so reading them directly
// is a data race. `Internal` holds STATUS_PENDING while the operation runs, then its result
// as a system error code (ERROR_SUCCESS on success; no code the layer reports equals
// STATUS_PENDING).
constexpr ULONG_PTR STATUS_PENDING = 0x103;

struct OVERLAPPED {
  ULONG_PTR Internal = 0;
  ULONG_PTR InternalHigh = 0;
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  HANDLE hEvent = 0;
};

// Port status filled by ClearCommError. `cbInQue` counts the bytes waiting to be read.
struct COMSTAT {
  DWORD fFlags = 0;
  DWORD cbInQue = 0;
  DWORD cbOutQue = 0;
};

// Port properties filled by GetCommProperties (the fields this layer fills). Queue sizes are
// in bytes; 0 means the port has no queue of fixed size in that direction.
struct COMMPROP {
  DWORD dwMaxTxQueue = 0;
  DWORD dwMaxRxQueue = 0;
  DWORD dwCurrentTxQueue = 0;
  DWORD dwCurrentRxQueue = 0;
};

DWORD GetLastError();
void SetLastError(DWORD error);

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* written,
               OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes, DWORD* read, OVERLAPPED* overlapped);
// wait == FALSE: TRUE with the count when complete; FALSE with ERROR_IO_INCOMPLETE while
// running; FALSE with the operation's error (count moved) when it ended in error.
// wait == TRUE: blocks until the operation has ended, then as above.
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);

// Clears the port's error state; fills `errors` (may be null) with the bits that were set
// and `stat` (may be null) with the queue counts.
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
// Fills `properties` with the port's queue sizes: dwCurrentTxQueue is the transmit queue's
// capacity (see "Overlapped port I/O"), so dwCurrentTxQueue - cbOutQue is what a write can
// hand over now without waiting. The receiving side has no queue of its own (0).
BOOL GetCommProperties(HANDLE file, COMMPROP* properties);
BOOL SetCommMask(HANDLE file, DWORD mask);
BOOL GetCommMask(HANDLE file, DWORD* mask);
BOOL WaitCommEvent(HANDLE file, DWORD* event_mask, OVERLAPPED* overlapped);
// SETDTR/CLRDTR raise and lower DTR on a terminal; on a socket the request is recorded and
// passed to the port's owner (see platform/posix/descriptor_port.h).
BOOL EscapeCommFunction(HANDLE file, DWORD function);
// PURGE_TXABORT/PURGE_RXABORT end a pending write/read at once with ERROR_OPERATION_ABORTED
// and the count already moved; PURGE_RXCLEAR discards the bytes waiting to be read;
// PURGE_TXCLEAR ends a pending write as PURGE_TXABORT does and, on a terminal only, also
// discards the transmit queue and the driver's output (see "Overlapped port I/O").
BOOL PurgeComm(HANDLE file, DWORD flags);

// Events. A named event exists while any handle to it is open; CreateEventA with a name in
// use returns a new handle to that event and sets ERROR_ALREADY_EXISTS. SetEvent on a
// manual-reset event releases every thread waiting at that moment, even when ResetEvent
// follows at once; on an auto-reset event it releases one waiter (or stays set until one
// comes). `attributes` is ignored. Return 0 on failure.
// CreateEventA with a name in use keeps that event's reset mode and state; a null or empty
// name creates an unnamed event. OpenEventA: ERROR_FILE_NOT_FOUND when no event has the name.
// A wait holds on to the events it waits on: closing a handle meanwhile does not end the
// wait; it ends when the event is set through another handle, or on time-out.
HANDLE CreateEventA(void* attributes, BOOL manual_reset, BOOL initial_state, const char* name);
HANDLE OpenEventA(DWORD desired_access, BOOL inherit, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Waits on an event. (A port handle is not waitable here: WAIT_FAILED, ERROR_INVALID_HANDLE.)
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Waits until any one of `count` events is signalled; returns WAIT_OBJECT_0 + its index (the
// lowest index when several are), WAIT_TIMEOUT or WAIT_FAILED. wait_all must be FALSE
// (TRUE gives WAIT_FAILED with ERROR_NOT_SUPPORTED).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);

// Closes an event or a port. Closing a port ends every pending operation and wait on it with
// an error, then closes the descriptor once nothing uses it and the output the port accepted
// has been handed to it (see "Overlapped port I/O"). Never blocks waiting for other threads
// or for the line; may be called from any thread.
BOOL CloseHandle(HANDLE handle);

// Writes the current directory and a terminating zero into `buffer` and returns its length
// when it fits in `buffer_length` bytes; otherwise returns the size needed (terminating zero
// included) and writes nothing. Returns 0 on failure.
DWORD GetCurrentDirectoryA(DWORD buffer_length, char* buffer);

}  // namespace quodem
