#include "platform/process.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "tests/support/test_support.h"

namespace wl::platform {
namespace {

// On Windows the arguments travel as one command line that the child's
// runtime splits again: spaces, quotes and backslashes before quotes must
// survive the quoting.
TEST(PlatformProcess, ArgumentsExitCodesAndStartFailures) {
  test::TempFolder folder;
  auto output = folder.Path() / L"arguments";
  const std::vector<std::wstring> sent = {L"plain",
                                          L"two words",
                                          L"",
                                          L"tab\there",
                                          L"say \"hi\"",
                                          L"\"",
                                          L"trailing\\",
                                          L"back\\\\slash",
                                          L"both \\\" and \\\\",
                                          L"ends in quote\\\"",
                                          L"C:\\Program Files\\x\\",
                                          L"-Embedding"};
  std::vector<std::wstring> arguments = {L"write-arguments", output.wstring()};
  arguments.insert(arguments.end(), sent.begin(), sent.end());
  ASSERT_EQ(0, test::RunChild(arguments));
  std::string bytes = test::ReadFileText(output);
  std::vector<std::wstring> received;
  for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
    received.push_back(WideFromUtf8(std::string_view(bytes).substr(start, end - start)));
  }
  EXPECT_EQ(sent, received);

  EXPECT_EQ(7, test::RunChild({L"exit-with", L"7"}));
  Win32Error error = 0;
  EXPECT_EQ(nullptr, StartProcess((folder.Path() / L"missing").wstring() + kExecutableSuffix, {}, &error));
  EXPECT_EQ(kErrorFileNotFound, error);
}

}  // namespace
}  // namespace wl::platform
