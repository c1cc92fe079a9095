// "RollbackMount" and "GetRollbackInfo" through the request loop over the
// fake engine and the fake drive utility library.
#include "kel/handler.h"
#include "support/handler_harness.h"

#include <gtest/gtest.h>

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

std::string point(const std::string& element) {
  return attribute(element, "SlotNumber") + "," + attribute(element, "MetaDataFE_LSN") + "," +
         attribute(element, "FsdLsn");
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
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{30, 4, 5}}));
    h.engine().addFile("/f", 30, 10);
  }
  HandlerHarness h;
};

TEST_F(RollbackTest, GetRollbackInfoListsThePointsLastFirstAndClosesWithZeros) {
  h.sdk().points = {{1, {}, 100, 200}, {2, {}, 300, 400}, {255, {}, 500, 600}};
  h.run(line(11, "GetRollbackInfo"));
  const Strings els = h.elements();
  Strings got;
  for (const auto& e : els) got.push_back(point(e));
  EXPECT_EQ(got, (Strings{"255,500,600", "2,300,400", "1,100,200", "0,0,0"}));
  EXPECT_EQ(elementName(els[0]), "KelRollbackInfo");
  EXPECT_EQ(h.sdk().calls, (Strings{"SetCallbacks(11,3)@3", "GetRollbackInfo(" + h.cookieText() + ")@3"}));
  EXPECT_EQ(h.engine().count(kSlotMountDefault), 0);  // no mount
  EXPECT_EQ(h.ordered().back(), "notice 11:12");
}

TEST_F(RollbackTest, GetRollbackInfoWithoutPointsSendsOnlyTheClosingRecord) {
  h.run(line(12, "GetRollbackInfo"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 1u);
  EXPECT_EQ(point(els[0]), "0,0,0");
}

TEST_F(RollbackTest, GetRollbackInfoAnswersDriveSdkFailuresAsHresult) {
  h.sdk().rollback_result = 0x8100000000000002ull;
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

}  // namespace
