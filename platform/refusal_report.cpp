#include "platform/refusal_report.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/debug_output.h"

namespace wl::platform {
namespace {

void DefaultSink(std::wstring_view text) { OutputDebugText(std::wstring(text) + L"\n"); }

std::atomic<RefusalSink> sink{&DefaultSink};

// The last report per path. Kept small: a process meets few refused paths.
std::mutex reportedLock;
std::map<std::wstring, std::pair<std::wstring, std::uint64_t>>& Reported() {
  static auto* reported = new std::map<std::wstring, std::pair<std::wstring, std::uint64_t>>;
  return *reported;
}

}  // namespace

void SetRefusalSink(RefusalSink newSink) { sink = newSink == nullptr ? &DefaultSink : newSink; }

void ReportRefusal(std::wstring_view path, std::wstring_view text, std::uint64_t version) {
  {
    std::lock_guard lock(reportedLock);
    auto& reported = Reported();
    auto found = reported.find(std::wstring(path));
    if (found != reported.end() && found->second.first == text && found->second.second == version) return;
    if (reported.size() >= 256) reported.clear();
    reported[std::wstring(path)] = {std::wstring(text), version};
  }
  sink.load()(text);
}

}  // namespace wl::platform
