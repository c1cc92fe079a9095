// The requests that need the drive utility library ("Check" with the
// rollback mount on error, "GetRollbackInfo", and "RollbackMount" at a point
// it listed) through the request loop over the fake engine, with the real
// library searching builder slot images in the simulated cartridge.
#include "kel/entry.h"
#include "support/settles.h"
#include "kel/handler.h"
#include "kel/mdcfs.h"
#include "kel/pipe_client.h"
#include "interface/support/handler_harness.h"

#include "drivesdk/generations.h"
#include "engine/udf/support_image.h"
#include "scsi_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

using handlertest::attribute;
using handlertest::elementName;
using handlertest::HandlerHarness;
using handlertest::hresult;
using handlertest::line;
using handlertest::probeLine;
using handlertest::putMetaFile;
using handlertest::setVolume;
using sdktest::Generation;

namespace {

using Strings = std::vector<std::string>;

constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kImageSectors = 8192;
constexpr std::uint32_t kCurrent = sdktest::kBuilderCurrentMfe;
constexpr std::uint32_t kOlder = 4200;
// Where the builder's metadata entry finds its file set descriptor (a short
// allocation descriptor: its position plus the partition start).
constexpr std::uint32_t kFsd = 4352;
constexpr unsigned kMountInformation = 0x40107014;

std::string phases(const std::vector<fakeengine::Call>& calls) {
  std::string out;
  for (const auto& c : calls) out += (out.empty() ? "" : " ") + std::to_string(c.seq) + ":" + std::to_string(c.phase);
  return out;
}

std::string point(const std::string& element) {
  return attribute(element, "SlotNumber") + "," + attribute(element, "MetaDataFE_LSN") + "," +
         attribute(element, "FsdLsn");
}

std::string mountRollback(std::uint32_t slot, std::uint32_t fe) {
  return "MountRollback(" + std::to_string(slot) + "," + std::to_string(fe) + "," + std::to_string(kFsd) + ")";
}

// A write-once cartridge of three slots, slot 2 in the drive (and named
// the last written one by the cartridge memory).
kelsim::HarnessOptions cartridgeOptions() {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE1;
  o.cartridge.slots = 3;
  o.cartridge.disc_blocks = kImageSectors;
  o.cartridge.loaded_slot = 2;
  return o;
}

class HandlerSdkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.emplace(cartridgeOptions());
    engine().reset();
    setVolume(engine());
    engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{42, 7, 8}}));
    // What the engine reports of its volume to the library's search.
    MDCFS_MOUNT_INFORMATION info{};
    info.MediumType = 0xE1;
    info.VolumeStatus = 0x81;
    std::vector<std::uint8_t> record(sizeof info);
    std::memcpy(record.data(), &info, sizeof info);
    engine().fsctl_answers[kMountInformation] = record;
  }
  void TearDown() override {
    h.reset();
    // The library's own client sees the closed pipe on its reader thread;
    // the next test must not write into the old connection.
    kel_test::settles([] { return !PxoUtilityLib::sdkServiceInterface().isConnected(); });
  }
  fakeengine::FakeEngine& engine() { return h->engine(); }
  void rollbackOnError() { h->setRegistry({"\"Rollback Mount On Error\"=dword:00000001"}); }

  // A builder volume in the slot, with an older generation of the metadata
  // entry chained below the current one: two rollback points.
  void writeSlot(int slot) {
    std::vector<std::uint8_t> image;
    udf_test::build_volume(udf_test::spec_for(udf_test::MediumClass::WriteOnce, static_cast<std::uint32_t>(slot)),
                           image);
    const std::vector<std::uint8_t> base(image.begin() + std::size_t{kCurrent} * kSector,
                                         image.begin() + std::size_t{kCurrent + 1} * kSector);
    for (const Generation& g : {Generation{kCurrent, kOlder}, Generation{kOlder, std::nullopt}})
      sdktest::putGeneration(image, base, g);
    kelsim::Cartridge& c = h->sim().cartridge();
    ASSERT_EQ(c.write_blocks(slot, 0, kImageSectors, image.data()), ERROR_SUCCESS);
    kelsim::Disc& d = c.disc(slot);
    d.formatted = true;
    d.status = kelsim::DiscStatus::Incomplete;
    // As the engine leaves a written slot: its track and an open one.
    d.tracks = {kelsim::Track{0, kImageSectors - 64, kImageSectors - 128, false, false},
                kelsim::Track{kImageSectors - 64, 64, kImageSectors - 64, false, true}};
    ASSERT_EQ(c.save(), ERROR_SUCCESS);
  }

  // The SCSI commands the library sent (the interface sends only notices
  // over the fake engine).
  std::vector<kelsim::TranscriptEntry> commands() {
    std::vector<kelsim::TranscriptEntry> out;
    for (const auto& e : h->transcript())
      if (!e.is_notice()) out.push_back(e);
    return out;
  }
  // Every command carries the request's sequence number and the phase the
  // library was handed (3: rollback-point queries), on the library's own
  // connection, not the one of the interface's notices.
  void expectCommandsOf(std::uint64_t seq) {
    const auto sent = commands();
    ASSERT_FALSE(sent.empty());
    for (const auto& e : sent) {
      EXPECT_EQ(e.sequence, seq) << "opcode " << int(e.opcode());
      EXPECT_EQ(e.phase, 3u) << "opcode " << int(e.opcode());
      EXPECT_EQ(e.connection, sent.front().connection);
    }
    for (const auto& e : h->transcript()) {
      if (e.is_notice()) {
        EXPECT_NE(e.connection, sent.front().connection);
      }
    }
  }

  std::optional<HandlerHarness> h;
};

TEST_F(HandlerSdkTest, GetRollbackInfoListsThePointsLastFirstAndClosesWithZeros) {
  writeSlot(0);
  writeSlot(1);
  h->run(line(11, "GetRollbackInfo"));
  const Strings els = h->elements();
  Strings got;
  for (const auto& e : els) got.push_back(point(e));
  // Found from slot 1 down, newest entry first in each slot; answered
  // from the last found.
  const std::string fsd = "," + std::to_string(kFsd);
  EXPECT_EQ(got, (Strings{"0,4200" + fsd, "0,4384" + fsd, "1,4200" + fsd, "1,4384" + fsd, "0,0,0"}));
  EXPECT_EQ(elementName(els[0]), "KelRollbackInfo");
  expectCommandsOf(11);
  // The library reached the engine through the forwarders of the running
  // table, and left the drive holding the slot it held.
  // Volume size, mount information, device information.
  EXPECT_EQ(engine().texts(kSlotFsctl),
            (Strings{"Fsctl(0x40207063)", "Fsctl(0x40107014)", "Fsctl(0x404C7013)"}));
  EXPECT_EQ(phases(engine().callsOf(kSlotFsctl)), "11:3 11:3 11:3");
  EXPECT_EQ(h->sim().cartridge().loaded_slot, 2);
  EXPECT_EQ(engine().count(kSlotMountDefault), 0);  // no mount
  EXPECT_EQ(engine().count(kSlotUnmount), 0);
  EXPECT_EQ(h->ordered().back(), "notice 11:12");
}

TEST_F(HandlerSdkTest, GetRollbackInfoWithoutPointsSendsOnlyTheClosingRecord) {
  h->run(line(12, "GetRollbackInfo"));
  const Strings els = h->elements();
  ASSERT_EQ(els.size(), 1u) << els.back();
  EXPECT_EQ(point(els[0]), "0,0,0");
  expectCommandsOf(12);
}

TEST_F(HandlerSdkTest, FailedMountWithoutRollbackFlagAnswersHresultAfterTheNotice) {
  writeSlot(0);
  engine().failNext(kSlotMountDefault, 16);  // busy: 170
  h->run(line(5, "Check") + line(6, "Check"));
  EXPECT_EQ(h->ordered(), (Strings{"notice 5:12", "HRESULT", "KelVolume", "notice 6:12"}));
  EXPECT_EQ(h->elements()[0], hresult(5, 0x800700AA));
  // The library was not asked: no drive command, no control to the engine.
  EXPECT_TRUE(commands().empty());
  EXPECT_EQ(engine().count(kSlotFsctl), 0);
  EXPECT_EQ(engine().count(kSlotMountRollback), 0);
  EXPECT_EQ(phases(engine().callsOf(kSlotMountDefault)), "5:1 6:1");  // tried again
}

TEST_F(HandlerSdkTest, RollbackOnErrorTriesThePointsInOrderUntilOneMounts) {
  rollbackOnError();
  writeSlot(0);
  writeSlot(1);
  engine().failNext(kSlotMountDefault, 5);
  engine().failNext(kSlotMountRollback, 5);
  bool loaded_in_full = false, rollback_mounted = false;
  std::size_t dirty = 99;
  h->probe = [&](CKelInterface& itf) {
    loaded_in_full = kel::HandlerStateOf(itf).MetaData.LoadedInFull();
    rollback_mounted = kel::HandlerStateOf(itf).RollbackMounted;
    dirty = kel::HandlerStateOf(itf).MetaData.GetDirtyFiles().size();
  };
  engine().addFile("/f", 42, 1);
  const std::string rename =
      line(11, "Rename",
           "Name=\"/f\" NewName=\"/g\" OldGeneration=\"7\" OldVersion=\"8\" NewGeneration=\"1\" "
           "NewVersion=\"2\" KernelInterface=\"0\" BlockNumber=\"0\"");
  h->run(line(9, "Check") + rename + probeLine(10));
  // The library's list order: slot 1's newest entry, then its older one.
  EXPECT_EQ(engine().texts(kSlotMountRollback), (Strings{mountRollback(1, kCurrent), mountRollback(1, kOlder)}));
  EXPECT_EQ(phases(engine().callsOf(kSlotMountRollback)), "9:1 9:1");
  expectCommandsOf(9);
  EXPECT_EQ(h->sim().cartridge().loaded_slot, 2);
  EXPECT_EQ(h->ordered(), (Strings{"KelVolume", "notice 9:12", "KelVolume", "notice 11:12"}));
  EXPECT_TRUE(loaded_in_full);  // LoadAll, not the identity alone
  EXPECT_TRUE(rollback_mounted);
  EXPECT_EQ(dirty, 0u);  // the rename's values are not written over the older state
}

TEST_F(HandlerSdkTest, NoRollbackPointThatMountsLeavesTheVolumeUnmounted) {
  rollbackOnError();
  // A blank cartridge: no point, the first mount's failure is the answer.
  // Then slot 0 is written and both its points fail: the last failure is
  // the answer.
  engine().failNext(kSlotMountDefault, 16, 2);
  h->probe = [&](CKelInterface&) {
    writeSlot(0);
    engine().failNext(kSlotMountRollback, 16);
    engine().failNext(kSlotMountRollback, 22);
  };
  h->run(line(1, "Check") + probeLine(9) + line(2, "Check") + line(3, "GetVolumeInfo"));
  const Strings els = h->elements();
  ASSERT_EQ(els.size(), 3u);
  EXPECT_EQ(els[0], hresult(1, 0x800700AA));
  EXPECT_EQ(els[1], hresult(2, 0x80070057));
  EXPECT_EQ(elementName(els[2]), "KelVolume");
  EXPECT_EQ(engine().texts(kSlotMountRollback), (Strings{mountRollback(0, kCurrent), mountRollback(0, kOlder)}));
  EXPECT_EQ(engine().count(kSlotFsInfo), 1);  // only after the mount of request 3
  EXPECT_EQ(phases(engine().callsOf(kSlotMountDefault)), "1:1 2:1 3:1");
  EXPECT_EQ(h->sim().cartridge().loaded_slot, 2);
}

// Check's way to a rollback point leaves nothing of the state mounted
// before: neither its values nor its unwritten changes.
TEST_F(HandlerSdkTest, CheckGoingToARollbackPointDropsTheLatestFilesAndTheirChanges) {
  rollbackOnError();
  writeSlot(0);
  auto metaFile = [](std::vector<handlertest::MetaRecord> records) {
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, records));
  };
  metaFile({{30, 6, 7}, {31, 1, 1}});  // the latest state
  engine().addFile("/f", 30, 10);
  struct Seen {
    std::string object30, object31;
    std::size_t dirty;
    bool loaded_in_full;
  };
  std::vector<Seen> seen;
  h->probe = [&](CKelInterface& itf) {
    auto& store = kel::HandlerStateOf(itf).MetaData;
    auto text = [&](std::uint32_t object) {
      std::uint32_t g = 0, v = 0;
      kel::CKelMetaData::CMetaDataFile* f = store.File(0);
      return f && f->GetEntry(object, &g, &v) ? std::to_string(g) + "," + std::to_string(v) : std::string("-");
    };
    seen.push_back(Seen{text(30), text(31), store.GetDirtyFiles().size(), store.LoadedInFull()});
    // The point's state; the rollback mount by request then fails after its
    // unmount, and so does Check's default mount: Check mounts the point.
    metaFile({{30, 4, 5}});
    engine().failNext(kSlotMountDefault, 5);
  };
  engine().failNext(kSlotMountRollback, 5);
  h->run(line(1, "Check") +
         line(2, "Rename",
              "Name=\"/f\" NewName=\"/g\" OldGeneration=\"6\" OldVersion=\"7\" NewGeneration=\"8\" "
              "NewVersion=\"9\" KernelInterface=\"0\" BlockNumber=\"0\"") +
         probeLine(3) +
         line(4, "RollbackMount", "SlotNumber=\"0\" MetaDataFE_LSN=\"4200\" FsdLsn=\"4352\"") +
         line(5, "Check") + probeLine(6));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].object30, "8,9");
  EXPECT_EQ(seen[0].dirty, 1u);
  EXPECT_EQ(seen[1].object30, "4,5");
  EXPECT_EQ(seen[1].object31, "-");
  EXPECT_EQ(seen[1].dirty, 0u);
  EXPECT_TRUE(seen[1].loaded_in_full);
  EXPECT_EQ(engine().texts(kSlotMountRollback), (Strings{mountRollback(0, kOlder), mountRollback(0, kCurrent)}));
}

// A search the library refuses (the engine reports a volume it cannot
// roll back) answers the library's code as an HRESULT, for Check without
// trying a rollback mount, with the drive holding its slot.
TEST_F(HandlerSdkTest, ASearchTheLibraryRefusesAnswersItsCode) {
  for (const char* request : {"Check", "GetRollbackInfo"}) {
    SCOPED_TRACE(request);
    TearDown();
    SetUp();
    rollbackOnError();
    writeSlot(0);
    MDCFS_MOUNT_INFORMATION info{};
    info.MountStatus = 0x80000010;
    info.MediumType = 0xE1;
    std::memcpy(engine().fsctl_answers[kMountInformation].data(), &info, sizeof info);
    engine().failNext(kSlotMountDefault, 5);
    h->run(line(4, request));
    EXPECT_EQ(h->elements(), (Strings{hresult(4, 0x8007045D)}));
    EXPECT_EQ(engine().count(kSlotMountRollback), 0);
    EXPECT_EQ(engine().texts(kSlotFsctl), (Strings{"Fsctl(0x40207063)", "Fsctl(0x40107014)"}));
    EXPECT_EQ(h->sim().cartridge().loaded_slot, 2);
  }
}

// A point the library listed, mounted by request.
TEST_F(HandlerSdkTest, RollbackMountAtAListedPointMountsIt) {
  writeSlot(0);
  h->run(line(1, "GetRollbackInfo"));
  const Strings listed = h->elements();
  ASSERT_EQ(listed.size(), 3u);
  const std::string at = listed[1];  // the newest entry of slot 0
  h->run(line(2, "RollbackMount",
              "SlotNumber=\"" + attribute(at, "SlotNumber") + "\" MetaDataFE_LSN=\"" +
                  attribute(at, "MetaDataFE_LSN") + "\" FsdLsn=\"" + attribute(at, "FsdLsn") + "\""));
  EXPECT_EQ(engine().texts(kSlotMountRollback), (Strings{mountRollback(0, kCurrent)}));
  EXPECT_EQ(elementName(h->elements().back()), "KelVolume");
}

}  // namespace
