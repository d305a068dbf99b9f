// Fuzzes the registrar: any text as a script, in both modes and with and
// without the per-user rewrite, against a registry in memory. Besides
// crashes, leaks and undefined behaviour it checks that a script that
// registers without error leaves the same registry when run a second time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/registrar.h"
#include "host/registry_target.h"
#include "platform/text.h"

namespace {

const std::vector<wl::RegistrarVariable> kVariables = {
    {L"APPID", L"{D91C4E72-8A35-4B06-A7F9-3E5C20B18D64}"},
    {L"MODULE", L"\"/opt/it''s/ScribeHost\""},
    {L"MODULE_RAW", L"/opt/it''s/ScribeHost"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the per-user rewrite; the rest is the script.
  bool perUser = (data[0] & 1) != 0;
  std::wstring script = wl::platform::WideFromUtf8(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

  wl::MemoryRegistryTarget target;
  wl::RegistrarFailure failure;
  wl::HResult registered =
      wl::RunRegistryScript(script, wl::RegistrarMode::kRegister, kVariables, perUser, target, &failure);
  if (registered == wl::kSOk) {
    auto once = target.Dump();
    if (wl::RunRegistryScript(script, wl::RegistrarMode::kRegister, kVariables, perUser, target) != wl::kSOk ||
        target.Dump() != once) {
      std::abort();
    }
  } else if (failure.code != registered || failure.reason.empty()) {
    std::abort();
  }
  (void)wl::RunRegistryScript(script, wl::RegistrarMode::kUnregister, kVariables, perUser, target);
  return 0;
}
