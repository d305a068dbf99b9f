#include "logclient/logger_link.h"

#include <vector>

#include "com/com.h"
#include "diagnostics/error_text.h"
#include "diagnostics/format.h"
#include "diagnostics/trace_flags.h"
#include "logclient/diagnostic.h"
#include "logclient/file_logger.h"
#include "logclient/log_output.h"

namespace wl {
namespace {

// Calls in flight before their results are collected: enough to keep the
// connection busy, few enough that a failure is reported soon after it.
constexpr std::size_t kPipelineWindow = 4096;

std::uint32_t Code(HRESULT result) { return static_cast<std::uint32_t>(result); }

std::atomic<InProcessLogService*> inProcessService{nullptr};

// The results with which a call fails when its server has gone away (the
// Linux transport's, and those of the COM runtime's remote calls), or has
// stopped answering (the Linux transport then closes the connection).
bool MeansServiceGone(HRESULT result) {
  switch (Code(result)) {
    case 0x80010108u:  // RPC_E_DISCONNECTED
    case 0x8001011Fu:  // RPC_E_TIMEOUT
    case 0x80010007u:  // RPC_E_SERVER_DIED
    case 0x80010012u:  // RPC_E_SERVER_DIED_DNE
    case 0x800401FDu:  // CO_E_OBJNOTCONNECTED
    case 0x800706BAu:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEu:  // RPC_S_CALL_FAILED
    case 0x800706BFu:  // RPC_S_CALL_FAILED_DNE
      return true;
    default:
      return false;
  }
}

}  // namespace

void SetInProcessLogService(InProcessLogService* service) { inProcessService.store(service); }

bool LoggerLink::Prepare() {
  // The service's own process logs through its object and needs no COM:
  // joining it here would keep the process's COM up after the service
  // thread has left it.
  if (inProcessService.load() != nullptr) return true;
  HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  // S_FALSE: the thread had joined already; it is left as often as joined.
  prepared_ = result == S_OK || result == S_FALSE;
  if (FAILED(result)) DiagnosticError(Code(result), L"Unable to initialize COM for the TraceLogManager!");
  return SUCCEEDED(result);
}

bool LoggerLink::Connect() {
  Drop();
  inProcess_ = inProcessService.load();
  if (inProcess_ != nullptr) return true;
  IUnknown* unknown = nullptr;
  HRESULT result = CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                    reinterpret_cast<void**>(&unknown));
  if (SUCCEEDED(result) && unknown != nullptr) {
    result = OleRun(unknown);
    if (SUCCEEDED(result)) result = unknown->QueryInterface(IID_ITraceLogManager, reinterpret_cast<void**>(&manager_));
    unknown->Release();
  }
  if (FAILED(result) || manager_ == nullptr) {
    manager_ = nullptr;
    if (SUCCEEDED(result)) result = E_NOINTERFACE;
    WriteDebugMessage(SafeFormat(Code(result), L"Unable to Create Instance of TraceLogManager!"));
    return false;
  }
  // Only a proxy of the Linux transport has the pipelined form; the COM
  // runtime's proxies and the object in its own process take one call at
  // a time.
  if (FAILED(manager_->QueryInterface(kTraceLogManagerPipelineIid, reinterpret_cast<void**>(&pipeline_)))) {
    pipeline_ = nullptr;
  }
  return true;
}

void LoggerLink::Drop() {
  if (pipeline_ != nullptr) pipeline_->Release();
  pipeline_ = nullptr;
  if (manager_ != nullptr) manager_->Release();
  manager_ = nullptr;
}

void LoggerLink::Release() {
  Drop();
  inProcess_ = nullptr;
  if (prepared_) CoUninitialize();
  prepared_ = false;
}

void LoggerLink::WriteOutOfRange(const LogRecord& record) {
  WriteDiagnostic(std::wstring(kInfoPrefix) +
                  Format(L"********** Logging source {} out of range! **********", record.source));
  WriteDiagnostic(std::wstring(kInfoPrefix) + SafeFormat(record.text));
}

void LoggerLink::WriteToDailyFile(const std::deque<LogRecord>& records) {
  // A record already carries the stamp of a diagnostic line, taken when it
  // was logged.
  std::wstring line;
  for (const LogRecord& record : records) {
    line = L"[" + FormatDiagnosticName({}) + L"] " + record.text;
    if (line.back() != L'\n') line += L'\n';
    FileLog(line);
  }
}

bool LoggerLink::ReportFailedSend(HRESULT result) {
  DiagnosticError(Code(result), L"Unable to send log message!");
  if (!MeansServiceGone(result)) return false;
  Drop();
  return true;
}

std::size_t LoggerLink::Send(const std::deque<LogRecord>& records, std::uint64_t* lost) {
  if (inProcess_ != nullptr) {
    inProcess_->Use([&](ITraceLogManager* manager) {
      if (manager != nullptr) {
        (void)SendOneByOne(manager, records);
      } else {
        WriteToDailyFile(records);
      }
    });
    return records.size();
  }
  if (manager_ == nullptr) return 0;
  return pipeline_ != nullptr ? SendPipelined(records, lost) : SendOneByOne(manager_, records);
}

std::size_t LoggerLink::SendOneByOne(ITraceLogManager* manager, const std::deque<LogRecord>& records) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    const LogRecord& record = records[i];
    if (record.source >= kSourceCount) {
      WriteOutOfRange(record);
      continue;
    }
    platform::OwnedBstr text(record.text);
    HRESULT result = text.Get() != nullptr ? manager->LogMsg(record.source, record.level, text.Get()) : E_OUTOFMEMORY;
    // The object in this process does not go away under a call.
    if (FAILED(result) && ReportFailedSend(result) && inProcess_ == nullptr) return i + 1;
  }
  return records.size();
}

std::size_t LoggerLink::SendPipelined(const std::deque<LogRecord>& records, std::uint64_t* lost) {
  std::vector<HRESULT> results;
  std::size_t inFlight = 0;
  // Collects the results of the calls in flight, in order; false when the
  // service went away (the failed calls after the reported one are lost).
  auto collect = [&]() {
    results.assign(inFlight, S_OK);
    (void)pipeline_->ReceiveResults(static_cast<ULONG>(inFlight), results.data());
    std::size_t count = inFlight;
    inFlight = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (SUCCEEDED(results[i]) || !ReportFailedSend(results[i])) continue;
      *lost += count - i - 1;
      return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < records.size(); ++i) {
    const LogRecord& record = records[i];
    if (record.source >= kSourceCount) {
      WriteOutOfRange(record);
      continue;
    }
    platform::OwnedBstr text(record.text);
    if (text.Get() == nullptr) {
      if (!collect()) return i;
      (void)ReportFailedSend(E_OUTOFMEMORY);
      continue;
    }
    HRESULT sent = pipeline_->SendLogMsg(record.source, record.level, text.Get());
    if (FAILED(sent)) {
      // The connection is gone: the calls in flight fail with it.
      if (!collect()) return i;
      if (ReportFailedSend(sent)) return i + 1;
      continue;
    }
    if (++inFlight == kPipelineWindow && !collect()) return i + 1;
  }
  if (inFlight != 0) (void)collect();
  return records.size();
}

std::uint16_t LoggerLink::RefreshLevels(std::uint16_t global,
                                        std::array<std::atomic<std::uint16_t>, kSourceCount>& sourceLevels) {
  if (inProcess_ == nullptr) return RefreshFrom(manager_, sourceLevels);
  inProcess_->Use([&](ITraceLogManager* manager) {
    if (manager != nullptr) global = RefreshFrom(manager, sourceLevels);
  });
  return global;
}

std::uint16_t LoggerLink::RefreshFrom(ITraceLogManager* manager,
                                      std::array<std::atomic<std::uint16_t>, kSourceCount>& sourceLevels) {
  DiagnosticDebug(L"Updating Global log levels from service.");
  ULONG level = 0;
  HRESULT result = manager->GetLogLevel(&level);
  std::uint16_t global = static_cast<std::uint16_t>(level);
  if (FAILED(result)) {
    DiagnosticError(Code(result), L"Unable to get current log level from TraceLogManager!");
    global = ReadTraceLevel();
  }
  DiagnosticDebug(L"Updating Source log levels from service.");
  // Source 0 is the service's own; the client never takes it.
  for (ULONG source = 1; source < kSourceCount; ++source) {
    ULONG sourceLevel = 0;
    if (SUCCEEDED(manager->GetComponentLogLevel(source, &sourceLevel))) {
      sourceLevels[source].store(static_cast<std::uint16_t>(sourceLevel), std::memory_order_relaxed);
    }
  }
  DiagnosticDebug(L"Done updating from service.");
  return global;
}

}  // namespace wl
