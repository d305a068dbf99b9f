#include "diagnostics/write_log.h"

#include <atomic>

namespace wl {
namespace {

// Constant-initialized and trivially destroyed: usable from the first static
// constructor to the last static destructor.
constinit std::atomic<LogSink> logSink{nullptr};

}  // namespace

void WriteLog(std::uint16_t source, std::uint16_t level, std::wstring_view text) {
  if (LogSink sink = logSink.load(std::memory_order_acquire)) sink(source, level, text);
}

void WriteLog(std::uint16_t level, std::wstring_view text) { WriteLog(kDefaultLogSource, level, text); }

LogSink SetLogSink(LogSink sink) { return logSink.exchange(sink, std::memory_order_acq_rel); }

}  // namespace wl
