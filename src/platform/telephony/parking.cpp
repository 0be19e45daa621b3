#include "platform/telephony/parking.h"

#include <map>
#include <utility>

namespace quodem::telephony {
namespace {

struct Slot {
  std::unique_ptr<ParkedAddress> parked;
  EventLoop::Token timer = 0;
};

// Process-wide, like the addresses themselves; never destroyed (lines may close while static
// objects are torn down at exit).
std::map<std::string, Slot>& Slots() {
  static auto* slots = new std::map<std::string, Slot>;
  return *slots;
}

}  // namespace

void ParkAddress(EventLoop& loop, const std::string& key, std::unique_ptr<ParkedAddress> parked) {
  TakeParkedAddress(loop, key).reset();
  Slot& slot = Slots()[key];
  slot.parked = std::move(parked);
  slot.timer = loop.StartTimer(kParkingTime, [key] {
    auto it = Slots().find(key);
    if (it == Slots().end()) return;
    std::unique_ptr<ParkedAddress> expired = std::move(it->second.parked);
    Slots().erase(it);
    // `expired` gives the address back as it goes.
  });
}

std::unique_ptr<ParkedAddress> TakeParkedAddress(EventLoop& loop, const std::string& key) {
  auto it = Slots().find(key);
  if (it == Slots().end()) return nullptr;
  loop.CancelTimer(it->second.timer);
  std::unique_ptr<ParkedAddress> parked = std::move(it->second.parked);
  Slots().erase(it);
  return parked;
}

void GiveBackParkedAddresses() {
  std::map<std::string, Slot> slots;
  slots.swap(Slots());
  // Destroying them gives the addresses back; their timers find nothing when (if ever) due.
}

bool IsAddressParked(const std::string& key) {
  return Slots().count(key) != 0;
}

}  // namespace quodem::telephony
