// Host callbacks, logging, exception conversion, last-error detail and
// messages of the result codes.
#include "sdk_frame.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

namespace PxoUtilityLib {
namespace {

HostCallbacks g_callbacks;

// Last-error detail: written only when a plain function catches a
// KelUtilityException, never cleared by a success.
struct LastError {
  std::uint64_t code = 0;
  std::string file;
  std::string function;
  std::uint64_t line = 0;
};
LastError g_lastError;

// Longest file and function text taken from a drive-library exception.
constexpr std::size_t kMaxExceptionText = 260;

}  // namespace

HostCallbacks& hostCallbacks() { return g_callbacks; }

void sdkLog(int level, int type, const char*, const char* function, int line, const char* format, ...) {
  const KelSdkLogCallback log = g_callbacks.log;
  if (!log) return;
  va_list args;
  va_start(args, format);
  std::vector<char> text(4 * kLogBufferChars);
  std::vsnprintf(text.data(), text.size(), format, args);
  va_end(args);
  std::u16string wide = widen(text.data());
  if (wide.size() > kLogBufferChars - 1) wide.resize(kLogBufferChars - 1);
  log(level, type, function, line, wide.c_str());
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string widen(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= text.size() + (extra ? 0 : 1)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    std::uint32_t c = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string baseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '\\' || *p == '/') base = p + 1;
  return base;
}

void throwPxo(std::uint32_t code, const char* file, int line, const char* function) {
  throw PxoUtilityLibException(code, widen(baseName(file)), line, widen(function));
}

void noteEngineHost(const char* function) {
  if (!g_callbacks.control) sdkLog(kLogError, kLogType, __FILE__, function, __LINE__, "no engine host in this process");
}

void failMountInformation(const char* function, const char* text) {
  sdkLog(kLogError, kLogType, __FILE__, function, __LINE__, "%s", text);
  noteEngineHost(function);
  throwPxo(0x120800, __FILE__, __LINE__, function);
}

void throwUtility(std::uint64_t code, const std::string& message, const char* file, int line, const char* function) {
  throw kelutil::KelUtilityException(code, message, baseName(file), line, function);
}

void rethrowConverted(const char* file, int line, const char* function) {
  try {
    throw;
  } catch (const PxoUtilityLibException& e) {
    if (e.code() == 0x130100) throwUtility(KELSDK_ERR_VOLUME_LOCKED, "PxoUtilityLibException", file, line, function);
    std::string pxoFile = baseName(narrow(e.file()).c_str());
    std::string pxoFunction = narrow(e.function());
    if (pxoFile.size() > kMaxExceptionText) pxoFile.resize(kMaxExceptionText);
    if (pxoFunction.size() > kMaxExceptionText) pxoFunction.resize(kMaxExceptionText);
    throw kelutil::KelUtilityException(e.code(), "PxoUtilityLibException", pxoFile, e.line(), pxoFunction);
  } catch (const kelutil::KelUtilityException&) {
    throw;
  } catch (...) {
    throwUtility(KELSDK_ERR_SYSTEM, "", file, line, function);
  }
}

std::uint64_t plainFailure() {
  try {
    throw;
  } catch (const kelutil::KelUtilityException& e) {
    g_lastError.code = e.code();
    g_lastError.file = e.file();
    g_lastError.function = e.function();
    g_lastError.line = static_cast<std::uint64_t>(static_cast<std::int64_t>(e.line()));
    return e.code();
  } catch (...) {
    return KELSDK_ERR_SYSTEM;
  }
}

namespace {

struct MessageRow {
  std::uint64_t value;
  const char* text;
};

constexpr MessageRow kMessages[] = {
    {0, "Function complete."},
    {0x8100000000000001ull, "Function failed internal."},
    {0x8100000000000002ull, "Function failed disc not ingested."},
    {0x8100000000000005ull, "Function failed invalid parameter."},
    {0x8100000000000006ull, "Function failed. Target device is not supported."},
    {0x8100000000000007ull, "Function not supported."},
    {0x8100000000000008ull, "Function failed. The volume is locked."},
    {0x8100000000000009ull, "Unknown code."},
    {0x8100000000000010ull, "Unknown code."},
    {0x8100000000000011ull, "Function failed already open."},
    {0x8100000000000012ull, "Function failed already close."},
    {0x8100000000000013ull, "Function failed system error."},
    {0x8200000000000001ull, "Function failed device IO control."},
    {0x8200000000000002ull, "Function failed create file."},
    {0x0011, "Function failed device IO control."},
    {0x0012, "Function failed device IO control."},
    {0x0013, "Function failed volume control."},
    {0x0014, "Function failed device IO control."},
    {0x0015, "Function failed device IO control."},
    {0x0021, "Function failed drive control."},
    {0x0022, "Function failed media access."},
    {0x0023, "Function failed. Access failed due to invalid UDF format."},
    {0x00FF, "Function failed drive access."},
    {0x0100, "Function failed all-delete."},
    {0x0300, "Function failed to finalize."},
    {0x0A00, "Function failed registry access."},
    {0x0B00, "Function failed log acquisition."},
};

const char* messageOf(std::uint64_t code) {
  const std::uint64_t category = (code >> 16) & 0xFFFF;
  const std::uint64_t key = category ? category : code;
  for (const MessageRow& row : kMessages)
    if (row.value == key) return row.text;
  return "Unknown code.";
}

}  // namespace

}  // namespace PxoUtilityLib

using namespace PxoUtilityLib;

std::uint64_t KelDriveSDK_Quorvel_SetCallbacks(KelSdkMountCallback mount, KelSdkUnmountCallback unmount,
                                               KelSdkControlCallback control, KelSdkLogCallback log,
                                               std::uint64_t sequenceNumber, int phase) {
  g_callbacks = HostCallbacks{mount, unmount, control, log, sequenceNumber, phase};
  return 0;
}

extern "C" {

const char16_t* KelDriveSDK_GetVersion() { return u"5.0.0.2"; }

void KelDriveSDK_GetErrorMessage(std::uint64_t code, char* buffer, std::uint32_t size) {
  if (!buffer || size == 0) return;
  const char* text = messageOf(code);
  const std::size_t n = std::min<std::size_t>(std::strlen(text), size - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

void KelDriveSDK_GetLastErrorMessageDetail(std::uint64_t* code, const char** file, const char** function,
                                           std::uint64_t* line) {
  if (code) *code = g_lastError.code;
  if (file) *file = g_lastError.file.c_str();
  if (function) *function = g_lastError.function.c_str();
  if (line) *line = g_lastError.line;
}

}  // extern "C"
