// The registry values that activation reads, each checked to come from a
// hive that this process trusts.
#include "com/posix/class_registration.h"

#include <vector>

#include "com/posix/runtime.h"
#include "platform/command_line.h"
#include "platform/posix/checked_open.h"
#include "platform/posix/trust.h"
#include "platform/text.h"
#include "registry/posix/registry_origin.h"
#include "registry/registry.h"

namespace wl::platform::posix {
namespace {

// Reads the default or a named string value of a key under
// HKEY_CLASSES_ROOT for an activation: S_OK with the text,
// REGDB_E_CLASSNOTREG when absent or empty, CO_E_SERVER_EXEC_FAILURE (and
// a report) when the hive that held it is not one this process trusts.
HRESULT ReadTrustedClassesText(const CLSID& clsid, const std::wstring& subKey, std::wstring_view name,
                               std::wstring* text) {
  ValueOrigin origin;
  if (QueryStringWithOrigin(kHKeyClassesRoot, subKey, name, text, &origin) != 0 || text->empty()) {
    text->clear();
    return REGDB_E_CLASSNOTREG;
  }
  if (TrustsOrigin(origin)) return S_OK;
  ReportCom(ComReport::kError, L"Refused to activate " + GuidText(clsid) + L": HKCR\\" + subKey +
                                   L" comes from the registry hive " + WideFromUtf8(origin.hive) + L" of " +
                                   WideFromUtf8(DescribeUser(origin.owner)));
  text->clear();
  return CO_E_SERVER_EXEC_FAILURE;
}

}  // namespace

HRESULT ClassLocalServer(const CLSID& clsid, std::wstring* commandLine) {
  HRESULT result = ReadTrustedClassesText(clsid, L"CLSID\\" + GuidText(clsid) + L"\\LocalServer32", L"", commandLine);
  if (FAILED(result)) return result;
  std::vector<std::string> words = SplitCommandLine(Utf8FromWide(*commandLine));
  std::string refusal = words.empty() ? std::string() : ProgramRefusal(words.front());
  if (refusal.empty()) return S_OK;
  ReportCom(ComReport::kError, L"Refused to start the server of " + GuidText(clsid) + L": " + WideFromUtf8(refusal));
  commandLine->clear();
  return CO_E_SERVER_EXEC_FAILURE;
}

HRESULT ClassLocalService(const CLSID& clsid, std::wstring* serviceName) {
  std::wstring appId;
  HRESULT result = ReadTrustedClassesText(clsid, L"CLSID\\" + GuidText(clsid), L"AppID", &appId);
  if (FAILED(result)) return result;
  return ReadTrustedClassesText(clsid, L"AppID\\" + appId, L"LocalService", serviceName);
}

}  // namespace wl::platform::posix
