// A call carried by a connected stream socket: what the local exchange (Unix-domain) and
// TCP lines have in common once a socket exists. It owns the call's descriptor, hands out
// ports on duplicates of it, notices the peer's hang-up, and hangs up gracefully.
//
// Hanging up: the socket is shut down (gracefully, see GracefulCloser) only once the ports
// handed out for the call have handed every byte they accepted to it, so a frame written just
// before the hang-up still arrives whole.
//
// Hang-up rule: the peer's hang-up is reported as disconnected only once every byte the
// peer sent before hanging up has been read. While a port handed out for the call is alive,
// the port tells (PortObserver::OnPeerHangup, after it read the end of the stream). While
// none is, the call watches the socket itself: a hang-up with nothing left unread is reported
// at once; with bytes still unread it waits for a port to drain them.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/unique_fd.h"
#include "platform/telephony/event_loop.h"
#include "platform/telephony/provider.h"
#include "quodem/platform/posix/descriptor_port.h"

namespace quodem::telephony {

class StreamCall;

// Lets tasks posted to the event loop, and port observers, find a call that may be gone by
// the time they run. `call` is set and cleared with the service lock held.
struct CallAnchor {
  StreamCall* call = nullptr;
};

class StreamCall : public ProviderCall {
 public:
  ~StreamCall() override;

  void Answer(Completion done) override;
  void Drop(Completion done) override;
  std::string PortDeviceName() const override { return device_name_; }
  posix::UniqueFd TakeBackOffered() override;
  bool PeerHungUp() const override;
  HANDLE OpenPort() override;

  // From the port observers (via the event loop).
  void OnPortSawHangup();
  void OnPortGone();

  // Paces the ports handed out from now on (bytes a second; 0: unpaced).
  void SetPortPace(std::uint32_t bytes_per_second) { port_pace_ = bytes_per_second; }

 protected:
  enum class Phase {
    kNew,           // outgoing call not started yet
    kDialing,       // outgoing: looking up, connecting
    kRingback,      // outgoing: connected, waiting for the answer
    kOffered,       // incoming: waiting for lineAnswer
    kAnswering,     // incoming: answered, the connection is not up yet
    kConnected,     // data flows
    kDisconnected,  // the peer hung up, or the call failed; waiting for lineDrop
    kIdle,          // dropped
  };

  // A call state reported on entering a phase: a LINECALLSTATE_ value and its mode detail.
  struct Reported {
    DWORD state;
    DWORD mode = 0;
  };

  StreamCall(ProviderContext& context, const testing::NumberFaults& faults,
             std::string device_name);

  Phase phase() const { return phase_; }
  // The only way the phase changes. Ends what the phase left behind owned (a socket watch
  // belongs to the phase that set it up; the answer timer to dialing and ringback; an injected
  // answer delay to answering), then reports `reports` in order. A phase that watches the
  // socket sets the watch up after entering it.
  void EnterPhase(Phase next, std::initializer_list<Reported> reports = {});

  // Incoming calls: the accepted socket, in the offering phase.
  void AdoptIncoming(posix::UniqueFd fd);
  // Outgoing calls: the socket being connected (replacing, and closing, any earlier one).
  void SetSocket(posix::UniqueFd fd);
  // Outgoing calls: the socket's connect has completed (it is closed gracefully from now on).
  void MarkSocketConnected() { socket_connected_ = true; }
  // The call's socket (-1 when it has none); the call keeps owning it.
  int SocketFd() const { return fd_.get(); }
  // Dialing or ringback: no answer within `milliseconds` disconnects the call (no answer).
  // The timer ends when the call enters any other phase.
  void StartAnswerTimer(int milliseconds);
  // Waits for the descriptor to be readable or writable (replacing any earlier watch).
  void WatchSocket(std::uint32_t events, std::function<void(std::uint32_t)> handler);
  void StopWatching();
  // busy, then disconnected (LINEDISCONNECTMODE_BUSY); the socket is closed.
  void FailBusy();
  // disconnected with `mode`; the socket is closed.
  void FailDisconnected(DWORD mode);
  // Reports connected and starts watching for the hang-up.
  void EnterConnected();
  // The exchange's answer signal from the callee's side; TCP sends nothing.
  virtual void SendAnswerSignal() {}

  ProviderContext& context_;
  const testing::NumberFaults faults_;
  std::string device_name_;
  std::shared_ptr<CallAnchor> anchor_;

 private:
  class PortWatcher;

  void FinishAnswer(Completion done);
  void CloseSocket();
  void ArmHangupWatch();
  void OnHangupReadiness(std::uint32_t events);
  void OnAnsweringReadiness(std::uint32_t events);
  void PeerGone();
  bool HasLivePort();

  Phase phase_ = Phase::kNew;  // written by EnterPhase only
  posix::UniqueFd fd_;
  bool socket_connected_ = false;
  std::uint32_t port_pace_ = 0;
  std::shared_ptr<posix::OutputWatch> port_output_;  // the ports' accepted output
  EventLoop::Token watch_ = 0;
  EventLoop::Token answer_timer_ = 0;  // the caller's answer timeout (dialing, ringback)
  EventLoop::Token answer_delay_ = 0;  // an injected answer delay (answering)
  std::vector<std::weak_ptr<PortWatcher>> ports_;
};

}  // namespace quodem::telephony
