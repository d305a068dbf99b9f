#include "service/service_events.h"

#include <atomic>

namespace wl {
namespace {

std::atomic<ServiceEventReceiver> receiver{nullptr};

}  // namespace

void SetServiceEventReceiver(ServiceEventReceiver newReceiver) { receiver.store(newReceiver); }

void ReportServiceEvent(std::wstring_view text, bool error) {
  if (ServiceEventReceiver current = receiver.load()) current(text, error);
}

}  // namespace wl
