// The program's command line as wide text, and the one rule by which
// command lines are split into words and joined from them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wl::platform {

// The arguments after the program name. On Windows they come from the
// process's wide command line (so no character is lost to the ANSI code
// page); on Linux from argv, decoded as UTF-8.
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

// The whole command line, program path included (GetCommandLineW). On Linux
// argv decoded as UTF-8 and joined as JoinCommandLine joins words.
std::wstring ProcessCommandLine(int argc, char** argv);

// Splits a command line as the Windows runtime splits one into argv: blanks
// and tabs separate words, double quotes group them ("" is an empty word),
// 2n backslashes before a quote stand for n backslashes and the quote
// groups, 2n+1 for n backslashes and a literal quote; other backslashes
// are literal. Used to start the programs whose command lines the registry
// holds (a class's LocalServer32, a service's ImagePath). Works on the
// bytes (UTF-8), so any input splits; pure, any thread.
std::vector<std::string> SplitCommandLine(std::string_view line);

// The inverse: the words separated by blanks, each written so that
// SplitCommandLine (and the Windows runtime of a started program) gives it
// back unchanged. A word that is empty or holds a blank, a tab or a quote
// goes in quotes; a quote in it is escaped, and the backslashes before a
// quote (or before the closing quote) are doubled. Any other word is
// written as it is.
std::string JoinCommandLine(const std::vector<std::string>& words);
std::wstring JoinCommandLine(const std::vector<std::wstring>& words);

}  // namespace wl::platform
