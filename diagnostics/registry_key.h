// A registry key with a printable path for its failure reports. Missing keys
// and values (code 2) are never reported; other failures are, through
// WriteLog at level Error, when reportErrors is set. Results are Win32 codes.
// A key belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "registry/registry.h"

namespace wl {

class RegistryKey {
 public:
  // A closed key. reportErrors decides whether unexpected failures are
  // reported through WriteLog.
  explicit RegistryKey(bool reportErrors) : reportErrors_(reportErrors) {}
  ~RegistryKey() = default;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens root\subKey; the printable path ("HKLM\...") is set first, so it
  // stays after a failed open. 160 for a null root (the key is left as it
  // was); an open key is closed first. Reports "RegOpenKeyEx {}".
  [[nodiscard]] Win32Error Open(platform::HKey root, std::wstring_view subKey,
                                std::uint32_t access = platform::kKeyRead);
  // Closes the key and clears the path; 6 when no key was open.
  [[nodiscard]] Win32Error Close();

  // A REG_SZ or REG_EXPAND_SZ value (not expanded) without its terminator.
  // out gets the default first and keeps it on failure; 13 for a value of
  // another type (not reported); an empty value gives an empty string.
  [[nodiscard]] Win32Error ReadString(std::wstring_view valueName, std::wstring& out,
                                      std::wstring_view defaultValue = {});
  // Any value of 4 bytes whatever its type; out is 0 on failure, and a
  // longer value fails with 234 ("RegQueryValueEx read DWORD64 ...").
  [[nodiscard]] Win32Error ReadDword(std::wstring_view valueName, std::uint32_t& out);
  // A 4-byte read whose low bits go to out; out keeps the caller's default
  // on failure.
  template <typename Enum>
  [[nodiscard]] Win32Error ReadEnum(std::wstring_view valueName, Enum& out) {
    std::uint32_t raw = 0;
    Win32Error result = ReadEnumRaw(valueName, raw);
    if (result == 0) out = static_cast<Enum>(raw);
    return result;
  }

  [[nodiscard]] bool IsOpen() const { return handle_.Valid(); }
  [[nodiscard]] platform::HKey Handle() const { return handle_.Get(); }
  [[nodiscard]] const std::wstring& Path() const { return path_; }

 private:
  [[nodiscard]] Win32Error ReadEnumRaw(std::wstring_view valueName, std::uint32_t& out);

  platform::UniqueKey handle_;
  std::wstring path_;
  bool reportErrors_;
};

// A string value under HKEY_LOCAL_MACHINE\subKey, or the default; failures
// other than a missing key or value are reported. Never fails.
std::wstring ReadMachineString(std::wstring_view subKey, std::wstring_view valueName,
                               std::wstring_view defaultValue = {});

// "Software\Kestrix\Wayline" and its "CurrentInstall" sub-key.
inline constexpr std::wstring_view kProductKey = L"Software\\Kestrix\\Wayline";
inline constexpr std::wstring_view kCurrentInstallKey = L"Software\\Kestrix\\Wayline\\CurrentInstall";

}  // namespace wl
