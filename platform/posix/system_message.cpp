// The system's English message texts (language 1033) of the Win32 codes and
// HRESULTs this system can meet, worded as Windows words them. Every text
// comes back with the CR LF ending that FormatMessageW gives it.
#include "platform/system_message.h"

#include <algorithm>
#include <iterator>

namespace wl::platform {
namespace {

struct SystemMessage {
  std::uint32_t code;
  const wchar_t* text;
};

// Sorted by code.
constexpr SystemMessage kMessages[] = {
    {0, L"The operation completed successfully."},
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {4, L"The system cannot open the file."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {11, L"An attempt was made to load a program with an incorrect format."},
    {13, L"The data is invalid."},
    {14, L"Not enough memory resources are available to complete this operation."},
    {15, L"The system cannot find the drive specified."},
    {17, L"The system cannot move the file to a different disk drive."},
    {18, L"There are no more files."},
    {19, L"The media is write protected."},
    {31, L"A device attached to the system is not functioning."},
    {32, L"The process cannot access the file because it is being used by another process."},
    {33, L"The process cannot access the file because another process has locked a portion of the file."},
    {38, L"Reached the end of the file."},
    {50, L"The request is not supported."},
    {53, L"The network path was not found."},
    {64, L"The specified network name is no longer available."},
    {80, L"The file exists."},
    {87, L"The parameter is incorrect."},
    {109, L"The pipe has been ended."},
    {112, L"There is not enough space on the disk."},
    {120, L"This function is not supported on this system."},
    {122, L"The data area passed to a system call is too small."},
    {123, L"The filename, directory name, or volume label syntax is incorrect."},
    {126, L"The specified module could not be found."},
    {127, L"The specified procedure could not be found."},
    {128, L"There are no child processes to wait for."},
    {145, L"The directory is not empty."},
    {160, L"One or more arguments are not correct."},
    {161, L"The specified path is invalid."},
    {170, L"The requested resource is in use."},
    {183, L"Cannot create a file when that file already exists."},
    {206, L"The filename or extension is too long."},
    {223, L"The file size exceeds the limit allowed and cannot be saved."},
    {234, L"More data is available."},
    {259, L"No more data is available."},
    {267, L"The directory name is invalid."},
    {998, L"Invalid access to memory location."},
    {1004, L"Invalid flags."},
    {1009, L"The configuration registry database is corrupt."},
    {1010, L"The configuration registry key is invalid."},
    {1011, L"The configuration registry key could not be opened."},
    {1012, L"The configuration registry key could not be read."},
    {1013, L"The configuration registry key could not be written."},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion."},
    {1051, L"A stop control has been sent to a service that other running services are dependent on."},
    {1052, L"The requested control is not valid for this service."},
    {1053, L"The service did not respond to the start or control request in a timely fashion."},
    {1054, L"A thread could not be created for the service."},
    {1055, L"The service database is locked."},
    {1056, L"An instance of the service is already running."},
    {1057,
     L"The account name is invalid or does not exist, or the password is invalid for the account name "
     L"specified."},
    {1058,
     L"The service cannot be started, either because it is disabled or because it has no enabled "
     L"devices associated with it."},
    {1060, L"The specified service does not exist as an installed service."},
    {1061, L"The service cannot accept control messages at this time."},
    {1062, L"The service has not been started."},
    {1063, L"The service process could not connect to the service controller."},
    {1066, L"The service has returned a service-specific error code."},
    {1067, L"The process terminated unexpectedly."},
    {1072, L"The specified service has been marked for deletion."},
    {1073, L"The specified service already exists."},
    {1113, L"No mapping for the Unicode character exists in the target multi-byte code page."},
    {1117, L"The request could not be performed because of an I/O device error."},
    {1168, L"Element not found."},
    {1332, L"No mapping between account names and security IDs was done."},
    {1460, L"This operation returned because the timeout period expired."},
    {1921, L"The name of the file cannot be resolved by the system."},
    {0x80004001, L"Not implemented"},
    {0x80004002, L"No such interface supported"},
    {0x80004003, L"Invalid pointer"},
    {0x80004004, L"Operation aborted"},
    {0x80004005, L"Unspecified error"},
    {0x8000FFFF, L"Catastrophic failure"},
    {0x80010105, L"The server threw an exception."},
    {0x80010106, L"Cannot change thread mode after it is set."},
    {0x80010108, L"The object invoked has disconnected from its clients."},
    {0x80010119,
     L"Security must be initialized before any interfaces are marshalled or unmarshalled. It "
     L"cannot be changed once initialized."},
    {0x8001011F, L"This operation returned because the timeout period expired."},
    {0x80020003, L"Member not found."},
    {0x80020004, L"Parameter not found."},
    {0x80020005, L"Type mismatch."},
    {0x80020006, L"Unknown name."},
    {0x80020008, L"Bad variable type."},
    {0x80020009, L"Exception occurred."},
    {0x8002000B, L"Invalid index."},
    {0x8002000E, L"Invalid number of parameters."},
    {0x8002801D, L"Library not registered."},
    {0x8002802B, L"Element not found."},
    {0x80029C4A, L"Error loading type library/DLL."},
    {0x80040110, L"Class does not support aggregation (or class object is remote)"},
    {0x80040111, L"ClassFactory cannot supply requested class"},
    {0x80040154, L"Class not registered"},
    {0x800401F0, L"CoInitialize has not been called."},
    {0x800401F3, L"Invalid class string"},
    {0x80080005, L"Server execution failed"},
};

static_assert(std::is_sorted(std::begin(kMessages), std::end(kMessages),
                             [](const SystemMessage& a, const SystemMessage& b) { return a.code < b.code; }));

}  // namespace

std::wstring FormatSystemMessage(std::uint32_t code) {
  // An HRESULT of facility Win32 carries its Win32 code in the low word and
  // has that code's text.
  if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFFu;
  auto found = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                                [](const SystemMessage& message, std::uint32_t value) { return message.code < value; });
  if (found == std::end(kMessages) || found->code != code) return {};
  return std::wstring(found->text) + L"\r\n";
}

}  // namespace wl::platform
