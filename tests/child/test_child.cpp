// The child program of the process-level tests: "scribe_test_child COMMAND
// ARGS..." runs one of the commands that the tests/child_*.cpp files
// register and exits with its result.
#include <cstdio>
#include <string>
#include <vector>

#include "logclient/logger.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

int main(int argc, char** argv) {
  wl::SendReportsToLogger();
  if (argc < 2) {
    std::fprintf(stderr, "usage: scribe_test_child COMMAND [ARGS...]\n");
    return 2;
  }
  std::vector<std::wstring> arguments;
  for (int i = 2; i < argc; ++i) arguments.push_back(wl::platform::WideFromAnsi(argv[i]));
  auto command = wl::test::FindChildCommand(wl::platform::WideFromAnsi(argv[1]));
  if (command == nullptr) {
    std::fprintf(stderr, "scribe_test_child: unknown command %s\n", argv[1]);
    return 2;
  }
  return command(arguments);
}
