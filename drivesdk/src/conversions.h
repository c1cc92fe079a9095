// Conversions between the class interface's records and the plain records,
// and the option reduction of the file-control options.
#pragma once

#include "KelDriveSDK/KelDriveSDK.h"

namespace PxoUtilityLib {

// Fills the plain record from the class record. Strings are copied without
// terminator and cut to their field; the rest of a field keeps what the
// caller had there; an enumeration byte other than 0 or 1 leaves bytes
// 164-167 alone.
void convertBasicInfo(const kelutil::BasicInfo& in, KelDriveSDK_BasicInfo* out);
void convertDeviceInfo(const kelutil::DeviceInfo& in, KelDriveSDK_DeviceInfo* out, bool longer);
// Keeps bits 1-4; of bits 2, 3 and 4 only one survives (0x08, then 0x04,
// then 0x10).
std::uint32_t reduceFileControlOptions(std::uint32_t options);
// Packs the recording information into a plain buffer of `size` bytes: the
// count of all entries, then whole 12-byte entries while they fit; nothing
// below 4 bytes.
void packRecordingInfo(const std::vector<kelutil::FILE_RECORDING_INFO>& entries, void* buffer, std::uint64_t size);

}  // namespace PxoUtilityLib
