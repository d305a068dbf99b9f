// Accounts on Linux: uid 0 and the owner of the machine root are the system
// account ("SYSTEM", S-1-5-18); every other user keeps its name and has the
// SID S-1-22-1-<uid>.
#include "platform/account.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/machine_root.h"
#include "platform/posix/account_posix.h"
#include "platform/posix/trust.h"
#include "platform/text.h"

namespace wl::platform {
namespace {

constexpr std::uint8_t kNtAuthority = 5;
constexpr std::uint8_t kUnixUserAuthority = 22;
constexpr std::uint32_t kLocalSystemRid = 18;

// The binary layout of a SID: revision 1, the number of sub-authorities, the
// 48-bit identifier authority big-endian, then each sub-authority as 32 bits
// little-endian.
std::vector<std::uint8_t> MakeSid(std::uint8_t authority, std::initializer_list<std::uint32_t> subAuthorities) {
  std::vector<std::uint8_t> sid = {1, static_cast<std::uint8_t>(subAuthorities.size()), 0, 0, 0, 0, 0, authority};
  for (std::uint32_t sub : subAuthorities) {
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<std::uint8_t>(sub >> shift));
  }
  return sid;
}

std::vector<std::uint8_t> SidForUid(uid_t uid) {
  if (posix::IsSystemAccount(uid)) return MakeSid(kNtAuthority, {kLocalSystemRid});
  return MakeSid(kUnixUserAuthority, {1, static_cast<std::uint32_t>(uid)});
}

// getpwnam_r / getpwuid_r with a buffer that grows as needed. False when
// there is no such user.
template <typename Lookup>
bool FindUser(Lookup lookup, passwd* entry, std::vector<char>* buffer) {
  buffer->resize(1024);
  for (;;) {
    passwd* found = nullptr;
    int result = lookup(entry, buffer->data(), buffer->size(), &found);
    if (result == ERANGE && buffer->size() < (1u << 20)) {
      buffer->resize(buffer->size() * 2);
      continue;
    }
    return result == 0 && found != nullptr;
  }
}

bool FindUserByName(const std::string& name, uid_t* uid) {
  passwd entry{};
  std::vector<char> buffer;
  bool found =
      FindUser([&](passwd* e, char* b, std::size_t n, passwd** r) { return getpwnam_r(name.c_str(), e, b, n, r); },
               &entry, &buffer);
  if (found) *uid = entry.pw_uid;
  return found;
}

std::wstring HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return WideFromUtf8(name);
}

}  // namespace

Expected<std::wstring, Win32Error> GetCurrentUserName() {
  uid_t uid = geteuid();
  if (posix::IsSystemAccount(uid)) return std::wstring(L"SYSTEM");
  passwd entry{};
  std::vector<char> buffer;
  if (!FindUser([&](passwd* e, char* b, std::size_t n, passwd** r) { return getpwuid_r(uid, e, b, n, r); }, &entry,
                &buffer)) {
    return Unexpected(kErrorNoneMapped);
  }
  return WideFromUtf8(entry.pw_name);
}

Expected<std::vector<std::uint8_t>, Win32Error> LookupAccountSid(std::wstring_view accountName) {
  std::wstring_view account = accountName;
  std::wstring_view domain;
  if (auto slash = accountName.find(L'\\'); slash != std::wstring_view::npos) {
    domain = accountName.substr(0, slash);
    account = accountName.substr(slash + 1);
  }
  // As on Windows, the system account answers to its name in any case and
  // with or without its authority's name.
  if (RegistryNamesEqual(account, L"SYSTEM") && (domain.empty() || RegistryNamesEqual(domain, L"NT AUTHORITY"))) {
    return SidForUid(0);
  }
  if (!domain.empty() && !RegistryNamesEqual(domain, HostName())) return Unexpected(kErrorNoneMapped);
  if (account.empty()) return Unexpected(kErrorNoneMapped);
  uid_t uid = 0;
  if (!FindUserByName(Utf8FromWide(account), &uid)) return Unexpected(kErrorNoneMapped);
  return SidForUid(uid);
}

Expected<std::wstring, Win32Error> ConvertSidToString(const std::vector<std::uint8_t>& sid) {
  if (sid.size() < 8 || sid[0] != 1 || sid[1] > 15 || sid.size() != 8u + 4u * sid[1]) {
    return Unexpected(kErrorInvalidSid);
  }
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::wstring result = L"S-1-";
  if (authority >> 32) {
    // Authorities too large for 32 bits are written in hexadecimal, all
    // six bytes of them.
    result += L"0x";
    AppendHex(result, authority, 12, HexCase::kUpper);
  } else {
    result += std::to_wstring(authority);
  }
  for (std::size_t i = 8; i < sid.size(); i += 4) {
    std::uint32_t sub = LoadLittleEndian32(sid.data() + i);
    result += L"-" + std::to_wstring(sub);
  }
  return result;
}

namespace posix {

bool MachineSystemAccount(AccountIdentity* account) {
  struct stat info {};
  std::string root = Utf8FromWide(MachineRoot());
  if (root.empty() || stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  *account = {info.st_uid, info.st_gid, {info.st_gid}};
  passwd entry{};
  std::vector<char> buffer;
  uid_t owner = info.st_uid;
  if (!FindUser([&](passwd* e, char* b, std::size_t n, passwd** r) { return getpwuid_r(owner, e, b, n, r); }, &entry,
                &buffer)) {
    return true;
  }
  account->gid = entry.pw_gid;
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) count = 0;
  }
  groups.resize(static_cast<std::size_t>(count));
  account->groups = groups.empty() ? std::vector<gid_t>{entry.pw_gid} : std::move(groups);
  return true;
}

int SwitchToAccount(const AccountIdentity& account) {
  if (setgroups(account.groups.size(), account.groups.data()) != 0) return errno;
  if (setgid(account.gid) != 0) return errno;
  if (setuid(account.uid) != 0) return errno;
  return 0;
}

std::wstring ProcessUserSidString() { return UserSidString(geteuid()); }

std::wstring UserSidString(unsigned uid) { return ConvertSidToString(SidForUid(uid)).ValueOr({}); }

}  // namespace posix
}  // namespace wl::platform
