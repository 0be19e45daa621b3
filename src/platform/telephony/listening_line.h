// What a line that waits for calls on a listening socket has in common, whatever the socket
// is bound to (the local exchange's number, a TCP address): holding the address while the
// line is open (one line of this process at a time), parking it across a close and a reopen
// (parking.h), keeping callers who reach it while its call is ending (waiting_callers.h),
// answering a connection (busy, kept, or offered as a new call), and the caller's answer
// time-out for the line's outgoing calls. How the socket is made, how the address is locked
// against other processes, and who may call are the provider's (exchange_provider.cpp,
// tcp_provider.cpp).
//
// Threading: like every provider object, used with the service lock held; accepted
// connections arrive on the event loop's thread (also with the lock held).
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string>

#include "platform/posix/unique_fd.h"
#include "platform/telephony/listener.h"
#include "platform/telephony/parking.h"
#include "platform/telephony/provider.h"
#include "platform/telephony/waiting_callers.h"

namespace quodem::telephony {

// A listening socket with the callers its line kept, handed on together when a line parks.
struct ListenerParts {
  posix::UniqueFd socket;
  WaitingCallers callers;
};

// What a listening line parks when it closes: its listening socket (a caller who dials in
// between stays queued on it) and the callers it kept. Providers add what else keeps the
// address theirs. The kept callers are turned away (busy) when the address is given back.
class ParkedListener : public ParkedAddress {
 public:
  explicit ParkedListener(ListenerParts parts)
      : socket_(std::move(parts.socket)), callers_(std::move(parts.callers)) {}
  // The socket goes first (callers still queued on it are refused), then the kept callers.
  ~ParkedListener() override { socket_.reset(); }
  // For a line taking the address back: the socket and the callers kept waiting.
  posix::UniqueFd TakeSocket(WaitingCallers* callers) {
    *callers = std::move(callers_);
    return std::move(socket_);
  }

 protected:
  bool HasSocket() const { return socket_.valid(); }
  void CloseSocket() { socket_.reset(); }

 private:
  posix::UniqueFd socket_;
  WaitingCallers callers_;
};

class ListeningLine : public ProviderLine {
 public:
  ~ListeningLine() override;  // stops listening (closing the socket) unless parked before

  // Offers the first caller kept while the last call was ending (or while the line was
  // closed); the others are turned away.
  void LineFree() override;
  void KeepCaller(posix::UniqueFd fd, std::string peer) override;
  AddressHold HoldsAddress(std::string* why) const override;

  // The open line of this process listening under `key`, or null.
  static ListeningLine* HeldHere(const std::string& key);

 protected:
  ListeningLine(ProviderContext& context, LineEvents* events, int answer_timeout_s);

  // The key names the address for parking and among the lines of this process
  // ("exchange:<socket path>", "tcp:<listen address>"); set before listening or parking.
  void SetKey(std::string key) { key_ = std::move(key); }
  const std::string& key() const { return key_; }

  // Starts listening on `fd` (bound and listening) and holds the key. False, with `fd`
  // closed, when the event loop cannot watch it.
  bool Listen(posix::UniqueFd fd);
  bool Listening() const { return listener_.Listening(); }
  // Closes the listening socket and gives up the key (callers kept stay kept).
  void StopListening();
  // Takes back what this process parked under the key: null when nothing is parked there;
  // otherwise the parked object (for the provider's own parts), with `*listening` telling
  // whether listening resumed on its socket. Callers kept meanwhile are offered from the loop
  // (the line is not known to the service before its open returns).
  std::unique_ptr<ParkedListener> TakeParked(bool* listening);
  // Stops listening without closing the socket, for parking: the socket and kept callers.
  ListenerParts StopForParking();
  void Park(std::unique_ptr<ParkedListener> parked);

  // Records and reports why the line could not take its address; returns `result`.
  LONG Broken(const std::string& problem, LONG result);
  // The owner opened the line (it tries to take the address); see HoldsAddress.
  void MarkTakenByOwner() { taken_by_owner_ = true; }

  // Answers a connection: turned away busy (closed) when the line refuses calls or has a
  // live call; kept while its call is ending; otherwise offered as a new call.
  void Answer(posix::UniqueFd fd, const std::string& peer);
  // The caller's answer time-out for an outgoing call, in milliseconds.
  int AnswerTimeoutMs() const;

  // A connection accepted on the listening socket (default: answered, nobody named).
  virtual void OnAccepted(posix::UniqueFd fd, const sockaddr_storage& peer);
  // The faults given for calls to the line (tests).
  virtual testing::NumberFaults IncomingFaults() const = 0;
  // True while the line turns every caller away (the exchange line once it dialed out).
  virtual bool RefusesCalls() const { return false; }
  virtual std::unique_ptr<ProviderCall> MakeIncomingCall(posix::UniqueFd fd,
                                                         const std::string& peer,
                                                         const testing::NumberFaults& faults) = 0;
  // For HoldsAddress: the address in words ("number 101", "127.0.0.1:5000"), whether the line
  // is about to take it over (kPending), and why another holder keeps it.
  virtual std::string AddressWords() const = 0;
  virtual bool TakingOver() const { return false; }
  virtual std::string HeldElsewhereWhy(bool by_line_here) const = 0;

  ProviderContext& context_;
  LineEvents* events_;

 private:
  void GiveUpKey();

  // Lets a task posted to the event loop find a line that may be gone by the time it runs.
  struct Anchor {
    ListeningLine* line = nullptr;
  };

  int answer_timeout_s_;
  std::string key_;
  bool held_ = false;            // registered under key_ (HeldHere)
  bool taken_by_owner_ = false;  // opened with owner privilege
  std::string take_problem_;     // why taking the address failed, when it did
  Listener listener_;
  WaitingCallers waiting_;
  std::shared_ptr<Anchor> anchor_;
};

}  // namespace quodem::telephony
