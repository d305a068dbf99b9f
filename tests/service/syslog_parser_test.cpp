#include "service/syslog_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace wl {
namespace {

using namespace std::literals;
constexpr auto k3164 = SyslogFormat::Rfc3164;
constexpr auto k5424 = SyslogFormat::Rfc5424;
constexpr auto kNone = SyslogFormat::Unparsed;

struct ParseCase {
  std::string_view input;
  SyslogFormat format;
  std::uint32_t facility, severity;
  std::string_view tag, processId, text;
};

void ExpectParses(const ParseCase& c) {
  SCOPED_TRACE(testing::Message() << "input: " << testing::PrintToString(std::string(c.input)));
  SyslogRecord r = ParseSyslogMessage(c.input);
  EXPECT_EQ(r.format, c.format);
  EXPECT_EQ(r.facility, c.facility);
  EXPECT_EQ(r.severity, c.severity);
  EXPECT_EQ(r.tag, c.tag);
  EXPECT_EQ(r.processId, c.processId);
  EXPECT_EQ(r.text, c.text);
  for (std::string_view view : {r.tag, r.processId, r.text}) {
    if (!view.empty()) {
      EXPECT_TRUE(view.data() >= c.input.data() && view.end() <= c.input.end());
    }
  }
}

// The bytes that glibc's syslog(3), util-linux logger(1) (local socket,
// default and --rfc5424), Python's SysLogHandler and journald's forwarding
// send, and what relays add.
TEST(SyslogParserTest, WhatRealSendersWrite) {
  const ParseCase cases[] = {
      {"<30>Dec  8 01:16:06 myprog[27269]: two\nlines", k3164, 3, 6, "myprog", "27269", "two\nlines"},
      {"<13>Dec  8 00:59:51 myprog: hello default", k3164, 1, 5, "myprog", "", "hello default"},
      {"<155>Dec  8 00:59:51 myprog[10786]: with pid\n", k3164, 19, 3, "myprog", "10786", "with pid"},
      {"<30>Dec 18 07:00:00 systemd[1]: Started Session 3.", k3164, 3, 6, "systemd", "1", "Started Session 3."},
      {"<13>Dec  8 00:59:51 vm myprog: hello 3164", k3164, 1, 5, "myprog", "", "hello 3164"},
      {"<34>Oct 11 22:14:15 fe80::1 su: 'su root' failed\r\n", k3164, 4, 2, "su", "", "'su root' failed"},
      {"<86>Dec  8 01:02:03 postfix/smtpd[99]:", k3164, 10, 6, "postfix/smtpd", "99", ""},
      {"<12>py plain\0"sv, kNone, 1, 4, "", "", "py plain"},
      {"<12>app: py named\0"sv, k3164, 1, 4, "app", "", "py named"},
      {"<13>1 2026-12-08T00:59:51.647160+00:00 vm myprog - - [timeQuality tzKnown=\"1\" isSynced=\"0\"] hello 5424",
       k5424, 1, 5, "myprog", "", "hello 5424"},
      {"<13>1 2026-12-08T00:59:51.66Z vm myprog 10789 ID47 [timeQuality tzKnown=\"1\"][zoo@123 tiger=\"a\\\"]\\\\\"] "
       "sd msg",
       k5424, 1, 5, "myprog", "10789", "sd msg"},
      {"<165>1 2003-10-11T22:14:15.003Z host evntslog - ID47 - \xEF\xBB\xBF\xC3\xA9t\xC3\xA9", k5424, 20, 5, "evntslog",
       "", "\xC3\xA9t\xC3\xA9"},
      {"<14>1 - - - - - -", k5424, 1, 6, "", "", ""},
  };
  for (const ParseCase& c : cases) ExpectParses(c);
}

// Malformed and hostile bytes: kept as they are, never taken apart wrongly.
TEST(SyslogParserTest, MalformedInputIsKeptWhole) {
  const std::string tag48(48, 't');
  const std::string withTag48 = "<13>Dec  8 01:02:03 " + tag48 + ": x";
  const std::string text49 = tag48 + "t: x";
  const std::string withTag49 = "<13>Dec  8 01:02:03 " + text49;
  const ParseCase cases[] = {
      {"", kNone, 1, 5, "", "", ""},
      {"<", kNone, 1, 5, "", "", "<"},
      {"<>x", kNone, 1, 5, "", "", "<>x"},
      {"<13", kNone, 1, 5, "", "", "<13"},
      {"<192>x", kNone, 1, 5, "", "", "<192>x"},
      {"<1234>x", kNone, 1, 5, "", "", "<1234>x"},
      {"<013>x", kNone, 1, 5, "", "", "<013>x"},
      {"<0>x", kNone, 0, 0, "", "", "x"},
      {"<191>\n\r\0"sv, kNone, 23, 7, "", "", ""},
      {"hello\r\n", kNone, 1, 5, "", "", "hello"},
      {"<191>Dec  8 01:02:03 x", k3164, 23, 7, "", "", "x"},
      {"<13>Dec  8 01:02:03", k3164, 1, 5, "", "", ""},
      {"<13>Dec  8 01:02:03 12:30 lunch", k3164, 1, 5, "", "", "12:30 lunch"},
      {"<13>Dec  8 01:02:03 see http://x", k3164, 1, 5, "", "", "see http://x"},
      {"<13>Dec  8 01:02:03 p[12: x", k3164, 1, 5, "", "", "p[12: x"},
      {"<13>Dec  8 01:02:03 : x", k3164, 1, 5, "", "", ": x"},
      {"<13>Dec 32 01:02:03 p: x", kNone, 1, 5, "", "", "Dec 32 01:02:03 p: x"},
      {"<13>Dex  8 01:02:03 p: x", kNone, 1, 5, "", "", "Dex  8 01:02:03 p: x"},
      {"<13>Dec  8 24:02:03 p: x", kNone, 1, 5, "", "", "Dec  8 24:02:03 p: x"},
      {withTag48, k3164, 1, 5, tag48, "", "x"},
      {withTag49, k3164, 1, 5, "", "", text49},
      {"<13>1 2026-12-08T01:02:03Z h a - - [unterminated x", kNone, 1, 5, "", "",
       "1 2026-12-08T01:02:03Z h a - - [unterminated x"},
      {"<13>1 2026-12-08T01:02:03Z h a - - [i p=\"v\\", kNone, 1, 5, "", "",
       "1 2026-12-08T01:02:03Z h a - - [i p=\"v\\"},
      {"<13>1 yesterday h a - - - x", kNone, 1, 5, "", "", "1 yesterday h a - - - x"},
      {"<13>1 - h a - - -x", kNone, 1, 5, "", "", "1 - h a - - -x"},
      {"<13>Dec  8 01:02:03 p\xC3: a\0b\xFF\0\n\0"sv, k3164, 1, 5, "p\xC3", "", "a\0b\xFF"sv},
  };
  for (const ParseCase& c : cases) ExpectParses(c);
}

using Frames = std::vector<std::pair<std::string, bool>>;

// Feeds the stream in the given chunk sizes (the rest in one), then ends it.
Frames Split(std::string_view stream, std::size_t maxFrameBytes, const std::vector<std::size_t>& chunks) {
  SyslogStreamFramer framer(maxFrameBytes);
  Frames frames;
  auto keep = [&](std::string_view frame, bool cut) { frames.emplace_back(frame, cut); };
  for (std::size_t size : chunks) {
    std::size_t take = std::min(size, stream.size());
    framer.Feed(stream.substr(0, take), keep);
    stream.remove_prefix(take);
    EXPECT_LE(framer.HeldBytes(), maxFrameBytes);
  }
  framer.Feed(stream, keep);
  framer.Finish(keep);
  EXPECT_EQ(framer.HeldBytes(), 0u);
  return frames;
}

TEST(SyslogStreamFramerTest, FramesAreTheSameHoweverTheStreamIsSplit) {
  const std::string stream =
      "40 <13>Dec  8 01:00:03 myprog: stream octet"  // logger --octet-count
      "<13>Dec  8 01:00:03 myprog: forty bytes!\n\n\n"
      "<12>py\0"
      "6 a\nb\0c\n"
      "3  ab"
      "0 zero\n"
      "123abc\n"
      "1234567890 ten digits\n"
      "41 forty-one bytes, one more than the limit!<1>after\n"
      "a line far longer than forty bytes, surely\n"
      "\r\n"
      "unfinished"s;
  const Frames expected = {
      {"<13>Dec  8 01:00:03 myprog: stream octet", false},
      {"<13>Dec  8 01:00:03 myprog: forty bytes!", false},
      {"<12>py", false},
      {"a\nb\0c\n"s, false},
      {" ab", false},
      {"0 zero", false},
      {"123abc", false},
      {"1234567890 ten digits", false},
      {"forty-one bytes, one more than the limit", true},
      {"<1>after", false},
      {"a line far longer than forty bytes, sure", true},
      {"\r", false},
      {"unfinished", false},
  };
  EXPECT_EQ(Split(stream, 40, {}), expected);
  EXPECT_EQ(Split(stream, 40, std::vector<std::size_t>(stream.size(), 1)), expected);
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 random(seed);
    std::vector<std::size_t> chunks;
    for (std::size_t total = 0; total < stream.size(); total += chunks.back()) chunks.push_back(random() % 30);
    EXPECT_EQ(Split(stream, 40, chunks), expected) << "seed " << seed;
  }
  // A frame that grows the held bytes several times keeps every byte.
  std::string big;
  for (int i = 0; i < 3000; ++i) big.push_back(static_cast<char>('a' + i % 26));
  EXPECT_EQ(Split(big + "\n", 4096, std::vector<std::size_t>(40, 100)), (Frames{{big, false}}));
}

// Also when there is no practical limit: nothing is held for whole frames.
TEST(SyslogStreamFramerTest, WholeFramesAreViewsOfTheCallersBytes) {
  const std::string stream = "4 <1>a<2>b\n<3>c\0"s;
  for (std::size_t maxFrameBytes : {std::size_t{64}, SIZE_MAX}) {
    SyslogStreamFramer framer(maxFrameBytes);
    Frames frames;
    framer.Feed(stream, [&](std::string_view frame, bool cut) {
      EXPECT_TRUE(frame.data() >= stream.data() && frame.end() <= stream.data() + stream.size());
      frames.emplace_back(frame, cut);
    });
    EXPECT_EQ(frames, (Frames{{"<1>a", false}, {"<2>b", false}, {"<3>c", false}})) << maxFrameBytes;
  }
}

// A sender that never ends its frame costs at most maxFrameBytes, and the
// frame after it still comes through.
TEST(SyslogStreamFramerTest, EndlessFramesAreCutAndSkipped) {
  constexpr std::size_t kMax = 64 * 1024;
  constexpr std::size_t kHuge = 10 * 1024 * 1024;
  const std::string chunk(50'000, 'x');
  for (std::string_view start : {"10485760 "sv, "x"sv}) {
    SyslogStreamFramer framer(kMax);
    Frames frames;
    auto keep = [&](std::string_view frame, bool cut) { frames.emplace_back(frame, cut); };
    framer.Feed(start, keep);
    for (std::size_t fed = start.size() - (start == "x" ? 0 : 9); fed < kHuge; fed += chunk.size()) {
      framer.Feed(std::string_view(chunk).substr(0, std::min(chunk.size(), kHuge - fed)), keep);
      ASSERT_LE(framer.HeldBytes(), kMax);
    }
    framer.Feed("\n<13>next\n", keep);
    framer.Finish(keep);
    ASSERT_EQ(frames.size(), 2u) << start;
    EXPECT_EQ(frames[0], std::make_pair(std::string(kMax, 'x'), true));
    EXPECT_EQ(frames[1], std::make_pair(std::string("<13>next"), false));
  }
}

TEST(SyslogStreamFramerTest, TheEndOfTheStreamDeliversWhatIsLeft) {
  EXPECT_EQ(Split("10 abc", 64, {2, 2}), (Frames{{"abc", true}}));
  EXPECT_EQ(Split("10 ", 64, {}), Frames{});
  EXPECT_EQ(Split("12", 64, {1}), (Frames{{"12", false}}));
  EXPECT_EQ(Split("123456", 4, {3}), (Frames{{"1234", true}}));
  for (std::size_t first : {0, 5}) {
    EXPECT_EQ(Split("123456789x\nok\n", 4, {first}), (Frames{{"1234", true}, {"ok", false}}));
  }
  EXPECT_EQ(Split("<1>a\n<2>b", 64, {6}), (Frames{{"<1>a", false}, {"<2>b", false}}));
}

}  // namespace
}  // namespace wl
