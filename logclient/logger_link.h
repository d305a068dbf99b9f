// The Logger's link to the log service: the sender thread's one reference
// to the shared TraceLogManager object, made, used and released on that
// thread only (it joins the multithreaded apartment itself, so nothing is
// marshalled between apartments and no lock guards the reference).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "ScribeHost.h"
#include "logclient/trace_log_manager_proxy.h"

namespace wl {

inline constexpr std::uint16_t kLoggerSourceCount = 37;

// One queued message: the text already carries the diagnostic prefix.
struct LogRecord {
  std::uint16_t source = 0;
  std::uint16_t level = 0;
  std::wstring text;
};

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
  // returns false: there is then no link.
  bool Connect();

  bool Linked() const { return manager_ != nullptr; }

  // Hands the records to the service, oldest first: a source of 37 or more
  // becomes two "Info:  " diagnostic lines, every other record one LogMsg
  // call (pipelined where the transport offers it, so that many are in
  // flight; their results are collected in order). A failed call is
  // reported with "Unable to send log message!" and loses that record only.
  // When the service is gone (the link broke) the link is dropped after
  // that report: the records whose calls were lost with it are counted in
  // *lost, and the return value is the number of records dealt with, so
  // that the caller keeps the rest. Returns records.size() otherwise.
  std::size_t Send(const std::deque<LogRecord>& records, std::uint64_t* lost);

  // Takes the global level and the levels of sources 1 to 36 from the
  // service (a level that cannot be read keeps its cached value; a failed
  // GetLogLevel is reported and the registry's TraceLevel is used). Returns
  // the new global level. Needs a link.
  std::uint16_t RefreshLevels(std::array<std::atomic<std::uint16_t>, kLoggerSourceCount>& sourceLevels);

  // Releases the reference, and leaves the apartment when Prepare joined it.
  void Release();

 private:
  // Reports a failed call; true when the failure means that the service is
  // gone, in which case the link is dropped.
  bool ReportFailedSend(HRESULT result);
  std::size_t SendPipelined(const std::deque<LogRecord>& records, std::uint64_t* lost);
  std::size_t SendOneByOne(const std::deque<LogRecord>& records, std::uint64_t* lost);
  static void WriteOutOfRange(const LogRecord& record);
  void Drop();

  ITraceLogManager* manager_ = nullptr;
  ITraceLogManagerPipeline* pipeline_ = nullptr;
  bool prepared_ = false;
};

}  // namespace wl
