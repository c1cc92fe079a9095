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

// One directive as read from the format: the narrow printf text of its
// flags, width and precision, and what its length modifiers ask for.
enum Size { kInt, kShort, kChar, kLong, kLongLong, kSize, kIntMax, kPtrDiff, kLongDouble };
struct Spec {
  std::string directive = "%";
  bool left = false;
  int width = -1;
  int precision = -1;
  Size size = kInt;
  bool narrow = false, wide = false;
};

// Flags and width; a '*' width comes from the arguments, negative meaning left-aligned.
const WCHAR* read_flags_and_width(const WCHAR* p, va_list* ap, Spec& s) {
  while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
    if (*p == u'-') s.left = true;
    s.directive += static_cast<char>(*p++);
  }
  if (*p == u'*') {
    s.width = va_arg(*ap, int);
    if (s.width < 0) {
      s.left = true;
      s.width = -s.width;
      s.directive += '-';
    }
    s.directive += std::to_string(s.width);
    return p + 1;
  }
  while (*p >= u'0' && *p <= u'9') {
    s.width = (s.width < 0 ? 0 : s.width) * 10 + (*p - u'0');
    s.directive += static_cast<char>(*p++);
  }
  return p;
}

// The precision; a negative '*' precision counts as none.
const WCHAR* read_precision(const WCHAR* p, va_list* ap, Spec& s) {
  if (*p != u'.') return p;
  s.directive += '.';
  ++p;
  s.precision = 0;
  if (*p == u'*') {
    s.precision = va_arg(*ap, int);
    s.directive += std::to_string(s.precision < 0 ? 0 : s.precision);
    if (s.precision < 0) s.precision = -1;
    return p + 1;
  }
  while (*p >= u'0' && *p <= u'9') {
    s.precision = s.precision * 10 + (*p - u'0');
    s.directive += static_cast<char>(*p++);
  }
  return p;
}

int sized(Spec& s, Size size, int taken) {
  s.size = size;
  return taken;
}

// One length modifier at p: the characters it takes, 0 when there is none.
int read_one_length(const WCHAR* p, Spec& s) {
  switch (*p) {
    case u'h':
      s.narrow = true;
      s.size = p[1] == u'h' ? kChar : kShort;
      return p[1] == u'h' ? 2 : 1;
    case u'l':
      s.wide = true;
      s.size = p[1] == u'l' ? kLongLong : kLong;
      return p[1] == u'l' ? 2 : 1;
    case u'w': s.wide = true; return 1;
    case u'I':
      if (p[1] == u'6' && p[2] == u'4') return sized(s, kLongLong, 3);
      if (p[1] == u'3' && p[2] == u'2') return sized(s, kInt, 3);
      return sized(s, kSize, 1);
    case u'z': return sized(s, kSize, 1);
    case u'j': return sized(s, kIntMax, 1);
    case u't': return sized(s, kPtrDiff, 1);
    case u'L': return sized(s, kLongDouble, 1);
    default: return 0;
  }
}

const WCHAR* read_lengths(const WCHAR* p, Spec& s) {
  while (const int n = read_one_length(p, s)) p += n;
  return p;
}

void put_signed(Sink& sink, const Spec& s, va_list* ap) {
  long long v;
  switch (s.size) {
    case kLong: v = va_arg(*ap, long); break;
    case kLongLong: v = va_arg(*ap, long long); break;
    case kSize: v = static_cast<long long>(va_arg(*ap, std::size_t)); break;
    case kIntMax: v = va_arg(*ap, intmax_t); break;
    case kPtrDiff: v = va_arg(*ap, ptrdiff_t); break;
    case kShort: v = static_cast<short>(va_arg(*ap, int)); break;
    case kChar: v = static_cast<signed char>(va_arg(*ap, int)); break;
    default: v = va_arg(*ap, int); break;
  }
  char buf[512];
  std::snprintf(buf, sizeof buf, (s.directive + "lld").c_str(), v);
  sink.put_ascii(buf);
}

void put_unsigned(Sink& sink, const Spec& s, WCHAR conv, va_list* ap) {
  unsigned long long v;
  switch (s.size) {
    case kLong: v = va_arg(*ap, unsigned long); break;
    case kLongLong: v = va_arg(*ap, unsigned long long); break;
    case kSize: v = va_arg(*ap, std::size_t); break;
    case kIntMax: v = va_arg(*ap, uintmax_t); break;
    case kPtrDiff: v = static_cast<unsigned long long>(va_arg(*ap, ptrdiff_t)); break;
    case kShort: v = static_cast<unsigned short>(va_arg(*ap, unsigned)); break;
    case kChar: v = static_cast<unsigned char>(va_arg(*ap, unsigned)); break;
    default: v = va_arg(*ap, unsigned); break;
  }
  char buf[512];
  std::snprintf(buf, sizeof buf, (s.directive + "ll" + static_cast<char>(conv)).c_str(), v);
  sink.put_ascii(buf);
}

void put_floating(Sink& sink, const Spec& s, WCHAR conv, va_list* ap) {
  char buf[512];
  if (s.size == kLongDouble) {
    long double v = va_arg(*ap, long double);
    std::snprintf(buf, sizeof buf, (s.directive + "L" + static_cast<char>(conv)).c_str(), v);
  } else {
    double v = va_arg(*ap, double);
    std::snprintf(buf, sizeof buf, (s.directive + static_cast<char>(conv)).c_str(), v);
  }
  sink.put_ascii(buf);
}

void put_pointer(Sink& sink, const Spec& s, va_list* ap) {
  void* v = va_arg(*ap, void*);
  char buf[512];
  std::snprintf(buf, sizeof buf, (s.directive + "p").c_str(), v);
  sink.put_ascii(buf);
}

// %c narrow unless 'l' or 'w'; %C wide unless 'h'.
void put_character(Sink& sink, const Spec& s, WCHAR conv, va_list* ap) {
  const bool is_narrow = (conv == u'c') ? s.narrow : !s.wide;
  const int v = va_arg(*ap, int);
  std::u16string text;
  if (is_narrow)
    text = platform::utf8_to_utf16(std::string(1, static_cast<char>(v)));
  else
    text = std::u16string(1, static_cast<WCHAR>(v));
  pad(sink, text.size(), s.width, s.left, text);
}

// %s narrow (UTF-8) unless 'l' or 'w'; %S wide unless 'h'. The precision cuts
// the text; a null pointer prints "(null)".
void put_string(Sink& sink, const Spec& s, WCHAR conv, va_list* ap) {
  const bool is_narrow = (conv == u's') ? s.narrow : !s.wide;
  std::u16string text;
  if (is_narrow) {
    const char* v = va_arg(*ap, const char*);
    if (v == nullptr) v = "(null)";
    std::size_t n = std::strlen(v);
    if (s.precision >= 0 && static_cast<std::size_t>(s.precision) < n) n = s.precision;
    text = platform::utf8_to_utf16(std::string_view(v, n));
  } else {
    const WCHAR* v = va_arg(*ap, const WCHAR*);
    if (v == nullptr) v = u"(null)";
    std::size_t n = platform::wcslen16(v);
    if (s.precision >= 0 && static_cast<std::size_t>(s.precision) < n) n = s.precision;
    text.assign(v, n);
  }
  pad(sink, text.size(), s.width, s.left, text);
}

void convert(Sink& sink, const Spec& s, WCHAR conv, va_list* ap) {
  switch (conv) {
    case u'd':
    case u'i': put_signed(sink, s, ap); break;
    case u'u':
    case u'x':
    case u'X':
    case u'o': put_unsigned(sink, s, conv, ap); break;
    case u'e':
    case u'E':
    case u'f':
    case u'F':
    case u'g':
    case u'G':
    case u'a':
    case u'A': put_floating(sink, s, conv, ap); break;
    case u'p': put_pointer(sink, s, ap); break;
    case u'c':
    case u'C': put_character(sink, s, conv, ap); break;
    case u's':
    case u'S': put_string(sink, s, conv, ap); break;
    case u'n':
      // Writing through a caller's pointer is refused; the argument is skipped.
      (void)va_arg(*ap, void*);
      break;
    default:
      // Unknown conversion: print it as it stands.
      sink.put(u'%');
      sink.put(conv);
      break;
  }
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
    Spec spec;
    p = read_lengths(read_precision(read_flags_and_width(p, &ap, spec), &ap, spec), spec);
    const WCHAR conv = *p;
    if (conv == 0) break;
    ++p;
    convert(sink, spec, conv, &ap);
  }
  va_end(ap);
  return sink.finish();
}

}  // namespace kelhost
