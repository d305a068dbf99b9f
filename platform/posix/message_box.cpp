// Message boxes on Linux: caption and text on standard error.
#include "platform/message_box.h"

#include <unistd.h>

#include <string>

#include "platform/posix/descriptor.h"
#include "platform/text.h"

namespace wl::platform {

void ShowMessageBox(std::wstring_view caption, std::wstring_view text) {
  std::string line = Utf8FromWide(caption) + ": " + Utf8FromWide(text) + "\n";
  // Nowhere to report a failure to write it.
  (void)posix::WriteAll(STDERR_FILENO, line);
}

}  // namespace wl::platform
