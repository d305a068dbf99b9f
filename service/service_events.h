// Reports that parts of the service make for the host's event log while it
// runs (the forwarder's "cannot reach the collector" and "connected again").
// The host process installs the receiver, which writes the event log and,
// in the foreground, its standard output; a process without a receiver
// drops them.
#pragma once

#include <string_view>

namespace wl {

using ServiceEventReceiver = void (*)(std::wstring_view text, bool error);

// Installs the receiver (nullptr: none). Any thread.
void SetServiceEventReceiver(ServiceEventReceiver receiver);

// Hands text to the receiver, if any. Any thread.
void ReportServiceEvent(std::wstring_view text, bool error);

}  // namespace wl
