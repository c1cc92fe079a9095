// Supported drive models, the media tables of each drive generation and the
// media identifiers of a loaded medium.
#include "models.h"

#include "device_control.h"
#include "scsi_device.h"
#include "sdk_frame.h"

#include <cstring>
#include <iterator>

namespace PxoUtilityLib {

const char* const kModelPrefix = "QMR-T";
const char* const kSupportedDriveModels[7] = {"QMR-T10A",  "QMR-T20A",  "QMR-T20B", "QMR-T300A",
                                              "QMR-T300B", "QMR-T400A", "QMR-T400B"};
const char16_t* const kSupportedDriveModelsW[7] = {u"QMR-T10A",  u"QMR-T20A",  u"QMR-T20B", u"QMR-T300A",
                                                   u"QMR-T300B", u"QMR-T400A", u"QMR-T400B"};

namespace {
bool oneOf(const std::string& product, std::size_t first, std::size_t count) {
  for (std::size_t i = first; i < first + count; ++i)
    if (product == kSupportedDriveModels[i]) return true;
  return false;
}
}  // namespace

bool isSupportedDriveModel(const std::string& product) { return oneOf(product, 0, 7); }
bool isFirstGenerationModel(const std::string& product) { return oneOf(product, 0, 3); }
bool isSecondGenerationModel(const std::string& product) { return oneOf(product, 3, 2); }
bool isLatestDriveModel(const std::string& product) { return oneOf(product, 5, 2); }

}  // namespace PxoUtilityLib

namespace kelutil {

namespace {

struct MediaRow {
  const char* product;
  std::uint8_t flag;
};

constexpr MediaRow kFirstGenerationMedia[] = {{"QXC300RE", 1}, {"QXC300R", 1},   {"QXC600RE", 1},
                                              {"QXC600R", 1},  {"QXC1200RE", 1}, {"QXC1500R", 1}};
constexpr MediaRow kSecondGenerationMedia[] = {{"QXC1200RE", 0}, {"QXC1500R", 0}, {"QXC3300R", 1}};
constexpr std::uint32_t kRevisionWithoutTable = 1620;

// Fills the descriptors of a table when the caller's buffer holds them all.
template <std::size_t N>
void putMedia(SupportedMediaInfo* info, std::uint64_t size, const MediaRow (&rows)[N]) {
  const std::uint32_t bytes = static_cast<std::uint32_t>(N * sizeof(SupportedMediaDescriptor));
  std::memcpy(static_cast<void*>(info), &bytes, sizeof bytes);
  if (size < sizeof(std::uint32_t) + bytes) return;
  auto* out = reinterpret_cast<std::uint8_t*>(info) + sizeof(std::uint32_t);
  for (const MediaRow& row : rows) {
    std::uint8_t d[sizeof(SupportedMediaDescriptor)] = {};
    std::memcpy(d, "TARN", 4);
    std::memcpy(d + 8, row.product, std::strlen(row.product));
    d[24] = row.flag;
    std::memcpy(out, d, sizeof d);
    out += sizeof d;
  }
}

std::uint32_t leadingNumber(const std::string& text) {
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > 100000000) break;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

struct LegacyRow {
  std::uint8_t mediumType;
  std::uint8_t generation;
  const char* mpid;
  const char* productName;
  const char* umpid;
};

constexpr LegacyRow kLegacyRows[] = {
    {225, 12, "QXC300R", "Velmaro 1 Write-Once 300GB", "QXC1-WO-300"},
    {226, 12, "QXC300RE", "Velmaro 1 Rewritable 300GB", "QXC1-RE-300"},
    {227, 12, "QXC600R", "Velmaro 1 Write-Once 600GB", "QXC1-WO-600"},
    {228, 12, "QXC600RE", "Velmaro 1 Rewritable 600GB", "QXC1-RE-600"},
    {230, 12, "QXC1200RE", "Velmaro 1 Rewritable 1200GB", "QXC1-RE-1200"},
    {231, 12, "QXC1500R", "Velmaro 1 Write-Once 1500GB", "QXC1-WO-1500"},
    {241, 11, "QXC3300R", "Velmaro 2 Write-Once 3300GB", "QXC2-WO-3300"},
};

// The legacy row of the medium, when its vendor is exactly "TARN" and valid.
const LegacyRow* legacyRow(const BasicInfo& info) {
  if (info.VendorId != "TARN" || info.VendorValid != 1) return nullptr;
  for (const LegacyRow& row : kLegacyRows)
    if (row.mediumType == info.MediumType && row.generation == info.Generation) return &row;
  return nullptr;
}

}  // namespace

bool KelUtility::GetSupportedMediaInformation(const std::u16string& path, SupportedMediaInfo* info,
                                              std::uint64_t size) {
  return PxoUtilityLib::convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::GetSupportedMediaInformation", [&] {
    if (size < 4 || !info)
      PxoUtilityLib::throwUtility(KELSDK_ERR_INVALID_PARAMETER, "Invalid argument", __FILE__, __LINE__,
                                  "kelutil::KelUtility::GetSupportedMediaInformation");
    KelFile file(path);
    if (!DeviceControl::openForMediumJob(file)) return false;
    std::string product, serial, revision;
    bool answer = false;
    if (DeviceControl::getDeviceProperty(file, product, serial, revision)) {
      if (PxoUtilityLib::isFirstGenerationModel(product)) {
        putMedia(info, size, kFirstGenerationMedia);
        answer = true;
      } else if (PxoUtilityLib::isSecondGenerationModel(product) && leadingNumber(revision) < kRevisionWithoutTable) {
        putMedia(info, size, kSecondGenerationMedia);
        answer = true;
      } else {
        std::memset(static_cast<void*>(info), 0, size);
      }
    }
    DeviceControl::closeQuietly(file);
    return answer;
  });
}

void KelUtility::makeMPID_Legacy(BasicInfo& info) {
  const LegacyRow* row = legacyRow(info);
  info.Mpid = row ? row->mpid : "UNKNOWN";
}

void KelUtility::makeUMPID_Legacy(BasicInfo& info) {
  const LegacyRow* row = legacyRow(info);
  info.ProductName = row ? row->productName : "UNKNOWN MEDIA";
  info.Umpid = row ? row->umpid : "UNKNOWN MEDIA";
}

void KelUtility::makeUMPID_Formal(BasicInfo& info) {
  const std::string gigabytes = std::to_string(round_to_2sd(info.Capacity / 1000000000ull));
  const char* shortKind = "??";
  const char* longKind = "Unknown-Type";
  switch (info.CartridgeKind) {
    case 0: shortKind = "RE"; longKind = "Rewritable"; break;
    case 1: shortKind = "CL"; longKind = "Cleaning"; break;
    case 128: shortKind = "WO"; longKind = "Write-Once"; break;
    default: break;
  }
  const std::string digit = std::to_string(info.GenerationDigit);
  info.Umpid = "QXC" + digit + "-" + shortKind + "-" + gigabytes;
  info.ProductName = "Velmaro " + digit + " " + longKind + " " + gigabytes + "GB";
}

std::uint64_t KelUtility::round_to_2sd(std::uint64_t a) {
  std::uint64_t p = 1;
  while (p <= a && p < 0x199999999999999Aull) p *= 10;
  const std::uint64_t unit = p / 100;
  if (unit == 0) return a;
  const std::uint64_t half = p / 200;
  if (a > UINT64_MAX - half) return a;  // no room to round up without wrapping
  return a + half - (a + half) % unit;
}

}  // namespace kelutil
