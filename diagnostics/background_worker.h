// One thread that handles work handed to it by other threads: producers add
// to a queue under a lock, and the thread takes the whole queue in one step
// (a swap) and handles it outside the lock, so that producers never wait for
// the handling. It waits without a time-out and is woken only when it waits.
// Used by the service's writer and flushing thread, the fallback file's
// writer, the client Logger's sender and the benchmark.
//
// Contract:
// - Queue is any type with a member swap (a container, LineQueue). The
//   handler gets the batch taken and must leave it empty (a LineQueue may
//   keep its blocks: they go back to the producers at the next swap).
// - Post(add) runs add(queue) under the lock; add must not block.
//   Any thread, also before Start and after Stop (such work is never
//   handled).
// - Start() runs the thread; it throws std::system_error when the thread
//   cannot be created (posted work then waits, unhandled).
// - Stop() ends the thread and joins it: StopMode::Drain handles everything
//   posted before the call first; StopMode::Discard finishes only the batch
//   in hand. Idempotent; never on the worker's own thread. The destructor
//   stops.
// - Options::onStart runs first on the thread; when it returns false the
//   thread ends at once and posted work waits, unhandled. Options::onEnd
//   runs last on the thread, after the last batch (not after a failed
//   onStart). Both run outside the lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/system.h"

namespace wl {

enum class StopMode { Drain, Discard };

template <typename Queue>
class BackgroundWorker {
 public:
  using Handler = std::function<void(Queue& batch)>;

  struct Options {
    StopMode stopMode = StopMode::Drain;
    // Runs the thread as background work, so that its wake-ups never take
    // the processor from a busier thread.
    bool background = false;
    std::function<bool()> onStart = nullptr;
    std::function<void()> onEnd = nullptr;
  };

  BackgroundWorker(Handler handle, Options options) : handle_(std::move(handle)), options_(options) {}
  ~BackgroundWorker() { Stop(); }
  BackgroundWorker(const BackgroundWorker&) = delete;
  BackgroundWorker& operator=(const BackgroundWorker&) = delete;

  void Start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stopping_) return;
    thread_ = std::thread(&BackgroundWorker::Run, this);
    running_ = true;
  }

  template <typename Add>
  void Post(Add&& add) {
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      add(queue_);
      ++posted_;
      // Only a waiting thread needs the wake-up, and one is enough: a busy
      // one takes this work with the rest of the queue.
      wake = waiting_;
      waiting_ = false;
    }
    if (wake) ready_.notify_one();
  }

  void Stop() {
    std::thread ending;
    {
      // Set under the lock so that a thread that has just found the queue
      // empty cannot miss the wake-up.
      std::lock_guard lock(mutex_);
      stopping_ = true;
      ending = std::move(thread_);
    }
    ready_.notify_all();
    if (ending.joinable()) ending.join();
  }

  // True while the thread runs (between Start and its end).
  bool Running() {
    std::lock_guard lock(mutex_);
    return running_;
  }

  // Blocks until everything posted before the call has been handled, or the
  // thread has ended (or never started). For tests and benchmarks.
  void WaitUntilHandled() {
    std::unique_lock lock(mutex_);
    std::uint64_t target = posted_;
    ++handledWaiters_;
    handled_.wait(lock, [&] { return handledCount_ >= target || !running_; });
    --handledWaiters_;
  }

 private:
  void Run() {
    if (options_.background) platform::SetCurrentThreadBackground();
    if (options_.onStart && !options_.onStart()) {
      std::lock_guard lock(mutex_);
      running_ = false;
      handled_.notify_all();
      return;
    }
    Queue batch;
    std::unique_lock lock(mutex_);
    for (;;) {
      while (posted_ == handledCount_ && !stopping_) {
        waiting_ = true;
        ready_.wait(lock);
        waiting_ = false;
      }
      if (stopping_ && (options_.stopMode == StopMode::Discard || posted_ == handledCount_)) break;
      batch.swap(queue_);
      std::uint64_t taken = posted_;
      lock.unlock();
      handle_(batch);
      lock.lock();
      handledCount_ = taken;
      if (handledWaiters_ != 0) handled_.notify_all();
    }
    if (options_.onEnd) {
      lock.unlock();
      options_.onEnd();
      lock.lock();
    }
    running_ = false;
    handled_.notify_all();
  }

  Handler handle_;
  Options options_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable handled_;
  Queue queue_;
  std::uint64_t posted_ = 0;
  std::uint64_t handledCount_ = 0;
  int handledWaiters_ = 0;
  bool waiting_ = false;
  bool stopping_ = false;
  bool running_ = false;
  std::thread thread_;
};

}  // namespace wl
