#include "tools/scribe_tool.h"

#include <algorithm>
#include <filesystem>

#include "ScribeHost.h"
#include "com/com.h"
#include "diagnostics/error_text.h"
#include "diagnostics/format.h"
#include "diagnostics/path_data.h"
#include "logclient/trace_log_manager_type.h"
#include "platform/file_system.h"
#include "platform/replace_file.h"
#include "platform/system.h"
#include "platform/text.h"

namespace wl {
namespace {

using platform::RegistryNamesEqual;

constexpr std::wstring_view kSourcesHint = L" (\"scribe level\" lists the sources)";
constexpr std::wstring_view kLevelsHint =
    L" (levels: 0 to 6, or Global, Critical, Error, Warning, Info, Debug, Debug2)";

// The backups of a log file, newest first, then the two former names.
constexpr std::wstring_view kGenerations[] = {L"_old", L"_older", L"_oldest"};
constexpr std::wstring_view kFormerNames[] = {L".log.1", L".log.2"};
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::wstring Quoted(std::wstring_view text) {
  // Arguments may be huge; an error message shows their start.
  constexpr std::size_t kShown = 60;
  std::wstring shown(text.substr(0, kShown));
  if (text.size() > kShown) shown += L"...";
  return L"\"" + shown + L"\"";
}

std::wstring HResultText(HRESULT result) {
  std::wstring text = SystemMessageText(static_cast<std::uint32_t>(result));
  std::wstring code = Format(L"0x{:08x}", static_cast<std::uint32_t>(result));
  return text.empty() ? code : text + L" (" + code + L")";
}

std::wstring LevelDescription(std::uint32_t level) {
  LevelText text = LookupLevel(static_cast<LevelNumber>(level));
  if (level >= kLevelCount || text.name.empty()) return std::to_wstring(level);
  return Format(L"{} {}", level, text.name);
}

std::wstring FilePathOf(const std::wstring& folder, std::uint16_t index, std::wstring_view suffix) {
  return platform::JoinPath(folder, std::wstring(LogFileBaseName(index)) + std::wstring(suffix));
}

// One open of a file: its first bytes and the bytes from an offset to its
// end, read together so that both come from the same file.
struct FileRead {
  std::string head;
  std::string rest;
  std::uint64_t size = 0;
};

// Read as every file the layer keeps is read: a link, a FIFO or a file of
// another ordinary user under a log file's name is not opened.
std::optional<FileRead> ReadFile(const std::wstring& path, std::size_t headSize, std::uint64_t from) {
  FileRead read;
  if (platform::ReadFileParts(path, headSize, from, &read.head, &read.rest, &read.size) != kErrorSuccess) {
    return std::nullopt;
  }
  return read;
}

// Follows one log file by name across rotation. The file being read is
// known by its first bytes (the byte-order mark and the first line, with
// its time to the millisecond): when the name holds another file, the
// followed one has become a backup, whose rest is printed before the
// newer backups and the new current file. Nothing stays open between
// polls, so the service can always rename or delete the file.
class Follower {
 public:
  Follower(std::wstring folder, std::uint16_t index, const cli::Console& console, std::uint32_t pollMilliseconds)
      : folder_(std::move(folder)), index_(index), console_(console), pollMilliseconds_(pollMilliseconds) {}

  int Run(std::size_t lastLines) {
    std::wstring path = FilePathOf(folder_, index_, L".log");
    if (std::optional<FileRead> first = ReadFile(path, kHeadSize, 0)) {
      std::string_view whole = first->rest;
      std::size_t end = whole.rfind('\n');
      end = end == std::string_view::npos ? 0 : end + 1;
      std::size_t start = end;
      for (std::size_t taken = 0; taken < lastLines && start > 0; ++taken) {
        std::size_t previous = start >= 2 ? whole.rfind('\n', start - 2) : std::string_view::npos;
        start = previous == std::string_view::npos ? 0 : previous + 1;
      }
      if (!Print(whole.substr(start, end - start), start == 0)) return Closed();
      offset_ = end;
      KeepHead(first->head);
      attached_ = true;
    }
    while (console_.running()) {
      if (!Poll()) return Closed();
      platform::SleepMilliseconds(pollMilliseconds_);
    }
    return cli::kExitDone;
  }

 private:
  static constexpr std::size_t kHeadSize = 256;

  bool Poll() {
    std::wstring path = FilePathOf(folder_, index_, L".log");
    std::optional<FileRead> current = ReadFile(path, kHeadSize, offset_);
    if (current && attached_ && IsFollowed(*current)) return Continue(*current, false);
    if (attached_) {
      // Renamed by a rotation (one or more since the last poll), or deleted
      // by a reset: then the lines it held are gone on purpose.
      for (std::size_t found = 0; found < std::size(kGenerations); ++found) {
        std::optional<FileRead> backup =
            ReadFile(FilePathOf(folder_, index_, std::wstring(kGenerations[found]) + L".log"), kHeadSize, offset_);
        if (!backup || !IsFollowed(*backup)) continue;
        if (!Continue(*backup, true)) return false;
        for (std::size_t newer = found; newer-- > 0;) {
          std::optional<FileRead> whole =
              ReadFile(FilePathOf(folder_, index_, std::wstring(kGenerations[newer]) + L".log"), 0, 0);
          if (whole && !Print(whole->rest, true)) return false;
        }
        break;
      }
    }
    attached_ = false;
    head_.clear();
    offset_ = 0;
    if (!current) return true;
    current = ReadFile(path, kHeadSize, 0);
    if (!current) return true;
    attached_ = true;
    return Continue(*current, false);
  }

  // The file at a name is the one being followed when it starts with the
  // bytes seen at its start and has not shrunk.
  [[nodiscard]] bool IsFollowed(const FileRead& read) const {
    return read.size >= offset_ && read.head.size() >= head_.size() && read.head.starts_with(head_);
  }

  // Prints what was added since the last poll: whole lines only, unless the
  // file is finished (a backup), where a last partial line is printed too.
  bool Continue(const FileRead& read, bool finished) {
    std::string_view added = read.rest;
    if (!finished) {
      std::size_t end = added.rfind('\n');
      added = added.substr(0, end == std::string_view::npos ? 0 : end + 1);
    }
    bool atStart = offset_ == 0;
    offset_ += added.size();
    KeepHead(read.head);
    return Print(added, atStart);
  }

  // Only bytes already read identify the file: a byte-order mark alone,
  // written before the first line, would match any new file.
  void KeepHead(const std::string& head) {
    std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), offset_));
    if (size > head_.size()) head_ = head.substr(0, size);
  }

  bool Print(std::string_view bytes, bool atFileStart) {
    if (bytes.empty()) return true;
    return console_.out(PrintableLogBytes(bytes, atFileStart));
  }

  [[nodiscard]] int Closed() const {
    console_.err(L"scribe: the standard output cannot be written.\n");
    return cli::kExitFailed;
  }

  std::wstring folder_;
  std::uint16_t index_;
  const cli::Console& console_;
  std::uint32_t pollMilliseconds_;
  bool attached_ = false;
  std::string head_;
  std::uint64_t offset_ = 0;
};

// Joins the multithreaded apartment for the life of a command.
struct Apartment {
  Apartment() : result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~Apartment() {
    if (SUCCEEDED(result)) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  HRESULT result;
};

// The one TraceLogManager object, held for the life of a command.
class ServiceObject {
 public:
  ServiceObject() = default;
  ~ServiceObject() {
    if (manager_ != nullptr) manager_->Release();
  }
  ServiceObject(const ServiceObject&) = delete;
  ServiceObject& operator=(const ServiceObject&) = delete;

  HRESULT Connect() {
    if (FAILED(apartment_.result)) return apartment_.result;
    platform::AddBuiltInTypeLibrary(ScribeHostTypeLib());
    IUnknown* unknown = nullptr;
    HRESULT result = CoCreateInstance(CLSID_TraceLogManager, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                      reinterpret_cast<void**>(&unknown));
    if (FAILED(result)) return result;
    result = OleRun(unknown);
    if (SUCCEEDED(result)) {
      result = unknown->QueryInterface(IID_ITraceLogManager, reinterpret_cast<void**>(&manager_));
    }
    unknown->Release();
    return result;
  }
  ITraceLogManager* operator->() const { return manager_; }

 private:
  Apartment apartment_;
  ITraceLogManager* manager_ = nullptr;
};

struct Options {
  std::vector<std::wstring> positional;
  std::optional<std::wstring> source;
  std::optional<std::wstring> level;
  std::optional<std::wstring> lines;
  bool help = false;
};

struct CommandSpec {
  std::wstring_view name;
  std::wstring_view valueOptions;  // letters of the options that take a value: "sl", "n"
  std::size_t minPositional;
  std::size_t maxPositional;
  std::wstring_view usage;
  std::wstring_view help;
};

constexpr std::size_t kAny = ~std::size_t{0};

const CommandSpec kSpecs[] = {
    {L"log", L"sl", 0, kAny, L"scribe log [-s SOURCE] [-l LEVEL] [--] [TEXT...]",
     L"Logs one message, the TEXT arguments joined by blanks, or without TEXT\n"
     L"one message per line of the standard input.\n"
     L"\n"
     L"  -s, --source SOURCE  a source name (Lookout) or number 0 to 36; default 1 (Wayline)\n"
     L"  -l, --level LEVEL    a level name (Warning), letter (W) or number 0 to 6;\n"
     L"                       default 4 (Info)\n"
     L"\n"
     L"A message that the source's level filters out is still a success. A text\n"
     L"longer than 524288 characters goes as several messages.\n"},
    {L"level", L"", 0, 2, L"scribe level [[SOURCE] LEVEL]",
     L"Without arguments shows the global level and the level of each source (a\n"
     L"source at 0 follows the global level). With LEVEL sets the global level; with\n"
     L"SOURCE and LEVEL sets that source's level (0 or Global: follow the global\n"
     L"level again). Levels last until the service ends.\n"},
    {L"reset", L"", 0, 0, L"scribe reset",
     L"Closes and deletes the log files that the service has open; the next line\n"
     L"for each starts a new file. Backups stay.\n"},
    {L"files", L"", 0, 0, L"scribe files",
     L"Shows the data folder, then each component's log file and its backups with\n"
     L"their sizes in bytes (\"-\": the file does not exist yet). Needs no service.\n"},
    {L"follow", L"n", 1, 1, L"scribe follow [-n LINES] COMPONENT",
     L"Prints the last LINES lines (default 10) of a component's log file, then\n"
     L"every line added, across rotation, until interrupted (Ctrl-C). COMPONENT is\n"
     L"a file's base name (Tunnel, WaylineSvc) or a source whose file it is.\n"},
};

class Tool {
 public:
  Tool(const cli::Console& console, std::uint32_t pollMilliseconds)
      : console_(console), pollMilliseconds_(pollMilliseconds) {}

  int Run(const std::vector<std::wstring>& arguments) {
    if (arguments.empty()) return Usage(L"Name a command: log, level, reset, files or follow.");
    const std::wstring& command = arguments.front();
    if (cli::IsHelp(command, cli::Habits::kUnix)) return Help(nullptr);
    for (const CommandSpec& form : kSpecs) {
      if (!RegistryNamesEqual(command, form.name)) continue;
      Options options;
      if (!Parse({arguments.begin() + 1, arguments.end()}, form, &options)) return cli::kExitUsage;
      if (options.help) return Help(&form);
      if (form.name == L"log") return Log(options);
      if (form.name == L"level") return Level(options);
      if (form.name == L"reset") return Reset();
      if (form.name == L"files") return Files();
      return Follow(options);
    }
    return Usage(L"Unknown command " + Quoted(command) + L" (use log, level, reset, files or follow).");
  }

 private:
  [[nodiscard]] bool Out(std::wstring_view text) const { return console_.Print(text); }

  [[nodiscard]] int Usage(std::wstring_view message) const {
    console_.err(L"scribe: " + std::wstring(message) + L"\nType \"scribe --help\" for usage.\n");
    return cli::kExitUsage;
  }

  [[nodiscard]] int Fail(std::wstring_view message) const {
    console_.err(L"scribe: " + std::wstring(message) + L"\n");
    return cli::kExitFailed;
  }

  [[nodiscard]] int OutputClosed() const { return Fail(L"the standard output cannot be written."); }

  int Help(const CommandSpec* form) const {
    std::wstring text;
    if (form == nullptr) {
      text =
          L"scribe: logs to the Wayline log service, shows and sets its levels, and\n"
          L"shows and follows its log files.\n\n";
      for (const CommandSpec& each : kSpecs) text += L"  " + std::wstring(each.usage) + L"\n";
      text +=
          L"\n"
          L"SOURCE  a source name (Lookout) or number 0 to 36; \"scribe level\" lists them\n"
          L"LEVEL   a level name (Warning), its letter (W) or number 0 to 6\n"
          L"\"scribe COMMAND --help\" tells more about a command.\n"
          L"\n"
          L"Exit status: 0 done; 1 the service refused a call, or a file or the standard\n"
          L"output failed; 2 bad command line; 3 the log service cannot be reached.\n";
    } else {
      text = L"Usage: " + std::wstring(form->usage) + L"\n\n" + std::wstring(form->help);
    }
    return Out(text) ? cli::kExitDone : OutputClosed();
  }

  bool Parse(const std::vector<std::wstring>& arguments, const CommandSpec& form, Options* options) const {
    struct Named {
      wchar_t letter;
      std::wstring_view longName;
      std::optional<std::wstring> Options::*field;
    };
    static constexpr Named kNamed[] = {{L's', L"--source", &Options::source},
                                       {L'l', L"--level", &Options::level},
                                       {L'n', L"--lines", &Options::lines}};
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      const std::wstring& argument = arguments[i];
      if (!optionsEnded && cli::IsHelp(argument, cli::Habits::kUnix)) {
        options->help = true;
        return true;
      }
      if (!optionsEnded && argument == L"--") {
        optionsEnded = true;
        continue;
      }
      if (optionsEnded || argument.size() < 2 || argument[0] != L'-') {
        options->positional.push_back(argument);
        continue;
      }
      const Named* named = nullptr;
      std::optional<std::wstring> inlineValue;
      for (const Named& candidate : kNamed) {
        if (form.valueOptions.find(candidate.letter) == std::wstring_view::npos) continue;
        std::wstring shortName = std::wstring(L"-") + candidate.letter;
        if (argument == shortName || argument == candidate.longName) {
          named = &candidate;
        } else if (argument.starts_with(std::wstring(candidate.longName) + L"=")) {
          named = &candidate;
          inlineValue = argument.substr(candidate.longName.size() + 1);
        }
        if (named != nullptr) break;
      }
      if (named == nullptr) {
        // A negative number is a value, not an option: the check of the
        // value then says what is wrong with it.
        if (argument[1] >= L'0' && argument[1] <= L'9') {
          options->positional.push_back(argument);
          continue;
        }
        (void)Usage(Quoted(argument) + L" is not an option of " + std::wstring(form.name) + L".");
        return false;
      }
      std::optional<std::wstring>& field = options->*(named->field);
      if (field) {
        (void)Usage(std::wstring(named->longName) + L" is given twice.");
        return false;
      }
      if (!inlineValue) {
        if (i + 1 >= arguments.size()) {
          (void)Usage(std::wstring(named->longName) + L" needs a value.");
          return false;
        }
        inlineValue = arguments[++i];
      }
      field = std::move(inlineValue);
    }
    std::size_t count = options->positional.size();
    if (count < form.minPositional || count > form.maxPositional) {
      (void)Usage(L"Usage: " + std::wstring(form.usage));
      return false;
    }
    return true;
  }

  // Reaches the service, or says why not (and, for `log`, that nothing was
  // delivered).
  int Connect(ServiceObject& object, bool logging = false) const {
    HRESULT result = object.Connect();
    if (SUCCEEDED(result)) return cli::kExitDone;
    std::wstring text = L"scribe: the log service cannot be reached: " + HResultText(result) + L".\n";
    if (logging) text += L"No message was delivered.\n";
    if (result == E_ACCESSDENIED) {
      text +=
          L"Something other than the log service answers on its class socket (see the message above);\n"
          L"nothing was sent to it. Tell the machine's administrator.\n";
    } else if (result == RPC_E_TIMEOUT) {
      text += L"The log service took no connection or gave no answer in time (see the message above).\n";
    } else if (result == RPC_E_DISCONNECTED) {
      text +=
          L"The log service closed the connection at once: it may be at its limit of connections, in all\n"
          L"or for this user (see the message above).\n";
    } else {
      text +=
          L"Start ScribeHost (or register it, \"ScribeHost -RegServer\" or \"ScribeHost -Service\"),\n"
          L"and check that this program uses the same machine root (WAYLINE_ROOT on Linux).\n";
    }
    console_.err(text);
    return kScribeUnreachable;
  }

  [[nodiscard]] int CallFailed(std::wstring_view what, HRESULT result) const {
    std::wstring text = std::wstring(what) + L" failed: " + HResultText(result) + L".";
    if (result == E_ACCESSDENIED) {
      text += L"\nThe log service lets only SYSTEM change levels and reset the logs (RestrictControl).";
    }
    return Fail(text);
  }

  [[nodiscard]] int Log(const Options& options) const {
    SourceNumber source = 1;
    LevelNumber level = 4;
    std::wstring message;
    if (options.source) {
      std::optional<SourceNumber> parsed = ParseSourceArgument(*options.source, &message);
      if (!parsed) return Usage(message);
      source = *parsed;
    }
    if (options.level) {
      std::optional<LevelNumber> parsed = ParseLevelArgument(*options.level, &message);
      if (!parsed) return Usage(message);
      level = *parsed;
    }
    ServiceObject object;
    if (int code = Connect(object, true)) return code;
    std::size_t sent = 0;
    auto send = [&](std::wstring_view text) {
      for (std::wstring_view piece : SplitMessage(text)) {
        platform::OwnedBstr bstr(piece);
        if (bstr.Get() == nullptr && !piece.empty()) return E_OUTOFMEMORY;
        HRESULT result = object->LogMsg(source, level, bstr.Get());
        if (FAILED(result)) return result;
        ++sent;
      }
      return S_OK;
    };
    auto failed = [&](HRESULT result) {
      return Fail(Format(L"logging failed after {} message(s) were logged: {}. The rest were not delivered.", sent,
                         HResultText(result)));
    };
    if (!options.positional.empty()) {
      std::wstring text;
      for (const std::wstring& part : options.positional) text += (text.empty() ? L"" : L" ") + part;
      if (HRESULT result = send(text); FAILED(result)) return failed(result);
      return cli::kExitDone;
    }
    while (std::optional<std::string> line = console_.readLine()) {
      if (!line->empty() && line->back() == '\r') line->pop_back();
      if (HRESULT result = send(platform::WideFromUtf8(*line)); FAILED(result)) return failed(result);
    }
    return cli::kExitDone;
  }

  [[nodiscard]] int Level(const Options& options) const {
    std::wstring message;
    std::optional<SourceNumber> source;
    std::optional<LevelNumber> level;
    if (options.positional.size() == 2) {
      source = ParseSourceArgument(options.positional[0], &message);
      if (!source) return Usage(message);
    }
    if (!options.positional.empty()) {
      level = ParseLevelArgument(options.positional.back(), &message);
      if (!level) return Usage(message);
    }
    ServiceObject object;
    if (int code = Connect(object)) return code;
    if (source) {
      HRESULT result = object->SetComponentLogLevel(*source, *level);
      return FAILED(result) ? CallFailed(L"setting the level", result) : cli::kExitDone;
    }
    if (level) {
      HRESULT result = object->SetLogLevel(*level);
      return FAILED(result) ? CallFailed(L"setting the level", result) : cli::kExitDone;
    }
    ULONG global = 0;
    if (HRESULT result = object->GetLogLevel(&global); FAILED(result)) return CallFailed(L"reading the level", result);
    std::wstring text =
        Format(L"Global level: {}\n\n{:>3}  {:<12}  {}\n", LevelDescription(global), L"", L"Source", L"Level");
    for (SourceNumber each = 0; each < kSourceCount; ++each) {
      ULONG own = 0;
      if (HRESULT result = object->GetComponentLogLevel(each, &own); FAILED(result)) {
        return CallFailed(L"reading the level", result);
      }
      text += Format(L"{:>3}  {:<12}  {}\n", each, LogSource{each},
                     own == 0 ? std::wstring(L"follows global") : LevelDescription(own));
    }
    return Out(text) ? cli::kExitDone : OutputClosed();
  }

  [[nodiscard]] int Reset() const {
    ServiceObject object;
    if (int code = Connect(object)) return code;
    HRESULT result = object->ResetLogs();
    return FAILED(result) ? CallFailed(L"resetting the logs", result) : cli::kExitDone;
  }

  // The data folder, which must exist: a reading command creates nothing,
  // not even in a machine root that was mistyped. Empty after a failure,
  // which it reports.
  [[nodiscard]] std::wstring ExistingDataFolder() const {
    std::wstring folder = LocateDataFolder();
    if (folder.empty()) {
      (void)Fail(L"the data folder cannot be found.");
    } else if ((platform::GetPathAttributes(folder).ValueOr(0) & platform::kFileAttributeDirectory) == 0) {
      (void)Fail(L"the data folder cannot be found: " + folder +
                 L" does not exist.\nCheck that this program uses the service's machine root (WAYLINE_ROOT on Linux).");
      folder.clear();
    }
    return folder;
  }

  [[nodiscard]] int Files() const {
    std::wstring folder = ExistingDataFolder();
    if (folder.empty()) return cli::kExitFailed;
    std::wstring text = L"Data folder: " + folder + L"\n";
    auto line = [&](const std::wstring& name, bool current) {
      std::error_code error;
      std::uintmax_t size = std::filesystem::file_size(cli::FilePath(platform::JoinPath(folder, name)), error);
      if (error && !current) return;
      text +=
          Format(L"{:<24} {:>10}\n", current ? name : L"  " + name, error ? std::wstring(L"-") : std::to_wstring(size));
    };
    for (std::uint16_t index = 0; index < kLogFileCount; ++index) {
      std::wstring base(LogFileBaseName(index));
      line(base + L".log", true);
      for (std::wstring_view generation : kGenerations) line(base + std::wstring(generation) + L".log", false);
      for (std::wstring_view former : kFormerNames) line(base + std::wstring(former), false);
    }
    return Out(text) ? cli::kExitDone : OutputClosed();
  }

  [[nodiscard]] int Follow(const Options& options) const {
    std::wstring message;
    std::optional<std::uint16_t> index = ParseComponentArgument(options.positional[0], &message);
    if (!index) return Usage(message);
    std::size_t lines = 10;
    if (options.lines) {
      std::optional<std::uint64_t> parsed = cli::ParseNumber(*options.lines, 1000000);
      if (!parsed) return Usage(L"--lines takes a number from 0 to 1000000, not " + Quoted(*options.lines) + L".");
      lines = static_cast<std::size_t>(*parsed);
    }
    std::wstring folder = ExistingDataFolder();
    if (folder.empty()) return cli::kExitFailed;
    return Follower(std::move(folder), *index, console_, pollMilliseconds_).Run(lines);
  }

  const cli::Console& console_;
  std::uint32_t pollMilliseconds_;
};

}  // namespace

int RunScribeTool(const std::vector<std::wstring>& arguments, const cli::Console& console,
                  std::uint32_t pollMilliseconds) {
  return Tool(console, pollMilliseconds).Run(arguments);
}

std::optional<SourceNumber> ParseSourceArgument(std::wstring_view text, std::wstring* message) {
  if (std::optional<std::uint64_t> number = cli::ParseNumber(text, ~std::uint64_t{0})) {
    if (*number < kSourceCount) return static_cast<SourceNumber>(*number);
    *message = L"There is no source " + std::wstring(text) + L": sources are numbered 0 to 36.";
    return std::nullopt;
  }
  std::vector<SourceNumber> found;
  for (SourceNumber source = 0; source < kSourceCount; ++source) {
    if (RegistryNamesEqual(text, LookupSourceName(source))) found.push_back(source);
  }
  if (found.size() == 1) return found.front();
  if (found.empty()) {
    *message = L"Unknown source " + Quoted(text) + std::wstring(kSourcesHint) + L".";
  } else {
    *message = Format(L"The source name {} is shared by sources {} and {}: give the number.", Quoted(text), found[0],
                      found[1]);
  }
  return std::nullopt;
}

std::optional<LevelNumber> ParseLevelArgument(std::wstring_view text, std::wstring* message) {
  if (std::optional<std::uint64_t> number = cli::ParseNumber(text, ~std::uint64_t{0})) {
    if (*number < kLevelCount) return static_cast<LevelNumber>(*number);
    *message = L"There is no level " + std::wstring(text) + std::wstring(kLevelsHint) + L".";
    return std::nullopt;
  }
  for (LevelNumber level = 0; level < kLevelCount; ++level) {
    LevelText names = LookupLevel(level);
    if (RegistryNamesEqual(text, names.name) || RegistryNamesEqual(text, names.code)) return level;
  }
  *message = L"Unknown level " + Quoted(text) + std::wstring(kLevelsHint) + L".";
  return std::nullopt;
}

std::optional<std::uint16_t> ParseComponentArgument(std::wstring_view text, std::wstring* message) {
  std::wstring_view base = text;
  if (base.size() > 4 && RegistryNamesEqual(base.substr(base.size() - 4), L".log")) base.remove_suffix(4);
  for (std::uint16_t index = 0; index < kLogFileCount; ++index) {
    if (RegistryNamesEqual(base, LogFileBaseName(index))) return index;
  }
  std::wstring sourceMessage;
  if (std::optional<SourceNumber> source = ParseSourceArgument(text, &sourceMessage)) {
    return FileIndexForSource(*source);
  }
  *message = L"Unknown component " + Quoted(text) +
             L": give a log file's name (\"scribe files\" lists them) or a source" + std::wstring(kSourcesHint) + L".";
  return std::nullopt;
}

std::vector<std::wstring_view> SplitMessage(std::wstring_view text, std::size_t limit) {
  std::vector<std::wstring_view> pieces;
  do {
    std::size_t cut = std::min(limit, text.size());
    // Keep a surrogate pair (Windows' wide text) together.
    if (cut < text.size() && cut > 1 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
    pieces.push_back(text.substr(0, cut));
    text.remove_prefix(cut);
  } while (!text.empty());
  return pieces;
}

std::string PrintableLogBytes(std::string_view bytes, bool atFileStart) {
  if (atFileStart && bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  std::string printable;
  printable.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    printable += bytes[i];
  }
  return printable;
}

}  // namespace wl
