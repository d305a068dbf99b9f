// Linked into the test programs above the client library: WriteLog reaches
// the process's Logger from the first test on, as it does in the product's
// programs.
#include "logclient/logger.h"

namespace {

struct ReportsToLogger {
  ReportsToLogger() { wl::SendReportsToLogger(); }
} reportsToLogger;

}  // namespace
