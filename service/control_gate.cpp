#include "service/control_gate.h"

#include <optional>

#include "diagnostics/clock.h"
#include "diagnostics/format.h"
#include "diagnostics/registry_key.h"
#include "logclient/diagnostic.h"

namespace wl {
namespace {

constexpr std::int64_t kReportPeriodNanoseconds = kRefusalReportSeconds * 1'000'000'000;
// Callers remembered for their reports; past this many, those whose period
// is over are forgotten.
constexpr std::size_t kMaxCallers = 1024;

}  // namespace

bool ControlGate::Allows(std::wstring_view method) {
  std::uint32_t restricted = restricted_.Get([]() -> std::optional<std::uint32_t> {
    RegistryKey key(false);
    std::uint32_t value = 0;
    if (key.Open(platform::kHKeyLocalMachine, kProductKey) != kErrorSuccess ||
        key.ReadDword(L"RestrictControl", value) != kErrorSuccess) {
      return 0u;
    }
    return value;
  });
  if (restricted == 0) return true;
  platform::ComCaller caller = caller_();
  if (caller.system) return true;
  std::int64_t now = SteadyNow();
  std::uint64_t unreported = 0;
  {
    std::lock_guard lock(mutex_);
    if (refusals_.size() >= kMaxCallers) {
      std::erase_if(refusals_,
                    [now](const auto& entry) { return now - entry.second.reportedAt >= kReportPeriodNanoseconds; });
      if (refusals_.size() >= kMaxCallers) refusals_.clear();
    }
    auto [entry, first] = refusals_.try_emplace(caller.account);
    Refusals& refusals = entry->second;
    if (!first && now - refusals.reportedAt < kReportPeriodNanoseconds) {
      ++refusals.since;
      return false;
    }
    unreported = refusals.since;
    refusals = {now, 0};
  }
  DiagnosticError(kErrorAccessDenied,
                  L"TraceLogManager: {} refused to {} (process {}): RestrictControl lets only SYSTEM change levels and "
                  L"reset the logs{}",
                  method, caller.account.empty() ? std::wstring(L"an unknown caller") : caller.account,
                  caller.processId,
                  unreported == 0 ? std::wstring() : Format(L"; {} more refused since the last report", unreported));
  return false;
}

}  // namespace wl
