#include "kel/request.h"

#include <limits>

namespace kel {

namespace {
const char16_t* const kWords[] = {
    nullptr,
    u"Check",
    u"Recognise",
    u"Format",
    u"Archive",
    u"WriteStream",
    u"Restore",
    u"ReadStream",
    u"Verify",
    u"GetOperation",
    u"Rename",
    u"Delete",
    u"SetSecurity",
    u"CreateDirectory",
    u"RenameDirectory",
    u"DeleteDirectory",
    u"Sync",
    u"ReadDirectory",
    u"GetVolumeInfo",
    u"FailureCallback",
    u"OpenFragmentFileCallback",
    u"ReadCallback",
    u"WriteCallback",
    u"GetRollbackInfo",
    u"RollbackMount",
    u"UpdateArchiveInfo",
    u"UnmountVolume",
};
static_assert(sizeof(kWords) / sizeof(kWords[0]) == 27);

// Parses [sign]digits into a magnitude; *negative tells the sign.
HRESULT parseMagnitude(std::u16string_view text, bool allow_minus, std::uint64_t limit_pos,
                       std::uint64_t limit_neg, std::uint64_t* magnitude, bool* negative) {
  std::size_t i = 0;
  *negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    *negative = text[i] == u'-';
    ++i;
  }
  if (i == text.size()) return kHrTypeMismatch;
  std::uint64_t v = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < u'0' || c > u'9') return kHrTypeMismatch;
    const unsigned d = static_cast<unsigned>(c - u'0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) overflow = true;
    else v = v * 10 + d;
  }
  if (overflow) return kHrOverflow;
  if (*negative) {
    if (!allow_minus) return kHrOverflow;
    if (v > limit_neg) return kHrOverflow;
  } else if (v > limit_pos) {
    return kHrOverflow;
  }
  *magnitude = v;
  return S_OK;
}

}  // namespace

const char16_t* OpcodeWord(std::uint32_t opcode) {
  return opcode >= 1 && opcode <= 26 ? kWords[opcode] : nullptr;
}

std::uint32_t OpcodeFromWord(std::u16string_view word) {
  for (std::uint32_t op = 1; op <= 26; ++op)
    if (word == kWords[op]) return op;
  return kOpNone;
}

HRESULT ParseUInt32(std::u16string_view text, std::uint32_t* out) {
  std::uint64_t v = 0;
  bool neg = false;
  HRESULT hr = parseMagnitude(text, false, 0xFFFFFFFFu, 0, &v, &neg);
  if (SUCCEEDED(hr)) *out = static_cast<std::uint32_t>(v);
  return hr;
}

HRESULT ParseUInt64(std::u16string_view text, std::uint64_t* out) {
  std::uint64_t v = 0;
  bool neg = false;
  HRESULT hr = parseMagnitude(text, false, std::numeric_limits<std::uint64_t>::max(), 0, &v, &neg);
  if (SUCCEEDED(hr)) *out = v;
  return hr;
}

HRESULT ParseInt32(std::u16string_view text, std::int32_t* out) {
  std::uint64_t v = 0;
  bool neg = false;
  HRESULT hr = parseMagnitude(text, true, 0x7FFFFFFFu, 0x80000000u, &v, &neg);
  if (SUCCEEDED(hr))
    *out = neg ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v)) : static_cast<std::int32_t>(v);
  return hr;
}

HRESULT UnescapeName(std::u16string_view text, std::u16string* out) {
  std::u16string result;
  result.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != u'&') {
      result += text[i++];
      continue;
    }
    std::size_t end = text.find(u';', i);
    const std::size_t stop = end == std::u16string_view::npos ? text.size() : end + 1;
    const std::u16string_view entity = text.substr(i, stop - i);
    if (entity == u"&amp;") {
      result += u'&';
      i = stop;
      continue;
    }
    // "&#" digits ";"
    bool numeric = entity.size() >= 4 && entity[1] == u'#' && entity.back() == u';';
    std::uint32_t value = 0;
    bool too_large = false;
    for (std::size_t k = 2; numeric && k + 1 < entity.size(); ++k) {
      const char16_t c = entity[k];
      if (c < u'0' || c > u'9') {
        numeric = false;
        break;
      }
      value = value * 10 + static_cast<std::uint32_t>(c - u'0');
      if (value > 0xFFFF) too_large = true, value = 0xFFFF + 1;  // would wrap
    }
    if (numeric && too_large) return kHrInvalidName;
    if (!numeric) {
      // Not an entity we undo: keep its '&' and scan on after it.
      result += text[i++];
      continue;
    }
    // A NUL would cut the name short where it is handed on as text.
    if (value == 0) return kHrInvalidName;
    result += static_cast<char16_t>(value);
    i = stop;
  }
  *out = std::move(result);
  return S_OK;
}

std::uint64_t FileTimeToUnixTime(std::uint64_t file_time) {
  if (file_time == 0) return 0;
  const std::uint64_t seconds = file_time / 10000000ull;
  return seconds <= kFileTimeUnixEpochSeconds ? 1 : seconds - kFileTimeUnixEpochSeconds;
}

}  // namespace kel
