// The log service of the process that serves the TraceLogManager class, as
// that process's own Logger reaches it (logclient/logger_link.h): its object
// while the process serves, nothing before and after. So the process never
// activates a server of its own class, and its reports go to its daily file
// while it does not serve.
#pragma once

#include <functional>
#include <mutex>

#include "logclient/logger_link.h"

namespace wl {

class TraceLogManagerFactory;

class OwnLogService final : public InProcessLogService {
 public:
  // The process serves through the factory from now on: its object (made at
  // the Logger's first use when no client has made it yet) goes to the
  // Logger. The factory must stay until Stop. Any thread.
  void Serve(TraceLogManagerFactory* factory);

  // The process stops serving: waits for a use in progress, then the
  // object, when made, writes every line queued and closes its files. Does
  // nothing when it does not serve. Not on the writer's or the Logger's
  // thread.
  void Stop();

  void Use(const std::function<void(ITraceLogManager*)>& use) override;

 private:
  std::mutex mutex_;
  TraceLogManagerFactory* factory_ = nullptr;
};

}  // namespace wl
