// A recording stand-in for the drive utility library's two rollback
// functions, for the failures the real library cannot be made to answer on
// a simulated drive (a refused hand-over, its argument and internal codes).
// A suite links either this or the library's core.
#pragma once

#include "KelDriveSDK/quorvel_api.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fakeengine {

struct FakeDriveSdk {
  std::uint64_t set_callbacks_result = 0;
  std::uint64_t rollback_result = 0;
  std::uint64_t finalize_result = 0;
  std::vector<_KEL_SDK_ROLLBACK_INFO> points;
  // "SetCallbacks(seq,mode)@phase", "GetRollbackInfo(path)@phase" (the
  // phase of the drive-command context at the call), "DoFinalize(path)@phase".
  std::vector<std::string> calls;
  KelSdkMountCallback mount = nullptr;
  KelSdkUnmountCallback unmount = nullptr;
  KelSdkControlCallback control = nullptr;
  KelSdkLogCallback log = nullptr;
  void reset() { *this = FakeDriveSdk{}; }
};
FakeDriveSdk& sdk();

}  // namespace fakeengine
