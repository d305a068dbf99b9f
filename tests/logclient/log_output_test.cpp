#include "logclient/log_output.h"

#include <gtest/gtest.h>

#include "diagnostics/scope_tracer.h"
#include "tests/support/library_test_support.h"

namespace wl {

// Outside the anonymous namespace, whose g++ name "{anonymous}" the debug
// sink would read as a format.
void TracedThroughTheDebugSink() { ScopeTracer tracer(LogOutputHelper::GetLogOutput(LogOutput::Debug), 32, 0, L"x"); }

namespace {

using LogOutputTest = test::LibraryTest;

TEST_F(LogOutputTest, SwitchFollowsTheRegistryEveryElevenSeconds) {
  WriteDebugOutput(L"no value");
  ASSERT_EQ(test::SetDebugOutput(1), 0u);
  clock_.AdvanceMilliseconds(10'999);
  WriteDebugMessage(L"too early");
  clock_.AdvanceMilliseconds(1);
  WriteDebugOutput(L"shown");
  ASSERT_EQ(test::SetDebugOutput(0), 0u);
  WriteDebugOutput(L"still shown");
  PassRefreshInterval();
  WriteDebugOutput(L"off again");
  EXPECT_EQ(recorder_.Debug(), (std::vector<std::wstring>{L"TESSEL: shown\n", L"TESSEL: still shown\n"}));
}

TEST_F(LogOutputTest, RemovedKeyKeepsTheSwitchAndALongValueTurnsItOff) {
  ASSERT_EQ(test::SetDebugOutput(7), 0u);
  EXPECT_TRUE(IsDebugOutputEnabled());
  test::RemoveProductKeys();
  PassRefreshInterval();
  EXPECT_TRUE(IsDebugOutputEnabled());
  ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, kCurrentInstallKey, L"DebugOutput", 1, 8), 0u);
  PassRefreshInterval();
  EXPECT_FALSE(IsDebugOutputEnabled());
}

TEST_F(LogOutputTest, TextPassesTheComposerButFinishedMessagesDoNot) {
  ASSERT_EQ(test::SetDebugOutput(1), 0u);
  WriteDebugOutput(L"a {{b}} c");
  WriteDebugOutput(L"x { y");
  WriteDebugMessage(L"kept {");
  TracedThroughTheDebugSink();
  auto texts = recorder_.Debug();
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], L"TESSEL: a {b} c\n");
  EXPECT_TRUE(texts[1].starts_with(L"TESSEL: Exception format: 'x { y' - ")) << texts[1];
  EXPECT_EQ(texts[2], L"TESSEL: kept {\n");
  EXPECT_TRUE(texts[3].starts_with(L"TESSEL: Enter ==> TracedThroughTheDebugSink -- x pid ")) << texts[3];
  EXPECT_TRUE(texts[4].starts_with(L"TESSEL: Exit  <== TracedThroughTheDebugSink -- x pid ")) << texts[4];
}

}  // namespace
}  // namespace wl
