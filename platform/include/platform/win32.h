// Basic Windows-compatible types, error codes and the thread's last error.
// Sizes follow the Windows LLP64 model: DWORD and LONG are 32 bits everywhere.
#pragma once

#include <cstdint>
#include <cstddef>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using BOOLEAN = std::uint8_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using DWORD64 = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using HRESULT = std::int32_t;
using NTSTATUS = std::int32_t;
using WCHAR = char16_t;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(WCHAR) == 2, "LLP64 sizes");

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Win32 error codes used across the system.
enum : DWORD {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_TOO_MANY_OPEN_FILES = 4,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INVALID_DATA = 13,
  ERROR_OUTOFMEMORY = 14,
  ERROR_NOT_READY = 21,
  ERROR_BAD_COMMAND = 22,
  ERROR_CRC = 23,
  ERROR_BAD_LENGTH = 24,
  ERROR_WRITE_FAULT = 29,
  ERROR_READ_FAULT = 30,
  ERROR_GEN_FAILURE = 31,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_HANDLE_EOF = 38,
  ERROR_HANDLE_DISK_FULL = 39,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_FILE_EXISTS = 80,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_DRIVE_LOCKED = 108,  // the medium is in use by another process
  ERROR_BROKEN_PIPE = 109,
  ERROR_DISK_FULL = 112,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_INVALID_NAME = 123,
  ERROR_MOD_NOT_FOUND = 126,
  ERROR_PROC_NOT_FOUND = 127,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_BUSY = 170,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_PIPE_BUSY = 231,
  ERROR_NO_DATA = 232,
  ERROR_PIPE_NOT_CONNECTED = 233,
  ERROR_MORE_DATA = 234,
  ERROR_NO_MORE_ITEMS = 259,
  ERROR_DIRECTORY = 267,
  ERROR_OPERATION_ABORTED = 995,
  ERROR_IO_INCOMPLETE = 996,
  ERROR_IO_PENDING = 997,
  ERROR_NOACCESS = 998,
  ERROR_CANTOPEN = 1011,
  ERROR_CANTREAD = 1012,
  ERROR_CANTWRITE = 1013,
  ERROR_REGISTRY_CORRUPT = 1015,
  ERROR_REGISTRY_IO_FAILED = 1016,
  ERROR_KEY_DELETED = 1018,
  ERROR_SERVICE_ALREADY_RUNNING = 1056,
  ERROR_IO_DEVICE = 1117,
  ERROR_NOT_FOUND = 1168,
  ERROR_INTERNAL_ERROR = 1359,
  ERROR_UNSUPPORTED_TYPE = 1630,  // a typed registry read met a value of another type
  ERROR_TIMEOUT = 1460,
  ERROR_INVALID_DATATYPE = 1804,
  ERROR_SEM_TIMEOUT = 121,
  ERROR_WRITE_PROTECT = 19,
  ERROR_MEDIA_CHANGED = 1110,
  ERROR_NO_MEDIA_IN_DRIVE = 1112,
  ERROR_UNRECOGNIZED_MEDIA = 1785,
  WAIT_TIMEOUT = 258,
};

// Wait results.
enum : DWORD {
  WAIT_OBJECT_0 = 0,
  WAIT_ABANDONED = 0x80,
  WAIT_FAILED = 0xFFFFFFFFu,
};
constexpr DWORD INFINITE = 0xFFFFFFFFu;

// HRESULT helpers.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
  return static_cast<HRESULT>(code) <= 0 ? static_cast<HRESULT>(code)
                                         : static_cast<HRESULT>((code & 0x0000FFFFu) | 0x80070000u);
}
constexpr DWORD HRESULT_CODE(HRESULT hr) { return static_cast<DWORD>(hr) & 0xFFFFu; }

// NTSTATUS values the system meets.
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr bool NT_SUCCESS(NTSTATUS s) { return s >= 0; }

// The calling thread's last error (thread-local).
DWORD GetLastError();
void SetLastError(DWORD code);

// 100-ns intervals since 1601-01-01 UTC, split as Windows stores it.
#pragma pack(push, 1)
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
#pragma pack(pop)
static_assert(sizeof(FILETIME) == 8, "FILETIME is 8 bytes");

struct SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16, "SYSTEMTIME is 16 bytes");

inline ULONGLONG FileTimeToU64(const FILETIME& ft) {
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME U64ToFileTime(ULONGLONG v) {
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}
// Seconds between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kFileTimeUnixEpochSeconds = 11644473600ull;
