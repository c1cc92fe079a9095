// The free-space manager over scripted track information.
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/USBManager.h"
#include "support/running_interface.h"
#include "support/test_writer.h"

#include <gtest/gtest.h>

using AnnulusFileIO::BlocksOf;
using AnnulusFileIO::OffsetOf;
using AnnulusFileIO::ZoneOf;
using writertest::TestWriter;

namespace {

constexpr unsigned kTrack = 0xC0107016;
constexpr unsigned kResource = 0xC0107041;
constexpr unsigned kNewTrack = 0x20007044;
constexpr unsigned kMount = 0x40107014;
constexpr unsigned kPolicy = 0x40207051;
constexpr unsigned kStatfs = 0x40207063;
constexpr std::uint32_t kMargin = 524288;

MDCFS_TRACK_WRITE_RESOURCE_INFORMATION plenty() { return {0, 0x20, 0x1000, 0x1000}; }

class FreeSpace : public writertest::RunningInterface {
 protected:
  void track(std::uint32_t tracks, std::uint32_t id, std::uint32_t nwa, std::uint32_t end) {
    engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{tracks, id, nwa, end});
  }
  void nextTrack(std::uint32_t tracks, std::uint32_t id, std::uint32_t nwa, std::uint32_t end) {
    engine().fsctl_out_next[kTrack].push_back(
        bytes(MDCFS_VOLUME_TRACK_INFORMATION{tracks, id, nwa, end}));
  }
  void resource(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION r) { engine().fsctl_out[kResource] = bytes(r); }
  void mountStatus(std::uint8_t status) {
    MDCFS_MOUNT_INFORMATION m{};
    m.MediumType = 0xE1;
    m.VolumeStatus = status;
    engine().fsctl_out[kMount] = bytes(m);
  }
  void newWriteMode() {
    MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, kMargin, kMargin, 128, 32768, 100000};
    engine().fsctl_out[kPolicy] = bytes(p);
    RuvoCtrlVolume v(u"");
    ASSERT_EQ(v.setWritePolictInformation(), 0u);
    ASSERT_TRUE(RuvoCtrlVolume::getNewWrite());
  }
  std::size_t count(unsigned code) {
    const auto c = fsctlCodes();
    return static_cast<std::size_t>(std::count(c.begin(), c.end(), code));
  }
  void SetUp() override {
    RunningInterface::SetUp();
    resource(plenty());
    mountStatus(0x91);
  }
};

}  // namespace

TEST_F(FreeSpace, WriteResourceLimits) {
  const struct {
    MDCFS_TRACK_WRITE_RESOURCE_INFORMATION r;
    bool empty;
  } cases[] = {
      {{0, 5, 257, 101}, false},
      {{0, 4, 257, 101}, true},
      {{0, 5, 256, 101}, true},
      {{0, 5, 257, 100}, true},
      {{0, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, false},
  };
  for (const auto& c : cases) {
    engine().reset();
    resource(c.r);
    mountStatus(0x91);
    track(4, 0, 0x100, 0x800000);
    TestWriter w;
    std::uint64_t bytes = 1;
    ASSERT_EQ(w.m_usbManager->getCurruentFreeBlockBytes(bytes), 0u);
    if (c.empty)
      EXPECT_EQ(bytes, 0u) << c.r.OpcResourceCount;
    else
      EXPECT_EQ(bytes, (0x800000ull - 0x100 - kMargin) * 2048) << c.r.OpcResourceCount;
  }
}

TEST_F(FreeSpace, ReservationOnTheCurrentTrack) {
  // tracks, track id, next writable block, end, threshold, blocks, result, new tracks
  const struct {
    const char* what;
    std::uint32_t tracks, id, nwa, end, thld, blocks;
    std::uint32_t result;
    std::uint32_t offset;
  } cases[] = {
      {"plain", 4, 1, 0x100, 0x800000, 0, 16, 0, 0x100},
      {"threshold 0 never applies", 4, 1, 0x700000, 0x800000, 0, 1, 0, 0x700000},
      {"next writable equal to the threshold fits", 4, 1, 0x1000, 0x800000, 0x1000, 1, 0, 0x1000},
      {"exactly fills the track", 4, 1, 0x100, 0x100 + kMargin + 0, 0, kMargin, 0, 0x100},
      {"last disc margin on the last disc", 2, 1, 0x100, 0x100 + kMargin, 0, 1, 0, 0x100},
      {"request past the end of the room", 4, 1, 0x100, 0x100 + kMargin, 0, kMargin + 1, 0x82000023, 0},
  };
  for (const auto& c : cases) {
    engine().reset();
    resource(plenty());
    track(c.tracks, c.id, c.nwa, c.end);
    RuvoCtrlVolume::setDiscSpanThld(c.thld);
    TestWriter w;
    MDCFS_SPACE_ENTRY area{};
    EXPECT_EQ(w.m_usbManager->reservFreeBlock(c.blocks, area, 0, &w), c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(ZoneOf(area), c.id) << c.what;
      EXPECT_EQ(OffsetOf(area), c.offset) << c.what;
      EXPECT_EQ(BlocksOf(area), c.blocks) << c.what;
    }
    EXPECT_EQ(count(kNewTrack), 0u) << c.what;
  }
  RuvoCtrlVolume::setDiscSpanThld(0);
}

TEST_F(FreeSpace, ReservationsFollowEachOtherFromTheCache) {
  track(4, 0, 0x100, 0x800000);
  TestWriter w;
  MDCFS_SPACE_ENTRY a{}, b{};
  ASSERT_EQ(w.m_usbManager->reservFreeBlock(16, a, 0, &w), 0u);
  ASSERT_EQ(w.m_usbManager->reservFreeBlock(8, b, 16, &w), 0u);
  EXPECT_EQ(OffsetOf(b), 0x110u);
  EXPECT_EQ(count(kTrack), 1u);  // the second used the cache
}

TEST_F(FreeSpace, MarginOnEveryDiscButTheLast) {
  // One block of room fewer than the margin: the track is full.
  const struct {
    std::uint32_t tracks, id;
    bool last;
  } cases[] = {{4, 0, false}, {4, 2, false}, {4, 3, true}, {1, 0, true}};
  for (const auto& c : cases) {
    engine().reset();
    resource(plenty());
    MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 1000, 3000, 128, 32768, 0};
    engine().fsctl_out[kPolicy] = bytes(p);
    RuvoCtrlVolume v(u"");
    ASSERT_EQ(v.setWritePolictInformation(), 0u);
    const std::uint32_t margin = c.last ? 3000 : 1000;
    track(c.tracks, c.id, 0x100, 0x100 + margin);
    TestWriter w;
    MDCFS_SPACE_ENTRY area{};
    EXPECT_EQ(w.m_usbManager->reservFreeBlock(1, area, 0, &w), 0u) << c.id;
    engine().reset();
    resource(plenty());
    track(c.tracks, c.id, 0x100, 0x100 + margin - 1);
    AnnulusFileIO::USBManager::markTrackInfoStale();
    const std::uint32_t r = w.m_usbManager->reservFreeBlock(1, area, 0, &w);
    if (c.last) {
      EXPECT_EQ(r, 0x82000023u) << c.id;
      EXPECT_EQ(count(kNewTrack), 0u) << c.id;
    } else {
      EXPECT_EQ(count(kNewTrack), 1u) << c.id;
    }
    RuvoCtrlVolume::resetForTesting();
  }
}

// Write resources spent (map entries at their reserve): a packed session's
// data, taken for files already answered, still goes to the last disc's
// track, where an appended block uses none of them; any other writer's is
// refused as disc full there, and a disc that another follows is left for
// the next one whoever writes.
TEST_F(FreeSpace, APackedSessionsDataTakesTheLastDiscWhoseResourcesAreSpent) {
  const struct {
    const char* what;
    std::uint32_t tracks;
    bool packed_session;
    std::uint32_t result;  // checked on the last disc only
    std::size_t new_tracks;
  } cases[] = {
      {"packed session, last disc", 2, true, 0, 0},
      {"another writer, last disc", 2, false, 0x82000023, 0},
      {"packed session, a disc follows", 4, true, 0, 1},
      {"another writer, a disc follows", 4, false, 0, 1},
  };
  for (const auto& c : cases) {
    engine().reset();
    mountStatus(0x91);
    resource({0, 0x20, 256, 0x1000});
    track(c.tracks, 1, 0x100, 0x800000);
    TestWriter w;
    AnnulusFileIO::WriterByteAccount account;
    if (c.packed_session) w.m_proxyAccount = &account;
    AnnulusFileIO::USBManager::markTrackInfoStale();
    MDCFS_SPACE_ENTRY area{};
    const std::uint32_t r = w.m_usbManager->reservFreeBlock(64, area, 0, &w);
    EXPECT_EQ(count(kNewTrack), c.new_tracks) << c.what;
    if (c.new_tracks) continue;
    EXPECT_EQ(r, c.result) << c.what;
    if (r == 0) {
      EXPECT_EQ(ZoneOf(area), 1u) << c.what;
      EXPECT_EQ(OffsetOf(area), 0x100u) << c.what;
      EXPECT_EQ(BlocksOf(area), 64u) << c.what;
    }
  }
}

TEST_F(FreeSpace, FullLastTrackOutsideNewWriteIsDiscFull) {
  track(3, 2, 0x7F0000, 0x800000);
  TestWriter w;
  MDCFS_SPACE_ENTRY area{};
  EXPECT_EQ(w.m_usbManager->reservFreeBlock(1, area, 0, &w), 0x82000023u);
  EXPECT_EQ(count(kNewTrack), 0u);
  EXPECT_TRUE(traced(u"No free space. current tracid=00000002 maxCreatableTrackCount=3"));
  EXPECT_TRUE(w.calls.empty());
}

TEST_F(FreeSpace, FullEarlierTrackOpensTheNextOne) {
  for (bool new_write : {false, true}) {
    RuvoCtrlVolume::resetForTesting();
    engine().reset();
    resource(plenty());
    if (new_write) newWriteMode();
    track(3, 0, 0x7F0000, 0x800000);
    nextTrack(3, 0, 0x7F0000, 0x800000);
    nextTrack(3, 1, 0x40, 0x800000);
    engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 100, 50, 0});
    TestWriter w;
    MDCFS_SPACE_ENTRY area{};
    ASSERT_EQ(w.m_usbManager->reservFreeBlock(32, area, 0, &w), 0u) << new_write;
    EXPECT_EQ(ZoneOf(area), 1u);
    EXPECT_EQ(OffsetOf(area), 0x40u);
    EXPECT_EQ(count(kNewTrack), 1u);
    EXPECT_EQ(w.calls, new_write ? std::vector<std::string>{"doSyncCache"} : std::vector<std::string>{});
    // The sync comes before the new track.
    if (new_write) {
      const auto t = traces();
      const auto sync = std::find(t.begin(), t.end(), u"===== SyncCache before CREATE_NEW_TRACK");
      const auto created = std::find(t.begin(), t.end(), u"MDCFSCTL_CREATE_NEW_TRACK");
      EXPECT_LT(sync, created);
    }
  }
}

TEST_F(FreeSpace, NextWritableBlockPastTheEndMeansNoRoom) {
  const std::uint32_t nwas[] = {0xFFFFFFFF, 0x800000, 0x900000};
  for (std::uint32_t nwa : nwas) {
    engine().reset();
    resource(plenty());
    mountStatus(0x91);
    track(1, 0, nwa, 0x800000);
    TestWriter w;
    std::uint64_t bytes = 5;
    ASSERT_EQ(w.m_usbManager->getCurruentFreeBlockBytes(bytes), 0u);
    EXPECT_EQ(bytes, 0u) << nwa;
    MDCFS_SPACE_ENTRY area{};
    EXPECT_EQ(w.m_usbManager->reservFreeBlock(1, area, 0, &w), 0x82000023u) << nwa;
    EXPECT_EQ(count(kNewTrack), 0u);
  }
}

TEST_F(FreeSpace, ClosedLvidKeepsOneRubFree) {
  const struct {
    std::uint8_t status;
    bool f2h;
    std::uint64_t less;
  } cases[] = {{0x91, false, 0}, {0x81, false, 65536}, {0x81, true, 262144}, {0x91, true, 0}};
  for (const auto& c : cases) {
    RuvoCtrlVolume::resetForTesting();
    if (c.f2h) kel::ApplyF2hParityConstants();
    engine().reset();
    resource(plenty());
    mountStatus(c.status);
    track(4, 0, 0x100, 0x800000);
    TestWriter w;
    std::uint64_t bytes = 0;
    ASSERT_EQ(w.m_usbManager->getCurruentFreeBlockBytes(bytes), 0u);
    EXPECT_EQ(bytes, (0x800000ull - 0x100 - kMargin) * 2048 - c.less) << int(c.status) << c.f2h;
    EXPECT_TRUE(traced(c.status & 0x10 ? u"VolumeStatus=0x91, LVID is Open"
                                       : u"VolumeStatus=0x81, LVID is Close"));
  }
  // A failed mount read keeps the margin alone.
  engine().fsctl_results[kMount] = 5;
  AnnulusFileIO::USBManager::markTrackInfoStale();
  TestWriter w;
  std::uint64_t bytes = 0;
  ASSERT_EQ(w.m_usbManager->getCurruentFreeBlockBytes(bytes), 0u);
  EXPECT_EQ(bytes, (0x800000ull - 0x100 - kMargin) * 2048);
  EXPECT_EQ(w.m_volume->m_dwErrorCode, 5u);
}

TEST_F(FreeSpace, ThresholdExceededMeansNoFreeBytes) {
  RuvoCtrlVolume::setDiscSpanThld(0x1000);
  track(4, 0, 0x1001, 0x800000);
  TestWriter w;
  std::uint64_t bytes = 5;
  ASSERT_EQ(w.m_usbManager->getCurruentFreeBlockBytes(bytes), 0u);
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(traced(u" NWB(4097) is over discSpanThld(4096) . current free space zero."));
  RuvoCtrlVolume::setDiscSpanThld(0);
}

TEST_F(FreeSpace, FailuresOfTheReads) {
  const struct {
    const char* what;
    unsigned failing;
    std::uint32_t result;
  } cases[] = {
      {"track information", kTrack, 0x8200002E},
      {"write resources", kResource, 0x82000032},
      {"new track", kNewTrack, 0x8200002F},
  };
  for (const auto& c : cases) {
    engine().reset();
    resource(plenty());
    track(4, 0, 0x7F0000, 0x800000);
    engine().fsctl_results[c.failing] = 28;
    TestWriter w;
    MDCFS_SPACE_ENTRY area{};
    EXPECT_EQ(w.m_usbManager->reservFreeBlock(1, area, 0, &w), c.result) << c.what;
    EXPECT_EQ(w.m_volume->m_dwErrorCode, 28u) << c.what;
    std::uint64_t bytes = 7;
    if (c.failing != kNewTrack) {
      EXPECT_EQ(w.m_usbManager->getCurruentFreeBlockBytes(bytes), c.result) << c.what;
      EXPECT_EQ(bytes, 7u) << c.what;
    }
    // What the host sees for the code: the kept engine value mapped.
    EXPECT_EQ(AnnulusFileIOErrors::RecordedError::capture(c.result, w.m_volume->m_dwErrorCode).win32,
              112u);
  }
}

TEST_F(FreeSpace, TrackThatDoesNotChangeIsARefusedNewTrack) {
  track(4, 0, 0x7F0000, 0x800000);
  TestWriter w;
  MDCFS_SPACE_ENTRY area{};
  EXPECT_EQ(w.m_usbManager->reservFreeBlock(1, area, 0, &w), 0x8200002Fu);
  EXPECT_EQ(count(kNewTrack), 1u);
}

TEST_F(FreeSpace, FailedSyncBeforeANewTrack) {
  newWriteMode();
  track(4, 0, 0x7F0000, 0x800000);
  nextTrack(4, 0, 0x7F0000, 0x800000);
  nextTrack(4, 1, 0, 0x800000);
  engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 100, 50, 0});
  {
    // Recovered: the track is opened, then the sync error is the answer.
    TestWriter w;
    w.sync_result = 0x82000015;
    MDCFS_SPACE_ENTRY area{};
    EXPECT_EQ(w.m_usbManager->reservFreeBlock(1, area, 0, &w), 0x82000015u);
    EXPECT_EQ(w.calls, (std::vector<std::string>{"doSyncCache", "commonWriteErrorRecovery"}));
    EXPECT_EQ(count(kNewTrack), 1u);
    EXPECT_EQ(w.m_writerStatus, 0u);
  }
  {
    // Not recovered: the recovery's code, no new track.
    engine().fsctl_codes.clear();
    AnnulusFileIO::USBManager::markTrackInfoStale();
    track(4, 1, 0x7F0000, 0x800000);
    TestWriter w;
    w.sync_result = 0x82000015;
    w.recovery_result = 0x8200000D;
    MDCFS_SPACE_ENTRY area{};
    EXPECT_EQ(w.m_usbManager->reservFreeBlock(1, area, 0, &w), 0x8200000Du);
    EXPECT_EQ(count(kNewTrack), 0u);
    EXPECT_TRUE(traced(u"runWriteStraddlingErrorRecovery() error=[2181038093l]"));
  }
}
