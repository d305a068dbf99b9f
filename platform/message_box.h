// MessageBoxW with an OK button, for the few failures that a person at the
// screen must see (service installation). On Linux the caption and the text
// go to standard error as one line "caption: text". On Windows a real
// message box, except when the environment variable WAYLINE_UNATTENDED is
// "1": then the same line as on Linux goes to standard error, so that
// nothing waits for a click when nobody is there (tests, scripted installs).
#pragma once

#include <string_view>

namespace wl::platform {

// Shows the text and returns when it has been seen (on Windows: when the
// box is closed). Any thread.
void ShowMessageBox(std::wstring_view caption, std::wstring_view text);

}  // namespace wl::platform
