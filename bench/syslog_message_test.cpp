// The syslog client's messages and the search for them in a receiver's file.
#include "bench/syslog_message.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace wl::bench {
namespace {

// The local time zone set to UTC for the test's life.
class UtcTime : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* zone = getenv("TZ")) previous_ = zone;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> previous_;
};

using SyslogFormatterTest = UtcTime;

TEST_F(SyslogFormatterTest, FormatsAsSyslogDoesForTheLocalSocket) {
  SyslogFormatter formatter("bench", 4242, 120);
  // 2026-12-08 01:05:09 UTC: the day is padded with a blank.
  const std::string& message = formatter.Format(17, 1796691909);
  std::string header = "<14>Dec  8 01:05:09 bench[4242]: ";
  EXPECT_EQ(message, header + "bench 17 " + std::string(120 - header.size() - 9, 'x'));
  EXPECT_EQ(formatter.TextSize(1796691909), 120 - header.size());
  // The stamp follows the clock; every message keeps the size.
  EXPECT_EQ(formatter.Format(123456, 1797638399).substr(0, 46), "<14>Dec 18 23:59:59 bench[4242]: bench 123456 ");
  EXPECT_EQ(formatter.Format(123456, 1797638399).size(), 120u);
  EXPECT_EQ(formatter.Format(5, 1796691909).substr(0, 20), "<14>Dec  8 01:05:09 ");
}

TEST(MessageNumberTest, FindsTheNumberOfAMessageTextInAnyLine) {
  struct Case {
    std::string_view line;
    long number;
  } cases[] = {
      {"2026-12-08T01:05:09.123456+00:00 vm bench[4242]: bench 17 xxxx", 17},
      {"Wayline     +I 12/08 01:11:36.403 048ae-00000: bench uid=0: bench 0 xxx", 0},
      {"<14>Dec  8 01:05:09 bench[1]:bench 199999 xx", 199999},
      {"bench 5 x", 5},
      {"bench 5 x bench 6 x", 5},
      {"bench 5 y bench 6 x", 6},
      {"syslog_bench 5 x", -1},
      {"bench[5]: started", -1},
      {"bench 5", -1},
      {"bench 5 ", -1},
      {"bench x", -1},
      {"bench -5 x", -1},
      {"bench 1234567890123 x", -1},
      {"", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageNumber(c.line), c.number) << c.line;
  EXPECT_EQ(MessageNumber(MessageText(42, 120)), 42);
  EXPECT_EQ(MessageText(42, 12), "bench 42 xxx");
  EXPECT_EQ(MessageText(42, 3), "bench 42 ");
}

}  // namespace
}  // namespace wl::bench
