// Debug output on Linux goes to standard error as UTF-8 (the journal keeps
// it when the program runs under systemd).
#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/text.h"

namespace wl::platform {

void OutputDebugText(std::wstring_view text) {
  std::string bytes = Utf8FromWide(text);
  // One write for the whole text when the system allows it, so that lines
  // of several threads do not mix.
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace wl::platform
