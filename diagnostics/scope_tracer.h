// Enter and exit lines for a function, written by an object at the top of the
// function body:
//   ScopeTracer tracer(LogOutputHelper::GetLogOutput(LogOutput::Debug), 32, 0, identity);
// The exit line is written however the function is left, also by an exception.
#pragma once

#include <cstdint>
#include <functional>
#include <source_location>
#include <string>
#include <string_view>

namespace wl {

// The sink of a tracer's lines.
using OutputFunction = std::function<void(std::wstring_view)>;

// The readable function name from a compiler signature: "void __cdecl
// Logger::LoggerThread(void)" gives Logger::LoggerThread.
std::wstring CleanFunctionName(const std::source_location& location);
std::wstring CleanFunctionName(std::string_view signature);

class ScopeTracer {
 public:
  // flagBit: a trace-flag bit that must be set for the tracer to write (32 =
  // always). timing 1 appends the elapsed time to the exit line.
  ScopeTracer(OutputFunction output, std::uint32_t flagBit, std::uint32_t timing, std::wstring_view extraText = {},
              const std::source_location& location = std::source_location::current());
  // Writes the exit line. Never throws: an output that throws loses the
  // line, so that a tracer never ends a process that is unwinding.
  ~ScopeTracer();
  ScopeTracer(const ScopeTracer&) = delete;
  ScopeTracer& operator=(const ScopeTracer&) = delete;

  // The " - Elapsed ..." suffix for a duration in nanoseconds.
  static std::wstring ElapsedText(std::int64_t nanoseconds);

 private:
  OutputFunction output_;
  bool active_ = false;
  std::uint32_t timing_ = 0;
  std::int64_t startTime_ = 0;
  std::wstring name_;
};

}  // namespace wl
