// The lock on the server module: the count that keeps a server process
// serving. The object takes one while clients hold it (its count rising
// from 1 to 2) and IClassFactory::LockServer takes and releases them. The
// service host implements it for its two modes; ServerProcessLock is the
// plain local-server form.
#pragma once

#include <atomic>
#include <functional>

namespace wl {

class ModuleLock {
 public:
  virtual ~ModuleLock() = default;
  // Take and release one lock; each returns the count it leaves. Any
  // thread may call.
  virtual long Lock() = 0;
  virtual long Unlock() = 0;
  [[nodiscard]] virtual long GetLockCount() const = 0;
};

// Counts the server process's references (CoAddRefServerProcess and
// CoReleaseServerProcess, which suspend the class objects at 0) and calls
// onIdle, on the releasing thread, each time the count falls to 0.
class ServerProcessLock final : public ModuleLock {
 public:
  explicit ServerProcessLock(std::function<void()> onIdle = {}) : onIdle_(std::move(onIdle)) {}

  long Lock() override;
  long Unlock() override;
  [[nodiscard]] long GetLockCount() const override { return count_.load(); }

 private:
  std::function<void()> onIdle_;
  std::atomic<long> count_{0};
};

}  // namespace wl
