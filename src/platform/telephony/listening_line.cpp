#include "platform/telephony/listening_line.h"

#include <map>
#include <utility>

#include "platform/telephony/faults.h"

namespace quodem::telephony {
namespace {

// Addresses held by open lines of this process (service lock held).
std::map<std::string, ListeningLine*>& Held() {
  static auto* held = new std::map<std::string, ListeningLine*>;
  return *held;
}

}  // namespace

ListeningLine::ListeningLine(ProviderContext& context, LineEvents* events, int answer_timeout_s)
    : context_(context),
      events_(events),
      answer_timeout_s_(answer_timeout_s),
      listener_(context.loop),
      anchor_(std::make_shared<Anchor>()) {
  anchor_->line = this;
}

ListeningLine::~ListeningLine() {
  anchor_->line = nullptr;
  StopListening();
}

ListeningLine* ListeningLine::HeldHere(const std::string& key) {
  auto it = Held().find(key);
  return it == Held().end() ? nullptr : it->second;
}

bool ListeningLine::Listen(posix::UniqueFd fd) {
  const bool started =
      listener_.Start(std::move(fd), [this](int accepted, const sockaddr_storage& peer) {
        OnAccepted(posix::UniqueFd(accepted), peer);
      });
  if (!started) return false;
  Held()[key_] = this;
  held_ = true;
  return true;
}

void ListeningLine::StopListening() {
  GiveUpKey();
  listener_.Close();
}

ListenerParts ListeningLine::StopForParking() {
  GiveUpKey();
  return ListenerParts{listener_.Detach(), std::move(waiting_)};
}

void ListeningLine::GiveUpKey() {
  if (!held_) return;
  Held().erase(key_);
  held_ = false;
}

std::unique_ptr<ParkedListener> ListeningLine::TakeParked(bool* listening) {
  std::unique_ptr<ParkedAddress> taken = TakeParkedAddress(context_.loop, key_);
  if (!taken) return nullptr;
  auto parked = std::unique_ptr<ParkedListener>(static_cast<ParkedListener*>(taken.release()));
  *listening = Listen(parked->TakeSocket(&waiting_));
  if (*listening && !waiting_.empty()) {
    context_.loop.Post([anchor = anchor_] {
      if (anchor->line != nullptr) anchor->line->LineFree();
    });
  }
  return parked;
}

void ListeningLine::Park(std::unique_ptr<ParkedListener> parked) {
  ParkAddress(context_.loop, key_, std::move(parked));
}

LONG ListeningLine::Broken(const std::string& problem, LONG result) {
  take_problem_ = problem;
  context_.report_problem(problem);
  return result;
}

ProviderLine::AddressHold ListeningLine::HoldsAddress(std::string* why) const {
  if (Listening()) return AddressHold::kHeld;
  if (TakingOver()) return AddressHold::kPending;
  if (!taken_by_owner_) {
    *why = "line for " + AddressWords() + " was opened for outgoing calls only";
  } else if (!take_problem_.empty()) {
    *why = take_problem_;
  } else {
    *why = HeldElsewhereWhy(HeldHere(key_) != nullptr);
  }
  return AddressHold::kNotHeld;
}

void ListeningLine::LineFree() {
  if (auto caller = waiting_.TakeFirst()) Answer(std::move(caller->fd), caller->peer);
}

void ListeningLine::KeepCaller(posix::UniqueFd fd, std::string peer) {
  waiting_.Keep(std::move(fd), std::move(peer));  // closed (busy) when too many wait
}

void ListeningLine::OnAccepted(posix::UniqueFd fd, const sockaddr_storage&) {
  Answer(std::move(fd), std::string());
}

void ListeningLine::Answer(posix::UniqueFd fd, const std::string& peer) {
  testing::NumberFaults faults = IncomingFaults();
  const bool refused = faults.busy || RefusesCalls();
  const bool busy = refused || events_->HasActiveCall();
  if (busy && !refused && events_->ActiveCallEnding() && waiting_.Keep(std::move(fd), peer)) {
    return;  // offered once the ending call is idle
  }
  // One call per line: the caller reads the end of stream and sees busy (`fd` closes).
  if (busy) return;
  events_->OfferCall(MakeIncomingCall(std::move(fd), peer, faults));
}

int ListeningLine::AnswerTimeoutMs() const {
  int forced = faults::AnswerTimeoutMs();
  return forced > 0 ? forced : answer_timeout_s_ * 1000;
}

}  // namespace quodem::telephony
