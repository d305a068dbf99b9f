// ScribeHost: the log service's program. A registration switch registers or
// unregisters it; without one it serves the TraceLogManager class, as a
// service when registered as one, else as a local server that ends with its
// last client.
#include <cstdio>

#include "host/registration_scripts.h"
#include "host/scribe_host_entry.h"
#include "host/scribe_host_registration.h"
#include "platform/command_line.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

bool RegisterOrStart(std::wstring_view commandLine, HRESULT* result) {
  wl::AddRegistrationScripts();
  wl::ScribeHostRegistration registration(wl::platform::GetExecutableFileName());
  wl::HResult registered = wl::kSOk;
  if (registration.ParseCommandLine(commandLine, &registered)) return true;
  if (!registration.LastScriptFailure().empty()) {
    std::fputs((wl::platform::Utf8FromWide(registration.LastScriptFailure()) + "\n").c_str(), stderr);
  }
  *result = static_cast<HRESULT>(registered);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  return wl::ScribeHostEntry(wl::platform::ProcessCommandLine(argc, argv), &RegisterOrStart);
}
