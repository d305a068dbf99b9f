#include "diagnostics/registry_key.h"

#include <array>

#include "diagnostics/error_text.h"
#include "diagnostics/write_log.h"
#include "platform/text.h"

namespace wl {
namespace {

std::wstring_view RootName(platform::HKey root) {
  if (root == platform::kHKeyClassesRoot) return L"HKCR";
  if (root == platform::kHKeyCurrentUser) return L"HKCU";
  if (root == platform::kHKeyLocalMachine) return L"HKLM";
  if (root == platform::kHKeyUsers) return L"HKU";
  return {};
}

bool IsReportable(Win32Error result) { return result != kErrorSuccess && result != kErrorFileNotFound; }

void Report(const std::wstring& text) { WriteLog(kLevelError, text); }

// A 4-byte query that ignores the value's type. *out changes only on success,
// so a value too long for it (234) leaves no partial data behind.
Win32Error QueryFourBytes(platform::HKey key, std::wstring_view valueName, std::uint32_t& out, std::uint32_t& size) {
  std::array<std::uint8_t, 4> bytes{};
  size = static_cast<std::uint32_t>(bytes.size());
  Win32Error result = platform::RegistryQueryValue(key, valueName, nullptr, bytes.data(), &size);
  if (result == kErrorSuccess) {
    out = platform::LoadLittleEndian32(bytes.data());
  }
  return result;
}

}  // namespace

Win32Error RegistryKey::Open(platform::HKey root, std::wstring_view subKey, std::uint32_t access) {
  if (root == nullptr) return kErrorBadArguments;
  handle_.Reset();
  // Built before the open so that a failed open can still name the key.
  path_ = std::wstring(RootName(root)) + L"\\" + std::wstring(subKey);
  platform::HKey opened = nullptr;
  Win32Error result = platform::RegistryOpenKey(root, subKey, access, &opened);
  if (result == kErrorSuccess) handle_.Reset(opened);
  if (reportErrors_ && IsReportable(result)) Report(SafeFormat(result, L"RegOpenKeyEx {}", path_));
  return result;
}

Win32Error RegistryKey::Close() {
  // RegCloseKey of no key answers 6 (invalid handle); answered here so that
  // closing a closed key means the same on every platform.
  Win32Error result = handle_.Valid() ? handle_.Close() : kErrorInvalidHandle;
  path_.clear();
  return result;
}

Win32Error RegistryKey::ReadString(std::wstring_view valueName, std::wstring& out, std::wstring_view defaultValue) {
  out = defaultValue;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  Win32Error result = platform::RegistryQueryValue(handle_.Get(), valueName, &type, nullptr, &size);
  if (result != kErrorSuccess) {
    if (reportErrors_ && result != kErrorFileNotFound) {
      Report(SafeFormat(result, L"RegQueryValueEx get size read wstring {}\\{}", path_, valueName));
    }
    return result;
  }
  // Expandable strings are returned as stored, without expanding them.
  if (type != platform::kRegSz && type != platform::kRegExpandSz) return kErrorInvalidData;
  if (size == 0) {
    out.clear();
    return kErrorSuccess;
  }
  // Registry strings are UTF-16 whatever the width of wchar_t; one unit more
  // than needed keeps an odd byte count inside the buffer.
  std::u16string buffer(size / 2 + 1, u'\0');
  std::uint32_t readSize = size;
  result = platform::RegistryQueryValue(handle_.Get(), valueName, nullptr, buffer.data(), &readSize);
  if (result == kErrorSuccess) {
    // The stored terminator is dropped; a value stored without one loses its
    // last character instead.
    std::size_t length = size / 2 > 0 ? size / 2 - 1 : 0;
    out = platform::WideFromUtf16(std::u16string_view(buffer.data(), length));
  } else if (reportErrors_ && result != kErrorFileNotFound) {
    Report(SafeFormat(result, L"RegQueryValueEx read wstring {}\\{}", path_, valueName));
  }
  return result;
}

Win32Error RegistryKey::ReadDword(std::wstring_view valueName, std::uint32_t& out) {
  out = 0;
  std::uint32_t size = 0;
  Win32Error result = QueryFourBytes(handle_.Get(), valueName, out, size);
  if (reportErrors_ && IsReportable(result)) {
    // The size is the one the query reports, so an 8-byte value that did not
    // fit reads "DWORD64". The finished message goes through the composer
    // once more, which is where the error suffix is added.
    std::wstring message = SafeFormat(L"RegQueryValueEx read DWORD{} {}\\{}", size * 8, path_, valueName);
    Report(SafeFormat(result, message));
  }
  return result;
}

Win32Error RegistryKey::ReadEnumRaw(std::wstring_view valueName, std::uint32_t& out) {
  std::uint32_t size = 0;
  Win32Error result = QueryFourBytes(handle_.Get(), valueName, out, size);
  if (reportErrors_ && IsReportable(result)) {
    Report(SafeFormat(result, L"RegQueryValueEx read enum {}\\{}", path_, valueName));
  }
  return result;
}

std::wstring ReadMachineString(std::wstring_view subKey, std::wstring_view valueName, std::wstring_view defaultValue) {
  std::wstring result(defaultValue);
  RegistryKey key(true);
  // Open reports its own failures other than a missing key.
  if (key.Open(platform::kHKeyLocalMachine, subKey, platform::kKeyRead) == kErrorSuccess) {
    (void)key.ReadString(valueName, result, defaultValue);
  }
  return result;
}

}  // namespace wl
