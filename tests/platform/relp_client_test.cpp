#include "platform/relp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_socket.h"

namespace wl::platform {
namespace {

struct Frame {
  std::uint32_t txnr;
  std::string command;
  std::string data;
};

// A collector played by the test on a thread of its own: it takes frames
// and answers what the script says.
class FakeCollector {
 public:
  FakeCollector() { EXPECT_EQ(TcpListenLoopback(0, &listener_, &port_), 0u); }
  ~FakeCollector() {
    if (thread_.joinable()) thread_.join();
    TcpClose(listener_);
  }
  [[nodiscard]] std::uint16_t Port() const { return port_; }

  template <typename Script>
  void Run(Script script) {
    thread_ = std::thread([this, script] { script(*this); });
  }
  void Join() { thread_.join(); }

  SocketHandle Accept() {
    SocketHandle connection = TcpAccept(listener_, 5000);
    EXPECT_NE(connection, kNoSocket);
    buffered_.clear();
    return connection;
  }
  // The next count frames (fewer when the client goes quiet for 5 s).
  std::vector<Frame> Take(SocketHandle connection, std::size_t count) {
    std::vector<Frame> frames;
    while (frames.size() < count) {
      RelpFrame frame;
      std::size_t used = 0;
      int parsed = ParseRelpFrame(buffered_, &frame, &used);
      if (parsed == 1) {
        frames.push_back({frame.txnr, std::string(frame.command), std::string(frame.data)});
        buffered_.erase(0, used);
        continue;
      }
      EXPECT_EQ(parsed, 0) << buffered_.substr(0, 80);
      char buffer[4096];
      long got = TcpReceive(connection, buffer, sizeof buffer, 5000);
      if (got <= 0) break;
      ++reads;
      buffered_.append(buffer, static_cast<std::size_t>(got));
    }
    return frames;
  }
  static void Answer(SocketHandle connection, std::string_view bytes) {
    EXPECT_EQ(TcpSend(connection, bytes.data(), bytes.size(), 5000), static_cast<long>(bytes.size()));
  }
  // Takes the open command and accepts it.
  SocketHandle AcceptSession() {
    SocketHandle connection = Accept();
    std::vector<Frame> open = Take(connection, 1);
    EXPECT_EQ(open.size(), 1u);
    if (open.empty()) return connection;
    EXPECT_EQ(open[0].command, "open");
    EXPECT_NE(open[0].data.find("commands=syslog"), std::string::npos);
    Answer(connection, Rsp(open[0].txnr, "200 OK\nrelp_version=0\ncommands=syslog"));
    return connection;
  }
  static std::string Rsp(std::uint32_t txnr, std::string_view data) {
    std::string text = std::to_string(txnr);
    text.append(" rsp ").append(std::to_string(data.size())).append(" ").append(data).append("\n");
    return text;
  }

  int reads = 0;

 private:
  SocketHandle listener_ = kNoSocket;
  std::uint16_t port_ = 0;
  std::string buffered_;
  std::thread thread_;
};

std::string Numbered(std::string text, int number) {
  text += std::to_string(number);
  return text;
}

// Flushes until the client notices that the session broke (or 5 s pass).
bool BreaksWithin5s(RelpClient& client) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < until) {
    if (client.Flush() != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(RelpFrameTest, TellsWholeFramesFromPartOfOneAndFromNoFrame) {
  std::string whole = "12 rsp 6 200 OK\n";
  RelpFrame frame;
  std::size_t used = 0;
  std::string more = whole + "13 rsp";
  ASSERT_EQ(ParseRelpFrame(more, &frame, &used), 1);
  EXPECT_EQ(frame.txnr, 12u);
  EXPECT_EQ(frame.command, "rsp");
  EXPECT_EQ(frame.data, "200 OK");
  EXPECT_EQ(used, whole.size());
  ASSERT_EQ(ParseRelpFrame("0 serverclose 0\n", &frame, &used), 1);
  EXPECT_EQ(frame.command, "serverclose");
  EXPECT_TRUE(frame.data.empty());
  for (std::size_t size = 0; size < whole.size(); ++size) {
    EXPECT_EQ(ParseRelpFrame(whole.substr(0, size), &frame, &used), 0) << size;
  }
  for (const char* bad : {"x rsp 6 200 OK\n", "12 RSP 6 200 OK\n", "12 rsp 6 200 OKX", "1234567890 rsp 0\n",
                          "12 rsp 99999999 ", "12 rsp 6\n", "12  rsp 6 200 OK\n", "12 rsp 2 OK!\n"}) {
    EXPECT_EQ(ParseRelpFrame(bad, &frame, &used), -1) << bad;
  }
}

TEST(RelpClientTest, WritesFramesInBulkAndAnAnswerMayComeAByteAtATime) {
  FakeCollector collector;
  std::vector<Frame> frames;
  collector.Run([&](FakeCollector& c) {
    SocketHandle connection = c.Accept();
    std::vector<Frame> open = c.Take(connection, 1);
    std::string answer = FakeCollector::Rsp(open.at(0).txnr, "200 OK\nrelp_version=0\ncommands=syslog");
    for (char byte : answer) FakeCollector::Answer(connection, std::string_view(&byte, 1));
    c.reads = 0;
    frames = c.Take(connection, 300);
    std::string acks;
    for (const Frame& frame : frames) acks += FakeCollector::Rsp(frame.txnr, "200 OK");
    FakeCollector::Answer(connection, acks);
    std::vector<Frame> close = c.Take(connection, 1);
    if (!close.empty()) FakeCollector::Answer(connection, FakeCollector::Rsp(close[0].txnr, "200 OK"));
    TcpClose(connection);
  });
  RelpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", collector.Port(), 5), 0u) << client.LastError();
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(client.Send(i == 7 ? "two\nlines" : i == 8 ? "" : Numbered("message ", i)), 0u);
  }
  ASSERT_EQ(client.Flush(), 0u);
  client.Close();
  collector.Join();
  ASSERT_EQ(frames.size(), 300u);
  for (std::uint32_t i = 0; i < 300; ++i) {
    EXPECT_EQ(frames[i].txnr, i + 2);
    EXPECT_EQ(frames[i].command, "syslog");
    EXPECT_EQ(frames[i].data, i == 7 ? "two\nlines" : i == 8 ? "" : Numbered("message ", i));
  }
  // 300 messages of 20 bytes went out in one write, not one each.
  EXPECT_LT(collector.reads, 10);
  EXPECT_EQ(client.Unacknowledged(), 0u);
}

TEST(RelpClientTest, SendsWhatWasNotAcknowledgedAgainOnTheNextSession) {
  FakeCollector collector;
  std::vector<Frame> again;
  collector.Run([&](FakeCollector& c) {
    SocketHandle connection = c.AcceptSession();
    std::vector<Frame> first = c.Take(connection, 10);
    std::string acks;
    for (std::size_t i = 0; i < 4 && i < first.size(); ++i) acks += FakeCollector::Rsp(first[i].txnr, "200 OK");
    FakeCollector::Answer(connection, acks);
    TcpClose(connection);  // gone without a word, six unacknowledged
    connection = c.AcceptSession();
    again = c.Take(connection, 6);
    std::string rest;
    for (const Frame& frame : again) rest += FakeCollector::Rsp(frame.txnr, "200 OK");
    FakeCollector::Answer(connection, rest);
    std::vector<Frame> close = c.Take(connection, 1);
    if (!close.empty()) FakeCollector::Answer(connection, FakeCollector::Rsp(close[0].txnr, "200 OK"));
    TcpClose(connection);
  });
  RelpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", collector.Port(), 5), 0u);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(client.Send(Numbered("m", i)), 0u);
  ASSERT_TRUE(BreaksWithin5s(client));
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Unacknowledged(), 6u);
  EXPECT_NE(client.Send("not taken"), 0u);
  ASSERT_EQ(client.Reconnect(), 0u) << client.LastError();
  client.Close();
  collector.Join();
  ASSERT_EQ(again.size(), 6u);
  for (std::uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(again[i].txnr, i + 2);  // numbered anew in the new session
    EXPECT_EQ(again[i].data, Numbered("m", static_cast<int>(i) + 4));
  }
}

TEST(RelpClientTest, AHostileOrRefusingCollectorBreaksTheSessionWithAReason) {
  struct Case {
    const char* answer;
    bool breaks;
    const char* words;
  };
  for (const Case& c :
       {Case{"garbage\n", true, "not RELP"}, Case{"2 rsp 99999999 x", true, "not RELP"},
        Case{"0 serverclose 0\n", true, "closed the session"}, Case{"2 syslog 3 abc\n", true, "does not take"},
        Case{"2 rsp 12 500 no space\n", false, "refused a message: 500 no space"}}) {
    FakeCollector collector;
    collector.Run([&](FakeCollector& f) {
      SocketHandle connection = f.AcceptSession();
      EXPECT_EQ(f.Take(connection, 1).size(), 1u);
      FakeCollector::Answer(connection, c.answer);
      f.Take(connection, 1);  // until the client closes
      TcpClose(connection);
    });
    RelpClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", collector.Port(), 5), 0u);
    ASSERT_EQ(client.Send("one"), 0u);
    if (c.breaks) {
      EXPECT_TRUE(BreaksWithin5s(client)) << c.answer;
      EXPECT_EQ(client.Unacknowledged(), 1u) << c.answer;  // kept for the next session
    } else {
      for (int i = 0; i < 100 && client.Unacknowledged() > 0; ++i) {
        ASSERT_EQ(client.Flush(), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_TRUE(client.Connected());
      EXPECT_EQ(client.Unacknowledged(), 0u);  // never sent again: it would be refused again
    }
    EXPECT_NE(client.LastError().find(c.words), std::string::npos) << c.answer << ": " << client.LastError();
    client.Close();
  }

  // Refused or unanswered openings.
  for (const char* answer : {"1 rsp 6 500 no\n", "1 rsp 21 200 OK\ncommands=other\n", ""}) {
    FakeCollector collector;
    collector.Run([&](FakeCollector& f) {
      SocketHandle connection = f.Accept();
      f.Take(connection, 1);
      if (*answer != '\0') FakeCollector::Answer(connection, answer);
      f.Take(connection, 1);  // until the client gives up
      TcpClose(connection);
    });
    RelpClient client;
    EXPECT_NE(client.Connect("127.0.0.1", collector.Port(), 1), 0u) << answer;
    EXPECT_FALSE(client.Connected());
    EXPECT_FALSE(client.LastError().empty()) << answer;
  }
}

}  // namespace
}  // namespace wl::platform
