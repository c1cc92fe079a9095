// Functions of the drive utility library that the interface library calls
// while it serves a request (rollback points and finalisation).
#pragma once

#include <cstdint>
#include <vector>

#pragma pack(push, 1)
// One rollback point: the slot number in the first byte (the three bytes
// after it are zero), the metadata file-entry location at byte 4 and the
// file-set-descriptor location at byte 8. Readers that take the record as
// three 32-bit numbers read the slot number correctly because the padding is
// zero.
struct _KEL_SDK_ROLLBACK_INFO {
  std::uint8_t SlotNumber = 0;
  std::uint8_t Reserved[3] = {0, 0, 0};
  std::int32_t MetaDataFE_LSN = 0;
  std::int32_t FsdLsn = 0;
};
#pragma pack(pop)
static_assert(sizeof(_KEL_SDK_ROLLBACK_INFO) == 12, "_KEL_SDK_ROLLBACK_INFO is 12 bytes");

// Callbacks the drive utility library uses while it works for the host.
typedef int (*KelSdkMountCallback)();
typedef int (*KelSdkUnmountCallback)(bool force);
typedef int (*KelSdkControlCallback)(unsigned code, void* buffer);
typedef int (*KelSdkLogCallback)(int level, int type, const char* function, int line,
                                 const char16_t* text);

// Stores the four callbacks, the request's sequence number and the phase
// (3 before rollback-point queries, 4 before finalisation) for the following
// calls; 0 on success.
std::uint64_t KelDriveSDK_Quorvel_SetCallbacks(KelSdkMountCallback mount,
                                               KelSdkUnmountCallback unmount,
                                               KelSdkControlCallback control,
                                               KelSdkLogCallback log, std::uint64_t sequenceNumber,
                                               int phase);

// Appends the medium's rollback points to points (which the caller owns and
// frees); 0 on success.
std::uint64_t KelDriveSDK_Quorvel_GetRollbackInfo(const char16_t* path,
                                                  std::vector<_KEL_SDK_ROLLBACK_INFO>& points);

extern "C" {
// Finalises the disc in the drive named by path (the medium cookie text);
// 0 on success; on failure the drive library's code (such as 0x3000001, a
// refused state), or an SDK code (0x8100000000000001 when the finalize did
// not complete, 0x8100000000000005 for a null path).
std::uint64_t KelDriveSDK_DoFinalize(const char16_t* path);
}
