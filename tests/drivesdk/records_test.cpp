// Exported records: layouts, conversions to the plain records, assignments
// and the media identifiers of a loaded medium.
#include "sdk_support.h"

#include "conversions.h"

#include <cstring>

namespace kelutil {
struct KelUtilityTestPeer {
  static void makeMPID_Legacy(BasicInfo& i) { KelUtility::makeMPID_Legacy(i); }
  static void makeUMPID_Legacy(BasicInfo& i) { KelUtility::makeUMPID_Legacy(i); }
  static void makeUMPID_Formal(BasicInfo& i) { KelUtility::makeUMPID_Formal(i); }
  static std::uint64_t round_to_2sd(std::uint64_t v) { return KelUtility::round_to_2sd(v); }
};
}  // namespace kelutil

namespace sdktest {
namespace {

using Peer = kelutil::KelUtilityTestPeer;

kelutil::BasicInfo filledBasicInfo() {
  kelutil::BasicInfo in;
  for (std::size_t i = 0; i < sizeof in.Block; ++i) in.Block[i] = static_cast<std::uint8_t>(i + 1);
  in.First[0] = 0x11111111;
  in.First[2] = 0x13131313;
  in.Generation = 12;
  in.Second[1] = 0x22222222;
  in.MediumType = 0xE3;
  in.VendorId = "TARN1234";  // exactly 8 bytes
  in.Mpid = "QXC300R";
  in.ProductName = std::string(60, 'P');  // longer than its 49 bytes
  in.Umpid = "QXC1-WO-300";
  in.Enumeration = 1;
  in.Byte1 = 0xA1;
  in.Byte2 = 0xA2;
  in.Values[0] = 0x0102030405060708ull;
  in.Values[2] = 0x1112131415161718ull;
  in.Capacity = 300000000000ull;
  in.CartridgeKind = 128;
  return in;
}

TEST(SdkRecords, BasicInfoConversionKeepsTheLayout) {
  KelDriveSDK_BasicInfo out;
  std::memset(static_cast<void*>(&out), 0xCC, sizeof out);
  PxoUtilityLib::convertBasicInfo(filledBasicInfo(), &out);
  const auto* b = reinterpret_cast<const std::uint8_t*>(&out);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[31], 32);
  std::uint32_t u;
  std::memcpy(&u, b + 32, 4);
  EXPECT_EQ(u, 0x11111111u);
  std::memcpy(&u, b + 40, 4);
  EXPECT_EQ(u, 0x13131313u);
  EXPECT_EQ(b[44], 12);
  std::memcpy(&u, b + 49, 4);
  EXPECT_EQ(u, 0x22222222u);
  EXPECT_EQ(b[57], 0xE3);
  // An 8-byte vendor fills its field with no terminator.
  EXPECT_EQ(std::memcmp(b + 58, "TARN1234", 8), 0);
  // A shorter string leaves the rest of its field as the caller had it.
  EXPECT_EQ(std::memcmp(b + 66, "QXC300R", 7), 0);
  EXPECT_EQ(b[73], 0xCC);
  // A longer one is cut to its field.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 82), 49), std::string(49, 'P'));
  EXPECT_EQ(std::memcmp(b + 131, "QXC1-WO-300", 11), 0);
  std::int32_t e;
  std::memcpy(&e, b + 164, 4);
  EXPECT_EQ(e, 1);
  EXPECT_EQ(b[168], 0xA1);
  EXPECT_EQ(b[169], 0xA2);
  std::uint64_t v;
  std::memcpy(&v, b + 170, 8);
  EXPECT_EQ(v, 0x0102030405060708ull);
  std::memcpy(&v, b + 186, 8);
  EXPECT_EQ(v, 0x1112131415161718ull);
}

TEST(SdkRecords, EnumerationOtherThanZeroOrOneLeavesTheField) {
  for (std::uint8_t enumeration : {0, 2, 255}) {
    kelutil::BasicInfo in = filledBasicInfo();
    in.Enumeration = enumeration;
    KelDriveSDK_BasicInfo out;
    std::memset(static_cast<void*>(&out), 0xCC, sizeof out);
    PxoUtilityLib::convertBasicInfo(in, &out);
    const auto* b = reinterpret_cast<const std::uint8_t*>(&out);
    const std::uint8_t expect[4] = {0, 0, 0, 0};
    const std::uint8_t untouched[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    EXPECT_EQ(std::memcmp(b + 164, enumeration == 0 ? expect : untouched, 4), 0) << int(enumeration);
  }
}

TEST(SdkRecords, DeviceInfoConversionCutsAndTerminates) {
  kelutil::DeviceInfo in;
  in.ProductId = "QMR-T400B-LONG-PRODUCT";
  in.SerialNumber = std::string(28, 'S');
  in.Revision = "17001";
  in.Variant = 2;
  for (std::uint32_t i = 0; i < 16; ++i) in.VariantData[i] = i + 1;
  KelDriveSDK_DeviceInfo shortForm, longForm;
  PxoUtilityLib::convertDeviceInfo(in, &shortForm, false);
  PxoUtilityLib::convertDeviceInfo(in, &longForm, true);
  EXPECT_STREQ(shortForm.ProductId, "QMR-T400B-LONG-P");
  EXPECT_STREQ(shortForm.SerialNumber, std::string(16, 'S').c_str());
  EXPECT_STREQ(shortForm.Revision, "1700");
  EXPECT_EQ(shortForm.Variant, 2);
  std::uint32_t data[16];
  std::memcpy(data, shortForm.VariantData, sizeof data);
  EXPECT_EQ(data[12], 13u);
  EXPECT_EQ(data[13], 0u);  // thirteen values by the short form
  std::memcpy(data, longForm.VariantData, sizeof data);
  EXPECT_EQ(data[15], 16u);
}

TEST(SdkRecords, AssignmentsCopyEveryFieldAndMovesEmptyTheSource) {
  KelDriveSDK_BasicInfo a, b;
  auto* pa = reinterpret_cast<std::uint8_t*>(&a);
  for (std::size_t i = 0; i < sizeof a; ++i) pa[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::memset(static_cast<void*>(&b), 0, sizeof b);
  b = a;
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);

  kelutil::BasicInfo source = filledBasicInfo();
  kelutil::BasicInfo copy;
  copy = source;
  EXPECT_EQ(copy.VendorId, "TARN1234");
  EXPECT_EQ(copy.Values[2], source.Values[2]);
  EXPECT_EQ(copy.Capacity, source.Capacity);
  kelutil::BasicInfo moved(std::move(source));
  EXPECT_EQ(moved.Umpid, "QXC1-WO-300");
  EXPECT_EQ(moved.CartridgeKind, 128);
  EXPECT_TRUE(source.VendorId.empty() && source.Mpid.empty() && source.ProductName.empty() && source.Umpid.empty());

  kelutil::DeviceInfo d;
  d.SerialNumber = "ABC";
  d.VariantData[3] = 9;
  kelutil::DeviceInfo e;
  e = std::move(d);
  EXPECT_EQ(e.SerialNumber, "ABC");
  EXPECT_EQ(e.VariantData[3], 9u);
  EXPECT_TRUE(d.SerialNumber.empty());
}

TEST(SdkRecords, RoundToTwoSignificantDigits) {
  const std::pair<std::uint64_t, std::uint64_t> rows[] = {
      {3300, 3300}, {5549, 5500}, {5550, 5600}, {123, 120}, {99, 99}, {5, 5}, {0, 0}, {995, 1000}, {5512, 5500}};
  for (auto [in, out] : rows) EXPECT_EQ(Peer::round_to_2sd(in), out) << in;
  // The largest values neither loop forever nor wrap.
  EXPECT_GE(Peer::round_to_2sd(UINT64_MAX), UINT64_MAX / 2);
}

TEST(SdkRecords, LegacyIdentifiers) {
  const struct {
    const char* vendor;
    std::uint8_t valid, generation, type;
    const char *mpid, *product, *umpid;
  } rows[] = {
      {"TARN", 1, 12, 225, "QXC300R", "Velmaro 1 Write-Once 300GB", "QXC1-WO-300"},
      {"TARN", 1, 12, 230, "QXC1200RE", "Velmaro 1 Rewritable 1200GB", "QXC1-RE-1200"},
      {"TARN", 1, 11, 241, "QXC3300R", "Velmaro 2 Write-Once 3300GB", "QXC2-WO-3300"},
      {"TARN ", 1, 12, 225, "UNKNOWN", "UNKNOWN MEDIA", "UNKNOWN MEDIA"},
      {"TARN", 0, 12, 225, "UNKNOWN", "UNKNOWN MEDIA", "UNKNOWN MEDIA"},
      {"TARN", 1, 12, 229, "UNKNOWN", "UNKNOWN MEDIA", "UNKNOWN MEDIA"},
      {"TARN", 1, 12, 241, "UNKNOWN", "UNKNOWN MEDIA", "UNKNOWN MEDIA"},
      {"TARN", 1, 11, 225, "UNKNOWN", "UNKNOWN MEDIA", "UNKNOWN MEDIA"},
  };
  for (const auto& row : rows) {
    kelutil::BasicInfo info;
    info.VendorId = row.vendor;
    info.VendorValid = row.valid;
    info.Generation = row.generation;
    info.MediumType = row.type;
    Peer::makeMPID_Legacy(info);
    Peer::makeUMPID_Legacy(info);
    EXPECT_EQ(info.Mpid, row.mpid) << row.vendor << int(row.type);
    EXPECT_EQ(info.ProductName, row.product) << row.vendor << int(row.type);
    EXPECT_EQ(info.Umpid, row.umpid) << row.vendor << int(row.type);
  }
}

TEST(SdkRecords, FormalIdentifiers) {
  const struct {
    std::uint8_t digit, kind;
    std::uint64_t capacity;
    const char *umpid, *product;
  } rows[] = {
      {3, 128, 5512000000000ull, "QXC3-WO-5500", "Velmaro 3 Write-Once 5500GB"},
      {2, 0, 3300000000000ull, "QXC2-RE-3300", "Velmaro 2 Rewritable 3300GB"},
      {1, 1, 999999999ull, "QXC1-CL-0", "Velmaro 1 Cleaning 0GB"},
      {4, 7, 1234000000000ull, "QXC4-?" "?-1200", "Velmaro 4 Unknown-Type 1200GB"},
  };
  for (const auto& row : rows) {
    kelutil::BasicInfo info;
    info.GenerationDigit = row.digit;
    info.CartridgeKind = row.kind;
    info.Capacity = row.capacity;
    Peer::makeUMPID_Formal(info);
    EXPECT_EQ(info.Umpid, row.umpid);
    EXPECT_EQ(info.ProductName, row.product);
  }
}

}  // namespace
}  // namespace sdktest
