#include "platform/command_line.h"

namespace wl::platform {
namespace {

template <typename Char>
void AppendWord(std::basic_string<Char>& line, std::basic_string_view<Char> word) {
  constexpr Char kQuote = '"', kBackslash = '\\';
  constexpr Char kSpecial[] = {' ', '\t', '"', 0};
  if (!word.empty() && word.find_first_of(kSpecial) == word.npos) {
    line += word;
    return;
  }
  line.push_back(kQuote);
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < word.size() && word[i] == kBackslash) ++backslashes, ++i;
    if (i == word.size()) {
      // They precede the closing quote.
      line.append(backslashes * 2, kBackslash);
      break;
    }
    line.append(word[i] == kQuote ? backslashes * 2 + 1 : backslashes, kBackslash);
    line.push_back(word[i]);
  }
  line.push_back(kQuote);
}

template <typename Char>
std::basic_string<Char> Join(const std::vector<std::basic_string<Char>>& words) {
  std::basic_string<Char> line;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) line.push_back(' ');
    AppendWord<Char>(line, words[i]);
  }
  return line;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string current;
  bool inQuotes = false, have = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\') {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
      if (i < line.size() && line[i] == '"') {
        current.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          current.push_back('"');
        } else {
          inQuotes = !inQuotes;
        }
      } else {
        current.append(backslashes, '\\');
        --i;
      }
      have = true;
    } else if (c == '"') {
      inQuotes = !inQuotes;
      have = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (have) words.push_back(current);
      current.clear();
      have = false;
    } else {
      current.push_back(c);
      have = true;
    }
  }
  if (have) words.push_back(current);
  return words;
}

std::string JoinCommandLine(const std::vector<std::string>& words) { return Join(words); }

std::wstring JoinCommandLine(const std::vector<std::wstring>& words) { return Join(words); }

}  // namespace wl::platform
