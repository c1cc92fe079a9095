// printf-style formatting into UTF-16 with the conversions of the original
// platform's wide printf: %s / %c take UTF-16, %hs / %S / %hc narrow UTF-8.
#pragma once

#include "platform/win32.h"

#include <cstdarg>
#include <cstddef>

namespace kelhost {
// Formats into out (capacity units, terminator included); the output is cut
// to fit and always terminated when capacity > 0. Returns the units written.
std::size_t format_wide(WCHAR* out, std::size_t capacity, const WCHAR* format, va_list args);
}  // namespace kelhost
