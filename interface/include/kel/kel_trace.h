// Trace lines of the user-data writer and the volume-control classes.
//
// KelTrace formats a wide printf-style message and hands it, with the
// method name made narrow, to slot 0 (LogMessage) of the running request
// interface; it does nothing while no interface runs. The formatter is our
// own and checks every argument against its conversion, so the wide text
// never passes through the C library's wide printf (whose %s and wchar_t
// differ from the conventions used here).
//
// Conversions: %d %i %u %x %X %o %c with the flags '0' and '-' and a width;
// length modifiers h, l, ll and I64 are accepted and do not cut the value
// (an argument prints with its own width, so a 64-bit value under %lu prints
// whole); %p; %s and %ls take wide text (char16_t), %hs narrow UTF-8 text;
// %% is a percent sign. A conversion whose argument is missing prints
// "<missing>", one whose argument has the wrong kind "<bad>"; an unknown
// conversion is copied as it stands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace kel {

// One argument of a trace line, with its kind kept for the check.
class TraceArg {
 public:
  enum class Kind { None, Signed, Unsigned, Pointer, Wide, Narrow };

  TraceArg() = default;
  template <class T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
  TraceArg(T v) {  // NOLINT: implicit on purpose
    using U = std::conditional_t<std::is_enum_v<T>, std::underlying_type<T>, std::type_identity<T>>;
    using I = typename U::type;
    m_bytes = sizeof(I);
    if constexpr (std::is_signed_v<I>) {
      m_kind = Kind::Signed;
      m_int = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<I>(v)));
    } else {
      m_kind = Kind::Unsigned;
      m_int = static_cast<std::uint64_t>(static_cast<I>(v));
    }
  }
  TraceArg(const void* p) : m_kind(Kind::Pointer), m_int(reinterpret_cast<std::uintptr_t>(p)) {}
  TraceArg(std::nullptr_t) : m_kind(Kind::Pointer) {}
  TraceArg(const char16_t* s) : m_kind(Kind::Wide), m_wide(s ? s : u"(null)") {}
  TraceArg(const std::u16string& s) : m_kind(Kind::Wide), m_wide(s) {}
  TraceArg(std::u16string_view s) : m_kind(Kind::Wide), m_wide(s) {}
  TraceArg(const char* s) : m_kind(Kind::Narrow), m_narrow(s ? s : "(null)") {}
  TraceArg(const std::string& s) : m_kind(Kind::Narrow), m_narrow(s) {}

  Kind kind() const { return m_kind; }
  // Integer bits (sign-extended for signed kinds) and the argument's width.
  std::uint64_t bits() const { return m_int; }
  unsigned bytes() const { return m_bytes; }
  std::u16string_view wide() const { return m_wide; }
  std::string_view narrow() const { return m_narrow; }

 private:
  Kind m_kind = Kind::None;
  std::uint64_t m_int = 0;
  unsigned m_bytes = sizeof(void*);
  std::u16string_view m_wide;
  std::string_view m_narrow;
};

// The formatted text of one line.
std::u16string FormatTrace(std::u16string_view format, const TraceArg* args, std::size_t count);

// Arguments by value: a packed record field cannot bind to a reference.
template <class... A>
std::u16string FormatTraceOf(std::u16string_view format, A... args) {
  const TraceArg list[] = {TraceArg(args)..., TraceArg()};
  return FormatTrace(format, list, sizeof...(A));
}

// True while a running interface can take trace lines.
bool TraceSinkPresent();
// Sends one formatted line through slot 0 of the running interface.
void SendTrace(int kind, int type, std::u16string_view method, int line, const std::u16string& text);

}  // namespace kel

// The texts and method labels of the trace lines are fixed: tests compare
// them, so a misspelling or a label naming another class's method (the
// packed session's lines are labelled LumoQVE::ProxyWriter::...) stays as it is.
// word and source are accepted and not used. kind: 1 progress (DEBG),
// 2 notable events and errors (INFO), 3 allocation errors (WARN),
// 4 recorded manager errors (ERR_); type 0 shows as module KELC.
template <class... A>
void KelTrace(unsigned /*word*/, int kind, int type, const char* /*source*/, const char16_t* method,
              int line, const char16_t* format, A... args) {
  if (!kel::TraceSinkPresent()) return;
  kel::SendTrace(kind, type, method ? method : u"", line,
                 kel::FormatTraceOf(format ? format : u"", args...));
}
