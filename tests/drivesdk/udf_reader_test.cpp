// The anchor and descriptor-sequence reader on builder images written to a
// slot of the simulated cartridge.
#include "sdk_support.h"
#include "support/recorded_disc.h"

#include "drive_ctrl.h"
#include "udf_reader.h"

#include "engine/udf/support_image.h"

#include <cstring>

namespace sdktest {
namespace {

using PxoUtilityLib::DataArray;
using PxoUtilityLib::DriveCtrl;
using PxoUtilityLib::LVDDescriptor;
using PxoUtilityLib::PDDescriptor;
using PxoUtilityLib::PVDDescriptor;
using PxoUtilityLib::UDFReader;
using PxoUtilityLib::VdsExtent;

constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kImageSectors = 8192;
constexpr std::uint32_t kScratch = 1024;  // where test sequences are written

class SdkUdfReader : public SdkSimTest {
 protected:
  // A cartridge whose slot `slot` holds the builder's write-once image.
  void load(std::uint8_t slot = 0) {
    kelsim::CartridgeSetup cartridge;
    cartridge.disc_blocks = kImageSectors;
    cartridge.loaded_slot = slot;
    start("QMR-T300B", cartridge);
    image_.clear();
    udf_test::build_volume(udf_test::spec_for(udf_test::MediumClass::WriteOnce, slot), image_);
    ASSERT_EQ(image_.size(), std::size_t{kImageSectors} * kSector);
    kel_test::record_volume(sim_->cartridge(), slot, image_.data(), kImageSectors);
    ctrl_ = std::make_unique<DriveCtrl>(path(), false);
    ASSERT_EQ(ctrl_->openReadOnly(), 0u);
  }
  void write(std::uint32_t lsn, const std::uint8_t* data, std::uint32_t count) {
    kel_test::record_blocks(sim_->cartridge(), sim_->cartridge().loaded_slot, lsn, count, data);
  }
  std::uint8_t* sector(std::uint32_t lsn) { return image_.data() + std::size_t{lsn} * kSector; }
  // Writes sectors to the scratch area and reads them back through the drive.
  DataArray sequence(const std::vector<const std::uint8_t*>& sectors) {
    std::vector<std::uint8_t> bytes(sectors.size() * kSector);
    for (std::size_t i = 0; i < sectors.size(); ++i) std::memcpy(&bytes[i * kSector], sectors[i], kSector);
    write(kScratch, bytes.data(), static_cast<std::uint32_t>(sectors.size()));
    ctrl_->closeHandle();  // the RUB cache must not answer with the old scratch area
    EXPECT_EQ(ctrl_->reopen(), 0u);
    DataArray out;
    EXPECT_EQ(ctrl_->readSector(kScratch, static_cast<std::uint32_t>(sectors.size()), out), 0u);
    return out;
  }
  void TearDown() override {
    ctrl_.reset();
    SdkSimTest::TearDown();
  }

  std::vector<std::uint8_t> image_;
  std::unique_ptr<DriveCtrl> ctrl_;
};

TEST_F(SdkUdfReader, AnchorsAtSector256AndAtN) {
  load();
  UDFReader reader(*ctrl_, 0, true);
  VdsExtent mvds, rvds;
  std::uint16_t serial = 0;
  ASSERT_TRUE(reader.readAVDP1(mvds, rvds, serial));
  EXPECT_EQ(mvds.location, 288u);
  EXPECT_EQ(mvds.length, 0x8000u);
  EXPECT_EQ(rvds.location, 304u);
  EXPECT_EQ(serial, 7);

  // A wrong checksum at 256: the first anchor fails, the one at N serves.
  std::uint8_t bad[kSector];
  std::memcpy(bad, sector(256), kSector);
  bad[4] ^= 1;
  write(256, bad, 1);
  ctrl_->closeHandle();
  ASSERT_EQ(ctrl_->reopen(), 0u);
  EXPECT_FALSE(reader.readAVDP1(mvds, rvds, serial));
  EXPECT_TRUE(host().logged("chekAVDP checkDescriptorTag error"));
  EXPECT_TRUE(host().logged("AVDP(LSN=256) chaeck error"));
  VdsExtent nMain, nReserve;
  ASSERT_EQ(reader.readAVDPN(nMain, nReserve, serial), 0u);
  EXPECT_EQ(nMain.location, 288u);
  EXPECT_EQ(nReserve.location, 304u);
  EXPECT_TRUE(host().logged("[####]ulN=8191"));
  EXPECT_EQ(commands(0x28).back().cdb[5], (8191 - 8191 % 32) & 0xFF);

  // Without the reserve asked for, its extent is left alone.
  UDFReader mainOnly(*ctrl_, 0, false);
  VdsExtent untouched{1, 2};
  ASSERT_EQ(mainOnly.readAVDPN(nMain, untouched, serial), 0u);
  EXPECT_EQ(untouched.length, 1u);
  EXPECT_EQ(untouched.location, 2u);
}

TEST_F(SdkUdfReader, AnchorFailures) {
  load();
  UDFReader reader(*ctrl_, 0, true);
  VdsExtent mvds, rvds;
  std::uint16_t serial = 0;
  // Another tag identifier at N and at 256.
  std::uint8_t other[kSector];
  std::memcpy(other, sector(288), kSector);  // a PVD
  write(8191, other, 1);
  write(256, other, 1);
  EXPECT_FALSE(reader.readAVDP1(mvds, rvds, serial));
  EXPECT_TRUE(host().logged("chekAVDP tagID=1 error"));
  EXPECT_EQ(reader.readAVDPN(mvds, rvds, serial), 0x230001u);
  EXPECT_TRUE(host().logged("AVDP all error"));
  // Drive failures come back as their codes.
  sim_->drive().add_fault(kelsim::command_fails(0x25, {0x02, 0x3A, 0x00}));
  EXPECT_EQ(reader.readAVDPN(mvds, rvds, serial), 0x110400u);
  EXPECT_TRUE(host().logged("getN error"));
  sim_->drive().clear_faults();
  ctrl_->closeHandle();
  ctrl_->reopen();
  sim_->drive().add_fault(kelsim::read_error(0, 9000));
  EXPECT_EQ(reader.readAVDPN(mvds, rvds, serial), 0x110500u);
  EXPECT_TRUE(host().logged("read AVDP(LSN=N) error"));
  EXPECT_FALSE(reader.readAVDP1(mvds, rvds, serial));
  EXPECT_TRUE(host().logged("read AVDP(LSN=256) error"));
}

TEST_F(SdkUdfReader, SequenceOfTheBuilderPassesForItsSlot) {
  for (std::uint8_t slot : {0, 2}) {
    SCOPED_TRACE(int(slot));
    load(slot);
    DataArray vds;
    ASSERT_EQ(ctrl_->readSector(288, 16, vds), 0u);
    std::unique_ptr<PVDDescriptor> pvd;
    std::unique_ptr<LVDDescriptor> lvd;
    std::unique_ptr<PDDescriptor> pd;
    ASSERT_TRUE(UDFReader(*ctrl_, slot, true).checkVDS(vds, 0, 16, pvd, lvd, &pd));
    EXPECT_EQ(pvd->volumeSequenceNumber(), slot + 1);
    EXPECT_EQ(lvd->numberOfPartitionMaps(), slot + 2u);
    EXPECT_EQ(pd->offset(), 2u * kSector);
    // The same sequence in another slot's reader.
    const std::uint8_t other = slot == 0 ? 2 : 0;
    EXPECT_FALSE(UDFReader(*ctrl_, other, true).checkVDS(vds, 0, 16, pvd, lvd));
    TearDown();
  }
  EXPECT_TRUE(host().logged("PVD's Volume Sequence Number=3 != slotNo(0) + 1"));
}

TEST_F(SdkUdfReader, PartitionMapCountMustMatchTheSlot) {
  load(2);
  std::uint8_t lvd[kSector];
  std::memcpy(lvd, sector(288 + 3), kSector);
  lvd[268] = 3;  // three maps in slot 2
  udf_test::reseal(lvd);
  DataArray vds = sequence({sector(288), lvd, sector(288 + 5)});
  std::unique_ptr<PVDDescriptor> pvd;
  std::unique_ptr<LVDDescriptor> kept;
  EXPECT_FALSE(UDFReader(*ctrl_, 2, true).checkVDS(vds, 0, 3, pvd, kept));
  EXPECT_TRUE(host().logged("LVD's Number of Partition Maps=3 != slotNo(2) + 2"));
}

TEST_F(SdkUdfReader, LaterDescriptorWithEqualSerialIsKept) {
  load();
  std::uint8_t second[kSector], older[kSector];
  std::memcpy(second, sector(288), kSector);
  second[100] ^= 0x55;  // some other content, serial still 7
  udf_test::reseal(second);
  std::memcpy(older, sector(288), kSector);
  older[6] = 3;  // serial 3
  udf_test::reseal(older);
  const std::uint8_t* pvd7 = sector(288);
  const std::uint8_t* lvd = sector(291);
  const std::uint8_t* td = sector(293);
  std::unique_ptr<PVDDescriptor> pvd;
  std::unique_ptr<LVDDescriptor> kept;
  {
    DataArray vds = sequence({pvd7, second, lvd, td});
    ASSERT_TRUE(UDFReader(*ctrl_, 0, true).checkVDS(vds, 0, 4, pvd, kept));
    EXPECT_EQ(pvd->offset(), 1u * kSector);
  }
  {
    DataArray vds = sequence({pvd7, older, lvd, td});
    ASSERT_TRUE(UDFReader(*ctrl_, 0, true).checkVDS(vds, 0, 4, pvd, kept));
    EXPECT_EQ(pvd->offset(), 0u);
  }
}

TEST_F(SdkUdfReader, BadTagsArePassedOverAndTheTerminatorEndsTheScan) {
  load();
  std::uint8_t crc2033[2 * kSector] = {}, crc2032[kSector], badCrc[kSector], later[kSector];
  std::memcpy(crc2033, sector(288), kSector);
  crc2033[10] = 2033 & 0xFF;
  crc2033[11] = 2033 >> 8;
  udf_test::reseal(crc2033);  // the CRC over 2033 bytes matches, yet the length is too long
  std::memcpy(crc2032, sector(288), kSector);
  crc2032[10] = 2032 & 0xFF;
  crc2032[11] = 2032 >> 8;
  udf_test::reseal(crc2032);
  std::memcpy(badCrc, sector(288), kSector);
  badCrc[20] ^= 1;
  std::memcpy(later, sector(288), kSector);
  later[6] = 9;
  udf_test::reseal(later);
  const std::uint8_t* lvd = sector(291);
  const std::uint8_t* td = sector(293);
  std::unique_ptr<PVDDescriptor> pvd;
  std::unique_ptr<LVDDescriptor> kept;
  std::unique_ptr<PDDescriptor> pd;
  UDFReader reader(*ctrl_, 0, true);

  DataArray tooLong = sequence({crc2033, lvd, td});
  EXPECT_FALSE(reader.checkVDS(tooLong, 0, 3, pvd, kept));
  EXPECT_TRUE(host().logged("VDS has no PVD"));
  DataArray longest = sequence({crc2032, lvd, td});
  EXPECT_TRUE(reader.checkVDS(longest, 0, 3, pvd, kept));
  DataArray corrupt = sequence({badCrc, lvd, td});
  EXPECT_FALSE(reader.checkVDS(corrupt, 0, 3, pvd, kept));

  // A PVD after the terminator is not looked at.
  DataArray ended = sequence({sector(288), lvd, td, later});
  ASSERT_TRUE(reader.checkVDS(ended, 0, 4, pvd, kept));
  EXPECT_EQ(pvd->tagSerial(), 7);
  // The PD when it is asked for.
  EXPECT_FALSE(reader.checkVDS(ended, 0, 4, pvd, kept, &pd));
  EXPECT_TRUE(host().logged("VDS has no PD"));
  DataArray noLvd = sequence({sector(288), td});
  EXPECT_FALSE(reader.checkVDS(noLvd, 0, 2, pvd, kept));
  EXPECT_TRUE(host().logged("VDS has no LVD"));
}

TEST(SdkDataArray, AccessPastTheEndThrows) {
  DataArray a(100);
  EXPECT_NE(a.getArray(90, 10), nullptr);
  for (auto [offset, length] : {std::pair<std::size_t, std::size_t>{91, 10}, {101, 0}, {0, 101}, {50, SIZE_MAX}}) {
    try {
      a.getArray(offset, length);
      ADD_FAILURE() << offset << "+" << length;
    } catch (const PxoUtilityLib::PxoUtilityLibException& e) {
      EXPECT_EQ(e.code(), 0xFF0003u);
    }
  }
  // A view larger than its array is refused when it is made.
  EXPECT_THROW(PVDDescriptor(a, 0, 512), PxoUtilityLib::PxoUtilityLibException);
}

TEST(SdkDataArray, TagRecomputeAndFileEntryAllocationDescriptors) {
  DataArray a(2048);
  std::uint8_t* fe = a.data();
  fe[0] = 5;  // tag 261
  fe[1] = 1;
  const std::uint32_t lengthEA = 8, lengthAD = 24;  // three short or one long descriptor
  std::memcpy(fe + 168, &lengthEA, 4);
  std::memcpy(fe + 172, &lengthAD, 4);
  const std::uint32_t firstLength = 4096, firstPosition = 77;
  std::memcpy(fe + 176 + 8, &firstLength, 4);
  std::memcpy(fe + 176 + 12, &firstPosition, 4);
  const std::uint16_t crcLength = 176 + 8 + 24 - 16;
  std::memcpy(fe + 10, &crcLength, 2);
  PxoUtilityLib::FEDescriptor view(a, 0, 2048);
  EXPECT_FALSE(view.checkDescriptorTag());
  view.recomputeTag();
  EXPECT_TRUE(view.checkDescriptorTag());
  EXPECT_EQ(view.kindIdentifier(), 261);
  EXPECT_EQ(view.getShortAD(0).length, 4096u);
  EXPECT_EQ(view.getShortAD(0).position, 77u);
  EXPECT_EQ(view.getLongAD(0).length, 4096u);
  try {
    view.getShortAD(3);
    ADD_FAILURE();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "FileEntryDescriptor::getShortAD out_of_range");
  }
  try {
    view.getLongAD(1);
    ADD_FAILURE();
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "FileEntryDescriptor::getLongAD out_of_range");
  }
  // A length of the descriptors beyond the view is refused as well.
  const std::uint32_t huge = 0xFFFFFFF0u;
  std::memcpy(fe + 172, &huge, 4);
  EXPECT_THROW(view.getShortAD(400), std::out_of_range);
}

}  // namespace
}  // namespace sdktest
