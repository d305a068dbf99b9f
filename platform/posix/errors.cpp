#include "platform/posix/errors.h"

#include <cerrno>

#include "platform/text_file.h"

namespace wl::platform::posix {

Win32Error Win32FromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOTEMPTY:
      return 145;  // ERROR_DIR_NOT_EMPTY
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case ELOOP:
      return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    case EXDEV:
      return 17;  // ERROR_NOT_SAME_DEVICE
    case EROFS:
      return 19;  // ERROR_WRITE_PROTECT
    case ENOSPC:
    case EDQUOT:
      return 112;  // ERROR_DISK_FULL
    case EFBIG:
      return 223;  // ERROR_FILE_TOO_LARGE
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case EIO:
      return 1117;  // ERROR_IO_DEVICE
    case ENOSYS:
    case EOPNOTSUPP:
      return 50;  // ERROR_NOT_SUPPORTED
    case EILSEQ:
      return 1113;  // ERROR_NO_UNICODE_TRANSLATION
    case ENOEXEC:
      return kErrorBadFormat;
    case ECHILD:
      return 128;  // ERROR_WAIT_NO_CHILDREN
    case ETIMEDOUT:
      return 1460;  // ERROR_TIMEOUT
    case EPIPE:
      return 109;  // ERROR_BROKEN_PIPE
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

int RuntimeErrnoFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    // The runtime reports these through DOS error codes that it maps as below.
    case ENOTDIR:
    case ELOOP:
      return kErrnoEnoent;
    case EISDIR:
    case ETXTBSY:
    case EPERM:
    case EROFS:
      return kErrnoEacces;
    case EDQUOT:
      return kErrnoEnospc;
    case EOVERFLOW:
      return kErrnoEfbig;
    // Numbers that the two tables share.
    case ENOENT:
      return kErrnoEnoent;
    case ESRCH:
      return 3;
    case EINTR:
      return 4;
    case EIO:
      return kErrnoEio;
    case ENXIO:
      return 6;
    case E2BIG:
      return 7;
    case ENOEXEC:
      return 8;
    case EBADF:
      return kErrnoEbadf;
    case ECHILD:
      return 10;
    case EAGAIN:
      return 11;
    case ENOMEM:
      return kErrnoEnomem;
    case EACCES:
      return kErrnoEacces;
    case EFAULT:
      return 14;
    case EBUSY:
      return 16;
    case EEXIST:
      return kErrnoEexist;
    case EXDEV:
      return 18;
    case ENODEV:
      return 19;
    case EINVAL:
      return kErrnoEinval;
    case ENFILE:
      return kErrnoEnfile;
    case EMFILE:
      return kErrnoEmfile;
    case ENOTTY:
      return 25;
    case EFBIG:
      return kErrnoEfbig;
    case ENOSPC:
      return kErrnoEnospc;
    case ESPIPE:
      return 29;
    case EMLINK:
      return 31;
    case EPIPE:
      return 32;
    case EDOM:
      return 33;
    case ERANGE:
      return 34;
    // Above 34 the two numberings part ways.
    case EDEADLK:
      return 36;
    case ENAMETOOLONG:
      return kErrnoEnametoolong;
    case ENOLCK:
      return 39;
    case ENOSYS:
    case EOPNOTSUPP:
      return 40;
    case ENOTEMPTY:
      return 41;
    case EILSEQ:
      return 42;
    default:
      return kErrnoEinval;
  }
}

}  // namespace wl::platform::posix
