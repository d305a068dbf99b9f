#include "service/module_lock.h"

#include "com/com.h"

namespace wl {

long ServerProcessLock::Lock() {
  CoAddRefServerProcess();
  return ++count_;
}

long ServerProcessLock::Unlock() {
  long left = --count_;
  if (CoReleaseServerProcess() == 0 && onIdle_) onIdle_();
  return left;
}

}  // namespace wl
