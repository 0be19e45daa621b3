// Events and waits: manual and auto reset, names, multi-waits, stale handles, last error.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/events.h"
#include "quodem/platform/system.h"

namespace quodem {
namespace {

// Guard against hangs only; no test depends on how long anything takes.
constexpr DWORD kGuardMs = 20000;

// Blocks until `count` threads are asleep in a wait on `handle`.
void AwaitWaiters(HANDLE handle, std::size_t count) {
  auto event = posix::HandleTable::Instance().FindAs<posix::Event>(handle);
  ASSERT_TRUE(event);
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
  while (event->WaiterCount() < count) {
    ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "waiters never arrived";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string UniqueName(const char* base) {
  static std::atomic<int> counter{0};
  return std::string(base) + "-" + std::to_string(counter++);
}

TEST(EventsTest, ManualResetSetAndResetAtOnceReleasesEveryWaiter) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, 0u);
  constexpr int kWaiters = 4;
  for (int round = 0; round < 20; ++round) {
    std::vector<DWORD> results(kWaiters, WAIT_FAILED);
    std::vector<std::thread> threads;
    for (int i = 0; i < kWaiters; ++i) {
      threads.emplace_back([&, i] { results[i] = WaitForSingleObject(event, kGuardMs); });
    }
    AwaitWaiters(event, kWaiters);
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(ResetEvent(event));
    for (auto& t : threads) t.join();
    for (int i = 0; i < kWaiters; ++i) EXPECT_EQ(results[i], WAIT_OBJECT_0) << "waiter " << i;
  }
  // Reset really reset it.
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(EventsTest, AutoResetReleasesExactlyOneWaiterPerSet) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  constexpr int kWaiters = 3;
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kWaiters; ++i) {
    threads.emplace_back([&] {
      if (WaitForSingleObject(event, kGuardMs) == WAIT_OBJECT_0) ++released;
    });
  }
  AwaitWaiters(event, kWaiters);
  SetEvent(event);
  // One waiter leaves; the other two are still registered, and the signal is used up.
  auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGuardMs);
  while (released.load() == 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(released.load(), 1);
  auto event_object = posix::HandleTable::Instance().FindAs<posix::Event>(event);
  EXPECT_EQ(event_object->WaiterCount(), static_cast<std::size_t>(kWaiters - 1));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  SetEvent(event);
  SetEvent(event);
  for (auto& t : threads) t.join();
  EXPECT_EQ(released.load(), kWaiters);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(EventsTest, AutoResetWithoutWaiterStaysSetForOneWait) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  SetEvent(event);
  SetEvent(event);  // not counted: one signal
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST(EventsTest, NamedEventIsSharedAndItsNameFreedAfterLastClose) {
  const std::string name = UniqueName("EventsTest");
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(first, 0u);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

  SetLastError(ERROR_GEN_FAILURE);
  HANDLE second = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(opened, 0u);

  // A waiter on one handle is released through another handle of the same event.
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = WaitForSingleObject(opened, kGuardMs); });
  AwaitWaiters(opened, 1);
  SetEvent(second);
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  // The existing event kept its manual reset: still set.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);

  // The name lives while any handle is open.
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(CloseHandle(second));
  HANDLE again = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  ASSERT_NE(again, 0u);
  EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_TRUE(CloseHandle(opened));

  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str()), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(fresh, 0u);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT) << "a new event, not the old one";
  CloseHandle(fresh);
}

TEST(EventsTest, NamedEventsFromManyThreadsAllShareOneObject) {
  const std::string name = UniqueName("EventsRace");
  constexpr int kThreads = 8;
  std::vector<HANDLE> handles(kThreads);
  std::vector<DWORD> errors(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      handles[i] = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
      errors[i] = GetLastError();
    });
  }
  for (auto& t : threads) t.join();
  int created = 0;
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_NE(handles[i], 0u);
    if (errors[i] == ERROR_SUCCESS)
      ++created;
    else
      EXPECT_EQ(errors[i], ERROR_ALREADY_EXISTS);
  }
  EXPECT_EQ(created, 1);
  SetEvent(handles[0]);
  for (HANDLE h : handles) EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  for (HANDLE h : handles) CloseHandle(h);
}

TEST(EventsTest, WaitForMultiplePicksTheLowestSignalledIndex) {
  HANDLE events[3];
  for (HANDLE& h : events) h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 20), WAIT_TIMEOUT);
  SetEvent(events[2]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
  for (HANDLE h : events) CloseHandle(h);
}

TEST(EventsTest, WaitForMultipleWakesOnTheEventSetLater) {
  HANDLE events[3];
  for (HANDLE& h : events) h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = WaitForMultipleObjects(3, events, FALSE, kGuardMs); });
  AwaitWaiters(events[2], 1);  // registered with the last, so with all
  SetEvent(events[1]);
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
  // The auto-reset signal went to the waiter.
  EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_TIMEOUT);
  // It left every event's list.
  for (HANDLE h : events) {
    EXPECT_EQ(posix::HandleTable::Instance().FindAs<posix::Event>(h)->WaiterCount(), 0u);
  }
  for (HANDLE h : events) CloseHandle(h);
}

TEST(EventsTest, MultiWaitConsumesOnlyOneOfTwoAutoResetSignals) {
  // Whichever event fires the waiter first, the other keeps its signal.
  for (int round = 0; round < 50; ++round) {
    HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                        CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForMultipleObjects(2, events, FALSE, kGuardMs); });
    std::thread setter([&] { SetEvent(events[0]); });
    SetEvent(events[1]);
    setter.join();
    waiter.join();
    ASSERT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1);
    const int other = result == WAIT_OBJECT_0 ? 1 : 0;
    EXPECT_EQ(WaitForSingleObject(events[other], 0), WAIT_OBJECT_0) << "round " << round;
    EXPECT_EQ(WaitForSingleObject(events[1 - other], 0), WAIT_TIMEOUT) << "round " << round;
    for (HANDLE h : events) CloseHandle(h);
  }
}

TEST(EventsTest, WaitForMultipleRefusesBadArguments) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, event);
  EXPECT_EQ(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(1, many.data(), TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  HANDLE mixed[2] = {event, 0x7FFFFFF0u};
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(event);
}

TEST(EventsTest, StaleAndInvalidHandlesFailCleanly) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  for (HANDLE bad : {event, HANDLE{0}, INVALID_HANDLE_VALUE}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ResetEvent(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(bad, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  // Handle values are not reused.
  HANDLE next = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(next, event);
  CloseHandle(next);
}

TEST(EventsTest, WaitOnAHandleClosedMeanwhileEndsWhenTheEventIsSet) {
  const std::string name = UniqueName("EventsClose");
  HANDLE waited = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  HANDLE other = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = WaitForSingleObject(waited, kGuardMs); });
  AwaitWaiters(waited, 1);
  ASSERT_TRUE(CloseHandle(waited));
  SetEvent(other);
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  CloseHandle(other);
}

TEST(EventsTest, WaitOnAHandleClosedMeanwhileStillTimesOut) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = WaitForSingleObject(event, 50); });
  AwaitWaiters(event, 1);
  ASSERT_TRUE(CloseHandle(event));
  waiter.join();
  EXPECT_EQ(result, WAIT_TIMEOUT);
}

TEST(EventsTest, LastErrorIsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen = 1;
  std::thread other([&] {
    seen = GetLastError();
    SetLastError(ERROR_HANDLE_EOF);
  });
  other.join();
  EXPECT_EQ(seen, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace quodem
