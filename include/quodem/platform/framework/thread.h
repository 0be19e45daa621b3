// TThread: a worker thread object.
//
// Lifetime. Threads are created only through TThread::Create<T>(args...), which constructs the
// object, then (unless created suspended) starts it: the body (Execute) never starts before
// the constructor of the derived class has finished. The object is held by shared_ptr. While
// the body runs the thread holds a reference to its own object, so it can never be freed
// under the running body; with FreeOnTerminate (the default) that reference is the only one
// the thread keeps, and it is dropped when Execute returns, so the object is freed by
// whoever lets go last: the thread itself, or a holder of a shared_ptr. Hold a weak_ptr to
// refer to a worker without keeping it alive.
//
// Destroying a TThread whose body still runs is impossible by construction; destroying one
// that never started is fine. If the last reference is dropped on the worker's own thread
// the system thread is detached, else joined (it has already finished its body then).
//
// FreeOnTerminate is kept for the classic interface but changes nothing here: in either
// setting the worker lets go of its own reference when Execute returns, and the object goes
// with the last shared_ptr. A worker that must stay inspectable after its end (WaitFor,
// FatalException) is simply kept by a holder's shared_ptr.
//
// An exception that escapes Execute ends the body like a return; its message is kept and can
// be read with FatalException(). It never reaches std::terminate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace quodem {

class TThread : public std::enable_shared_from_this<TThread> {
 public:
  virtual ~TThread();

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Constructs T(args...) and starts it unless `suspended`.
  template <typename T, typename... Args>
  static std::shared_ptr<T> Create(bool suspended, Args&&... args) {
    std::shared_ptr<T> thread(new T(std::forward<Args>(args)...));
    if (!suspended) thread->Start();
    return thread;
  }

  // Starts a thread created suspended. Starting one that runs or ran has no effect. The
  // object must be held by a shared_ptr (as Create makes it), else std::bad_weak_ptr.
  void Start();
  void Resume() { Start(); }

  // Sets the stop request that Execute polls through Terminated().
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }

  // Blocks until Execute has returned (at once when it never started or already returned).
  // On the worker's own thread it would wait for itself: it throws std::logic_error instead.
  void WaitFor();
  bool Finished() const;
  bool Started() const;

  // True when called on this worker's own thread.
  bool IsCurrentThread() const;

  bool FreeOnTerminate() const { return free_on_terminate_.load(); }
  void SetFreeOnTerminate(bool value) { free_on_terminate_.store(value); }

  // The message of the exception that escaped Execute; empty when none did (or the body has
  // not ended yet).
  std::string FatalException() const;

 protected:
  TThread() = default;
  virtual void Execute() = 0;

 private:
  void Run(std::shared_ptr<TThread> self);

  std::atomic<bool> terminated_{false};
  std::atomic<bool> free_on_terminate_{true};
  mutable std::mutex lock_;
  std::condition_variable finished_cv_;
  bool started_ = false;
  bool finished_ = false;
  std::thread::id thread_id_;
  std::string fatal_exception_;
  std::thread thread_;
};

}  // namespace quodem
