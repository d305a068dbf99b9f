// Lazily created process-wide instances that are destroyed in a fixed order
// at process exit: the reverse order of first use, except that the Logger
// goes last so that every other singleton can still log while it is torn
// down.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>

namespace wl {

// The readable name of a type from its run-time type information, in the
// form "class Logger" (so that the Logger entry is recognised by its name).
std::string ReadableTypeName(const std::type_info& type);

class LifetimeTracker {
 public:
  static constexpr int kAdded = 1;
  static constexpr int kAlreadyRegistered = 2;

  // The one tracker of the process (created on first use).
  static LifetimeTracker& Instance();

  ~LifetimeTracker();

  // Adds a destroyer under the type's name: at the front for the Logger, at
  // the back otherwise. Returns kAdded, or kAlreadyRegistered when the name
  // is already listed.
  template <typename T>
  [[nodiscard]] int Register(std::function<void()> destroyer) {
    return RegisterName(ReadableTypeName(typeid(T)), std::move(destroyer));
  }
  [[nodiscard]] int RegisterName(std::string typeName, std::function<void()> destroyer);

  // Runs the destroyers from the back to the front, then empties the list.
  // Each runs without the tracker's lock, so that a thread it waits for may
  // still ask for singletons (it gets those already destroyed as empty).
  // A call from another thread during a pass waits until the pass is over.
  void DestroyAll();

  std::size_t Count();

 private:
  LifetimeTracker() = default;

  struct Entry {
    std::string typeName;
    std::function<void()> destroyer;
    bool destroyed = false;
  };
  std::recursive_mutex mutex_;
  std::condition_variable_any passOver_;
  // The thread running DestroyAll; none between passes.
  std::thread::id destroyer_;
  std::list<Entry> entries_;
  std::size_t count_ = 0;
};

template <typename T>
class Singleton {
 public:
  // The instance, created with creator on first use. Empty while another
  // thread is creating it, after a creator that threw, and during teardown.
  template <typename Creator>
  static std::shared_ptr<T> GetInstance(Creator&& creator) {
    std::unique_lock lock(mutex_);
    if (!instance_) {
      lock.unlock();
      int registered = LifetimeTracker::Instance().Register<T>([] {
        std::shared_ptr<T> released;
        {
          std::lock_guard guard(mutex_);
          released.swap(instance_);
        }
      });
      if (registered == LifetimeTracker::kAdded) {
        std::shared_ptr<T> created(creator());
        lock.lock();
        instance_ = std::move(created);
      } else {
        lock.lock();
      }
    }
    return instance_;
  }

 private:
  static inline std::mutex mutex_;
  static inline std::shared_ptr<T> instance_;
};

}  // namespace wl
