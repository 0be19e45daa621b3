// TThread: start only after the derived constructor, suspended start, termination, lifetime
// whoever lets go last, and exceptions escaping the body.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "quodem/platform/framework.h"
#include "quodem/platform/system.h"

namespace quodem {
namespace {

// Its constructor sets fields only after the base is fully built; the body copies them.
class TFieldThread : public TThread {
 public:
  TFieldThread(std::string text, int repeat) {
    for (int i = 0; i < repeat; ++i) field_ += text;
    ready_ = true;
  }
  std::string seen;
  bool seen_ready = false;

 protected:
  void Execute() override {
    seen = field_;
    seen_ready = ready_;
  }

 private:
  std::string field_;
  bool ready_ = false;
};

TEST(ThreadTest, BodySeesTheFieldsSetByTheDerivedConstructor) {
  for (int round = 0; round < 50; ++round) {
    auto thread = TThread::Create<TFieldThread>(false, "ab", 100);
    thread->WaitFor();
    EXPECT_TRUE(thread->seen_ready);
    EXPECT_EQ(thread->seen.size(), 200u);
  }
}

class TCountingThread : public TThread {
 public:
  explicit TCountingThread(std::atomic<int>* runs) : runs_(runs) {}

 protected:
  void Execute() override { ++*runs_; }

 private:
  std::atomic<int>* runs_;
};

TEST(ThreadTest, SuspendedThreadRunsOnlyAfterResume) {
  std::atomic<int> runs{0};
  auto thread = TThread::Create<TCountingThread>(true, &runs);
  EXPECT_FALSE(thread->Started());
  // WaitFor on a thread that never started returns at once; had it started, it would have
  // waited for the body, which would have counted.
  thread->WaitFor();
  EXPECT_EQ(runs.load(), 0);
  EXPECT_FALSE(thread->Finished());

  thread->Resume();
  thread->Resume();  // no second body
  thread->WaitFor();
  EXPECT_TRUE(thread->Started());
  EXPECT_TRUE(thread->Finished());
  thread->Start();
  EXPECT_EQ(runs.load(), 1);
}

// Runs until told to stop; waits on an event in between.
class TLoopThread : public TThread {
 public:
  explicit TLoopThread(HANDLE wake) : wake_(wake) {}
  std::atomic<int> rounds{0};
  std::atomic<bool> gave_up{false};

 protected:
  void Execute() override {
    while (!Terminated()) {
      if (WaitForSingleObject(wake_, 20000) != WAIT_OBJECT_0) {
        gave_up = true;  // guard against a hang only
        return;
      }
      ++rounds;
    }
  }

 private:
  HANDLE wake_;
};

TEST(ThreadTest, TerminateEndsALoopPollingTerminated) {
  HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  auto thread = TThread::Create<TLoopThread>(false, wake);
  SetEvent(wake);
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (thread->rounds.load() == 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(thread->rounds.load(), 1);
  EXPECT_FALSE(thread->Terminated());
  EXPECT_FALSE(thread->Finished());
  thread->Terminate();
  EXPECT_TRUE(thread->Terminated());
  SetEvent(wake);
  thread->WaitFor();
  EXPECT_TRUE(thread->Finished());
  EXPECT_FALSE(thread->gave_up.load());
  EXPECT_EQ(thread->rounds.load(), 2);
  CloseHandle(wake);
}

// Reports the thread its destructor ran on.
class TReportingThread : public TThread {
 public:
  TReportingThread(HANDLE go, std::promise<std::thread::id>* destroyed_on)
      : go_(go), destroyed_on_(destroyed_on) {}
  ~TReportingThread() override { destroyed_on_->set_value(std::this_thread::get_id()); }
  std::thread::id body_thread;

 protected:
  void Execute() override {
    body_thread = std::this_thread::get_id();
    WaitForSingleObject(go_, INFINITE);
  }

 private:
  HANDLE go_;
  std::promise<std::thread::id>* destroyed_on_;
};

TEST(ThreadTest, WorkerFreesItselfWhenItsHolderLetGoFirst) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::promise<std::thread::id> destroyed_on;
  auto done = destroyed_on.get_future();
  std::weak_ptr<TReportingThread> weak;
  {
    auto thread = TThread::Create<TReportingThread>(false, go, &destroyed_on);
    weak = thread;
  }  // the holder lets go while the body runs
  EXPECT_FALSE(weak.expired()) << "the running body keeps its own object";
  SetEvent(go);
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_NE(done.get(), std::this_thread::get_id()) << "freed by the worker itself";
  CloseHandle(go);
}

TEST(ThreadTest, HolderThatLetsGoLastFreesTheWorker) {
  HANDLE go = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  std::promise<std::thread::id> destroyed_on;
  auto done = destroyed_on.get_future();
  auto thread = TThread::Create<TReportingThread>(false, go, &destroyed_on);
  thread->WaitFor();
  EXPECT_NE(thread->body_thread, std::this_thread::get_id());
  EXPECT_NE(done.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  // The body has returned; the worker lets go of its reference just after that.
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (thread.use_count() > 1 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(thread.use_count(), 1);
  thread.reset();  // joins the finished system thread here
  ASSERT_EQ(done.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(done.get(), std::this_thread::get_id());
  CloseHandle(go);
}

class TThrowingThread : public TThread {
 public:
  explicit TThrowingThread(bool standard) : standard_(standard) {}

 protected:
  void Execute() override {
    if (standard_) throw std::runtime_error("disk on fire");
    throw 42;
  }

 private:
  bool standard_;
};

TEST(ThreadTest, ExceptionEscapingTheBodyIsKeptNotFatal) {
  auto thread = TThread::Create<TThrowingThread>(false, true);
  thread->WaitFor();
  EXPECT_TRUE(thread->Finished());
  EXPECT_EQ(thread->FatalException(), "disk on fire");

  auto other = TThread::Create<TThrowingThread>(false, false);
  other->WaitFor();
  EXPECT_EQ(other->FatalException(), "unknown exception");

  std::atomic<int> runs{0};
  auto fine = TThread::Create<TCountingThread>(false, &runs);
  fine->WaitFor();
  EXPECT_EQ(fine->FatalException(), "");
}

class TSelfWaitThread : public TThread {
 public:
  std::string error;
  bool current = false;

 protected:
  void Execute() override {
    current = IsCurrentThread();
    try {
      WaitFor();
    } catch (const std::logic_error& e) {
      error = e.what();
    }
  }
};

TEST(ThreadTest, WaitForOnItsOwnThreadThrowsInsteadOfHanging) {
  auto thread = TThread::Create<TSelfWaitThread>(false);
  thread->WaitFor();
  EXPECT_TRUE(thread->current);
  EXPECT_FALSE(thread->IsCurrentThread());
  EXPECT_THAT(thread->error, ::testing::HasSubstr("own thread"));
}

}  // namespace
}  // namespace quodem
