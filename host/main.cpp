// ScribeHost: registers or unregisters itself as the command line asks.
// Serving the class (as a service or a local server) is not built yet: a
// command line without a registration switch ends with E_NOTIMPL.
#include <cstdio>

#include "diagnostics/crash_handler.h"
#include "host/registration_scripts.h"
#include "host/scribe_host_module.h"
#include "platform/command_line.h"
#include "platform/system.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  wl::CrashHandlerScope crashHandlers;
  wl::AddRegistrationScripts();
  wl::CScribeHostModule module(wl::platform::GetExecutableFileName());
  wl::HResult result = wl::kSOk;
  if (module.ParseCommandLine(wl::platform::ProcessCommandLine(argc, argv), &result)) {
    std::fputs("ScribeHost: running as a service or a local server is not built yet\n", stderr);
    result = static_cast<wl::HResult>(0x80004001);
  } else if (!module.LastScriptFailure().empty()) {
    std::fputs((wl::platform::Utf8FromWide(module.LastScriptFailure()) + "\n").c_str(), stderr);
  }
  return static_cast<int>(result);
}
