// Keeping a line's address across a close and a reopen in the same process.
//
// A component closes its waiting line when a call ends and opens it again at once for the
// next one. Were the number (or TCP listen address) given back in between, another process
// could take it in that gap, and the reopened line would wait without it. So a line that
// waited for calls parks what keeps the address its own (its listening socket, and for the
// exchange the number's lock and socket file) instead of giving it back; a line of this
// process that opens the same address within the parking time takes it back, and a caller
// who dialed in between, queued on the socket, is answered then. When the time runs out, or
// the process exits, the address is given back.
//
// Used with the service lock held, like everything a provider does.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/telephony/event_loop.h"

namespace quodem::telephony {

// How long a parked address waits for its line to come back.
inline constexpr std::chrono::milliseconds kParkingTime{2000};

// What a closed line keeps while parked. Its destructor gives everything back.
class ParkedAddress {
 public:
  virtual ~ParkedAddress() = default;
};

// Parks `parked` under `key` ("exchange:<socket path>", "tcp:<listen address>"), replacing
// anything parked there before; gives it back after kParkingTime unless taken.
void ParkAddress(EventLoop& loop, const std::string& key, std::unique_ptr<ParkedAddress> parked);

// What is parked under `key` (its owner now), or null.
std::unique_ptr<ParkedAddress> TakeParkedAddress(EventLoop& loop, const std::string& key);

bool IsAddressParked(const std::string& key);

// Gives back everything parked (at the process's exit).
void GiveBackParkedAddresses();

}  // namespace quodem::telephony
