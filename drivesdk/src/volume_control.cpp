// Device controls on a volume handle, carried to the engine through the
// host's control callback; and the retry loop above them.
#include "drive_ctrl.h"

#include "kel/errors.h"

#include <cstring>

namespace PxoUtilityLib {

namespace {

constexpr DWORD kErrorRetry = 1237;
constexpr int kControlCalls = 10;
constexpr std::uint32_t kMaxAttributeValue = kAttributeAnswerSize - kAttributeAnswerData;

DWORD callEngine(std::uint32_t code, void* record) {
  const KelSdkControlCallback control = hostCallbacks().control;
  if (!control) return kNoCallbackResult;
  return kel::Win32FromEngineResult(control(code, record));
}

// Function number of a control code, as the log shows it.
unsigned functionNumber(std::uint32_t code) { return (code >> 2) & 0xFFF; }

}  // namespace

DWORD VolumeControl::control(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
                             std::uint32_t outputCapacity, std::uint32_t* returned) {
  if (returned) *returned = 0;
  if (!hostCallbacks().control) return kNoCallbackResult;
  switch (code) {
    case kCtlCreateNewTrack:
    case kCtlVolumeControl: return callEngine(code, nullptr);
    case kCtlReadAttribute: return readAttribute(input, inputLength, output, outputCapacity, returned);
    case kCtlWriteAttribute: return writeAttribute(input, inputLength);
    case kCtlBacktrack: {
      // The engine fills the same 8-byte record.
      if (!output || outputCapacity < 8) return ERROR_INSUFFICIENT_BUFFER;
      const DWORD error = callEngine(code, output);
      if (error == 0 && returned) *returned = 8;
      return error;
    }
    case kCtlFileNodeList: return serveFileNodeList(input, inputLength, output, outputCapacity, returned);
    case kCtlVolumeIdentity:
    case kCtlDiscUsage:
    case kCtlGetFileCount:
    case kCtlFlushVolumeBuffers:
    case kCtlCommitNewTrack: return serveDuplicationControl(code, output, outputCapacity, returned);
    default: return ERROR_INVALID_FUNCTION;
  }
}

DWORD VolumeControl::readAttribute(const void* input, std::uint32_t inputLength, void* output,
                                   std::uint32_t capacity, std::uint32_t* returned) {
  if (!input || inputLength < 2 || !output) return ERROR_INVALID_PARAMETER;
  if (capacity < kAttributeAnswerData) return ERROR_INSUFFICIENT_BUFFER;
  const std::uint32_t room = std::min(capacity - kAttributeAnswerData, kMaxAttributeValue);
  auto* out = static_cast<std::uint8_t*>(output);
  EngineAttributeData record{};
  std::memcpy(&record.Id, input, sizeof record.Id);
  record.Length = room;
  record.Value = reinterpret_cast<std::uintptr_t>(out + kAttributeAnswerData);
  const DWORD error = callEngine(kFsctlReadAttribute, &record);
  if (error != 0) return error;
  if (record.Length > room) return ERROR_INVALID_DATA;  // the engine wrote past what it was given
  std::memcpy(out, &record.Id, 2);
  out[2] = record.Format;
  out[3] = 0;
  std::memcpy(out + 4, &record.Length, 4);
  if (returned) *returned = kAttributeAnswerData + record.Length;
  return 0;
}

DWORD VolumeControl::writeAttribute(const void* input, std::uint32_t inputLength) {
  if (!input || inputLength < 8) return ERROR_INVALID_PARAMETER;
  const auto* in = static_cast<const std::uint8_t*>(input);
  EngineAttributeData record{};
  std::memcpy(&record.Id, in, 2);
  record.Format = in[2];  // the low byte of the u16 at 2
  std::memcpy(&record.Length, in + 4, 4);
  if (record.Length > inputLength - 8) return ERROR_INVALID_PARAMETER;
  record.Value = reinterpret_cast<std::uintptr_t>(in + 8);
  return callEngine(kCtlWriteAttribute, &record);
}

bool wrapperDeviceIoControl(VolumeControl& volume, std::uint32_t code, const void* input, std::uint32_t inputLength,
                            void* output, std::uint32_t outputCapacity, std::uint32_t* returned) {
  const unsigned fn = functionNumber(code);
  DWORD error = 0;
  for (int retry = 0; retry < kControlCalls; ++retry) {
    error = volume.control(code, input, inputLength, output, outputCapacity, returned);
    if (error == 0) {
      KELSDK_LOG(kLogTrace, "DeviceIoControl(0x%03X) Success:nRetryCnt=%d", fn, retry);
      return true;
    }
    if (error != kErrorRetry || retry == kControlCalls - 1) {
      KELSDK_LOG(kLogError, "DeviceIoControl(0x%03X) Error(nRetryCnt=%d) or Retry Over: GetLastError()=0x%08X", fn,
                 retry, error);
      break;
    }
    KELSDK_LOG(kLogTrace, "DeviceIoControl(0x%03X)retry...", fn);
  }
  SetLastError(error);
  return false;
}

}  // namespace PxoUtilityLib
