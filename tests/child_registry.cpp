// Child commands of the registry and platform-service tests.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/named_mutex.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tests/test_support.h"

namespace {

using namespace wl;
using namespace wl::platform;

// registry-write-many SUBKEY PREFIX COUNT: under HKCU\SUBKEY sets the
// REG_DWORD values PREFIX0 .. PREFIX<COUNT-1> to their index, one call each.
// Exits with the first failure's code.
int WriteMany(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 100;
  HKey key = nullptr;
  if (Win32Error result = RegistryCreateKey(kHKeyCurrentUser, arguments[0], kKeyAllAccess, &key, nullptr)) {
    return static_cast<int>(result);
  }
  int count = std::stoi(arguments[2]);
  for (int i = 0; i < count; ++i) {
    auto value = static_cast<std::uint32_t>(i);
    std::wstring name = arguments[1] + std::to_wstring(i);
    if (Win32Error result = RegistrySetValue(key, name, kRegDword, &value, sizeof value)) {
      RegistryCloseKey(key);
      return static_cast<int>(result);
    }
  }
  RegistryCloseKey(key);
  return 0;
}

// registry-set-dword SUBKEY NAME VALUE: one REG_DWORD under HKCU\SUBKEY.
int SetDword(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 100;
  HKey key = nullptr;
  if (Win32Error result = RegistryOpenKey(kHKeyCurrentUser, arguments[0], kKeySetValue, &key)) {
    return static_cast<int>(result);
  }
  auto value = static_cast<std::uint32_t>(std::stoul(arguments[2]));
  Win32Error result = RegistrySetValue(key, arguments[1], kRegDword, &value, sizeof value);
  RegistryCloseKey(key);
  return static_cast<int>(result);
}

// redirect INPUT OUTPUT PROGRAM ARGS...: runs the program with its standard
// input read from INPUT and its standard output written to OUTPUT, and
// exits with its exit code.
int Redirect(const std::vector<std::wstring>& arguments) {
  if (arguments.size() < 3) return 100;
  if (std::freopen(Utf8FromWide(arguments[0]).c_str(), "rb", stdin) == nullptr) return 101;
  if (std::freopen(Utf8FromWide(arguments[1]).c_str(), "wb", stdout) == nullptr) return 102;
  Win32Error error = 0;
  auto child = StartProcess(arguments[2], {arguments.begin() + 3, arguments.end()}, &error);
  return child ? child->Wait() : 103;
}

// debug-output OUTPUT TEXT: the text through the debug output, with
// standard error written to OUTPUT.
int DebugOutput(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 2) return 100;
  if (std::freopen(Utf8FromWide(arguments[0]).c_str(), "wb", stderr) == nullptr) return 101;
  OutputDebugText(arguments[1]);
  return 0;
}

// mutex-count NAME FILE COUNT: COUNT times, holding the named mutex, reads
// the number in FILE and writes it back plus one. Without exclusion two
// such children lose increments.
int MutexCount(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 3) return 100;
  Win32Error error = 0;
  auto mutex = CreateNamedMutex(arguments[0], &error);
  if (!mutex) return static_cast<int>(error);
  std::string file = Utf8FromWide(arguments[1]);
  int count = std::stoi(arguments[2]);
  for (int i = 0; i < count; ++i) {
    mutex->Lock();
    long number = 0;
    {
      std::ifstream in(file);
      in >> number;
    }
    {
      std::ofstream out(file, std::ios::trunc);
      out << number + 1;
    }
    mutex->Unlock();
  }
  return 0;
}

const test::ChildCommand writeMany(L"registry-write-many", WriteMany);
const test::ChildCommand setDword(L"registry-set-dword", SetDword);
const test::ChildCommand redirect(L"redirect", Redirect);
const test::ChildCommand debugOutput(L"debug-output", DebugOutput);
const test::ChildCommand mutexCount(L"mutex-count", MutexCount);

}  // namespace
