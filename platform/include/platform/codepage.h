// UTF-8 <-> UTF-16 conversion with the semantics of MultiByteToWideChar and
// WideCharToMultiByte for CP_UTF8. CP_ACP is UTF-8 on this platform.
#pragma once

#include "platform/win32.h"

#include <string>
#include <string_view>

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;

// src_len -1 means NUL-terminated (the NUL is converted and counted).
// dst_len 0 asks for the required size. Returns the number of units written
// (or required); 0 on failure with the last error set:
//   ERROR_INSUFFICIENT_BUFFER  dst too small
//   ERROR_NO_UNICODE_TRANSLATION (1113) invalid input with the *_ERR_INVALID_CHARS flag
//   ERROR_INVALID_PARAMETER    bad arguments or unknown code page
// Without the flag, invalid sequences become U+FFFD.
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* src, int src_len, WCHAR* dst,
                        int dst_len);
int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* src, int src_len, char* dst,
                        int dst_len, const char* default_char = nullptr,
                        BOOL* used_default = nullptr);

constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

namespace platform {
// Conversions for the edges of the system. Invalid input becomes U+FFFD
// unless strict is set, in which case ok is cleared.
std::u16string utf8_to_utf16(std::string_view s, bool* ok = nullptr);
std::string utf16_to_utf8(std::u16string_view s, bool* ok = nullptr);
std::size_t wcslen16(const WCHAR* s);
}  // namespace platform
