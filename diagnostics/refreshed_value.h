// A 32-bit setting cached for the whole process and read again once 11
// seconds or more (more than 10 whole seconds) have passed since the last
// read. The last-read time starts at 0 and the steady clock counts from the
// machine's start, so the first call in a process reads. Any thread; two
// callers that find the refresh due at once both read, which is harmless.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "diagnostics/clock.h"

namespace wl {

class RefreshedValue {
 public:
  static constexpr std::int64_t kRefreshNanoseconds = 11'000'000'000;

  // read() returns the new value, or nullopt to keep the cached one.
  template <typename Read>
  std::uint32_t Get(Read&& read) {
    std::int64_t now = SteadyNow();
    if (now - lastRead_.load(std::memory_order_relaxed) >= kRefreshNanoseconds) {
      lastRead_.store(now, std::memory_order_relaxed);
      if (std::optional<std::uint32_t> fresh = read()) value_.store(*fresh, std::memory_order_relaxed);
    }
    return value_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<std::uint32_t> value_{0};
  std::atomic<std::int64_t> lastRead_{0};
};

}  // namespace wl
