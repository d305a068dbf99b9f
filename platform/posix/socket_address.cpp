#include "platform/posix/socket_address.h"

#include <fcntl.h>
#include <limits.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/posix/errors.h"
#include "platform/system_message.h"
#include "platform/text.h"

namespace wl::platform::posix {
namespace {

constexpr std::size_t kRoom = sizeof(sockaddr_un::sun_path);
// The longest start of an address through a folder descriptor.
constexpr std::string_view kLongestFolderPrefix = "/proc/self/fd/2147483647/";

// The folder and the file name of a path ("." for a name alone).
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

int SocketAddress::Set(const std::string& path) {
  address_ = sockaddr_un{};
  address_.sun_family = AF_UNIX;
  (void)folder_.Close();
  if (!path.empty() && path[0] == '@') {
    if (path.size() > kRoom) return ENAMETOOLONG;
    std::memcpy(address_.sun_path, path.data(), path.size());
    address_.sun_path[0] = '\0';
    size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    return 0;
  }
  std::string reachable = path;
  if (path.size() >= kRoom) {
    auto [folder, name] = SplitPath(path);
    Descriptor opened = OpenDescriptor(folder, O_PATH | O_DIRECTORY);
    if (!opened.Valid()) return errno;
    folder_ = std::move(opened);
    reachable = "/proc/self/fd/" + std::to_string(folder_.Get()) + "/" + name;
    if (reachable.size() >= kRoom) {
      (void)folder_.Close();
      return ENAMETOOLONG;
    }
  }
  std::memcpy(address_.sun_path, reachable.c_str(), reachable.size() + 1);
  size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + reachable.size() + 1);
  return 0;
}

std::wstring SocketAddressError(const std::string& path, int error) {
  std::wstring shown = WideFromUtf8(path);
  auto [folder, name] = SplitPath(path);
  if (error == ENAMETOOLONG && folder.size() >= PATH_MAX) {
    return L"the folder of the socket " + shown + L" is " + std::to_wstring(folder.size()) +
           L" bytes long; the system takes paths of at most " + std::to_wstring(PATH_MAX - 1) + L" bytes";
  }
  if (error == ENAMETOOLONG && kLongestFolderPrefix.size() + name.size() >= kRoom) {
    return L"the file name of the socket " + shown + L" is " + std::to_wstring(name.size()) +
           L" bytes long; a socket address holds " + std::to_wstring(kRoom - 1) + L" bytes, which leaves at most " +
           std::to_wstring(kRoom - 1 - kLongestFolderPrefix.size()) + L" for a name reached through its folder";
  }
  std::wstring text = FormatSystemMessage(Win32FromErrno(error));
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  return L"the socket " + shown + L": " + text;
}

}  // namespace wl::platform::posix
