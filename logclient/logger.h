// The client side of the log service: every process that links this library
// has one Logger (Singleton<Logger>), and a program routes WriteLog
// (diagnostics/write_log.h) to it at its start (SendReportsToLogger), so the
// library's own reports reach the service too. A caller never waits for the
// service: the level test runs
// on thresholds cached in the process, a passing message is stamped with
// the diagnostic prefix and queued, and one sender thread hands the queue
// to the service through its link (logclient/logger_link.h) and takes the
// levels from the service at most once per 61 seconds of its activity.
//
// While there is no link (the service could not be reached, or went away),
// the sender keeps at most kMaxHeldRecords records for a later link, tries
// to link again when records arrive and kRelinkSeconds have passed since
// the last try, and drops and counts what does not fit. One diagnostic
// line says when the dropping starts, one gives the count when the link is
// back or the Logger stops: two lines per outage, never one per record.
//
// With a link, the records queued and in the sender's hands are bounded by
// bytes (a flood piles up here while the service takes its calls slower than
// they come): a record that does not fit is dropped and counted, and the
// count goes out as one diagnostic line at most every kFloodReportSeconds
// (and when the Logger stops).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/background_worker.h"
#include "diagnostics/scope_tracer.h"
#include "logclient/logger_link.h"

namespace wl {

class Logger {
 public:
  static constexpr std::size_t kMaxHeldRecords = 10000;
  static constexpr std::int64_t kRelinkSeconds = 60;
  static constexpr std::size_t kDefaultQueueLimitBytes = 256 * 1024 * 1024;
  static constexpr std::int64_t kFloodReportSeconds = 10;

  // Builds the identity and traces the constructor; starts nothing. The
  // limit bounds the bytes of records queued for the service.
  explicit Logger(std::size_t queueLimitBytes = kDefaultQueueLimitBytes);
  // Stops (every record queued before is handed to the link first).
  virtual ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Reads the global level from the registry and starts the sender thread.
  // Returns whether the Logger is initialized; false when the thread could
  // not be created (reported), so that the next Log tries again.
  bool Initialize();
  // Ends the sender thread after it has handed over every record queued
  // before the call, and waits for it. Never on the sender thread.
  void Stop();

  // Queues the text (with the diagnostic prefix) for the service when its
  // level passes the cached threshold of its source. An empty text is
  // dropped at once. Never fails visibly. Any thread.
  void Log(std::uint16_t source, std::uint16_t level, std::wstring_view text);

  // "<program> -> <library module> Logger_<n>": the context of the traces.
  [[nodiscard]] const std::wstring& Identity() const { return identity_; }
  [[nodiscard]] bool Initialized() const { return initialized_.load(); }
  // The cached thresholds (0 for a source: it follows the global level).
  [[nodiscard]] std::uint16_t GlobalLevel() const { return globalLevel_.load(std::memory_order_relaxed); }
  [[nodiscard]] std::uint16_t SourceLevel(std::uint16_t source) const {
    return source < kSourceCount ? sourceLevels_[source].load(std::memory_order_relaxed) : 0;
  }
  // Blocks until every record queued before the call has been handed to the
  // link (or held, or dropped) or the sender has ended. For tests and
  // benchmarks.
  void WaitUntilSent() { sender_.WaitUntilHandled(); }

 private:
  enum class LinkState { kConnecting, kLinked, kUnlinked };

  // The sender thread's start: traces the thread (until ThreadEnd), prepares
  // it for the link and makes the link. False ends the thread.
  bool LoggerThread();
  void InitializeLogManager();
  void SendBatch(std::deque<LogRecord>& batch);
  // Keeps records for a later link, as many as fit.
  void Hold(std::deque<LogRecord>& records, std::size_t from);
  void ReportDropped();
  // Reports the records dropped for a full queue when the period is over
  // (or at once with `now` set).
  void ReportFloodDrops(bool now);
  void ThreadEnd();

  std::wstring identity_;
  std::atomic<bool> initialized_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint16_t> globalLevel_{4};
  std::array<std::atomic<std::uint16_t>, kSourceCount> sourceLevels_{};
  std::atomic<LinkState> linkState_{LinkState::kConnecting};
  // Records dropped while there was no link, not yet reported; and whether
  // the start of the dropping has been reported.
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<bool> dropReported_{false};
  // The bytes of records queued or in the sender's hands, their limit, and
  // the records dropped for a full queue, not yet reported.
  const std::size_t queueLimitBytes_;
  std::atomic<std::size_t> queuedBytes_{0};
  std::atomic<std::uint64_t> floodDropped_{0};
  std::mutex startMutex_;

  // The sender thread's own state.
  std::int64_t lastRefresh_ = 0;
  std::int64_t lastLinkAttempt_ = 0;
  // When the flood drops were last reported, if ever.
  std::int64_t lastFloodReport_ = 0;
  bool floodReported_ = false;
  std::deque<LogRecord> held_;
  std::optional<ScopeTracer> threadTracer_;
  LoggerLink link_;

  // Last, so that the thread ends before the members it uses go.
  BackgroundWorker<std::deque<LogRecord>> sender_{
      [this](std::deque<LogRecord>& batch) { SendBatch(batch); },
      {.stopMode = StopMode::Drain, .onStart = [this] { return LoggerThread(); }, .onEnd = [this] { ThreadEnd(); }}};
};

// True on the sender thread of a Logger: the object of a server that logs
// through itself does not count the references of that thread as clients.
bool IsLoggerSenderThread();

// The process's Logger, created on first use; empty while it is being
// created or torn down, and once the process has begun to exit.
std::shared_ptr<Logger> GetLogger();

// Makes WriteLog hand its messages to the process's Logger, which the first
// of them creates (and which drops them once the process has begun to exit).
// Every program that reports through the service calls it at its start.
void SendReportsToLogger();

}  // namespace wl
