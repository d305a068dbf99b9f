// Forwarding against a collector of our own on loopback: a listener that
// reads octet-counted frames, one that never reads, and none at all.
#include "service/forwarder.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/tcp_socket.h"
#include "service/service_events.h"
#include "service/trace_log_manager.h"
#include "tests/support/service_fixture.h"

namespace wl {
namespace {

// A loopback listener that can read the frames of one connection at a time.
class Listener {
 public:
  explicit Listener(std::uint16_t port = 0) { EXPECT_EQ(platform::TcpListenLoopback(port, &socket_, &port_), 0); }
  ~Listener() {
    platform::TcpClose(connection_);
    platform::TcpClose(socket_);
  }
  [[nodiscard]] std::uint16_t Port() const { return port_; }

  // Reads until count frames have arrived in all (a minute at most); the
  // messages of the frames.
  std::vector<std::string> Frames(std::size_t count) {
    for (int idle = 0; frames_.size() < count && idle < 600;) {
      if (connection_ == platform::kNoSocket) {
        connection_ = platform::TcpAccept(socket_, 100);
        if (connection_ == platform::kNoSocket) ++idle;
        continue;
      }
      char chunk[65536];
      long got = platform::TcpReceive(connection_, chunk, sizeof chunk, 100);
      if (got == -2) {
        ++idle;
        continue;
      }
      if (got <= 0) {
        platform::TcpClose(connection_);
        connection_ = platform::kNoSocket;
        buffer_.clear();
        continue;
      }
      buffer_.append(chunk, static_cast<std::size_t>(got));
      Split();
    }
    return frames_;
  }

 private:
  void Split() {
    for (;;) {
      std::size_t space = buffer_.find(' ');
      if (space == std::string::npos) return;
      std::size_t length = std::stoul(buffer_.substr(0, space));
      if (buffer_.size() < space + 1 + length) return;
      frames_.push_back(buffer_.substr(space + 1, length));
      buffer_.erase(0, space + 1 + length);
    }
  }

  platform::SocketHandle socket_ = platform::kNoSocket;
  platform::SocketHandle connection_ = platform::kNoSocket;
  std::uint16_t port_ = 0;
  std::string buffer_;
  std::vector<std::string> frames_;
};

class ForwarderTest : public test::ServiceFixture {
 protected:
  void Target(std::uint16_t port, std::uint32_t queueSize = 100000, std::uint32_t level = 4) {
    ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"ForwardTarget",
                              L"tcp://127.0.0.1:" + std::to_wstring(port)),
              0);
    ASSERT_EQ(SetProductDword(L"ForwardQueueSize", queueSize), 0);
    ASSERT_EQ(SetProductDword(L"ForwardLevel", level), 0);
  }

  std::unique_ptr<TraceLogManager> Start() {
    auto manager = std::make_unique<TraceLogManager>();
    EXPECT_EQ(manager->FinalConstruct(), kSOk);
    return manager;
  }

  std::size_t LineCount(std::string_view baseName) {
    std::string text = test::ReadFileText(LogPath(baseName));
    std::size_t count = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) ++count;
    return count;
  }

  std::string StatusFile() { return test::ReadFileText(std::filesystem::path(ForwardingStatusPath())); }
};

TEST_F(ForwarderTest, OffByDefaultAndEveryAcceptedMessageOfTheLevelArrivesInOrder) {
  {
    auto manager = Start();
    ASSERT_EQ(manager->QueueMessage(21, 1, L"not forwarded"), kSOk);
    manager->WaitUntilWritten();
    ForwardingStatus status = manager->GetForwardingStatus();
    EXPECT_FALSE(status.enabled);
    EXPECT_EQ(status.sent + status.queued + status.dropped, 0u);
  }

  Listener collector;
  Target(collector.Port(), 100000, 3);
  auto manager = Start();
  for (int i = 0; i < 500; ++i) {
    // Every third one is Info, above the forwarding level but kept in the file.
    LevelNumber level = i % 3 == 0 ? 4 : 3;
    ASSERT_EQ(manager->QueueMessage(21, level, L"message " + std::to_wstring(i)), kSOk);
  }
  ASSERT_TRUE(manager->WaitUntilForwarded(60000));
  std::vector<std::string> frames = collector.Frames(333);
  ASSERT_EQ(frames.size(), 333u);
  int expected = 1;
  for (const std::string& frame : frames) {
    EXPECT_TRUE(frame.starts_with("<132>1 ")) << frame;
    EXPECT_TRUE(frame.ends_with("\xEF\xBB\xBFmessage " + std::to_string(expected))) << frame;
    expected += expected % 3 == 2 ? 2 : 1;
  }
  EXPECT_EQ(LineCount("Lookout"), 501u);
  ForwardingStatus status = manager->GetForwardingStatus();
  EXPECT_TRUE(status.enabled);
  EXPECT_TRUE(status.connected);
  EXPECT_EQ(status.sent, 333u);
  EXPECT_EQ(status.dropped, 0u);

  // The status file follows within its period.
  test::WaitUntil([&] { return StatusFile().find("sent=333\n") != std::string::npos; }, std::chrono::seconds(5));
  std::string file = StatusFile();
  EXPECT_NE(file.find("enabled=1\ntarget=tcp://127.0.0.1:" + std::to_string(collector.Port()) +
                      "\nconnected=1\nsent=333\nqueued=0\ndropped=0\ntls=0\nerror=\n"),
            std::string::npos)
      << file;
}

TEST_F(ForwarderTest, AnAbsentCollectorCostsOnlyWhatDoesNotFitAndGetsTheRestWhenItComes) {
  std::uint16_t port;
  {
    Listener probe;
    port = probe.Port();
  }
  Target(port, 100);
  auto manager = Start();
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(manager->QueueMessage(10, 2, L"early " + std::to_wstring(i)), kSOk);
  manager->WaitUntilWritten();
  EXPECT_EQ(LineCount("SetterCfg"), 1000u);
  ForwardingStatus status = manager->GetForwardingStatus();
  EXPECT_FALSE(status.connected);
  EXPECT_EQ(status.queued, 100u);
  EXPECT_EQ(status.dropped, 900u);

  Listener collector(port);
  ASSERT_TRUE(manager->WaitUntilForwarded(60000));
  std::vector<std::string> frames = collector.Frames(100);
  ASSERT_EQ(frames.size(), 100u);
  EXPECT_TRUE(frames.front().ends_with("early 0"));
  EXPECT_TRUE(frames.back().ends_with("early 99"));
  manager->FinalRelease();
  std::string diagnostics = Diagnostics();
  EXPECT_NE(diagnostics.find("900 in all"), std::string::npos) << diagnostics;
}

TEST_F(ForwarderTest, ACollectorThatNeverReadsNeitherSlowsTheFilesNorGrowsTheQueue) {
  // Accepts connections (the system does) and never reads from them.
  Listener collector;
  Target(collector.Port(), 1000);
  auto manager = Start();
  const std::wstring filler(100, L'x');
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(manager->QueueMessage(23, 4, filler + std::to_wstring(i)), kSOk);
  manager->WaitUntilWritten();
  // The files rotate along the way (a rotation may follow the last line).
  std::string file = test::ReadFileText(LogPath("Parcel_old")) + test::ReadFileText(LogPath("Parcel"));
  EXPECT_TRUE(file.ends_with("x99999\r\n")) << file.substr(file.size() > 300 ? file.size() - 300 : 0);
  ForwardingStatus status = manager->GetForwardingStatus();
  EXPECT_LE(status.queued, 1000u);
  EXPECT_GT(status.dropped, 0u);
  EXPECT_EQ(status.sent + status.queued + status.dropped, 100000u);
  // Stopping does not hang on the full connection.
  manager->FinalRelease();
  status = manager->GetForwardingStatus();
  EXPECT_EQ(status.queued, 0u);
}

TEST_F(ForwarderTest, ATargetSetWhileRunningIsTakenAtTheLevelRefresh) {
  auto manager = Start();
  ASSERT_EQ(manager->QueueMessage(21, 3, L"before"), kSOk);
  Listener collector;
  Target(collector.Port());
  ASSERT_EQ(manager->QueueMessage(21, 3, L"still before"), kSOk);
  clock_.AdvanceSeconds(61);
  ASSERT_EQ(manager->QueueMessage(21, 3, L"after"), kSOk);
  ASSERT_TRUE(manager->WaitUntilForwarded(60000));
  std::vector<std::string> frames = collector.Frames(1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].ends_with("after"));

  // A target that does not parse turns forwarding off again and says why
  // (once for each text in a process, so the text is new each run).
  static int run = 0;
  std::wstring bad = L"tcp:/nowhere" + std::to_wstring(++run);
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"ForwardTarget", bad), 0);
  clock_.AdvanceSeconds(61);
  ASSERT_EQ(manager->QueueMessage(21, 3, L"off"), kSOk);
  EXPECT_FALSE(manager->GetForwardingStatus().enabled);
  manager->FinalRelease();
  EXPECT_NE(Diagnostics().find("Forwarding is off: the target \"" + Utf8(bad) + "\""), std::string::npos);
}

// The events the service hands to its host.
struct Events {
  static std::mutex mutex;
  static std::vector<std::string> texts;
  static void Receive(std::wstring_view text, bool error) {
    std::lock_guard lock(mutex);
    texts.push_back((error ? "E " : "I ") + platform::Utf8FromWide(text));
  }
  static std::vector<std::string> Taken() {
    std::lock_guard lock(mutex);
    return std::exchange(texts, {});
  }
};
std::mutex Events::mutex;
std::vector<std::string> Events::texts;

TEST_F(ForwarderTest, AnOperatorSeesWhyForwardingFailsInTheStatusFileAndOneEventPerChange) {
  SetServiceEventReceiver(&Events::Receive);
  Events::Taken();
  // A name that never resolves; diagnostics go nowhere (FileOutput 0).
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"ForwardTarget", L"tcp://collector.invalid:514"),
            0);
  auto manager = Start();
  ASSERT_EQ(manager->QueueMessage(21, 3, L"waiting"), kSOk);
  std::string cause = "the host name collector.invalid cannot be resolved; Error 11001 (0x2af9)";
  ASSERT_TRUE(test::WaitUntil([&] { return StatusFile().find(cause) != std::string::npos; }, std::chrono::seconds(10)))
      << StatusFile();
  EXPECT_NE(StatusFile().find("enabled=1\ntarget=tcp://collector.invalid:514\nconnected=0\n"), std::string::npos);

  // A collector that is away: refused, tried again with back-off, one event
  // for the change of target's failure and one for the return.
  std::uint16_t port;
  {
    Listener probe;
    port = probe.Port();
  }
  Target(port);
  clock_.AdvanceSeconds(61);
  ASSERT_EQ(manager->QueueMessage(21, 3, L"later"), kSOk);
  ASSERT_TRUE(test::WaitUntil([&] { return StatusFile().find("refused the connection") != std::string::npos; },
                              std::chrono::seconds(10)));
  platform::SleepMilliseconds(1000);  // a few attempts
  Listener collector(port);
  ASSERT_EQ(collector.Frames(2).size(), 2u);
  manager->FinalRelease();
  std::vector<std::string> events = Events::Taken();
  SetServiceEventReceiver(nullptr);
  ASSERT_EQ(events.size(), 3u) << ::testing::PrintToString(events);
  EXPECT_TRUE(events[0].starts_with("E Forwarding to tcp://collector.invalid:514 cannot connect: " + cause))
      << events[0];
  EXPECT_TRUE(events[1].starts_with("E Forwarding to tcp://127.0.0.1:" + std::to_string(port) +
                                    " cannot connect: 127.0.0.1 refused"))
      << events[1];
  EXPECT_EQ(events[2], "I Forwarding to tcp://127.0.0.1:" + std::to_string(port) + " is connected again");
}

TEST_F(ForwarderTest, ABadTargetIsReportedAsAnEventAndInTheStatusFile) {
  SetServiceEventReceiver(&Events::Receive);
  Events::Taken();
  // Reported once per distinct text in a process: new each run.
  static int run = 0;
  std::wstring bad = L"udp://box:514/" + std::to_wstring(++run);
  ASSERT_EQ(test::SetString(platform::kHKeyLocalMachine, kProductKey, L"ForwardTarget", bad + L"\nconnected=1"), 0);
  auto manager = Start();
  std::vector<std::string> events = Events::Taken();
  SetServiceEventReceiver(nullptr);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].starts_with("E Forwarding is off: the target \"" + Utf8(bad))) << events[0];
  std::string file = StatusFile();
  EXPECT_TRUE(file.starts_with("enabled=0\ntarget=" + Utf8(bad) + " connected=1\nconnected=0\n")) << file;
  EXPECT_NE(file.find("\nerror=Forwarding is off: the target \"" + Utf8(bad)), std::string::npos) << file;
}

}  // namespace
}  // namespace wl
