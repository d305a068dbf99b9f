#include "diagnostics/scope_tracer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/clock.h"
#include "diagnostics/format.h"
#include "platform/system.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

TEST(CleanFunctionName, TakesTheReadableNameFromSignatures) {
  const struct {
    const char* signature;
    const wchar_t* name;
  } cases[] = {
      // Signatures of the Windows compiler.
      {"void __cdecl Logger::LoggerThread(void)", L"Logger::LoggerThread"},
      {"__cdecl Logger::~Logger(void) noexcept", L"Logger::~Logger"},
      {"bool __cdecl Logger::Initialize(void)", L"Logger::Initialize"},
      {"void __cdecl Functor::operator ()(int)", L"Functor::operator ()"},
      {"void __cdecl Callable::Run()", L"Callable::Run()"},
      {"int __cdecl", L""},
      {"short", L""},
      // Signatures of g++ and clang.
      {"void wl::Logger::LoggerThread()", L"Logger::LoggerThread"},
      {"wl::Logger::~Logger()", L"Logger::~Logger"},
      {"bool wl::Logger::Initialize(std::wstring_view, int)", L"Logger::Initialize"},
      {"std::shared_ptr<_Tp> wl::Singleton<T>::GetInstance(Creator&&) [with Creator = int; T = int]",
       L"Singleton<T>::GetInstance"},
      {"int main(int, char**)", L"main"},
      {"no parameter list", L""},
      // Names that are no plain identifiers; no braces ever reach the name,
      // since a trace line passes through the format composer.
      {"void wl::Outer::{anonymous}::Run()", L"Outer::Run"},
      {"void wl::{anonymous}::Helper(int)", L"Helper"},
      {"void wl::(anonymous namespace)::Helper(int)", L"Helper"},
      {"wl::Flag::operator bool() const", L"Flag::operator bool"},
      {"void wl::Functor::operator()(int) const", L"Functor::operator()"},
      {"bool wl::operator<(const Item&, const Item&)", L"operator<"},
      {"wl::Logger::Start()::<lambda()>", L"Logger::Start::<lambda>"},
      {"wl::Logger::Start()::<lambda(int)>::<lambda()>", L"Logger::Start::<lambda>::<lambda>"},
      {"void (* wl::Get())(int)", L"Get"},
      {"std::function<void(int)> wl::Make(std::map<int, int>)", L"Make"},
      {"void wl::Run()::Local::Go()", L"Run::Local::Go"},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanFunctionName(c.signature), c.name) << c.signature;
}

class TracedObject {
 public:
  explicit TracedObject(std::vector<std::wstring>& lines) : lines_(lines) {}
  void Work(bool fail) {
    ScopeTracer tracer([this](std::wstring_view line) { lines_.emplace_back(line); }, kTraceFlagAlwaysForTest, 0,
                       L"Worker_7");
    lines_.push_back(L"inside");
    if (fail) throw std::runtime_error("fails");
  }
  static constexpr std::uint32_t kTraceFlagAlwaysForTest = 32;

 private:
  std::vector<std::wstring>& lines_;
};

TEST(ScopeTracer, WritesEnterAndExitLinesAlsoWhenLeftByAnException) {
  std::vector<std::wstring> lines;
  TracedObject(lines).Work(false);
  EXPECT_THROW(TracedObject(lines).Work(true), std::runtime_error);
  std::wstring ids = Format(L"pid {:05x} tid {:05x}", platform::GetCurrentProcessId(), platform::GetCurrentThreadId());
  std::wstring enter = L"Enter ==> TracedObject::Work -- Worker_7 " + ids;
  std::wstring exit = L"Exit  <== TracedObject::Work -- Worker_7 " + ids;
  EXPECT_EQ(lines, (std::vector<std::wstring>{enter, L"inside", exit, enter, L"inside", exit}));

  // An output that throws on the exit line loses that line; the destructor
  // itself never throws.
  int calls = 0;
  auto throwing = [&calls](std::wstring_view) {
    if (++calls == 2) throw std::runtime_error("sink");
  };
  EXPECT_NO_THROW({ ScopeTracer tracer(throwing, TracedObject::kTraceFlagAlwaysForTest, 1); });
  EXPECT_EQ(calls, 2);
}

TEST(ScopeTracer, StaysSilentWhenItsTraceFlagIsClear) {
  test::TempRoot root;  // no registry: every trace flag is clear
  std::vector<std::wstring> lines;
  {
    ScopeTracer tracer([&](std::wstring_view line) { lines.emplace_back(line); }, 16, 0);
  }
  EXPECT_TRUE(lines.empty());
}

TEST(ScopeTracer, ElapsedTimeOnTheSteadyClockPicksItsUnit) {
  ManualClock clock;
  ScopedClock installed(clock);
  std::vector<std::wstring> lines;
  {
    ScopeTracer tracer([&](std::wstring_view line) { lines.emplace_back(line); }, 32, 1);
    clock.AdvanceNanoseconds(1500);
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[1].ends_with(L" - Elapsed 1us")) << lines[1];
  EXPECT_EQ(lines[0].find(L" - Elapsed"), std::wstring::npos) << lines[0];
  const std::pair<std::int64_t, const wchar_t*> cases[] = {
      {999, L"999ns"},           {1000, L"1000ns"},          {1500, L"1us"},
      {999'999, L"999us"},       {1'000'000'000, L"1000ms"}, {2'500'000'000, L"2.500s"},
      {1'234'567'890, L"1.234s"}};
  for (const auto& [nanoseconds, text] : cases) {
    EXPECT_EQ(ScopeTracer::ElapsedText(nanoseconds), std::wstring(L" - Elapsed ") + text);
  }
}

}  // namespace
}  // namespace wl
