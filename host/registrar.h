// The registrar: runs a registration script against a registry, in register
// or unregister mode. A script is a sequence of root blocks, each a root
// name and a block of entries in braces:
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {A3F0C2D1-5B7E-4C19-9E42-6D81B0F3A7C5} = s 'TraceLogManager Class'
//       {
//         LocalServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Both'
//         }
//       }
//     }
//   }
//
// Roots: HKCR, HKCU, HKLM, HKU, HKPD, HKDD, HKCC or their long names
// (HKEY_CLASSES_ROOT, ...), any case. Tokens are separated by blanks, tabs
// and line ends; a token is a bare word or a text in single quotes, where a
// doubled quote stands for one. An entry is an optional modifier
// (ForceRemove, NoRemove or Delete), then `val` and a value name, or a key
// name (without a backslash), then optionally `=`, a type letter and a value
// (s text, d decimal 32-bit number, m texts separated by the two characters
// \0, b pairs of hexadecimal digits), then for a key optionally a block of
// entries. Keywords and type letters take any case; a quoted token is
// always a name.
//
// Before parsing, %NAME% is replaced by the value of the variable NAME (any
// case, at most 31 characters) and %% by %; in per-user mode each HKCR
// root block is moved to HKCU\Software\Classes.
//
// Register mode opens or creates each key and sets its values; ForceRemove
// deletes the key and its subtree first, Delete deletes it and skips the
// rest of the entry. Unregister mode processes each key's block first, then
// deletes the key with what is left below it, unless it is marked NoRemove,
// or it still has sub-keys and its name is protected; named values are
// deleted (NoRemove keeps one). Protected names (any case): AppID, CLSID,
// Classes, Component Categories, FileType, Interface, Hardware, Mime, SAM,
// SECURITY, SYSTEM, Software, TypeLib; ForceRemove and Delete never delete
// such a key either. Keys and values missing in unregister mode are skipped.
//
// Root blocks are parsed and applied one after the other: a root block with
// a syntax error changes nothing (the blocks before it stay applied). When
// the registry refuses a change in register mode, the root block is run
// once more in unregister mode to undo what it wrote. Results: S_OK;
// DISP_E_EXCEPTION for a syntax error, a missing closing % or an unknown
// variable; E_FAIL for a variable name of more than 31 characters; the
// registry's failure as HRESULT_FROM_WIN32.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace wl {

enum class RegistrarRoot {
  kClassesRoot,
  kCurrentUser,
  kLocalMachine,
  kUsers,
  kPerformanceData,
  kDynData,
  kCurrentConfig
};

// "HKCR", "HKCU", ... for a root.
std::wstring_view RegistrarRootName(RegistrarRoot root);

// What the registrar does to a registry: the seam between the script and
// the registry it changes (the real one, or one in memory). Paths are key
// names below the root joined by backslashes; an empty path is the root.
// Results are Win32 codes.
class RegistrarTarget {
 public:
  virtual ~RegistrarTarget() = default;
  // Opens the key, creating it and its missing parents.
  [[nodiscard]] virtual Win32Error CreateKey(RegistrarRoot root, std::wstring_view path) = 0;
  // Whether the key exists and whether it has sub-keys (both false when
  // it does not exist; that is not a failure).
  [[nodiscard]] virtual Win32Error QueryKey(RegistrarRoot root, std::wstring_view path, bool* exists,
                                            bool* hasSubKeys) = 0;
  // Sets a value of an existing key (empty name: the default value).
  [[nodiscard]] virtual Win32Error SetValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name,
                                            std::uint32_t type, const std::vector<std::uint8_t>& data) = 0;
  // 2 when the value or the key is missing.
  [[nodiscard]] virtual Win32Error DeleteValue(RegistrarRoot root, std::wstring_view path, std::wstring_view name) = 0;
  // Deletes the key and everything below it; 2 when it is missing.
  [[nodiscard]] virtual Win32Error DeleteKeyTree(RegistrarRoot root, std::wstring_view path) = 0;
};

struct RegistrarVariable {
  std::wstring name;
  std::wstring value;
};

enum class RegistrarMode { kRegister, kUnregister };

// Why a run failed, for people: "line 12: unknown type letter 'x'".
struct RegistrarFailure {
  HResult code = kSOk;
  std::wstring reason;
};

// The text after the variables are replaced and, in per-user mode, each
// HKCR root block is moved under HKCU\Software\Classes. Returns S_OK, or
// the failure with its reason (*failure may be null).
HResult PreprocessRegistryScript(std::wstring_view script, const std::vector<RegistrarVariable>& variables,
                                 bool perUser, std::wstring* text, RegistrarFailure* failure = nullptr);

// Runs the script against the target. Any thread; the registrar keeps no
// state between runs.
HResult RunRegistryScript(std::wstring_view script, RegistrarMode mode, const std::vector<RegistrarVariable>& variables,
                          bool perUser, RegistrarTarget& target, RegistrarFailure* failure = nullptr);

// Whether ForceRemove, Delete and unregistering leave a key of this name
// alone (see above).
bool IsProtectedKeyName(std::wstring_view name);

}  // namespace wl
