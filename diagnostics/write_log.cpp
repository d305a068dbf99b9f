#include "diagnostics/write_log.h"

#include <memory>
#include <mutex>
#include <utility>

namespace wl {
namespace {

std::mutex targetMutex;
std::shared_ptr<const WriteLogTarget> installedTarget;

std::shared_ptr<const WriteLogTarget> CurrentTarget() {
  std::lock_guard lock(targetMutex);
  return installedTarget;
}

}  // namespace

void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text) {
  // Called outside the lock so that the target may take its own locks.
  if (auto target = CurrentTarget()) (*target)(source, level, text);
}

void WriteLog(std::uint16_t level, std::wstring_view text) { WriteLog(kDefaultLogSource, level, text); }

WriteLogTarget SetWriteLogTarget(WriteLogTarget target) {
  std::shared_ptr<const WriteLogTarget> replacement;
  if (target) replacement = std::make_shared<const WriteLogTarget>(std::move(target));
  std::shared_ptr<const WriteLogTarget> previous;
  {
    std::lock_guard lock(targetMutex);
    previous = std::exchange(installedTarget, std::move(replacement));
  }
  return previous ? *previous : WriteLogTarget();
}

}  // namespace wl
