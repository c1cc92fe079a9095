// Volume items, settings and per-file options of the file-system controls,
// on a volume read from the simulated cartridge.
#include "flush_recorder.h"
#include "fsctl_support.h"

#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvnops/mdcudfsr_modes.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "udf/udf_lvid.h"
#include "udf/udf_regid.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"
#include "kelvnops/mdcudfsr_volume_info.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace fsctl_test;
using vfs_test::logged;

class VolumeItems : public FsctlVolume {
 protected:
  void SetUp() override {
    FsctlVolume::SetUp();
    start_tree();
  }
  // The cartridge memory as the mount leaves it.
  void init_cm() {
    // The implementation identifier the 1500h value carries.
    mnt_->lvid.num_partitions = 2;
    mdcudfsr_make_regid(mnt_.get(), &mdcudfsr_lvid_imp_use(&mnt_->lvid, 2)->imp_use_id, REGID_IMPLEMENTATION);
    // A 1500h that fails its check is replaced by a fresh one.
    sim_->cartridge().attributes[0x1500] = {0, std::vector<std::uint8_t>(128, 0x11)};
    std::uint8_t rec[MDCUDFSR_CM_RECORD_SIZE] = {};
    mdcudfsr_read_attribute(mnt_.get(), rec, sizeof rec, 1, 1, &ctx_, 1);
    mnt_->mntinfo.WriteProtectReasonFlags = 0;
    int ro = 0;
    ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &ro, &ctx_));
    ASSERT_EQ(0, ro);
    vfs_test::clear_log();
  }
  MDCFS_VOLUME_LABEL label(const std::u16string& text, std::uint8_t len) {
    MDCFS_VOLUME_LABEL l{};
    std::memcpy(l.Name, text.data(), std::min<std::size_t>(text.size() * 2, sizeof l.Name));
    l.NameLen = len;
    return l;
  }
};

TEST_F(VolumeItems, ReservationUpToTheFreeCount) {
  std::uint32_t free_count = 0;
  ASSERT_EQ(0, mdcudfsr_cache_get_free_object_count(mnt_.get(), 0, &free_count));
  ASSERT_GT(free_count, 2u);
  MDCFS_RESERVE_FILE_CREATION r{free_count - 1, 1};
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_reserve_file_creation(mnt_.get(), &r, &ctx_));
  EXPECT_EQ(free_count - 1, mnt_->reserved_files);
  EXPECT_EQ(1u, mnt_->reserved_dirs);
  r = {free_count, 1};
  EXPECT_EQ(28, mdcudfsr_mdcfsctrl_reserve_file_creation(mnt_.get(), &r, &ctx_));
  r = {0xFFFFFFFFu, 2};  // the sum is taken in 64 bits
  EXPECT_EQ(28, mdcudfsr_mdcfsctrl_reserve_file_creation(mnt_.get(), &r, &ctx_));
  EXPECT_EQ(free_count - 1, mnt_->reserved_files) << "a refusal keeps the reservation";
  EXPECT_EQ(0u, mnt_->udf_obj_creation_flags & 1) << "the creation gate is released";
}

TEST_F(VolumeItems, VersionsAndSizeInformation) {
  MDCFS_VOLUME_FS_VERSION v{7, 7};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_fs_version(mnt_.get(), &v, &ctx_));
  EXPECT_EQ(0, v.ClientVersion);
  EXPECT_EQ(11, v.EngineVersion);
  std::uint8_t nv = 3;
  mdcudfsr_mdcfsctrl_set_volume_fs_version(mnt_.get(), &nv, &ctx_);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_fs_version(mnt_.get(), &v, &ctx_));
  EXPECT_EQ(3, v.ClientVersion);

  mnt_->disc_status = 1;  // appendable, as the mount found it
  mnt_->last_track = 1;
  mnt_->partition_blocks = layout_.partition_len;
  mnt_->lvid.integrity_type = 1;
  MDCFS_STATFS_SIZEINFO s{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_statfs_sizeinfo(mnt_.get(), &s, &ctx_));
  EXPECT_EQ(2048u, s.BlockSize);
  EXPECT_EQ(0x10000u, s.Reserved1);
  std::uint32_t total = 0, free_blocks = 0;
  ASSERT_EQ(0, mdcudfsr_get_volume_size_info(mnt_.get(), &ctx_, &total, &free_blocks, nullptr, nullptr, 0));
  EXPECT_EQ(total, std::uint64_t{s.TotalBlocks});
  EXPECT_EQ(free_blocks, std::uint64_t{s.FreeBlocks});
  EXPECT_EQ(free_blocks, std::uint64_t{s.Reserved2});
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_statfs_sizeinfo(mnt_.get(), nullptr, &ctx_));
  EXPECT_TRUE(logged("statfs_sizeinfo"));
}

TEST_F(VolumeItems, LabelsTheVolumeRefusesBadNamesAndCutsLongOnes) {
  struct Case {
    std::u16string text;
    std::uint8_t len;
    int result;
  } cases[] = {{u".hidden", 14, 22}, {u"a:b", 6, 22}, {u"a\x01", 4, 22}, {u"x", 0, 22}, {u"ARCHIVE01", 18, 0}};
  ASSERT_EQ(0u, mnt_->metadata_changed);
  for (const auto& c : cases) {
    if (c.result) {
      EXPECT_EQ(0u, mnt_->metadata_changed) << "a refused label leaves nothing to flush";
    }
    MDCFS_VOLUME_LABEL l = label(c.text, c.len);
    EXPECT_EQ(c.result, mdcudfsr_mdcfsctrl_set_logical_volume_identifier(mnt_.get(), &l, &ctx_)) << c.len;
  }
  EXPECT_TRUE(logged("invalid string '.hidden'"));
  EXPECT_TRUE(logged("contains ':'(3a)"));
  // The new label is owed to the disc: the next sync flushes it.
  EXPECT_EQ(1u, mnt_->metadata_changed);
  mp_.mnt_data = mnt_.get();
  mnt_->flush_policy = MDCUDFSR_FLUSH_PARTIAL;
  vfs_test::g_flush_calls.clear();
  EXPECT_EQ(0, mdcudfsr_vfsop_sync(&mp_, 1, &ctx_));
  EXPECT_EQ(1u, vfs_test::g_flush_calls.size()) << "the sync writes the new label";
  EXPECT_EQ(10, mnt_->vds.lvd.logvol_id[127]) << "compression id and nine characters";
  EXPECT_EQ(0, std::memcmp(mnt_->vds.lvd.logvol_id, mnt_->fsd.logvol_id, 128));

  std::u16string longer(100, u'L');
  MDCFS_VOLUME_LABEL l = label(longer, 200);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_set_logical_volume_identifier(mnt_.get(), &l, &ctx_));
  EXPECT_EQ(64, mnt_->vds.lvd.logvol_id[127]) << "63 characters kept";
}

TEST_F(VolumeItems, LabelReadsFromTheCartridgeMemoryElseFromTheDescriptor) {
  init_cm();
  MDCFS_VOLUME_LABEL l = label(u"ARCHIVE01", 18);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_set_logical_volume_identifier(mnt_.get(), &l, &ctx_));
  // The next cartridge-memory update (as at the next mount) writes the label.
  int ro = 0;
  ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &ro, &ctx_));
  vfs_test::clear_log();
  MDCFS_VOLUME_LABEL got{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_logical_volume_identifier(mnt_.get(), &got, &ctx_));
  EXPECT_EQ(18, got.NameLen);
  EXPECT_EQ(std::u16string(u"ARCHIVE01"), std::u16string(reinterpret_cast<char16_t*>(got.Name), got.NameLen / 2));
  EXPECT_FALSE(logged("could not read Logical Volume ID from CM"));

  sim_->drive().add_fault(kelsim::command_fails(0x8C, {0x04, 0x44, 0x00}));
  got = {};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_logical_volume_identifier(mnt_.get(), &got, &ctx_));
  EXPECT_TRUE(logged("could not read Logical Volume ID from CM. read from FSD."));
  EXPECT_EQ(18, got.NameLen);
  EXPECT_EQ(std::u16string(u"ARCHIVE01"), std::u16string(reinterpret_cast<char16_t*>(got.Name), got.NameLen / 2));
}

TEST_F(VolumeItems, ProtectionFromChange) {
  vfs_context me{42}, other{43};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_protect_volume_from_change(mnt_.get(), nullptr, &me));
  EXPECT_EQ(MDCUDFSR_WRPROT_PROTECTED, mnt_->mntinfo.WriteProtectReasonFlags & MDCUDFSR_WRPROT_PROTECTED);
  EXPECT_TRUE(vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_EQ(1u, vfs_test::g_flush_calls.size());
  EXPECT_EQ(0, mnt_->flush_policy);
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_protect_volume_from_change(mnt_.get(), nullptr, &me));
  EXPECT_TRUE(logged("Volume is already read only."));
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_protect_volume_from_change(mnt_.get(), nullptr, &other));
  EXPECT_TRUE(logged("PROTECT_VOLUME_FROM_CHANGE is called but another process protected."));
}

TEST_F(VolumeItems, ProtectionRefusedInPrivilegedModeAndAFailedFlushIsReported) {
  mnt_->privileged_mode = 1;
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_protect_volume_from_change(mnt_.get(), nullptr, &ctx_));
  EXPECT_TRUE(logged("PROTECT_VOLUME_FROM_CHANGE is called but PRIVILEGED_MODE."));
  mnt_->privileged_mode = 0;
  vfs_test::g_flush_result = 5;
  EXPECT_EQ(5, mdcudfsr_mdcfsctrl_protect_volume_from_change(mnt_.get(), nullptr, &ctx_));
  EXPECT_TRUE(logged("flush_metadata_and_descriptor error. err = 5"));
  EXPECT_FALSE(vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_EQ(0, mnt_->protecting_pid);
}

TEST_F(VolumeItems, FilterNotificationMakesTheMountReadOnlyAndPublishesIt) {
  mdcudfsr_init_mntinfo(mnt_.get());
  MDCFS_FILTER_MOUNT_INFORMATION n{0, 0x2000};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_notify_filter_mount_information(mnt_.get(), &n, &ctx_));
  EXPECT_TRUE(vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_EQ(1, mnt_->filter_notified);
  MDCFS_MOUNT_INFORMATION drive{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_mount_information(mnt_.get(), &drive, &ctx_));
  EXPECT_EQ(0x2000u, drive.WriteProtectReasonFlags & 0x2000u);
}

TEST_F(VolumeItems, FilterNotificationWithoutReasonsKeepsTheMountWritable) {
  mdcudfsr_init_mntinfo(mnt_.get());
  mnt_->mntinfo.WriteProtectReasonFlags = 0;
  MDCFS_FILTER_MOUNT_INFORMATION n{0, 0};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_notify_filter_mount_information(mnt_.get(), &n, &ctx_));
  EXPECT_FALSE(vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_EQ(1, mnt_->filter_notified);
}

TEST_F(VolumeItems, SettingsAndStates) {
  mnt_->quicklook_refusal = mnt_->mds_refusal = 1;
  std::uint32_t any = 1;
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_disable_qlicon_setting(mnt_.get(), &any, &ctx_));
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_prevent_slaccess_setting(mnt_.get(), &any, &ctx_));
  EXPECT_EQ(0, mnt_->quicklook_refusal);
  EXPECT_EQ(0, mnt_->mds_refusal);
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_disable_qlicon_setting(mnt_.get(), nullptr, &ctx_));
  std::int32_t state = 9;
  mnt_->cachefile_state = 4;
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_get_cachefile_state(mnt_.get(), &state, &ctx_));
  EXPECT_EQ(4, state);
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_get_cachefile_state(nullptr, &state, &ctx_));
  EXPECT_EQ(-1, state);
}

TEST_F(VolumeItems, CartridgeStatusFlagIsStoredAndOnAFinalizedDiscWrittenToTheCartridgeMemory) {
  init_cm();
  std::uint32_t on = 1, got = 7;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_set_cartridge_svg_status(mnt_.get(), &on, &ctx_));
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_cartridge_svg_status(mnt_.get(), &got, &ctx_));
  EXPECT_EQ(1u, got);
  EXPECT_EQ(1, mnt_->svg_status);
  take_opcodes();

  mnt_->mntinfo.WriteProtectReasonFlags = 0x1000;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_set_cartridge_svg_status(mnt_.get(), &on, &ctx_));
  const auto ops = take_opcodes();
  EXPECT_NE(ops.end(), std::find(ops.begin(), ops.end(), 0x8D)) << "WRITE ATTRIBUTE sent";
  pxo_attribute_data_t cm{};
  ASSERT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), &cm, sizeof cm, 1, 1, &ctx_, 0));
  EXPECT_EQ(1, reinterpret_cast<std::uint8_t*>(&cm)[cm_attr::k1500Value + MDCUDFSR_CM_SVG_STATUS_AT]);
  EXPECT_FALSE(pclient_if->storage()->cartridge_svg_flg()) << "the forced-command switch is off again";

  sim_->drive().add_fault(kelsim::command_fails(0x8C, {0x04, 0x44, 0x00}));
  EXPECT_EQ(5, mdcudfsr_mdcfsctrl_set_cartridge_svg_status(mnt_.get(), &on, &ctx_));
  EXPECT_TRUE(logged("Read Attribute is failed err:"));
}

TEST_F(VolumeItems, DefectPositionIsABlockOfThePartitionOrNone) {
  std::uint32_t block = 40;  // write-once: the drive reports no position
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_performance(mnt_.get(), &block, &ctx_));
  EXPECT_EQ(0xFFFFFFFFu, block);
  start_tree(udf_test::MediumClass::Rewritable);
  block = 40;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_performance(mnt_.get(), &block, &ctx_));
  EXPECT_EQ(40u, block) << "the reported sector less the partition start";
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_performance(mnt_.get(), nullptr, &ctx_));
  EXPECT_TRUE(logged("defect_position"));
}

TEST_F(VolumeItems, PerFileOptions) {
  mdcudfsr_cache_node* f = make("f");
  std::uint32_t v = 0;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_set_file_control_option(mnt_.get(), f, &v, &ctx_));
  EXPECT_TRUE(logged("SET FILE CONTROL OPTION is invalid"));
  proxy_of(f);
  EXPECT_EQ(6, mdcudfsr_mdcfsctrl_set_file_control_option(mnt_.get(), f, &v, &ctx_)) << "the channel is not open";
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_invalidate_cache(mnt_.get(), f, &v, &ctx_));
  EXPECT_TRUE(logged("( mdcudfsrcnp->attributes & MDCUDFSR_NODE_ATTR_HAS_VIRTUAL )"));

  mdcudfsr_cache_node* d = make("d", true);
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_set_file_visibility(mnt_.get(), d, &v, &ctx_));
  EXPECT_TRUE(d->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE);
  v = 1;
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_set_file_visibility(mnt_.get(), d, &v, &ctx_));
  EXPECT_FALSE(d->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE);
}

TEST_F(VolumeItems, MoveDirectoryBoundsItsNameAndPathThenMoves) {
  mdcudfsr_cache_node* to = make("to", true);
  mdcudfsr_cache_node* d = make("d", true);
  make("child", false, d);
  std::vector<char> rec(MDCFS_MOVE_NAME_SIZE + MDCFS_MOVE_PATH_BOUND + 40, 'x');
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_move_directory(mnt_.get(), d, rec.data(), &ctx_)) << "name without NUL";
  rec[MDCFS_MOVE_NAME_SIZE - 1] = 0;
  EXPECT_EQ(36, mdcudfsr_mdcfsctrl_move_directory(mnt_.get(), d, rec.data(), &ctx_)) << "path beyond 976 bytes";
  EXPECT_EQ(root_, d->parent) << "a refused record moves nothing";
  EXPECT_STREQ("d", d->vfs_name);
  std::strcpy(rec.data(), "new");
  std::strcpy(rec.data() + MDCFS_MOVE_NAME_SIZE, "/to");
  mdcudfsr_cache_lock_node(d, MDCUDFSR_WAIT_FOREVER);  // as the dispatcher holds it
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_move_directory(mnt_.get(), d, rec.data(), &ctx_));
  mdcudfsr_cache_unlock_node(d);
  EXPECT_TRUE(logged("node=d -> /to/new"));
  EXPECT_EQ(to, d->parent);
  EXPECT_STREQ("new", d->vfs_name);
  EXPECT_EQ(d, mdcudfsr_name_avl_search(to->name_root, "new", nullptr)) << "indexed by its new name";
  EXPECT_EQ(nullptr, mdcudfsr_name_avl_search(root_->name_root, "d", nullptr));
  EXPECT_EQ(1u, mdcudfsr_cache_nchildren(d)) << "with its child";
}

}  // namespace
