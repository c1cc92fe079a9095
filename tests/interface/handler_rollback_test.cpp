// "RollbackMount" and "GetRollbackInfo" through the request loop over the
// fake engine; the drive utility library's failures through its stand-in.
#include "kel/handler.h"
#include "support/fake_drive_sdk.h"
#include "support/handler_harness.h"

#include <gtest/gtest.h>

#include <optional>

using handlertest::attribute;
using handlertest::elementName;
using handlertest::HandlerHarness;
using handlertest::hresult;
using handlertest::line;
using handlertest::probeLine;
using handlertest::putMetaFile;
using handlertest::setVolume;

namespace {

using Strings = std::vector<std::string>;

std::string rollbackMount(std::uint64_t seq, std::uint32_t slot, std::uint32_t fe, std::uint32_t fsd) {
  return line(seq, "RollbackMount",
              "SlotNumber=\"" + std::to_string(slot) + "\" MetaDataFE_LSN=\"" + std::to_string(fe) +
                  "\" FsdLsn=\"" + std::to_string(fsd) + "\"");
}

// Mount-related calls with their phases.
Strings mounts(fakeengine::FakeEngine& e) {
  Strings out;
  for (const auto& c : e.calls)
    if (c.slot == kSlotMountDefault || c.slot == kSlotMountRollback || c.slot == kSlotUnmount)
      out.push_back(c.text + "@" + std::to_string(c.phase));
  return out;
}

class RollbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeengine::sdk().reset();
    volume();
  }
  void volume() {
    h.engine().reset();
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    h.engine().addFile("/f", 30, 10);
  }
  HandlerHarness h;
};

TEST_F(RollbackTest, GetRollbackInfoAnswersDriveSdkFailuresAsHresult) {
  fakeengine::sdk().rollback_result = 0x8100000000000002ull;
  h.run(line(13, "GetRollbackInfo"));
  EXPECT_EQ(h.elements(), (Strings{hresult(13, 0x800710D2)}));
  EXPECT_EQ(h.ordered(), (Strings{"notice 13:12", "HRESULT"}));
}

TEST_F(RollbackTest, RollbackMountWithAZeroLocationMountsTheDefault) {
  h.run(line(1, "Check") + rollbackMount(2, 7, 0, 99) + rollbackMount(3, 7, 99, 0));
  EXPECT_EQ(mounts(h.engine()), (Strings{"MountDefault()@1", "Unmount(1)@2", "MountDefault()@1",
                                         "Unmount(1)@2", "MountDefault()@1"}));
  EXPECT_EQ(h.elements().size(), 3u);
  for (const auto& e : h.elements()) EXPECT_EQ(attribute(e, "QuorvelVolumeID"), "VOL-A");
}

TEST_F(RollbackTest, RollbackMountAtAPointLoadsTheStoreInFullAndALaterCheckKeepsIt) {
  bool after_mount = false, after_check = false;
  std::size_t dirty = 99;
  int probes = 0;
  h.probe = [&](CKelInterface& itf) {
    auto& store = kel::HandlerStateOf(itf).MetaData;
    if (probes++ == 0) {
      after_mount = store.LoadedInFull();
    } else {
      after_check = store.LoadedInFull();
      dirty = store.GetDirtyFiles().size();
    }
  };
  const std::string renamed =
      line(5, "Rename",
           "Name=\"/f\" NewName=\"/g\" OldGeneration=\"4\" OldVersion=\"5\" NewGeneration=\"6\" "
           "NewVersion=\"7\" KernelInterface=\"0\" BlockNumber=\"0\"");
  h.run(rollbackMount(2, 3, 1000, 2000) + probeLine(3) + line(4, "Check") + renamed + probeLine(6));
  EXPECT_EQ(mounts(h.engine()), (Strings{"MountRollback(3,1000,2000)@1"}));
  // The refresh right after the mount runs in phase 1, the store in 5.
  EXPECT_EQ(h.engine().callsOf(kSlotFsInfo).front().phase, 1u);
  EXPECT_EQ(h.engine().callsOf(kSlotOpenFile).front().phase, 5u);
  EXPECT_TRUE(after_mount);
  EXPECT_TRUE(after_check);
  EXPECT_EQ(dirty, 0u);  // the rename's new values stay in memory
  EXPECT_EQ(h.ordered(), (Strings{"KelVolume", "notice 2:12", "KelVolume", "notice 4:12", "KelVolume",
                                  "notice 5:12"}));
}

TEST_F(RollbackTest, FailedUnmountOrMountEndsTheRequest) {
  // Unmount fails: the volume stays mounted and is not mounted again.
  h.engine().failNext(kSlotUnmount, 16);
  // Then the rollback mount fails: the next request mounts the default.
  h.engine().failNext(kSlotMountRollback, 5);
  h.run(line(1, "Check") + rollbackMount(2, 1, 10, 20) + line(3, "GetVolumeInfo") +
        rollbackMount(4, 1, 10, 20) + line(5, "GetVolumeInfo"));
  EXPECT_EQ(mounts(h.engine()), (Strings{"MountDefault()@1", "Unmount(1)@2", "Unmount(1)@2",
                                         "MountRollback(1,10,20)@1", "MountDefault()@1"}));
  Strings got;
  for (const auto& e : h.elements()) got.push_back(elementName(e) == "HRESULT" ? e : elementName(e));
  EXPECT_EQ(got, (Strings{"KelVolume", hresult(2, 0x800700AA), "KelVolume", hresult(4, 0x8007045D),
                          "KelVolume"}));
}

TEST_F(RollbackTest, AMountThatSucceededIsKeptWhenTheRefreshAfterItFails) {
  h.engine().failNext(kSlotFsInfo, 5);
  h.run(rollbackMount(1, 1, 10, 20) + line(2, "GetVolumeInfo"));
  EXPECT_EQ(mounts(h.engine()), (Strings{"MountRollback(1,10,20)@1"}));
  Strings got;
  for (const auto& e : h.elements()) got.push_back(elementName(e) == "HRESULT" ? e : elementName(e));
  EXPECT_EQ(got, (Strings{hresult(1, 0x8007045D), "KelVolume"}));
}

// The store's files belong to the state they were read from. The older
// image stands for the rollback point, the newer one for the latest state.
class RollbackStoreTest : public RollbackTest {
 protected:
  void older() { putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{30, 4, 5}})); }
  void newer() { putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{30, 6, 7}, {31, 1, 1}})); }
  static std::string rename(std::uint64_t seq, const char* from, const char* to, int og, int ov) {
    return line(seq, "Rename",
                std::string("Name=\"") + from + "\" NewName=\"" + to + "\" OldGeneration=\"" +
                    std::to_string(og) + "\" OldVersion=\"" + std::to_string(ov) +
                    "\" NewGeneration=\"8\" NewVersion=\"9\" KernelInterface=\"0\" BlockNumber=\"0\"");
  }
  // What the store holds for objects 30 and 31 ("-" when nothing), and the
  // changed files, as seen by the probe.
  struct Seen {
    std::string object30, object31;
    std::size_t dirty = 99;
    bool loaded_in_full = true;
  };
  void watch(std::vector<Seen>* seen, std::function<void()> between = nullptr) {
    h.probe = [seen, between](CKelInterface& itf) {
      auto& store = kel::HandlerStateOf(itf).MetaData;
      Seen s;
      auto text = [&](std::uint32_t object) {
        std::uint32_t g = 0, v = 0;
        kel::CKelMetaData::CMetaDataFile* f = store.File(0);
        return f && f->GetEntry(object, &g, &v) ? std::to_string(g) + "," + std::to_string(v)
                                                : std::string("-");
      };
      s.object30 = text(30);
      s.object31 = text(31);
      s.dirty = store.GetDirtyFiles().size();
      s.loaded_in_full = store.LoadedInFull();
      seen->push_back(s);
      if (between) between();
    };
  }
};

// Back from a rollback point, the latest state's values count: a rename
// that names them succeeds, and the changed file holds the latest records
// (a Sync of the point's image would erase later ones).
TEST_F(RollbackStoreTest, ReturningFromARollbackPointReadsTheLatestFilesAgain) {
  older();
  std::vector<Seen> seen;
  watch(&seen, [this] { newer(); });
  h.run(rollbackMount(1, 3, 1000, 2000) + probeLine(2) + rollbackMount(3, 3, 0, 0) +
        rename(4, "/f", "/g", 6, 7) + probeLine(5));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].object30, "4,5");
  EXPECT_TRUE(seen[0].loaded_in_full);
  const std::string renamed = h.elements()[2];
  EXPECT_EQ(elementName(renamed), "KelVolume") << renamed;
  EXPECT_EQ(attribute(renamed, "SequenceNumber"), "4");
  EXPECT_EQ(seen[1].object30, "8,9");
  EXPECT_EQ(seen[1].object31, "1,1");
  EXPECT_EQ(seen[1].dirty, 1u);
  EXPECT_FALSE(seen[1].loaded_in_full);
}

// Going to a rollback point by request leaves nothing of the state mounted
// before: neither its values nor its unwritten changes. (Check's way there,
// over the drive utility library, is in the suite over the real library.)
TEST_F(RollbackStoreTest, GoingToARollbackPointDropsTheLatestFilesAndTheirChanges) {
  newer();
  std::vector<Seen> seen;
  watch(&seen, [this] { older(); });
  h.run(line(1, "Check") + rename(2, "/f", "/g", 6, 7) + probeLine(3) + rollbackMount(4, 3, 1000, 2000) +
        probeLine(6));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].object30, "8,9");
  EXPECT_EQ(seen[0].dirty, 1u);
  EXPECT_EQ(seen[1].object30, "4,5");
  EXPECT_EQ(seen[1].object31, "-");
  EXPECT_EQ(seen[1].dirty, 0u);
  EXPECT_TRUE(seen[1].loaded_in_full);
  EXPECT_EQ(h.engine().texts(kSlotMountRollback).size(), 1u);
}

// A remount of the same default state keeps the changes not yet written.
TEST_F(RollbackStoreTest, RemountOfTheDefaultStateKeepsUnwrittenChanges) {
  newer();
  std::vector<Seen> seen;
  watch(&seen, [this] { older(); });
  h.run(line(1, "Check") + rename(2, "/f", "/g", 6, 7) + probeLine(3) + rollbackMount(4, 3, 0, 0) +
        probeLine(5));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].object30, "8,9");
  EXPECT_EQ(seen[1].dirty, 1u);
}

// The handlers' state is the interface's own: a later interface, even at
// the same address, starts without it.
TEST(HandlerStateOwnership, ALaterInterfaceStartsWithFreshState) {
  std::optional<CKelInterface> itf;
  itf.emplace();
  const void* first = &*itf;
  kel::HandlerStateOf(*itf).RollbackMounted = true;
  kel::HandlerStateOf(*itf).MetaData.MarkFileDirty(0);
  itf.reset();
  itf.emplace();
  ASSERT_EQ(static_cast<const void*>(&*itf), first);
  EXPECT_FALSE(kel::HandlerStateOf(*itf).RollbackMounted);
  EXPECT_EQ(kel::HandlerStateOf(*itf).MetaData.LoadedFileCount(), 0u);
}

}  // namespace
