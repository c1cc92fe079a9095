// A typed registry kept in a text file in the ".reg" export format.
//
// File: the path in the environment variable KEL_REGISTRY; when it is unset
// or empty, "$XDG_CONFIG_HOME/kel/registry.reg", else
// "$HOME/.config/kel/registry.reg", else "./kel-registry.reg". A missing file
// is an empty registry; the first change creates it (and its folder).
//
// The file looks like this and may be edited by hand:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Quorvel\Stravo\KELFS]
//   "Scsi Device"="sg0"
//   "Logging Level"=dword:00000005
//   "Blob"=hex:01,ab
//   "Big"=hex(b):01,00,00,00,00,00,00,00
//   "Path"=hex(2):25,00,54,00,00,00        (REG_EXPAND_SZ, UTF-16LE)
//   "List"=hex(7):61,00,00,00,00,00        (REG_MULTI_SZ, UTF-16LE)
//   @="the key's default value"
//
// Lines starting with ';' are comments. Inside quotes only \\ and \" are
// escapes. Strings are stored as UTF-16 (as Windows does); the file is
// UTF-8 (a UTF-16LE file with its byte-order mark is read too).
//
// Views: the 32-bit view (KEY_WOW64_32KEY) redirects "Software\..." of both
// roots to "Software\WOW6432Node\..."; other paths are shared by both views.
//
// Several processes may share the file. Every call reads the current file;
// every change takes an exclusive lock on "<file>.lock", re-reads the file,
// writes the whole new content to "<file>.tmp", flushes it and renames it
// over the file. A process that dies half-way leaves the old file intact.
//
// A file that does not parse is never written over: every call then fails
// with ERROR_REGISTRY_CORRUPT (1015) and platform::registry_error_text()
// tells the file, line and reason.
#pragma once

#include "platform/win32.h"

#include <string>

struct KelRegKey;
using HKEY = KelRegKey*;
using REGSAM = DWORD;
using LSTATUS = LONG;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights and view flags.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Results are Win32 error codes: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no such
// key or value), ERROR_MORE_DATA (buffer too small; the size is set to the
// size needed), ERROR_NO_MORE_ITEMS (enumeration past the end),
// ERROR_ACCESS_DENIED (the handle lacks the right), ERROR_INVALID_HANDLE,
// ERROR_INVALID_PARAMETER, ERROR_REGISTRY_CORRUPT (damaged file),
// ERROR_REGISTRY_IO_FAILED (the file could not be read or written).
// The narrow forms use UTF-8 for names and for string data.
LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, REGSAM sam, HKEY* result);
LSTATUS RegOpenKeyExW(HKEY key, const WCHAR* sub_key, DWORD options, REGSAM sam, HKEY* result);
// Opens the key, creating it and its missing parents; disposition (may be
// null) tells REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD reserved, char* class_name,
                        DWORD options, REGSAM sam, void* security, HKEY* result,
                        DWORD* disposition);
LSTATUS RegCreateKeyExW(HKEY key, const WCHAR* sub_key, DWORD reserved, WCHAR* class_name,
                        DWORD options, REGSAM sam, void* security, HKEY* result,
                        DWORD* disposition);
// type, data and size may each be null. With data null and size set, the
// size needed is stored. Too small a buffer: ERROR_MORE_DATA, size needed.
LSTATUS RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);
LSTATUS RegQueryValueExW(HKEY key, const WCHAR* name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* size);
LSTATUS RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegSetValueExW(HKEY key, const WCHAR* name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);
LSTATUS RegDeleteValueA(HKEY key, const char* name);
LSTATUS RegDeleteValueW(HKEY key, const WCHAR* name);
// Sub-keys in case-insensitive name order. name_len: in, the capacity in
// characters with the terminator; out, the length without it.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD* reserved,
                      char* class_name, DWORD* class_len, FILETIME* last_write);
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* name_len, DWORD* reserved,
                      WCHAR* class_name, DWORD* class_len, FILETIME* last_write);
// Values in the order they were first set.
LSTATUS RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* size);
LSTATUS RegEnumValueW(HKEY key, DWORD index, WCHAR* name, DWORD* name_len, DWORD* reserved,
                      DWORD* type, BYTE* data, DWORD* size);
LSTATUS RegCloseKey(HKEY key);

namespace platform {
// The registry file in use (from KEL_REGISTRY or the default).
std::string registry_path();
// Why the last registry call of this thread failed on the file (path, line
// and reason for a damaged file); empty after a call that had no file error.
std::string registry_error_text();

namespace registry_detail {
// Fault injection for tests: called with the temporary file's path after it
// is written and flushed and before it is renamed over the registry file.
extern void (*before_rename)(const char* tmp_path);
}  // namespace registry_detail
}  // namespace platform
