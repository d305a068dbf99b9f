// Process tests of the syslog intake: the real service (wlsc run ScribeHost)
// fed by senders that nobody here wrote -- logger(1), Python's
// SysLogHandler, syslog(3) from a program of the test build -- and by
// hostile senders of another account. Linux only: on Windows the event log
// takes other programs' messages.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <thread>

#include "host/scribe_host_registration.h"
#include "platform/machine_root.h"
#include "platform/syslog_socket.h"
#include "tests/support/service_fixture.h"
#include "tests/support/service_state.h"

namespace wl {
namespace {

using test::WaitUntil;

// A path as one word of the shell.
std::string Quoted(const std::filesystem::path& path) {
  std::string word = path.string();
  word.insert(word.begin(), '\'');
  word.push_back('\'');
  return word;
}

// A process id as the line shows it: hex, at least five digits.
std::string Hex5(std::uint32_t value) {
  std::string text;
  for (; value != 0 || text.size() < 5; value >>= 4) text.insert(text.begin(), "0123456789abcdef"[value & 15]);
  return text;
}

class SyslogIntakeTest : public test::ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    if (test::OnWindows()) GTEST_SKIP() << "on Windows the event log takes other programs' messages";
    ASSERT_EQ(SetProductDword(L"SyslogIntake", 1), 0u);
    // The flood of one test stays in one file.
    ASSERT_EQ(SetProductDword(L"MaxLogFileSize", 64 * 1024), 0u);
    ASSERT_EQ(test::RunChild({L"-Service"}, L"ScribeHost"), 0);
    uid_ = Output("id -u");
  }
  void TearDown() override {
    if (service_) StopService();
    // No client may start a local server in the root that goes with the test.
    if (!test::OnWindows()) {
      EXPECT_EQ(test::RunChild({L"-UnregServer"}, L"ScribeHost"), 0);
    }
    ServiceFixture::TearDown();
  }

  // The first line of a shell command's output.
  static std::string Output(const std::string& command) {
    std::string out;
    EXPECT_EQ(test::Shell(command, &out), 0) << command;
    return out.substr(0, out.find('\n'));
  }
  // Runs a sender in place of the shell, so that the process id the shell
  // prints is the sender's.
  static std::uint32_t Send(const std::string& command) {
    std::string pid = Output("echo $$; exec " + command);
    return pid.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(pid));
  }

  std::filesystem::path RunFolder() { return std::filesystem::path(platform::MachineRoot()) / "run"; }
  static std::string Wlsc(const std::string& arguments) {
    return Output(Quoted(test::ProgramPath(L"wlsc")) + " " + arguments + " 2>&1");
  }

  void StartService() {
    io_ = std::make_unique<test::TempFolder>();
    test::WriteFileBytes(io_->Path() / "in", {});
    service_ = test::StartChild({L"redirect-errors", (io_->Path() / "err").wstring(), (io_->Path() / "in").wstring(),
                                 (io_->Path() / "out").wstring(), test::ProgramPath(L"wlsc"), L"run", L"ScribeHost"});
    ASSERT_TRUE(service_ != nullptr);
    ASSERT_TRUE(test::WaitForServiceState(kServiceName, platform::kServiceRunning));
  }
  // Stops the service as an operator does: it ends cleanly, and the intake's
  // sockets are gone.
  void StopService() {
    std::uint32_t pid = ServicePid();
    EXPECT_EQ(Wlsc("stop ScribeHost"), "ScribeHost: STOP_PENDING");
    EXPECT_EQ(service_->Wait(), 0);
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists("/proc/" + std::to_string(pid)); }))
        << "the service's process " << pid << " is still there";
    service_.reset();
    EXPECT_EQ(Wlsc("query ScribeHost"), "ScribeHost: STOPPED");
    std::string output = test::ReadFileText(io_->Path() / "out") + test::ReadFileText(io_->Path() / "err");
    EXPECT_EQ(output.find("terminate called"), std::string::npos) << output;
  }

  // The service's process, from its own line about the intake.
  std::uint32_t ServicePid() {
    std::string global = ReadLog("Wayline.log");
    std::size_t at = global.rfind(": Syslog intake: listening on ");
    if (at == std::string::npos) return 0;
    std::size_t start = global.rfind(' ', at) + 1;
    return static_cast<std::uint32_t>(std::stoul(global.substr(start, at - start), nullptr, 16));
  }
  std::size_t ServiceRssKiB() {
    std::ifstream status("/proc/" + std::to_string(ServicePid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6));
    }
    return 0;
  }

  // The line a message makes, with "TIME" for its receive time.
  std::string Line(std::string_view name, char level, std::uint32_t pid, std::string_view tag, std::string_view text,
                   const std::string& uid = {}) {
    std::string line(name);
    line.resize(12, ' ');
    return line + "+" + level + " TIME " + Hex5(pid) + "-00000: " + std::string(tag) +
           " uid=" + (uid.empty() ? uid_ : uid) + ": " + std::string(text);
  }
  // The lines of a log file from the sender with the tag, each with "TIME"
  // for its time (which must have the form MM/DD hh:mm:ss.mmm).
  std::vector<std::string> LinesOf(std::string_view file, std::string_view tag) {
    std::vector<std::string> lines;
    std::string text = ReadLog(file), wanted = "-00000: " + std::string(tag) + " uid=";
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
      std::string line = text.substr(at, end - at);
      if (line.find(wanted) == std::string::npos) continue;
      bool shaped = line.size() > 33;
      for (std::size_t i = 0; shaped && i < 18; ++i) {
        char form = "00/00 00:00:00.000"[i];
        shaped = form == '0' ? std::isdigit(static_cast<unsigned char>(line[15 + i])) != 0 : line[15 + i] == form;
      }
      if (shaped) line.replace(15, 18, "TIME");
      lines.push_back(line);
    }
    return lines;
  }
  // Waits until the file has a line from the tag.
  bool WaitForTag(std::string_view file, std::string_view tag, std::size_t count = 1) {
    return WaitUntil([&] { return LinesOf(file, tag).size() >= count; }, std::chrono::seconds(30));
  }

  std::unique_ptr<test::TempFolder> io_;
  std::unique_ptr<platform::ChildProcess> service_;
  std::string uid_;
};

using Lines = std::vector<std::string>;

// logger(1) over both sockets, in both forms and both stream framings: each
// message lands in the file of the source that its tag or else its facility
// maps to, at the level of its severity, with the sender's process; a debug
// message waits for a level that lets it through.
TEST_F(SyslogIntakeTest, LoggerMessagesLandInTheirFilesByteForByte) {
  const std::wstring key(kProductKey);
  ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, key + L"\\SyslogTags", L"harbortag", 5), 0u);
  ASSERT_EQ(test::SetNumber(platform::kHKeyLocalMachine, key + L"\\SyslogFacilities", L"local3", 21), 0u);
  StartService();
  const std::string datagrams = "logger --socket " + Quoted(RunFolder() / "log");
  const std::string stream = "logger -T --socket " + Quoted(RunFolder() / "log-stream");
  std::uint32_t byTag = Send(datagrams + " -t harbortag -p user.warning 'mapped by its tag'");
  std::uint32_t byFacility = Send(datagrams + " -t other -p local3.err 'mapped by its facility'");
  std::uint32_t tagWins = Send(datagrams + " -t harbortag -p local3.crit 'the tag wins'");
  std::uint32_t plain = Send(datagrams + " -t plain -p daemon.notice 'to the default source'");
  std::uint32_t newer = Send(datagrams + " --rfc5424 -t newer -p user.alert 'in the newer form'");
  std::uint32_t streamed = Send(stream + " -t streamed -p user.info 'over the stream'");
  std::uint32_t counted = Send(stream + " --octet-count -t counted -p local3.warning 'octets counted'");
  std::uint32_t both = Send(stream + " --octet-count --rfc5424 -t both -p user.err 'counted and newer'");
  (void)Send(datagrams + " -t quiet -p user.debug 'dropped at level 4'");
  // A socket's messages are taken in order: the last one marks the end.
  (void)Send(datagrams + " -t marker 'datagrams done'");
  ASSERT_TRUE(WaitForTag("Wayline.log", "marker"));
  (void)WaitForTag("Wayline.log", "both");

  EXPECT_EQ(LinesOf("WaylineSvc.log", "harbortag"), (Lines{Line("Harbor", 'W', byTag, "harbortag", "mapped by its tag"),
                                                           Line("Harbor", 'C', tagWins, "harbortag", "the tag wins")}));
  EXPECT_EQ(LinesOf("Lookout.log", "other"),
            Lines{Line("Lookout", 'E', byFacility, "other", "mapped by its facility")});
  EXPECT_EQ(LinesOf("Wayline.log", "plain"), Lines{Line("Wayline", 'I', plain, "plain", "to the default source")});
  EXPECT_EQ(LinesOf("Wayline.log", "newer"), Lines{Line("Wayline", 'C', newer, "newer", "in the newer form")});
  EXPECT_EQ(LinesOf("Wayline.log", "streamed"), Lines{Line("Wayline", 'I', streamed, "streamed", "over the stream")});
  EXPECT_EQ(LinesOf("Lookout.log", "counted"), Lines{Line("Lookout", 'W', counted, "counted", "octets counted")});
  EXPECT_EQ(LinesOf("Wayline.log", "both"), Lines{Line("Wayline", 'E', both, "both", "counted and newer")});
  EXPECT_EQ(LinesOf("Wayline.log", "quiet"), Lines{});

  // Debug for source 1 alone lets the next one through.
  EXPECT_EQ(Output(Quoted(test::ProgramPath(L"scribe")) + " level 1 Debug 2>&1; echo $?"), "0");
  std::uint32_t quiet = Send(datagrams + " -t quiet -p user.debug 'through at Debug'");
  ASSERT_TRUE(WaitForTag("Wayline.log", "quiet"));
  EXPECT_EQ(LinesOf("Wayline.log", "quiet"), Lines{Line("Wayline", 'D', quiet, "quiet", "through at Debug")});
}

// Python's logging handler, pointed at the datagram socket, sends without a
// tag or time: its messages are kept whole, by facility and severity.
TEST_F(SyslogIntakeTest, PythonsSyslogHandlerReachesTheFacilitysFile) {
  ASSERT_EQ(
      test::SetNumber(platform::kHKeyLocalMachine, std::wstring(kProductKey) + L"\\SyslogFacilities", L"local3", 21),
      0u);
  StartService();
  const char* script =
      "import logging, logging.handlers, os, sys\n"
      "handler = logging.handlers.SysLogHandler(address=sys.argv[1],\n"
      "    facility=logging.handlers.SysLogHandler.LOG_LOCAL3)\n"
      "log = logging.getLogger('intake'); log.addHandler(handler); log.setLevel(logging.DEBUG)\n"
      "print(os.getpid())\n"
      "log.debug('a debug line from python')\n"
      "log.warning('a warning from python')\n"
      "log.error('an error from python number %d', 7)\n"
      "log.critical('a critical line from python')\n"
      "log.info('an info line from python')\n";
  std::uint32_t pid = Send("python3 -c \"" + std::string(script) + "\" " + Quoted(RunFolder() / "log"));
  ASSERT_TRUE(WaitUntil([&] { return ReadLog("Lookout.log").find("an info line") != std::string::npos; },
                        std::chrono::seconds(30)));
  EXPECT_EQ(LinesOf("Lookout.log", "-"), (Lines{Line("Lookout", 'W', pid, "-", "a warning from python"),
                                                Line("Lookout", 'E', pid, "-", "an error from python number 7"),
                                                Line("Lookout", 'C', pid, "-", "a critical line from python"),
                                                Line("Lookout", 'I', pid, "-", "an info line from python")}));
}

// A daemon's syslog(3) reaches the intake where /dev/log is its socket: the
// tag and facility of openlog, the process from the socket.
TEST_F(SyslogIntakeTest, SyslogOfTheCLibraryThroughDevLog) {
  if (!test::RunningAsSystem() || test::Shell("unshare -m true") != 0) {
    GTEST_SKIP() << "needs root and unshare(1) to bind /dev/log to the intake's socket in a mount namespace";
  }
  ASSERT_EQ(
      test::SetNumber(platform::kHKeyLocalMachine, std::wstring(kProductKey) + L"\\SyslogFacilities", L"local3", 21),
      0u);
  StartService();
  std::uint32_t pid = Send(
      "unshare -m sh -c 'mount -t tmpfs tmpfs /dev && : >/dev/log && mount --bind \"$0\" /dev/log && "
      "exec \"$1\" csender 1 \"from syslog three\"' " +
      Quoted(RunFolder() / "log") + " " + Quoted(test::ProgramPath(L"scribe_syslog_sender")));
  ASSERT_TRUE(WaitForTag("Lookout.log", "csender"));
  EXPECT_EQ(LinesOf("Lookout.log", "csender"), Lines{Line("Lookout", 'E', pid, "csender", "from syslog three")});
}

// 16 processes send 10,000 datagrams each at once, blocking as logger(1)
// does: every numbered line is in the file exactly once.
TEST_F(SyslogIntakeTest, NothingIsLostFromSixteenSendersAtOnce) {
  constexpr int kSenders = 16, kMessages = 10000;
  StartService();
  ASSERT_EQ(test::Shell("for i in $(seq 1 " + std::to_string(kSenders) + "); do seq -f \"sender $i line %g.\" 1 " +
                        std::to_string(kMessages) + " | logger --socket " + Quoted(RunFolder() / "log") +
                        " -t flood & done; wait"),
            0);
  (void)Send("logger --socket " + Quoted(RunFolder() / "log") + " -t marker 'flood done'");
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return ReadLog("Wayline.log").find(" marker uid=") != std::string::npos;
      },
      std::chrono::minutes(3)));
  std::map<std::string, int> seen;
  std::size_t lines = 0;
  for (const std::string& line : LinesOf("Wayline.log", "flood")) {
    ++lines;
    std::size_t at = line.find(": sender ");
    if (at != std::string::npos) ++seen[line.substr(at + 2)];
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kSenders * kMessages));
  int missing = 0, doubled = 0;
  for (int sender = 1; sender <= kSenders; ++sender) {
    for (int message = 1; message <= kMessages; ++message) {
      auto found = seen.find("sender " + std::to_string(sender) + " line " + std::to_string(message) + ".");
      if (found == seen.end()) {
        ++missing;
      } else if (found->second != 1) {
        ++doubled;
      }
    }
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(doubled, 0);
}

// What a local user of another account may send: a text that claims
// another process, a datagram far over the limit, empty datagrams, control
// characters and bad UTF-8, an endless stream frame, more connections than
// the intake serves. Each is bounded, the sender's identity comes from the
// socket, and the service goes on serving and stops cleanly.
TEST_F(SyslogIntakeTest, HostileSendersOfAnotherAccountAreBounded) {
  if (!test::RunningAsSystem()) GTEST_SKIP() << "needs root to send as nobody";
  test::TempFolder sockets, talk;
  std::filesystem::permissions(sockets.Path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                   std::filesystem::perms::group_exec |
                                                   std::filesystem::perms::others_read |
                                                   std::filesystem::perms::others_exec);
  std::filesystem::permissions(talk.Path(), std::filesystem::perms::all);
  ASSERT_EQ(
      test::SetString(platform::kHKeyLocalMachine, kProductKey, L"SyslogSocket", (sockets.Path() / "dgram").wstring()),
      0u);
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"SyslogStreamSocket",
                            (sockets.Path() / "stream").wstring()),
            0u);
  StartService();
  const std::string nobody = Output("id -u nobody");
  // The sender, as nobody. It tells the test where it is through files in
  // `talk`: its pid, "endless" when the endless frame is sent (it then waits
  // for "next"), "held" with the number of its connections that the service
  // closed (it then waits for "release").
  const char* script = R"(
import os, socket, sys, time
dgram, stream, talk, limit = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
def tell(name, text=''):
    with open(os.path.join(talk, name), 'w') as f: f.write(text)
def await_file(name):
    deadline = time.time() + 120
    while not os.path.exists(os.path.join(talk, name)):
        if time.time() > deadline: sys.exit('no ' + name + ' from the test')
        time.sleep(0.02)
H = b'<13>Dec  8 01:02:03 '
tell('pid', str(os.getpid()))
d = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
d.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
d.connect(dgram)
d.send(H + b'sshd[1]: forged')
d.send(H + b'big: ' + b'A' * 200000)
d.send(H + b'after: the big one')
for _ in range(3): d.send(b'')
d.send(H + b'bin: a\x01\tb\x00c\x7f\xff\xfe\xc3\x28 end\xc3\xa9')
d.send(H + b'lf: first\nsecond')
e = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
e.connect(stream)
e.sendall(H + b'endless: ')
chunk = b'B' * 65536
for _ in range(1024): e.sendall(chunk)
tell('endless')
await_file('next')
n = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
n.connect(stream)
n.sendall(H + b'next: after the endless one\n')
n.close()
e.close()
held, closed = [], set()
for i in range(300):
    c = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    c.connect(stream)
    held.append(c)
    try: c.sendall(H + b'held: connection %d\n' % i)
    except OSError: closed.add(i)
    c.setblocking(False)
deadline = time.time() + 60
while len(closed) < 300 - limit and time.time() < deadline:
    for i, c in enumerate(held):
        if i in closed: continue
        try:
            if c.recv(1) == b'': closed.add(i)
        except BlockingIOError: pass
        except OSError: closed.add(i)
    time.sleep(0.05)
d.send(H + b'while: all held')
tell('held', str(len(closed)))
await_file('release')
)";
  const std::size_t before = ServiceRssKiB();
  auto sender = test::StartAs(
      L"nobody", "/usr/bin/python3",
      {L"-c", platform::WideFromUtf8(script), (sockets.Path() / "dgram").wstring(),
       (sockets.Path() / "stream").wstring(), talk.Path().wstring(), std::to_wstring(platform::kMaxSyslogConnections)});
  ASSERT_TRUE(sender != nullptr);
  // Whatever fails below, the sender is let go and waited for.
  int exitCode = -1;
  std::shared_ptr<void> release(nullptr, [&](void*) {
    test::WriteFileBytes(talk.Path() / "next", {});
    test::WriteFileBytes(talk.Path() / "release", {});
    exitCode = sender->Wait();
  });
  ASSERT_TRUE(test::WaitForPath(talk.Path() / "endless"));
  // 64 MiB of one frame cost the service no more than a few of its buffers.
  const std::size_t during = ServiceRssKiB();
  EXPECT_LT(during, before + 16 * 1024) << "VmRSS " << before << " KiB before the endless frame";
  test::WriteFileBytes(talk.Path() / "next", {});
  ASSERT_TRUE(test::WaitForPath(talk.Path() / "held"));
  const std::uint32_t pid = static_cast<std::uint32_t>(std::stoul(test::ReadFileText(talk.Path() / "pid")));
  const std::size_t limit = platform::kMaxSyslogConnections;
  EXPECT_EQ(test::ReadFileText(talk.Path() / "held"), std::to_string(300 - limit));
  ASSERT_TRUE(WaitForTag("Wayline.log", "while"));
  EXPECT_TRUE(WaitForTag("Wayline.log", "held", limit));
  release.reset();
  EXPECT_EQ(exitCode, 0);

  const std::size_t cut = platform::kMaxSyslogDatagramBytes;
  const std::string marker = " [cut at " + std::to_string(cut) + " bytes]";
  EXPECT_EQ(LinesOf("Wayline.log", "sshd"), Lines{Line("Wayline", 'I', pid, "sshd", "forged", nobody)});
  EXPECT_EQ(LinesOf("Wayline.log", "big"),
            Lines{Line("Wayline", 'I', pid, "big", std::string(cut - 25, 'A') + marker, nobody)});
  EXPECT_EQ(LinesOf("Wayline.log", "after"), Lines{Line("Wayline", 'I', pid, "after", "the big one", nobody)});
  EXPECT_EQ(LinesOf("Wayline.log", "bin"),
            Lines{Line("Wayline", 'I', pid, "bin", "a#001\tb#000c#177\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd( end\xc3\xa9",
                       nobody)});
  EXPECT_EQ(LinesOf("Wayline.log", "lf"), Lines{Line("Wayline", 'I', pid, "lf", "first#012second", nobody)});
  EXPECT_EQ(LinesOf("Wayline.log", "endless"),
            Lines{Line("Wayline", 'I', pid, "endless", std::string(cut - 29, 'B') + marker, nobody)});
  EXPECT_EQ(LinesOf("Wayline.log", "next"), Lines{Line("Wayline", 'I', pid, "next", "after the endless one", nobody)});
  EXPECT_EQ(LinesOf("Wayline.log", "held").size(), limit);
  EXPECT_EQ(test::ServiceState(kServiceName), platform::kServiceRunning);
}

// What an operator or an attacker left at a socket's path before the start:
// a file, a symbolic link or a FIFO is refused with a message and left as
// it is, while the other socket serves; a socket left by an earlier run is
// replaced.
TEST_F(SyslogIntakeTest, WhatLiesAtTheSocketPathBeforeTheStart) {
  for (std::string kind : {"file", "link", "fifo", "socket"}) {
    SCOPED_TRACE(kind);
    test::TempFolder folder;
    const std::filesystem::path path = folder.Path() / "log", target = folder.Path() / "target";
    test::WriteFileBytes(target, {'k', 'e', 'p', 't'});
    if (kind == "file") std::filesystem::copy_file(target, path);
    if (kind == "link") std::filesystem::create_symlink(target, path);
    if (kind == "fifo") {
      ASSERT_EQ(test::Shell("mkfifo " + Quoted(path)), 0);
    }
    if (kind == "socket") {
      ASSERT_EQ(test::Shell("python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX, "
                            "socket.SOCK_DGRAM).bind(sys.argv[1])' " +
                            Quoted(path)),
                0);
    }
    ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"SyslogSocket", path.wstring()), 0u);
    ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"SyslogStreamSocket",
                              (folder.Path() / "stream").wstring()),
              0u);
    StartService();
    const std::string tag = "planted" + kind;
    std::uint32_t pid = Send("logger -T --socket " + Quoted(folder.Path() / "stream") + " -t " + tag + " served");
    ASSERT_TRUE(WaitForTag("Wayline.log", tag));
    EXPECT_EQ(LinesOf("Wayline.log", tag), Lines{Line("Wayline", 'I', pid, tag, "served")});
    std::string global = "\r\n" + ReadLog("Wayline.log");
    if (global.substr(2, 3) == "\xEF\xBB\xBF") global.erase(2, 3);
    std::string refusal =
        ": Syslog intake: the socket " + path.string() + " cannot be made: something other than a socket is there\r\n";
    if (kind == "socket") {
      EXPECT_EQ(global.find(refusal), std::string::npos);
      pid = Send("logger --socket " + Quoted(path) + " -t stale" + " replaced");
      ASSERT_TRUE(WaitForTag("Wayline.log", "stale"));
      EXPECT_EQ(LinesOf("Wayline.log", "stale"), Lines{Line("Wayline", 'I', pid, "stale", "replaced")});
    } else {
      std::size_t at = global.find(refusal);
      ASSERT_NE(at, std::string::npos) << global;
      EXPECT_EQ(global.substr(global.rfind("\r\n", at) + 2, 14), "** Global **+E");
    }
    StopService();
    EXPECT_EQ(test::ReadFileText(target), "kept");
    if (kind == "file") {
      EXPECT_EQ(test::ReadFileText(path), "kept");
    }
    if (kind == "link") {
      EXPECT_EQ(std::filesystem::read_symlink(path), target);
    }
    if (kind == "fifo") {
      EXPECT_TRUE(std::filesystem::is_fifo(path));
    }
    if (kind == "socket") {
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
    }
  }
}

}  // namespace
}  // namespace wl
