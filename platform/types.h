// Windows notions that the portable code needs: result codes, HRESULTs and
// the local-time record. The numbers are those of the Windows headers, so the
// same values travel through both builds.
#pragma once

#include <cstdint>

namespace wl {

// A Win32 error code: 0 is success. A type of its own rather than an alias
// so that a result nobody looks at is a compiler warning; it converts to and
// from the number freely, so it reads and compares as one.
class [[nodiscard]] Win32Error {
 public:
  constexpr Win32Error() = default;
  constexpr Win32Error(std::uint32_t code) : code_(code) {}   // NOLINT(google-explicit-constructor)
  constexpr operator std::uint32_t() const { return code_; }  // NOLINT(google-explicit-constructor)

 private:
  std::uint32_t code_ = 0;
};

// A COM result code: negative is failure. A type of its own for the same
// reason as Win32Error.
class [[nodiscard]] HResult {
 public:
  constexpr HResult() = default;
  constexpr HResult(std::int32_t code) : code_(code) {}      // NOLINT(google-explicit-constructor)
  constexpr operator std::int32_t() const { return code_; }  // NOLINT(google-explicit-constructor)

 private:
  std::int32_t code_ = 0;
};

inline constexpr Win32Error kErrorSuccess = 0;
inline constexpr Win32Error kErrorFileNotFound = 2;
inline constexpr Win32Error kErrorPathNotFound = 3;
inline constexpr Win32Error kErrorAccessDenied = 5;
inline constexpr Win32Error kErrorInvalidHandle = 6;
inline constexpr Win32Error kErrorNotEnoughMemory = 8;
inline constexpr Win32Error kErrorInvalidData = 13;
inline constexpr Win32Error kErrorSharingViolation = 32;
inline constexpr Win32Error kErrorLockViolation = 33;
inline constexpr Win32Error kErrorBadNetPath = 53;
inline constexpr Win32Error kErrorNetNameDeleted = 64;
inline constexpr Win32Error kErrorFileExists = 80;
inline constexpr Win32Error kErrorInvalidParameter = 87;
inline constexpr Win32Error kErrorInvalidName = 123;
inline constexpr Win32Error kErrorBadPathname = 161;
inline constexpr Win32Error kErrorBadArguments = 160;
inline constexpr Win32Error kErrorAlreadyExists = 183;
inline constexpr Win32Error kErrorFilenameExcedRange = 206;
inline constexpr Win32Error kErrorMoreData = 234;
inline constexpr Win32Error kErrorNoMoreItems = 259;
inline constexpr Win32Error kErrorNotOwner = 288;
inline constexpr Win32Error kErrorNoAccess = 998;
inline constexpr Win32Error kErrorBadDb = 1009;
inline constexpr Win32Error kErrorCantRead = 1012;
inline constexpr Win32Error kErrorCantWrite = 1013;
inline constexpr Win32Error kErrorDirectory = 267;
inline constexpr Win32Error kErrorNoneMapped = 1332;
inline constexpr Win32Error kErrorInvalidSid = 1337;
inline constexpr Win32Error kErrorKeyDeleted = 1018;
inline constexpr Win32Error kErrorBadFormat = 11;
inline constexpr Win32Error kErrorDiskFull = 112;
inline constexpr Win32Error kErrorInsufficientBuffer = 122;
inline constexpr Win32Error kErrorInvalidServiceControl = 1052;
inline constexpr Win32Error kErrorServiceDoesNotExist = 1060;
inline constexpr Win32Error kErrorServiceCannotAcceptControl = 1061;
inline constexpr Win32Error kErrorServiceNotActive = 1062;
inline constexpr Win32Error kErrorFailedServiceControllerConnect = 1063;
inline constexpr Win32Error kErrorServiceMarkedForDelete = 1072;
inline constexpr Win32Error kErrorServiceExists = 1073;
inline constexpr Win32Error kErrorServiceNeverStarted = 1077;

// An HRESULT from its bits as the Windows headers write them (0x8...).
constexpr HResult HResultOfBits(std::uint32_t bits) { return HResult(static_cast<std::int32_t>(bits)); }

inline constexpr HResult kSOk = 0;
inline constexpr HResult kSFalse = 1;
inline constexpr HResult kEFail = HResultOfBits(0x80004005);
inline constexpr HResult kEPointer = HResultOfBits(0x80004003);
inline constexpr HResult kENoInterface = HResultOfBits(0x80004002);
inline constexpr HResult kEInvalidArg = HResultOfBits(0x80070057);
inline constexpr HResult kEOutOfMemory = HResultOfBits(0x8007000E);
inline constexpr HResult kClassENoAggregation = HResultOfBits(0x80040110);
inline constexpr HResult kDispEException = HResultOfBits(0x80020009);
inline constexpr HResult kDispEBadIndex = HResultOfBits(0x8002000B);
inline constexpr HResult kRpcEChangedMode = HResultOfBits(0x80010106);
inline constexpr HResult kRegdbEClassNotReg = HResultOfBits(0x80040154);
inline constexpr HResult kCoEServerExecFailure = HResultOfBits(0x80080005);
inline constexpr HResult kENotImpl = HResultOfBits(0x80004001);
inline constexpr HResult kEUnexpected = HResultOfBits(0x8000FFFF);
inline constexpr HResult kClassEClassNotAvailable = HResultOfBits(0x80040111);
inline constexpr HResult kCoENotInitialized = HResultOfBits(0x800401F0);
inline constexpr HResult kCoEObjNotConnected = HResultOfBits(0x800401FD);
inline constexpr HResult kRpcEDisconnected = HResultOfBits(0x80010108);
inline constexpr HResult kRpcETimeout = HResultOfBits(0x8001011F);
inline constexpr HResult kEAccessDenied = HResultOfBits(0x80070005);
inline constexpr HResult kDispEUnknownInterface = HResultOfBits(0x80020001);
inline constexpr HResult kDispEMemberNotFound = HResultOfBits(0x80020003);
inline constexpr HResult kDispEParamNotFound = HResultOfBits(0x80020004);
inline constexpr HResult kDispETypeMismatch = HResultOfBits(0x80020005);
inline constexpr HResult kDispEUnknownName = HResultOfBits(0x80020006);
inline constexpr HResult kDispENoNamedArgs = HResultOfBits(0x80020007);
inline constexpr HResult kDispEBadVarType = HResultOfBits(0x80020008);
inline constexpr HResult kDispEOverflow = HResultOfBits(0x8002000A);
inline constexpr HResult kDispEBadParamCount = HResultOfBits(0x8002000E);
inline constexpr HResult kDispEParamNotOptional = HResultOfBits(0x8002000F);
inline constexpr HResult kTypeELibNotRegistered = HResultOfBits(0x8002801D);
inline constexpr HResult kTypeEElementNotFound = HResultOfBits(0x8002802B);
inline constexpr HResult kTypeECantLoadLibrary = HResultOfBits(0x80029C4A);
inline constexpr HResult kRpcXNullRefPointer = HResultOfBits(0x800706F4);

// HRESULT_FROM_WIN32.
constexpr HResult HResultFromWin32(Win32Error code) {
  return code == 0 ? kSOk : HResultOfBits((code & 0xFFFFu) | 0x80070000u);
}

// The SYSTEMTIME record: local date and time with milliseconds.
struct LocalTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t dayOfWeek = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
};

}  // namespace wl
