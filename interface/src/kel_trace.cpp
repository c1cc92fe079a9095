// The wide trace formatter and its sink (slot 0 of the running interface).
#include "kel/kel_trace.h"

#include "kel/entry.h"
#include "platform/codepage.h"

namespace kel {

namespace {

struct Spec {
  bool zero = false;
  bool left = false;
  unsigned width = 0;
  char16_t conv = 0;
};

void pad(std::u16string& out, const std::u16string& body, const Spec& s, bool numeric) {
  if (body.size() >= s.width) {
    out += body;
    return;
  }
  const std::size_t fill = s.width - body.size();
  if (s.left) {
    out += body;
    out.append(fill, u' ');
  } else if (s.zero && numeric) {
    // Zeros go after a minus sign.
    std::size_t sign = (!body.empty() && body[0] == u'-') ? 1 : 0;
    out.append(body, 0, sign);
    out.append(fill, u'0');
    out.append(body, sign, std::u16string::npos);
  } else {
    out.append(fill, u' ');
    out += body;
  }
}

std::u16string digits(std::uint64_t v, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string r;
  do {
    r.insert(r.begin(), static_cast<char16_t>(set[v % base]));
    v /= base;
  } while (v != 0);
  return r;
}

// The argument's bits at its own width, as an unsigned value.
std::uint64_t asUnsigned(const TraceArg& a) {
  const unsigned n = a.bytes();
  return n >= 8 ? a.bits() : a.bits() & ((std::uint64_t{1} << (8 * n)) - 1);
}

bool isInteger(const TraceArg& a) {
  return a.kind() == TraceArg::Kind::Signed || a.kind() == TraceArg::Kind::Unsigned;
}

// The body of one conversion, or nothing when the argument does not fit it.
bool convert(const Spec& s, const TraceArg& a, std::u16string& body, bool& numeric) {
  numeric = false;
  switch (s.conv) {
    case u'd':
    case u'i':
      if (!isInteger(a)) return false;
      numeric = true;
      if (a.kind() == TraceArg::Kind::Signed && static_cast<std::int64_t>(a.bits()) < 0)
        body = u"-" + digits(0 - a.bits(), 10, false);
      else
        body = digits(a.bits(), 10, false);
      return true;
    case u'u':
    case u'x':
    case u'X':
    case u'o': {
      if (!isInteger(a)) return false;
      numeric = true;
      const unsigned base = s.conv == u'u' ? 10 : s.conv == u'o' ? 8 : 16;
      body = digits(asUnsigned(a), base, s.conv == u'X');
      return true;
    }
    case u'c':
      if (!isInteger(a)) return false;
      body.assign(1, static_cast<char16_t>(a.bits()));
      return true;
    case u'p': {
      if (a.kind() != TraceArg::Kind::Pointer) return false;
      body = digits(a.bits(), 16, true);
      body.insert(0, 2 * sizeof(void*) - body.size(), u'0');
      return true;
    }
    default:
      return false;
  }
}

bool isLengthModifier(char16_t c) { return c == u'h' || c == u'l' || c == u'L' || c == u'q'; }

}  // namespace

std::u16string FormatTrace(std::u16string_view f, const TraceArg* args, std::size_t count) {
  std::u16string out;
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < f.size()) {
    if (f[i] != u'%') {
      out += f[i++];
      continue;
    }
    const std::size_t start = i++;
    if (i < f.size() && f[i] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    Spec s;
    for (; i < f.size() && (f[i] == u'0' || f[i] == u'-'); ++i) (f[i] == u'0' ? s.zero : s.left) = true;
    for (; i < f.size() && f[i] >= u'0' && f[i] <= u'9' && s.width < 4096; ++i)
      s.width = s.width * 10 + (f[i] - u'0');
    bool narrow = false;
    if (f.substr(i, 3) == u"I64") i += 3;
    for (; i < f.size() && isLengthModifier(f[i]); ++i) narrow = f[i] == u'h';
    if (i >= f.size()) {
      out.append(f.substr(start));
      break;
    }
    s.conv = f[i++];
    std::u16string body;
    bool numeric = false;
    if (s.conv == u's' || s.conv == u'S') {
      if (next >= count) {
        out += u"<missing>";
        continue;
      }
      const TraceArg& a = args[next++];
      const bool wants_narrow = narrow || s.conv == u'S';
      if (wants_narrow && a.kind() == TraceArg::Kind::Narrow)
        body = platform::utf8_to_utf16(a.narrow());
      else if (!wants_narrow && a.kind() == TraceArg::Kind::Wide)
        body = std::u16string(a.wide());
      else {
        out += u"<bad>";
        continue;
      }
      pad(out, body, s, false);
      continue;
    }
    if (std::u16string_view(u"diuxXocp").find(s.conv) == std::u16string_view::npos) {
      out.append(f.substr(start, i - start));
      continue;
    }
    if (next >= count) {
      out += u"<missing>";
      continue;
    }
    if (!convert(s, args[next++], body, numeric)) {
      out += u"<bad>";
      continue;
    }
    pad(out, body, s, numeric);
  }
  return out;
}

bool TraceSinkPresent() {
  const FileSystemOperations* ops = CurrentOperations();
  return ops && ops->LogMessage;
}

void SendTrace(int kind, int type, std::u16string_view method, int line, const std::u16string& text) {
  const FileSystemOperations* ops = CurrentOperations();
  if (!ops || !ops->LogMessage) return;
  const std::string name = platform::utf16_to_utf8(method);
  ops->LogMessage(static_cast<unsigned>(kind), type, name.c_str(), line, text.c_str());
}

}  // namespace kel
