// Error numbers of the engine. The engine answers errno-style integers whose
// values are fixed by its callers (the interface library maps them to Win32
// codes by value), so they are spelled out here and do not depend on the
// host's <errno.h>.
#pragma once

enum : int {
  KEL_EOK = 0,
  KEL_EPERM = 1,
  KEL_ENOENT = 2,
  KEL_EIO = 5,              // drive or store failure
  KEL_E2BIG = 7,            // "Argument list too long" (full conversion buffer)
  KEL_EWRPROTECT = 11,      // write-protected medium (drive layer write paths)
  KEL_ENOMEM = 12,
  KEL_ENOTREADY = 13,       // drive not ready
  KEL_EFAULT = 14,
  KEL_EBUSY = 16,
  KEL_EEXIST = 17,
  KEL_ENODEV = 19,          // drive not open
  KEL_ENOTDIR = 20,
  KEL_EISDIR = 21,
  KEL_EINVAL = 22,
  KEL_ENOSPC = 28,
  KEL_EROFS = 30,
  KEL_EBADIOCTL = 56,       // unknown device control
  KEL_ENOINFO = 61,         // empty information cache
  KEL_ENAMETOOLONG = 63,    // "Argument list too long" of the bounded copies
  KEL_EILSEQ = 84,          // "Illegal byte sequence"
  KEL_ENOTSUP = 95,         // medium or format not supported
  KEL_EBLANK = 123,         // blank medium that may not be formatted
  KEL_ETIMEDOUT = 138,      // timed wait expired; also no medium became ready at start-up
};
