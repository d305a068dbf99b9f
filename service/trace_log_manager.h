// The core of the log service: the object that every component's messages
// pass through. It keeps the global and per-source levels, turns each
// accepted message into one finished line, queues it, and runs one writer
// thread that appends the lines to the fifteen component log files, rotating
// them by size. Callers never wait for the disk; failures inside the core
// become diagnostic lines and never reach a caller.
//
// Life: construct, FinalConstruct (starts the writer), any number of calls
// from any threads, FinalRelease (stops the writer after every line queued
// before it, closes the files). The destructor runs FinalRelease when it was not
// called; neither may run on the writer thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/background_worker.h"
#include "diagnostics/refreshed_value.h"
#include "logclient/log_tables.h"
#include "platform/types.h"
#include "service/file_committer.h"
#include "service/forwarder.h"
#include "service/line_queue.h"
#include "service/log_file_info.h"

namespace wl {

// Whole seconds that must be exceeded before intake reads the global level
// from the registry again.
inline constexpr std::int64_t kLevelRefreshSeconds = 60;

// The bytes of accepted lines that may wait for the writer (MaxQueueBytes,
// bounded to this range): a line that would go past it is dropped and
// counted, and the caller goes on at once.
inline constexpr std::size_t kDefaultQueueLimitBytes = 64 * 1024 * 1024;
inline constexpr std::size_t kMinQueueLimitBytes = 64 * 1024;
inline constexpr std::size_t kMaxQueueLimitBytes = 1024 * 1024 * 1024;

// The settings of the core read once at its construction, under
// HKLM\Software\Kestrix\Wayline: BatchedWrites (non-zero: each file's
// lines of one batch go to the system in one vectored write) and
// MaxQueueBytes. A value that cannot be read keeps its default.
struct CoreSettings {
  bool batchedWrites = false;
  std::size_t queueLimitBytes = kDefaultQueueLimitBytes;
};
CoreSettings ReadCoreSettings();

// The time of a stamp, "{:02}/{:02} {:02}:{:02}:{:02}.{:03}" (month, day, hour,
// minute, second, milliseconds), appended in UTF-8. Built by hand because it
// is on every caller's path.
void AppendStampTime(std::string& out, const LocalTime& time);

class TraceLogManager {
 public:
  // Builds the fifteen closed file records and reads the global level
  // (TraceLevel, 4 when absent). Opens no file and starts no thread.
  TraceLogManager();
  ~TraceLogManager();
  TraceLogManager(const TraceLogManager&) = delete;
  TraceLogManager& operator=(const TraceLogManager&) = delete;

  // Starts the writer thread and the thread that flushes files for the size
  // checks. Returns S_OK, or E_OUTOFMEMORY when a thread cannot be created
  // (messages are then queued and never written; without the flushing
  // thread the writer flushes itself).
  [[nodiscard]] HResult FinalConstruct();

  // Stops the writer after it has written every line queued before the
  // call (a caller answered S_OK finds its line on disk), then closes every
  // open file and releases the records.
  // Idempotent. Not on the writer thread.
  void FinalRelease();

  // Message intake, on the caller's thread: E_INVALIDARG for a source of 37
  // or more or a level of 7 or more; otherwise S_OK, whether the message was
  // dropped by the level test, dropped at the queue limit or queued. The
  // text is taken whole (embedded nulls included); a text that does not
  // begin with a client stamp gets the service's own. Never touches a file
  // and never waits for the writer: when the lines accepted and not yet
  // written would go past the queue limit with this one, the line is
  // dropped and counted for its file (a line alone larger than the limit
  // goes in when nothing waits). Once the writer has written what was
  // waiting, it puts one line with the count into each file that lost lines
  // ("** Global **+E ... Lines for this file dropped: N ...") and rewrites
  // the status file queue.status.
  [[nodiscard]] HResult QueueMessage(SourceNumber source, LevelNumber level, std::wstring_view text);

  // The level operations. Arguments are narrowed to their low 16 bits first.
  // E_INVALIDARG for a null result pointer, a level of 7 or more or a source
  // of 37 or more; S_OK otherwise. The setters leave a debug diagnostic.
  [[nodiscard]] HResult GetLogLevel(std::uint32_t* level) const;
  [[nodiscard]] HResult SetLogLevel(std::uint32_t level);
  [[nodiscard]] HResult SetComponentLogLevel(std::uint32_t source, std::uint32_t level);
  [[nodiscard]] HResult GetComponentLogLevel(std::uint32_t source, std::uint32_t* level) const;

  // Closes and deletes every log file written since the start (or since its
  // last rotation or reset); backups and files not written are left alone.
  // Each record is closed and deleted while no write to it is in progress.
  // Failures are reported; always S_OK.
  [[nodiscard]] HResult ResetLogs();

  // Reads the global level and the forwarding settings from the registry
  // again when more than 60 whole seconds have passed since the last read.
  // Called by intake.
  void RefreshGlobalLogLevel();

  // Blocks until the writer has handled every line queued before the call
  // (or has ended). The service host waits so before it reports stopped.
  void WaitUntilWritten();

  // WaitUntilWritten, then closes every open file; a later line opens its
  // file again. A server that stops taking activations calls it first, so
  // that the server started for the next client finds the files free. Not
  // on the writer thread.
  void CloseFiles();

  // Forwarding to a collector: on or off, the target, whether connected, and
  // the messages sent, queued and dropped so far.
  ForwardingStatus GetForwardingStatus() const { return forwarder.Status(); }

  // Test aid: WaitUntilWritten, then waits at most timeoutMs until the
  // forwarder has sent everything; true when it has.
  bool WaitUntilForwarded(std::uint32_t timeoutMs);

  // The bytes of lines accepted and not yet written (in the queue, or in the
  // batch the writer has taken), and the largest that figure has been.
  std::size_t QueuedBytes() const { return queuedBytes.load(); }
  std::size_t PeakQueuedBytes() const { return peakQueuedBytes.load(); }
  std::size_t QueueLimitBytes() const { return settings.queueLimitBytes; }
  // The lines dropped at the queue limit so far, reported or not.
  std::uint64_t DroppedLines() const;

 private:
  bool Accepts(SourceNumber source, LevelNumber level) const;
  // Counts `bytes` into queuedBytes unless they would go past the limit
  // (false then); the writer gives written bytes back.
  bool ReserveQueueSpace(std::size_t bytes);
  // Writer thread, after each batch: writes the report of the drops whose
  // waiting lines are now all written, and the status file.
  void ReportDroppedLines();
  void WriteQueueStatus(std::uint64_t reported);
  void WriteBatch(LineQueue& batch);
  void WriteLine(SourceNumber source, std::string_view utf8Line);
  // Adds what the forwarder needs of `line` to forwardBatch, from the mark
  // entry that intake queued after it.
  void AppendForwardEntry(SourceNumber markedSource, std::string_view markEntry, std::string_view line);
  // WriteBatch with BatchedWrites: each file's lines of the batch in one go.
  void WriteFileBatches(LineQueue& batch);

  const CoreSettings settings = ReadCoreSettings();
  std::atomic<std::size_t> queuedBytes{0};
  std::atomic<std::size_t> peakQueuedBytes{0};
  // Lines dropped at the queue limit, per file, counted by callers; the
  // counts the writer saw after its last batch, and those it has reported.
  std::array<std::atomic<std::uint64_t>, kLogFileCount> droppedLines{};
  std::array<std::uint64_t, kLogFileCount> droppedSeen{};
  std::array<std::uint64_t, kLogFileCount> droppedReported{};
  // The writer's lines of one batch per file, and the files in the order of
  // their first line (BatchedWrites).
  std::array<std::vector<std::string_view>, kLogFileCount> fileLines;
  std::vector<std::uint16_t> fileOrder;

  // The global level, read again from the registry by intake.
  RefreshedValue globalLevel{kLevelRefreshSeconds};
  std::array<std::atomic<std::uint16_t>, kSourceCount> sourceLevels{};
  std::array<std::shared_ptr<LogFileInfo>, kLogFileCount> fileRecords;
  std::unique_ptr<FileCommitter> committer;
  // Declared before the writer, which hands it messages, so it outlives it.
  Forwarder forwarder;
  // The writer's batch of messages for the forwarder.
  LineQueue forwardBatch;
  // Stops after every line queued before the stop.
  BackgroundWorker<LineQueue> writer{[this](LineQueue& batch) { WriteBatch(batch); }, {.stopMode = StopMode::Drain}};
};

}  // namespace wl
