#include "line/inbox.h"

#include <map>

#include "line/call_record.h"

namespace quodem::line {
namespace {

struct Registry {
  std::mutex lock;  // a leaf
  std::map<OpenId, std::weak_ptr<Inbox>> routes;
  OpenId next = 1;
};

// Never destroyed: the service may deliver a callback while static objects go at exit.
Registry& Routes() {
  static auto* registry = new Registry;
  return *registry;
}

}  // namespace

Inbox::Inbox() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

Inbox::~Inbox() {
  if (event_ != 0) CloseHandle(event_);
}

void Inbox::Wake() {
  if (event_ != 0) SetEvent(event_);
  SignalLineEvent();
}

void Inbox::AddCallState(HCALL call, OpenId open, int state, bool owner) {
  std::lock_guard<std::mutex> guard(lock_);
  notices_.AddCallState(call, open, state, owner);
  Wake();
}

void Inbox::AddReply(LONG request, LONG outcome, OpenId open) {
  std::lock_guard<std::mutex> guard(lock_);
  notices_.AddReply(request, outcome, open);
  Wake();
}

void Inbox::AddLineClosed(OpenId open) {
  std::lock_guard<std::mutex> guard(lock_);
  notices_.AddLineClosed(open);
  Wake();
}

CallNotices::Batch Inbox::Take() {
  std::lock_guard<std::mutex> guard(lock_);
  if (event_ != 0) ResetEvent(event_);
  ResetLineEvent();
  return notices_.Take();
}

OpenId RegisterOpen(const std::shared_ptr<Inbox>& inbox) {
  Registry& registry = Routes();
  std::lock_guard<std::mutex> guard(registry.lock);
  OpenId id = registry.next++;
  registry.routes.emplace(id, inbox);
  return id;
}

void UnregisterOpen(OpenId id) {
  Registry& registry = Routes();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.routes.erase(id);
}

std::shared_ptr<Inbox> FindInbox(OpenId id) {
  if (id == 0) return nullptr;
  Registry& registry = Routes();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto it = registry.routes.find(id);
  return it == registry.routes.end() ? nullptr : it->second.lock();
}

}  // namespace quodem::line
