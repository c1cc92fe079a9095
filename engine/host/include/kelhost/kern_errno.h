// Error numbers of the engine. The engine answers errno-style integers whose
// values are fixed by its callers (the interface library maps them to Win32
// codes by value), so they are spelled out here and do not depend on the
// host's <errno.h>.
#pragma once

// Int constants, not an enumeration: a name joins the int results beside
// it in a deduced type (a lambda's return type, std::min).
inline constexpr int KEL_EOK = 0;
inline constexpr int KEL_EPERM = 1;
inline constexpr int KEL_ENOENT = 2;
inline constexpr int KEL_EIO = 5;             // drive or store failure
inline constexpr int KEL_ENXIO = 6;           // channel or device gone (the drive layer: unformatted medium)
inline constexpr int KEL_E2BIG = 7;           // "Argument list too long" (full conversion buffer)
inline constexpr int KEL_EBADF = 9;           // a descriptor or handle that fails its checks
inline constexpr int KEL_EWRPROTECT = 11;     // write-protected medium (drive layer write paths)
inline constexpr int KEL_ENOMEM = 12;
inline constexpr int KEL_ENOTREADY = 13;      // drive not ready
inline constexpr int KEL_EFAULT = 14;
inline constexpr int KEL_EBUSY = 16;
inline constexpr int KEL_EEXIST = 17;
inline constexpr int KEL_ENODEV = 19;         // drive not open
inline constexpr int KEL_ENOTDIR = 20;
inline constexpr int KEL_EISDIR = 21;
inline constexpr int KEL_EINVAL = 22;
inline constexpr int KEL_ENOSPC = 28;
inline constexpr int KEL_EROFS = 30;
inline constexpr int KEL_ENAMELIMIT = 36;     // a name, path or folder depth beyond its limit
inline constexpr int KEL_ENOTEMPTY = 39;      // folder not empty
inline constexpr int KEL_EBADIOCTL = 56;      // unknown device control
inline constexpr int KEL_ENOINFO = 61;        // empty information cache
inline constexpr int KEL_ENAMETOOLONG = 63;   // "Argument list too long" of the bounded copies
inline constexpr int KEL_EILSEQ = 84;         // "Illegal byte sequence"
inline constexpr int KEL_ENOTSUP = 95;        // medium or format not supported
inline constexpr int KEL_ENOBUFS = 105;       // the caller's buffer is too small
inline constexpr int KEL_EINPROGRESS = 115;   // a listing goes on in the next call
inline constexpr int KEL_EBLANK = 123;        // blank medium that may not be formatted
inline constexpr int KEL_ETIMEDOUT = 138;     // timed wait expired; also no medium became ready at start-up
