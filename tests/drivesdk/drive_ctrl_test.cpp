// Drive control on the simulated drive: the RUB cache, whole-RUB writes,
// overwrite retries, loads, the fixed CDBs and the allocation each command
// states.
#include "sdk_support.h"
#include "support/recorded_disc.h"

#include "drive_ctrl.h"

#include "sim/wire.h"
#include "support/instant_clock.h"

#include <cstring>

namespace sdktest {
namespace {

using PxoUtilityLib::DataArray;
using PxoUtilityLib::DriveCtrl;
using PxoUtilityLib::PxoUtilityLibException;

constexpr std::uint32_t kSector = 2048;

class SdkDriveCtrl : public SdkSimTest {
 protected:
  void open(const std::string& product = "QMR-T300B", kelsim::CartridgeSetup cartridge = {}) {
    start(product, cartridge);
    ctrl_ = std::make_unique<DriveCtrl>(path(), false);
    ASSERT_EQ(ctrl_->openReadOnly(), 0u);
    clearTranscript();
  }
  // Medium type as the engine's mount information gives it.
  void useMediumType(std::uint8_t type) {
    host().mediumType = type;
    MDCFS_MOUNT_INFORMATION info{};
    ASSERT_EQ(ctrl_->getMountInformation(info), 0u);
    ASSERT_EQ(ctrl_->mediumType(), type);
  }
  // Blocks of a pattern recorded on the loaded disc: byte = block + k.
  void putPattern(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(count) * kSector);
    for (std::uint32_t b = 0; b < count; ++b)
      std::memset(data.data() + static_cast<std::size_t>(b) * kSector, static_cast<int>((first + b) & 0xFF), kSector);
    kel_test::record_blocks(sim_->cartridge(), 0, first, count, data.data());
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> reads() const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (auto& e : commands(0x28)) out.emplace_back(kelsim::get_be32(e.cdb.data() + 2), kelsim::get_be16(e.cdb.data() + 7));
    return out;
  }
  void TearDown() override {
    ctrl_.reset();
    SdkSimTest::TearDown();
  }
  std::unique_ptr<DriveCtrl> ctrl_;
};

using Reads = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

std::uint8_t sectorByte(const DataArray& a, std::uint32_t sector) { return a.data()[static_cast<std::size_t>(sector) * kSector]; }

TEST_F(SdkDriveCtrl, ReadSectorGoesThroughTheRubCache) {
  open();
  putPattern(0, 96);
  DataArray out;
  ASSERT_EQ(ctrl_->readSector(5, 1, out), 0u);
  EXPECT_EQ(out.size(), kSector);
  EXPECT_EQ(sectorByte(out, 0), 5);
  EXPECT_EQ(reads(), (Reads{{0, 32}}));
  // Another sector of the cached RUB: no command.
  ASSERT_EQ(ctrl_->readSector(7, 2, out), 0u);
  EXPECT_EQ(sectorByte(out, 1), 8);
  EXPECT_EQ(reads().size(), 1u);
  // Across RUBs: one READ(10) per RUB not cached.
  ASSERT_EQ(ctrl_->readSector(30, 40, out), 0u);
  EXPECT_EQ(sectorByte(out, 0), 30);
  EXPECT_EQ(sectorByte(out, 39), 69);
  EXPECT_EQ(reads(), (Reads{{0, 32}, {32, 32}, {64, 32}}));
  // A load drops the cache.
  std::uint8_t slots = 0;
  ASSERT_EQ(ctrl_->loadSlotAndCheck(0, slots), 0u);
  ASSERT_EQ(ctrl_->readSector(65, 1, out), 0u);
  EXPECT_EQ(reads().back(), (std::pair<std::uint32_t, std::uint32_t>{64, 32}));
  EXPECT_EQ(reads().size(), 4u);
}

TEST_F(SdkDriveCtrl, ReadSectorOnF2ReadsWholeLargeRubs) {
  kelsim::CartridgeSetup cartridge;
  cartridge.medium_type = 0xF2;
  open("QMR-T400B", cartridge);
  useMediumType(0xF2);
  putPattern(0, 256);
  DataArray out;
  ASSERT_EQ(ctrl_->readSector(130, 1, out), 0u);
  EXPECT_EQ(sectorByte(out, 0), 130);
  EXPECT_EQ(reads(), (Reads{{128, 128}}));
  EXPECT_EQ(commands(0x28)[0].data_length, 128u * kSector);
}

TEST_F(SdkDriveCtrl, FailedReadDropsTheCache) {
  open();
  putPattern(0, 64);
  DataArray out;
  ASSERT_EQ(ctrl_->readSector(0, 1, out), 0u);
  sim_->drive().add_fault(kelsim::read_error(40, 40));
  EXPECT_EQ(ctrl_->readSector(33, 1, out), 0x110500u);
  sim_->drive().clear_faults();
  // A short answer is refused too, and nothing is kept.
  sim_->drive().add_fault(kelsim::replace_answer(0x28, Bytes(100, 1)));
  EXPECT_EQ(ctrl_->readSector(33, 1, out), 0x210009u);
  sim_->drive().clear_faults();
  ASSERT_EQ(ctrl_->readSector(33, 1, out), 0u);
  EXPECT_EQ(sectorByte(out, 0), 33);
  EXPECT_EQ(reads().size(), 4u);
}

TEST_F(SdkDriveCtrl, ReadBufferZeroFillsEachRubThatFailed) {
  open();
  putPattern(0, 128);
  sim_->drive().add_fault(kelsim::read_error(64, 64));
  auto shortRub = kelsim::replace_answer(0x28, Bytes(3 * kSector, 0x77));  // first READ: a short RUB
  shortRub.times = 1;
  sim_->drive().add_fault(shortRub);
  DataArray out;
  out.resize(10);
  std::memset(out.data(), 0xCC, 10);
  std::uint32_t offset = 99;
  ASSERT_EQ(ctrl_->readBuffer(37, 70, out, offset), 0u);
  EXPECT_EQ(offset, 5u);
  EXPECT_EQ(out.size(), 96u * kSector);  // RUBs 32, 64 and 96
  EXPECT_EQ(reads(), (Reads{{32, 32}, {64, 32}, {96, 32}}));
  for (std::uint32_t s = 0; s < 64; ++s) ASSERT_EQ(sectorByte(out, s), 0) << s;  // short RUB and failed RUB
  EXPECT_EQ(sectorByte(out, 64), 96);
  EXPECT_EQ(sectorByte(out, 95), 127);
}

TEST_F(SdkDriveCtrl, WriteSectorSendsWholeRubsWithZerosAround) {
  open();
  formatLoadedDisc();
  DataArray data(3 * kSector);
  std::memset(data.data(), 0xAB, data.size());
  putPattern(0, 32);
  DataArray cached;
  ASSERT_EQ(ctrl_->readSector(0, 1, cached), 0u);
  ASSERT_EQ(ctrl_->writeSector(5, 3, data), 0u);
  auto writes = commands(0x2A);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].cdb, (Bytes{0x2A, 0, 0, 0, 0, 0, 0, 0, 32, 0x40, 0, 0}));
  EXPECT_EQ(writes[0].data_length, 32u * kSector);
  std::vector<std::uint8_t> disc(32 * kSector);
  ASSERT_EQ(sim_->cartridge().read_blocks(0, 0, 32, disc.data()), ERROR_SUCCESS);
  for (std::uint32_t s = 0; s < 32; ++s)
    EXPECT_EQ(disc[static_cast<std::size_t>(s) * kSector], s >= 5 && s < 8 ? 0xAB : 0) << s;
  // The cache does not keep the old RUB.
  DataArray again;
  ASSERT_EQ(ctrl_->readSector(6, 1, again), 0u);
  EXPECT_EQ(sectorByte(again, 0), 0xAB);

  // Across a boundary: one WRITE(10) per RUB; less data than sectors is refused.
  DataArray longer(40 * kSector);
  ASSERT_EQ(ctrl_->writeSector(30, 40, longer), 0u);
  EXPECT_EQ(commands(0x2A).size(), 4u);
  EXPECT_EQ(ctrl_->writeSector(0, 41, longer), 0x110600u);
  EXPECT_EQ(commands(0x2A).size(), 4u);
  sim_->drive().add_fault(kelsim::write_error(0, 100));
  EXPECT_EQ(ctrl_->writeSector(0, 1, longer), 0x110600u);
}

struct OverWriteCase {
  const char* name;
  std::uint8_t mediumType;
  int writeFailures;  // -1: every write fails
  bool syncFails;
  std::uint32_t result;
  std::size_t reserves, writes, syncs;
};

TEST_F(SdkDriveCtrl, LogicalOverWriteRetries) {
  const OverWriteCase cases[] = {
      {"F2 first time", 0xF2, 0, false, 0, 1, 1, 1},
      {"F2 three failures", 0xF2, 3, false, 0, 4, 4, 3 + 1},
      {"F2 write never", 0xF2, -1, false, 0x110600, 10, 10, 10},
      {"F2 sync never", 0xF2, 0, true, 0x110800, 10, 10, 20},
      {"E1 no reservation", 0xE1, 0, false, 0, 0, 1, 1},
  };
  for (const OverWriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    kelsim::CartridgeSetup cartridge;
    cartridge.medium_type = c.mediumType;
    open("QMR-T400B", cartridge);
    formatLoadedDisc();
    useMediumType(c.mediumType);
    if (c.writeFailures != 0) {
      auto rule = kelsim::write_error(0, 1000);
      rule.times = c.writeFailures;
      sim_->drive().add_fault(rule);
    }
    if (c.syncFails) sim_->drive().add_fault(kelsim::command_fails(0x35, {0x03, 0x0C, 0x00}));
    DataArray data(2 * kSector);
    EXPECT_EQ(ctrl_->LogicalOverWrite(4, 2, data), c.result);
    EXPECT_EQ(commands(0xD2).size(), c.reserves);
    EXPECT_EQ(commands(0x2A).size(), c.writes);
    EXPECT_EQ(commands(0x35).size(), c.syncs);
    if (c.reserves) {
      const auto d2 = commands(0xD2)[0];
      EXPECT_EQ(kelsim::get_be32(d2.cdb.data() + 4), 4u);
      EXPECT_EQ(kelsim::get_be32(d2.cdb.data() + 8), 2u);
      // Every attempt reserves before it writes.
      auto all = commands();
      EXPECT_EQ(all[0].opcode(), 0xD2);
      EXPECT_EQ(all[1].opcode(), 0x2A);
    }
    if (c.result) {
      EXPECT_TRUE(host().logged("RETRY OUT("));
    }
    TearDown();
  }
}

TEST_F(SdkDriveCtrl, LoadSlotAndCheck) {
  open();
  std::uint8_t slots = 0;
  ASSERT_EQ(ctrl_->loadSlotAndCheck(3, slots), 0u);
  EXPECT_EQ(slots, 12);
  auto sent = commands();
  ASSERT_GE(sent.size(), 2u);  // the readiness of the new disc between them
  EXPECT_EQ(sent.front().cdb, (Bytes{0xA6, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(sent.front().timeout_seconds, 180u);
  EXPECT_EQ(sent.back().cdb, (Bytes{0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}));
  bool loaded = false;
  ASSERT_EQ(ctrl_->loadCheck(3, loaded), 0u);
  EXPECT_TRUE(loaded);
  ASSERT_EQ(ctrl_->loadCheck(2, loaded), 0u);
  EXPECT_FALSE(loaded);

  // The drive reports slot 3 but no disc in the drive.
  Bytes status(8, 0);
  status[0] = 3;
  status[5] = 12;
  sim_->drive().add_fault(kelsim::replace_answer(0xBD, status));
  EXPECT_EQ(ctrl_->loadSlotAndCheck(3, slots), 0x220005u);
  sim_->drive().clear_faults();
  sim_->drive().add_fault(kelsim::command_fails(0xA6, {0x05, 0x21, 0x01}));
  EXPECT_EQ(ctrl_->loadSlotAndCheck(20, slots), 0x110F00u);
  sim_->drive().clear_faults();
  sim_->drive().add_fault(kelsim::command_fails(0xBD, {0x02, 0x04, 0x00}));
  EXPECT_EQ(ctrl_->loadSlotAndCheck(1, slots), 0x111000u);
  EXPECT_EQ(ctrl_->loadCheck(1, loaded), 0x111000u);
}

// A loaded disc spins up (02/04/01) and then reports the change once
// (06/28/00); a drive just powered on reports 06/29/00 once. The slot load
// waits for its disc before it asks the mechanism, and TEST UNIT READY
// answers ready past both, as a host uses the drive.
TEST_F(SdkDriveCtrl, ALoadWaitsForItsDiscAndTestUnitReadyForTheAttention) {
  const kelsim::Sense becoming{2, 4, 1}, changed{6, 0x28, 0}, power_on{6, 0x29, 0}, none{};
  const struct Case {
    const char* what;
    std::uint32_t loading;
    std::uint8_t slot;  // the slot loaded (0, the one in the drive: no change)
    std::vector<kelsim::Sense> readiness;  // the TEST UNIT READY answers between load and mechanism
    std::uint64_t waited_ms;
  } cases[] = {
      {"a real drive", 1, 3, {becoming, changed, none}, 100},
      {"a slow disc", 3, 3, {becoming, becoming, becoming, changed, none}, 300},
      {"ready at once", 0, 3, {changed, none}, 0},
      {"the same slot", 1, 0, {none}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kel_test::InstantClock clock;
    platform::ScopedClock scope(clock);
    open();
    sim_->drive().set_loading_commands(c.loading);
    const std::uint64_t before = clock.now_ms();
    std::uint8_t slots = 0;
    ASSERT_EQ(ctrl_->loadSlotAndCheck(c.slot, slots), 0u);
    EXPECT_EQ(clock.now_ms() - before, c.waited_ms);
    const auto sent = commands();
    ASSERT_EQ(sent.size(), c.readiness.size() + 2);
    EXPECT_EQ(sent.front().opcode(), 0xA6);
    EXPECT_EQ(sent.back().opcode(), 0xBD);
    for (std::size_t i = 0; i < c.readiness.size(); ++i) {
      EXPECT_EQ(sent[i + 1].opcode(), 0x00) << i;
      EXPECT_EQ(sent[i + 1].sense, c.readiness[i]) << i;
    }
    TearDown();
  }
  open();
  sim_->drive().power_cut();
  EXPECT_TRUE(ctrl_->testUnitReady());
  const auto sent = commands();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].sense, power_on);
  EXPECT_EQ(sent[1].sense, none);
  // A disc that stays becoming ready is not ready; nor is a failing drive.
  kel_test::InstantClock clock;
  platform::ScopedClock scope(clock);
  for (const kelsim::Sense& s : {becoming, kelsim::Sense{4, 0x44, 0}}) {
    const int id = sim_->drive().add_fault(kelsim::command_fails(0x00, s));
    EXPECT_FALSE(ctrl_->testUnitReady());
    sim_->drive().remove_fault(id);
  }
}

TEST_F(SdkDriveCtrl, ModeSelectAndCloseSessionAreByteExact) {
  open();
  ASSERT_EQ(ctrl_->setReallocationControlModePage(0x01020304), 0u);
  const auto select = commands(0x55);
  ASSERT_EQ(select.size(), 1u);
  EXPECT_EQ(select[0].cdb, (Bytes{0x55, 0x10, 0, 0, 0, 0, 0, 0, 28, 0, 0, 0}));
  EXPECT_TRUE(select[0].data_out);
  Bytes list(28, 0);
  list[8] = 0x20;
  list[9] = 0x12;
  list[10] = 1;
  list[11] = 1;
  list[16] = 1;
  list[17] = 2;
  list[18] = 3;
  list[19] = 4;
  EXPECT_EQ(sim_->drive().observed().mode_pages_selected[0x20], list);

  ctrl_->discFinalize();
  const auto close = commands(0x5B);
  ASSERT_EQ(close.size(), 1u);
  EXPECT_EQ(close[0].cdb, (Bytes{0x5B, 0, 6, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(close[0].timeout_seconds, 120u);
}

TEST_F(SdkDriveCtrl, LastWrittenDiscFromTheCartridgeMemory) {
  for (const char* product : {"QMR-T300B", "QMR-T400A"}) {
    SCOPED_TRACE(product);
    kelsim::CartridgeSetup cartridge;
    cartridge.loaded_slot = 7;
    open(product, cartridge);
    std::uint8_t slot = 0;
    ASSERT_EQ(ctrl_->getLastWrittenDisc(slot), 0u);
    EXPECT_EQ(slot, 7);
    const std::uint8_t op = std::string(product) == "QMR-T400A" ? 0xDA : 0x8C;
    ASSERT_EQ(commands(op).size(), 1u);
    sim_->drive().add_fault(kelsim::replace_answer(op, {0, 0, 0, 6, 0x0D, 0x01, 0, 0, 1, 7}));
    EXPECT_EQ(ctrl_->getLastWrittenDisc(slot), 0x21000Au);
    sim_->drive().clear_faults();
    sim_->drive().add_fault(kelsim::replace_answer(op, {0, 0, 0, 6, 0x0D, 0x00}));
    EXPECT_EQ(ctrl_->getLastWrittenDisc(slot), 0x210009u);
    sim_->drive().clear_faults();
    sim_->drive().add_fault(kelsim::command_fails(op, {0x05, 0x24, 0x00}));
    EXPECT_EQ(ctrl_->getLastWrittenDisc(slot), 0x110E01u);
    TearDown();
  }
}

TEST_F(SdkDriveCtrl, InformationCommandsAndTheirFailureCodes) {
  open();
  int status = -1;
  ASSERT_EQ(ctrl_->getDiscStatus(status), 0u);
  EXPECT_EQ(status, 0);
  bool blank = false;
  ASSERT_EQ(ctrl_->checkUninitialized(blank), 0u);
  EXPECT_TRUE(blank);
  std::uint32_t n = 0;
  ASSERT_EQ(ctrl_->getN(n), 0u);
  EXPECT_EQ(n, kelsim::kDefaultDiscBlocks - 1);
  formatLoadedDisc();
  DataArray one(kSector);
  ASSERT_EQ(ctrl_->writeSector(0, 1, one), 0u);
  ASSERT_EQ(ctrl_->getDiscStatus(status), 0u);
  EXPECT_EQ(status, 1);
  clearTranscript();
  blank = false;
  ASSERT_EQ(ctrl_->checkUninitialized(blank), 0u);
  EXPECT_TRUE(blank);  // an appendable disc with fewer than two tracks
  ASSERT_EQ(commands(0x51).size(), 2u);
  EXPECT_EQ(commands(0x51)[1].cdb, (Bytes{0x51, 1, 0, 0, 0, 0, 0, 0, 12, 0, 0, 0}));
  std::uint32_t next = 0, freeBlocks = 0;
  ASSERT_EQ(ctrl_->readTrackInformation(next, freeBlocks), 0u);
  EXPECT_EQ(next, 32u);

  const struct {
    std::uint8_t opcode;
    std::function<std::uint32_t()> run;
    std::uint32_t code;
  } rows[] = {
      {0x51, [&] { return ctrl_->getDiscStatus(status); }, 0x110A00},
      {0x25, [&] { return ctrl_->getN(n); }, 0x110400},
      {0x52, [&] { return ctrl_->readTrackInformation(next, freeBlocks); }, 0x110B00},
      {0xD2, [&] { return ctrl_->reserveWrite(0, 32); }, 0x111A00},
      {0x35, [&] { return ctrl_->doSynchronizeCache(); }, 0x110800},
      {0x55, [&] { return ctrl_->setReallocationControlModePage(1); }, 0x111520},
      {0x5B, [&] { return ctrl_->discFinalize(); }, 0x110D00},
  };
  for (const auto& row : rows) {
    const int id = sim_->drive().add_fault(kelsim::command_fails(row.opcode, {0x03, 0x02, 0x00}));
    EXPECT_EQ(row.run(), row.code) << std::hex << int(row.opcode);
    sim_->drive().remove_fault(id);
    // Answers shorter than the command needs.
    if (row.opcode == 0x51 || row.opcode == 0x25 || row.opcode == 0x52) {
      const int shortId = sim_->drive().add_fault(kelsim::replace_answer(row.opcode, Bytes(2, 0)));
      EXPECT_EQ(row.run(), 0x210009u) << std::hex << int(row.opcode);
      sim_->drive().remove_fault(shortId);
    }
  }
}

TEST_F(SdkDriveCtrl, ProductIdFailuresWithOrWithoutSense) {
  start();
  DriveCtrl ctrl(path(), false);
  ASSERT_EQ(ctrl.reopen(), 0u);
  sim_->drive().add_fault(kelsim::command_fails(0x12, {0x05, 0x24, 0x00}));
  std::string product = "kept";
  EXPECT_EQ(ctrl.getProductID(product), 0x110200u);
  EXPECT_EQ(product, "kept");
  sim_->drive().clear_faults();
  sim_->drive().add_fault(kelsim::replace_answer(0x12, Bytes(20, ' ')));
  EXPECT_EQ(ctrl.getProductID(product), 0x21000Cu);
  sim_->drive().clear_faults();
  ASSERT_EQ(ctrl.getProductID(product), 0u);
  EXPECT_EQ(product, "QMR-T300B");
  // Cached from now on.
  const auto before = commands(0x12).size();
  ASSERT_EQ(ctrl.getProductID(product), 0u);
  EXPECT_EQ(commands(0x12).size(), before);
}

TEST_F(SdkDriveCtrl, OpenFailsWhereNoDriveAnswers) {
  start();
  for (const char16_t* p : {u"/dev/sd99", u"/dev/sdxyz", u"E:"}) {
    DriveCtrl ctrl(p, false);
    EXPECT_EQ(ctrl.openReadOnly(), 0x210002u) << narrowText(p);
    EXPECT_FALSE(ctrl.isOpen());
  }
  EXPECT_TRUE(host().logged("CreateFile(/dev/sd99) error GetLastError="));
  DriveCtrl closed(path(), false);
  DataArray out;
  try {
    closed.readSector(0, 1, out);
    ADD_FAILURE() << "nothing thrown";
  } catch (const PxoUtilityLibException& e) {
    EXPECT_EQ(e.code(), 0xFF0001u);
  }
  EXPECT_TRUE(commands(0x28).empty());
}

TEST_F(SdkDriveCtrl, EveryDataInCommandAsksWhatItsCdbAllocates) {
  kelsim::CartridgeSetup cartridge;
  cartridge.loaded_slot = 2;
  open("QMR-T300B", cartridge);
  formatLoadedDisc();
  int status;
  bool flag;
  std::uint32_t a, b;
  std::uint8_t slot;
  std::string product;
  DataArray out;
  DataArray one(kSector);
  ctrl_->writeSector(0, 1, one);
  ctrl_->getDiscStatus(status);
  ctrl_->checkUninitialized(flag);
  ctrl_->getN(a);
  ctrl_->readTrackInformation(a, b);
  ctrl_->loadCheck(2, flag);
  ctrl_->loadSlotAndCheck(2, slot);
  ctrl_->getLastWrittenDisc(slot);
  ctrl_->readSector(40, 1, out);
  ctrl_->device()->readSerialNumber(product);
  const struct {
    std::uint8_t opcode;
    std::uint32_t allocation;
  } expect[] = {{0x51, 240}, {0x51, 12}, {0x52, 48}, {0xBD, 8}, {0x8C, 12}, {0x12, 20}};
  std::vector<std::uint32_t> seen;
  for (const auto& e : commands()) {
    if (e.data_out) continue;
    if (e.opcode() == 0x28) {
      EXPECT_EQ(e.data_length, kelsim::get_be16(e.cdb.data() + 7) * kSector);
      continue;
    }
    if (e.opcode() == 0x25) {
      EXPECT_EQ(e.data_length, 8u);
      continue;
    }
    if (e.opcode() == 0xA6 || e.opcode() == 0x35 || e.opcode() == 0x00) continue;  // no data
    const auto allocation = kelsim::cdb_allocation_length(e.cdb.data(), e.cdb.size());
    ASSERT_TRUE(allocation.has_value()) << std::hex << int(e.opcode());
    EXPECT_EQ(e.data_length, *allocation) << std::hex << int(e.opcode());
    bool listed = false;
    for (const auto& row : expect) listed |= row.opcode == e.opcode() && row.allocation == *allocation;
    EXPECT_TRUE(listed) << std::hex << int(e.opcode()) << " " << std::dec << *allocation;
  }
}

}  // namespace
}  // namespace sdktest
