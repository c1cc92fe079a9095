// The root directory read from the disc through the library's own reads:
// volumes of the image builder on the simulated drive, their roots embedded
// in the root's entry or in blocks of their own, on each kind of medium.
#include "sdk_support.h"

#include "drive_ctrl.h"
#include "root_directory.h"

#include "udf/udf_tag.h"

#include <string>
#include <vector>

namespace sdktest {
namespace {

using PxoUtilityLib::DriveCtrl;
using PxoUtilityLib::RootEntry;
using udf_test::MediumClass;

struct Medium {
  const char* name;
  MediumClass cls;
  std::uint8_t type;
  const char* product;
};
const Medium kMedia[] = {{"write-once", MediumClass::WriteOnce, 0xE1, "QMR-T300B"},
                         {"rewritable", MediumClass::Rewritable, 0xE2, "QMR-T300B"},
                         {"F2h", MediumClass::F2, 0xF2, "QMR-T400B"}};

class RootDirectory : public SdkSimTest {
 protected:
  // The medium's cartridge with the image on slot 0, loaded.
  void load(const Medium& m, const std::vector<std::uint8_t>& image) {
    kelsim::CartridgeSetup c;
    c.medium_type = m.type;
    c.slots = 2;
    c.disc_blocks = static_cast<std::uint32_t>(image.size() / 2048);
    start(m.product, c);
    ASSERT_NO_FATAL_FAILURE(writeSlot(sim_->cartridge(), 0, image));
  }
  // Reads the root; `most` entries are taken, then the reader is stopped.
  std::uint32_t read(const Medium& m, std::vector<RootEntry>& out, std::size_t most = ~std::size_t{0}) {
    DriveCtrl drive(path(), false);
    drive.reopen();
    drive.setMediumType(m.type);
    return PxoUtilityLib::readRootDirectory(drive, 0, m.cls != MediumClass::Rewritable, [&](const RootEntry& e) {
      out.push_back(e);
      return out.size() < most;
    });
  }
  static udf_test::ImageSpec specOf(const Medium& m) { return udf_test::spec_for(m.cls); }
};

std::vector<std::string> names(const std::vector<RootEntry>& entries) {
  std::vector<std::string> out;
  for (const RootEntry& e : entries) out.push_back(narrowText(e.name) + (e.directory ? "/" : ""));
  return out;
}

std::vector<RootName> manyFiles(int count) {
  std::vector<RootName> out;
  for (int i = 0; i < count; ++i) out.push_back({"file-" + std::to_string(1000 + i), 0});
  return out;
}

TEST_F(RootDirectory, EntriesAreReadInOrderWithoutTheParentAndTheDeleted) {
  const std::vector<RootName> mixed = {{"$QuorvelData", 0x02}, {"gone", 0x04}, {"a.txt", 0}, {"gone-dir", 0x06}};
  const std::vector<std::string> mixedRead = {"$QuorvelData/", "a.txt"};
  std::vector<std::string> many;
  for (const RootName& n : manyFiles(150)) many.push_back(n.name);
  const struct {
    const char* what;
    std::vector<RootName> root;
    bool ownBlocks;
    std::vector<std::string> read;
  } rows[] = {
      {"the parent alone", {}, false, {}},
      {"embedded", mixed, false, mixedRead},
      {"in blocks of their own", mixed, true, mixedRead},
      // Identifiers across block boundaries (about 44 bytes each).
      {"many over several blocks", manyFiles(150), true, many},
  };
  for (const Medium& m : kMedia)
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(m.name) + ": " + row.what);
      ASSERT_NO_FATAL_FAILURE(load(m, volumeWithRoot(specOf(m), row.root, row.ownBlocks)));
      std::vector<RootEntry> got;
      EXPECT_EQ(read(m, got), 0u);
      EXPECT_EQ(names(got), row.read);
      SdkSimTest::TearDown();
    }
}

// The format's own root: the parent entry embedded, nothing else.
TEST_F(RootDirectory, TheBuildersFormattedRootIsEmpty) {
  for (const Medium& m : kMedia) {
    SCOPED_TRACE(m.name);
    std::vector<std::uint8_t> image;
    udf_test::build_volume(specOf(m), image);
    ASSERT_NO_FATAL_FAILURE(load(m, image));
    std::vector<RootEntry> got;
    EXPECT_EQ(read(m, got), 0u);
    EXPECT_TRUE(got.empty()) << names(got).front();
    SdkSimTest::TearDown();
  }
}

TEST_F(RootDirectory, TheTakerStopsTheReading) {
  const Medium& m = kMedia[0];
  ASSERT_NO_FATAL_FAILURE(load(m, volumeWithRoot(specOf(m), manyFiles(150), true)));
  std::vector<RootEntry> got;
  EXPECT_EQ(read(m, got, 2), 0u);
  EXPECT_EQ(names(got), (std::vector<std::string>{"file-1000", "file-1001"}));
}

// Names in 16-bit characters (big-endian after compression id 16).
TEST_F(RootDirectory, SixteenBitNamesAreDecoded) {
  const Medium& m = kMedia[0];
  const udf_test::ImageSpec spec = specOf(m);
  // The root's second identifier (after the 40-byte parent entry) is built
  // with a 5-byte name, which becomes U+00E9 U+20AC in 16-bit characters.
  std::vector<std::uint8_t> image = volumeWithRoot(spec, {{"abcd", 0}});
  std::uint8_t* entry = &image[(std::size_t{spec.metadata_lsn} + 2) * 2048];
  std::uint8_t* fid = entry + 216 + 40;
  const std::uint8_t name[] = {16, 0x00, 0xE9, 0x20, 0xAC};
  std::copy(name, name + sizeof name, fid + 38);
  mdcudfsr_set_udf_tag_crc_and_checksum(fid, 44);
  udf_test::reseal(entry);
  ASSERT_NO_FATAL_FAILURE(load(m, image));
  std::vector<RootEntry> got;
  EXPECT_EQ(read(m, got), 0u);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, std::u16string(u"\u00E9\u20AC"));
}

// What cannot be read is an error, never an empty root.
TEST_F(RootDirectory, AVolumeThatCannotBeReadIsAnError) {
  const Medium& m = kMedia[0];
  const udf_test::ImageSpec spec = specOf(m);
  const std::size_t rootAt = (std::size_t{spec.metadata_lsn} + 2) * 2048;
  const std::size_t secondAnchor = std::size_t{udf_test::layout_for(spec).avdp2} * 2048;
  const struct {
    const char* what;
    std::vector<std::size_t> at;  // bytes flipped (none: the blank slot)
    bool resealRoot;              // the root's entry made whole again after the flips
    std::uint32_t result;
  } rows[] = {
      {"a blank slot", {}, false, PxoUtilityLib::kErrRootErased},
      {"anchors that fail their checks", {256 * 2048 + 4, secondAnchor + 4}, false, 0x230001},
      {"an identifier's checksum", {rootAt + 216 + 40 + 4}, true, PxoUtilityLib::kErrRootIdentifiers},
      {"an identifier's name", {rootAt + 216 + 40 + 38}, true, PxoUtilityLib::kErrRootIdentifiers},
      {"the root's entry", {rootAt + 4}, false, PxoUtilityLib::kErrRootEntry},
      {"the file set descriptor", {std::size_t{spec.metadata_lsn} * 2048 + 4}, false, PxoUtilityLib::kErrRootFileSet},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> image = volumeWithRoot(spec, {{"a", 0}});
    if (row.at.empty()) std::fill(image.begin(), image.end(), 0);
    for (std::size_t at : row.at) image[at] ^= 0x5A;
    if (row.resealRoot) udf_test::reseal(&image[rootAt]);
    ASSERT_NO_FATAL_FAILURE(load(m, image));
    std::vector<RootEntry> got;
    EXPECT_EQ(read(m, got), row.result);
    SdkSimTest::TearDown();
  }
}

}  // namespace
}  // namespace sdktest
