// The descriptors finalize reads from one slot: both sequences in whole
// RUBs (shared when they overlap), the integrity sequence, and the checks
// of lengths and places that come from the medium.
#include "sdk_support.h"

#include "finalize.h"

#include "engine/udf/support_image.h"
#include "support/recorded_disc.h"

#include <cstring>

namespace sdktest {
namespace {

using PxoUtilityLib::DescriptorData;
using PxoUtilityLib::DriveCtrl;
using PxoUtilityLib::RubRange;

constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kImageSectors = 8192;

TEST(SdkRubRanges, MergeCases) {
  const struct {
    const char* name;
    std::uint32_t mLoc, mSectors, rLoc, rSectors;
    bool shared;
    RubRange m, r;
  } rows[] = {
      {"equal tops", 288, 6, 304, 40, true, {288, 64, 0}, {288, 64, 16}},
      {"RVDS top inside the MVDS RUBs", 30, 40, 64, 6, true, {0, 96, 30}, {64, 32, 64}},
      {"MVDS top inside the RVDS RUBs", 64, 6, 30, 40, true, {0, 96, 64}, {0, 96, 30}},
      {"apart", 0, 6, 64, 6, false, {0, 32, 0}, {64, 32, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RubRange m = PxoUtilityLib::rubRange(row.mLoc, row.mSectors, 32);
    RubRange r = PxoUtilityLib::rubRange(row.rLoc, row.rSectors, 32);
    EXPECT_EQ(PxoUtilityLib::mergeRubRanges(m, r), row.shared);
    EXPECT_EQ((std::vector<std::uint32_t>{m.top, m.size, m.offset}),
              (std::vector<std::uint32_t>{row.m.top, row.m.size, row.m.offset}));
    EXPECT_EQ((std::vector<std::uint32_t>{r.top, r.size, r.offset}),
              (std::vector<std::uint32_t>{row.r.top, row.r.size, row.r.offset}));
  }
}

void put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

class SdkDescriptors : public SdkSimTest {
 protected:
  // Slot 0 holds the builder's image after `change`; the result of
  // readDescriptors (0 or the code thrown).
  std::uint32_t read(udf_test::MediumClass cls, const std::function<void(std::vector<std::uint8_t>&)>& change) {
    kelsim::CartridgeSetup c;
    c.medium_type = cls == udf_test::MediumClass::F2 ? 0xF2 : 0xE1;
    c.disc_blocks = kImageSectors;
    start("QMR-T400B", c);
    const auto spec = udf_test::spec_for(cls, 0);
    layout_ = udf_test::layout_for(spec);
    std::vector<std::uint8_t> image;
    udf_test::build_volume(spec, image);
    change(image);
    kel_test::record_volume(sim_->cartridge(), 0, image.data(), kImageSectors);
    DriveCtrl drive(path(), false);
    EXPECT_EQ(drive.openReadOnly(), 0u);
    drive.setMediumType(c.medium_type);
    try {
      PxoUtilityLib::readDescriptors(drive, data_, 0);
      return 0;
    } catch (const PxoUtilityLib::PxoUtilityLibException& e) {
      return e.code();
    }
  }
  std::uint8_t* at(std::vector<std::uint8_t>& image, std::uint32_t lsn) { return &image[std::size_t{lsn} * kSector]; }
  // Changes the AVDP at 256 (main extent at 16, reserve at 24).
  void anchor(std::vector<std::uint8_t>& image, std::size_t field, std::uint32_t value) {
    put32(at(image, 256) + field, value);
    udf_test::reseal(at(image, 256));
  }
  // Changes the LVIS extent (LVD bytes 432-439) of one sequence's LVD.
  void lvisOf(std::vector<std::uint8_t>& image, std::uint32_t vds, std::uint32_t length, std::uint32_t location) {
    std::uint8_t* lvd = at(image, vds + 3);
    put32(lvd + 432, length);
    put32(lvd + 436, location);
    udf_test::reseal(lvd);
  }
  DescriptorData data_;
  udf_test::ImageLayout layout_{};
};

TEST_F(SdkDescriptors, BuilderImagesAndTheirFaults) {
  using udf_test::MediumClass;
  using Change = std::function<void(std::vector<std::uint8_t>&)>;
  const Change none = [](std::vector<std::uint8_t>&) {};
  const struct {
    const char* name;
    MediumClass cls;
    Change change;
    std::uint32_t result;
  } rows[] = {
      {"write-once: sequences share a RUB", MediumClass::WriteOnce, none, 0},
      {"F2: sequences apart", MediumClass::F2, none, 0},
      {"F2 MVDS elsewhere", MediumClass::F2, [&](auto& i) { anchor(i, 20, 0x190); }, 0x230105},
      {"F2 RVDS elsewhere", MediumClass::F2, [&](auto& i) { anchor(i, 28, 0x210); }, 0x230106},
      {"MVDS length 0", MediumClass::WriteOnce, [&](auto& i) { anchor(i, 16, 0); }, 0x230101},
      {"MVDS past N", MediumClass::WriteOnce, [&](auto& i) { anchor(i, 20, kImageSectors - 2); }, 0x230101},
      {"RVDS past N", MediumClass::WriteOnce, [&](auto& i) { anchor(i, 28, 0xFFFFFFF0); }, 0x230103},
      {"LVIS extents differ", MediumClass::WriteOnce,
       [&](auto& i) { lvisOf(i, layout_.reserve_vds, 0x8000, layout_.lvid); }, 0x230201},
      {"LVIS of 2048 bytes", MediumClass::WriteOnce,
       [&](auto& i) {
         lvisOf(i, layout_.main_vds, 2048, layout_.lvid);
         lvisOf(i, layout_.reserve_vds, 2048, layout_.lvid);
       },
       0x230202},
      {"LVIS past N", MediumClass::WriteOnce,
       [&](auto& i) {
         lvisOf(i, layout_.main_vds, 0x10000, kImageSectors - 4);
         lvisOf(i, layout_.reserve_vds, 0x10000, kImageSectors - 4);
       },
       0x230203},
      {"first LVIS sector no LVID", MediumClass::WriteOnce,
       [&](auto& i) { std::memset(at(i, layout_.lvid), 0, kSector); }, 0x230204},
      {"LVID tag broken", MediumClass::WriteOnce, [&](auto& i) { at(i, layout_.lvid)[100] ^= 1; }, 0x230205},
      {"second LVIS sector no TD", MediumClass::WriteOnce,
       [&](auto& i) { std::memset(at(i, layout_.lvid + 1), 0, kSector); }, 0x230206},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    layout_ = udf_test::layout_for(udf_test::spec_for(row.cls, 0));
    EXPECT_EQ(read(row.cls, row.change), row.result);
    if (row.result == 0) {
      ASSERT_NE(data_.mvdsPvd, nullptr);
      ASSERT_NE(data_.rvdsPvd, nullptr);
      ASSERT_NE(data_.lvid, nullptr);
      ASSERT_NE(data_.td, nullptr);
      EXPECT_EQ(data_.shared, row.cls == MediumClass::WriteOnce);
      EXPECT_EQ(data_.mvdsPvd->volumeSequenceNumber(), 1);
      EXPECT_EQ(data_.rvdsPvd->volumeSequenceNumber(), 1);
      EXPECT_EQ(data_.lvid->tagIdentifier(), 9);
      EXPECT_EQ(data_.td->tagIdentifier(), 8);
      EXPECT_EQ(PxoUtilityLib::lvidIntegrityType(data_), 1u);
    }
    SdkSimTest::TearDown();
  }
}

}  // namespace
}  // namespace sdktest
