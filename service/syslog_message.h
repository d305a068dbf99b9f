// One accepted log message as an RFC 5424 syslog message, and its
// octet-counting frame (RFC 6587) for a TCP stream.
//
//   <PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID [wayline@32473 ...] BOM MSG
//
// PRI is facility * 8 + the severity of the level (SyslogSeverity);
// TIMESTAMP the local time the service accepted the message, with
// microseconds and the offset; APP-NAME the source's name; PROCID the
// client's process number from the stamp at the start of a client text
// ("-" when the text has none); MSGID the base name of the component file;
// the structured data carries the source number, the level and the client's
// thread number. MSG is the text after the client stamp, as UTF-8 behind a
// byte-order mark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "logclient/log_tables.h"

namespace wl {

// The structured-data element of our parameters. 32473 is the enterprise
// number set aside for examples and documentation; no number of our own has
// been assigned.
inline constexpr std::string_view kSyslogSdId = "wayline@32473";

// local0, the default facility.
inline constexpr std::uint32_t kDefaultSyslogFacility = 16;

// The syslog severity of a level: Global 5 (Notice), Critical 2, Error 3,
// Warning 4, Info 6 (Informational), Debug and Debug2 7 (Debug).
std::uint32_t SyslogSeverity(LevelNumber level);

struct SyslogInput {
  std::uint32_t facility = kDefaultSyslogFacility;
  SourceNumber source = 0;
  LevelNumber level = 0;
  // When the service accepted the message (platform::WallClockMicroseconds).
  std::int64_t acceptedMicroseconds = 0;
  // The text as UTF-8 (line feeds as they were given), client stamp included.
  std::string_view text;
  // The longest message in bytes; 0: no limit. A longer one keeps its
  // header, loses the end of its text (on a character boundary) and carries
  // cut="BYTES" in its element, the length the whole message would have had.
  std::size_t maxBytes = 0;
};

// Appends the RFC 5424 message, without framing. hostName is the machine's
// name as the system gives it; characters a header field cannot hold
// (blanks, control and non-ASCII characters) become "_", and an empty field
// is "-".
void AppendSyslogMessage(std::string& out, const SyslogInput& input, std::string_view hostName);

// Appends "LENGTH SP MESSAGE", the octet-counting frame of a message.
void AppendOctetCountedFrame(std::string& out, std::string_view message);

// Recovers the text of a message from its finished log line (UTF-8 with
// CR LF): the line without its name and level columns, the service's stamp
// when serviceStamped, and the closing CR LF, each CR LF back to LF.
std::string TextOfLogLine(std::string_view line, bool serviceStamped);

}  // namespace wl
