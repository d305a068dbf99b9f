// One syslog client against the service's syslog intake and against a real
// rsyslogd, in one run (Linux), with the service reached through the client
// library as a third receiver:
//  - intake: ScribeHost run as a service (`wlsc run`) on a temporary machine
//    root with SyslogIntake on, its datagram socket only, writing each
//    message as one line of Wayline.log with one write per line;
//  - rsyslogd: started in the foreground with a configuration of its own,
//    imuxsock on a socket of its own with rate limiting off, every message
//    into one file with omfile's default buffering and template;
//  - client library: the same service, the same texts logged by WriteLog
//    through the process's Logger (source 1, Info), as the product's
//    programs log.
// The syslog client sends each message as syslog(3) formats it for /dev/log
// ("<14>Mmm dd hh:mm:ss bench[PID]: text", 120 bytes, the text numbered),
// with one blocking send() per message on a connected datagram socket.
// Each figure is the rate from the first send until every numbered line is
// in the receiver's file: from 1 client process sending all the messages and
// from 4 sending a quarter each; and the lines lost (sent, but not in the
// file 10 s after the last new line). Each receiver starts afresh, with
// empty files, for each figure; the figures are medians of the rounds,
// taken in turn. The clients are this program started again.
//
//   syslog_bench [MESSAGES [ROUNDS]] [--csv FILE]   (default 200000 and 3)
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/measure.h"
#include "bench/syslog_message.h"
#include "diagnostics/singleton.h"
#include "diagnostics/write_log.h"
#include "logclient/logger.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

using namespace wl;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::size_t kDatagramBytes = 120;
constexpr std::uint16_t kSource = 1;  // the intake's default source: Wayline.log
constexpr const wchar_t* kRsyslogdPath = L"/usr/sbin/rsyslogd";
constexpr const char* kSetpriv = "/usr/bin/setpriv";
// Without a new line for this long after the clients ended, the rest is lost.
constexpr auto kQuiet = std::chrono::seconds(10);
// Clients that send nothing that arrives for this long are stuck.
constexpr auto kStuck = std::chrono::seconds(60);

// Set by SIGINT, SIGTERM and SIGHUP: the run ends as after a failure,
// stopping what it started and removing its files.
volatile std::sig_atomic_t interrupted = 0;

void Interrupt(int) { interrupted = 1; }

std::int64_t Nanoseconds(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

int ConnectDatagram(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// What a client writes into its result file: when it began (the steady
// clock in ns, the same in every process) and how many messages it sent.
void WriteResult(const char* file, Clock::time_point start, long sent) {
  std::ofstream(file) << Nanoseconds(start) << ' ' << sent << '\n';
}

// syslog-client SOCKET FIRST COUNT RESULT
int RunSyslogClient(char** argv) {
  auto start = Clock::now();
  long first = std::stol(argv[3]), count = std::stol(argv[4]), sent = 0;
  bench::SyslogFormatter formatter("bench", getpid(), kDatagramBytes);
  int fd = ConnectDatagram(argv[2]);
  for (; fd >= 0 && sent < count; ++sent) {
    const std::string& message = formatter.Format(first + sent, std::time(nullptr));
    ssize_t result;
    do {
      result = send(fd, message.data(), message.size(), 0);
    } while (result < 0 && errno == EINTR);
    if (result != static_cast<ssize_t>(message.size())) {
      std::perror("syslog client: send");
      break;
    }
  }
  if (fd < 0) std::perror("syslog client: connect");
  WriteResult(argv[5], start, sent);
  return sent == count ? 0 : 1;
}

// logger-client FIRST COUNT RESULT: the same texts through WriteLog; the
// Logger hands over everything queued when it stops.
int RunLoggerClient(char** argv) {
  auto start = Clock::now();
  long first = std::stol(argv[2]), count = std::stol(argv[3]);
  // Texts of the size that the syslog client sends.
  std::size_t size = bench::SyslogFormatter("bench", getpid(), kDatagramBytes).TextSize(std::time(nullptr));
  for (long i = 0; i < count; ++i) {
    std::string text = bench::MessageText(first + i, size);
    WriteLog(kSource, kLevelInfo, std::wstring(text.begin(), text.end()));
  }
  LifetimeTracker::Instance().DestroyAll();
  WriteResult(argv[4], start, count);
  return 0;
}

// Whether the child has ended, without reaping it (ChildProcess::Wait does).
bool Ended(platform::ChildProcess& child) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(child.Id()), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

// Starts the program with its standard output on /dev/null (the tools and
// the service in the foreground say what they do there), under setpriv
// --pdeathsig TERM when `tied` and setpriv exists, so that it also ends
// when this program is killed. The process keeps its id through the execs.
std::unique_ptr<platform::ChildProcess> StartQuiet(const std::wstring& program, std::vector<std::wstring> arguments,
                                                   bool tied) {
  arguments.insert(arguments.begin(), program);
  std::wstring script = L"exec \"$0\" \"$@\" >/dev/null";
  if (tied && fs::exists(kSetpriv)) {
    arguments.insert(arguments.begin(), {platform::WideFromUtf8(kSetpriv), L"--pdeathsig", L"TERM"});
  }
  arguments.insert(arguments.begin(), {L"-c", script});
  Win32Error error = 0;
  auto child = platform::StartProcess(L"/bin/sh", arguments, &error);
  if (!child) std::fprintf(stderr, "cannot start /bin/sh: error %u\n", static_cast<unsigned>(error));
  return child;
}

// A daemon started for a figure, stopped with SIGTERM when it goes (SIGKILL
// after 10 s).
class Daemon {
 public:
  Daemon(const std::wstring& program, std::vector<std::wstring> arguments)
      : child_(StartQuiet(program, std::move(arguments), true)) {}
  ~Daemon() { Stop(); }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  [[nodiscard]] bool Running() { return child_ && !Ended(*child_); }
  void Stop() {
    if (!child_) return;
    if (!Ended(*child_)) kill(static_cast<pid_t>(child_->Id()), SIGTERM);
    for (int i = 0; i < 1000 && !Ended(*child_); ++i) platform::SleepMilliseconds(10);
    if (!Ended(*child_)) {
      std::fprintf(stderr, "a daemon did not stop within 10 s: killed\n");
      (void)child_->Kill();
    }
    (void)child_->Wait();
    child_.reset();
  }

 private:
  std::unique_ptr<platform::ChildProcess> child_;
};

// Waits up to 10 s until a datagram socket at the path takes a connection.
bool WaitForSocket(const fs::path& path, Daemon& daemon) {
  for (int i = 0; i < 1000 && daemon.Running(); ++i) {
    int fd = ConnectDatagram(path);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    platform::SleepMilliseconds(10);
  }
  return false;
}

int Run(const std::wstring& program, const std::vector<std::wstring>& arguments) {
  auto child = StartQuiet(program, arguments, false);
  return child ? child->Wait() : -1;
}

// ScribeHost as a service on a machine root of its own.
class Service {
 public:
  explicit Service(fs::path root) : root_(std::move(root)) {}
  // Registers the service on the root and sets the intake's values; false
  // when a step fails.
  bool Install() {
    fs::create_directories(root_);
    platform::SetEnvVar(L"WAYLINE_ROOT", root_.wstring());
    if (Run(SCRIBE_HOST_PROGRAM, {L"-Service"}) != 0) return false;
    auto set = [](const wchar_t* name, const wchar_t* type, const std::wstring& data) {
      return Run(SCRIBE_WLREG_PROGRAM,
                 {L"add", L"HKLM\\Software\\Kestrix\\Wayline", L"/v", name, L"/t", type, L"/d", data, L"/f"}) == 0;
    };
    // 20 MiB per file, so that no generation is deleted within a figure.
    return set(L"SyslogIntake", L"REG_DWORD", L"1") && set(L"SyslogSocket", L"REG_SZ", IntakeSocket().wstring()) &&
           set(L"SyslogStreamSocket", L"REG_SZ", L"") && set(L"MaxLogFileSize", L"REG_DWORD", L"20480");
  }
  // Starts the service with empty log files and waits until it runs (and,
  // with `intake`, until its datagram socket takes connections).
  bool Start(bool intake) {
    for (const auto& entry : fs::directory_iterator(DataFolder())) {
      if (entry.path().extension() == ".log") fs::remove(entry.path());
    }
    fs::remove(StatusFile());
    fs::remove(QueueStatusFile());
    daemon_.emplace(SCRIBE_WLSC_PROGRAM, std::vector<std::wstring>{L"run", L"ScribeHost"});
    for (int i = 0; i < 1000 && daemon_->Running(); ++i) {
      std::ifstream status(StatusFile());
      std::string line;
      while (std::getline(status, line)) {
        if (line == "state=4") return !intake || WaitForSocket(IntakeSocket(), *daemon_);
      }
      platform::SleepMilliseconds(10);
    }
    return false;
  }
  // Stops the service; returns the lines its core dropped at its queue's
  // bound while it ran.
  std::uint64_t Stop() {
    daemon_.reset();
    std::uint64_t dropped = 0;
    std::ifstream status(QueueStatusFile());
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("dropped=")) dropped = std::stoull(line.substr(8));
    }
    return dropped;
  }
  fs::path LogFile() const { return DataFolder() / "Wayline.log"; }
  fs::path IntakeSocket() const { return root_ / "run" / "log"; }

 private:
  fs::path DataFolder() const { return root_ / "ProgramData" / "Kestrix" / "Wayline"; }
  fs::path StatusFile() const { return root_ / "run" / "services" / "ScribeHost.status"; }
  fs::path QueueStatusFile() const { return root_ / "run" / "queue.status"; }

  fs::path root_;
  std::optional<Daemon> daemon_;
};

// rsyslogd in the foreground with a configuration, pid file, work folder
// and socket of its own.
class Rsyslogd {
 public:
  explicit Rsyslogd(fs::path folder) : folder_(std::move(folder)) {}
  bool Start() {
    fs::create_directories(folder_ / "work");
    fs::remove(LogFile());
    std::ofstream(folder_ / "rsyslog.conf")
        << "global(workDirectory=\"" << (folder_ / "work").string() << "\")\n"
        << "module(load=\"imuxsock\" SysSock.Use=\"off\")\n"
        << "input(type=\"imuxsock\" Socket=\"" << Socket().string() << "\" RateLimit.Interval=\"0\")\n"
        << "*.* action(type=\"omfile\" file=\"" << LogFile().string() << "\")\n";
    daemon_.emplace(kRsyslogdPath, std::vector<std::wstring>{L"-n", L"-f", (folder_ / "rsyslog.conf").wstring(), L"-i",
                                                             (folder_ / "rsyslogd.pid").wstring()});
    return WaitForSocket(Socket(), *daemon_);
  }
  void Stop() { daemon_.reset(); }
  fs::path LogFile() const { return folder_ / "messages.log"; }
  fs::path Socket() const { return folder_ / "log.sock"; }

 private:
  fs::path folder_;
  std::optional<Daemon> daemon_;
};

struct Outcome {
  double rate = 0;  // of the lines found, until the last of them
  long sent = 0;
  long found = 0;
  long duplicates = 0;
};

// Starts the clients (syslog clients when `socket` is set, else Logger
// clients), each sending perClient messages, numbered across them, and
// follows the file until every message is in it.
Outcome Drive(int clients, long perClient, const fs::path& socket, const fs::path& file, const fs::path& work) {
  long total = clients * perClient;
  std::vector<bool> seen(static_cast<std::size_t>(total));
  Outcome outcome;
  bench::FollowedFile followed(file, [&](std::string_view line) {
    long number = bench::MessageNumber(line);
    if (number < 0 || number >= total) return;
    if (seen[static_cast<std::size_t>(number)]) {
      ++outcome.duplicates;
    } else {
      seen[static_cast<std::size_t>(number)] = true;
      ++outcome.found;
    }
  });
  std::vector<std::unique_ptr<platform::ChildProcess>> children;
  for (int c = 0; c < clients; ++c) {
    std::wstring first = std::to_wstring(c * perClient), count = std::to_wstring(perClient);
    fs::path result = work / ("client-" + std::to_string(c));
    fs::remove(result);
    std::vector<std::wstring> arguments =
        socket.empty() ? std::vector<std::wstring>{L"logger-client", first, count, result.wstring()}
                       : std::vector<std::wstring>{L"syslog-client", socket.wstring(), first, count, result.wstring()};
    Win32Error error = 0;
    children.push_back(platform::StartProcess(platform::GetExecutableFileName(), arguments, &error));
    if (!children.back()) {
      std::fprintf(stderr, "cannot start a client: error %u\n", static_cast<unsigned>(error));
      children.pop_back();
    }
  }
  auto last = Clock::now();
  for (;;) {
    long before = outcome.found;
    (void)followed.Poll();
    auto now = Clock::now();
    if (outcome.found != before) last = now;
    if (outcome.found == total) break;
    if (interrupted) {
      for (auto& child : children) (void)child->Kill();
      for (auto& child : children) (void)child->Wait();
      throw std::runtime_error("interrupted");
    }
    bool ended = std::all_of(children.begin(), children.end(), [](auto& child) { return Ended(*child); });
    if (now - last > (ended ? kQuiet : kStuck)) {
      if (!ended) std::fprintf(stderr, "the clients are stuck: killed\n");
      for (auto& child : children) (void)child->Kill();
      break;
    }
    platform::SleepMilliseconds(1);
  }
  std::optional<std::int64_t> start;
  for (int c = 0; c < static_cast<int>(children.size()); ++c) {
    (void)children[static_cast<std::size_t>(c)]->Wait();
    std::int64_t began = 0;
    long sent = 0;
    if (std::ifstream(work / ("client-" + std::to_string(c))) >> began >> sent) {
      start = std::min(start.value_or(began), began);
      outcome.sent += sent;
    }
  }
  double seconds = static_cast<double>(Nanoseconds(last) - start.value_or(Nanoseconds(last))) / 1e9;
  outcome.rate = seconds > 0 ? static_cast<double>(outcome.found) / seconds : 0;
  return outcome;
}

enum Receiver { kIntake, kRsyslogd, kLibrary };
constexpr const char* kReceiverNames[] = {"service intake", "rsyslogd", "client library"};

struct Figure {
  std::vector<double> rates;
  long sent = 0;
  long lost = 0;
  long duplicates = 0;
  std::uint64_t dropped = 0;  // by the service's core at its bound
  bool failed = false;
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The first line of `rsyslogd -v` up to "compiled with".
std::string Version() {
  std::string command = platform::Utf8FromWide(kRsyslogdPath) + " -v 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "?";
  char line[256] = "";
  if (std::fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
  pclose(pipe);
  std::string text;
  for (char c : std::string_view(line).substr(0, std::string_view(line).find(" compiled"))) {
    if (c == '\n' || (c == ' ' && !text.empty() && text.back() == ' ')) continue;
    text += c;
  }
  return text;
}

int RunBench(long messages, int rounds, bench::CsvFigures& csv) {
  if (!fs::exists(kRsyslogdPath)) {
    std::fprintf(stderr, "%ls is missing: apt-get install rsyslog\n", kRsyslogdPath);
    return 1;
  }
  fs::path base = fs::temp_directory_path() / ("syslog-bench-" + std::to_string(platform::GetCurrentProcessId()));
  struct Remove {
    fs::path path;
    ~Remove() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } removeBase{base};
  fs::create_directories(base / "work");
  Service service(base / "service");
  if (!service.Install()) {
    std::fprintf(stderr, "ScribeHost could not be registered as a service on %s\n", (base / "service").c_str());
    return 1;
  }
  Rsyslogd rsyslogd(base / "rsyslogd");
  std::string version = Version();
  // How many datagrams a Unix socket queues before a sender blocks.
  std::string queueLength = "?";
  std::getline(std::ifstream("/proc/sys/net/unix/max_dgram_qlen"), queueLength);

  std::printf("load average before: %s\n", bench::LoadAverage().c_str());
  std::printf(
      "%ld messages per figure of %zu bytes as syslog(3) sends them (1 client process; 4 send %ld each), "
      "%d rounds\n",
      messages, kDatagramBytes, messages / 4, rounds);
  std::printf("rsyslogd: %s; net.unix.max_dgram_qlen: %s\n", version.c_str(), queueLength.c_str());

  constexpr int kClients[] = {1, 4};
  Figure figures[2][3];
  bool intake = true;
  for (int round = 0; round < rounds; ++round) {
    for (int c = 0; c < 2; ++c) {
      for (Receiver receiver : {kIntake, kRsyslogd, kLibrary}) {
        Figure& figure = figures[c][receiver];
        if (receiver == kIntake && !intake) continue;
        bool started = receiver == kRsyslogd ? rsyslogd.Start() : service.Start(receiver == kIntake);
        if (!started) {
          std::fprintf(stderr, "%s did not start\n", receiver == kRsyslogd ? "rsyslogd" : "ScribeHost");
          if (receiver == kIntake) {
            std::fprintf(stderr, "(no syslog intake on %s: its figures are left out)\n",
                         service.IntakeSocket().c_str());
            intake = false;
            (void)service.Stop();
            continue;
          }
          return 1;
        }
        long perClient = messages / kClients[c];
        Outcome outcome = Drive(kClients[c], perClient,
                                receiver == kIntake     ? service.IntakeSocket()
                                : receiver == kRsyslogd ? rsyslogd.Socket()
                                                        : fs::path(),
                                receiver == kRsyslogd ? rsyslogd.LogFile() : service.LogFile(), base / "work");
        if (receiver == kRsyslogd) {
          rsyslogd.Stop();
        } else {
          figure.dropped += service.Stop();
        }
        figure.rates.push_back(outcome.rate);
        figure.sent += outcome.sent;
        figure.lost += std::max(0L, outcome.sent - outcome.found);
        figure.duplicates += outcome.duplicates;
        if (outcome.sent != kClients[c] * perClient) {
          std::fprintf(stderr, "the clients sent %ld of %ld messages\n", outcome.sent, kClients[c] * perClient);
          figure.failed = true;
        }
        std::fprintf(stderr, "  round %d, %d client%s, %s: %.0f messages/s, %ld of %ld found\n", round + 1, kClients[c],
                     c == 0 ? "" : "s", kReceiverNames[receiver], outcome.rate, outcome.found, kClients[c] * perClient);
      }
    }
  }

  std::printf("\nmessages per second until every line is in its file (median of %d rounds), lines lost in all rounds\n",
              rounds);
  std::printf("%-36s %14s %14s %14s\n", "", kReceiverNames[kIntake], kReceiverNames[kRsyslogd],
              kReceiverNames[kLibrary]);
  for (int c = 0; c < 2; ++c) {
    std::string row = std::to_string(kClients[c]) + (c == 0 ? " client process" : " client processes");
    std::printf("%-36s", (row + ": messages/s").c_str());
    for (const Figure& figure : figures[c]) {
      if (figure.rates.empty()) {
        std::printf(" %14s", "-");
      } else {
        std::printf(" %14.0f", Median(figure.rates));
      }
    }
    std::printf("\n%-36s", (row + ": lost").c_str());
    for (const Figure& figure : figures[c]) {
      if (figure.rates.empty()) {
        std::printf(" %14s", "-");
      } else {
        std::printf(" %14ld", figure.lost);
      }
    }
    std::printf("\n");
    if (!figures[c][kIntake].rates.empty()) {
      std::printf("%-36s %14.2f  (goal: at least 2)\n", (row + ": intake / rsyslogd").c_str(),
                  Median(figures[c][kIntake].rates) / Median(figures[c][kRsyslogd].rates));
    }
  }
  std::printf("load average after: %s\n", bench::LoadAverage().c_str());

  csv.Note("syslog_bench " + std::to_string(messages) + " messages per figure of " + std::to_string(kDatagramBytes) +
           " bytes; 4 client processes send " + std::to_string(messages / 4) + " each; medians of " +
           std::to_string(rounds) + " rounds; " + version + "; net.unix.max_dgram_qlen " + queueLength);
  for (int c = 0; c < 2; ++c) {
    std::string clients = std::to_string(kClients[c]) + (c == 0 ? " client process" : " client processes");
    const Figure& yardstick = figures[c][kRsyslogd];
    auto lost = [&](const Figure& figure) {
      return " (" + std::to_string(figure.lost) + " of " + std::to_string(figure.sent) + " lost)";
    };
    for (Receiver receiver : {kIntake, kLibrary}) {
      const Figure& figure = figures[c][receiver];
      if (figure.rates.empty()) continue;
      csv.Add("rates", kReceiverNames[receiver] + (": " + clients) + lost(figure), "messages/s", Median(figure.rates),
              "rsyslogd: " + clients + lost(yardstick), Median(yardstick.rates));
      if (figure.dropped != 0 || figure.duplicates != 0) {
        csv.Note(std::string(kReceiverNames[receiver]) + " with " + clients + ": " + std::to_string(figure.dropped) +
                 " lines dropped at the service's queue bound and " + std::to_string(figure.duplicates) +
                 " found twice");
      }
    }
    if (yardstick.duplicates != 0) {
      csv.Note("rsyslogd with " + clients + ": " + std::to_string(yardstick.duplicates) + " lines found twice");
    }
  }
  bool failed = false;
  for (auto& row : figures) {
    for (auto& figure : row) failed = failed || figure.failed;
  }
  if (!intake) csv.Note("the service's syslog intake did not start: its figures are missing");
  return failed || !intake ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  wl::bench::CsvFigures csv(argc, argv);
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "syslog-client" && argc == 6) return RunSyslogClient(argv);
  if (mode == "logger-client" && argc == 5) {
    wl::SendReportsToLogger();
    return RunLoggerClient(argv);
  }
  long messages = argc > 1 ? std::stol(argv[1]) : 200000;
  int rounds = argc > 2 ? std::stoi(argv[2]) : 3;
  if (messages < 4 || rounds < 1) {
    std::fprintf(stderr, "usage: syslog_bench [MESSAGES [ROUNDS]] [--csv FILE]\n");
    return 2;
  }
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, Interrupt);
  try {
    return RunBench(messages, rounds, csv);
  } catch (const std::exception& error) {
    // The daemons are stopped as the stack unwinds.
    std::fprintf(stderr, "syslog_bench: %s\n", error.what());
    return 1;
  }
}
