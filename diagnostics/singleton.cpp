#include "diagnostics/singleton.h"

#include <algorithm>

#include "platform/type_name.h"

namespace wl {

std::string ReadableTypeName(const std::type_info& type) {
  // The Windows compiler names types "class Logger"; the g++ and clang name
  // has our own namespace dropped so that the same rule finds the Logger
  // entry.
  std::string name = platform::DemangledTypeName(type);
  constexpr std::string_view kOwnNamespace = "wl::";
  if (name.starts_with(kOwnNamespace)) name.erase(0, kOwnNamespace.size());
  return "class " + name;
}

LifetimeTracker& LifetimeTracker::Instance() {
  static LifetimeTracker tracker;
  return tracker;
}

LifetimeTracker::~LifetimeTracker() { DestroyAll(); }

int LifetimeTracker::RegisterName(std::string typeName, std::function<void()> destroyer) {
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_) {
    if (entry.typeName == typeName) return kAlreadyRegistered;
  }
  // The Logger is destroyed last, so that the others can log while they go.
  constexpr std::string_view kLoggerPrefix = "class Logger";
  bool isLogger = typeName.size() >= kLoggerPrefix.size() &&
                  std::string_view(typeName).substr(0, kLoggerPrefix.size()) == kLoggerPrefix;
  Entry entry{std::move(typeName), std::move(destroyer), false};
  if (isLogger) {
    entries_.push_front(std::move(entry));
  } else {
    entries_.push_back(std::move(entry));
  }
  ++count_;
  return kAdded;
}

void LifetimeTracker::DestroyAll() {
  std::unique_lock lock(mutex_);
  // A destructor of this pass that asks for teardown again returns at once;
  // another thread waits until the pass is over.
  if (destroyer_ == std::this_thread::get_id()) return;
  passOver_.wait(lock, [this] { return destroyer_ == std::thread::id(); });
  if (entries_.empty()) return;
  destroyer_ = std::this_thread::get_id();
  // Entries stay listed until every destroyer has run, so that a destructor
  // asking for a singleton destroyed earlier in this pass gets an empty
  // pointer instead of a new instance. Each destroyer runs without the lock:
  // the Logger's waits for its sender thread, whose last report may still
  // ask for a singleton, and that request must not wait for this pass.
  // Entries added meanwhile are destroyed in the same pass, newest first.
  for (;;) {
    auto entry = std::find_if(entries_.rbegin(), entries_.rend(), [](const Entry& e) { return !e.destroyed; });
    if (entry == entries_.rend()) break;
    entry->destroyed = true;
    auto destroyer = entry->destroyer;
    lock.unlock();
    destroyer();
    lock.lock();
  }
  entries_.clear();
  count_ = 0;
  destroyer_ = std::thread::id();
  passOver_.notify_all();
}

std::size_t LifetimeTracker::Count() {
  std::lock_guard lock(mutex_);
  return count_;
}

}  // namespace wl
