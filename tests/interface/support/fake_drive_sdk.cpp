#include "fake_drive_sdk.h"

#include "kel/scsi.h"

namespace fakeengine {

FakeDriveSdk& sdk() {
  static FakeDriveSdk s;
  return s;
}

}  // namespace fakeengine

// The drive utility library's functions, as the interface library calls them.
std::uint64_t KelDriveSDK_Quorvel_SetCallbacks(KelSdkMountCallback mount, KelSdkUnmountCallback unmount,
                                               KelSdkControlCallback control, KelSdkLogCallback log,
                                               std::uint64_t sequenceNumber, int phase) {
  auto& s = fakeengine::sdk();
  s.calls.push_back("SetCallbacks(" + std::to_string(sequenceNumber) + "," + std::to_string(phase) + ")@" +
                    std::to_string(kel::CurrentDriveCommandContext().Phase));
  s.mount = mount;
  s.unmount = unmount;
  s.control = control;
  s.log = log;
  return s.set_callbacks_result;
}

std::uint64_t KelDriveSDK_Quorvel_GetRollbackInfo(const char16_t* path,
                                                  std::vector<_KEL_SDK_ROLLBACK_INFO>& points) {
  auto& s = fakeengine::sdk();
  std::string narrow;
  for (const char16_t* p = path; p && *p; ++p) narrow += static_cast<char>(*p);
  s.calls.push_back("GetRollbackInfo(" + narrow + ")@" + std::to_string(kel::CurrentDriveCommandContext().Phase));
  if (s.rollback_result) return s.rollback_result;
  points.insert(points.end(), s.points.begin(), s.points.end());
  return 0;
}

std::uint64_t KelDriveSDK_DoFinalize(const char16_t* path) {
  auto& s = fakeengine::sdk();
  std::string narrow;
  for (const char16_t* p = path; p && *p; ++p) narrow += static_cast<char>(*p);
  s.calls.push_back("DoFinalize(" + narrow + ")@" + std::to_string(kel::CurrentDriveCommandContext().Phase));
  return s.finalize_result;
}
