#include "logclient/log_output.h"

#include <cstdint>
#include <memory>
#include <mutex>

#include "diagnostics/clock.h"
#include "diagnostics/error_text.h"
#include "diagnostics/refreshed_value.h"
#include "diagnostics/registry_key.h"
#include "platform/debug_output.h"

namespace wl {
namespace {

// The DebugOutput switch; a key that does not open keeps the cached value.
RefreshedValue& DebugOutputCache() {
  static RefreshedValue cache(kSettingStaleAfterSeconds);
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
  return DebugOutputCache().Get([]() -> std::optional<std::uint32_t> {
    RegistryKey key(false);
    if (key.Open(platform::kHKeyLocalMachine, kCurrentInstallKey) != kErrorSuccess) return std::nullopt;
    // A missing value, or one longer than 4 bytes, reads as 0 (off).
    std::uint32_t value = 0;
    (void)key.ReadDword(L"DebugOutput", value);
    return value;
  }) != 0;
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
