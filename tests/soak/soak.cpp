// The soak: the real service under load and faults, checked line by line on
// disk (Linux). It registers and runs ScribeHost as the README does
// ("ScribeHost -Service", then "wlsc run ScribeHost") on a temporary machine
// root with the smallest MaxLogFileSize (100 KiB), so that files rotate
// constantly, and starts client processes (this program in a client mode).
//
// Every message is derived from its (client, sequence) pair: source (all 37),
// level (0 to 6), length (mostly short, some over 64 KiB in UTF-8) and text
// (ASCII, Latin, CJK and non-BMP characters), so the checker rebuilds the
// exact line it expects. Every source keeps a level of its own that passes
// everything (and TraceLevel is 6 for the clients' first test), while the
// changers move the global level: the level changes never decide what reaches
// the disk. (Source 0 follows the global level in a client, so its messages
// use levels 0 and 1 only.)
//
// The checker reads every retained generation of the fifteen files (oldest,
// older, old, current) and fails on: a line that does not parse or differs
// from the one expected (torn), a message found twice, a message in the wrong
// file, a client's lines out of order, or a gap. Rotation only removes the
// oldest files of a chain, so per (client, file) the retained messages must
// be one unbroken run ending at the client's last message for that file. A
// reset deletes the current files, so with resets a gap is allowed at a
// boundary between generations (counted), never inside a file.
//
// Phases:
//   load      N clients x M messages, changers moving levels, a reader
//             holding one current file open (its rotations fail), clients
//             killed with SIGKILL while linked, one killed in the middle of a
//             frame; afterwards the service's threads and memory
//   resets    the same load with changers that also call ResetLogs
//   connected C clients linked at once, then each logs a burst
//   crash     the service killed with SIGKILL while it writes long lines,
//             then started again on the same files: a line the kill tore
//             is kept and ended before the next line, never glued to it
//   stop      the service stopped while clients call LogMsg one by one:
//             every call answered S_OK is on disk
//   syslog    4 processes send numbered datagrams to the syslog intake as
//             syslog(3) formats them (sending again while its socket is
//             missing), while the service is stopped and started again and
//             again: per sender every line whole, in order and never twice;
//             what a stop drops (datagrams the socket held unread) counted
//   activations
//             ScribeHost registered as a local server ("ScribeHost
//             -RegServer"), activated by "scribe log" and ended A times in a
//             row, then A/10 times with the next client coming while the
//             server ends: never a server started by a server, never more
//             servers at once than clients can explain, no open failure in
//             their daily files, every line in Wayline.log (in a build
//             with LeakSanitizer, whose tracer is a clone of an exiting
//             process, set ASAN_OPTIONS=detect_leaks=0 for this phase)
//
//   scribe_soak [--clients N] [--messages M] [--changers K] [--connected C]
//               [--activations A]
//               [--phases load,resets,connected,crash,stop,syslog,activations] [--keep]
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ScribeHost.h"
#include "com/com.h"
#include "diagnostics/format.h"
#include "diagnostics/singleton.h"
#include "diagnostics/write_log.h"
#include "logclient/log_tables.h"
#include "logclient/logger.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/testing/raw_socket.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "registry/registry.h"
#include "service/trace_log_manager.h"

namespace {

using namespace wl;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::wstring_view kGenerations[] = {L"_oldest", L"_older", L"_old", L""};

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::uint64_t Key(int client, long sequence) {
  return (static_cast<std::uint64_t>(client) << 32) | static_cast<std::uint32_t>(sequence);
}

struct Message {
  std::uint16_t source;
  std::uint16_t level;
  std::wstring text;
};

std::uint16_t SourceOf(int client, long sequence) {
  return static_cast<std::uint16_t>(Mix(Key(client, sequence)) % kSourceCount);
}

// Shapes of a client's messages.
enum Shape : int {
  kMixed = 0,
  kLong = 1,     // every text over 64 KiB
  kPassing = 2,  // levels 0 to 4 only: they pass the default level 4
};

// The message (client, sequence) of the given shape.
Message MakeMessage(int client, long sequence, int shape = kMixed) {
  bool longLines = (shape & kLong) != 0;
  std::uint64_t r = Mix(Key(client, sequence));
  Message message{static_cast<std::uint16_t>(r % kSourceCount),
                  static_cast<std::uint16_t>((r >> 8) % ((shape & kPassing) != 0 ? kLevelInfo + 1 : kLevelCount)),
                  {}};
  // Source 0 has no level of its own in a client: it follows the global
  // level, which the changers move between 1 and 6, so only levels 0 and 1
  // always pass.
  if (message.source == 0) message.level %= 2;
  std::uint64_t kind = (r >> 16) % 1000;
  std::size_t length = longLines || kind < 3 ? 66000 + (r >> 26) % 9000
                       : kind < 60           ? 1000 + (r >> 26) % 7000
                                             : 10 + (r >> 26) % 290;
  static constexpr wchar_t kAlphabet[] =
      L"abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ0123456789\u00e9\u00fc\u4e2d\u6587\U0001F600\U00010348";
  constexpr std::size_t kLetters = sizeof kAlphabet / sizeof kAlphabet[0] - 1;
  message.text = Format(L"soak c={} s={} |", client, sequence);
  std::uint64_t state = r;
  for (std::size_t i = 0; i < length; ++i) {
    if (i % 8 == 0) state = Mix(state);
    message.text += kAlphabet[(state >> (8 * (i % 8))) % kLetters];
  }
  message.text += L"|end";
  return message;
}

std::string LoadAverage() {
  std::string text;
  std::getline(std::ifstream("/proc/loadavg"), text);
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

// Threads and resident memory (KiB) of a process, from /proc.
struct ProcessFigures {
  long threads = 0;
  long residentKiB = 0;
};
ProcessFigures Figures(std::uint32_t pid) {
  ProcessFigures figures;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("Threads:")) figures.threads = std::stol(line.substr(8));
    if (line.starts_with("VmRSS:")) figures.residentKiB = std::stol(line.substr(6));
  }
  return figures;
}

fs::path Root() { return platform::GetEnvVar(L"WAYLINE_ROOT").value_or(L"/tmp"); }
fs::path DataFolder() { return Root() / "ProgramData" / "Kestrix" / "Wayline"; }
fs::path FilePath(std::uint16_t index, std::wstring_view generation) {
  return DataFolder() / (std::wstring(LogFileBaseName(index)) + std::wstring(generation) + L".log");
}

bool WaitFor(const std::function<bool()>& done, int milliseconds) {
  for (int waited = 0; waited < milliseconds; waited += 5) {
    if (done()) return true;
    platform::SleepMilliseconds(5);
  }
  return done();
}

std::unique_ptr<platform::ChildProcess> Start(const fs::path& program, const std::vector<std::wstring>& arguments) {
  Win32Error error = 0;
  auto child = platform::StartProcess(program.wstring(), arguments, &error);
  if (!child) {
    std::fprintf(stderr, "cannot start %s: %u\n", program.c_str(), static_cast<unsigned>(error));
    std::exit(2);
  }
  return child;
}

std::unique_ptr<platform::ChildProcess> Self(const std::vector<std::wstring>& arguments) {
  return Start(platform::GetExecutableFileName(), arguments);
}

void SetDword(std::wstring_view name, std::uint32_t value) {
  platform::HKey key = nullptr;
  (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, L"Software\\Kestrix\\Wayline", platform::kKeyAllAccess,
                                    &key, nullptr);
  (void)platform::RegistrySetValue(key, std::wstring(name), platform::kRegDword, &value, 4);
  (void)platform::RegistryCloseKey(key);
}

ITraceLogManager* Connect() {
  ITraceLogManager* manager = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_ITraceLogManager,
                              reinterpret_cast<void**>(&manager)))) {
    return nullptr;
  }
  return manager;
}

// ---- client modes ----

// client C M [SHAPE]: M messages through the process's Logger, then the
// Logger stops (it hands over everything queued first).
int RunClient(int client, long count, int shape) {
  for (long s = 0; s < count; ++s) {
    Message message = MakeMessage(client, s, shape);
    WriteLog(message.source, message.level, message.text);
  }
  LifetimeTracker::Instance().DestroyAll();
  return 0;
}

// connected C M: links, says so, waits for the start file, then logs M.
int RunConnected(int client, long count) {
  auto logger = GetLogger();
  logger->Log(kDefaultLogSource, kLevelGlobal, Format(L"soak connected {}", client));
  logger->WaitUntilSent();
  std::ofstream(Root() / ("linked-" + std::to_string(client))) << "linked";
  while (!fs::exists(Root() / "go")) platform::SleepMilliseconds(10);
  logger.reset();
  return RunClient(client, count, kMixed);
}

// changer K RESETS: moves the global level, sets source levels (always to 6,
// so that every message still passes) and, with RESETS, calls ResetLogs,
// until the stop file appears; writes how many resets it made.
int RunChanger(int changer, bool resets) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ITraceLogManager* manager = Connect();
  if (manager == nullptr) return 1;
  std::mt19937 random(static_cast<unsigned>(changer) * 7919u);
  long resetCount = 0, calls = 0;
  auto lastReset = Clock::now();
  while (!fs::exists(Root() / "stop-changers")) {
    ULONG level = 0;
    HRESULT results[] = {manager->SetLogLevel(1 + random() % 6), manager->GetLogLevel(&level),
                         manager->SetComponentLogLevel(random() % kSourceCount, kLevelDebug2)};
    calls += 3;
    for (HRESULT result : results) {
      if (result != S_OK) return 3;
    }
    if (resets && Clock::now() - lastReset > std::chrono::milliseconds(150 + random() % 300)) {
      if (manager->ResetLogs() != S_OK) return 3;
      ++resetCount;
      lastReset = Clock::now();
    }
    platform::SleepMilliseconds(2);
  }
  manager->Release();
  std::ofstream(Root() / ("changer-" + std::to_string(changer))) << resetCount << ' ' << calls;
  CoUninitialize();
  return 0;
}

// frame-victim: connects to the service's socket and sends part of a frame
// that announces a megabyte, then waits to be killed.
int RunFrameVictim() {
  fs::path socket;
  for (const auto& entry : fs::directory_iterator(Root() / "run" / "com")) {
    if (entry.path().extension() == ".sock") socket = entry.path();
  }
  int connection = platform::RawConnect(socket.wstring());
  if (connection < 0) return 1;
  std::vector<unsigned char> frame(4096, 0x41);
  std::uint32_t length = 1u << 20;
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<unsigned char>(length >> (8 * i));
  if (platform::RawSend(connection, frame.data(), frame.size()) != static_cast<long>(frame.size())) return 1;
  std::ofstream(Root() / "frame-sent") << "sent";
  for (;;) platform::SleepMilliseconds(1000);
}

// sync C: one LogMsg per message until a call fails or the stop file is
// there; writes the last sequence whose call returned S_OK (-1: none).
// A syslog sender: count numbered datagrams to the intake's socket as
// syslog(3) formats them, each sent again while the service is down (its
// socket missing or closed); then the file syslog-done-SENDER.
int RunSyslogSender(int sender, long count) {
  std::string path = (Root() / "run" / "log").string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return 2;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 3;
  std::string head = "<14>Dec  8 01:02:03 soaksyslog[" + std::to_string(getpid()) + "]: sender " +
                     std::to_string(sender) + " message ";
  for (long n = 0; n < count; ++n) {
    std::string message = head + std::to_string(n);
    while (sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) <
           0) {
      if (errno != ENOENT && errno != ECONNREFUSED && errno != EINTR) return 4;
      platform::SleepMilliseconds(5);
    }
    // Paced, so that the senders outlast several restarts.
    if (n % 20 == 19) platform::SleepMilliseconds(1);
  }
  close(fd);
  std::ofstream(Root() / ("syslog-done-" + std::to_string(sender))) << "done";
  return 0;
}

int RunSync(int client) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ITraceLogManager* manager = Connect();
  if (manager == nullptr) return 1;
  long acknowledged = -1;
  for (long s = 0;; ++s) {
    Message message = MakeMessage(client, s);
    platform::OwnedBstr text(message.text);
    if (manager->LogMsg(message.source, message.level, text.Get()) != S_OK) break;
    acknowledged = s;
  }
  std::ofstream(Root() / ("acknowledged-" + std::to_string(client))) << acknowledged;
  manager->Release();
  CoUninitialize();
  return 0;
}

// ---- the service ----

class Service {
 public:
  explicit Service(fs::path bin) : bin_(std::move(bin)) {}
  ~Service() {
    if (run_) Kill();
  }
  // Registers and installs the service in the root.
  bool Install() { return Start(bin_ / "host" / "ScribeHost", {L"-Service"})->Wait() == 0; }
  // wlsc run ScribeHost, until the status says running.
  bool Run() {
    run_ = Start(bin_ / "tools" / "wlsc", {L"run", L"ScribeHost"});
    fs::path status = Root() / "run" / "services" / "ScribeHost.status";
    return WaitFor(
        [&] {
          std::ifstream in(status);
          std::string text((std::istreambuf_iterator<char>(in)), {});
          // This run's status, not one left by a service that was killed.
          return text.find("state=4") != std::string::npos &&
                 text.find("pid=" + std::to_string(run_->Id()) + "\n") != std::string::npos;
        },
        20000);
  }
  [[nodiscard]] std::uint32_t Pid() const { return run_ ? run_->Id() : 0; }
  // wlsc stop ScribeHost; returns the exit code of the service.
  int Stop() {
    (void)Start(bin_ / "tools" / "wlsc", {L"stop", L"ScribeHost"})->Wait();
    int code = run_->Wait();
    run_.reset();
    return code;
  }
  void Kill() {
    (void)run_->Kill();
    (void)run_->Wait();
    run_.reset();
  }

 private:
  fs::path bin_;
  std::unique_ptr<platform::ChildProcess> run_;
};

// Watches the ScribeHost processes of the current root (their program and
// their WAYLINE_ROOT, read from /proc) every 2 ms: how many ran at once, and
// whether one was started by another, as a server that activates its own
// class would.
class ServerWatch {
 public:
  explicit ServerWatch(fs::path program) : program_(std::move(program)), root_(Root()) {
    thread_ = std::thread([this] { Watch(); });
  }
  ~ServerWatch() {
    stop_ = true;
    thread_.join();
  }
  // Starts counting afresh; returns what was seen since the last call.
  struct Seen {
    int mostAtOnce = 0;
    int servers = 0;
    bool startedByAServer = false;
  };
  Seen Take() {
    std::lock_guard lock(mutex_);
    Seen seen = seen_;
    seen.servers = static_cast<int>(pids_.size());
    seen_ = {};
    pids_.clear();
    return seen;
  }
  // Waits until a scan that began after the call finds no server; false
  // when none did within the time.
  bool WaitUntilNoneRuns(int milliseconds) {
    long after = scans_.load() + 1;
    return WaitFor(
        [&] {
          std::lock_guard lock(mutex_);
          return scans_.load() > after && running_ == 0;
        },
        milliseconds);
  }

 private:
  // The parent in field 4 of /proc/<pid>/stat, after the name's last ')'.
  static long Parent(const fs::path& process) {
    std::ifstream in(process / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::size_t at = text.rfind(')');
    if (at == std::string::npos) return 0;
    std::istringstream rest(text.substr(at + 1));
    std::string state;
    long parent = 0;
    rest >> state >> parent;
    return state == "Z" ? -1 : parent;
  }
  bool Ours(const fs::path& process) {
    std::error_code error;
    fs::path exe = fs::read_symlink(process / "exe", error);
    if (error || exe != program_) return false;
    std::ifstream in(process / "environ", std::ios::binary);
    std::string wanted = "WAYLINE_ROOT=" + root_.string();
    for (std::string entry; std::getline(in, entry, '\0');) {
      if (entry == wanted) return true;
    }
    return false;
  }
  void Watch() {
    while (!stop_) {
      std::map<long, long> parents;
      std::error_code error;
      for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos || !Ours(entry.path())) continue;
        long parent = Parent(entry.path());
        if (parent >= 0) parents[std::stol(name)] = parent;
      }
      {
        std::lock_guard lock(mutex_);
        running_ = static_cast<int>(parents.size());
        seen_.mostAtOnce = std::max(seen_.mostAtOnce, running_);
        for (const auto& [pid, parent] : parents) {
          pids_.insert(pid);
          if (parents.contains(parent)) seen_.startedByAServer = true;
        }
        ++scans_;
      }
      platform::SleepMilliseconds(2);
    }
  }

  const fs::path program_;
  const fs::path root_;
  std::mutex mutex_;
  Seen seen_;
  std::set<long> pids_;
  int running_ = 0;
  std::atomic<long> scans_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- the checker ----

struct Found {
  long sequence;
  std::uint16_t file;
  int generation;
};

struct Check {
  long files = 0, lines = 0, soakLines = 0, otherLines = 0;
  std::uint64_t bytes = 0;
  long torn = 0, wrong = 0, duplicated = 0, misplaced = 0, disordered = 0;
  long gapsInside = 0, gapsAtBoundary = 0, tailsMissing = 0;
  // Lines a killed service left torn, ended by the next start (allowed).
  long endedAfterKill = 0;
  std::map<int, long> perClient;
  std::vector<std::string> examples;

  [[nodiscard]] long Violations(bool resetsHappened) const {
    return torn + wrong + duplicated + misplaced + disordered + gapsInside +
           (resetsHappened ? 0 : gapsAtBoundary + tailsMissing);
  }
  void Note(const std::string& text) {
    if (examples.size() < 12) examples.push_back(text);
  }
};

// clients: client number -> messages it logged; -1: a victim, whose runs
// need not reach its end; kLossy: a client whose lines may be missing
// anywhere (a full disk), checked line by line only. killedWhileWriting:
// the service was killed in the middle of writes, so a line may be the
// beginning of the line expected, ended by the next start.
constexpr long kLossy = -2;
Check CheckFiles(const std::map<int, long>& clients, int shape = kMixed, bool killedWhileWriting = false) {
  Check check;
  std::map<std::pair<int, std::uint16_t>, std::vector<Found>> runs;
  std::set<std::uint64_t> seen;
  for (std::uint16_t file = 0; file < kLogFileCount; ++file) {
    for (int generation = 0; generation < 4; ++generation) {
      fs::path path = FilePath(file, kGenerations[generation]);
      std::ifstream in(path, std::ios::binary);
      if (!in) continue;
      ++check.files;
      std::string text((std::istreambuf_iterator<char>(in)), {});
      check.bytes += text.size();
      std::string name = path.filename().string();
      std::size_t at = 0;
      if (text.starts_with("\xEF\xBB\xBF"))
        at = 3;
      else if (!text.empty())
        ++check.torn, check.Note(name + ": no byte-order mark");
      while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
          ++check.torn;
          check.Note(name + ": torn tail of " + std::to_string(text.size() - at) + " bytes");
          break;
        }
        std::string_view line(text.data() + at, end - at);
        at = end + 1;
        ++check.lines;
        // "<source name, 12 wide>+<level> <stamp><text>\r"
        std::size_t plus = line.find('+');
        if (!line.ends_with('\r') || plus < kSourceNameWidth || plus == std::string_view::npos ||
            line.size() < plus + 3 || line[plus + 2] != ' ') {
          // Torn before the level column (later tears parse as other lines).
          if (killedWhileWriting && line.ends_with('\r') && line.size() <= kSourceNameWidth + 3) {
            ++check.endedAfterKill;
            continue;
          }
          ++check.torn;
          check.Note(name + ": malformed line: " + std::string(line.substr(0, 80)));
          continue;
        }
        std::size_t mark = line.find(": soak c=");
        if (mark == std::string_view::npos) {
          ++check.otherLines;
          continue;
        }
        ++check.soakLines;
        int client = 0;
        long sequence = 0;
        if (std::sscanf(line.data() + mark, ": soak c=%d s=%ld |", &client, &sequence) != 2 ||
            !clients.contains(client)) {
          ++check.wrong;
          check.Note(name + ": unknown message: " + std::string(line.substr(0, 120)));
          continue;
        }
        Message expected = MakeMessage(client, sequence, shape);
        std::string header =
            Format("{:<12}+{} ", platform::Utf8FromWide(std::wstring(LookupSourceName(expected.source))),
                   platform::Utf8FromWide(std::wstring(LevelCode(expected.level))));
        std::string body = ": " + platform::Utf8FromWide(expected.text) + "\r";
        if (!line.starts_with(header) || line.substr(mark) != body) {
          std::string_view kept = line.substr(mark, line.size() - mark - 1);
          if (killedWhileWriting && line.starts_with(header) && kept.size() + 1 < body.size() &&
              std::string_view(body).starts_with(kept)) {
            ++check.endedAfterKill;
            continue;
          }
          ++check.wrong;
          check.Note(name +
                     Format(": c={} s={} differs from the message sent ({} bytes)", client, sequence, line.size()));
          continue;
        }
        if (FileIndexForSource(expected.source) != file &&
            !(expected.source == kDigestSource && file == kDigestFileIndex)) {
          ++check.misplaced;
          check.Note(name + Format(": c={} s={} of source {} in the wrong file", client, sequence, expected.source));
        }
        if (!seen.insert(Key(client, sequence) * 16 + file).second) {
          ++check.duplicated;
          check.Note(name + Format(": c={} s={} twice", client, sequence));
          continue;
        }
        ++check.perClient[client];
        runs[{client, file}].push_back({sequence, file, generation});
      }
    }
  }
  // Per (client, file): the client's messages for that file in the order it
  // logged them, and where each retained one stands in that order.
  for (const auto& [clientKey, count] : clients) {
    int client = clientKey;
    if (count == kLossy) continue;
    std::map<std::uint16_t, std::vector<long>> order;
    long last = count;
    if (count < 0) {
      // A victim: as far as its lines reach.
      last = 0;
      for (const auto& [key, found] : runs) {
        if (key.first == client) {
          for (const Found& f : found) last = std::max(last, f.sequence + 1);
        }
      }
    }
    for (long s = 0; s < last; ++s) order[FileIndexForSource(SourceOf(client, s))].push_back(s);
    for (auto& [file, sequences] : order) {
      auto it = runs.find({client, file});
      // Nothing retained of this client is right only when rotations have
      // deleted files of the chain, that is, when all four generations exist
      // and the client's lines all came before them.
      bool chainFull = fs::exists(FilePath(file, kGenerations[0]));
      if (it == runs.end()) {
        if (count >= 0 && !chainFull) {
          ++check.tailsMissing;
          check.Note(Format("c={} file {}: no line retained, and no generation was deleted", client, file));
        }
        continue;
      }
      // Lines past the known end (the stop phase: calls the stop cut off
      // before their answer) are neither required nor wrong.
      std::vector<Found> found;
      for (const Found& f : it->second) {
        if (f.sequence < last) found.push_back(f);
      }
      if (found.empty()) {
        if (count >= 0 && !chainFull) ++check.tailsMissing;
        continue;
      }
      std::vector<std::size_t> positions;
      positions.reserve(found.size());

      for (const Found& f : found) {
        positions.push_back(static_cast<std::size_t>(std::lower_bound(sequences.begin(), sequences.end(), f.sequence) -
                                                     sequences.begin()));
      }
      for (std::size_t i = 1; i < found.size(); ++i) {
        if (positions[i] <= positions[i - 1]) {
          ++check.disordered;
          check.Note(Format("c={} file {}: s={} after s={}", client, file, found[i].sequence, found[i - 1].sequence));
        } else if (positions[i] != positions[i - 1] + 1) {
          if (found[i].generation == found[i - 1].generation) {
            ++check.gapsInside;
            check.Note(Format("c={} file {}: lost between s={} and s={} inside one file", client, file,
                              found[i - 1].sequence, found[i].sequence));
          } else {
            ++check.gapsAtBoundary;
            check.Note(Format("c={} file {}: gap between s={} and s={} at a generation boundary", client, file,
                              found[i - 1].sequence, found[i].sequence));
          }
        }
      }
      if (!chainFull && positions.front() != 0) {
        // No generation was deleted, so the client's first lines are there.
        ++check.tailsMissing;
        check.Note(Format("c={} file {}: first retained s={}, the client's first for the file s={}", client, file,
                          found.front().sequence, sequences.front()));
      }
      if (count >= 0 && positions.back() + 1 != sequences.size()) {
        ++check.tailsMissing;
        check.Note(Format("c={} file {}: last retained s={}, the client's last for the file s={}", client, file,
                          found.back().sequence, sequences.back()));
      }
    }
  }
  return check;
}

bool Report(const char* phase, const Check& check, bool resets) {
  long violations = check.Violations(resets);
  std::printf(
      "  checked %ld files, %ld lines (%ld of the soak, %ld other), %.1f MiB on disk: torn %ld, differing %ld, "
      "duplicated %ld, misplaced %ld, out of order %ld, lost inside a file %ld, gaps at generation boundaries %ld%s, "
      "runs cut short %ld%s; torn by a kill and ended by the next start %ld (allowed)\n",
      check.files, check.lines, check.soakLines, check.otherLines, static_cast<double>(check.bytes) / (1 << 20),
      check.torn, check.wrong, check.duplicated, check.misplaced, check.disordered, check.gapsInside,
      check.gapsAtBoundary, resets ? " (allowed: resets delete current files)" : "", check.tailsMissing,
      resets ? " (allowed)" : "", check.endedAfterKill);
  for (const auto& example : check.examples) std::printf("    %s\n", example.c_str());
  std::printf("  %s: %s\n", phase, violations == 0 ? "PASS" : "FAIL");
  return violations == 0;
}

// Counts how often each current file was replaced (rotated or reset) by
// watching its inode.
class RotationWatch {
 public:
  RotationWatch() : thread_([this] { Watch(); }) {}
  ~RotationWatch() {
    stop_ = true;
    thread_.join();
  }
  [[nodiscard]] long Replaced() const { return replaced_.load(); }

 private:
  void Watch() {
    std::vector<ino_t> inodes(kLogFileCount, 0);
    while (!stop_) {
      for (std::uint16_t file = 0; file < kLogFileCount; ++file) {
        struct stat info {};
        if (stat(FilePath(file, L"").c_str(), &info) != 0) continue;
        if (inodes[file] != 0 && inodes[file] != info.st_ino) ++replaced_;
        inodes[file] = info.st_ino;
      }
      platform::SleepMilliseconds(5);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<long> replaced_{0};
  std::thread thread_;
};

// ---- phases ----

struct Options {
  int clients = 8;
  long messages = 5000;
  int changers = 2;
  int connected = 64;
  int activations = 200;
  std::set<std::string> phases{"load",   "resets",   "connected", "crash",      "stop",
                               "syslog", "diskfull", "hive",      "activations"};
  bool keep = false;
};

class Soak {
 public:
  Soak(Options options, fs::path base, fs::path bin)
      : options_(std::move(options)), base_(std::move(base)), bin_(std::move(bin)) {}

  // A fresh machine root with the service installed and the soak's
  // settings; limitKiB 0 gives the smallest limit, 100 KiB. The soak wants
  // every line on disk, so the service's queue gets its largest limit:
  // below it, a flood that outruns the disk loses lines (counted).
  bool Prepare(const std::string& name, std::uint32_t limitKiB = 0) {
    fs::path root = base_ / name;
    fs::create_directories(root);
    platform::SetEnvVar(L"WAYLINE_ROOT", root.wstring());
    service_ = std::make_unique<Service>(bin_);
    if (!service_->Install()) return Fail("ScribeHost -Service failed");
    SetDword(L"MaxLogFileSize", limitKiB);
    SetDword(L"MaxQueueBytes", static_cast<std::uint32_t>(kMaxQueueLimitBytes));
    SetDword(L"TraceLevel", kLevelDebug2);
    return true;
  }
  // Runs the service and lets every source pass every level.
  bool RunService() {
    if (!service_->Run()) return Fail("the service did not report running");
    ITraceLogManager* manager = Connect();
    if (manager == nullptr) return Fail("cannot connect to the service");
    for (ULONG source = 0; source < kSourceCount; ++source) (void)manager->SetComponentLogLevel(source, kLevelDebug2);
    manager->Release();
    StartDiagnostics();
    return true;
  }

  // The service's first diagnostic line starts the thread of its daily
  // file. One refused frame makes that line now, so that the thread counts
  // of a phase compare like with like.
  void StartDiagnostics() {
    std::uint32_t pid = service_->Pid();
    long before = Figures(pid).threads;
    fs::path socket =
        Root() / "run" / "com" / (platform::Utf8FromWide(platform::GuidText(kTraceLogManagerClsid)) + ".sock");
    int connection = platform::RawConnect(socket.wstring());
    if (connection < 0) return;
    const unsigned char broken[8] = {8, 0, 0, 0, 0xFF, 0, 0, 0};
    (void)platform::RawSend(connection, broken, sizeof broken);
    platform::RawClose(connection);
    (void)WaitFor([&] { return Figures(pid).threads > before; }, 2000);
  }

  bool Load(const char* phase, bool resets) {
    std::printf("\n%s: %d clients x %ld messages, %d changers%s (load average %s)\n", phase, options_.clients,
                options_.messages, options_.changers, resets ? " with ResetLogs" : "", LoadAverage().c_str());
    if (!Prepare(phase) || !RunService()) return false;
    std::uint32_t pid = service_->Pid();
    ProcessFigures idle = Figures(pid);
    std::map<int, long> expected;
    for (int c = 0; c < options_.clients; ++c) expected[c] = options_.messages;

    RotationWatch watch;
    std::vector<std::unique_ptr<platform::ChildProcess>> changers, clients, victims;
    for (int k = 0; k < options_.changers; ++k)
      changers.push_back(Self({L"changer", std::to_wstring(k), resets ? L"1" : L"0"}));
    auto start = Clock::now();
    for (int c = 0; c < options_.clients; ++c) {
      clients.push_back(Self({L"client", std::to_wstring(c), std::to_wstring(options_.messages)}));
    }
    // Another program reading the current file of source 1: the service can
    // still write it, but not move it, so its rotations fail until the
    // reader lets go.
    int held = -1;
    if (!resets) {
      fs::path path = FilePath(FileIndexForSource(kDefaultLogSource), L"");
      (void)WaitFor([&] { return fs::exists(path); }, 10000);
      (void)platform::OpenFile(&held, path.wstring(), platform::kORdonly, platform::kShDenyNo, 0);
    }
    // Clients killed while linked (and in the middle of their sends), and
    // one in the middle of a frame.
    std::mt19937 random(12345);
    int victimCount = resets ? 0 : 4;
    for (int v = 0; v < victimCount; ++v) {
      int client = 1000 + v;
      expected[client] = -1;
      victims.push_back(Self({L"client", std::to_wstring(client), std::to_wstring(options_.messages)}));
    }
    std::unique_ptr<platform::ChildProcess> frameVictim;
    if (!resets) {
      frameVictim = Self({L"frame-victim"});
      (void)WaitFor([&] { return fs::exists(Root() / "frame-sent"); }, 10000);
    }
    ProcessFigures busy = Figures(pid);
    for (auto& victim : victims) {
      platform::SleepMilliseconds(static_cast<int>(50 + random() % 300));
      (void)victim->Kill();
      (void)victim->Wait();
    }
    if (frameVictim) {
      (void)frameVictim->Kill();
      (void)frameVictim->Wait();
    }
    if (held >= 0) {
      platform::SleepMilliseconds(500);
      int error = 0;
      (void)platform::CloseFile(held, &error);
    }

    bool ok = true;
    for (auto& client : clients) ok = client->Wait() == 0 && ok;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::ofstream(Root() / "stop-changers") << "stop";
    long resetCount = 0, changerCalls = 0;
    for (int k = 0; k < options_.changers; ++k) {
      ok = changers[static_cast<std::size_t>(k)]->Wait() == 0 && ok;
      std::ifstream in(Root() / ("changer-" + std::to_string(k)));
      long r = 0, n = 0;
      in >> r >> n;
      resetCount += r;
      changerCalls += n;
    }
    if (!ok) Fail("a client or changer failed");
    // The connections of the killed clients are gone: the service's threads
    // are back where they were.
    bool threadsBack = WaitFor([&] { return Figures(pid).threads <= idle.threads; }, 10000);
    ProcessFigures after = Figures(pid);
    int stopCode = service_->Stop();
    long total = options_.clients * options_.messages;
    std::printf("  %ld messages in %.2f s: %.0f messages/s from the clients' start to their end (load average %s)\n",
                total, seconds, static_cast<double>(total) / seconds, LoadAverage().c_str());
    std::printf("  current files replaced (rotations%s, seen by polling every 5 ms): at least %ld\n",
                resets ? " and resets" : "", watch.Replaced());
    std::printf("  changers: %ld level calls, %ld resets\n", changerCalls, resetCount);
    std::printf(
        "  service: %ld threads idle, %ld with the clients, %ld after the clients (killed ones too) left%s; "
        "resident %ld KiB idle, %ld busy, %ld after\n",
        idle.threads, busy.threads, after.threads, threadsBack ? "" : " (NOT back)", idle.residentKiB, busy.residentKiB,
        after.residentKiB);
    if (stopCode != 0) ok = Fail("the service stopped with a failure");
    if (!threadsBack) ok = false;
    return Report(phase, CheckFiles(expected), resets && resetCount > 0) && ok;
  }

  bool Connected() {
    int count = options_.connected;
    long messages = 100;
    std::printf("\nconnected: %d clients linked at once, then %ld messages each (load average %s)\n", count, messages,
                LoadAverage().c_str());
    if (!Prepare("connected") || !RunService()) return false;
    std::uint32_t pid = service_->Pid();
    ProcessFigures idle = Figures(pid);
    std::map<int, long> expected;
    std::vector<std::unique_ptr<platform::ChildProcess>> clients;
    auto start = Clock::now();
    for (int c = 0; c < count; ++c) {
      expected[c] = messages;
      clients.push_back(Self({L"connected", std::to_wstring(c), std::to_wstring(messages)}));
    }
    bool linked = WaitFor(
        [&] {
          for (int c = 0; c < count; ++c) {
            if (!fs::exists(Root() / ("linked-" + std::to_string(c)))) return false;
          }
          return true;
        },
        120000);
    double linkSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    ProcessFigures peak = Figures(pid);
    start = Clock::now();
    std::ofstream(Root() / "go") << "go";
    bool ok = linked;
    for (auto& client : clients) ok = client->Wait() == 0 && ok;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    bool threadsBack = WaitFor([&] { return Figures(pid).threads <= idle.threads; }, 10000);
    ProcessFigures after = Figures(pid);
    int stopCode = service_->Stop();
    std::printf(
        "  all %d linked after %.2f s; the burst of %ld messages took %.2f s (%.0f messages/s; load average %s)\n",
        count, linkSeconds, count * messages, seconds, static_cast<double>(count * messages) / seconds,
        LoadAverage().c_str());
    std::printf(
        "  service: %ld threads idle, %ld with %d linked, %ld after%s; resident %ld KiB idle, %ld linked, %ld after\n",
        idle.threads, peak.threads, count, after.threads, threadsBack ? "" : " (NOT back)", idle.residentKiB,
        peak.residentKiB, after.residentKiB);
    if (!ok) Fail("a connected client failed or did not link");
    return Report("connected", CheckFiles(expected), false) && ok && stopCode == 0 && threadsBack;
  }

  // The service killed with SIGKILL while it writes long lines, several
  // times on the same files, then started once more and stopped properly.
  bool Crash() {
    std::printf("\ncrash: the service killed with SIGKILL while writing lines over 64 KiB, 5 times (load average %s)\n",
                LoadAverage().c_str());
    if (!Prepare("crash", 20480)) return false;
    std::map<int, long> expected;
    std::mt19937 random(777);
    for (int round = 0; round < 5; ++round) {
      if (!RunService()) return false;
      std::vector<std::unique_ptr<platform::ChildProcess>> clients;
      for (int c = 0; c < 2; ++c) {
        int client = round * 10 + c;
        expected[client] = -1;
        clients.push_back(Self({L"client", std::to_wstring(client), L"2000", std::to_wstring(kLong)}));
      }
      platform::SleepMilliseconds(static_cast<int>(300 + random() % 700));
      service_->Kill();
      for (auto& client : clients) (void)client->Wait();
      std::ofstream(Root() / Format("killed-{}", round)) << "killed";
    }
    long tornAfterKills = 0;
    for (std::uint16_t file = 0; file < kLogFileCount; ++file) {
      std::ifstream in(FilePath(file, L""), std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), {});
      if (!text.empty() && !text.ends_with("\n")) ++tornAfterKills;
    }
    // One more start, and clients whose every line must be there.
    if (!RunService()) return false;
    for (int c = 0; c < 2; ++c) {
      expected[100 + c] = 500;
      if (Self({L"client", std::to_wstring(100 + c), L"500", std::to_wstring(kLong)})->Wait() != 0) {
        Fail("a client failed");
      }
    }
    int stopCode = service_->Stop();
    std::printf("  current files ending in a torn line right after the kills: %ld\n", tornAfterKills);
    Check check = CheckFiles(expected, kLong, true);
    // The killed rounds' clients lose what the service had not written yet
    // (a line a kill tore stays, ended by the next start); the last round's
    // clients lose nothing, and no line is glued to a torn one.
    return Report("crash", check, false) && stopCode == 0;
  }

  // The service stopped while clients call LogMsg: every call that returned
  // S_OK before the stop has its line on disk.
  bool Stop() {
    std::printf("\nstop: the service stopped while 4 clients call LogMsg one by one (load average %s)\n",
                LoadAverage().c_str());
    if (!Prepare("stop", 20480) || !RunService()) return false;
    std::vector<std::unique_ptr<platform::ChildProcess>> clients;
    clients.reserve(4);

    for (int c = 0; c < 4; ++c) clients.push_back(Self({L"sync", std::to_wstring(c)}));
    platform::SleepMilliseconds(1500);
    int stopCode = service_->Stop();
    std::map<int, long> acknowledged;
    bool ok = true;
    for (int c = 0; c < 4; ++c) {
      ok = clients[static_cast<std::size_t>(c)]->Wait() == 0 && ok;
      long last = -2;
      std::ifstream(Root() / ("acknowledged-" + std::to_string(c))) >> last;
      acknowledged[c] = last + 1;
    }
    Check check = CheckFiles(acknowledged);
    long acked = 0;
    for (const auto& [c, n] : acknowledged) acked += n;
    std::printf("  calls answered S_OK before the stop: %ld; service exit code %d\n", acked, stopCode);
    // Lines of calls that the stop cut off before their answer may be there
    // too: a run reaching past the acknowledged end is not a failure, one
    // ending before it is (counted as not reaching the end).
    return Report("stop", check, false) && ok && stopCode == 0;
  }

  // The syslog intake while the service restarts, again and again until
  // the senders are done.
  bool Syslog() {
    const int senders = 4;
    const long messages = options_.messages * 5;
    std::printf("\nsyslog: %d senders x %ld datagrams while the service restarts (load average %s)\n", senders,
                messages, LoadAverage().c_str());
    if (!Prepare("syslog", 20480)) return false;
    SetDword(L"SyslogIntake", 1);
    if (!RunService()) return false;
    std::vector<std::unique_ptr<platform::ChildProcess>> clients;
    for (int c = 0; c < senders; ++c)
      clients.push_back(Self({L"syslog-sender", std::to_wstring(c), std::to_wstring(messages)}));
    auto done = [&] {
      for (int c = 0; c < senders; ++c) {
        if (!fs::exists(Root() / ("syslog-done-" + std::to_string(c)))) return false;
      }
      return true;
    };
    bool ok = true;
    int restarts = 0;
    while (!done() && restarts < 100) {
      platform::SleepMilliseconds(300);
      ok = service_->Stop() == 0 && ok;
      if (!RunService()) return false;
      ++restarts;
    }
    for (auto& client : clients) ok = client->Wait() == 0 && ok;
    // The last datagram of each sender went to the last service, which keeps it.
    auto text = [&] {
      std::ifstream in(FilePath(0, L""), std::ios::binary);
      return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    bool tails = WaitFor(
        [&] {
          std::string lines = text();
          for (int c = 0; c < senders; ++c) {
            std::string last = "sender " + std::to_string(c) + " message " + std::to_string(messages - 1) + "\r\n";
            if (lines.find(last) == std::string::npos) return false;
          }
          return true;
        },
        30000);
    int stopCode = service_->Stop();
    std::vector<long> next(senders, 0);
    long lines = 0, wrong = 0, duplicated = 0, lost = 0;
    std::string all = text();
    for (std::size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2) {
      std::string line = all.substr(at, end - at);
      std::size_t tag = line.find(" soaksyslog uid=");
      if (tag == std::string::npos) continue;
      ++lines;
      int c = -1;
      long n = -1;
      std::size_t colon = line.find(": sender ", tag);
      if (colon == std::string::npos || std::sscanf(line.c_str() + colon, ": sender %d message %ld", &c, &n) != 2 ||
          c < 0 || c >= senders ||
          line.substr(colon) != ": sender " + std::to_string(c) + " message " + std::to_string(n)) {
        ++wrong;
        continue;
      }
      if (n < next[static_cast<std::size_t>(c)]) {
        ++duplicated;
        continue;
      }
      lost += n - next[static_cast<std::size_t>(c)];
      next[static_cast<std::size_t>(c)] = n + 1;
    }
    std::printf(
        "  %d restarts; %ld lines: %ld not as sent, %ld repeated or out of order; %ld dropped by the stops "
        "(allowed); last lines there: %s; exit codes %s\n",
        restarts, lines, wrong, duplicated, lost, tails ? "yes" : "NO", ok && stopCode == 0 ? "0" : "NOT 0");
    bool pass = ok && tails && stopCode == 0 && wrong == 0 && duplicated == 0 && restarts > 0;
    std::printf("  syslog: %s\n", pass ? "PASS" : "FAIL");
    return pass;
  }

  // The machine hive replaced by bytes that do not parse while the service
  // runs: clients started then read no TraceLevel (default 4, so they log
  // levels 0 to 4 here), the service's refresh of the global level after
  // 60 s meets the broken hive; logging goes on, and the hive written back
  // is read again.
  bool Hive() {
    std::printf("\nhive: HKLM.reg broken by hand while the service runs, for 65 s (load average %s)\n",
                LoadAverage().c_str());
    if (!Prepare("hive") || !RunService()) return false;
    std::uint32_t pid = service_->Pid();
    fs::path hive = Root() / "registry" / "HKLM.reg";
    std::ifstream in(hive, std::ios::binary);
    std::string good((std::istreambuf_iterator<char>(in)), {});
    in.close();
    std::map<int, long> expected;
    auto client = [&](int c) {
      expected[c] = 300;
      return Self({L"client", std::to_wstring(c), L"300", std::to_wstring(kPassing)})->Wait() == 0;
    };
    bool ok = client(0);
    std::ofstream(hive, std::ios::binary | std::ios::trunc) << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL"
                                                            << "\x01\xff garbage \"TraceLevel\"=dword:zz\r\n";
    auto broken = Clock::now();
    ok = client(1) && ok;
    // The service reads the level again on the first message after 60 s.
    while (Clock::now() - broken < std::chrono::seconds(62)) platform::SleepMilliseconds(200);
    ok = client(2) && ok;
    ok = client(3) && ok;
    bool alive = Figures(pid).threads > 0;
    std::ofstream(hive, std::ios::binary | std::ios::trunc) << good;
    ok = client(4) && ok;
    int stopCode = service_->Stop();
    std::printf("  service alive with the broken hive: %s; exit code after the hive was written back: %d\n",
                alive ? "yes" : "NO", stopCode);
    return Report("hive", CheckFiles(expected, kPassing), false) && ok && alive && stopCode == 0;
  }

  // The data folder on a 1 MiB file system of its own (unshare -Urm, so no
  // root is needed), filled by a ballast file and the logs, then cleared.
  bool DiskFull() {
    std::printf("\ndiskfull: the data folder on a 1 MiB tmpfs, filled and cleared again (load average %s)\n",
                LoadAverage().c_str());
    if (!Prepare("diskfull", 20480)) return false;
    platform::HKey key = nullptr;
    std::uint32_t on = 1;
    (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, L"Software\\Kestrix\\Wayline\\CurrentInstall",
                                      platform::kKeyAllAccess, &key, nullptr);
    // The service's diagnostic lines go to its daily file (on the full disk
    // too) and, with DebugOutput, to its standard error, which is kept.
    (void)platform::RegistrySetValue(key, L"DebugOutput", platform::kRegDword, &on, 4);
    (void)platform::RegistrySetValue(key, L"FileOutput", platform::kRegDword, &on, 4);
    (void)platform::RegistryCloseKey(key);
    std::string command = "unshare -Urm " + platform::Utf8FromWide(platform::GetExecutableFileName()) +
                          " diskfull-inner " + bin_.string() + " " + Root().string() + " 2> " +
                          (Root() / "service-stderr").string();
    int status = std::system(command.c_str());
    std::ifstream err(Root() / "service-stderr");
    long reports = 0;
    for (std::string line; std::getline(err, line);) {
      if (line.find("Write failed for file") != std::string::npos) ++reports;
    }
    std::ifstream lostIn(Root() / "lost");
    long lost = -1;
    lostIn >> lost;
    std::printf("  lines lost while the disk was full: %ld; reports of a failed write: %ld\n", lost, reports);
    bool ok = status == 0;
    if (!ok) Fail("the inner run failed (needs unshare from util-linux and user namespaces)");
    if (lost <= 0 || reports != lost) ok = Fail("each lost line must be reported once");
    return ok;
  }

  // A local server activated and ended again and again by "scribe log";
  // then clients that come while a server ends, after a pause of 0 to
  // 1.2 s, which start a second server beside the ending one.
  bool Activations() {
    int rounds = options_.activations, overlapping = std::max(1, options_.activations / 10);
    std::printf(
        "\nactivations: a local server activated and ended %d times, then %d times with a client coming "
        "while it ends (load average %s)\n",
        rounds, overlapping, LoadAverage().c_str());
    fs::path root = base_ / "activations";
    fs::create_directories(root);
    platform::SetEnvVar(L"WAYLINE_ROOT", root.wstring());
    fs::path host = bin_ / "host" / "ScribeHost";
    if (Start(host, {L"-RegServer"})->Wait() != 0) return Fail("ScribeHost -RegServer failed");
    // The servers' diagnostic lines are kept, for the check below.
    platform::HKey key = nullptr;
    std::uint32_t on = 1;
    (void)platform::RegistryCreateKey(platform::kHKeyLocalMachine, L"Software\\Kestrix\\Wayline\\CurrentInstall",
                                      platform::kKeyAllAccess, &key, nullptr);
    (void)platform::RegistrySetValue(key, L"FileOutput", platform::kRegDword, &on, 4);
    (void)platform::RegistryCloseKey(key);

    ServerWatch watch(fs::canonical(host));
    auto log = [&](const std::string& text) {
      return Start(bin_ / "tools" / "scribe", {L"log", L"-s", L"1", L"-l", L"1", platform::WideFromUtf8(text)})
                 ->Wait() == 0;
    };
    std::vector<std::string> lines;
    long failedClients = 0, stuck = 0, startedByAServer = 0, tooMany = 0, servers = 0;
    auto round = [&](const std::string& first, int pauseMs) {
      lines.push_back(first);
      if (!log(first)) ++failedClients;
      if (pauseMs >= 0) {
        platform::SleepMilliseconds(pauseMs);
        lines.push_back(first + " again");
        if (!log(first + " again")) ++failedClients;
      }
      if (!watch.WaitUntilNoneRuns(10000)) ++stuck;
      ServerWatch::Seen seen = watch.Take();
      servers += seen.servers;
      if (seen.startedByAServer) ++startedByAServer;
      if (seen.mostAtOnce > (pauseMs >= 0 ? 2 : 1)) ++tooMany;
    };
    auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) round(Format("activation {}", i), -1);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int i = 0; i < overlapping; ++i) {
      round(Format("overlapping {}", i), static_cast<int>(Mix(static_cast<std::uint64_t>(i)) % 1200));
    }

    std::ifstream in(DataFolder() / "Wayline.log", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    long missing = 0;
    for (const std::string& line : lines) {
      if (text.find(": " + line + "\r\n") != std::string::npos) continue;
      if (++missing <= 3) std::printf("    missing: %s\n", line.c_str());
    }
    long openFailures = 0;
    for (const auto& entry : fs::directory_iterator(DataFolder())) {
      if (!entry.path().filename().string().starts_with("ScribeHost_")) continue;
      std::ifstream daily(entry.path(), std::ios::binary);
      for (std::string line; std::getline(daily, line);) {
        if (line.find("Error: Open failed") != std::string::npos) ++openFailures;
      }
    }
    std::printf(
        "  %d activations in %.0f s; %ld servers in all; lines missing %ld of %zu; clients failed %ld; "
        "rounds with a server started by a server %ld, with more servers at once than clients %ld, "
        "with a server still running after 10 s %ld; open failures in the daily files %ld\n",
        rounds, seconds, servers, missing, lines.size(), failedClients, startedByAServer, tooMany, stuck, openFailures);
    bool ok = missing + failedClients + startedByAServer + tooMany + stuck + openFailures == 0;
    std::printf("  activations: %s\n", ok ? "PASS" : "FAIL");
    return ok;
  }

  bool Fail(const std::string& what) {
    std::printf("  FAIL: %s\n", what.c_str());
    return false;
  }

  [[nodiscard]] const Options& options() const { return options_; }

 private:
  Options options_;
  fs::path base_;
  fs::path bin_;
  std::unique_ptr<Service> service_;
};

// diskfull-inner BIN ROOT, inside its own user and mount namespace: the data
// folder becomes a 1 MiB tmpfs with a ballast file; a client logs until the
// disk is full; the ballast goes and another client's lines must all be
// written. Writes the count of the first client's lost lines to ROOT/lost.
int DiskFullInner(const std::string& bin, const std::string& root) {
  platform::SetEnvVar(L"WAYLINE_ROOT", platform::WideFromUtf8(root));
  fs::create_directories(DataFolder());
  if (std::system(("mount -t tmpfs -o size=1m scribe-soak " + DataFolder().string()).c_str()) != 0) return 1;
  {
    std::ofstream ballast(DataFolder() / "ballast", std::ios::binary);
    std::string block(4096, 'b');
    for (int i = 0; i < 200; ++i) ballast << block;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Service service(bin);
  if (!service.Run()) return 2;
  ITraceLogManager* manager = Connect();
  if (manager == nullptr) return 3;
  for (ULONG source = 0; source < kSourceCount; ++source) (void)manager->SetComponentLogLevel(source, kLevelDebug2);
  manager->Release();
  std::uint32_t pid = service.Pid();
  long residentBefore = Figures(pid).residentKiB;
  if (Self({L"client", L"0", L"3000"})->Wait() != 0) return 4;
  // Wait until the service has taken every line (the file stops changing).
  platform::SleepMilliseconds(1500);
  long residentFull = Figures(pid).residentKiB;
  fs::remove(DataFolder() / "ballast");
  if (Self({L"client", L"1", L"300"})->Wait() != 0) return 5;
  if (service.Stop() != 0) return 6;
  Check after = CheckFiles({{0, kLossy}, {1, 300}});
  long lost = 3000 - after.perClient[0];
  std::ofstream(fs::path(root) / "lost") << lost;
  std::printf("  resident memory of the service: %ld KiB before, %ld KiB with the disk full\n", residentBefore,
              residentFull);
  bool ok = Report("diskfull", after, false);
  CoUninitialize();
  return ok ? 0 : 7;
}

int Orchestrate(Options options) {
  fs::path bin = fs::path(platform::GetExecutableFileName()).parent_path().parent_path();
  fs::path base = fs::temp_directory_path() / ("scribe-soak-" + std::to_string(platform::GetCurrentProcessId()));
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::printf("soak on %s (build %s), load average %s\n", base.c_str(), bin.c_str(), LoadAverage().c_str());
  Soak soak(options, base, bin);
  auto start = Clock::now();
  int failures = 0;
  auto run = [&](const char* name, auto&& phase) {
    if (options.phases.contains(name) && !phase()) ++failures;
  };
  run("load", [&] { return soak.Load("load", false); });
  run("resets", [&] { return soak.Load("resets", true); });
  run("connected", [&] { return soak.Connected(); });
  run("crash", [&] { return soak.Crash(); });
  run("stop", [&] { return soak.Stop(); });
  run("syslog", [&] { return soak.Syslog(); });
  run("diskfull", [&] { return soak.DiskFull(); });
  run("hive", [&] { return soak.Hive(); });
  run("activations", [&] { return soak.Activations(); });
  std::printf("\nsoak: %s after %.0f s (load average %s)\n", failures == 0 ? "PASS" : "FAIL",
              std::chrono::duration<double>(Clock::now() - start).count(), LoadAverage().c_str());
  CoUninitialize();
  if (!options.keep && failures == 0) {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

// An exception that escapes ends the soak with a failure, as it should.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  wl::SendReportsToLogger();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string mode = args.empty() ? "" : args[0];
  if (mode == "client")
    return RunClient(std::stoi(args[1]), std::stol(args[2]), args.size() > 3 ? std::stoi(args[3]) : 0);
  if (mode == "diskfull-inner") return DiskFullInner(args[1], args[2]);
  if (mode == "connected") return RunConnected(std::stoi(args[1]), std::stol(args[2]));
  if (mode == "changer") return RunChanger(std::stoi(args[1]), args[2] == "1");
  if (mode == "frame-victim") return RunFrameVictim();
  if (mode == "sync") return RunSync(std::stoi(args[1]));
  if (mode == "syslog-sender") return RunSyslogSender(std::stoi(args[1]), std::stol(args[2]));
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    auto next = [&]() -> std::string {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "%s needs a value\n", args[i].c_str());
        std::exit(2);
      }
      return args[++i];
    };
    if (args[i] == "--clients")
      options.clients = std::stoi(next());
    else if (args[i] == "--messages")
      options.messages = std::stol(next());
    else if (args[i] == "--changers")
      options.changers = std::stoi(next());
    else if (args[i] == "--connected")
      options.connected = std::stoi(next());
    else if (args[i] == "--activations")
      options.activations = std::stoi(next());
    else if (args[i] == "--keep")
      options.keep = true;
    else if (args[i] == "--phases") {
      options.phases.clear();
      std::stringstream list(next());
      for (std::string phase; std::getline(list, phase, ',');) options.phases.insert(phase);
    } else {
      std::fprintf(stderr,
                   "usage: scribe_soak [--clients N] [--messages M] [--changers K] [--connected C] "
                   "[--activations A] [--phases load,resets,connected,crash,stop,syslog,activations] [--keep]\n");
      return 2;
    }
  }
  return Orchestrate(options);
}
