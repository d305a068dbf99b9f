// Debug output on Linux goes to standard error as UTF-8 (the journal keeps
// it when the program runs under systemd).
#include "platform/debug_output.h"

#include <unistd.h>

#include <string>

#include "platform/posix/descriptor.h"
#include "platform/text.h"

namespace wl::platform {

void OutputDebugText(std::wstring_view text) {
  std::string bytes = Utf8FromWide(text);
  // One write for the whole text when the system allows it, so that lines
  // of several threads do not mix. A failure has nowhere to be reported.
  (void)posix::WriteAll(STDERR_FILENO, bytes);
}

}  // namespace wl::platform
