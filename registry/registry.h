// The registry with Windows semantics and Win32 result codes. On Windows this
// is the real registry; on Linux a set of hive files under <root>/registry/
// in the Registry Editor export format (see docs/platform.md).
//
// Key names compare case-insensitively and keep the case they were created
// with. Value data are the bytes Windows stores: REG_SZ, REG_EXPAND_SZ and
// REG_MULTI_SZ as UTF-16LE with their terminating nulls, REG_DWORD as 4 and
// REG_QWORD as 8 little-endian bytes.
//
// Codes common to all calls: 6 for a handle that is not open, 1018 for a
// handle whose key has been deleted (by anyone, in any process), 5 for an
// operation the handle's access mask does not allow (query and enumerate
// values need kKeyQueryValue, set and delete values kKeySetValue, enumerate
// sub-keys kKeyEnumerateSubKeys). On Linux also 1009 (ERROR_BADDB) when a
// hive file does not parse (RegistryLastParseError says where), 1012 / 1013
// when it cannot be read / written, 112 when the disk is full, 5 when the
// hive may not be written by this account or its file was refused, 1460
// when a lock that another account holds was not released in time
// (RegistryLastRefusal says why).
//
// Sub-key paths are key names joined by backslashes; a leading backslash is
// 161, empty names between backslashes are skipped. All calls are safe from
// any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "platform/unique_handle.h"
#include "registry/registry_file.h"

namespace wl::platform {

struct RegistryKeyObject;
// HKEY: an open key or one of the predefined roots below.
using HKey = RegistryKeyObject*;

extern const HKey kHKeyClassesRoot;   // 0x80000000
extern const HKey kHKeyCurrentUser;   // 0x80000001
extern const HKey kHKeyLocalMachine;  // 0x80000002
extern const HKey kHKeyUsers;         // 0x80000003

inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyNotify = 0x0010;
inline constexpr std::uint32_t kKeyWow6464Key = 0x0100;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;

inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegDwordBigEndian = 5;
inline constexpr std::uint32_t kRegLink = 6;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// RegOpenKeyExW. 2 when the key is missing, 160 when root is null. Opening
// (or creating) a key below an open key does not depend on that handle's
// access mask.
[[nodiscard]] Win32Error RegistryOpenKey(HKey root, std::wstring_view subKey, std::uint32_t access, HKey* result);

// RegCreateKeyExW: opens the key, creating it and its missing parents.
// *created (may be null) tells whether the key was new.
[[nodiscard]] Win32Error RegistryCreateKey(HKey root, std::wstring_view subKey, std::uint32_t access, HKey* result,
                                           bool* created);

// RegQueryValueExW. type and data may be null; *size is the buffer size in
// bytes on entry and the data size on return. With a buffer that is too small
// the result is 234 and *size the size needed. 2 when the value is missing,
// 87 for data without size.
[[nodiscard]] Win32Error RegistryQueryValue(HKey key, std::wstring_view valueName, std::uint32_t* type, void* data,
                                            std::uint32_t* size);

// RegSetValueExW: stores type and bytes as given (998 for null data with a
// non-zero size).
[[nodiscard]] Win32Error RegistrySetValue(HKey key, std::wstring_view valueName, std::uint32_t type, const void* data,
                                          std::uint32_t size);

// RegDeleteValueW.
[[nodiscard]] Win32Error RegistryDeleteValue(HKey key, std::wstring_view valueName);

// RegDeleteTreeW on root\subKey followed by the deletion of that key itself.
// An empty subKey deletes the key of an open handle; with a predefined root
// it is refused (5) rather than emptying the whole root. 2 when missing.
[[nodiscard]] Win32Error RegistryDeleteKeyTree(HKey root, std::wstring_view subKey);

// RegEnumKeyExW / RegEnumValueW: 259 past the last item. Sub-keys come in
// the registry's sort order; the order of values is not fixed. type and data
// may be null.
[[nodiscard]] Win32Error RegistryEnumKey(HKey key, std::uint32_t index, std::wstring* name);
[[nodiscard]] Win32Error RegistryEnumValue(HKey key, std::uint32_t index, std::wstring* name, std::uint32_t* type,
                                           std::vector<std::uint8_t>* data);

// The predefined root of a long root name ("HKEY_LOCAL_MACHINE",
// "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS"; any case), or
// null.
HKey RegistryRootByName(std::wstring_view name);

// Applies the sections of an import file (registry/registry_file.h): keys
// created with their values set or removed, keys removed with everything
// below them. Every section is checked first (CheckRegistryFileSections);
// when one is wrong nothing changes, the result is 87 and *error names its
// line and reason. On Linux the sections of one hive are applied as one
// update of its file (HKEY_CLASSES_ROOT keys go to the machine's classes),
// so that a failure leaves the hive as it was. Returns 0 or the code of the
// first failure, with the line of its section in *error.
[[nodiscard]] Win32Error RegistryImport(const std::vector<RegistryFileSection>& sections, RegistryFileError* error);

// RegCloseKey. Closing a predefined root does nothing and succeeds.
[[nodiscard]] Win32Error RegistryCloseKey(HKey key);

// An open key that closes itself.
using UniqueKey = UniqueHandle<HKey, &RegistryCloseKey>;

// Where the hive file behind the calling thread's last 1009 result is
// broken: "<file>: line <n>: <reason>". Empty when this thread has not met a
// broken hive (always on Windows).
std::wstring RegistryLastParseError();

// Why the calling thread's last call was refused or met a refused hive, on
// Linux: a hive that another account could have planted is read as absent
// and never written ("Ignored the registry hive <file>: refused: it belongs
// to user 65534 (nobody)"), and an account may change only its own hive and
// the system account the others ("<file>: the registry hive of user 1000
// (alice) does not exist, and only the system account may make it: ...").
// Empty when the last call met none (always on Windows, where the keys'
// access rules decide).
std::wstring RegistryLastRefusal();

}  // namespace wl::platform
