// What the telephony service offers beyond the line functions of platform/telephony.h: the
// configuration of its lines, a query of who holds a line's number, the dialog hooks, and
// fault injection for tests.
//
// Lines and providers
//   Without a configuration file the devices are, in this order:
//     0 "Local line 1"  provider "exchange", number 101
//     1 "Local line 2"  provider "exchange", number 102
//     2 "TCP/IP line"   provider "tcp", listening on 127.0.0.1:6400 when waiting
//   Every line reports LINEMEDIAMODE_DATAMODEM, LINEBEARERMODE_VOICE, one address and its
//   name.
//
// Local exchange
//   The exchange is a folder: $QUODEM_EXCHANGE_DIR when set, else $XDG_RUNTIME_DIR/quodem
//   when $XDG_RUNTIME_DIR is an existing folder, else /tmp/quodem-<uid>. It is created with
//   mode 0700; a folder owned by another user or writable by group or others is refused.
//   A line opened with owner privilege takes its number when free: it listens on the
//   Unix-domain socket <folder>/<number>, guarded by the lock file <folder>/<number>.lock
//   (open-file-description locks: its first byte while held, its second while the holder
//   answers calls; ListLines only tests them). A line that places an outgoing call keeps its
//   number for the call (callers get busy) but stops answering on it: a line of another
//   process opened with owner privilege meanwhile takes the number over as soon as that call
//   ends, without being opened again (inotify tells when). A line closed without having
//   dialed out keeps its number for two seconds: an open of that line in this process
//   within that time takes it back (callers who dialed meanwhile are answered then), while
//   other processes find it held. A TCP line keeps its listening socket the same way, so a
//   waiter's port stays the same across calls. A caller who reaches a line while its call is
//   ending (disconnected, or the far end has hung up) is kept and offered once that call is
//   idle; a caller of a line in a live call gets busy.
//   Only this user's processes (and root) can reach the folder, so only they can call.
//   Dialing connects to <folder>/<dialable number>. When the callee answers, its side sends
//   the one byte 0x06, which the caller's side reads before reporting connected; after that
//   the connection carries exactly the bytes the two components write.
//   A number nobody holds ends the call disconnected (LINEDISCONNECTMODE_UNREACHABLE); a
//   number whose line has a call already is busy.
//
// TCP line
//   Waiting listens on the configured address (default 127.0.0.1:6400); dialing accepts
//   host:port, [IPv6]:port, a name, or a bare host (default port 6400). The stream is raw
//   from the first byte; the caller is connected when its connect succeeds. Like a telephone
//   number, the line takes calls from anyone who can reach the address; `allow` limits that
//   to the addresses and networks it lists: a caller outside them is reset as soon as its
//   connection is accepted, before anything is read from it or offered to the application.
//
// Configuration file: $QUODEM_CONFIG, else $XDG_CONFIG_HOME/quodem/lines.conf, else
// ~/.config/quodem/lines.conf. Read at every lineInitialize. Format:
//
//   # comment
//   [line]                      ; one section per line device, in device order
//   provider = exchange         ; exchange | tcp
//   name = Local line 1
//   number = 101                ; exchange: the line's number (digits, * and #)
//   speed = 0                   ; exchange: bit/s this line's calls send at, as a modem of
//                               ; that speed would (BITS/10 bytes a second; 0: unpaced);
//                               ; a call is paced both ways when both lines have it
//   [line]
//   provider = tcp
//   name = TCP/IP line
//   listen = 127.0.0.1:6400     ; tcp: address to listen on when waiting (port 0: any free)
//   port = 6400                 ; tcp: default port for a bare host
//   allow = 127.0.0.1, 192.168.1.0/24, fd00::/8  ; tcp: who may call (empty: anyone)
//   [exchange]
//   answer_timeout = 30         ; seconds a caller waits for an answer
//   [location]
//   country = 1                 ; country code of the dialing location
//   area = 425                  ; area code
//   outside = 9                 ; prefix for an outside line (may be empty)
//   long_distance = 1           ; prefix for long-distance calls
//   international = 011         ; prefix for international calls
//   dialing = tone              ; tone | pulse
//
//   A UTF-8 byte-order mark at the start is ignored. The file must be a regular file (a FIFO
//   or device there is refused at once, never opened for reading). Text quoted in an error
//   shows invisible characters escaped (\ufeff).
//   With no [line] section the three default lines apply. A file that cannot be parsed makes
//   lineInitialize fail with LINEERR_INIFILECORRUPT; ServiceConfigurationError() then tells
//   the file, line and problem.
//
// Address translation (lineTranslateAddressA)
//   Canonical input "+CC (AREA) NUMBER" (spaces, dashes, dots allowed in NUMBER) is
//   translated with the dialing location: same country and area -> local (outside +
//   number); same country -> long distance (outside + long_distance + area + number);
//   otherwise international (outside + international + CC + area + number). Other input
//   keeps its dialable characters (digits, * and #; the first character may be '+') and
//   drops formatting (spaces, dashes, dots, parentheses); any other character is illegal.
//   On a TCP line the input must be host:port, [IPv6]:port or a host name/address; it is
//   passed through unchanged. Empty or illegal input: LINEERR_INVALADDRESS.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quodem/platform/telephony.h"

namespace quodem::telephony {

enum class NumberHold {
  kFree,           // nobody holds the line's number (a modem line: its device is free)
  kHeldHere,       // a session of this process holds it
  kHeldElsewhere,  // another process holds it and answers calls on it (a modem line: its
                   // lock file names it)
  kNotApplicable,  // the line has no number to hold
  kInUseByCall,    // another process holds it for an outgoing call only: a line of this
                   // process waiting on it takes it over as soon as that call ends
  kMissing,        // a modem line whose device does not exist
};

// A number this process keeps between two calls of a waiter shows as kFree here: any open of
// the line in this process takes it back.
struct LineInfo {
  DWORD device_id = 0;
  std::string name;
  std::string provider;  // "exchange", "tcp" or "modem"
  // The number, the listen address (the bound one while listening), or a modem's device.
  std::string address;
  NumberHold hold = NumberHold::kNotApplicable;
  int holder_pid = 0;  // kHeldElsewhere on a modem line: the process its lock file names
  // A modem line held by this process: the rate of its connected call (bits per second, 0
  // when none or the modem gave none) and the caller's number of an incoming call (caller ID,
  // empty when none came).
  unsigned rate = 0;
  std::string caller;
};

// The lines the current configuration gives, in device order, with who holds each number (or
// modem device).
// Throws std::runtime_error (with the file, line and problem) when the configuration file is
// broken, or (saying why) when the exchange folder cannot be used.
std::vector<LineInfo> ListLines();

// Whether calls to the number (or listen address) of the open line `line` are offered to it:
// 0 when they are; LINEERR_RESOURCEUNAVAIL when they are not, with the reason recorded for
// ServiceProblem() (another process or another line of this one holds the address, it could
// not be taken, or the line was opened without owner privilege); LINEERR_INVALLINEHANDLE for
// a line that is not open. A line opened with owner privilege takes its address when it is
// free; one whose number another process holds for an outgoing call only counts as holding
// it (it takes the number over when that call ends).
LONG LineAddressHeld(HLINE line);

// The problem found in the configuration file by the last lineInitialize that failed with
// LINEERR_INIFILECORRUPT in this process ("" when none).
std::string ServiceConfigurationError();

// The exchange folder in use (created on first use); throws std::runtime_error with a clear
// message when it cannot be used (wrong owner or mode, path too long).
std::string ExchangeDirectory();

// The last problem a line function of this process met outside the configuration file, in
// words ("" when none): an unusable exchange folder, a socket path too long for a Unix
// socket, a listen address that cannot be used, a host name that does not resolve. The line
// function itself returned a LINEERR_ code (or the call was reported disconnected).
std::string ServiceProblem();

// How the last call of this process that was disconnected ended: the mode its
// LINECALLSTATE_DISCONNECTED notification carried, which the component's call states do not
// pass on. For telling a user why a call failed. The modes the lines report:
//   LINEDISCONNECTMODE_BUSY          the number is busy (its line has a call)
//   LINEDISCONNECTMODE_NOANSWER      nobody answered within the answer timeout
//   LINEDISCONNECTMODE_UNREACHABLE   nobody waits on that number or address, or no route
//   LINEDISCONNECTMODE_INCOMPATIBLE  the far end answered with something other than a line's
//                                    answer signal (it is not a modem line)
//   LINEDISCONNECTMODE_BADADDRESS    the host name does not resolve
//   LINEDISCONNECTMODE_NORMAL        the far end hung up
// A host compares `serial` with the value it read before its call to tell this call's ending
// from an earlier one's.
struct CallEnding {
  std::uint64_t serial = 0;  // 0 while no call has been disconnected; one more for each
  DWORD device_id = 0;       // the device of the call's line
  DWORD mode = 0;            // a LINEDISCONNECTMODE_ value
};
CallEnding LastCallEnding();

// Dialogs. lineConfigDialogA and lineTranslateDialogA call the installed handler, which shows
// the line's settings or the dialing location and lets the user change them, and returns 0 or
// a LINEERR_ code. Without a handler: when standard input is a terminal a plain text dialog
// on the terminal shows the values and edits them, saving to the configuration file;
// otherwise the call returns LINEERR_OPERATIONUNAVAIL at once.
enum class DialogKind { kLineConfig, kDialingLocation };
struct DialogRequest {
  DialogKind kind;
  DWORD device_id;
  std::string address_in;  // lineTranslateDialogA's address text
};
using DialogHandler = std::function<LONG(const DialogRequest&)>;
void SetDialogHandler(DialogHandler handler);  // empty: back to the default

// Fault injection for tests. Settings apply in this process only and stay until changed or
// ResetFaults().
namespace testing {

struct NumberFaults {
  // Incoming calls to this number (held in this process):
  int answer_delay_ms = 0;    // the answer byte goes out this long after lineAnswer
  bool never_answer = false;  // lineAnswer succeeds but the answer never goes out
  bool busy = false;          // callers get busy
  // Once the port of a call on this number has read this many bytes, the carrier drops.
  std::uint64_t drop_after_bytes = UINT64_MAX;
};
void SetNumberFaults(const std::string& number, const NumberFaults& faults);

// Closes an open line from the service's side: LINE_CLOSE, then the idle state of its call.
// Returns false when no open line of this process holds `number`.
bool CloseLineByService(const std::string& number);

// The next lineInitialize in this process fails with `result` (one shot).
void FailNextInitialize(LONG result);
// The next lineMakeCallA returns its request id, then LINE_REPLY carries `result` (one shot).
void FailNextMakeCallReply(LONG result);
// The next lineAnswer returns its request id, then LINE_REPLY carries `result` (one shot).
void FailNextAnswerReply(LONG result);
// The next lineAnswer returns `result` at once (for example LINEERR_CALLUNAVAIL) (one shot).
void NextAnswerReturns(LONG result);
// The caller's answer timeout, in milliseconds (overrides the configuration; 0 = configured).
void SetAnswerTimeoutMs(int milliseconds);

void ResetFaults();

}  // namespace testing
}  // namespace quodem::telephony
