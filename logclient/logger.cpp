#include "logclient/logger.h"

#include <cstdlib>
#include <exception>
#include <random>
#include <thread>

#include "diagnostics/clock.h"
#include "diagnostics/error_text.h"
#include "diagnostics/format.h"
#include "diagnostics/path_data.h"
#include "diagnostics/singleton.h"
#include "diagnostics/trace_flags.h"
#include "diagnostics/write_log.h"
#include "logclient/diagnostic.h"
#include "logclient/log_output.h"
#include "platform/file_system.h"
#include "platform/system.h"
#include "platform/text.h"

namespace wl {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// The levels are taken from the service when more than 60 whole seconds
// have passed since the last time.
constexpr std::int64_t kRefreshAfterSeconds = 60;

// Set when the process begins to exit: from then on WriteLog's route to the
// Logger drops its text, so that nothing makes a new Logger after the last
// one is gone.
std::atomic<bool> processExiting{false};

thread_local bool senderThread = false;

// Registered by the first sender thread once it has used COM, so that it
// runs before the runtime's own statics (made during that use) are
// destroyed: the singletons go while everything they use is still there,
// the Logger last, its sender handing over what is queued.
void DestroySingletonsAtExit() {
  processExiting.store(true);
  LifetimeTracker::Instance().DestroyAll();
}

std::wstring FileNameOf(std::wstring_view path) {
  std::size_t cut = path.size();
  while (cut > 0 && !platform::IsPathSeparator(path[cut - 1])) --cut;
  return std::wstring(path.substr(cut));
}

// The class part of the constructor's name and a number from 0 to 99, so
// that traces of two Loggers of a process (one after the other) differ.
std::wstring InstanceTag(const std::source_location& location) {
  std::wstring name = CleanFunctionName(location);
  std::size_t cut = name.find(L"::");
  if (name.size() >= 2 && cut != std::wstring::npos) name.erase(cut);
  unsigned number = 0;
  try {
    std::random_device random;
    number = random() % 100;
  } catch (const std::exception&) {
    // No random source: the tag still names the class.
  }
  return name + L"_" + std::to_wstring(number);
}

OutputFunction TraceOutput() { return LogOutputHelper::GetLogOutput(LogOutput::Debug); }

// What a queued record holds in memory.
std::size_t RecordBytes(const LogRecord& record) {
  return sizeof(LogRecord) + record.text.capacity() * sizeof(wchar_t);
}

}  // namespace

Logger::Logger(std::size_t queueLimitBytes)
    : identity_(Format(L"{} -> {} {}", FileNameOf(GetExecutablePath()), FileNameOf(GetModulePath()),
                       InstanceTag(std::source_location::current()))),
      queueLimitBytes_(queueLimitBytes) {
  lastRefresh_ = SteadyNow();
  ScopeTracer tracer(TraceOutput(), kTraceFlagAlways, 0, identity_);
}

Logger::~Logger() {
  ScopeTracer tracer(TraceOutput(), kTraceFlagAlways, 0, identity_);
  Stop();
  // Records dropped while no sender thread ran are reported here.
  ReportDropped();
  ReportFloodDrops(true);
  identity_.clear();
}

bool Logger::Initialize() {
  ScopeTracer tracer(TraceOutput(), kTraceFlagAlways, 0, identity_);
  // Concurrent first calls start one thread. The registry read reports
  // nothing, so it cannot come back here through WriteLog.
  std::lock_guard lock(startMutex_);
  if (!initialized_.load()) {
    globalLevel_.store(ReadTraceLevel());
    // The first pass of the sender finds the refresh due.
    lastRefresh_ = 0;
    try {
      sender_.Start();
    } catch (const std::exception& exception) {
      std::wstring reason = platform::WideFromAnsi(exception.what());
      DiagnosticError(platform::GetLastSystemError(), L"Unable to create Logger thread - '{}'", reason.c_str());
      return false;
    }
    std::this_thread::yield();
    initialized_.store(true);
  }
  return initialized_.load();
}

void Logger::Stop() {
  ScopeTracer tracer(TraceOutput(), kTraceFlagAlways, 0, identity_);
  if (!initialized_.load() || stopping_.exchange(true)) return;
  sender_.Stop();
}

void Logger::Log(std::uint16_t source, std::uint16_t level, std::wstring_view text) {
  if (text.empty()) return;
  if (!initialized_.load(std::memory_order_acquire)) (void)Initialize();
  // Sources past the table follow the global level; the sender reports them.
  std::uint16_t threshold = source < kSourceCount ? sourceLevels_[source].load(std::memory_order_relaxed) : 0;
  if (threshold == 0) threshold = globalLevel_.load(std::memory_order_relaxed);
  if (level > threshold) return;

  LogRecord record{source, level, {}};
  // One allocation: the prefix takes 32 characters while the ids have 5 digits.
  record.text.reserve(36 + text.size());
  AppendDiagnosticPrefix(record.text, {LocalNow(), platform::GetCurrentThreadId()});
  record.text += text;
  std::size_t bytes = RecordBytes(record);
  sender_.Post([&](std::deque<LogRecord>& queue) {
    // Without a link the queue is bounded by records, as what is held for a
    // later link is; with one by bytes (a record alone larger than the
    // limit goes when nothing else waits).
    bool unlinked = linkState_.load(std::memory_order_relaxed) == LinkState::kUnlinked;
    std::size_t queued = queuedBytes_.load(std::memory_order_relaxed);
    if ((unlinked && queue.size() >= kMaxHeldRecords) || (queued != 0 && queued + bytes > queueLimitBytes_)) {
      // Counted where its report says why.
      (unlinked ? dropped_ : floodDropped_).fetch_add(1, std::memory_order_relaxed);
      return;
    }
    queuedBytes_.fetch_add(bytes, std::memory_order_relaxed);
    queue.push_back(std::move(record));
  });
}

bool Logger::LoggerThread() {
  senderThread = true;
  // The trace spans the thread's life: it ends in ThreadEnd.
  threadTracer_.emplace(TraceOutput(), kTraceFlagAlways, 0, identity_, std::source_location::current());
  if (!link_.Prepare()) {
    linkState_.store(LinkState::kUnlinked);
    threadTracer_.reset();
    return false;
  }
  static std::once_flag exitHandler;
  std::call_once(exitHandler, [] { std::atexit(DestroySingletonsAtExit); });
  InitializeLogManager();
  return true;
}

void Logger::InitializeLogManager() {
  ScopeTracer tracer(TraceOutput(), kTraceFlagAlways, 0, identity_);
  lastLinkAttempt_ = SteadyNow();
  linkState_.store(link_.Connect() ? LinkState::kLinked : LinkState::kUnlinked);
}

void Logger::SendBatch(std::deque<LogRecord>& batch) {
  std::int64_t now = SteadyNow();
  if (!stopping_.load() && (now - lastRefresh_) / kNanosecondsPerSecond > kRefreshAfterSeconds) {
    lastRefresh_ = now;
    if (link_.Linked()) globalLevel_.store(link_.RefreshLevels(globalLevel_.load(), sourceLevels_));
  }
  // Linking again is this Logger's own choice: a client that started
  // before the service (or outlived it) reaches it once it runs. Never
  // while stopping, so that an exit does not wait for a server to start.
  if (!link_.Linked() && !stopping_.load() && now - lastLinkAttempt_ >= kRelinkSeconds * kNanosecondsPerSecond) {
    InitializeLogManager();
  }

  std::uint64_t lost = 0;
  if (link_.Linked() && !held_.empty()) {
    std::size_t sent = link_.Send(held_, &lost);
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(sent));
  }
  std::size_t bytes = 0;
  for (const LogRecord& record : batch) bytes += RecordBytes(record);
  if (link_.Linked()) {
    std::size_t sent = link_.Send(batch, &lost);
    if (sent < batch.size()) Hold(batch, sent);
  } else {
    Hold(batch, 0);
  }
  batch.clear();
  // Only now: the records were in memory until they were sent.
  queuedBytes_.fetch_sub(bytes, std::memory_order_relaxed);
  ReportFloodDrops(false);
  dropped_.fetch_add(lost);
  linkState_.store(link_.Linked() ? LinkState::kLinked : LinkState::kUnlinked);
  if (link_.Linked() && held_.empty()) ReportDropped();
}

void Logger::Hold(std::deque<LogRecord>& records, std::size_t from) {
  for (std::size_t i = from; i < records.size(); ++i) {
    if (held_.size() < kMaxHeldRecords) {
      held_.push_back(std::move(records[i]));
    } else {
      dropped_.fetch_add(1);
    }
  }
  if (dropped_.load() != 0 && !dropReported_.exchange(true)) {
    WriteDiagnostic(
        std::wstring(kErrorPrefix) +
        Format(L"Logger: the log service is unreachable: keeping {} log messages, dropping the rest", kMaxHeldRecords));
  }
}

void Logger::ReportDropped() {
  std::uint64_t count = dropped_.exchange(0);
  dropReported_.store(false);
  if (count == 0) return;
  WriteDiagnostic(std::wstring(kErrorPrefix) +
                  Format(L"Logger: {} log messages dropped while the log service was unreachable", count));
}

void Logger::ReportFloodDrops(bool now) {
  if (floodDropped_.load(std::memory_order_relaxed) == 0) return;
  std::int64_t time = SteadyNow();
  if (!now && floodReported_ && time - lastFloodReport_ < kFloodReportSeconds * kNanosecondsPerSecond) return;
  lastFloodReport_ = time;
  floodReported_ = true;
  WriteDiagnostic(std::wstring(kErrorPrefix) +
                  Format(L"Logger: {} log messages dropped in the last {} s: the log service takes them slower than "
                         L"they come",
                         floodDropped_.exchange(0), kFloodReportSeconds));
}

void Logger::ThreadEnd() {
  dropped_.fetch_add(held_.size());
  held_.clear();
  ReportDropped();
  ReportFloodDrops(true);
  link_.Release();
  threadTracer_.reset();
}

bool IsLoggerSenderThread() { return senderThread; }

std::shared_ptr<Logger> GetLogger() {
  if (processExiting.load(std::memory_order_relaxed)) return nullptr;
  return Singleton<Logger>::GetInstance([] { return new Logger(); });
}

void SendReportsToLogger() {
  (void)SetLogSink([](std::uint16_t source, std::uint16_t level, std::wstring_view text) {
    if (auto logger = GetLogger()) logger->Log(source, level, text);
  });
}

}  // namespace wl
