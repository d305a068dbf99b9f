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
  std::size_t end = lastParen == std::string_view::npos || lastParen < blank + 1 ? signature.size() : lastParen + 1;
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

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '~';
}

// The position after the bracket that closes the one at `open` ("(" or
// "<"), counting nested brackets of both kinds; npos when it never closes.
std::size_t SkipBrackets(std::string_view text, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < text.size(); ++i) {
    if (text[i] == '(' || text[i] == '<') ++depth;
    if ((text[i] == ')' || text[i] == '>') && --depth == 0) return i + 1;
  }
  return std::string_view::npos;
}

// g++ and clang write "void wl::Logger::LoggerThread()" or
// "wl::Logger::~Logger()", with no calling convention, and name lambdas,
// local classes and anonymous namespaces in their own ways. The name is the
// qualified name in front of the parameter list, followed by what the
// function is local to, without the return type, the parameters, our own
// namespace and anonymous namespaces, so that traces read as on Windows:
// "Logger::Start::<lambda>", "Flag::operator bool". It never holds a
// brace: trace lines pass through the format composer.
std::wstring NameFromPortableSignature(std::string_view signature) {
  std::string text(signature.substr(0, signature.find(" [with ")));
  for (std::string_view noise : {"{anonymous}::", "(anonymous namespace)::"}) {
    for (auto at = text.find(noise); at != std::string::npos; at = text.find(noise)) text.erase(at, noise.size());
  }
  // The parameter list: the first "(" outside template arguments that
  // follows a name; an operator's own symbol or type comes before it.
  std::size_t open = std::string::npos;
  std::size_t nameEnd = std::string::npos;
  int angles = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool operatorWord = text.compare(i, 8, "operator") == 0 && (i == 0 || !IsNameCharacter(text[i - 1])) &&
                        (i + 8 == text.size() || !IsNameCharacter(text[i + 8]));
    if (operatorWord && angles == 0) {
      std::size_t after = text.compare(i + 8, 2, "()") == 0 ? i + 10 : text.find('(', i + 8);
      if (after == std::string::npos || text[after] != '(') return {};
      std::size_t symbolEnd = after;
      while (symbolEnd > i + 8 && text[symbolEnd - 1] == ' ') --symbolEnd;
      nameEnd = symbolEnd;
      open = after;
      break;
    }
    char c = text[i];
    if (c == '<') ++angles;
    if (c == '>' && angles > 0) --angles;
    if (c == '(' && angles == 0 && i > 0 && (IsNameCharacter(text[i - 1]) || text[i - 1] == '>')) {
      nameEnd = open = i;
      break;
    }
  }
  if (open == std::string::npos) return {};
  // The start of the qualified name: back to a blank, "*", "&" or "(" that
  // is not inside template arguments or an operator's name.
  std::size_t start = nameEnd;
  std::size_t operatorAt = text.rfind("operator", nameEnd);
  std::size_t stopAt = operatorAt != std::string::npos && operatorAt + 8 <= nameEnd &&
                               (operatorAt == 0 || !IsNameCharacter(text[operatorAt - 1]))
                           ? operatorAt
                           : nameEnd;
  start = stopAt;
  angles = 0;
  while (start > 0) {
    char c = text[start - 1];
    if (c == '>') ++angles;
    if (c == '<') --angles;
    if (angles == 0 && (c == ' ' || c == '*' || c == '&' || c == '(')) break;
    --start;
  }
  std::string name = text.substr(start, nameEnd - start);
  // What the function is local to: "F()::<lambda()>", "F()::Local::Go()".
  std::size_t at = SkipBrackets(text, open);
  while (at != std::string::npos && text.compare(at, 2, "::") == 0) {
    at += 2;
    if (text.compare(at, 7, "<lambda") == 0) {
      name += "::<lambda>";
      at = SkipBrackets(text, at);
      continue;
    }
    std::size_t segmentEnd = at;
    while (segmentEnd < text.size() && (IsNameCharacter(text[segmentEnd]) || text[segmentEnd] == ':')) ++segmentEnd;
    if (segmentEnd == at) break;
    name += "::" + text.substr(at, segmentEnd - at);
    at = segmentEnd < text.size() && text[segmentEnd] == '(' ? SkipBrackets(text, segmentEnd) : segmentEnd;
  }
  if (name.starts_with("wl::")) name.erase(0, 4);
  std::erase_if(name, [](char c) { return c == '{' || c == '}'; });
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

ScopeTracer::~ScopeTracer() {
  if (!active_) return;
  try {
    std::int64_t now = SteadyNow();
    std::wstring line = Format(L"Exit  <== {} pid {:05x} tid {:05x}", name_, platform::GetCurrentProcessId(),
                               platform::GetCurrentThreadId());
    if (timing_ == 1) line += ElapsedText(now - startTime_);
    output_(line);
  } catch (...) {
    // The exit line is lost; the function's own outcome stands.
  }
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
