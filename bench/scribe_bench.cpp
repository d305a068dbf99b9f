// End-to-end figures of the log service core, in one run:
//  - the caller's cost of QueueMessage per accepted and per level-dropped
//    call (median and 99th percentile), from 1 and 2 producer threads;
//  - the sustained rate from the first call until every line is on disk;
//  - the ceiling: one plain system write per pre-built line of the same size,
//    into one file, into the same files as ours, and into the same files
//    with the flush that our size check asks for every 500 writes to a file,
//    done on a second thread as ours is;
//  - spdlog's asynchronous logger with a rotating file sink on the same
//    lines, flushing after every line and with its default buffering;
//  - the memory that a burst of a million 130-character lines adds;
//  - the sustained rate with BatchedWrites on (one vectored write per file
//    and batch) against the same ceilings.
// The rates are taken with the largest queue limit, so that no line is
// dropped and the figure is the writer's.
// Usage: scribe_bench [LINES [rates|flood [MIB|full]|stall]]  (default
// 1000000 lines; "rates" runs only the sustained rates and the ceilings, for
// profiling; "flood" measures the memory while one producer logs faster
// than a slowed disk takes, with a queue limit of MIB (default 64), or while
// every write fails as on a full disk; "stall" times each call of one
// producer while the disk is slow or stops answering; files go to a folder
// made in the current directory and removed at the end). "--csv FILE"
// anywhere also writes the figures as CSV for bench/plot.
#include <spdlog/async.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "diagnostics/background_worker.h"
#include "diagnostics/path_data.h"
#include "diagnostics/registry_key.h"
#include "logclient/logger.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/tcp_socket.h"
#include "platform/testing/file_faults.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "registry/registry.h"
#include "service/trace_log_manager.h"

namespace wl::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Callers are timed in groups, since one clock read costs about as much as
// a dropped call; a sample is the group's time divided by its size.
constexpr int kGroup = 16;

// Sources spread over eight of the files.
constexpr SourceNumber kSources[] = {1, 3, 14, 21, 11, 10, 15, 22};

struct Message {
  SourceNumber source;
  std::wstring text;
};

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Texts of 60 to 120 characters made of words, as components write them.
std::vector<Message> MakeMessages(std::size_t count, std::size_t minLength, std::size_t maxLength) {
  static const wchar_t* const kWords[] = {
      L"connection", L"gateway", L"established", L"after",   L"retries", L"session", L"policy", L"update",
      L"received",   L"profile", L"certificate", L"expires", L"tunnel",  L"adapter", L"route",  L"added",
      L"interface",  L"0x1f40",  L"10.42.7.19",  L"port",    L"443",     L"ms",      L"user",   L"request",
      L"completed",  L"status",  L"pending",     L"cache",   L"refresh", L"timeout", L"server", L"handshake"};
  std::mt19937 random(42);
  std::vector<Message> messages;
  messages.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t length = minLength + random() % (maxLength - minLength + 1);
    std::wstring text;
    while (text.size() < length) {
      if (!text.empty()) text += L' ';
      text += kWords[random() % std::size(kWords)];
    }
    text.resize(length);
    messages.push_back({kSources[i % std::size(kSources)], std::move(text)});
  }
  return messages;
}

struct Cost {
  double median = 0;
  double p99 = 0;
};

Cost Summarise(std::vector<double>& samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

// The flushing thread of the flushed ceiling, as our flushing thread runs:
// takes requests for a file and flushes it, a file already waiting not being
// queued twice.
class Flusher {
 public:
  Flusher() { worker_.Start(); }
  void Request(int file) {
    worker_.Post([file](std::vector<int>& pending) {
      if (std::find(pending.begin(), pending.end(), file) == pending.end()) pending.push_back(file);
    });
  }

 private:
  BackgroundWorker<std::vector<int>> worker_{[](std::vector<int>& batch) {
                                               for (int file : batch) FlushRaw(file);
                                               batch.clear();
                                             },
                                             {.stopMode = StopMode::Drain, .background = true}};
};

enum class CeilingKind { kOneFile, kSameFiles, kSameFilesFlushed };

class Bench {
 public:
  Bench(std::size_t lines, CsvFigures& csv) : lines_(lines), messages_(MakeMessages(4096, 60, 120)), csv_(csv) {
    root_ = std::filesystem::current_path() / ("scribe-bench-" + std::to_string(platform::GetCurrentProcessId()));
    std::filesystem::create_directories(root_);
    platform::SetEnvVar(L"WAYLINE_ROOT", root_.wstring());
    // The product key without MaxLogFileSize: rotation at the default 5 MiB.
    platform::HKey key = nullptr;
    (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, kProductKey, platform::kKeyAllAccess, &key, nullptr);
    (void)platform::RegistryCloseKey(key);
    data_ = GetDataFolder();
  }
  ~Bench() {
    std::error_code error;
    std::filesystem::remove_all(root_, error);
  }

  void Run();
  // Only the sustained rates and the ceilings.
  void RunRates();
  // The core's rate with forwarding off, to a local rsyslogd over TCP and
  // RELP, and to a collector that is away; and the forwarded rates.
  void RunForwarding();
  // The memory while one producer floods a slowed disk with the queue
  // limit given in MiB (default 64), or a full disk ("full"). One case per
  // process, so that memory freed by one case does not hide the next.
  void RunFlood(std::string_view which);
  // Each call's time while the disk is as it is, slow, and stopped.
  void RunStall();

 private:
  void ClearLogs() {
    for (const auto& entry : std::filesystem::directory_iterator(data_)) {
      if (entry.is_regular_file()) std::filesystem::remove(entry.path());
    }
  }
  struct IntakeResult {
    Cost accepted;
    double rate = 0;
  };
  // Sets a DWORD value under the product key; 0 deletes it.
  void SetProductValue(const wchar_t* name, std::uint32_t value);
  IntakeResult Intake(int producers, bool batched = false);
  struct FloodResult {
    double seconds = 0;
    double addedMegabytes = 0;
    std::size_t peakQueuedBytes = 0;
    std::uint64_t dropped = 0;
  };
  struct StallResult {
    Cost call;
    double maxNs = 0;
    std::uint64_t dropped = 0;
    double callerSeconds = 0;
  };
  // One producer logs lines_ lines, each call timed on its own, while
  // `hook` decides each file write; `release` ends the stall once the
  // producer is done (before the writer drains).
  StallResult Stall(platform::FileFaultHook hook, const std::function<void()>& release);
  FloodResult Flood(std::size_t queueLimitBytes);
  FloodResult FloodOnce(const std::vector<Message>& messages);
  struct ForwardResult {
    double coreRate = 0;
    double forwardRate = 0;
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;
  };
  // One producer; target empty for forwarding off; away when nothing listens
  // there (nothing is awaited then).
  ForwardResult Forwarding(const std::wstring& target, bool away);
  Cost Dropped();
  double Ceiling(CeilingKind kind);
  double Spdlog(bool flushEveryLine);
  // Returns the memory added in MB.
  double Burst();
  std::vector<std::string> FinishedLines();

  std::size_t lines_;
  std::vector<Message> messages_;
  std::filesystem::path root_;
  std::filesystem::path data_;
  CsvFigures& csv_;
};

void Bench::SetProductValue(const wchar_t* name, std::uint32_t value) {
  platform::HKey key = nullptr;
  (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, kProductKey, platform::kKeyAllAccess, &key, nullptr);
  if (value != 0) {
    (void)platform::RegistrySetValue(key, name, platform::kRegDword, &value, 4);
  } else {
    (void)platform::RegistryDeleteValue(key, name);
  }
  (void)platform::RegistryCloseKey(key);
}

Bench::IntakeResult Bench::Intake(int producers, bool batched) {
  ClearLogs();
  SetProductValue(L"BatchedWrites", batched ? 1 : 0);
  SetProductValue(L"MaxQueueBytes", static_cast<std::uint32_t>(kMaxQueueLimitBytes));
  TraceLogManager manager;
  SetProductValue(L"BatchedWrites", 0);
  SetProductValue(L"MaxQueueBytes", 0);
  (void)manager.FinalConstruct();
  std::size_t perProducer = lines_ / static_cast<std::size_t>(producers);
  std::vector<std::vector<double>> samples(static_cast<std::size_t>(producers));
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      auto& mine = samples[static_cast<std::size_t>(p)];
      mine.reserve(perProducer / kGroup + 1);
      std::size_t next = static_cast<std::size_t>(p) * 7919;
      while (!go.load()) {
      }
      for (std::size_t done = 0; done + kGroup <= perProducer; done += kGroup) {
        auto start = Clock::now();
        for (int i = 0; i < kGroup; ++i) {
          const Message& message = messages_[next++ % messages_.size()];
          (void)manager.QueueMessage(message.source, 4, message.text);
        }
        mine.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kGroup);
      }
    });
  }
  auto start = Clock::now();
  go = true;
  for (auto& thread : threads) thread.join();
  manager.WaitUntilWritten();
  auto end = Clock::now();
  if (manager.DroppedLines() != 0)
    std::printf("(%llu lines dropped in this run)\n", static_cast<unsigned long long>(manager.DroppedLines()));
  manager.FinalRelease();
  std::vector<double> all;
  for (auto& mine : samples) all.insert(all.end(), mine.begin(), mine.end());
  std::size_t written = all.size() * kGroup;
  return {Summarise(all), static_cast<double>(written) / Seconds(start, end)};
}

Cost Bench::Dropped() {
  TraceLogManager manager;
  (void)manager.FinalConstruct();
  (void)manager.SetLogLevel(2);
  std::vector<double> samples;
  samples.reserve(lines_ / kGroup + 1);
  std::size_t next = 0;
  for (std::size_t done = 0; done + kGroup <= lines_; done += kGroup) {
    auto start = Clock::now();
    for (int i = 0; i < kGroup; ++i) {
      const Message& message = messages_[next++ % messages_.size()];
      (void)manager.QueueMessage(message.source, 5, message.text);
    }
    samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kGroup);
  }
  manager.FinalRelease();
  return Summarise(samples);
}

// The lines as the service writes them (CR LF included), in UTF-8.
std::vector<std::string> Bench::FinishedLines() {
  std::vector<std::string> lines;
  for (const Message& message : messages_) {
    std::wstring line(LookupSourceName(message.source));
    line.resize(kSourceNameWidth, L' ');
    line += L"+I 12/05 14:03:11.250            : ";
    line += message.text;
    line += L"\r\n";
    lines.push_back(platform::Utf8FromWide(line));
  }
  return lines;
}

// One write per pre-built line, timed from the first write to the last, as
// ours is timed until the writer has handed every line to the system.
double Bench::Ceiling(CeilingKind kind) {
  ClearLogs();
  std::vector<std::string> lines = FinishedLines();
  // Each message's file: the one file, or the file ours writes it to.
  std::map<std::uint16_t, int> files;
  std::vector<int> fileOf(messages_.size());
  std::vector<std::uint32_t> writes(messages_.size());
  for (std::size_t m = 0; m < messages_.size(); ++m) {
    std::uint16_t index = kind == CeilingKind::kOneFile ? 0 : FileIndexForSource(messages_[m].source);
    auto [place, added] = files.try_emplace(index, -1);
    if (added) {
      place->second = OpenRawAppendFile((data_ / ("ceiling" + std::to_string(index) + ".log")).wstring());
      if (place->second < 0) return 0;
    }
    fileOf[m] = place->second;
  }
  std::map<int, std::uint32_t> sinceFlush;
  std::optional<Flusher> flusher;
  if (kind == CeilingKind::kSameFilesFlushed) flusher.emplace();
  auto start = Clock::now();
  for (std::size_t i = 0; i < lines_; ++i) {
    std::size_t m = i % lines.size();
    WriteRaw(fileOf[m], lines[m]);
    if (flusher && ++sinceFlush[fileOf[m]] >= 500) {
      sinceFlush[fileOf[m]] = 0;
      flusher->Request(fileOf[m]);
    }
  }
  auto end = Clock::now();
  flusher.reset();
  for (auto& [index, file] : files) CloseRaw(file);
  return static_cast<double>(lines_) / Seconds(start, end);
}

double Bench::Spdlog(bool flushEveryLine) {
  ClearLogs();
  std::vector<std::string> lines = FinishedLines();
  for (std::string& line : lines) line.resize(line.size() - 2);  // spdlog adds its own line end
  spdlog::init_thread_pool(8192, 1);
  auto sink =
      std::make_shared<spdlog::sinks::rotating_file_sink_mt>((data_ / "spdlog.log").string(), 5 * 1024 * 1024, 3);
  auto logger = std::make_shared<spdlog::async_logger>("bench", sink, spdlog::thread_pool(),
                                                       spdlog::async_overflow_policy::block);
  logger->set_pattern("%v");
  if (flushEveryLine) logger->flush_on(spdlog::level::trace);
  auto start = Clock::now();
  for (std::size_t i = 0; i < lines_; ++i) logger->info(lines[i % lines.size()]);
  logger->flush();
  logger.reset();
  // Waits until the pool's thread has written everything.
  spdlog::shutdown();
  auto end = Clock::now();
  return static_cast<double>(lines_) / Seconds(start, end);
}

double Bench::Burst() {
  ClearLogs();
  // 130-character lines: 15 for name and level, 32 for the stamp, 83 of text.
  std::vector<Message> burst = MakeMessages(4096, 83, 83);
  constexpr std::size_t kBurstLines = 1'000'000;
  TraceLogManager manager;
  (void)manager.FinalConstruct();
  ResetPeakResidentBytes();
  std::int64_t before = PeakResidentBytes();
  auto start = Clock::now();
  for (std::size_t i = 0; i < kBurstLines; ++i) {
    const Message& message = burst[i % burst.size()];
    (void)manager.QueueMessage(message.source, 4, message.text);
  }
  auto queued = Clock::now();
  manager.WaitUntilWritten();
  auto written = Clock::now();
  std::int64_t peak = PeakResidentBytes();
  std::uint64_t dropped = manager.DroppedLines();
  manager.FinalRelease();
  std::printf(
      "burst of %zu lines of 130 characters: queued in %.2f s, on disk after %.2f s, %llu dropped at the "
      "queue limit (%zu MiB)\n",
      kBurstLines, Seconds(start, queued), Seconds(start, written), static_cast<unsigned long long>(dropped),
      kDefaultQueueLimitBytes >> 20);
  std::printf("  peak memory added: %.1f MB (resident %.1f MB before, %.1f MB at the peak)\n\n",
              static_cast<double>(peak - before) / 1e6, static_cast<double>(before) / 1e6,
              static_cast<double>(peak) / 1e6);
  csv_.Note("burst: " + std::to_string(dropped) + " of " + std::to_string(kBurstLines) +
            " lines dropped at the default queue limit");
  return static_cast<double>(peak - before) / 1e6;
}

void Bench::Run() {
  std::printf(
      "log service core benchmark: %zu lines per run, texts of 60 to 120 characters,\n"
      "8 sources over 8 files, rotation at 5 MiB, data folder %s\n\n",
      lines_, data_.string().c_str());
  double burst = Burst();
  IntakeResult one = Intake(1);
  IntakeResult two = Intake(2);
  IntakeResult batched = Intake(1, true);
  Cost dropped = Dropped();
  double ceiling = Ceiling(CeilingKind::kOneFile);
  double sameFiles = Ceiling(CeilingKind::kSameFiles);
  double flushed = Ceiling(CeilingKind::kSameFilesFlushed);
  double spdlogFlush = Spdlog(true);
  double spdlogBuffered = Spdlog(false);

  std::printf("caller cost per call (ns, groups of %d calls)   median      p99\n", kGroup);
  std::printf("  accepted, 1 producer                         %8.0f %8.0f\n", one.accepted.median, one.accepted.p99);
  std::printf("  accepted, 2 producers                        %8.0f %8.0f\n", two.accepted.median, two.accepted.p99);
  std::printf("  dropped by the level test                    %8.1f %8.1f\n\n", dropped.median, dropped.p99);
  std::printf("sustained rate until every line is on disk (lines/s)\n");
  std::printf("  TraceLogManager, 1 producer                  %10.0f\n", one.rate);
  std::printf("  TraceLogManager, 2 producers                 %10.0f\n", two.rate);
  std::printf("  TraceLogManager, batched writes, 1 producer  %10.0f\n", batched.rate);
  std::printf("  ceiling: one write(2) per pre-built line     %10.0f\n", ceiling);
  std::printf("    the same into our 8 files                  %10.0f\n", sameFiles);
  std::printf(
      "    the same with a flush every 500 writes\n"
      "    per file on a second thread                %10.0f\n",
      flushed);
  std::printf("  spdlog async + rotating, flush every line    %10.0f\n", spdlogFlush);
  std::printf("  spdlog async + rotating, default buffering   %10.0f\n\n", spdlogBuffered);
  std::printf("ratios of our 1-producer rate (2 producers)\n");
  std::printf("  to the ceiling                               %6.2f (%.2f)\n", one.rate / ceiling, two.rate / ceiling);
  std::printf("  to the ceiling into our 8 files              %6.2f (%.2f)\n", one.rate / sameFiles,
              two.rate / sameFiles);
  std::printf("  to the ceiling with the flushes              %6.2f (%.2f)\n", one.rate / flushed, two.rate / flushed);
  std::printf("  to spdlog, flush every line                  %6.2f (%.2f)\n", one.rate / spdlogFlush,
              two.rate / spdlogFlush);
  std::printf("  to spdlog, default buffering                 %6.2f (%.2f)\n", one.rate / spdlogBuffered,
              two.rate / spdlogBuffered);
  std::printf("batched writes, 1 producer, to the ceiling     %6.2f\n", batched.rate / ceiling);

  csv_.Note("scribe_bench " + std::to_string(lines_) + " lines per run");
  csv_.Add("caller", "accepted call 1 producer (median)", "ns", one.accepted.median, "goal", 1000);
  csv_.Add("caller", "accepted call 2 producers (median)", "ns", two.accepted.median, "goal", 1000);
  csv_.Add("caller", "dropped by the level test (median)", "ns", dropped.median, "goal", 50);
  csv_.Add("caller", "accepted call 1 producer (p99)", "ns", one.accepted.p99);
  csv_.Add("caller", "accepted call 2 producers (p99)", "ns", two.accepted.p99);
  csv_.Add("rates", "1 producer", "lines/s", one.rate, "one-file ceiling", ceiling);
  csv_.Add("rates", "2 producers", "lines/s", two.rate, "one-file ceiling", ceiling);
  csv_.Add("rates", "batched writes 1 producer", "lines/s", batched.rate, "one-file ceiling", ceiling);
  csv_.Add("rates", "1 producer", "lines/s", one.rate, "ceiling into our 8 files with the flushes", flushed);
  csv_.Add("rates", "1 producer", "lines/s", one.rate, "spdlog flushing every line", spdlogFlush);
  csv_.Add("rates", "1 producer", "lines/s", one.rate, "spdlog with its default buffering", spdlogBuffered);
  csv_.Add("rates", "ceiling into our 8 files", "lines/s", sameFiles);
  csv_.Add("burst", "memory added by a burst of 1000000 lines", "MB", burst, "goal", 350);
  csv_.Add("burst", "memory added by a burst of 1000000 lines", "MB", burst, "the default MaxQueueBytes (64 MiB)",
           static_cast<double>(kDefaultQueueLimitBytes) / 1e6);
}

void Bench::RunRates() {
  IntakeResult one = Intake(1);
  double ceiling = Ceiling(CeilingKind::kOneFile);
  double sameFiles = Ceiling(CeilingKind::kSameFiles);
  double flushed = Ceiling(CeilingKind::kSameFilesFlushed);
  IntakeResult two = Intake(2);
  IntakeResult batched = Intake(1, true);
  std::printf("lines/s: ours %.0f (2 producers %.0f, batched writes %.0f); ceiling %.0f, 8 files %.0f, flushed %.0f\n",
              one.rate, two.rate, batched.rate, ceiling, sameFiles, flushed);
  std::printf("ratios (1 producer): %.2f %.2f %.2f; batched writes to the ceiling %.2f\n", one.rate / ceiling,
              one.rate / sameFiles, one.rate / flushed, batched.rate / ceiling);
}

// One object fed lines_ of the messages as fast as it takes them: the time
// until all are written, the peak memory added and the peak queued.
Bench::FloodResult Bench::FloodOnce(const std::vector<Message>& messages) {
  TraceLogManager manager;
  (void)manager.FinalConstruct();
  ResetPeakResidentBytes();
  std::int64_t before = PeakResidentBytes();
  auto start = Clock::now();
  for (std::size_t i = 0; i < lines_; ++i) {
    const Message& message = messages[i % messages.size()];
    (void)manager.QueueMessage(message.source, 4, message.text);
  }
  manager.WaitUntilWritten();
  FloodResult result{Seconds(start, Clock::now()), static_cast<double>(PeakResidentBytes() - before) / 1e6,
                     manager.PeakQueuedBytes(), manager.DroppedLines()};
  manager.FinalRelease();
  return result;
}

// One producer logs lines_ lines of 130 characters while the disk takes at
// most about 100,000 writes a second (the fault seam sleeps 1 ms every 100
// writes). Returns the time until every line is written, the peak of the
// resident memory over the start, and the peak of the bytes queued.
Bench::FloodResult Bench::Flood(std::size_t queueLimitBytes) {
  ClearLogs();
  std::vector<Message> flood = MakeMessages(4096, 83, 83);
  SetProductValue(L"MaxQueueBytes", static_cast<std::uint32_t>(queueLimitBytes));
  std::atomic<std::uint64_t> writes{0};
  platform::SetFileFaultHook([&writes](platform::FileOperation operation, std::size_t) {
    if (operation == platform::FileOperation::Write && ++writes % 100 == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return platform::FileFault{};
  });
  FloodResult result = FloodOnce(flood);
  platform::SetFileFaultHook({});
  SetProductValue(L"MaxQueueBytes", 0);
  return result;
}

void Bench::RunFlood(std::string_view which) {
  std::printf("flood: %zu lines of 130 characters from 1 producer, case %s\n", lines_, std::string(which).c_str());
  std::printf("%-44s %10s %14s %16s %12s\n", "", "seconds", "memory added", "peak queued", "dropped");
  auto show = [](const char* name, const FloodResult& r) {
    std::printf("%-44s %10.2f %11.1f MB %13.1f MB %12llu\n", name, r.seconds, r.addedMegabytes,
                static_cast<double>(r.peakQueuedBytes) / 1e6, static_cast<unsigned long long>(r.dropped));
  };
  if (which != "full") {
    std::size_t mebibytes = which.empty() ? 64 : std::strtoull(std::string(which).c_str(), nullptr, 10);
    std::string name = "slow disk, queue limit " + std::to_string(mebibytes) + " MiB";
    FloodResult result = Flood(mebibytes * 1024 * 1024);
    show(name.c_str(), result);
    std::string figure = "slow disk with MaxQueueBytes " + std::to_string(mebibytes) + " MiB";
    csv_.Add("flood", figure, "MB", result.addedMegabytes, "the limit", static_cast<double>(mebibytes << 20) / 1e6);
    csv_.Note(figure + ": " + std::to_string(result.dropped) + " lines dropped");
    return;
  }
  // A full disk: every write fails; each lost line is reported, and the
  // queue drains at the rate of failing writes.
  ClearLogs();
  platform::SetFileFaultHook([](platform::FileOperation operation, std::size_t) {
    return operation == platform::FileOperation::Write ? platform::FileFault{platform::kErrnoEnospc, 0}
                                                       : platform::FileFault{};
  });
  FloodResult result = FloodOnce(messages_);
  show("full disk (every write fails), limit 64 MiB", result);
  csv_.Add("flood", "full disk with MaxQueueBytes 64 MiB", "MB", result.addedMegabytes, "the limit",
           static_cast<double>(kDefaultQueueLimitBytes) / 1e6);
  csv_.Note("full disk: " + std::to_string(result.dropped) + " lines dropped");
  platform::SetFileFaultHook({});
}

Bench::StallResult Bench::Stall(platform::FileFaultHook hook, const std::function<void()>& release) {
  ClearLogs();
  // 130-character lines, as in the burst.
  std::vector<Message> lines = MakeMessages(4096, 83, 83);
  TraceLogManager manager;
  (void)manager.FinalConstruct();
  std::vector<double> samples;
  samples.reserve(lines_);
  platform::SetFileFaultHook(std::move(hook));
  auto start = Clock::now();
  for (std::size_t i = 0; i < lines_; ++i) {
    const Message& message = lines[i % lines.size()];
    auto before = Clock::now();
    (void)manager.QueueMessage(message.source, 4, message.text);
    samples.push_back(std::chrono::duration<double, std::nano>(Clock::now() - before).count());
  }
  StallResult result;
  result.callerSeconds = Seconds(start, Clock::now());
  release();
  platform::SetFileFaultHook({});
  manager.WaitUntilWritten();
  result.dropped = manager.DroppedLines();
  manager.FinalRelease();
  result.maxNs = *std::max_element(samples.begin(), samples.end());
  result.call = Summarise(samples);
  return result;
}

void Bench::RunStall() {
  std::printf(
      "caller while the disk stalls: %zu calls of 1 producer, lines of 130 characters, each call timed,\n"
      "MaxQueueBytes %zu MiB (the default)\n\n",
      lines_, kDefaultQueueLimitBytes >> 20);
  std::printf("%-40s %10s %10s %10s %12s %12s\n", "", "median ns", "p99 ns", "max ns", "dropped", "caller s");
  auto show = [this](const char* name, const StallResult& r) {
    std::printf("%-40s %10.0f %10.0f %10.0f %12llu %12.2f\n", name, r.call.median, r.call.p99, r.maxNs,
                static_cast<unsigned long long>(r.dropped), r.callerSeconds);
    csv_.Add("stall", std::string(name) + " (median)", "ns", r.call.median, "goal for an accepted call", 1000);
    csv_.Add("stall", std::string(name) + " (p99)", "ns", r.call.p99);
    csv_.Add("stall", std::string(name) + " (longest)", "ns", r.maxNs);
    csv_.Note(std::string(name) + ": " + std::to_string(r.dropped) + " lines dropped");
  };
  show("disk as it is", Stall({}, [] {}));
  show("every write takes 2 ms", Stall(
                                     [](platform::FileOperation operation, std::size_t) {
                                       if (operation == platform::FileOperation::Write) {
                                         std::this_thread::sleep_for(std::chrono::milliseconds(2));
                                       }
                                       return platform::FileFault{};
                                     },
                                     [] {}));
  // No write returns until the producer is done: the writer is held in the
  // first one.
  std::mutex mutex;
  std::condition_variable released;
  bool stalled = true;
  show("no write returns until the caller ends", Stall(
                                                     [&](platform::FileOperation, std::size_t) {
                                                       std::unique_lock lock(mutex);
                                                       released.wait(lock, [&] { return !stalled; });
                                                       return platform::FileFault{};
                                                     },
                                                     [&] {
                                                       {
                                                         std::lock_guard lock(mutex);
                                                         stalled = false;
                                                       }
                                                       released.notify_all();
                                                     }));
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

Bench::ForwardResult Bench::Forwarding(const std::wstring& target, bool away) {
  ClearLogs();
  platform::HKey key = nullptr;
  (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, kProductKey, platform::kKeyAllAccess, &key, nullptr);
  std::vector<std::uint8_t> data = platform::Utf16LeStringData(target);
  (void)platform::RegistrySetValue(key, L"ForwardTarget", platform::kRegSz, data.data(),
                                   static_cast<std::uint32_t>(data.size()));
  std::uint32_t queueSize = static_cast<std::uint32_t>(lines_);
  (void)platform::RegistrySetValue(key, L"ForwardQueueSize", platform::kRegDword, &queueSize, 4);
  (void)platform::RegistryCloseKey(key);

  TraceLogManager manager;
  (void)manager.FinalConstruct();
  auto start = Clock::now();
  for (std::size_t i = 0; i < lines_; ++i) {
    const Message& message = messages_[i % messages_.size()];
    (void)manager.QueueMessage(message.source, 4, message.text);
  }
  manager.WaitUntilWritten();
  auto written = Clock::now();
  ForwardResult result;
  result.coreRate = static_cast<double>(lines_) / Seconds(start, written);
  if (!target.empty() && !away && manager.WaitUntilForwarded(120000)) {
    result.forwardRate = static_cast<double>(lines_) / Seconds(start, Clock::now());
  }
  ForwardingStatus status = manager.GetForwardingStatus();
  result.sent = status.sent;
  result.dropped = status.dropped;
  manager.FinalRelease();
  return result;
}

void Bench::RunForwarding() {
  std::filesystem::path collector = root_ / "collector";
  std::filesystem::path tlsCollector = root_ / "collector-tls";
  std::filesystem::path certs = root_ / "certs";
  auto run = [](const std::vector<std::wstring>& arguments) {
    Win32Error error = 0;
    auto child = platform::StartProcess(L"/bin/bash", arguments, &error);
    return child ? child->Wait() : -1;
  };
  auto script = [&](const wchar_t* command, const std::filesystem::path& dir) {
    return run({SCRIBE_COLLECTOR_SCRIPT, command, dir.wstring()});
  };
  if (script(L"start", collector) != 0) {
    std::fprintf(stderr, "rsyslogd could not be started (packages rsyslog and rsyslog-relp)\n");
    return;
  }
  // A second collector with the same inputs over TLS (a client certificate
  // is shown to both, as RELP over TLS needs one).
  if (run({SCRIBE_MAKE_CERTS_SCRIPT, certs.wstring()}) != 0) {
    std::fprintf(stderr, "certtool could not make the certificates (package gnutls-bin)\n");
    (void)script(L"stop", collector);
    return;
  }
  std::filesystem::create_directories(tlsCollector);
  std::ofstream(tlsCollector / "tls.env")
      << "TLS_CA=" << (certs / "ca.pem").string() << "\nTLS_CERT=" << (certs / "server.pem").string()
      << "\nTLS_KEY=" << (certs / "server.key").string() << "\nTLS_CLIENT=\n";
  if (script(L"start", tlsCollector) != 0) {
    std::fprintf(stderr, "rsyslogd could not be started over TLS (package rsyslog-gnutls)\n");
    (void)script(L"stop", collector);
    return;
  }
  {
    platform::HKey key = nullptr;
    (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, kProductKey, platform::kKeyAllAccess, &key, nullptr);
    auto set = [&](const wchar_t* name, const std::filesystem::path& path) {
      std::vector<std::uint8_t> data = platform::Utf16LeStringData(path.wstring());
      (void)platform::RegistrySetValue(key, name, platform::kRegSz, data.data(),
                                       static_cast<std::uint32_t>(data.size()));
    };
    set(L"ForwardTlsCaFile", certs / "ca.pem");
    set(L"ForwardTlsCertFile", certs / "client.pem");
    set(L"ForwardTlsKeyFile", certs / "client.key");
    set(L"ForwardTlsPeers", "localhost");
    (void)platform::RegistryCloseKey(key);
  }
  auto port = [](const std::filesystem::path& file) {
    std::wstring text = platform::WideFromUtf8(ReadText(file));
    while (!text.empty() && text.back() == L'\n') text.pop_back();
    return text;
  };
  std::wstring tcpPort = port(collector / "tcp.port");
  std::wstring relpPort = port(collector / "relp.port");
  std::wstring tlsPort = port(tlsCollector / "tcp.port");
  std::wstring relpTlsPort = port(tlsCollector / "relp.port");
  // A port where nothing listens: the collector is away for the whole run.
  platform::SocketHandle probe = platform::kNoSocket;
  std::uint16_t deadPort = 0;
  (void)platform::TcpListenLoopback(0, &probe, &deadPort);
  platform::TcpClose(probe);

  struct Case {
    const char* name;
    std::wstring target;
    bool away = false;
    std::vector<ForwardResult> results{};
  };
  std::vector<Case> cases{{"off", L""},
                          {"tcp to rsyslogd", L"tcp://127.0.0.1:" + tcpPort},
                          {"relp to rsyslogd", L"relp://127.0.0.1:" + relpPort},
                          {"tls to rsyslogd", L"tls://127.0.0.1:" + tlsPort},
                          {"relp+tls to rsyslogd", L"relp+tls://127.0.0.1:" + relpTlsPort},
                          {"tcp with the collector away", L"tcp://127.0.0.1:" + std::to_wstring(deadPort), true}};
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) {
    for (Case& c : cases) c.results.push_back(Forwarding(c.target, c.away));
  }
  (void)script(L"stop", collector);
  (void)script(L"stop", tlsCollector);

  std::printf("forwarding benchmark: %zu lines of 60 to 120 characters per run, 1 producer, %d rounds in turn\n\n",
              lines_, kRounds);
  std::printf("%-22s %-36s %-36s\n", "", "core rate, lines/s (each round)", "forwarded, messages/s (each round)");
  for (const Case& c : cases) {
    std::string core, forwarded;
    for (const ForwardResult& r : c.results) {
      core += std::to_string(static_cast<long>(r.coreRate)) + " ";
      forwarded += r.forwardRate > 0 ? std::to_string(static_cast<long>(r.forwardRate)) + " " : "- ";
    }
    std::printf("%-22s %-36s %-36s sent %llu, dropped %llu (last round)\n", c.name, core.c_str(), forwarded.c_str(),
                static_cast<unsigned long long>(c.results.back().sent),
                static_cast<unsigned long long>(c.results.back().dropped));
  }
  // Medians of the rounds, each case's core rate against forwarding off.
  auto median = [](const Case& c, double ForwardResult::*field) {
    std::vector<double> values;
    for (const ForwardResult& r : c.results) values.push_back(r.*field);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  double off = median(cases[0], &ForwardResult::coreRate);
  for (const Case& c : cases) {
    double core = median(c, &ForwardResult::coreRate);
    if (&c == &cases[0]) {
      csv_.Add("forwarding", "core: forwarding off", "lines/s", core);
    } else {
      csv_.Add("forwarding", std::string("core: ") + c.name, "lines/s", core, "core: forwarding off", off);
    }
    double forwarded = median(c, &ForwardResult::forwardRate);
    if (forwarded <= 0) continue;
    // Each TLS row against its plain protocol: what the encryption costs.
    std::string name = c.name;
    std::string plainName = name.starts_with("tls ")        ? "tcp to rsyslogd"
                            : name.starts_with("relp+tls ") ? "relp to rsyslogd"
                                                            : "";
    double base = 0;
    for (const Case& other : cases) {
      if (!plainName.empty() && plainName == other.name) base = median(other, &ForwardResult::forwardRate);
    }
    if (base > 0) {
      csv_.Add("forwarding", "forwarded: " + name, "lines/s", forwarded, "forwarded: " + plainName, base);
      continue;
    }
    csv_.Add("forwarding", "forwarded: " + name, "lines/s", forwarded);
  }
}

}  // namespace
}  // namespace wl::bench

int main(int argc, char** argv) {
  wl::bench::CsvFigures csv(argc, argv);
  wl::SendReportsToLogger();
  std::size_t lines = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  if (lines < 1000) lines = 1000;
  wl::bench::Bench bench(lines, csv);
  if (argc > 2 && std::string_view(argv[2]) == "rates") {
    bench.RunRates();
  } else if (argc > 2 && std::string_view(argv[2]) == "forwarding") {
    bench.RunForwarding();
  } else if (argc > 2 && std::string_view(argv[2]) == "flood") {
    bench.RunFlood(argc > 3 ? argv[3] : "");
  } else if (argc > 2 && std::string_view(argv[2]) == "stall") {
    bench.RunStall();
  } else {
    bench.Run();
  }
  return 0;
}
