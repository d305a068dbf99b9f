// The server side of the Linux COM transport (com_server.cpp: the event
// loop over server_listener.h, server_connection.h, server_dispatch.h).
#pragma once

#include "com/com.h"

namespace wl::platform::posix {

// Starts listening on the class's socket, <root>/run/com/{CLSID}.sock
// (replacing a socket file left there). Connections are served with the
// class object registered in this process. S_OK or the failure.
HRESULT ListenForClass(const CLSID& clsid);
// Stops taking connections for the class and removes its socket; the
// connections already made go on.
void StopListeningForClass(const CLSID& clsid);
// Stops everything: listeners, connections (their references released),
// and the server threads. Not on a server thread.
void StopComServer();

}  // namespace wl::platform::posix
