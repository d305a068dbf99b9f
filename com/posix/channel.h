// The client's side of one connection to a local server: the channel that
// carries calls over it (synchronous calls, and pipelined calls whose
// replies are taken later) and the object proxy that stands for the
// server's object in this process, one interface proxy per interface asked
// for. A call that makes no progress for the call time-out fails with
// RPC_E_TIMEOUT and closes the connection; the last Release of the proxy
// closes it, which releases the server's references.
#pragma once

#include <cstdint>
#include <string>

#include "com/com.h"

namespace wl::platform::posix {

// Activates the class's object over the connection fd (taken over, closed
// on failure; path names the socket in reports) and asks it for the
// interface; the proxy's reference into *object.
HRESULT ActivateOverConnection(int fd, const std::string& path, std::uint32_t callMilliseconds, REFIID iid,
                               void** object);

}  // namespace wl::platform::posix
