// The Registry Editor export format ("Windows Registry Editor Version 5.00"):
// the text of the registry stand-in's hive files and of the registry tool's
// export and import. Portable: it knows nothing about where the text lives.
//
// A file is the header line, a blank line, then sections:
//   [HKEY_LOCAL_MACHINE\Software\Kestrix]      a key (its full path)
//   [-HKEY_LOCAL_MACHINE\Software\Old]         remove a key (import only)
//   "Name"="text"        REG_SZ; \\ and \" are the only escapes
//   @="text"             the default (unnamed) value
//   "Count"=dword:0000000a
//   "Big"=hex(b):0a,00,00,00,00,00,00,00        any type as hex(N): bytes
//   "Blob"=hex:01,02,\                          REG_BINARY; long lines go on
//     03,04                                     after a trailing backslash
//   "Gone"=-             remove a value (import only)
// Lines starting with ';' are comments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace wl::platform {

struct RegistryFileValue {
  std::wstring name;  // empty: the default value (@)
  bool remove = false;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

struct RegistryFileSection {
  std::wstring path;  // full path with the root's long name
  bool remove = false;
  std::vector<RegistryFileValue> values;
  int line = 0;  // where the section starts (1-based); 0 when not parsed
};

struct RegistryFileError {
  int line = 0;
  std::wstring reason;
};

inline constexpr std::string_view kRegistryFileHeader = "Windows Registry Editor Version 5.00";
// The header of the older format: ANSI text, string data of hex(2) and
// hex(7) values in the ANSI code page too. Imported, never written.
inline constexpr std::string_view kRegistryFileHeader4 = "REGEDIT4";

// The first and the last line of every hive file the stand-in writes. A
// file that has the first must end with the last, so that a file cut short
// at a line end is refused like any other broken hive; files written
// without them (by hand, or by older versions) are read as they are.
inline constexpr std::string_view kHiveStartMarker =
    "; Registry hive: complete only when its last line is \"; end of hive\"";
inline constexpr std::string_view kHiveEndMarker = "; end of hive";

// What the registry accepts: keys at most 512 levels below their root, key
// names of at most 255 characters, value names of at most 16383.
inline constexpr std::size_t kMaxKeyDepth = 512;
inline constexpr std::size_t kMaxValueNameLength = 16383;

// What a parsed file is for. A hive file must end with a line end (so that a
// file cut short in the middle of a line is refused) and may not remove keys
// or values; an import file may do both.
enum class RegistryFileUse { Hive, Import };

// Parses a whole file: UTF-8 (with or without a byte-order mark) or UTF-16LE
// with its byte-order mark; lines may end in LF or CR LF. An import file may
// also be in the REGEDIT4 format. Returns false with the line and reason of
// the first problem; nothing is returned then.
bool ParseRegistryFile(std::string_view bytes, RegistryFileUse use, std::vector<RegistryFileSection>* sections,
                       RegistryFileError* error);

// The UTF-8 text of a file with the given sections, lines ended by lineEnd.
// Values are written in the most readable form that keeps their type and
// bytes exactly: "text" only for REG_SZ data that is well-formed UTF-16 with
// one terminating null and no control characters, dword: only for 4-byte
// REG_DWORD data, hex(N): for everything else.
std::string FormatRegistryFile(const std::vector<RegistryFileSection>& sections, std::string_view lineEnd);

// The pieces of FormatRegistryFile, for writers that build the text from
// their own data: the header line; a blank line and a section's key line;
// one value.
void AppendRegistryFileHeader(std::string& out, std::string_view lineEnd);
void AppendRegistryFileSection(std::string& out, std::wstring_view path, bool remove, std::string_view lineEnd);
void AppendRegistryFileValue(std::string& out, std::wstring_view name, std::uint32_t type,
                             const std::vector<std::uint8_t>& data, std::string_view lineEnd);

// Checks the sections of an import file before anything is changed: each
// key path starts with the long name of a root (HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS) and names a key below
// it, at most kMaxKeyDepth deep, with storable names (no empty name between
// backslashes); every value name is storable. False with the line and
// reason of the first problem.
bool CheckRegistryFileSections(const std::vector<RegistryFileSection>& sections, RegistryFileError* error);

// UTF-8 text as UTF-16LE with its byte-order mark, the encoding in which
// the Registry Editor writes exports.
std::string RegistryFileUtf16(std::string_view utf8);

// True when the name can be written into a file and read back unchanged (no
// control characters, no unpaired surrogates) and the registry takes it (at
// most kMaxValueNameLength UTF-16 units). Key names also must not be empty,
// longer than 255 characters or contain a backslash.
bool IsStorableValueName(std::wstring_view name);
bool IsStorableKeyName(std::wstring_view name);

}  // namespace wl::platform
