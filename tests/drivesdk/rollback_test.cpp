// The rollback point search on builder images in the simulated cartridge:
// generations of the metadata entry chained by their previous locations or
// found by scanning, the walk over the slots, the callback's answers, and
// the slot in the drive before and after.
#include "sdk_support.h"

#include "generations.h"
#include "rollback.h"

#include "engine/udf/support_image.h"
#include "udf/udf_tag.h"

#include <cstring>
#include <optional>
#include <stdexcept>

namespace sdktest {
namespace {

using PxoUtilityLib::RollbackPointRecord;

constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kImageSectors = 8192;
constexpr std::uint32_t kCurrent = kBuilderCurrentMfe;

struct Script : PxoUtilityLib::RollbackCallback {
  std::vector<RollbackPointRecord> found;
  std::vector<std::uint32_t> errors;
  std::vector<std::vector<std::uint32_t>> finishRanks;
  int runningAnswer = 3, finishAnswer = 2;
  std::uint32_t pick = 0;
  int runningCalls = 0;
  int notifyStatus(int status, const std::vector<std::uint32_t>& ranks, std::uint32_t& selected) override {
    selected = pick;
    if (status == 0) {
      ++runningCalls;
      return runningAnswer;
    }
    finishRanks.push_back(ranks);
    return finishAnswer;
  }
  void pointFound(const RollbackPointRecord& p) override { found.push_back(p); }
  void slotError(std::uint32_t code) override { errors.push_back(code); }
  std::vector<std::pair<int, std::uint32_t>> points() const {
    std::vector<std::pair<int, std::uint32_t>> out;
    for (const auto& p : found) out.emplace_back(p.slot, p.mfeLsn);
    return out;
  }
};

using Points = std::vector<std::pair<int, std::uint32_t>>;

class SdkRollback : public SdkSimTest {
 protected:
  // A cartridge of `slots` slots; `written` get builder images with the
  // generations; the slot `loaded` is in the drive (and is the last written
  // slot of the cartridge memory).
  void cartridge(std::uint8_t type, std::vector<int> written, const std::vector<Generation>& generations,
                 std::uint8_t loaded = 0, std::uint8_t slots = 3) {
    kelsim::CartridgeSetup c;
    c.medium_type = type;
    c.slots = slots;
    c.disc_blocks = kImageSectors;
    c.loaded_slot = loaded;
    start("QMR-T300B", c);
    const bool rewritable = type == 0xE2;
    for (int slot : written) {
      auto spec = udf_test::spec_for(rewritable ? udf_test::MediumClass::Rewritable : udf_test::MediumClass::WriteOnce,
                                     static_cast<std::uint32_t>(slot));
      std::vector<std::uint8_t> image;
      udf_test::build_volume(spec, image);
      const std::vector<std::uint8_t> base(image.begin() + std::size_t{kCurrent} * kSector,
                                           image.begin() + std::size_t{kCurrent + 1} * kSector);
      for (const Generation& g : generations) putGeneration(image, base, g);
      if (imageHook_) imageHook_(image);
      ASSERT_EQ(sim_->cartridge().write_blocks(slot, 0, kImageSectors, image.data()), ERROR_SUCCESS);
      kelsim::Disc& d = sim_->cartridge().disc(slot);
      d.formatted = true;
      d.status = rewritable ? kelsim::DiscStatus::Complete : kelsim::DiscStatus::Incomplete;
      // Written as the engine leaves a slot: its track and a second one.
      if (!rewritable)
        d.tracks = {kelsim::Track{0, kImageSectors - 64, kImageSectors - 128, false, false},
                    kelsim::Track{kImageSectors - 64, 64, kImageSectors - 64, false, true}};
      else d.highest_written = kImageSectors;
    }
    ASSERT_EQ(sim_->cartridge().save(), ERROR_SUCCESS);
    host().records[0x40107014] = {mountInfo(type)};
  }
  static Bytes mountInfo(std::uint8_t type) {
    MDCFS_MOUNT_INFORMATION i{};
    i.MediumType = type;
    i.VolumeStatus = 0x81;
    Bytes b(sizeof i);
    std::memcpy(b.data(), &i, sizeof i);
    return b;
  }
  std::function<void(std::vector<std::uint8_t>&)> imageHook_;
  std::uint64_t search(Script& script) {
    const auto before = sim_->cartridge().loaded_slot;
    const std::uint64_t r = PxoUtilityLib::runRollbackInfo(path().c_str(), script);
    EXPECT_EQ(sim_->cartridge().loaded_slot, before) << "the drive must hold the slot it held";
    return r;
  }
};

// Generations of every written slot: the current entry and three older.
const Generation kChain[] = {
    {kCurrent, 4200}, {4200, 4150}, {4150, 4100}, {4100, std::nullopt}};

TEST_F(SdkRollback, ChainsScansAndEntriesThatGiveNoPoint) {
  auto chain = [](std::function<void(std::vector<Generation>&)> change) {
    std::vector<Generation> g(std::begin(kChain), std::end(kChain));
    change(g);
    return g;
  };
  const struct {
    const char* name;
    std::vector<Generation> generations;
    std::vector<std::uint32_t> found;
    bool scans;  // whole chunks were read
    const char* log;
    bool noAnchor = false;
    bool readError = false;  // the RUB holding 4150 cannot be read
    bool hugeMainVds = false;  // the anchor's main sequence runs past the disc
  } rows[] = {
      {"chain intact", chain([](auto&) {}), {kCurrent, 4200, 4150, 4100}, false, nullptr},
      {"no previous locations: scanning below the current entry",
       chain([](auto& g) { for (auto& e : g) e.previous.reset(); }), {kCurrent, 4200, 4150, 4100}, false, nullptr},
      {"no anchor: scanning from the track's end", chain([](auto&) {}), {kCurrent, 4200, 4150, 4100}, true,
       "readAVDP error", true},
      {"read error inside a chunk", chain([](auto&) {}), {kCurrent, 4200, 4100}, true, nullptr, true, true},
      {"read error on the chain", chain([](auto&) {}), {kCurrent, 4200, 4100}, false, "read error", false, true},
      {"main sequence past the disc: the reserve one", chain([](auto&) {}), {kCurrent, 4200, 4150, 4100}, false,
       "VDS read error LSN=0x00000120", false, false, true},
      {"pointer not below", chain([](auto& g) { g[1].previous = 4300; }), {kCurrent, 4200, 4150, 4100}, false,
       "before MFE 0x10CC >= now MFE 0x1068"},
      {"other implementation", chain([](auto& g) { g[2].otherImplementation = true; }), {kCurrent, 4200, 4100}, false,
       "unknown Implementation Id 00 2A 54 61 72 6E 20 6B"},
      {"other serial", chain([](auto& g) { g[2].otherSerial = true; }), {kCurrent, 4200, 4100}, false,
       "Tag Serial Number"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    imageHook_ = nullptr;
    if (row.noAnchor)
      imageHook_ = [](std::vector<std::uint8_t>& image) {
        std::memset(&image[std::size_t{256} * kSector], 0, kSector);
        std::memset(&image[std::size_t{kImageSectors - 1} * kSector], 0, kSector);
      };
    if (row.hugeMainVds)
      imageHook_ = [](std::vector<std::uint8_t>& image) {
        std::uint8_t* anchor = &image[std::size_t{256} * kSector];
        const std::uint32_t length = 0xFFFFF800u;
        std::memcpy(anchor + 16, &length, 4);
        udf_test::reseal(anchor);
      };
    cartridge(0xE1, {0}, row.generations);
    if (row.readError) sim_->drive().add_fault(kelsim::read_error(4150, 4150));
    Script script;
    EXPECT_EQ(search(script), 0u);
    std::vector<std::uint32_t> lsns;
    for (const auto& p : script.found) lsns.push_back(p.mfeLsn);
    EXPECT_EQ(lsns, row.found);
    // Following the chain reads nothing above the current entry's RUB; a
    // scan from the track's end does.
    bool above = false;
    for (const auto& e : commands(0x28)) above |= kelsim::get_be32(e.cdb.data() + 2) >= kCurrent + 64;
    EXPECT_EQ(above, row.scans);
    if (row.log) {
      EXPECT_TRUE(host().logged(row.log));
    }
    for (const auto& p : script.found) EXPECT_EQ(p.fsdLsn, 4352u);  // short AD: position + 4096
    SdkSimTest::TearDown();
  }
}

TEST_F(SdkRollback, WalkOverTheSlotsAndRanks) {
  const Generation two[] = {{kCurrent, 4100}, {4100, std::nullopt, false, false, 77}};
  // The last written slot known: downward past the blank slot 2.
  cartridge(0xE1, {0, 1}, {std::begin(two), std::end(two)}, 2);
  Script down;
  EXPECT_EQ(search(down), 0u);
  EXPECT_EQ(down.points(), (Points{{1, kCurrent}, {1, 4100}, {0, kCurrent}, {0, 4100}}));
  EXPECT_EQ(down.found[1].fsdLsn, 77u);  // long AD: the logical block
  EXPECT_EQ(down.found[3].knownCount, 4u);
  EXPECT_EQ(down.finishRanks, (std::vector<std::vector<std::uint32_t>>{{}}));
  SdkSimTest::TearDown();

  // Unknown: upward from slot 0, ending at the first blank slot.
  cartridge(0xE1, {0, 2}, {std::begin(two), std::end(two)}, 0);
  ASSERT_EQ(sim_->drive().remove_attribute(0x0D00), ERROR_SUCCESS);
  Script up;
  EXPECT_EQ(search(up), 0u);
  EXPECT_EQ(up.points(), (Points{{0, kCurrent}, {0, 4100}}));
  EXPECT_EQ(up.found[1].knownCount, 0u);
  EXPECT_EQ(up.finishRanks, (std::vector<std::vector<std::uint32_t>>{{1, 2}}));
  EXPECT_TRUE(host().logged("slotNo=1 is uninitialized"));
}

TEST_F(SdkRollback, AnswersOfTheCallbackAndTheSlotInTheDrive) {
  const struct {
    const char* name;
    int running, finish;
    std::uint32_t pick;
    std::uint64_t result;
    bool unmounted;
  } rows[] = {
      {"finish picks a point", 3, 2, 3, 0, false},
      {"finish index = number of points", 3, 2, 8, 0x5000102, false},
      {"finish cancels", 3, 0, 0, 0x500FFFF, true},
      {"finish illegal", 3, 7, 0, 0x5000101, false},
      {"running picks", 2, 2, 0, 0, false},
      {"running cancels", 1, 2, 0, 0x500FFFF, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    cartridge(0xE1, {0, 1}, {std::begin(kChain), std::end(kChain)}, 1, 3);
    Script script;
    script.runningAnswer = row.running;
    script.finishAnswer = row.finish;
    script.pick = row.pick;
    EXPECT_EQ(search(script), row.result);
    EXPECT_EQ(host().unmounts.size(), row.unmounted ? 1u : 0u);
    if (row.running == 2) {
      EXPECT_TRUE(script.finishRanks.empty());
      EXPECT_EQ(script.found.size(), 1u);
    }
    SdkSimTest::TearDown();
  }

  // No point anywhere: success without asking the finish.
  cartridge(0xE1, {}, {}, 1);
  Script none;
  EXPECT_EQ(search(none), 0u);
  EXPECT_TRUE(none.found.empty());
  EXPECT_TRUE(none.finishRanks.empty());
}

TEST_F(SdkRollback, RewritableSlotsAreUninitialisedUnformattedOrWithAZeroFirstRub) {
  const Generation one[] = {{kCurrent, std::nullopt}};
  cartridge(0xE2, {0}, {std::begin(one), std::end(one)}, 2);
  sim_->cartridge().disc(1).formatted = true;  // formatted, nothing written
  sim_->cartridge().disc(1).status = kelsim::DiscStatus::Complete;
  ASSERT_EQ(sim_->cartridge().save(), ERROR_SUCCESS);
  Script script;
  EXPECT_EQ(search(script), 0u);
  EXPECT_EQ(script.points(), (Points{{0, kCurrent}}));
  EXPECT_TRUE(host().logged("slotNo=2 is uninitialized"));
  EXPECT_TRUE(host().logged("slotNo=1 is uninitialized"));
  EXPECT_EQ(commands(0x23).size(), 3u);
}

TEST_F(SdkRollback, HostFunctionKeepsPointsInOrderAndMapsForeignExceptions) {
  std::vector<_KEL_SDK_ROLLBACK_INFO> points;
  PxoUtilityLib::RollbackCollector collector(points);
  for (std::uint32_t index : {0u, 1u, 3u})
    collector.pointFound(RollbackPointRecord{index, u"", 0, static_cast<std::uint8_t>(index), 100 + index, 7});
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[1].SlotNumber, 1);
  EXPECT_EQ(points[1].MetaDataFE_LSN, 101);

  cartridge(0xE1, {0}, {std::begin(kChain), std::end(kChain)});
  std::vector<_KEL_SDK_ROLLBACK_INFO> found;
  EXPECT_EQ(KelDriveSDK_Quorvel_GetRollbackInfo(path().c_str(), found), 0u);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].MetaDataFE_LSN, static_cast<std::int32_t>(kCurrent));
  EXPECT_EQ(found[3].MetaDataFE_LSN, 4100);
  EXPECT_EQ(found[3].FsdLsn, 4352);

  struct Throws : Script {
    bool standard;
    void pointFound(const RollbackPointRecord&) override {
      if (standard) throw std::runtime_error("x");
      throw 5;
    }
  } thrower;
  thrower.standard = true;
  EXPECT_EQ(search(thrower), 0x10001u);
  thrower.standard = false;
  EXPECT_EQ(search(thrower), 0x10002u);
}

}  // namespace
}  // namespace sdktest
