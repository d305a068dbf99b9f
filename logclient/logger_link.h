// The Logger's link to the log service: the sender thread's one reference
// to the shared TraceLogManager object, made, used and released on that
// thread only (it joins the multithreaded apartment itself, so nothing is
// marshalled between apartments and no lock guards the reference).
//
// In the process that serves the class itself, the link never activates
// the class: that would start a second server (the first one has stopped
// taking activations, or has not begun yet), which then finds the log files
// held by the first. The server installs an InProcessLogService instead,
// and the link hands each batch to the object through it, or, while the
// process does not serve, writes the records to the daily file.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "ScribeHost.h"
#include "logclient/log_tables.h"
#include "logclient/trace_log_manager_proxy.h"

namespace wl {

// One queued message: the text already carries the diagnostic prefix.
struct LogRecord {
  std::uint16_t source = 0;
  std::uint16_t level = 0;
  std::wstring text;
};

// The log service of a process that serves the TraceLogManager class.
class InProcessLogService {
 public:
  virtual ~InProcessLogService() = default;
  // Calls `use` once: with the process's own object (a reference that stays
  // while `use` runs) while the process serves the class, else with null.
  // On the Logger's sender thread.
  virtual void Use(const std::function<void(ITraceLogManager*)>& use) = 0;
};

// Makes the links connected from now on use the service instead of
// activating the class (null: they activate it, as any client does). Call it
// before the process logs; the service must outlive the process's Logger.
void SetInProcessLogService(InProcessLogService* service);

class LoggerLink {
 public:
  LoggerLink() = default;
  ~LoggerLink() { Release(); }
  LoggerLink(const LoggerLink&) = delete;
  LoggerLink& operator=(const LoggerLink&) = delete;

  // Joins the multithreaded apartment. On failure writes "Unable to
  // initialize COM for the TraceLogManager!" with the code and returns false.
  bool Prepare();

  // Makes the link (CoCreateInstance of a local server, OleRun,
  // QueryInterface), dropping a reference held before. On failure reports
  // "Unable to Create Instance of TraceLogManager!" to the debug output and
  // returns false: there is then no link. With an InProcessLogService
  // installed, the link goes through it and is always made.
  bool Connect();

  [[nodiscard]] bool Linked() const { return manager_ != nullptr || inProcess_ != nullptr; }

  // Hands the records to the service, oldest first: a source of 37 or more
  // becomes two "Info:  " diagnostic lines, every other record one LogMsg
  // call (pipelined where the transport offers it, so that many are in
  // flight; their results are collected in order). A failed call is
  // reported with "Unable to send log message!" and loses that record only.
  // When the service is gone (the link broke) the link is dropped after
  // that report: the records whose calls were lost with it are counted in
  // *lost, and the return value is the number of records dealt with, so
  // that the caller keeps the rest. Returns records.size() otherwise. In
  // the serving process, while it does not serve, each record becomes a
  // line of the daily file: the name column and the record's text.
  std::size_t Send(const std::deque<LogRecord>& records, std::uint64_t* lost);

  // Takes the global level and the levels of sources 1 to 36 from the
  // service (a level that cannot be read keeps its cached value; a failed
  // GetLogLevel is reported and the registry's TraceLevel is used). Returns
  // the new global level: `global` when the serving process does not serve.
  // Needs a link.
  std::uint16_t RefreshLevels(std::uint16_t global, std::array<std::atomic<std::uint16_t>, kSourceCount>& sourceLevels);

  // Releases the reference, and leaves the apartment when Prepare joined it.
  void Release();

 private:
  // Reports a failed call; true when the failure means that the service is
  // gone, in which case the link is dropped.
  bool ReportFailedSend(HRESULT result);
  std::size_t SendPipelined(const std::deque<LogRecord>& records, std::uint64_t* lost);
  std::size_t SendOneByOne(ITraceLogManager* manager, const std::deque<LogRecord>& records);
  std::uint16_t RefreshFrom(ITraceLogManager* manager,
                            std::array<std::atomic<std::uint16_t>, kSourceCount>& sourceLevels);
  static void WriteOutOfRange(const LogRecord& record);
  static void WriteToDailyFile(const std::deque<LogRecord>& records);
  void Drop();

  ITraceLogManager* manager_ = nullptr;
  ITraceLogManagerPipeline* pipeline_ = nullptr;
  InProcessLogService* inProcess_ = nullptr;
  bool prepared_ = false;
};

}  // namespace wl
