#include "host/registrar.h"

#include <array>
#include <optional>

#include "diagnostics/format.h"
#include "platform/text.h"
#include "registry/registry.h"

namespace wl {
namespace {

constexpr std::size_t kMaxVariableName = 31;
// As deep as the registry lets keys nest; it also bounds the recursion of
// the parser and of the application on hostile scripts.
constexpr int kMaxDepth = 512;

struct RootName {
  std::wstring_view shortName;
  std::wstring_view longName;
  RegistrarRoot root;
};

constexpr std::array<RootName, 7> kRoots = {{
    {L"HKCR", L"HKEY_CLASSES_ROOT", RegistrarRoot::kClassesRoot},
    {L"HKCU", L"HKEY_CURRENT_USER", RegistrarRoot::kCurrentUser},
    {L"HKLM", L"HKEY_LOCAL_MACHINE", RegistrarRoot::kLocalMachine},
    {L"HKU", L"HKEY_USERS", RegistrarRoot::kUsers},
    {L"HKPD", L"HKEY_PERFORMANCE_DATA", RegistrarRoot::kPerformanceData},
    {L"HKDD", L"HKEY_DYN_DATA", RegistrarRoot::kDynData},
    {L"HKCC", L"HKEY_CURRENT_CONFIG", RegistrarRoot::kCurrentConfig},
}};

constexpr std::array<std::wstring_view, 13> kProtectedNames = {
    L"AppID",    L"CLSID",     L"Classes",  L"Component Categories",
    L"FileType", L"Interface", L"Hardware", L"Mime",
    L"SAM",      L"SECURITY",  L"SYSTEM",   L"Software",
    L"TypeLib"};

// The block that moves an HKCR root block under the user's classes.
constexpr std::wstring_view kUserClassesOpen = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
constexpr std::wstring_view kUserClassesClose = L"\r\n\t}\r\n}\r\n";

bool Same(std::wstring_view a, std::wstring_view b) { return platform::RegistryNamesEqual(a, b); }

bool IsSeparator(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

HResult Fail(RegistrarFailure* failure, HResult code, int line, std::wstring_view reason) {
  if (failure != nullptr) *failure = {code, Format(L"line {}: {}", line, reason)};
  return code;
}

enum class Modifier { kNone, kForceRemove, kNoRemove, kDelete };

struct ScriptValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

struct Entry {
  Modifier modifier = Modifier::kNone;
  bool isValue = false;  // val NAME
  std::wstring name;
  std::optional<ScriptValue> value;
  std::vector<Entry> children;
};

struct RootBlock {
  RegistrarRoot root = RegistrarRoot::kClassesRoot;
  std::vector<Entry> entries;
};

struct Token {
  std::wstring text;
  bool quoted = false;
  int line = 0;

  [[nodiscard]] bool Is(std::wstring_view word) const { return !quoted && text == word; }
};

// Reads a preprocessed script one root block at a time.
class Parser {
 public:
  Parser(std::wstring_view text, RegistrarFailure* failure) : text_(text), failure_(failure) {}

  enum class Step { kBlock, kEnd, kError };

  Step NextRootBlock(RootBlock* block) {
    Token token;
    switch (Read(&token)) {
      case Got::kEnd:
        return Step::kEnd;
      case Got::kError:
        return Step::kError;
      case Got::kToken:
        break;
    }
    const RootName* root = nullptr;
    for (const RootName& candidate : kRoots) {
      if (Same(token.text, candidate.shortName) || Same(token.text, candidate.longName)) root = &candidate;
    }
    if (root == nullptr) return Error(token.line, Format(L"unknown root key \"{}\"", token.text));
    Token open;
    if (!Expect(&open, L"{ after the root key")) return Step::kError;
    if (!open.Is(L"{")) return Error(open.line, Format(L"the root key {} needs a block in braces", token.text));
    block->root = root->root;
    block->entries.clear();
    return ParseEntries(&block->entries, 1) ? Step::kBlock : Step::kError;
  }

 private:
  enum class Got { kToken, kEnd, kError };

  Step Error(int line, std::wstring_view reason) {
    (void)Fail(failure_, kDispEException, line, reason);
    return Step::kError;
  }
  bool Failed(int line, std::wstring_view reason) {
    Error(line, reason);
    return false;
  }

  void SkipSeparators() {
    while (position_ < text_.size() && IsSeparator(text_[position_])) {
      if (text_[position_] == L'\n') ++line_;
      ++position_;
    }
  }

  Got Read(Token* token) {
    if (peeked_) {
      *token = std::move(*peeked_);
      peeked_.reset();
      return Got::kToken;
    }
    SkipSeparators();
    if (position_ == text_.size()) return Got::kEnd;
    token->line = line_;
    token->text.clear();
    token->quoted = text_[position_] == L'\'';
    if (!token->quoted) {
      while (position_ < text_.size() && !IsSeparator(text_[position_])) token->text += text_[position_++];
      return Got::kToken;
    }
    for (++position_;; ++position_) {
      if (position_ == text_.size()) {
        Error(token->line, L"a quoted text has no closing quote");
        return Got::kError;
      }
      wchar_t c = text_[position_];
      if (c == L'\'') {
        if (position_ + 1 < text_.size() && text_[position_ + 1] == L'\'') {
          token->text += L'\'';
          ++position_;
          continue;
        }
        ++position_;
        return Got::kToken;
      }
      if (c == L'\n') ++line_;
      token->text += c;
    }
  }

  // The next token, which must be there (what names what was expected).
  bool Expect(Token* token, std::wstring_view what) {
    Got result = Read(token);
    if (result == Got::kEnd) Error(line_, Format(L"the script ends where {} was expected", what));
    return result == Got::kToken;
  }

  // Whether the next token is the bare word; takes it when it is.
  bool TakeIf(std::wstring_view word, bool* error) {
    if (!peeked_) {
      Token token;
      Got result = Read(&token);
      if (result == Got::kError) {
        *error = true;
        return false;
      }
      if (result == Got::kEnd) return false;
      peeked_ = std::move(token);
    }
    if (!peeked_->Is(word)) return false;
    peeked_.reset();
    return true;
  }

  // Entries up to and including the closing brace of their block.
  bool ParseEntries(std::vector<Entry>* entries, int depth) {
    for (;;) {
      Token token;
      if (!Expect(&token, L"} (a block is not closed)")) return false;
      if (token.Is(L"}")) return true;
      Entry entry;
      if (!ParseEntry(std::move(token), depth, &entry)) return false;
      entries->push_back(std::move(entry));
    }
  }

  bool ParseEntry(Token token, int depth, Entry* entry) {
    if (!token.quoted) {
      for (auto [word, modifier] :
           {std::pair{L"ForceRemove", Modifier::kForceRemove}, std::pair{L"NoRemove", Modifier::kNoRemove},
            std::pair{L"Delete", Modifier::kDelete}}) {
        if (Same(token.text, word)) entry->modifier = modifier;
      }
      if (entry->modifier != Modifier::kNone && !Expect(&token, L"a key name")) return false;
    }
    if (!token.quoted && Same(token.text, L"val")) {
      entry->isValue = true;
      if (!Expect(&token, L"a value name")) return false;
    }
    if (token.Is(L"{") || token.Is(L"}") || token.Is(L"=")) {
      return Failed(token.line,
                    Format(L"\"{}\" where a {} name was expected", token.text, entry->isValue ? L"value" : L"key"));
    }
    entry->name = std::move(token.text);
    if (!entry->isValue && entry->name.empty()) return Failed(token.line, L"an empty key name");
    if (!entry->isValue && entry->name.find(L'\\') != std::wstring::npos) {
      return Failed(token.line, Format(L"the key name \"{}\" holds a backslash", entry->name));
    }
    bool error = false;
    if (TakeIf(L"=", &error)) {
      Token type, value;
      if (!Expect(&type, L"a type letter") || !Expect(&value, L"a value")) return false;
      entry->value.emplace();
      if (!ParseValue(type, value, &*entry->value)) return false;
    } else if (error) {
      return false;
    } else if (entry->isValue) {
      return Failed(token.line, Format(L"the value \"{}\" needs = and a value", entry->name));
    }
    if (TakeIf(L"{", &error)) {
      if (entry->isValue) return Failed(line_, Format(L"the value \"{}\" cannot have a block", entry->name));
      if (depth >= kMaxDepth) return Failed(line_, L"blocks nest more than 512 levels deep");
      return ParseEntries(&entry->children, depth + 1);
    }
    return !error;
  }

  bool ParseValue(const Token& type, const Token& value, ScriptValue* result) {
    wchar_t letter = type.text.size() == 1 ? platform::RegistryUpperCase(type.text[0]) : L'\0';
    switch (letter) {
      case L'S':
        result->type = platform::kRegSz;
        result->data = platform::Utf16LeStringData(value.text);
        return true;
      case L'D': {
        std::uint64_t number = 0;
        bool valid = !value.text.empty();
        for (wchar_t c : value.text) {
          if (!valid || c < L'0' || c > L'9') {
            valid = false;
            break;
          }
          number = number * 10 + static_cast<unsigned>(c - L'0');
          valid = number <= 0xFFFFFFFFu;
        }
        if (!valid) return Failed(value.line, Format(L"\"{}\" is not a decimal 32-bit number", value.text));
        result->type = platform::kRegDword;
        platform::AppendLittleEndian(number, 4, result->data);
        return true;
      }
      case L'M': {
        result->type = platform::kRegMultiSz;
        std::wstring_view rest = value.text;
        for (;;) {
          std::size_t end = rest.find(L"\\0");
          auto one = platform::Utf16LeStringData(rest.substr(0, end));
          result->data.insert(result->data.end(), one.begin(), one.end());
          if (end == std::wstring_view::npos) break;
          rest.remove_prefix(end + 2);
        }
        result->data.insert(result->data.end(), {0, 0});
        return true;
      }
      case L'B': {
        result->type = platform::kRegBinary;
        auto digit = [](wchar_t c) {
          return c >= L'0' && c <= L'9'   ? c - L'0'
                 : c >= L'a' && c <= L'f' ? c - L'a' + 10
                 : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                          : -1;
        };
        bool valid = value.text.size() % 2 == 0;
        for (std::size_t i = 0; valid && i < value.text.size(); i += 2) {
          int high = digit(value.text[i]), low = digit(value.text[i + 1]);
          valid = high >= 0 && low >= 0;
          if (valid) result->data.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
        if (!valid) return Failed(value.line, Format(L"\"{}\" is not pairs of hexadecimal digits", value.text));
        return true;
      }
      default:
        return Failed(type.line, Format(L"unknown type letter \"{}\" (s, d, m or b)", type.text));
    }
  }

  std::wstring_view text_;
  RegistrarFailure* failure_;
  std::size_t position_ = 0;
  int line_ = 1;
  std::optional<Token> peeked_;
};

std::wstring Join(std::wstring_view parent, std::wstring_view name) {
  return parent.empty() ? std::wstring(name) : std::wstring(parent) + L"\\" + std::wstring(name);
}

// Applies the parsed entries of one root block to the target.
class Applier {
 public:
  Applier(RegistrarTarget& target, RegistrarRoot root, RegistrarFailure* failure)
      : target_(target), root_(root), failure_(failure) {}

  HResult Register(const std::vector<Entry>& entries, const std::wstring& parent) {
    for (const Entry& entry : entries) {
      if (HResult result = Register(entry, parent); result != kSOk) return result;
    }
    return kSOk;
  }

  HResult Unregister(const std::vector<Entry>& entries, const std::wstring& parent) {
    for (const Entry& entry : entries) {
      if (HResult result = Unregister(entry, parent); result != kSOk) return result;
    }
    return kSOk;
  }

 private:
  HResult Check(Win32Error code, std::wstring_view what, std::wstring_view path) {
    if (code == kErrorSuccess) return kSOk;
    if (failure_ != nullptr) {
      failure_->code = HResultFromWin32(code);
      failure_->reason = Format(L"{} {}\\{}: error {}", what, RegistrarRootName(root_), path, code);
    }
    return HResultFromWin32(code);
  }

  // Deleting what is not there is no failure.
  HResult CheckDelete(Win32Error code, std::wstring_view what, std::wstring_view path) {
    return Check(code == kErrorFileNotFound ? kErrorSuccess : code, what, path);
  }

  HResult Register(const Entry& entry, const std::wstring& parent) {
    if (entry.isValue) {
      if (entry.modifier == Modifier::kDelete) {
        return CheckDelete(target_.DeleteValue(root_, parent, entry.name), L"deleting a value of", parent);
      }
      return Check(target_.SetValue(root_, parent, entry.name, entry.value->type, entry.value->data),
                   L"setting a value of", parent);
    }
    std::wstring path = Join(parent, entry.name);
    bool mayDelete = !IsProtectedKeyName(entry.name);
    if (entry.modifier == Modifier::kDelete) {
      return mayDelete ? CheckDelete(target_.DeleteKeyTree(root_, path), L"deleting", path) : kSOk;
    }
    if (entry.modifier == Modifier::kForceRemove && mayDelete) {
      if (HResult result = CheckDelete(target_.DeleteKeyTree(root_, path), L"deleting", path); result != kSOk) {
        return result;
      }
    }
    if (HResult result = Check(target_.CreateKey(root_, path), L"creating", path); result != kSOk) return result;
    if (entry.value) {
      HResult result = Check(target_.SetValue(root_, path, L"", entry.value->type, entry.value->data),
                             L"setting the value of", path);
      if (result != kSOk) return result;
    }
    return Register(entry.children, path);
  }

  HResult Unregister(const Entry& entry, const std::wstring& parent) {
    if (entry.isValue) {
      if (entry.modifier == Modifier::kNoRemove) return kSOk;
      return CheckDelete(target_.DeleteValue(root_, parent, entry.name), L"deleting a value of", parent);
    }
    std::wstring path = Join(parent, entry.name);
    bool exists = false, hasSubKeys = false;
    if (HResult result = Check(target_.QueryKey(root_, path, &exists, &hasSubKeys), L"reading", path);
        result != kSOk || !exists) {
      return result;
    }
    if (HResult result = Unregister(entry.children, path); result != kSOk) return result;
    if (entry.modifier == Modifier::kNoRemove) return kSOk;
    if (IsProtectedKeyName(entry.name)) {
      if (HResult result = Check(target_.QueryKey(root_, path, &exists, &hasSubKeys), L"reading", path);
          result != kSOk || hasSubKeys) {
        return result;
      }
    }
    return CheckDelete(target_.DeleteKeyTree(root_, path), L"deleting", path);
  }

  RegistrarTarget& target_;
  RegistrarRoot root_;
  RegistrarFailure* failure_;
};

HResult RunScript(std::wstring_view script, RegistrarMode mode, const std::vector<RegistrarVariable>& variables,
                  bool perUser, RegistrarTarget& target, RegistrarFailure* failure) {
  std::wstring text;
  if (HResult result = PreprocessRegistryScript(script, variables, perUser, &text, failure); result != kSOk) {
    return result;
  }
  Parser parser(text, failure);
  for (;;) {
    RootBlock block;
    switch (parser.NextRootBlock(&block)) {
      case Parser::Step::kEnd:
        return kSOk;
      case Parser::Step::kError:
        return failure->code;
      case Parser::Step::kBlock:
        break;
    }
    Applier applier(target, block.root, failure);
    if (mode == RegistrarMode::kUnregister) {
      if (HResult result = applier.Unregister(block.entries, L""); result != kSOk) return result;
      continue;
    }
    if (HResult result = applier.Register(block.entries, L""); result != kSOk) {
      // Undo what the block wrote; the first failure is the one reported.
      RegistrarFailure undoFailure;
      Applier undo(target, block.root, &undoFailure);
      (void)undo.Unregister(block.entries, L"");
      return result;
    }
  }
}

}  // namespace

std::wstring_view RegistrarRootName(RegistrarRoot root) { return kRoots[static_cast<std::size_t>(root)].shortName; }

bool IsProtectedKeyName(std::wstring_view name) {
  for (std::wstring_view candidate : kProtectedNames) {
    if (Same(name, candidate)) return true;
  }
  return false;
}

HResult PreprocessRegistryScript(std::wstring_view script, const std::vector<RegistrarVariable>& variables,
                                 bool perUser, std::wstring* text, RegistrarFailure* failure) {
  std::wstring out;
  out.reserve(script.size() + 64);
  bool quoted = false;
  bool inUserBlock = false;
  int depth = 0;
  int line = 1;
  for (std::size_t i = 0; i < script.size();) {
    wchar_t c = script[i];
    if (c == L'%') {
      // The name runs to the next %; reading stops once it is too long.
      std::size_t start = i + 1, end = start;
      while (end < script.size() && script[end] != L'%' && end - start <= kMaxVariableName) ++end;
      if (end - start > kMaxVariableName) {
        return Fail(failure, kEFail, line, L"a variable name is longer than 31 characters");
      }
      if (end == script.size()) return Fail(failure, kDispEException, line, L"a % has no closing %");
      std::wstring_view name = script.substr(start, end - start);
      i = end + 1;
      if (name.empty()) {
        out += L'%';
        continue;
      }
      const RegistrarVariable* found = nullptr;
      for (const auto& variable : variables) {
        if (Same(variable.name, name)) found = &variable;
      }
      if (found == nullptr) {
        return Fail(failure, kDispEException, line, Format(L"unknown variable %{}%", name));
      }
      out += found->value;
      continue;
    }
    if (c == L'\n') ++line;
    if (c == L'\'') quoted = !quoted;
    if (!quoted && c == L'{') ++depth;
    if (!quoted && c == L'}') {
      --depth;
      out += c;
      ++i;
      if (depth == 0 && inUserBlock) {
        out += kUserClassesClose;
        inUserBlock = false;
      }
      continue;
    }
    if (perUser && !quoted && depth == 0 && (i == 0 || IsSeparator(script[i - 1]))) {
      std::size_t end = i;
      while (end < script.size() && !IsSeparator(script[end])) ++end;
      std::wstring_view word = script.substr(i, end - i);
      if (Same(word, L"HKCR") || Same(word, L"HKEY_CLASSES_ROOT")) {
        out += kUserClassesOpen;
        inUserBlock = true;
        i = end;
        continue;
      }
    }
    out += c;
    ++i;
  }
  *text = std::move(out);
  return kSOk;
}

HResult RunRegistryScript(std::wstring_view script, RegistrarMode mode, const std::vector<RegistrarVariable>& variables,
                          bool perUser, RegistrarTarget& target, RegistrarFailure* failure) {
  RegistrarFailure local;
  HResult result = RunScript(script, mode, variables, perUser, target, &local);
  if (failure != nullptr) *failure = local;
  return result;
}

}  // namespace wl
