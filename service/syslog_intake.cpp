#include "service/syslog_intake.h"

#include <system_error>

#include "diagnostics/clock.h"
#include "diagnostics/registry_key.h"
#include "diagnostics/write_log.h"
#include "logclient/diagnostic.h"
#include "platform/file_system.h"
#include "platform/machine_root.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "service/status_file.h"
#include "service/trace_log_manager.h"

namespace wl {
namespace {

constexpr std::array<std::string_view, 24> kFacilityNames{
    "kern",   "user",   "mail",     "daemon", "auth",   "syslog",   "lpr",     "news",
    "uucp",   "cron",   "authpriv", "ftp",    "ntp",    "security", "console", "clock",
    "local0", "local1", "local2",   "local3", "local4", "local5",   "local6",  "local7"};

constexpr std::wstring_view kSyslogTagsKey = L"Software\\Kestrix\\Wayline\\SyslogTags";
constexpr std::wstring_view kSyslogFacilitiesKey = L"Software\\Kestrix\\Wayline\\SyslogFacilities";

// A socket path from the registry: the value, or the default when absent.
std::wstring SocketPath(RegistryKey& key, std::wstring_view valueName, std::wstring_view defaultName) {
  std::wstring path;
  if (key.IsOpen() && key.ReadString(valueName, path) == kErrorSuccess) return path;
  return StatusFilePath(defaultName);
}

// Calls take(name, source) for each DWORD value of the key under HKLM.
template <typename Take>
void ReadSourceTable(std::wstring_view keyPath, Take&& take) {
  RegistryKey key(false);
  if (key.Open(platform::kHKeyLocalMachine, keyPath) != kErrorSuccess) return;
  for (std::uint32_t index = 0;; ++index) {
    std::wstring name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    if (platform::RegistryEnumValue(key.Handle(), index, &name, &type, &data) != kErrorSuccess) break;
    std::uint32_t source = 0;
    if (type != platform::kRegDword || data.size() != sizeof source) {
      WriteLog(kGlobalSource, kLevelWarning,
               Format(L"Syslog intake: the value \"{}\" of {} is not a DWORD and is left out", name, keyPath));
      continue;
    }
    std::memcpy(&source, data.data(), sizeof source);
    if (source >= kSourceCount) {
      WriteLog(kGlobalSource, kLevelWarning,
               Format(L"Syslog intake: the value \"{}\" of {} names source {}, which does not exist", name, keyPath,
                      source));
      continue;
    }
    take(name, static_cast<SourceNumber>(source));
  }
}

// "#" and three octal digits for a control character.
void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    auto code = static_cast<unsigned char>(c);
    if ((code < 0x20 && c != '\t') || code == 0x7F) {
      out.push_back('#');
      out.push_back(static_cast<char>('0' + (code >> 6)));
      out.push_back(static_cast<char>('0' + ((code >> 3) & 7)));
      out.push_back(static_cast<char>('0' + (code & 7)));
    } else {
      out.push_back(c);
    }
  }
}

}  // namespace

int SyslogFacilityOfName(std::string_view name) {
  for (std::size_t i = 0; i < kFacilityNames.size(); ++i) {
    if (kFacilityNames[i] == name) return static_cast<int>(i);
  }
  if (name.empty() || name.size() > 2) return -1;
  int value = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value < 24 ? value : -1;
}

SyslogIntakeSettings ReadSyslogIntakeSettings() {
  SyslogIntakeSettings settings;
  RegistryKey key(false);
  (void)key.Open(platform::kHKeyLocalMachine, kProductKey);
  std::uint32_t value = 0;
  if (key.IsOpen() && key.ReadDword(L"SyslogIntake", value) == kErrorSuccess) settings.enabled = value != 0;
  if (!settings.enabled) return settings;
  settings.datagramPath = SocketPath(key, L"SyslogSocket", L"log");
  settings.streamPath = SocketPath(key, L"SyslogStreamSocket", L"log-stream");
  if (key.ReadDword(L"SyslogJournal", value) == kErrorSuccess) settings.journal = value != 0;
  if (key.ReadDword(L"SyslogSource", value) == kErrorSuccess) {
    if (value < kSourceCount) {
      settings.defaultSource = static_cast<SourceNumber>(value);
    } else {
      WriteLog(kGlobalSource, kLevelWarning,
               Format(L"Syslog intake: SyslogSource {} does not exist; messages go to source 1", value));
    }
  }
  ReadSourceTable(kSyslogTagsKey, [&](const std::wstring& name, SourceNumber source) {
    settings.tags[platform::Utf8FromWide(name)] = source;
  });
  ReadSourceTable(kSyslogFacilitiesKey, [&](const std::wstring& name, SourceNumber source) {
    int facility = SyslogFacilityOfName(platform::Utf8FromWide(name));
    if (facility < 0) {
      WriteLog(kGlobalSource, kLevelWarning,
               Format(L"Syslog intake: \"{}\" of {} is no facility", name, kSyslogFacilitiesKey));
      return;
    }
    settings.facilities[static_cast<std::size_t>(facility)] = source;
  });
  return settings;
}

LevelNumber LevelOfSyslogSeverity(std::uint32_t severity) {
  switch (severity) {
    case 0:
    case 1:
    case 2:
      return kLevelCritical;
    case 3:
      return kLevelError;
    case 4:
      return kLevelWarning;
    case 5:
    case 6:
      return kLevelInfo;
    default:
      return kLevelDebug;
  }
}

SourceNumber SyslogSourceOf(const SyslogIntakeSettings& settings, std::string_view tag, std::uint32_t facility) {
  if (!settings.tags.empty()) {
    if (auto found = settings.tags.find(tag); found != settings.tags.end()) return found->second;
  }
  if (facility < settings.facilities.size() && settings.facilities[facility] >= 0) {
    return static_cast<SourceNumber>(settings.facilities[facility]);
  }
  return settings.defaultSource;
}

void BuildSyslogText(std::wstring& out, const SyslogRecord& record, const platform::SenderCredentials& sender,
                     const LocalTime& received, bool cut) {
  thread_local std::string text;
  text.clear();
  AppendStampTime(text, received);
  text.push_back(' ');
  platform::AppendHex(text, sender.pid, 5);
  text.append("-00000: ");
  if (record.tag.empty()) {
    text.push_back('-');
  } else {
    AppendEscaped(text, record.tag);
  }
  text.append(" uid=");
  if (sender.known) {
    platform::AppendDecimal(text, sender.uid);
  } else {
    text.push_back('?');
  }
  text.append(": ");
  AppendEscaped(text, record.text);
  if (cut) {
    text.append(" [cut at ");
    platform::AppendDecimal(text, kMaxSyslogFrameBytes);
    text.append(" bytes]");
  }
  out = platform::WideFromUtf8(text);
  if (text.capacity() > 256 * 1024) std::string().swap(text);
}

SyslogIntake::SyslogIntake(TraceLogManager& core) : core_(core) {}

SyslogIntake::~SyslogIntake() { Stop(); }

std::vector<std::wstring> SyslogIntake::Start(const SyslogIntakeSettings& settings) {
  std::vector<std::wstring> report;
  if (thread_.joinable()) return report;
  settings_ = settings;
  auto open = [&](const std::wstring& path, const std::wstring& failure, std::wstring_view kind) {
    if (failure.empty()) {
      report.push_back(Format(L"Syslog intake: listening on {} ({})", path, kind));
    } else {
      report.push_back(L"Syslog intake: " + failure);
    }
  };
  if (!settings.datagramPath.empty()) {
    open(settings.datagramPath, receiver_.OpenDatagram(settings.datagramPath), L"datagrams");
  }
  if (!settings.streamPath.empty()) {
    open(settings.streamPath, receiver_.OpenStream(settings.streamPath), L"stream connections");
  }
  if (settings.journal) {
    std::wstring path(kJournalSyslogSocket);
    open(path, receiver_.TakeDatagram(path), L"journald's forwarding");
  }
  if (!receiver_.Open()) {
    report.push_back(L"Syslog intake: no socket is open; the intake is off");
    return report;
  }
  stopping_ = false;
  try {
    thread_ = std::thread(&SyslogIntake::Run, this);
  } catch (const std::system_error& error) {
    receiver_.Close();
    report.push_back(L"Syslog intake: the receiving thread cannot be started: " + platform::WideFromAnsi(error.what()));
  }
  return report;
}

void SyslogIntake::Stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    receiver_.Wake();
    thread_.join();
  }
  receiver_.Close();
  framers_.clear();
}

void SyslogIntake::Run() {
  while (!stopping_.load()) receiver_.Receive(1000, *this);
}

void SyslogIntake::Datagram(std::string_view bytes, bool cut, const platform::SenderCredentials& sender) {
  Take(bytes, cut, sender);
}

void SyslogIntake::StreamBytes(std::uint64_t connection, std::string_view bytes,
                               const platform::SenderCredentials& sender) {
  auto [found, added] = framers_.try_emplace(connection, kMaxSyslogFrameBytes);
  found->second.Feed(bytes, [&](std::string_view frame, bool cut) { Take(frame, cut, sender); });
}

void SyslogIntake::StreamEnded(std::uint64_t connection, const platform::SenderCredentials& sender) {
  auto found = framers_.find(connection);
  if (found == framers_.end()) return;
  found->second.Finish([&](std::string_view frame, bool cut) { Take(frame, cut, sender); });
  framers_.erase(found);
}

void SyslogIntake::Take(std::string_view message, bool cut, const platform::SenderCredentials& sender) {
  SyslogRecord record = ParseSyslogMessage(message);
  BuildSyslogText(text_, record, sender, LocalNow(), cut);
  (void)core_.QueueMessage(SyslogSourceOf(settings_, record.tag, record.facility),
                           LevelOfSyslogSeverity(record.severity), text_);
  received_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace wl
