// Class-interface methods of the drive identity and the plain functions
// over them.
#include "device_control.h"
#include "scsi_device.h"
#include "sdk_frame.h"

#include <cstring>

namespace kelutil {

bool DeviceControl::getDeviceProperty(const KelFile& file, std::string& product, std::string& serial,
                                      std::string& revision) {
  KelFile second(file.path());
  bool ok = false;
  try {
    second.Open();
    PxoUtilityLib::SptiCtrlDevice& device = *second.device();
    // The INQUIRY comes first: the serial's allocation depends on the model.
    ok = device.readInquiry(product, revision) == 0 && device.readSerialNumber(serial) == 0;
    second.Close();
  } catch (const KelUtilityException&) {
    ok = false;
  }
  if (!ok) {
    product.clear();
    serial.clear();
    revision.clear();
  }
  return ok;
}

bool DeviceControl::openForMediumJob(KelFile& file) {
  try {
    file.Open();
  } catch (const KelUtilityException& e) {
    if (e.code() == KELSDK_ERR_CREATE_FILE) return false;
  }
  return true;
}

void DeviceControl::closeQuietly(KelFile& file) {
  if (file.device()) file.Close();
}

std::string KelUtility::GetVersion() { return "5.0.0.2"; }

bool KelUtility::readDeviceStrings(const std::u16string& path, DeviceInfo& info, const char* function) {
  return PxoUtilityLib::convertExceptions(__FILE__, __LINE__, function, [&] {
    KelFile file(path);
    if (!DeviceControl::openForMediumJob(file)) return false;
    DeviceControl::getDeviceProperty(file, info.ProductId, info.SerialNumber, info.Revision);
    DeviceControl::closeQuietly(file);
    return false;
  });
}

bool KelUtility::GetDeviceInformation(const std::u16string& path, DeviceInfo& info) {
  return readDeviceStrings(path, info, "kelutil::KelUtility::GetDeviceInformation");
}

bool KelUtility::GetDeviceInformationEx(const std::u16string& path, DeviceInfo& info, std::uint32_t) {
  return readDeviceStrings(path, info, "kelutil::KelUtility::GetDeviceInformationEx");
}

}  // namespace kelutil
