// Frame of the drive utility library shared by its sources: the host
// callbacks, the log, the drive library's exception and the conversions
// between the exceptions and result codes.
#pragma once

#include "KelDriveSDK/KelDriveSDK.h"

#include <cstdint>
#include <string>

namespace PxoUtilityLib {

// The callbacks and request identity set by KelDriveSDK_Quorvel_SetCallbacks.
struct HostCallbacks {
  KelSdkMountCallback mount = nullptr;
  KelSdkUnmountCallback unmount = nullptr;
  KelSdkControlCallback control = nullptr;
  KelSdkLogCallback log = nullptr;
  std::uint64_t sequence = 0;
  int phase = 0;
};
HostCallbacks& hostCallbacks();

// Win32 error a user of a missing mount, unmount or control callback gets.
constexpr int kNoCallbackResult = 1359;

// Log levels and the one log type of the library.
constexpr int kLogTrace = 1;
constexpr int kLogError = 3;
constexpr int kLogCheck = 4;
constexpr int kLogType = 2;
// Longest log text in wide characters, terminator included.
constexpr std::size_t kLogBufferChars = 1024;

// Formats (printf rules, narrow arguments) and hands the text to the log
// callback; nothing without one. The source file is not passed on.
void sdkLog(int level, int type, const char* file, const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

#define KELSDK_LOG(level, ...) ::PxoUtilityLib::sdkLog(level, ::PxoUtilityLib::kLogType, __FILE__, __func__, __LINE__, __VA_ARGS__)

// Logs the text at error level and throws the drive library's exception
// with the code from the caller's place and the given function name.
#define KELSDK_FAIL(code, function, ...)                                      \
  do {                                                                        \
    KELSDK_LOG(::PxoUtilityLib::kLogError, __VA_ARGS__);                      \
    ::PxoUtilityLib::throwPxo(code, __FILE__, __LINE__, function);            \
  } while (0)

// The drive library's exception: a 32-bit code (category in bits 16-31),
// the source file, the line and the qualified function name.
class PxoUtilityLibException {
 public:
  PxoUtilityLibException(std::uint32_t code, std::u16string file, int line, std::u16string function)
      : m_code(code), m_file(std::move(file)), m_line(line), m_function(std::move(function)) {}
  std::uint32_t code() const { return m_code; }
  const std::u16string& file() const { return m_file; }
  int line() const { return m_line; }
  const std::u16string& function() const { return m_function; }

 private:
  std::uint32_t m_code;
  std::u16string m_file;
  int m_line;
  std::u16string m_function;
};

[[noreturn]] void throwPxo(std::uint32_t code, const char* file, int line, const char* function);

// After a failed control of the engine: a process without the control
// callback has no engine behind it (only KelDriver's own process has), and
// the log says so.
void noteEngineHost(const char* function);
// The mount information could not be read: text and the reason logged, then
// 0x120800 thrown.
[[noreturn]] void failMountInformation(const char* function, const char* text);

// Narrow and wide text (UTF-8 and UTF-16).
std::string narrow(const std::u16string& text);
std::u16string widen(const std::string& text);
// The part of a source path after its last slash or backslash.
std::string baseName(const char* path);

// The three conversion handlers of a class-interface method around body:
// a drive-library exception becomes a KelUtilityException (0x130100 with the
// method's own place), a KelUtilityException passes, anything else becomes
// 0x8100000000000013 with the method's own place.
template <class Body>
auto convertExceptions(const char* file, int line, const char* function, Body&& body) -> decltype(body());
[[noreturn]] void rethrowConverted(const char* file, int line, const char* function);

template <class Body>
auto convertExceptions(const char* file, int line, const char* function, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    rethrowConverted(file, line, function);
  }
}

// Runs a plain function's body: a KelUtilityException gives its code and
// becomes the last-error detail; any other exception gives
// 0x8100000000000013.
template <class Body>
std::uint64_t runPlain(Body&& body);
std::uint64_t plainFailure();

template <class Body>
std::uint64_t runPlain(Body&& body) {
  try {
    return body();
  } catch (...) {
    return plainFailure();
  }
}

// Throws a KelUtilityException at the caller's place.
[[noreturn]] void throwUtility(std::uint64_t code, const std::string& message, const char* file, int line,
                               const char* function);

}  // namespace PxoUtilityLib
