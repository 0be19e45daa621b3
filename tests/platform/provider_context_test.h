// A fixture for tests of one part of a line provider without the service: a provider context
// on an event loop of its own, which the test runs by hand.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/telephony/event_loop.h"
#include "platform/telephony/graceful_close.h"
#include "platform/telephony/provider.h"
#include "platform/telephony/resolver.h"

namespace quodem::telephony {

class ProviderContextTest : public ::testing::Test {
 protected:
  // Runs whatever the loop has ready now (handlers and due timers), without waiting.
  void RunReady() {
    loop.WaitForEvents(0);
    loop.Dispatch();
  }

  EventLoop loop;
  Resolver resolver{loop};
  GracefulCloser closer{loop};
  ProviderContext context{loop, resolver, closer, [](const std::string&) {}};
};

}  // namespace quodem::telephony
