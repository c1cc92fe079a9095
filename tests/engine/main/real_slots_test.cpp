// The slots over the real engine on the simulated drive, with the request
// interface running in this process as the request loop has it (GetInfo and
// FsInfo read the track information through it).
#include "engine_on_sim.h"

#include "kel/kel_interface.h"
#include "kel/mdcfs.h"
#include "kel/volctrl.h"
#include "kelagent/mdc_channel.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"
#include "support/udfinfo.h"

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kCustomize = 0x800C7080u;
constexpr std::uint32_t kAddAllocation = 0x800C7083u;

class RealSlots : public enginetest::EngineOnSim {
 protected:
  void SetUp() override {
    EngineOnSim::SetUp();
    RuvoCtrlVolume::resetForTesting();
    ASSERT_NO_FATAL_FAILURE(mount_blank(0xE1));
    ASSERT_GE(itf_.Initialise(&kelmain::operation_table()), 0);
    kel::SetCurrentInterface(&itf_);
  }
  void TearDown() override {
    kel::SetCurrentInterface(nullptr);
    RuvoCtrlVolume::resetForTesting();
    EngineOnSim::TearDown();
  }
  std::uint8_t volume_status() {
    kelmain::MountInformation mi{};
    EXPECT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
    return mi.volume_status;
  }
  mdcudfsr_mount* mount_record() { return static_cast<mdcudfsr_mount*>(kel_global_mount()->mnt_data); }
  // Inside the privileged mode: a file made by CreateFile, opened by its
  // stored name for writing, with manual allocation and these extents.
  void* file_with_extents(const char* name, const std::vector<MDCFS_SPACE_ENTRY>& extents) {
    char stored[264] = {};
    void* made = nullptr;
    EXPECT_EQ(kelmain::CreateFile("/", name, sizeof stored, stored, &made), 0);
    void* handle = nullptr;
    EXPECT_EQ(kelmain::OpenFile((std::string("/") + stored).c_str(), 3, &handle), 0);
    MDCFS_CUSTOM_FILE_SETTING manual{1, 1, 0x7BDE};
    EXPECT_EQ(kelmain::FileIoctl(handle, kCustomize, &manual), 0);
    std::vector<MDCFS_SPACE_ENTRY> copy = extents;
    MDCFS_SPACE_ENTRIES_BUFFER list{};
    list.SpaceEntries = reinterpret_cast<std::uintptr_t>(copy.data());
    list.TotalSpaceCount = static_cast<std::uint32_t>(copy.size());
    EXPECT_EQ(kelmain::FileIoctl(handle, kAddAllocation, &list), 0);
    return handle;
  }
  void enter_privileged() {
    ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlRegisterPrivileged, nullptr), 0);
    ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlEnterPrivileged, nullptr), 0);
  }

  CKelInterface itf_;
};

// An object record with room for n extents, every byte 0xEE.
struct ObjectRecord {
  explicit ObjectRecord(std::uint32_t n) : bytes(KelObjectInfoSize(n), 0xEE) {}
  KELFS_OBJECT_INFO* get() { return reinterpret_cast<KELFS_OBJECT_INFO*>(bytes.data()); }
  KELFS_SPACE_ENTRY& entry(std::size_t i) { return get()->SpaceEntries.Entries[i]; }
  bool entry_is(std::size_t i, std::uint8_t value) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&entry(i));
    for (std::size_t b = 0; b < sizeof(KELFS_SPACE_ENTRY); ++b)
      if (p[b] != value) return false;
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

// A file opened for reading through the slots: its handle names the same
// node as every other opener.
class OpenHandles : public RealSlots {
 protected:
  // "/f" with 16 blocks allocated (not recorded: they read as zeros), made
  // as the writer makes a file: created, allocated through its proxy, both
  // closed again.
  void SetUp() override {
    RealSlots::SetUp();
    ASSERT_NO_FATAL_FAILURE(enter_privileged());
    char stored[264] = {};
    void* master = nullptr;
    ASSERT_EQ(kelmain::CreateFile("/", "f", sizeof stored, stored, &master), 0);
    void* proxy = nullptr;
    ASSERT_EQ(kelmain::OpenFile((std::string("/") + stored).c_str(), 3, &proxy), 0);
    MDCFS_CUSTOM_FILE_SETTING manual{1, 1, 0x7BDE};
    ASSERT_EQ(kelmain::FileIoctl(proxy, kCustomize, &manual), 0);
    MDCFS_SPACE_ENTRY extent{0, 0x5000, 16};
    MDCFS_SPACE_ENTRIES_BUFFER list{};
    list.SpaceEntries = reinterpret_cast<std::uintptr_t>(&extent);
    list.TotalSpaceCount = 1;
    ASSERT_EQ(kelmain::FileIoctl(proxy, kAddAllocation, &list), 0);
    manual.Control = 0;  // the close keeps the allocated size
    ASSERT_EQ(kelmain::FileIoctl(proxy, kCustomize, &manual), 0);
    ASSERT_EQ(kelmain::CloseFile(proxy, false), 0);
    ASSERT_EQ(kelmain::CloseFile(master, true), 0);
    ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlLeavePrivileged, nullptr), 0);
  }
  int read(void* h, std::uint64_t offset, std::vector<std::uint8_t>* out) {
    out->assign(kBytes, 0xEE);
    int done = -1;
    const int err = kelmain::ReadData(h, out->data(), offset, kBytes, &done);
    out->resize(done < 0 ? 0 : static_cast<std::size_t>(done));
    return err;
  }
  static constexpr unsigned kBytes = 16 * 2048;
};

// Deleting a file that a handle has open is refused as busy, also after a
// rename; the handle reads on. Once closed, the file goes. A folder open
// through a handle is kept the same way.
TEST_F(OpenHandles, AnOpenObjectIsNotRemovedUnderItsHandle) {
  void* h = nullptr;
  ASSERT_EQ(kelmain::OpenFile("/f", 1, &h), 0);
  ASSERT_EQ(kelmain::Rename("/", "f", "/", "g"), 0);
  EXPECT_EQ(kelmain::DeleteFile("/", "g"), 16);
  std::vector<std::uint8_t> got;
  ASSERT_EQ(read(h, 0, &got), 0);
  EXPECT_EQ(got, std::vector<std::uint8_t>(kBytes, 0)) << "an allocated, unrecorded file reads as zeros";
  ASSERT_EQ(kelmain::CloseFile(h, false), 0);
  ASSERT_EQ(kelmain::DeleteFile("/", "g"), 0);
  KELFS_OBJECT_INFO info{};
  EXPECT_EQ(kelmain::GetPathInfo("/g", 0, &info), 2);

  ASSERT_EQ(kelmain::CreateDirectory("/", "d", false), 0);
  void* dh = nullptr;
  ASSERT_EQ(kelmain::OpenFile("/d", 1, &dh), 0);
  EXPECT_EQ(kelmain::DeleteDirectory("/", "d"), 16);
  EXPECT_EQ(kelmain::GetInfo(dh, 0, &info), 0) << "the folder's handle still answers";
  ASSERT_EQ(kelmain::CloseFile(dh, false), 0);
  EXPECT_EQ(kelmain::DeleteDirectory("/", "d"), 0);
}

// A handle opened for reading writes nothing: the write is refused as not
// permitted and the file's bytes are what they were.
TEST_F(OpenHandles, AHandleOpenedForReadingWritesNothing) {
  void* h = nullptr;
  ASSERT_EQ(kelmain::OpenFile("/f", 1, &h), 0);
  const std::vector<std::uint8_t> data(kBytes, 0x55);
  int done = -1;
  EXPECT_EQ(kelmain::WriteData(h, data.data(), 0, kBytes, &done), 1);
  EXPECT_EQ(done, 0);
  std::vector<std::uint8_t> got;
  ASSERT_EQ(read(h, 0, &got), 0);
  EXPECT_EQ(got, std::vector<std::uint8_t>(kBytes, 0));
  ASSERT_EQ(kelmain::CloseFile(h, false), 0);
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  ASSERT_EQ(kelmain::OpenFile("/f", 1, &h), 0);
  ASSERT_EQ(read(h, 0, &got), 0);
  EXPECT_EQ(got, std::vector<std::uint8_t>(kBytes, 0)) << "after a new mount";
  ASSERT_EQ(kelmain::CloseFile(h, false), 0);
}

// The check of the integrity descriptor sets the open bit on every mount:
// a volume left with its descriptor open (the unmount could not write it
// closed) mounts with 0x91, which is still the ready status.
TEST_F(RealSlots, AVolumeLeftOpenMountsWithTheOpenStatus) {
  EXPECT_EQ(volume_status(), 0x81);
  ASSERT_EQ(kelmain::CreateDirectory("/", "d", false), 0);
  EXPECT_EQ(volume_status(), 0x91) << "a change opens the descriptor";
  ASSERT_EQ(kelmain::Flush(false), 0);
  EXPECT_EQ(volume_status(), 0x81) << "the flush closes it";
  ASSERT_EQ(kelmain::CreateDirectory("/", "e", false), 0);
  sim_->cartridge().writes_refused = true;
  kelmain::Unmount(true);
  sim_->cartridge().writes_refused = false;
  ASSERT_EQ(kel_global_mount()->mnt_data, nullptr);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  EXPECT_EQ(volume_status(), 0x91);
  EXPECT_TRUE(kelmain::volume_ready(0x91));
  // A clean unmount writes nothing it did not change: still open.
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  EXPECT_EQ(volume_status(), 0x91);
}

TEST_F(RealSlots, GetInfoFillsExactlyTheExtentsAskedFor) {
  KELFS_VOLUME_INFO volume{};
  ASSERT_EQ(kelmain::FsInfo(&volume), 0);
  const std::uint64_t per_track = volume.NumberOfBlocksPerTrack;
  // The disc address of block b of slot s: the partition starts at
  // PartitionStart on slot 0.
  auto address = [&](std::uint64_t slot, std::uint32_t block) {
    return slot * per_track + volume.PartitionStart + block;
  };
  ASSERT_NO_FATAL_FAILURE(enter_privileged());
  void* three = file_with_extents("three.bin", {{-1, 0x1000, 2}, {0, 0x2000, 3}, {-1, 0x3000, 4}});
  void* one = file_with_extents("one.bin", {{0, 0x5000, 7}});

  ObjectRecord all(3);
  ASSERT_EQ(kelmain::GetInfo(three, 3, all.get()), 0);
  EXPECT_EQ(all.get()->Size, 9u * 2048);
  ASSERT_EQ(all.get()->SpaceEntries.Count, 3u);
  const struct {
    std::uint64_t block;
    std::uint32_t count;
  } want[] = {{address(volume.CurrentTrackId, 0x1000), 2}, {address(0, 0x2000), 3},
              {address(volume.CurrentTrackId, 0x3000), 4}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(all.entry(i).BlockNumber, want[i].block) << i;
    EXPECT_EQ(all.entry(i).NumberOfBlocks, want[i].count) << i;
  }
  // Two asked for: the full count, two entries, nothing written beyond.
  ObjectRecord two(3);
  ASSERT_EQ(kelmain::GetInfo(three, 2, two.get()), 0);
  EXPECT_EQ(two.get()->SpaceEntries.Count, 3u);
  EXPECT_EQ(two.entry(1).BlockNumber, want[1].block);
  EXPECT_TRUE(two.entry_is(2, 0xEE));
  // Three asked for on a file of one extent: entries 1 and 2 zeroed.
  ObjectRecord single(3);
  ASSERT_EQ(kelmain::GetInfo(one, 3, single.get()), 0);
  EXPECT_EQ(single.get()->SpaceEntries.Count, 1u);
  EXPECT_EQ(single.entry(0).BlockNumber, address(0, 0x5000));
  EXPECT_EQ(single.entry(0).NumberOfBlocks, 7u);
  EXPECT_TRUE(single.entry_is(1, 0));
  EXPECT_TRUE(single.entry_is(2, 0));
  // None asked for: the count is 0 and the entries are not touched.
  ObjectRecord none(1);
  ASSERT_EQ(kelmain::GetInfo(three, 0, none.get()), 0);
  EXPECT_EQ(none.get()->SpaceEntries.Count, 0u);
  EXPECT_TRUE(none.entry_is(0, 0xEE));
  for (void* h : {three, one}) EXPECT_EQ(kelmain::CloseFile(h, false), 0);
  EXPECT_EQ(kelmain::Fsctl(kelmain::kFsctlLeavePrivileged, nullptr), 0);
}

// Dirty reads 1 whenever a flush has something to save: the predicate the
// sync and the unmount flush on.
TEST_F(RealSlots, DirtyFollowsWhatAFlushWouldSave) {
  auto dirty = [] {
    KELFS_VOLUME_INFO info{};
    EXPECT_EQ(kelmain::FsInfo(&info), 0);
    return info.Dirty;
  };
  EXPECT_EQ(dirty(), 0u) << "a new volume";
  ASSERT_EQ(kelmain::CreateDirectory("/", "d", false), 0);
  EXPECT_EQ(dirty(), 1u) << "a new folder";
  ASSERT_EQ(kelmain::Flush(false), 0);
  EXPECT_EQ(dirty(), 0u) << "flushed";
  ASSERT_EQ(kelmain::Flush(true), 0);
  EXPECT_EQ(dirty(), 0u) << "a full flush saves what it marked";
}

// The volume controls of the interface library on the real engine: the
// mount information, the write policy, and the privileged mode an OBase
// enters with the mount check.
TEST_F(RealSlots, VolumeControlsReadTheMountedVolume) {
  RuvoCtrlVolume volume(u"");
  RuvoCtrlVolume::MountInfo mi{9, 9, 9, 9};
  ASSERT_EQ(volume.getVolumeMountInformation(mi), 0u);
  EXPECT_EQ(mi.writeProtected, 0);
  EXPECT_EQ(mi.rMedium, 1) << "write-once";
  EXPECT_EQ(mi.volumeStatus, 1) << "ready";
  EXPECT_EQ(mi.volumeType, 0);
  EXPECT_EQ(RuvoCtrlVolume::getMediumType(), 0xE1);
  MDCFS_WRITE_POLICY_INFORMATION policy{};
  ASSERT_EQ(volume.getWritePolicyInformation(policy), 0u);
  ASSERT_EQ(volume.setWritePolictInformation(), 0u);
  EXPECT_EQ(RuvoCtrlVolume::getWriteClusterBlocks(), policy.WriteClusterBlocks);
  EXPECT_EQ(RuvoCtrlVolume::getReserveWriteBlocks(), policy.ReserveWriteBlocks);
  EXPECT_NE(policy.WriteClusterBlocks, 0u);
}

// The senders of the volume-control class answer from the mounted volume.
TEST_F(RealSlots, VolumeControlSendersReachTheEngine) {
  RuvoCtrlVolume volume(u"");
  KELFS_VOLUME_INFO info{};
  ASSERT_EQ(kelmain::FsInfo(&info), 0);
  long long index = -1;
  ASSERT_EQ(volume.getLastFileIndex(index), 0u);
  EXPECT_EQ(static_cast<std::uint32_t>(index), info.LastFileIndex);
  unsigned long long total = 0, free = 0;
  ASSERT_EQ(RuvoCtrlVolume::getDiskFreeSpace(u"", total, free, false), 0u);
  EXPECT_EQ(total, 2048ull * info.TotalBlocks);
  EXPECT_GT(free, 0u);
  EXPECT_LE(free, total);
  // The write controls need the privileged mode.
  EXPECT_EQ(volume.setWriteVerifyMode(1), 1u);
  EXPECT_FALSE(volume.reserveFileCreartion(2, 3));
  ASSERT_EQ(volume.enterPrivilegedMode(true), 0u);
  EXPECT_EQ(volume.setWriteVerifyMode(1), 0u);
  EXPECT_EQ(volume.resetWriteVerifyMode(), 0u);
  EXPECT_TRUE(volume.reserveFileCreartion(2, 3));
  EXPECT_EQ(volume.exitPrivilegedMode(), 0u);
  EXPECT_EQ(mount_record()->privileged_mode.load(), 0u);
}

TEST_F(RealSlots, ObaseWorksInsideThePrivilegedModeAndLeavesItCleanly) {
  ASSERT_EQ(kelmain::CreateDirectory("/", "d", false), 0);
  {
    OBase base(u"", OBase::WriteModeNew);
    ASSERT_EQ(base.good(), 0u);
    EXPECT_TRUE(base.getRuvoCtrlVolume().isPrivileged());
    EXPECT_EQ(mount_record()->privileged_mode.load(), 1u);
    EXPECT_TRUE(RuvoCtrlVolume::getGenerateParity()) << "volume type 0";
    char stored[264] = {};
    void* made = nullptr;
    ASSERT_EQ(kelmain::CreateFile("/d", "report.txt", sizeof stored, stored, &made), 0);
    EXPECT_NE(std::string(stored), "report.txt") << "the writer gets the proxy's name";
    void* opened = nullptr;
    // The proxy lives in "$"; the writer names it from the volume root.
    ASSERT_EQ(kelmain::OpenFile((std::string("/") + stored).c_str(), 3, &opened), 0) << stored;
    KELFS_OBJECT_INFO by_handle{}, by_path{};
    ASSERT_EQ(kelmain::GetInfo(opened, 0, &by_handle), 0);
    ASSERT_EQ(kelmain::GetPathInfo("/d/report.txt", 0, &by_path), 0);
    EXPECT_STREQ(by_handle.ObjectName, stored);
    EXPECT_NE(by_path.ObjectID, 0u);
    EXPECT_EQ(by_handle.ObjectID, by_path.ObjectID) << "a proxy reports its master's id";
    EXPECT_EQ(kelmain::CloseFile(opened, false), 0);
    // A stored name that does not fit is never handed out cut.
    std::memset(stored, 'x', sizeof stored);
    made = nullptr;
    EXPECT_EQ(kelmain::CreateFile("/d", "other.txt", 4, stored, &made), 63);
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(stored[0], 'x');
    EXPECT_EQ(base.exitPrivilegedMode(), 0u);
  }
  EXPECT_EQ(mount_record()->privileged_mode.load(), 0u);
  EXPECT_EQ(kelmain::Flush(false), 0);
  EXPECT_EQ(volume_status(), 0x81);
  EXPECT_EQ(kelmain::Unmount(false), 0);
}

}  // namespace

namespace {

// Format on the real engine, with the answers of a few file-system controls
// changed once each by a vnode ioctl that stands in front of the engine's.
struct FormatCase {
  const char* what;
  std::uint8_t medium;           // the medium type the first mount information reports
  std::uint32_t reasons;         // its write-protect reasons
  bool backtrack, keep;
  bool script_delete;            // the all-delete answers 0 and deletes nothing
  std::vector<std::uint8_t> polls;  // backtrack statuses, in turn
  int result;
  std::vector<std::uint8_t> delete_request;  // empty: none sent
  bool folder_left;
};

struct ScriptedIoctl {
  vnop_handler_t real = nullptr;
  const FormatCase* c = nullptr;
  bool mount_information_changed = false;
  std::size_t polls = 0;
  std::vector<std::uint32_t> sent;
  std::vector<std::uint8_t> delete_request;
};
ScriptedIoctl* g_script = nullptr;

int scripted_ioctl(void* a) {
  auto* args = static_cast<kelmain::VnopIoctlArgs*>(a);
  ScriptedIoctl& s = *g_script;
  s.sent.push_back(args->a_command);
  switch (args->a_command) {
    case 0x40007014u: {
      const int err = s.real(a);
      if (err == 0 && !s.mount_information_changed) {
        auto* mi = static_cast<kelmain::MountInformation*>(args->a_data);
        mi->medium_type = s.c->medium;
        mi->write_protect_reason_flags = s.c->reasons;
        s.mount_information_changed = true;
      }
      return err;
    }
    case 0x8000700Eu: {
      const auto* request = static_cast<const std::uint8_t*>(args->a_data);
      s.delete_request.assign(request, request + 4);
      return s.c->script_delete ? 0 : s.real(a);
    }
    case 0x4000704Du: {
      if (s.polls >= s.c->polls.size()) return 6;  // the poll itself fails
      std::memset(args->a_data, 0, 8);
      static_cast<std::uint8_t*>(args->a_data)[0] = s.c->polls[s.polls++];
      return 0;
    }
    default:
      return s.real(a);
  }
}

class FormatTable : public RealSlots {};

TEST_F(FormatTable, TheDeletionGoesOnOnlyWhereTheMediumAllowsIt) {
  const FormatCase cases[] = {
      {"write-once, reasons 0x80000, ready", 0xE1, 0x80000, false, false, false, {}, 0, {3, 16, 0, 0}, false},
      {"write-once ignores the backtrack", 0xE1, 0, true, true, false, {}, 0, {3, 0, 0, 0}, false},
      {"write-once, other reasons", 0xE1, 0x1, false, false, false, {}, 30, {}, true},
      {"rewritable, 0x800, no backtrack", 0xE2, 0x800, false, false, false, {}, 30, {}, true},
      {"rewritable, other reasons", 0xE2, 0x80001, true, false, false, {}, 30, {}, true},
      {"rewritable, backtrack ends in status 3", 0xE2, 0x800, true, false, true, {3}, 5, {5, 16, 0, 0}, true},
      {"rewritable, a failing poll", 0xE2, 0x800, true, false, true, {}, 6, {5, 16, 0, 0}, true},
      {"files left after the deletion", 0xE2, 0x800, true, true, true, {2}, 22, {5, 0, 0, 0}, true},
  };
  vnop_handler_t real = kel_vnops.ioctl;
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.what);
    // A volume holding two folders (the root is not counted; one folder
    // counts as empty), unmounted, as Format finds it.
    if (kel_global_mount()->mnt_data == nullptr) { ASSERT_EQ(kelmain::MountDefault(), 0); }
    kelmain::CreateDirectory("/", "d", false);
    kelmain::CreateDirectory("/d", "e", false);
    ASSERT_EQ(kelmain::Unmount(false), 0);
    ScriptedIoctl script;
    script.real = real;
    script.c = &c;
    g_script = &script;
    kel_vnops.ioctl = scripted_ioctl;
    enginetest::clear_log();
    const int result = kelmain::Format(c.backtrack, c.keep);
    kel_vnops.ioctl = real;
    g_script = nullptr;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(script.delete_request, c.delete_request);
    EXPECT_EQ(kel_global_mount()->mnt_data, nullptr) << "Format leaves the volume unmounted";
    const bool polled = std::count(script.sent.begin(), script.sent.end(), 0x4000704Du) > 0;
    EXPECT_EQ(polled, c.backtrack && !c.delete_request.empty() && c.delete_request[0] == 5);
    if (c.result == 30) { EXPECT_TRUE(enginetest::logged(c.medium == 0xE2 && c.reasons == 0x800
                                                           ? "WORN_OUT_MEDIA but backtrack is not specified"
                                                           : "mount status cannot all delete")); }
    if (c.result == 22) { EXPECT_TRUE(enginetest::logged("NumberOfFiles=0 NumberOfDirectories=2")); }
    ASSERT_EQ(kelmain::MountDefault(), 0);
    KELFS_OBJECT_INFO info{};
    EXPECT_EQ(kelmain::GetPathInfo("/d", 0, &info) == 0, c.folder_left);
  }
}

// The folder count leaves the root out: one folder is empty only when it is
// the metadata folder; a single user folder is deleted like any content.
TEST_F(FormatTable, OnlyTheMetadataFolderCountsAsEmpty) {
  struct Case {
    const char* folder;
    bool deleted;
  };
  const Case cases[] = {{"d", true}, {"$QuorvelData", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    if (kel_global_mount()->mnt_data == nullptr) { ASSERT_EQ(kelmain::MountDefault(), 0); }
    ASSERT_EQ(kelmain::CreateDirectory("/", c.folder, false), 0);
    ASSERT_EQ(kelmain::Unmount(false), 0);
    ScriptedIoctl script;
    script.real = kel_vnops.ioctl;
    const FormatCase fc{c.folder, 0xE1, 0, false, false, false, {}, 0, {}, false};
    script.c = &fc;
    script.mount_information_changed = true;  // every answer real
    g_script = &script;
    kel_vnops.ioctl = scripted_ioctl;
    const int result = kelmain::Format(false, false);
    kel_vnops.ioctl = script.real;
    g_script = nullptr;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(script.delete_request.empty(), !c.deleted);
    ASSERT_EQ(kelmain::MountDefault(), 0);
    KELFS_OBJECT_INFO info{};
    EXPECT_EQ(kelmain::GetPathInfo((std::string("/") + c.folder).c_str(), 0, &info) == 0, !c.deleted);
    ASSERT_EQ(kelmain::Unmount(false), 0);
  }
}

TEST_F(FormatTable, AnEmptyVolumeIsCheckedAndLeftAsItIs) {
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ScriptedIoctl script;
  script.real = kel_vnops.ioctl;
  const FormatCase c{"empty", 0xE1, 0, false, false, false, {}, 0, {}, false};
  script.c = &c;
  script.mount_information_changed = true;  // every answer real
  g_script = &script;
  kel_vnops.ioctl = scripted_ioctl;
  const int result = kelmain::Format(false, false);
  kel_vnops.ioctl = script.real;
  g_script = nullptr;
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(script.delete_request.empty());
  EXPECT_EQ(std::count(script.sent.begin(), script.sent.end(), 0xC0007010u), 2) << "counted before and after";
  EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);
}

}  // namespace
namespace {

std::int64_t collect_name(const void* context, std::uint64_t, const char*, const void* record) {
  auto* names = static_cast<std::vector<std::string>*>(const_cast<void*>(context));
  names->push_back(static_cast<const KELFS_OBJECT_INFO*>(record)->ObjectName);
  return 0;
}

std::vector<std::string> listing(const char* path) {
  std::vector<std::string> names;
  EXPECT_EQ(kelmain::ReadDirectory(&names, 0, path, collect_name), 0) << path;
  return names;
}

// A folder renamed in place or moved into another folder lists its
// children at once, and after a remount.
TEST_F(RealSlots, AMovedFolderListsItsChildren) {
  using Names = std::vector<std::string>;
  for (const char* name : {"a", "z"}) ASSERT_EQ(kelmain::CreateDirectory("/", name, false), 0);
  ASSERT_EQ(kelmain::CreateDirectory("/a", "x", false), 0);
  ASSERT_EQ(kelmain::RenameDir("/", "a", "/", "b"), 0);
  EXPECT_EQ(listing("/b"), (Names{".", "..", "x"}));
  ASSERT_EQ(kelmain::RenameDir("/", "b", "/z", "c"), 0);
  EXPECT_EQ(listing("/"), (Names{".", "..", "z"}));
  EXPECT_EQ(listing("/z/c"), (Names{".", "..", "x"}));
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  EXPECT_EQ(listing("/z/c"), (Names{".", "..", "x"}));
}

// A file moved by the move control into a folder of more than 64 KiB of
// entries: the folder, written whole again, keeps every entry and the moved
// file across a remount, and the disc reads as a sound volume.
TEST_F(RealSlots, TheMoveControlIntoALargeFolderKeepsEveryEntry) {
  ASSERT_EQ(kelmain::CreateDirectory("/", "src", false), 0);
  ASSERT_EQ(kelmain::CreateFile("/src", "moved.bin", 0, nullptr, nullptr), 0);  // older than the folder's entries
  ASSERT_EQ(kelmain::CreateDirectory("/", "big", false), 0);
  std::vector<std::string> expected{".", ".."};
  for (int i = 0; i < 400; ++i) {  // 168-byte descriptors: 67,240 bytes with the parent entry
    char name[128];
    std::snprintf(name, sizeof name, "entry-%04d-%s", i, std::string(116, 'x').c_str());
    ASSERT_EQ(kelmain::CreateFile("/big", name, 0, nullptr, nullptr), 0) << i;
    expected.push_back(name);
  }
  ASSERT_EQ(kelmain::Flush(false), 0);
  enter_privileged();
  void* handle = nullptr;
  ASSERT_EQ(kelmain::OpenFile("/src/moved.bin", 1, &handle), 0);
  std::vector<char> rec(MDCFS_MOVE_NAME_SIZE + MDCFS_MOVE_PATH_BOUND, 0);
  std::strcpy(rec.data(), "moved.bin");
  std::strcpy(rec.data() + MDCFS_MOVE_NAME_SIZE, "/big");
  EXPECT_EQ(kelmain::FileIoctl(handle, 0x800070B0, rec.data()), 0);
  EXPECT_EQ(kelmain::CloseFile(handle, false), 0);
  ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlLeavePrivileged, nullptr), 0);
  expected.push_back("moved.bin");
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(kelmain::Flush(false), 0);
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  std::vector<std::string> names = listing("/big");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.size(), expected.size());
  EXPECT_TRUE(std::binary_search(names.begin(), names.end(), "moved.bin"));
  EXPECT_EQ(names, expected);
  EXPECT_EQ(listing("/src"), (std::vector<std::string>{".", ".."}));
  kel::SetCurrentInterface(nullptr);
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_EQ(sim_->drive().flush(), 0u);
  expect_udfinfo(sim_->cartridge_directory() + "/slot-00.img", {});
}

// After an unmount no path resolves to the nodes that left with the
// volume; the controls answer as before any mount.
TEST_F(RealSlots, AfterAnUnmountNoPathResolves) {
  ASSERT_EQ(kelmain::CreateDirectory("/", "d", false), 0);
  ASSERT_EQ(listing("/").size(), 3u);
  ASSERT_EQ(kelmain::Unmount(false), 0);
  std::vector<std::string> names;
  EXPECT_EQ(kelmain::ReadDirectory(&names, 0, "/", collect_name), 2);
  EXPECT_TRUE(names.empty());
  KELFS_OBJECT_INFO info{};
  EXPECT_EQ(kelmain::GetPathInfo("/d", 0, &info), 2);
  kelmain::MountInformation mi{};
  EXPECT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
  EXPECT_EQ(mi.medium_type, 0xE1);
  std::uint32_t counts[2] = {};
  EXPECT_EQ(kelmain::Fsctl(kelmain::kFsctlObjectCounts, counts), 2);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  EXPECT_EQ(listing("/"), (std::vector<std::string>{".", "..", "d"}));
}

}  // namespace

namespace {

std::size_t thread_count() {
  std::size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)e;
    ++n;
  }
  return n;
}

using AgentThread = enginetest::EngineOnSim;

// Every mount starts the cache agent's thread, which opens the mount's
// channel; the unmount ends it.
TEST_F(AgentThread, LivesFromTheMountToTheUnmount) {
  ASSERT_NO_FATAL_FAILURE(start_sim(0xE1));
  ASSERT_EQ(initialise(), 0);
  const std::size_t before = thread_count();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(kelmain::MountDefault(), 0);
    auto* mnt = static_cast<mdcudfsr_mount*>(kel_global_mount()->mnt_data);
    ASSERT_NE(mnt, nullptr);
    EXPECT_TRUE(kel_test::settles([&] { return mnt->cache_agent_opened.load() == 1; }));
    EXPECT_GT(thread_count(), before);
    ASSERT_EQ(kelmain::Unmount(false), 0);
    EXPECT_TRUE(kel_test::settles([&] { return thread_count() == before; })) << thread_count() << " " << before;
  }
}

// A mount that fails stops the agent it started: three failed mounts leave
// no thread behind, and a later mount's channel is not taken.
TEST_F(AgentThread, AFailedMountLeavesNoAgentBehind) {
  ASSERT_NO_FATAL_FAILURE(start_sim(0xE2, "QMR-T300B", false));  // never formatted: no volume
  ASSERT_EQ(initialise(), 0);
  const std::size_t before = thread_count();
  for (int round = 0; round < 3; ++round) {
    EXPECT_NE(kelmain::MountDefault(), 0);
    EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);
    EXPECT_TRUE(kel_test::settles([&] { return thread_count() == before; })) << round;
  }
}


// A mount that fails before it allocates its channel (MECHANISM STATUS
// fails) stops the agent that mount started: no opener is left waiting for
// a channel and its thread ends. The mount that follows (a rollback mount,
// as the Check request tries after a failed mount) is served by its own
// agent, which the unmount ends.
TEST_F(AgentThread, AMountFailingBeforeItsChannelStopsItsAgent) {
  ASSERT_NO_FATAL_FAILURE(start_sim(0xE1));
  ASSERT_EQ(initialise(), 0);
  const std::size_t before = thread_count();
  ASSERT_EQ(kelmain::MountDefault(), 0);  // the blank medium gets its volume
  ASSERT_EQ(kelmain::Unmount(false), 0);
  ASSERT_TRUE(kel_test::settles([&] { return thread_count() == before; })) << "the first mount's agent ended";
  const int fault = sim_->drive().add_fault(kelsim::command_fails(0xBD, {0x04, 0x3B, 0x0E}));
  EXPECT_NE(kelmain::MountDefault(), 0);
  EXPECT_GT(sim_->drive().fault_fired(fault), 0);
  EXPECT_EQ(kel_global_mount()->mnt_data, nullptr);
  sim_->drive().clear_faults();
  EXPECT_TRUE(kel_test::settles([&] { return mdcudfsr_metacache_open_waiters() == 0 && thread_count() == before; }))
      << mdcudfsr_metacache_open_waiters() << " waiting, " << thread_count() << " threads, " << before << " before";
  ASSERT_EQ(kelmain::MountRollback(0, 0, 0), 0);
  auto* mnt = static_cast<mdcudfsr_mount*>(kel_global_mount()->mnt_data);
  ASSERT_NE(mnt, nullptr);
  EXPECT_TRUE(kel_test::settles([&] { return mnt->cache_agent_opened.load() == 1; }));
  ASSERT_EQ(kelmain::Unmount(false), 0);
  EXPECT_TRUE(kel_test::settles([&] { return thread_count() == before; }));
}

}  // namespace
