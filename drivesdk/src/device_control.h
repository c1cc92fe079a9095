// The layer that reads the drive's identity.
#pragma once

#include "scsi_device.h"

#include <string>

namespace kelutil {

class DeviceControl {
 public:
  virtual ~DeviceControl() = default;
  // A second device file on the file's path: the standard INQUIRY (product
  // and revision), then the unit serial number. True only when both
  // succeed; otherwise all three strings are empty.
  static bool getDeviceProperty(const KelFile& file, std::string& product, std::string& serial, std::string& revision);
  // Open for a medium job: false on a create-file failure; any other failure
  // of the open is passed over (the file stays unopened).
  static bool openForMediumJob(KelFile& file);
  // The medium's basic information: 0x8100000000000002 "media is not
  // ingested" when no disc answers TEST UNIT READY; otherwise the measured
  // fields set to zero, the strings and identifiers kept.
  static void GetInformation(KelFile& file, BasicInfo& info);
  // Close without letting an "already close" escape.
  static void closeQuietly(KelFile& file);
};

}  // namespace kelutil
