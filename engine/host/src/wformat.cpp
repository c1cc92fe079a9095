#include "wformat.h"

#include "platform/codepage.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace kelhost {
namespace {

class Sink {
 public:
  Sink(WCHAR* out, std::size_t capacity) : out_(out), cap_(capacity) {}
  void put(WCHAR c) {
    if (cap_ != 0 && len_ + 1 < cap_) out_[len_++] = c;
  }
  void put_ascii(const char* s) {
    for (; *s; ++s) put(static_cast<WCHAR>(static_cast<unsigned char>(*s)));
  }
  void put_text(const std::u16string& s) {
    for (WCHAR c : s) put(c);
  }
  std::size_t finish() {
    if (cap_ != 0) out_[len_] = 0;
    return len_;
  }

 private:
  WCHAR* out_;
  std::size_t cap_;
  std::size_t len_ = 0;
};

void pad(Sink& sink, std::size_t length, int width, bool left, const std::u16string& text) {
  const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (!left)
    for (std::size_t i = length; i < w; ++i) sink.put(u' ');
  sink.put_text(text);
  if (left)
    for (std::size_t i = length; i < w; ++i) sink.put(u' ');
}

}  // namespace

std::size_t format_wide(WCHAR* out, std::size_t capacity, const WCHAR* format, va_list args) {
  Sink sink(out, capacity);
  if (format == nullptr) return sink.finish();
  va_list ap;
  va_copy(ap, args);
  const WCHAR* p = format;
  while (*p) {
    if (*p != u'%') {
      sink.put(*p++);
      continue;
    }
    ++p;
    if (*p == u'%') {
      sink.put(u'%');
      ++p;
      continue;
    }
    // Flags, width, precision.
    std::string directive = "%";
    bool left = false;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
      if (*p == u'-') left = true;
      directive += static_cast<char>(*p++);
    }
    int width = -1;
    if (*p == u'*') {
      width = va_arg(ap, int);
      if (width < 0) {
        left = true;
        width = -width;
        directive += '-';
      }
      directive += std::to_string(width);
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') {
        width = (width < 0 ? 0 : width) * 10 + (*p - u'0');
        directive += static_cast<char>(*p++);
      }
    }
    int precision = -1;
    if (*p == u'.') {
      directive += '.';
      ++p;
      precision = 0;
      if (*p == u'*') {
        precision = va_arg(ap, int);
        directive += std::to_string(precision < 0 ? 0 : precision);
        if (precision < 0) precision = -1;
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') {
          precision = precision * 10 + (*p - u'0');
          directive += static_cast<char>(*p++);
        }
      }
    }
    // Length modifiers.
    enum { kInt, kShort, kChar, kLong, kLongLong, kSize, kIntMax, kPtrDiff, kLongDouble } size = kInt;
    bool narrow = false, wide = false;
    for (;;) {
      if (*p == u'h') {
        if (p[1] == u'h') {
          size = kChar;
          ++p;
        } else {
          size = kShort;
        }
        narrow = true;
        ++p;
      } else if (*p == u'l') {
        if (p[1] == u'l') {
          size = kLongLong;
          ++p;
        } else {
          size = kLong;
        }
        wide = true;
        ++p;
      } else if (*p == u'w') {
        wide = true;
        ++p;
      } else if (*p == u'I' && p[1] == u'6' && p[2] == u'4') {
        size = kLongLong;
        p += 3;
      } else if (*p == u'I' && p[1] == u'3' && p[2] == u'2') {
        size = kInt;
        p += 3;
      } else if (*p == u'I') {
        size = kSize;
        ++p;
      } else if (*p == u'z') {
        size = kSize;
        ++p;
      } else if (*p == u'j') {
        size = kIntMax;
        ++p;
      } else if (*p == u't') {
        size = kPtrDiff;
        ++p;
      } else if (*p == u'L') {
        size = kLongDouble;
        ++p;
      } else {
        break;
      }
    }
    const WCHAR conv = *p;
    if (conv == 0) break;
    ++p;
    char buf[512];
    switch (conv) {
      case u'd':
      case u'i': {
        long long v;
        switch (size) {
          case kLong: v = va_arg(ap, long); break;
          case kLongLong: v = va_arg(ap, long long); break;
          case kSize: v = static_cast<long long>(va_arg(ap, std::size_t)); break;
          case kIntMax: v = va_arg(ap, intmax_t); break;
          case kPtrDiff: v = va_arg(ap, ptrdiff_t); break;
          case kShort: v = static_cast<short>(va_arg(ap, int)); break;
          case kChar: v = static_cast<signed char>(va_arg(ap, int)); break;
          default: v = va_arg(ap, int); break;
        }
        std::snprintf(buf, sizeof buf, (directive + "lld").c_str(), v);
        sink.put_ascii(buf);
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        unsigned long long v;
        switch (size) {
          case kLong: v = va_arg(ap, unsigned long); break;
          case kLongLong: v = va_arg(ap, unsigned long long); break;
          case kSize: v = va_arg(ap, std::size_t); break;
          case kIntMax: v = va_arg(ap, uintmax_t); break;
          case kPtrDiff: v = static_cast<unsigned long long>(va_arg(ap, ptrdiff_t)); break;
          case kShort: v = static_cast<unsigned short>(va_arg(ap, unsigned)); break;
          case kChar: v = static_cast<unsigned char>(va_arg(ap, unsigned)); break;
          default: v = va_arg(ap, unsigned); break;
        }
        std::snprintf(buf, sizeof buf, (directive + "ll" + static_cast<char>(conv)).c_str(), v);
        sink.put_ascii(buf);
        break;
      }
      case u'e':
      case u'E':
      case u'f':
      case u'F':
      case u'g':
      case u'G':
      case u'a':
      case u'A': {
        if (size == kLongDouble) {
          long double v = va_arg(ap, long double);
          std::snprintf(buf, sizeof buf, (directive + "L" + static_cast<char>(conv)).c_str(), v);
        } else {
          double v = va_arg(ap, double);
          std::snprintf(buf, sizeof buf, (directive + static_cast<char>(conv)).c_str(), v);
        }
        sink.put_ascii(buf);
        break;
      }
      case u'p': {
        void* v = va_arg(ap, void*);
        std::snprintf(buf, sizeof buf, (directive + "p").c_str(), v);
        sink.put_ascii(buf);
        break;
      }
      case u'c':
      case u'C': {
        const bool is_narrow = (conv == u'c') ? narrow : !wide;
        const int v = va_arg(ap, int);
        std::u16string text;
        if (is_narrow)
          text = platform::utf8_to_utf16(std::string(1, static_cast<char>(v)));
        else
          text = std::u16string(1, static_cast<WCHAR>(v));
        pad(sink, text.size(), width, left, text);
        break;
      }
      case u's':
      case u'S': {
        const bool is_narrow = (conv == u's') ? narrow : !wide;
        std::u16string text;
        if (is_narrow) {
          const char* s = va_arg(ap, const char*);
          if (s == nullptr) s = "(null)";
          std::size_t n = std::strlen(s);
          if (precision >= 0 && static_cast<std::size_t>(precision) < n) n = precision;
          text = platform::utf8_to_utf16(std::string_view(s, n));
        } else {
          const WCHAR* s = va_arg(ap, const WCHAR*);
          if (s == nullptr) s = u"(null)";
          std::size_t n = platform::wcslen16(s);
          if (precision >= 0 && static_cast<std::size_t>(precision) < n) n = precision;
          text.assign(s, n);
        }
        pad(sink, text.size(), width, left, text);
        break;
      }
      case u'n':
        // Writing through a caller's pointer is refused; the argument is skipped.
        (void)va_arg(ap, void*);
        break;
      default:
        // Unknown conversion: print it as it stands.
        sink.put(u'%');
        sink.put(conv);
        break;
    }
  }
  va_end(ap);
  return sink.finish();
}

}  // namespace kelhost
