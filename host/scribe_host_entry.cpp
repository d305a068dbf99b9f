#include "host/scribe_host_entry.h"

#include <string>

#include "diagnostics/crash_handler.h"
#include "host/scribe_host_module.h"
#include "logclient/diagnostic.h"
#include "logclient/logger.h"
#include "logclient/logger_link.h"

namespace wl {

int ScribeHostEntry(std::wstring_view commandLine, CommandLineParser parse) {
  // The library's reports (crash handling among them) go to the Logger,
  // which hands them to this program's own object.
  SendReportsToLogger();
  // Installs the handlers now and restores the earlier invalid-parameter
  // handler when the entry returns.
  CrashHandlerScope crashHandlers;
  // Connections that the transport refuses, and files that the layer
  // refuses to use, are the service's own troubles.
  SendComReportsToDiagnostics();
  SendRefusalsToDiagnostics();
  CScribeHostModule& module = CScribeHostModule::Instance();
  // This program serves the log service's class: what it logs goes to its
  // own object, never to a server that it would activate.
  SetInProcessLogService(&module.OwnService());
  HRESULT result = S_OK;
  if (parse(commandLine, &result)) result = module.Start();
  if (!module.IsService() && module.ComInitialized()) CoUninitialize();
  return static_cast<int>(result);
}

}  // namespace wl
