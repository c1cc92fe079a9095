#include "platform/codepage.h"

namespace {

// Decodes one UTF-8 sequence at s[i]; returns the code point or -1.
long decode_utf8(const unsigned char* s, std::size_t n, std::size_t& i) {
  const unsigned char c = s[i];
  if (c < 0x80) { ++i; return c; }
  int len;
  long cp;
  if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
  else { ++i; return -1; }
  if (i + len > n) { ++i; return -1; }
  for (int k = 1; k < len; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) { ++i; return -1; }
    cp = (cp << 6) | (s[i + k] & 0x3F);
  }
  static const long kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return -1; }
  i += len;
  return cp;
}

bool valid_cp(UINT cp) { return cp == CP_UTF8 || cp == CP_ACP; }

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, const char* src, int src_len, WCHAR* dst,
                        int dst_len) {
  if (!valid_cp(code_page) || !src || src_len < -1 || src_len == 0 || dst_len < 0 ||
      (dst_len > 0 && !dst)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::size_t n = src_len == -1 ? std::char_traits<char>::length(src) + 1
                                      : static_cast<std::size_t>(src_len);
  const auto* s = reinterpret_cast<const unsigned char*>(src);
  std::size_t i = 0;
  int out = 0;
  auto put = [&](WCHAR w) -> bool {
    if (dst_len) {
      if (out >= dst_len) return false;
      dst[out] = w;
    }
    ++out;
    return true;
  };
  while (i < n) {
    long cp = decode_utf8(s, n, i);
    if (cp < 0) {
      if (flags & MB_ERR_INVALID_CHARS) { SetLastError(ERROR_NO_UNICODE_TRANSLATION); return 0; }
      cp = 0xFFFD;
    }
    bool ok;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      ok = put(static_cast<WCHAR>(0xD800 + (cp >> 10))) && put(static_cast<WCHAR>(0xDC00 + (cp & 0x3FF)));
    } else {
      ok = put(static_cast<WCHAR>(cp));
    }
    if (!ok) { SetLastError(ERROR_INSUFFICIENT_BUFFER); return 0; }
  }
  return out;
}

int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* src, int src_len, char* dst,
                        int dst_len, const char* default_char, BOOL* used_default) {
  // As on Windows, CP_UTF8 does not take a default character.
  if (!valid_cp(code_page) || !src || src_len < -1 || src_len == 0 || dst_len < 0 ||
      (dst_len > 0 && !dst) || default_char || used_default) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::size_t n = src_len == -1 ? platform::wcslen16(src) + 1 : static_cast<std::size_t>(src_len);
  int out = 0;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned long cp = src[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (flags & WC_ERR_INVALID_CHARS) { SetLastError(ERROR_NO_UNICODE_TRANSLATION); return 0; }
      cp = 0xFFFD;
    }
    unsigned char buf[4];
    int len;
    if (cp < 0x80) { buf[0] = static_cast<unsigned char>(cp); len = 1; }
    else if (cp < 0x800) { buf[0] = 0xC0 | (cp >> 6); buf[1] = 0x80 | (cp & 0x3F); len = 2; }
    else if (cp < 0x10000) { buf[0] = 0xE0 | (cp >> 12); buf[1] = 0x80 | ((cp >> 6) & 0x3F); buf[2] = 0x80 | (cp & 0x3F); len = 3; }
    else { buf[0] = 0xF0 | (cp >> 18); buf[1] = 0x80 | ((cp >> 12) & 0x3F); buf[2] = 0x80 | ((cp >> 6) & 0x3F); buf[3] = 0x80 | (cp & 0x3F); len = 4; }
    if (dst_len) {
      if (out + len > dst_len) { SetLastError(ERROR_INSUFFICIENT_BUFFER); return 0; }
      for (int k = 0; k < len; ++k) dst[out + k] = static_cast<char>(buf[k]);
    }
    out += len;
  }
  return out;
}

namespace platform {

std::size_t wcslen16(const WCHAR* s) {
  std::size_t n = 0;
  while (s[n]) ++n;
  return n;
}

std::u16string utf8_to_utf16(std::string_view s, bool* ok) {
  if (ok) *ok = true;
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
  DWORD flags = MB_ERR_INVALID_CHARS;
  if (n == 0) {
    if (ok) *ok = false;
    flags = 0;
    n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  }
  std::u16string out(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(CP_UTF8, flags, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string utf16_to_utf8(std::u16string_view s, bool* ok) {
  if (ok) *ok = true;
  if (s.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
  DWORD flags = WC_ERR_INVALID_CHARS;
  if (n == 0) {
    if (ok) *ok = false;
    flags = 0;
    n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  }
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, flags, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

}  // namespace platform
