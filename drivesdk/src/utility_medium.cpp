// Class-interface methods of the medium jobs, the user settings and the
// stubs, and the plain functions over them.
#include "device_control.h"
#include "scsi_device.h"
#include "sdk_frame.h"
#include "utility_impl.h"

#include "platform/sync.h"

#include <array>
#include <cstring>

namespace kelutil {

using PxoUtilityLib::convertExceptions;
using PxoUtilityLib::PxoUtilityImpl;
using PxoUtilityLib::PxoUtilityLibException;
using PxoUtilityLib::throwUtility;
using PxoUtilityLib::UserSetting;

FormatCallback::~FormatCallback() = default;

namespace {

// Progress of a medium job as the class interface follows it: the log.
class LoggedProgress : public PxoUtilityLib::ProcessCallback {
 public:
  void progress(std::uint8_t percent, std::uint32_t kind) override {
    KELSDK_LOG(PxoUtilityLib::kLogTrace, "%s progress=%u%%", kind == 0 ? "Format" : "Finalize",
               static_cast<unsigned>(percent));
  }
};

[[noreturn]] void invalidArgument(const char* function, int line) {
  throwUtility(KELSDK_ERR_INVALID_PARAMETER, "Invalid argument", __FILE__, line, function);
}

// The settings, or nothing when they cannot be read.
bool readSettings(UserSetting& setting) {
  try {
    PxoUtilityImpl(u"", nullptr).getUserSetting(setting);
    return true;
  } catch (const PxoUtilityLibException&) {
    return false;
  }
}

bool writeSettings(const UserSetting& setting) {
  try {
    PxoUtilityImpl(u"", nullptr).setUserSetting(setting);
    return true;
  } catch (const PxoUtilityLibException&) {
    return false;
  }
}

constexpr std::array<std::uint16_t, 256> crcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t c = static_cast<std::uint16_t>(i << 8);
    for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
    table[i] = c;
  }
  return table;
}

constexpr int kEjectAttempts = 10;
constexpr std::uint64_t kEjectPauseMs = 100;

}  // namespace

bool KelUtility::GetOperationalMode(int mode, void* buffer, std::uint64_t size) {
  constexpr const char* kName = "kelutil::KelUtility::GetOperationalMode";
  return convertExceptions(__FILE__, __LINE__, kName, [&] {
    if (!buffer || size == 0 || mode < 0 || mode > 3) invalidArgument(kName, __LINE__);
    UserSetting s;
    if (!readSettings(s)) return false;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memset(out, 0, size);
    switch (mode) {
      case 0: out[0] = s.DefaultVolType; break;
      case 1: out[0] = s.VerifyOnWrite ? 1 : 0; break;
      case 2: out[0] = s.RecInhibit ? 1 : 0; break;
      default:
        if (size < 4) return false;
        std::memcpy(out, &s.DfltFsFlshPlcy, 4);
    }
    return true;
  });
}

bool KelUtility::SetOperationalMode(int mode, const void* buffer, std::uint64_t size) {
  constexpr const char* kName = "kelutil::KelUtility::SetOperationalMode";
  return convertExceptions(__FILE__, __LINE__, kName, [&] {
    if (!buffer || size == 0 || mode < 0 || mode > 3) invalidArgument(kName, __LINE__);
    UserSetting s;
    if (!readSettings(s)) return false;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    switch (mode) {
      case 0: s.DefaultVolType = in[0] ? 1 : 0; break;
      case 1: s.VerifyOnWrite = in[0] != 0; break;
      case 2: s.RecInhibit = in[0] != 0; break;
      default:
        if (size < 4) return false;
        std::memcpy(&s.DfltFsFlshPlcy, in, 4);
    }
    return writeSettings(s);
  });
}

bool KelUtility::ResetOperationalMode() {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::ResetOperationalMode",
                           [] { return writeSettings(UserSetting{}); });
}

std::uint16_t KelUtility::CalculateCRC(const std::uint8_t* data, std::uint64_t length) {
  static constexpr std::array<std::uint16_t, 256> kTable = crcTable();
  std::uint16_t crc = 0;
  for (std::uint64_t i = 0; data && i < length; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

bool KelUtility::DoAllDelete(const std::u16string& path, bool backtrack, FormatCallback* callback, std::uint8_t target) {
  constexpr const char* kName = "kelutil::KelUtility::DoAllDelete";
  return convertExceptions(__FILE__, __LINE__, kName, [&] {
    // The engine takes a volume back to slot 0 only: another slot is refused
    // before anything is erased.
    if (target != 0) invalidArgument(kName, __LINE__);
    KelFile file(path);
    std::string product, serial, revision;
    if (!DeviceControl::getDeviceProperty(file, product, serial, revision)) return false;
    LoggedProgress progress;
    return PxoUtilityImpl(path, &progress).doAllDelete(backtrack, callback) == 0;
  });
}

bool KelUtility::DoFinalize(const std::u16string& path) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::DoFinalize", [&] {
    LoggedProgress progress;
    return PxoUtilityImpl(path, &progress).doFinalize() == 0;
  });
}

bool KelUtility::DoEject(const std::u16string& path, bool) {
  constexpr const char* kName = "kelutil::KelUtility::DoEject";
  return convertExceptions(__FILE__, __LINE__, kName, [&] {
    KelFile file(path);
    for (int attempt = 1;; ++attempt) {
      try {
        file.Open();
        file.Close();
        return false;
      } catch (const KelUtilityException& e) {
        if (file.device()) file.Close();
        if (attempt < kEjectAttempts) {
          platform::clock().sleep_ms(kEjectPauseMs);
          continue;
        }
        const KelUtilityException copy = e;
        file.Open();
        file.Close();
        throw copy;
      }
    }
  });
}

// One shared body of the methods that do nothing.
static bool nothingDone() { return false; }
bool KelUtility::EnterExclusiveAccessMode() { return nothingDone(); }
bool KelUtility::ExitExclusiveAccessMode() { return nothingDone(); }
bool KelUtility::WriteAttribute() { return nothingDone(); }
bool KelUtility::GetDriveLog() { return nothingDone(); }
bool KelUtility::GetCartridgeType() { return nothingDone(); }
bool KelUtility::GetDriverLog() { return nothingDone(); }
bool KelUtility::DoRemount() { return nothingDone(); }
bool KelUtility::CloseFile() { return nothingDone(); }
bool KelUtility::ReadFile() { return nothingDone(); }

void KelUtility::throwExceptionDuplicateError(std::uint32_t code, const std::string& text) {
  if (code == 0x600FFFF) return;
  std::uint64_t mapped = KELSDK_ERR_INTERNAL;
  if (code == 0x220003) mapped = KELSDK_ERR_NO_DISC;
  else if (code == 0x130100) mapped = KELSDK_ERR_VOLUME_LOCKED;
  else if ((code & 0x120000) == 0x120000) mapped = KELSDK_ERR_DEVICE_IO_CONTROL;
  else if ((code & 0x210000) == 0x210000) mapped = KELSDK_ERR_DUPLICATE_DRIVE;
  else if ((code & 0x06000000) == 0x06000000) mapped = KELSDK_ERR_DUPLICATE_OTHER;
  throwUtility(mapped, text, __FILE__, __LINE__, "kelutil::KelUtility::throwExceptionDuplicateError");
}

}  // namespace kelutil

namespace {

using PxoUtilityLib::runPlain;

// Result of a class-interface method that answers a bool.
std::uint64_t boolResult(bool ok) { return ok ? KELSDK_SUCCESS : KELSDK_ERR_INTERNAL; }

// The progress function of a plain all delete as a FormatCallback.
class FormatCallbackForC : public kelutil::FormatCallback {
 public:
  FormatCallbackForC(int (*function)(unsigned, void*), void* user) : m_function(function), m_user(user) {}
  bool progress(std::uint32_t value) override { return m_function(value, m_user) != 0; }

 private:
  int (*m_function)(unsigned, void*);
  void* m_user;
};

}  // namespace

extern "C" {

std::uint64_t KelDriveSDK_GetOperationalMode(int mode, void* buffer, std::uint64_t size) {
  if (!buffer || size == 0 || mode > 3) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] { return boolResult(kelutil::KelUtility::GetOperationalMode(mode, buffer, size)); });
}

std::uint64_t KelDriveSDK_SetOperationalMode(int mode, const void* buffer, std::uint64_t size) {
  if (!buffer || size == 0 || mode > 3) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] { return boolResult(kelutil::KelUtility::SetOperationalMode(mode, buffer, size)); });
}

std::uint64_t KelDriveSDK_ResetOperationalMode() {
  return runPlain([] { return boolResult(kelutil::KelUtility::ResetOperationalMode()); });
}

std::uint64_t KelDriveSDK_DoAllDelete(const char16_t* path, int backtrack, int targetSlot,
                                      int (*progress)(unsigned, void*), void* user) {
  if (!path || (backtrack != 0 && backtrack != 1) || targetSlot != 0) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] {
    FormatCallbackForC adapter(progress, user);
    return boolResult(kelutil::KelUtility::DoAllDelete(path, backtrack == 1, progress ? &adapter : nullptr,
                                                       static_cast<std::uint8_t>(targetSlot)));
  });
}

std::uint64_t KelDriveSDK_DoFinalize(const char16_t* path) {
  if (!path) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] { return boolResult(kelutil::KelUtility::DoFinalize(path)); });
}

std::uint64_t KelDriveSDK_DoEject(const char16_t* path) {
  if (!path) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] { return boolResult(kelutil::KelUtility::DoEject(path, true)); });
}

static std::uint64_t exclusiveAccess() { return boolResult(kelutil::KelUtility::EnterExclusiveAccessMode()); }
std::uint64_t KelDriveSDK_EnterExclusiveAccessMode(void*) { return exclusiveAccess(); }
std::uint64_t KelDriveSDK_ExitExclusiveAccessMode(void*) { return exclusiveAccess(); }

std::uint64_t KelDriveSDK_WriteAttribute(const char16_t*, std::uint16_t, std::uint8_t, const void* data, std::uint32_t) {
  if (!data) return KELSDK_ERR_INVALID_PARAMETER;
  return boolResult(kelutil::KelUtility::WriteAttribute());
}
std::uint64_t KelDriveSDK_GetDriveLog(const char16_t*, const char16_t*) {
  return boolResult(kelutil::KelUtility::GetDriveLog());
}
std::uint64_t KelDriveSDK_GetCartridgeType(const char16_t*, int*) {
  return boolResult(kelutil::KelUtility::GetCartridgeType());
}
std::uint64_t KelDriveSDK_GetDriverLog(int, const char16_t* output) {
  if (!output) return KELSDK_ERR_INVALID_PARAMETER;
  return boolResult(kelutil::KelUtility::GetDriverLog());
}
std::uint64_t KelDriveSDK_DoRemount(const char16_t*) { return boolResult(kelutil::KelUtility::DoRemount()); }

}  // extern "C"
