// The syslog intake: the service takes the messages that local programs send
// to a syslog socket (syslog(3), logger(1), language runtimes, journald's
// forwarding) and writes them into the component files like any caller's.
//
// A thread of its own receives from the sockets (platform/syslog_socket.h),
// takes each message apart (service/syslog_parser.h), picks its source by
// the sender's tag or facility, its level by its severity, and hands the
// text to the core's intake, which filters, stamps and queues it as it does
// for every caller: the core drops and counts what would pass its queue
// bound, and never makes the thread wait for the disk.
//
// The text of a message begins with a client stamp built from the time it
// was received and the sender's process as the system gives it, then the
// tag and the sender's user:
//
//   12/08 09:14:03.512 00929-00000: sshd uid=0: Accepted publickey for ...
//
// (process 2345 is 929 in hex, as the product's own programs show theirs).
// Control characters of the text other than tab are written as "#" and
// three octal digits (a line feed is "#012"), so one message is one line
// and no sender can forge the start of another.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "logclient/log_tables.h"
#include "platform/syslog_socket.h"
#include "platform/types.h"
#include "service/syslog_parser.h"

namespace wl {

class TraceLogManager;

// The longest stream frame kept whole; a longer one is cut to this length.
inline constexpr std::size_t kMaxSyslogFrameBytes = platform::kMaxSyslogDatagramBytes;

// The settings under HKLM\Software\Kestrix\Wayline, read when the service
// starts.
struct SyslogIntakeSettings {
  // SyslogIntake (DWORD, non-zero: on).
  bool enabled = false;
  // SyslogSocket, SyslogStreamSocket (REG_SZ): the datagram and stream
  // sockets; "<root>/run/log" and "<root>/run/log-stream" when absent, none
  // when empty.
  std::wstring datagramPath;
  std::wstring streamPath;
  // SyslogJournal (DWORD, non-zero): also take journald's forwarding socket
  // (/run/systemd/journal/syslog), which systemd must pass.
  bool journal = false;
  // SyslogSource (DWORD): the source of messages that no table maps
  // (default 1).
  SourceNumber defaultSource = 1;
  // The sub-keys SyslogTags (value name: a tag, exactly; DWORD: a source)
  // and SyslogFacilities (value name: a facility's keyword such as "auth" or
  // "local3", or its number; DWORD: a source). A tag's entry wins over the
  // facility's. Sources of 37 and above are ignored (reported).
  std::map<std::string, SourceNumber, std::less<>> tags;
  std::array<int, 24> facilities{};  // -1: not mapped

  SyslogIntakeSettings() { facilities.fill(-1); }
};

inline constexpr std::wstring_view kJournalSyslogSocket = L"/run/systemd/journal/syslog";

SyslogIntakeSettings ReadSyslogIntakeSettings();

// The facility of a keyword ("kern" .. "local7") or a number (0 to 23); -1
// for anything else.
int SyslogFacilityOfName(std::string_view name);

// The level of a syslog severity: 0 to 2 Critical, 3 Error, 4 Warning, 5
// and 6 Info, 7 Debug.
LevelNumber LevelOfSyslogSeverity(std::uint32_t severity);

// The source of a message by the tables of the settings.
SourceNumber SyslogSourceOf(const SyslogIntakeSettings& settings, std::string_view tag, std::uint32_t facility);

// The text handed to the core for a message (see the top of this file);
// cut marks a message that was longer than the intake keeps.
void BuildSyslogText(std::wstring& out, const SyslogRecord& record, const platform::SenderCredentials& sender,
                     const LocalTime& received, bool cut);

class SyslogIntake final : private platform::SyslogSink {
 public:
  explicit SyslogIntake(TraceLogManager& core);
  ~SyslogIntake();
  SyslogIntake(const SyslogIntake&) = delete;
  SyslogIntake& operator=(const SyslogIntake&) = delete;

  // Opens the configured sockets and starts the thread when at least one
  // opened. Returns one sentence per socket for the operator: where the
  // intake listens, or why a socket is not open.
  std::vector<std::wstring> Start(const SyslogIntakeSettings& settings);
  [[nodiscard]] bool Running() const { return thread_.joinable(); }
  // Stops receiving and closes the sockets; messages already handed to the
  // core stay with it. Idempotent.
  void Stop();

  // Messages handed to the core so far (whether it kept them or not).
  [[nodiscard]] std::uint64_t Received() const { return received_.load(); }

 private:
  void Run();
  void Datagram(std::string_view bytes, bool cut, const platform::SenderCredentials& sender) override;
  void StreamBytes(std::uint64_t connection, std::string_view bytes,
                   const platform::SenderCredentials& sender) override;
  void StreamEnded(std::uint64_t connection, const platform::SenderCredentials& sender) override;
  void Take(std::string_view message, bool cut, const platform::SenderCredentials& sender);

  TraceLogManager& core_;
  SyslogIntakeSettings settings_;
  platform::SyslogReceiver receiver_;
  std::unordered_map<std::uint64_t, SyslogStreamFramer> framers_;
  std::wstring text_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> received_{0};
  std::thread thread_;
};

}  // namespace wl
