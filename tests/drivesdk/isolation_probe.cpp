// A program linked against the shared interface and drive utility
// libraries: one command through the interface library's pipe client, then
// the supported-media query of the drive utility library, both on a
// simulated drive. Prints the connection of each command and the result.
#include "KelDriveSDK/KelDriveSDK.h"
#include "kel/scsi.h"
#include "sim/harness.h"

#include <cstdio>
#include <string>

int main() {
  kelsim::HarnessOptions options;
  options.drive.product = "QMR-T20A";
  kelsim::SimHarness sim(options);
  kel::SetMediumCookie(sim.cookie());
  std::uint8_t cdb[12] = {0x12, 0, 0, 0, 36};
  std::uint8_t data[36] = {};
  std::uint8_t sense[18] = {};
  std::uint8_t status = 0;
  const int interfaceResult = quorvel_scsi_transfer(1, 12, cdb, kScsiDirIn, 36, data, 18, sense, &status);
  std::u16string path;
  for (char c : sim.cookie_text()) path += static_cast<char16_t>(c);
  std::uint8_t buffer[214] = {};
  const std::uint64_t result = KelDriveSDK_GetSupportedMediaInfo(
      path.c_str(), reinterpret_cast<KelDriveSDK_SupportedMediaInfo*>(buffer), sizeof buffer);
  std::printf("interface-result %d\nsdk-result %llx\n", interfaceResult, static_cast<unsigned long long>(result));
  for (const auto& e : sim.service().transcript())
    if (!e.is_notice()) std::printf("command %02x %u connection %d\n", e.opcode(), e.data_length, e.connection);
  return 0;
}
