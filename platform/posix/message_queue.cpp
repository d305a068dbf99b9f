// Thread message queues on Linux: one queue of posted messages per thread,
// made by the thread's first GetMessageW or EnsureThreadMessageQueue; the
// queue of a thread that has ended is dropped with it.
#include "platform/message_queue.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/system.h"

namespace wl::platform {
namespace {

constexpr Win32Error kErrorInvalidThreadId = 1444;

struct Queue {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<ThreadMessage> messages;
};

std::mutex& QueuesLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::map<std::uint32_t, std::shared_ptr<Queue>>& Queues() {
  static auto* queues = new std::map<std::uint32_t, std::shared_ptr<Queue>>;
  return *queues;
}

// Removes the thread's queue when the thread ends (thread ids are reused).
struct QueueOwner {
  std::uint32_t threadId = 0;
  std::shared_ptr<Queue> queue;
  ~QueueOwner() {
    if (!queue) return;
    std::lock_guard lock(QueuesLock());
    auto found = Queues().find(threadId);
    if (found != Queues().end() && found->second == queue) Queues().erase(found);
  }
};

Queue& OwnQueue() {
  thread_local QueueOwner owner;
  if (!owner.queue) {
    owner.threadId = GetCurrentThreadId();
    owner.queue = std::make_shared<Queue>();
    std::lock_guard lock(QueuesLock());
    Queues()[owner.threadId] = owner.queue;
  }
  return *owner.queue;
}

}  // namespace

void EnsureThreadMessageQueue() { (void)OwnQueue(); }

int GetMessageW(ThreadMessage* message) {
  if (message == nullptr) return -1;
  Queue& queue = OwnQueue();
  std::unique_lock lock(queue.mutex);
  queue.posted.wait(lock, [&] { return !queue.messages.empty(); });
  *message = queue.messages.front();
  queue.messages.pop_front();
  return message->message == kWmQuit ? 0 : 1;
}

void TranslateMessage(const ThreadMessage&) {}

void DispatchMessageW(const ThreadMessage&) {}

Win32Error PostThreadMessageW(std::uint32_t threadId, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) {
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard lock(QueuesLock());
    auto found = Queues().find(threadId);
    if (found == Queues().end()) return kErrorInvalidThreadId;
    queue = found->second;
  }
  {
    std::lock_guard lock(queue->mutex);
    queue->messages.push_back({message, wParam, lParam});
  }
  queue->posted.notify_one();
  return kErrorSuccess;
}

}  // namespace wl::platform
