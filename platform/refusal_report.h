// Where the layer reports what it refused to use because another account
// could have planted or changed it: a registry hive of the wrong owner, a
// service status file not written by the system account, a program that an
// activation would start from an untrusted place. Opens whose callers
// report their failures themselves (the log files, the daily fallback file)
// do not come here.
//
// The default sink writes each text with a line end to the debug output;
// the service host sends them to its diagnostic lines. The Windows layer
// refuses nothing this way (its files and keys carry access rules).
#pragma once

#include <cstdint>
#include <string_view>

namespace wl::platform {

using RefusalSink = void (*)(std::wstring_view text);

// Installs the sink (null restores the default). Any thread.
void SetRefusalSink(RefusalSink sink);

// Sends text, about the file or key at path, to the sink, unless the last
// report about that path had the same text and version (a number that
// changes when the refused thing changes, such as its file's identity), so
// that a refusal met on every read is reported once per change. Never call
// it with a lock held that the sink may need. Any thread.
void ReportRefusal(std::wstring_view path, std::wstring_view text, std::uint64_t version = 0);

}  // namespace wl::platform
