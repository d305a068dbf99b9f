// ScribeHost: the log service's program. Run without switches it serves the
// TraceLogManager class, as a service when registered as one, else as a
// local server that ends with its last client.
#include "host/scribe_host_entry.h"
#include "platform/command_line.h"

namespace {

// Until the command line's registration switches are joined here, every
// command line starts the server.
bool StartServer(std::wstring_view, HRESULT*) { return true; }

}  // namespace

int main(int argc, char** argv) {
  return wl::ScribeHostEntry(wl::platform::ProcessCommandLine(argc, argv), &StartServer);
}
