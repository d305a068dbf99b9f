// A registry key with a printable path for its failure reports. Missing keys
// and values (code 2) are never reported; other failures are, through
// WriteLog at level Error, when reportErrors is set. Results are Win32 codes.
// A key belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace wl {

class RegistryKey {
 public:
  explicit RegistryKey(bool reportErrors) : reportErrors_(reportErrors) {}
  ~RegistryKey();
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // 160 for a null root; closes an open key first.
  Win32Error Open(platform::HKey root, std::wstring_view subKey,
                  std::uint32_t access = platform::kKeyRead);
  Win32Error Close();

  // REG_SZ / REG_EXPAND_SZ only (13 otherwise); out gets the default on
  // failure.
  Win32Error ReadString(std::wstring_view valueName, std::wstring& out,
                        std::wstring_view defaultValue = {});
  // Any 4-byte value; 234 for a longer one.
  Win32Error ReadDword(std::wstring_view valueName, std::uint32_t& out);
  // A 4-byte read whose low bits go to out; out keeps its value on failure.
  template <typename Enum>
  Win32Error ReadEnum(std::wstring_view valueName, Enum& out) {
    std::uint32_t raw = 0;
    Win32Error result = ReadEnumRaw(valueName, raw);
    if (result == 0) out = static_cast<Enum>(raw);
    return result;
  }

  bool IsOpen() const { return handle_ != nullptr; }
  platform::HKey Handle() const { return handle_; }
  const std::wstring& Path() const { return path_; }

 private:
  Win32Error ReadEnumRaw(std::wstring_view valueName, std::uint32_t& out);

  platform::HKey handle_ = nullptr;
  std::wstring path_;
  bool reportErrors_;
};

// A string value under HKEY_LOCAL_MACHINE\subKey, or the default.
std::wstring ReadMachineString(std::wstring_view subKey, std::wstring_view valueName,
                               std::wstring_view defaultValue = {});

// "Software\Kestrix\Wayline" and its "CurrentInstall" sub-key.
inline constexpr std::wstring_view kProductKey = L"Software\\Kestrix\\Wayline";
inline constexpr std::wstring_view kCurrentInstallKey = L"Software\\Kestrix\\Wayline\\CurrentInstall";

}  // namespace wl
