#include "service/trace_log_manager.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

#include "diagnostics/clock.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/trace_flags.h"
#include "diagnostics/write_log.h"
#include "logclient/diagnostic.h"
#include "platform/text.h"
#include "platform/wall_clock.h"
#include "service/status_file.h"

namespace wl {
namespace {

// Creating the first record reads the size limit; the order is kept as the
// product has always had it.
constexpr std::array<std::uint16_t, kLogFileCount> kRecordCreationOrder{0, 1,  5,  6,  2,  7,  3, 8,
                                                                        9, 10, 11, 12, 13, 14, 4};

// A buffer kept by a producer thread between lines is cut back after a very
// long line, so that one huge message does not pin its memory.
constexpr std::size_t kKeptLineCapacity = 64 * 1024;

// Marks a queue entry that carries what the forwarder needs of the line
// before it (LineQueue entries of the writer carry a source below 37).
constexpr SourceNumber kForwardMark = 0x8000;

// What intake records for the forwarder beside a line.
struct ForwardMark {
  std::int64_t acceptedMicroseconds;
  LevelNumber level;
  bool serviceStamped;
};

// The separator that a client stamp has at a UTF-16 unit, or 0.
wchar_t StampSeparator(std::size_t unit) {
  switch (unit) {
    case 2:
      return L'/';
    case 5:
      return L' ';
    case 8:
    case 11:
      return L':';
    case 14:
      return L'.';
    default:
      return 0;
  }
}

// A client text begins with "MM/DD hh:mm:ss.mmm ...": at least 20 UTF-16
// units with the separators in place (the digits are not examined). Counted
// in UTF-16 units on every system, so that a character outside the BMP (one
// wchar_t on Linux, two on Windows) decides alike.
bool HasClientStamp(std::wstring_view text) {
  constexpr std::size_t kStampUnits = 20;
  std::size_t unit = 0;
  for (std::size_t i = 0; i < text.size() && unit < kStampUnits; ++i) {
    auto code = static_cast<char32_t>(text[i]);
    bool pair = code > 0xFFFF;
    if (StampSeparator(unit) != 0 && text[i] != StampSeparator(unit)) return false;
    // The second unit of a pair is no separator either.
    if (pair && StampSeparator(unit + 1) != 0) return false;
    unit += pair ? 2 : 1;
  }
  return unit >= kStampUnits;
}

// The service's stamp, the text of FormatTimestampPrefix built straight into
// the UTF-8 line: the time, twelve blanks, ": ".
void AppendStamp(std::string& out, const LocalTime& time) {
  AppendStampTime(out, time);
  out.append("            : ");
}

// Puts a carriage return before each line feed of out from `from` on.
void ExpandLineFeeds(std::string& out, std::size_t from) {
  std::string expanded;
  expanded.reserve(out.size() - from + 8);
  for (std::size_t i = from; i < out.size(); ++i) {
    if (out[i] == '\n') expanded.push_back('\r');
    expanded.push_back(out[i]);
  }
  out.resize(from);
  out += expanded;
}

// The line "{0:<12}+{1} {2}{3}\n" in UTF-8: name column, level code, the
// service's stamp when the text has none, the text, a line feed. It is kept
// as it goes into a UTF-8 file, each line feed (also those in the text)
// after a carriage return, so that the writer hands it over as it is.
// True when the service's stamp was added.
bool BuildLine(std::string& out, SourceNumber source, LevelNumber level, std::wstring_view text) {
  out.clear();
  std::wstring_view name = LookupSourceName(source);
  platform::AppendUtf8FromWide(name, out);
  if (name.size() < kSourceNameWidth) out.append(kSourceNameWidth - name.size(), ' ');
  out.push_back('+');
  platform::AppendUtf8FromWide(LevelCode(level), out);
  out.push_back(' ');
  bool stamped = !HasClientStamp(text);
  if (stamped) AppendStamp(out, LocalNow());
  std::size_t textStart = out.size();
  platform::AppendUtf8FromWide(text, out);
  if (std::string_view(out).find('\n', textStart) != std::string_view::npos) ExpandLineFeeds(out, textStart);
  out.append("\r\n");
  return stamped;
}

// The lines per file whose list the writer keeps between batched writes.
constexpr std::size_t kKeptFileLines = 16 * 1024;

constexpr std::wstring_view kQueueStatusFile = L"queue.status";

}  // namespace

void AppendStampTime(std::string& out, const LocalTime& time) {
  platform::AppendDecimal(out, time.month, 2);
  out.push_back('/');
  platform::AppendDecimal(out, time.day, 2);
  out.push_back(' ');
  platform::AppendDecimal(out, time.hour, 2);
  out.push_back(':');
  platform::AppendDecimal(out, time.minute, 2);
  out.push_back(':');
  platform::AppendDecimal(out, time.second, 2);
  out.push_back('.');
  platform::AppendDecimal(out, time.milliseconds, 3);
}

CoreSettings ReadCoreSettings() {
  CoreSettings settings;
  RegistryKey key(false);
  if (key.Open(platform::kHKeyLocalMachine, kProductKey) != kErrorSuccess) return settings;
  std::uint32_t value = 0;
  if (key.ReadDword(L"BatchedWrites", value) == kErrorSuccess) settings.batchedWrites = value != 0;
  if (key.ReadDword(L"MaxQueueBytes", value) == kErrorSuccess) {
    settings.queueLimitBytes = std::clamp<std::size_t>(value, kMinQueueLimitBytes, kMaxQueueLimitBytes);
  }
  return settings;
}

TraceLogManager::TraceLogManager() {
  for (std::uint16_t index : kRecordCreationOrder) {
    fileRecords[index] = std::make_shared<LogFileInfo>(LogFileBaseName(index));
  }
  std::uint16_t level = ReadTraceLevel();
  globalLevel.Store(level, true);
  DiagnosticDebug(L"Read the global level from the registry {} at startup", LogLevel{level});
  forwarder.Apply(ReadForwardingSettings());
}

TraceLogManager::~TraceLogManager() { FinalRelease(); }

HResult TraceLogManager::FinalConstruct() {
  try {
    committer = std::make_unique<FileCommitter>();
    for (auto& record : fileRecords) {
      if (record) record->SetCommitter(committer.get());
    }
  } catch (const std::system_error& error) {
    DiagnosticError(0, L"TraceLogManager::FinalConstruct() - Unable to start the flushing thread: {}",
                    platform::WideFromAnsi(error.what()));
  }
  try {
    writer.Start();
  } catch (const std::system_error& error) {
    DiagnosticError(0, L"TraceLogManager::FinalConstruct() - Unable to start the writer thread: {}",
                    platform::WideFromAnsi(error.what()));
    return kEOutOfMemory;
  }
  forwarder.Start();
  // A status file left by an earlier run must not speak for this one.
  WriteQueueStatus(0);
  return kSOk;
}

void TraceLogManager::FinalRelease() {
  writer.Stop();
  forwarder.Stop();
  // Flushes what the last size checks asked for while the files are open.
  committer.reset();
  for (auto& record : fileRecords) {
    if (record) {
      record->SetCommitter(nullptr);
      record->CloseIfOpened();
    }
    record.reset();
  }
}

HResult TraceLogManager::QueueMessage(SourceNumber source, LevelNumber level, std::wstring_view text) {
  if (source >= kSourceCount || level >= kLevelCount) return kEInvalidArg;
  RefreshGlobalLogLevel();
  if (!Accepts(source, level)) return kSOk;

  thread_local std::string line;
  bool stamped = BuildLine(line, source, level, text);
  bool forwarded = forwarder.Accepts(level);
  if (!ReserveQueueSpace(LineQueue::EntryBytes(line.size()) +
                         (forwarded ? LineQueue::EntryBytes(sizeof(ForwardMark)) : 0))) {
    droppedLines[FileIndexForSource(source)].fetch_add(1);
    if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
    return kSOk;
  }
  if (forwarded) {
    ForwardMark mark{platform::WallClockMicroseconds(), level, stamped};
    writer.Post([source, &mark](LineQueue& queue) {
      queue.Append(source, line);
      queue.Append(static_cast<SourceNumber>(source | kForwardMark),
                   std::string_view(reinterpret_cast<const char*>(&mark), sizeof mark));
    });
  } else {
    writer.Post([source](LineQueue& queue) { queue.Append(source, line); });
  }
  if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
  return kSOk;
}

bool TraceLogManager::ReserveQueueSpace(std::size_t bytes) {
  std::size_t queued = queuedBytes.load();
  do {
    if (queued != 0 && queued + bytes > settings.queueLimitBytes) return false;
  } while (!queuedBytes.compare_exchange_weak(queued, queued + bytes));
  std::size_t peak = peakQueuedBytes.load(std::memory_order_relaxed);
  while (queued + bytes > peak &&
         !peakQueuedBytes.compare_exchange_weak(peak, queued + bytes, std::memory_order_relaxed)) {
  }
  return true;
}

std::uint64_t TraceLogManager::DroppedLines() const {
  std::uint64_t total = 0;
  for (const auto& count : droppedLines) total += count.load(std::memory_order_relaxed);
  return total;
}

void TraceLogManager::ReportDroppedLines() {
  std::array<std::uint64_t, kLogFileCount> now{};
  bool unreported = false;
  for (std::size_t i = 0; i < kLogFileCount; ++i) {
    now[i] = droppedLines[i].load();
    unreported = unreported || now[i] != droppedReported[i];
  }
  if (!unreported) return;
  // A line was dropped because the lines accepted before it filled the
  // queue; the report follows them. Once nothing waits (read after the
  // counts), they are all written; otherwise those waiting at the end of
  // the previous batch were in the batch just written, and the drops seen
  // then are due.
  const auto& due = queuedBytes.load() == 0 ? now : droppedSeen;
  bool reported = false;
  std::string report;
  for (std::uint16_t index = 0; index < kLogFileCount; ++index) {
    if (due[index] <= droppedReported[index] || !fileRecords[index]) continue;
    std::wstring text = Format(
        L"TraceLogManager::QueueMessage() - Lines for this file dropped: {} (the lines "
        L"waiting for the disk had reached MaxQueueBytes, {} bytes)",
        due[index] - droppedReported[index], settings.queueLimitBytes);
    BuildLine(report, kGlobalSource, kLevelError, text);
    fileRecords[index]->Write(report);
    droppedReported[index] = due[index];
    reported = true;
  }
  droppedSeen = now;
  if (reported) {
    std::uint64_t total = 0;
    for (std::uint64_t count : droppedReported) total += count;
    WriteQueueStatus(total);
  }
}

void TraceLogManager::WriteQueueStatus(std::uint64_t reported) {
  WriteStatusFile(kQueueStatusFile,
                  "limit=" + std::to_string(settings.queueLimitBytes) + "\ndropped=" + std::to_string(reported) + "\n");
}

bool TraceLogManager::Accepts(SourceNumber source, LevelNumber level) const {
  std::uint16_t threshold = sourceLevels[source].load(std::memory_order_relaxed);
  if (threshold == 0) threshold = static_cast<std::uint16_t>(globalLevel.Peek());
  return level <= threshold;
}

void TraceLogManager::RefreshGlobalLogLevel() {
  globalLevel.Get([this]() -> std::optional<std::uint32_t> {
    std::uint16_t level = ReadTraceLevel();
    DiagnosticDebug(L"Read the global level from the registry {}", LogLevel{level});
    forwarder.Apply(ReadForwardingSettings());
    return level;
  });
}

HResult TraceLogManager::GetLogLevel(std::uint32_t* level) const {
  if (level == nullptr) return kEInvalidArg;
  *level = globalLevel.Peek();
  return kSOk;
}

HResult TraceLogManager::SetLogLevel(std::uint32_t level) {
  auto narrowed = static_cast<LevelNumber>(level);
  if (narrowed >= kLevelCount) return kEInvalidArg;
  DiagnosticDebug(L"Updating the global level to {}", LogLevel{narrowed});
  globalLevel.Store(narrowed);
  return kSOk;
}

HResult TraceLogManager::SetComponentLogLevel(std::uint32_t source, std::uint32_t level) {
  auto narrowedSource = static_cast<SourceNumber>(source);
  auto narrowedLevel = static_cast<LevelNumber>(level);
  if (narrowedSource >= kSourceCount || narrowedLevel >= kLevelCount) return kEInvalidArg;
  DiagnosticDebug(L"Updating the source {} level to {}", LogSource{narrowedSource}, LogLevel{narrowedLevel});
  sourceLevels[narrowedSource].exchange(narrowedLevel);
  return kSOk;
}

HResult TraceLogManager::GetComponentLogLevel(std::uint32_t source, std::uint32_t* level) const {
  auto narrowedSource = static_cast<SourceNumber>(source);
  if (narrowedSource >= kSourceCount || level == nullptr) return kEInvalidArg;
  *level = sourceLevels[narrowedSource].load();
  return kSOk;
}

HResult TraceLogManager::ResetLogs() {
  for (auto& record : fileRecords) {
    if (record) record->ResetIfOpened();
  }
  return kSOk;
}

void TraceLogManager::WaitUntilWritten() { writer.WaitUntilHandled(); }

void TraceLogManager::CloseFiles() {
  WaitUntilWritten();
  for (auto& record : fileRecords) {
    if (record) record->CloseIfOpened();
  }
}

bool TraceLogManager::WaitUntilForwarded(std::uint32_t timeoutMs) {
  WaitUntilWritten();
  return forwarder.WaitUntilSent(timeoutMs);
}

void TraceLogManager::WriteBatch(LineQueue& batch) {
  std::size_t bytes = batch.Bytes();
  if (settings.batchedWrites) {
    WriteFileBatches(batch);
  } else {
    std::string_view previous;
    batch.ForEach([this, &previous](SourceNumber source, std::string_view entry) {
      if ((source & kForwardMark) != 0) {
        AppendForwardEntry(source, entry, previous);
        return;
      }
      WriteLine(source, entry);
      previous = entry;
    });
  }
  // Forwarded only once their lines are in the files.
  if (!forwardBatch.Empty()) forwarder.Offer(forwardBatch);
  // The emptied blocks go back to callers at the next exchange.
  batch.Clear();
  queuedBytes.fetch_sub(bytes);
  ReportDroppedLines();
}

void TraceLogManager::AppendForwardEntry(SourceNumber markedSource, std::string_view markEntry, std::string_view line) {
  ForwardMark mark;
  std::memcpy(&mark, markEntry.data(), sizeof mark);
  Forwarder::AppendForwardEntry(forwardBatch, static_cast<SourceNumber>(markedSource & ~kForwardMark),
                                mark.acceptedMicroseconds, mark.level, mark.serviceStamped, line);
}

void TraceLogManager::WriteFileBatches(LineQueue& batch) {
  fileOrder.clear();
  auto add = [this](std::uint16_t index, std::string_view line) {
    if (fileLines[index].empty()) fileOrder.push_back(index);
    fileLines[index].push_back(line);
  };
  std::string_view previous;
  batch.ForEach([&](SourceNumber source, std::string_view entry) {
    if ((source & kForwardMark) != 0) {
      AppendForwardEntry(source, entry, previous);
      return;
    }
    previous = entry;
    std::uint16_t index = FileIndexForSource(source);
    if (!fileRecords[index]) {
      DiagnosticError(0, L"TraceLogManager::Worker() - No log file for source: {}", LogSource{source});
      return;
    }
    add(index, entry);
    if (source == kDigestSource && IsTraceFlagSet(kTraceFlagDigest) && fileRecords[kDigestFileIndex]) {
      add(kDigestFileIndex, entry);
    }
  });
  // Each file's lines keep their order; lines of different files taken in
  // the same batch reach their files file by file.
  for (std::uint16_t index : fileOrder) {
    fileRecords[index]->WriteLines(fileLines[index]);
    fileLines[index].clear();
    // After a burst, the list of a huge batch is not kept.
    if (fileLines[index].capacity() > kKeptFileLines) std::vector<std::string_view>().swap(fileLines[index]);
  }
}

void TraceLogManager::WriteLine(SourceNumber source, std::string_view utf8Line) {
  // The records stay in place while the writer runs (FinalRelease releases
  // them only after joining it), so a reference is enough here.
  const std::shared_ptr<LogFileInfo>& record = fileRecords[FileIndexForSource(source)];
  if (!record) {
    DiagnosticError(0, L"TraceLogManager::Worker() - No log file for source: {}", LogSource{source});
    return;
  }
  record->Write(utf8Line);
  if (source == kDigestSource && IsTraceFlagSet(kTraceFlagDigest)) {
    const std::shared_ptr<LogFileInfo>& digest = fileRecords[kDigestFileIndex];
    if (digest) digest->Write(utf8Line);
  }
}

}  // namespace wl
