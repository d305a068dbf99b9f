#include "diagnostics/scope_tracer.h"

#include "diagnostics/clock.h"
#include "diagnostics/format.h"
#include "diagnostics/trace_flags.h"
#include "platform/system.h"
#include "platform/text.h"

namespace wl {
namespace {

// Signatures of the Windows compiler carry the calling convention:
// "void __cdecl Logger::LoggerThread(void)". The name is the text after the
// blank that follows "__cdecl", with the parameter list cut off.
std::wstring NameFromCdeclSignature(std::string_view signature, std::size_t cdecl) {
  std::size_t blank = signature.find(' ', cdecl);
  if (blank == std::string_view::npos) return {};
  std::size_t lastParen = signature.rfind(')');
  std::size_t end = lastParen == std::string_view::npos || lastParen < blank + 1 ? signature.size()
                                                                                  : lastParen + 1;
  std::wstring name = platform::WideFromAnsi(signature.substr(blank + 1, end - blank - 1));
  std::size_t open = name.find(L'(');
  if (!name.empty() && open != std::wstring::npos) {
    std::size_t close = name.find(L')', open);
    if (close == open + 1) {
      name.erase(close + 1);
    } else {
      name.erase(open);
    }
  }
  return name;
}

// g++ and clang write "void wl::Logger::LoggerThread()" or
// "wl::Logger::~Logger()", with no calling convention. The name is the
// qualified name in front of the parameter list, without the return type,
// the parameters and our own namespace, so that traces read as on Windows.
std::wstring NameFromPortableSignature(std::string_view signature) {
  std::size_t with = signature.find(" [with ");
  if (with != std::string_view::npos) signature = signature.substr(0, with);
  std::size_t close = signature.rfind(')');
  if (close == std::string_view::npos) return {};
  int depth = 0;
  std::size_t open = close;
  for (;; --open) {
    if (signature[open] == ')') ++depth;
    if (signature[open] == '(' && --depth == 0) break;
    if (open == 0) return {};
  }
  int angles = 0;
  std::size_t start = open;
  while (start > 0) {
    char c = signature[start - 1];
    if (c == '>') ++angles;
    if (c == '<') --angles;
    if (c == ' ' && angles == 0) break;
    --start;
  }
  std::string name(signature.substr(start, open - start));
  for (std::string_view noise : {"wl::", "{anonymous}::", "(anonymous namespace)::"}) {
    if (name.starts_with(noise)) name.erase(0, noise.size());
  }
  return platform::WideFromAnsi(name);
}

}  // namespace

std::wstring CleanFunctionName(std::string_view signature) {
  if (signature.size() < 7) return {};
  std::size_t cdecl = signature.find("__cdecl");
  if (cdecl != std::string_view::npos) return NameFromCdeclSignature(signature, cdecl);
  return NameFromPortableSignature(signature);
}

std::wstring CleanFunctionName(const std::source_location& location) {
  return CleanFunctionName(std::string_view(location.function_name()));
}

ScopeTracer::ScopeTracer(OutputFunction output, std::uint32_t flagBit, std::uint32_t timing,
                         std::wstring_view extraText, const std::source_location& location)
    : output_(std::move(output)), timing_(timing), name_(CleanFunctionName(location)) {
  if (!extraText.empty()) {
    name_ += L" -- ";
    name_ += extraText;
  }
  if (flagBit != kTraceFlagAlways && !IsTraceFlagSet(flagBit)) return;
  active_ = true;
  std::wstring line = Format(L"Enter ==> {} pid {:05x} tid {:05x}", name_, platform::GetCurrentProcessId(),
                             platform::GetCurrentThreadId());
  if (timing_ == 1) startTime_ = SteadyNow();
  output_(line);
}

ScopeTracer::~ScopeTracer() noexcept(false) {
  if (!active_) return;
  std::int64_t now = SteadyNow();
  std::wstring line = Format(L"Exit  <== {} pid {:05x} tid {:05x}", name_, platform::GetCurrentProcessId(),
                             platform::GetCurrentThreadId());
  if (timing_ == 1) line += ElapsedText(now - startTime_);
  output_(line);
}

std::wstring ScopeTracer::ElapsedText(std::int64_t elapsed) {
  if (elapsed <= 1000) return Format(L" - Elapsed {}ns", elapsed);
  std::int64_t microseconds = elapsed / 1000;
  if (microseconds <= 1000) return Format(L" - Elapsed {}us", microseconds);
  std::int64_t milliseconds = elapsed / 1000000;
  if (milliseconds > 1000) return Format(L" - Elapsed {:01.3f}s", static_cast<double>(milliseconds) / 1000.0);
  return Format(L" - Elapsed {}ms", milliseconds);
}

}  // namespace wl
