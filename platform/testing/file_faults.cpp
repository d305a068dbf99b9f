#include "platform/testing/file_faults.h"

#include <memory>
#include <mutex>

namespace wl::platform {
namespace {

std::mutex hookMutex;
std::shared_ptr<const FileFaultHook> currentHook;

FileFault CallHook(FileOperation operation, std::size_t size) {
  std::shared_ptr<const FileFaultHook> hook;
  {
    std::lock_guard lock(hookMutex);
    hook = currentHook;
  }
  // Called outside the lock, so that a hook may take its own locks.
  return hook ? (*hook)(operation, size) : FileFault{};
}

}  // namespace

void SetFileFaultHook(FileFaultHook hook) {
  std::shared_ptr<const FileFaultHook> replacement;
  if (hook) replacement = std::make_shared<const FileFaultHook>(std::move(hook));
  std::lock_guard lock(hookMutex);
  SetFileFaultSource(replacement != nullptr ? &CallHook : nullptr);
  currentHook = std::move(replacement);
}

}  // namespace wl::platform
