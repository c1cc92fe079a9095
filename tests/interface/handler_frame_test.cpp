// The handler frame through the real request loop over the fake engine:
// answer order against the end-of-request notices on the pipe, phases, mount
// on demand, the rollback mount on error, and the volume information.
#include "kel/entry.h"
#include "kel/handler.h"
#include "kel/volctrl.h"
#include "support/fake_drive_sdk.h"
#include "support/handler_harness.h"

#include <gtest/gtest.h>

#include <cstring>

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

std::string phases(const std::vector<fakeengine::Call>& calls) {
  std::string out;
  for (const auto& c : calls) out += (out.empty() ? "" : " ") + std::to_string(c.seq) + ":" + std::to_string(c.phase);
  return out;
}

class HandlerFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setVolume(h.engine());
    h.engine().addFolder("/$QuorvelData", 50);
    putMetaFile(0, handlertest::metaFile(10752, "VOL-A", 3, {{42, 7, 8}}));
  }
  void rollbackOnError() { h.setRegistry({"\"Rollback Mount On Error\"=dword:00000001"}); }
  HandlerHarness h;
};

TEST_F(HandlerFrameTest, TwoChecksMountOnceAndEachAnswerPrecedesItsNotice) {
  h.run(line(1, "Check") + line(2, "Recognise"));
  EXPECT_EQ(h.ordered(), (Strings{"KelVolume", "notice 1:12", "KelVolume", "notice 2:12"}));
  EXPECT_EQ(phases(h.engine().callsOf(kSlotMountDefault)), "1:1");
  EXPECT_EQ(phases(h.engine().callsOf(kSlotFsInfo)), "1:3 2:3");
  // The identity is read from the metadata files in phase 5, once.
  EXPECT_EQ(phases(h.engine().callsOf(kSlotOpenFile)), "1:5");
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 2u);
  for (const auto& e : els) {
    EXPECT_EQ(attribute(e, "QuorvelVolumeID"), "VOL-A");
    EXPECT_EQ(attribute(e, "QuorvelReplica"), "3");
    EXPECT_EQ(attribute(e, "ParityRatio"), "128");
    EXPECT_EQ(attribute(e, "VolumeName"), "VOLNAME");
  }
  EXPECT_EQ(attribute(els[1], "SequenceNumber"), "2");
}

TEST_F(HandlerFrameTest, RollbackOnErrorStopsAtDriveSdkFailures) {
  struct Case {
    std::uint64_t set_callbacks, rollback;
    std::uint32_t hr;
    std::size_t sdk_calls;
  } cases[] = {{0x8100000000000006ull, 0, 0x80070032, 1},
               {0, 0x8100000000000005ull, 0x80070057, 2},
               {0, 0x8200000000000001ull, 0x8007045D, 2}};
  for (const auto& c : cases) {
    HandlerHarness hh;
    fakeengine::sdk().reset();
    setVolume(hh.engine());
    hh.setRegistry({"\"Rollback Mount On Error\"=dword:00000001"});
    fakeengine::sdk().points = {{1, {}, 100, 200}};
    fakeengine::sdk().set_callbacks_result = c.set_callbacks;
    fakeengine::sdk().rollback_result = c.rollback;
    hh.engine().failNext(kSlotMountDefault, 5);
    hh.run(line(3, "Check"));
    EXPECT_EQ(hh.elements(), (Strings{hresult(3, c.hr)}));
    EXPECT_EQ(fakeengine::sdk().calls.size(), c.sdk_calls);
    EXPECT_EQ(hh.engine().count(kSlotMountRollback), 0);
  }
}

TEST_F(HandlerFrameTest, AMountThatSucceededIsNotRepeatedWhenTheRefreshFailed) {
  h.engine().failNext(kSlotFsInfo, 5);  // not in the table: 1117
  h.run(line(1, "Check") + line(2, "Check"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 2u);
  EXPECT_EQ(els[0], hresult(1, 0x8007045D));
  EXPECT_EQ(elementName(els[1]), "KelVolume");
  EXPECT_EQ(h.engine().count(kSlotMountDefault), 1);
}

TEST_F(HandlerFrameTest, AMetadataLoadFailureAnswersHresultAndKeepsTheMount) {
  h.probe = [&](CKelInterface&) {
    // The volume now ends in file 1, written with another width.
    putMetaFile(1, handlertest::metaFile(5000, "VOL-A", 3, {}));
    h.engine().volume.LastFileIndex = 10752 + 1;
  };
  h.run(line(1, "Check") + probeLine(9) + line(2, "Check") + line(3, "GetVolumeInfo"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 3u);
  EXPECT_EQ(els[1], hresult(2, 0x8007000D));
  EXPECT_EQ(elementName(els[2]), "KelVolume");
  EXPECT_EQ(h.engine().count(kSlotMountDefault), 1);
}

TEST_F(HandlerFrameTest, GetVolumeInfoKeepsTheIdentityAcrossTheRefresh) {
  h.probe = [&](CKelInterface&) { h.engine().volume.FreeBlocks = 1234; };
  h.run(line(1, "Check") + probeLine(9) + line(2, "GetVolumeInfo"));
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 2u);
  EXPECT_EQ(attribute(els[1], "FreeBlocks"), "1234");
  EXPECT_EQ(attribute(els[1], "QuorvelVolumeID"), "VOL-A");
  EXPECT_EQ(attribute(els[1], "QuorvelReplica"), "3");
  EXPECT_EQ(phases(h.engine().callsOf(kSlotFsInfo)), "1:3 2:3");
  EXPECT_EQ(h.ordered(), (Strings{"KelVolume", "notice 1:12", "KelVolume", "notice 2:12"}));
}

TEST_F(HandlerFrameTest, GetVolumeInfoMountsOnDemand) {
  h.run(line(4, "GetVolumeInfo"));
  EXPECT_EQ(phases(h.engine().callsOf(kSlotMountDefault)), "4:1");
  EXPECT_EQ(phases(h.engine().callsOf(kSlotFsInfo)), "4:3");
  const Strings els = h.elements();
  ASSERT_EQ(els.size(), 1u);
  EXPECT_EQ(attribute(els[0], "QuorvelReplica"), "4294967295");  // no identity loaded
  EXPECT_EQ(attribute(els[0], "QuorvelVolumeID"), "");
}

TEST(HandlerParity, RatioFollowsVolumeTypeAndMedium) {
  struct Case {
    int medium;
    std::uint32_t volume_type;
    const char* ratio;
  } cases[] = {{0xE1, 0, "128"}, {0xE1, 1, "0"}, {0xF2, 0, "128"}, {0x53, 2, "0"}};
  for (const auto& c : cases) {
    HandlerHarness h;
    setVolume(h.engine());
    h.engine().medium_type = c.medium;
    h.engine().volume.VolumeType = c.volume_type;
    h.run(line(1, "GetVolumeInfo"));
    const Strings els = h.elements();
    ASSERT_EQ(els.size(), 1u);
    EXPECT_EQ(attribute(els[0], "ParityRatio"), c.ratio) << c.medium << " " << c.volume_type;
    if (c.medium == 0xF2) {
      EXPECT_EQ(kel::WriterParityConstants().ParitySymbols, 4);
    }
  }
}

TEST(HandlerRoutines, WritePositionUsesTheTrackEndWhenTheTrackIsFull) {
  struct Case {
    std::uint32_t next, track, per_track, start;
    std::uint64_t expect;
  } cases[] = {
      {0xFFFFFFFFu, 2, 1000, 64, 3064},
      {10, 2, 1000, 64, 2074},
      {0, 0, 0, 0, 0},
      {0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu,
       0xFFFFFFFEull + 0xFFFFFFFFull * 0xFFFFFFFFull + 0xFFFFFFFFull},
  };
  for (const auto& c : cases) {
    kel::KelVolumeInformation v{};
    v.Info.NextWritableBlock = c.next;
    v.Info.CurrentTrackId = c.track;
    v.Info.NumberOfBlocksPerTrack = c.per_track;
    v.Info.PartitionStart = c.start;
    EXPECT_EQ(kel::WritePosition(v), c.expect);
  }
}

TEST(HandlerRoutines, SplitPathGivesFolderAndLeaf) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(kel::SplitPath("/x"), (P{"/", "x"}));
  EXPECT_EQ(kel::SplitPath("/a/b/c.dat"), (P{"/a/b", "c.dat"}));
  EXPECT_EQ(kel::SplitPath("/a/"), (P{"/a", ""}));
  EXPECT_EQ(kel::SplitPath("x"), (P{"/", "x"}));
}

TEST(HandlerRoutines, MakeParentDirectoriesCreatesOnlyWhatIsMissing) {
  HandlerHarness h;
  CKelInterface itf;
  itf.Initialise(&fakeengine::operations());
  h.engine().mounted = true;
  h.engine().addFolder("/a");
  EXPECT_EQ(kel::MakeParentDirectories(itf, "/a/b/c.dat"), 0u);
  EXPECT_EQ(h.engine().texts(kSlotGetPathInfo),
            (Strings{"GetPathInfo(/a/b/c.dat,0,null)", "GetPathInfo(/a,0)", "GetPathInfo(/a/b,0)", "GetPathInfo(/a/b,0)"}));
  EXPECT_EQ(h.engine().texts(kSlotCreateDirectory), (Strings{"CreateDirectory(/a,b,0)"}));
  EXPECT_TRUE(h.engine().exists("/a/b"));

  // An existing path: one question, nothing made.
  h.engine().calls.clear();
  EXPECT_EQ(kel::MakeParentDirectories(itf, "/a/b"), 0u);
  EXPECT_EQ(h.engine().calls.size(), 1u);

  // A lookup failure other than "not found" stops without creating; a
  // creation failure is returned as its Win32 code.
  h.engine().calls.clear();
  h.engine().failPath(kSlotGetPathInfo, "/q", 5);
  EXPECT_EQ(kel::MakeParentDirectories(itf, "/q/r/s"), 1117u);
  EXPECT_EQ(h.engine().count(kSlotCreateDirectory), 0);
  h.engine().failNext(kSlotCreateDirectory, 28);
  EXPECT_EQ(kel::MakeParentDirectories(itf, "/n/m/x"), 112u);
  EXPECT_EQ(h.engine().texts(kSlotCreateDirectory), (Strings{"CreateDirectory(/,n,0)"}));
  EXPECT_FALSE(h.engine().exists("/n"));
}

}  // namespace
