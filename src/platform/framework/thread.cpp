// TThread: a worker that holds itself alive while its body runs.
#include "quodem/platform/framework/thread.h"

#include <cxxabi.h>

#include <exception>
#include <stdexcept>

namespace quodem {

TThread::~TThread() {
  // The body has ended (it held a reference until then), so join returns promptly. On the
  // worker's own thread, the last reference went with the body's end: nothing touches this
  // object afterwards, and the system thread finishes on its own.
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void TThread::Start() {
  std::shared_ptr<TThread> self = shared_from_this();
  std::lock_guard<std::mutex> guard(lock_);
  if (started_) return;
  // The lock is held until the identity is recorded, so a body that asks IsCurrentThread()
  // at once gets the right answer.
  thread_ = std::thread(&TThread::Run, this, std::move(self));
  thread_id_ = thread_.get_id();
  started_ = true;
}

void TThread::Run(std::shared_ptr<TThread> self) {
  std::string fatal;
  try {
    Execute();
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must unwind through
  } catch (const std::exception& e) {
    fatal = e.what();
    if (fatal.empty()) fatal = "exception without message";
  } catch (...) {
    fatal = "unknown exception";
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    fatal_exception_ = std::move(fatal);
    finished_ = true;
    finished_cv_.notify_all();
  }
  // May be the last reference: the destructor then runs here, on this thread, and this
  // function returns without touching the object again.
  self.reset();
}

void TThread::WaitFor() {
  std::unique_lock<std::mutex> lock(lock_);
  if (started_ && !finished_ && std::this_thread::get_id() == thread_id_) {
    throw std::logic_error("TThread::WaitFor called on the worker's own thread");
  }
  finished_cv_.wait(lock, [this] { return !started_ || finished_; });
}

bool TThread::Finished() const {
  std::lock_guard<std::mutex> guard(lock_);
  return finished_;
}

bool TThread::Started() const {
  std::lock_guard<std::mutex> guard(lock_);
  return started_;
}

bool TThread::IsCurrentThread() const {
  std::lock_guard<std::mutex> guard(lock_);
  return started_ && std::this_thread::get_id() == thread_id_;
}

std::string TThread::FatalException() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fatal_exception_;
}

}  // namespace quodem
