// Fuzzes the command line of ScribeHost without acting on it: the bytes are
// the program's arguments (separated by null bytes, as the system passes
// them), joined into the command line that the entry hands to its parser,
// and the switch that the parser finds in it. Nothing is registered,
// started or stopped. Besides crashes and undefined behaviour it checks
// rules of the switch search that any command line obeys: the case of the
// letters does not matter, and a registration switch put in front wins.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/scribe_host_registration.h"
#include "platform/command_line.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::wstring UpperAscii(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // argv[0] is the program; the arguments follow, each ended by a null.
  std::vector<std::string> arguments = {"/opt/wayline/ScribeHost"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) arguments.push_back(current);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(arguments.size());

  std::wstring line = wl::platform::ProcessCommandLine(argc, argv.data());
  Check(wl::platform::CommandLineArguments(argc, argv.data()).size() == arguments.size() - 1);
  wl::HostSwitch found = wl::FindHostSwitch(line);
  Check(wl::FindHostSwitch(UpperAscii(line)) == found);
  Check(wl::FindHostSwitch(L"ScribeHost /UnregServer " + line) == wl::HostSwitch::kUnregServer);
  Check(wl::FindHostSwitch(L"ScribeHost -regserverperuser\t" + line) == wl::HostSwitch::kRegServerPerUser);
  // Service counts only when no registration switch is there.
  wl::HostSwitch withService = wl::FindHostSwitch(line + L" -Service");
  Check(found == wl::HostSwitch::kNone ? withService == wl::HostSwitch::kService : withService == found);
  return 0;
}
