#include "platform/file_faults.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace wl::platform {
namespace {

std::atomic<bool> installed{false};
std::mutex hookMutex;
std::shared_ptr<const FileFaultHook> currentHook;

}  // namespace

void SetFileFaultHook(FileFaultHook hook) {
  std::shared_ptr<const FileFaultHook> replacement;
  if (hook) replacement = std::make_shared<const FileFaultHook>(std::move(hook));
  std::lock_guard lock(hookMutex);
  installed.store(replacement != nullptr, std::memory_order_release);
  currentHook = std::move(replacement);
}

FileFault NextFileFault(FileOperation operation, std::size_t size) {
  if (!installed.load(std::memory_order_acquire)) return {};
  std::shared_ptr<const FileFaultHook> hook;
  {
    std::lock_guard lock(hookMutex);
    hook = currentHook;
  }
  // Called outside the lock, so that a hook may take its own locks.
  return hook ? (*hook)(operation, size) : FileFault{};
}

}  // namespace wl::platform
