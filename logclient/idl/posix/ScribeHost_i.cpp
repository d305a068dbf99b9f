// The identifiers of ScribeHost.idl for the Linux build (widl writes them
// for Windows). Any program that names one of them also gets the type
// library built in, so that its proxies and LoadRegTypeLib know it.
#include "ScribeHost.h"
#include "logclient/trace_log_manager_type.h"

const GUID LIBID_ScribeHostLib = wl::kScribeHostLibId;
const CLSID CLSID_TraceLogManager = wl::kTraceLogManagerClsid;
const IID IID_ITraceLogManager = wl::kTraceLogManagerIid;

namespace {

[[maybe_unused]] const bool builtIn = (wl::platform::AddBuiltInTypeLibrary(wl::ScribeHostTypeLib()), true);

}  // namespace
