#include "logclient/log_output.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "diagnostics/clock.h"
#include "diagnostics/error_text.h"
#include "diagnostics/registry_key.h"
#include "platform/debug_output.h"

namespace wl {
namespace {

constexpr std::int64_t kRefreshNanoseconds = 11'000'000'000;

struct DebugOutputCache {
  std::atomic<std::uint32_t> value{0};
  // 0 until the first read, so the first call always reads.
  std::atomic<std::int64_t> lastRead{0};
};

DebugOutputCache& Cache() {
  static DebugOutputCache cache;
  return cache;
}

std::mutex sinkMutex;
std::shared_ptr<const DebugOutputSink> testSink;

}  // namespace

void SendToDebugOutput(std::wstring_view text) {
  std::shared_ptr<const DebugOutputSink> sink;
  {
    std::lock_guard lock(sinkMutex);
    sink = testSink;
  }
  if (sink) {
    (*sink)(text);
  } else {
    platform::OutputDebugText(text);
  }
}

OutputFunction LogOutputHelper::GetLogOutput(LogOutput) { return WriteDebugOutput; }

bool IsDebugOutputEnabled() {
  DebugOutputCache& cache = Cache();
  std::int64_t now = SteadyNow();
  if (now - cache.lastRead.load(std::memory_order_relaxed) >= kRefreshNanoseconds) {
    // Concurrent callers may both read the registry; that is harmless.
    cache.lastRead.store(now, std::memory_order_relaxed);
    RegistryKey key(false);
    if (key.Open(platform::kHKeyLocalMachine, kCurrentInstallKey) == kErrorSuccess) {
      // A missing value, or one longer than 4 bytes, reads as 0 (off).
      std::uint32_t value = 0;
      key.ReadDword(L"DebugOutput", value);
      cache.value.store(value, std::memory_order_relaxed);
    }
  }
  return cache.value.load(std::memory_order_relaxed) != 0;
}

void WriteDebugOutput(std::wstring_view text) { WriteDebugMessage(SafeFormat(text)); }

void WriteDebugMessage(std::wstring_view message) {
  if (!IsDebugOutputEnabled()) return;
  SendToDebugOutput(Format(L"TESSEL: {}\n", message));
}

void SetDebugOutputSinkForTesting(DebugOutputSink sink) {
  std::shared_ptr<const DebugOutputSink> replacement;
  if (sink) replacement = std::make_shared<const DebugOutputSink>(std::move(sink));
  std::lock_guard lock(sinkMutex);
  testSink = std::move(replacement);
}

}  // namespace wl
