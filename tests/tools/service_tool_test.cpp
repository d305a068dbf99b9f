#include "tools/service_tool.h"

#include <gtest/gtest.h>

#include "service_control/service_control.h"
#include "tests/support/test_support.h"

namespace wl {
namespace {

struct ToolRun {
  int code = 0;
  std::wstring out, err;
};

ToolRun Wlsc(const std::vector<std::wstring>& arguments) {
  ToolRun run;
  cli::Console console{[&run](std::string_view bytes) { return run.out += platform::WideFromUtf8(bytes), true; },
                       [&run](std::wstring_view text) { run.err += text; },
                       []() -> std::optional<std::string> { return std::nullopt; }};
  run.code = RunServiceTool(arguments, console);
  return run;
}

TEST(ServiceTool, CommandLinesAndServicesItCannotUse) {
  test::TempRoot root;
  struct Row {
    std::vector<std::wstring> arguments;
    int code;
    std::wstring_view errorStart;
  };
  const Row rows[] = {
      {{}, 2, L"Usage: wlsc"},
      {{L"query"}, 2, L"Usage: wlsc"},
      {{L"pause", L"ScribeHost"}, 2, L"Usage: wlsc"},
      {{L"query", L"NoSuchService", L"extra"}, 2, L"Usage: wlsc"},
      {{L"query", L"NoSuchService"}, 1, L"ERROR: Error 1060 (0x424)"},
      {{L"start", L"NoSuchService"}, 1, L"ERROR: Error 1060 (0x424)"},
      {{L"stop", L"NoSuchService"}, 1, L"ERROR: Error 1060 (0x424)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.arguments.size()) + " arguments");
    ToolRun run = Wlsc(row.arguments);
    EXPECT_EQ(run.code, row.code);
    EXPECT_TRUE(run.err.starts_with(row.errorStart)) << platform::Utf8FromWide(run.err);
    EXPECT_TRUE(run.out.empty());
  }
  ToolRun help = Wlsc({L"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.starts_with(L"Usage: wlsc")) << platform::Utf8FromWide(help.out);
}

TEST(ServiceTool, AStartThatFailsLeavesTheServiceStopped) {
  if (test::OnWindows()) GTEST_SKIP() << "installs a service in the machine's own service database";
  test::TempRoot root;
  platform::ServiceHandle manager, service;
  ASSERT_EQ(platform::OpenSCManagerW(platform::kScManagerAllAccess, manager.Receive()), 0u);
  platform::ServiceConfig config;
  config.serviceType = platform::kServiceWin32OwnProcess;
  config.startType = platform::kServiceDemandStart;
  config.binaryPathName = L"\"" + (root.Path() / "no-such-program").wstring() + L"\"";
  ASSERT_EQ(platform::CreateServiceW(manager.Get(), L"Broken", config, platform::kServiceAllAccess, service.Receive()),
            0u);
  ToolRun query = Wlsc({L"query", L"Broken"});
  EXPECT_EQ(query.out, L"Broken: STOPPED (exit code 1077)\n");
  ToolRun start = Wlsc({L"start", L"Broken"});
  EXPECT_EQ(start.code, 1);
  EXPECT_TRUE(start.err.starts_with(L"ERROR: Error 2 (0x2)")) << platform::Utf8FromWide(start.err);
  // No status of a start that never happened is left behind.
  query = Wlsc({L"query", L"Broken"});
  EXPECT_EQ(query.code, 0);
  EXPECT_TRUE(query.out.starts_with(L"Broken: STOPPED")) << platform::Utf8FromWide(query.out);
  ToolRun stop = Wlsc({L"stop", L"Broken"});
  EXPECT_EQ(stop.code, 1);
  EXPECT_TRUE(stop.err.starts_with(L"ERROR: Error 1062 (0x426)")) << platform::Utf8FromWide(stop.err);
  EXPECT_EQ(platform::DeleteService(service.Get()), 0u);
}

}  // namespace
}  // namespace wl
