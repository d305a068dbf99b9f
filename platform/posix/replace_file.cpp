#include "platform/replace_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/errors.h"
#include "platform/text.h"

namespace wl::platform {

Win32Error ReplaceFileContents(std::wstring_view path, std::string_view bytes) {
  std::string target = Utf8FromWide(path);
  std::string temporary = target + ".tmp" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return posix::Win32FromErrno(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      int error = errno;
      close(fd);
      unlink(temporary.c_str());
      return posix::Win32FromErrno(error);
    }
    done += static_cast<std::size_t>(written);
  }
  close(fd);
  if (rename(temporary.c_str(), target.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    return posix::Win32FromErrno(error);
  }
  return 0;
}

}  // namespace wl::platform
