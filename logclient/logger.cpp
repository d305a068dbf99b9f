#include "logclient/logger.h"

#include <memory>
#include <mutex>

namespace wl {
namespace {

std::mutex observerMutex;
std::shared_ptr<const WriteLogObserver> observer;

std::shared_ptr<const WriteLogObserver> CurrentObserver() {
  std::lock_guard lock(observerMutex);
  return observer;
}

}  // namespace

void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text) {
  // Called outside the lock so that an observer may take its own locks.
  if (auto current = CurrentObserver()) (*current)(source, level, text);
  // No Logger exists in the process yet, so the message goes no further: the
  // same outcome as a WriteLog made while the Logger singleton is gone.
}

void WriteLog(std::uint16_t level, std::wstring_view text) { WriteLog(kDefaultLogSource, level, text); }

void SetWriteLogObserverForTesting(WriteLogObserver newObserver) {
  std::shared_ptr<const WriteLogObserver> replacement;
  if (newObserver) replacement = std::make_shared<const WriteLogObserver>(std::move(newObserver));
  std::lock_guard lock(observerMutex);
  observer = std::move(replacement);
}

}  // namespace wl
