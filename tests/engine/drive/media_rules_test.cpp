// The volume rules of the UDF code over slot images written by the media
// services: the anchor and sequence readers and the sequence check that a
// mount makes, reading the disc through the drive client against the
// simulated drive.
#include "drive_fixture.h"
#include "support/settles.h"

#include "drive/client_if.h"
#include "drive/device_control.h"
#include "drive/scsi_service_re.h"
#include "drive/scsi_service_wo.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelagent/metacache.h"
#include "kelhost/vnode.h"
#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_rules.h"
#include "udf/udf_records.h"

#include "../../../engine/drive/src/cm_data_internal.h"
#include "support/test_dir.h"

#include <chrono>
#include <string>
#include <vector>

// Stand-ins for the cache agent's requests that the sequence check reaches
// (the volume operations are the real ones). They record their calls; being
// weak, a real definition linked into the suite takes their place.
namespace media_rules {
std::vector<std::string> g_calls;
}
#define MEDIA_STANDIN __attribute__((weak))
MEDIA_STANDIN int mdcudfsr_metacache_file_read(mdcudfsr_mount*, std::int32_t, std::uint64_t, std::uint32_t, void*,
                                               std::uint32_t*, std::uint32_t*) {
  media_rules::g_calls.push_back("metacache_file_read");
  return 5;
}
MEDIA_STANDIN int mdcudfsr_metacache_file_write(mdcudfsr_mount*, std::int32_t, std::uint64_t, std::uint32_t,
                                                const void*, std::uint32_t*, std::uint32_t*) {
  media_rules::g_calls.push_back("metacache_file_write");
  return 5;
}
MEDIA_STANDIN int mdcudfsr_metacache_file_close(mdcudfsr_mount*, std::int32_t) {
  media_rules::g_calls.push_back("metacache_file_close");
  return 0;
}
MEDIA_STANDIN int mdcudfsr_metacache_fsmanage_delete(mdcudfsr_mount*, mdcudfsr_cache_node*) {
  media_rules::g_calls.push_back("metacache_fsmanage_delete");
  return 0;
}
// The device controls go to the drive client's own VNOP_IOCTL.
[[maybe_unused]] int (*const g_device_control)(vnode_t, uint32_t, char*, int, vfs_context_t) = &VNOP_IOCTL;

namespace {

std::time_t fixed_now() { return 1796811630; }

class MediaRules : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_media_rules_" + std::to_string(::getpid()) + "_" +
            kel_test::flat_test_name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    fakelog::reset();
    fakedrive::use_pipe(true);
    media::set_time_source(fixed_now);
    media_rules::g_calls.clear();
  }
  void TearDown() override {
    media::set_time_source(nullptr);
    stop();
    fakedrive::use_pipe(false);
    kel::ResetConfigCache();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void start(std::uint8_t medium, std::uint8_t slot) {
    stop();
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = medium;
    o.cartridge.disc_blocks = 0x10000;
    o.cartridge.medium_serial = "SER-0001";
    o.cartridge.loaded_slot = slot;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    kel::SetMediumCookie(sim_->cookie());
    pclient_if = new client_if();
    pclient_if->storage()->set_device_number("sg0");
    pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
    ASSERT_EQ(0, pclient_if->storage()->init());
  }
  void stop() {
    if (!sim_) return;
    clientif_delete();
    pclient_if = nullptr;
    sim_.reset();
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  }
  // Reads the anchors and the sequences of the loaded disc as a mount does
  // and applies the sequence rules.
  void check(std::uint8_t medium, std::uint8_t slot, int expect = 0) {
    mdcudfsr_mount mnt;
    mnt.devvp = &devvp_;
    mnt.num_sectors = sim_->cartridge().disc_blocks();
    mnt.medium_type = medium;
    mnt.is_rewritable = medium == 0xE2 ? 1 : 0;
    mnt.logical_sector_size = 2048;
    mnt.logical_block_size = 2048;
    mnt.loaded_slot = slot;
    mnt.current_disc = slot;
    mnt.num_discs = sim_->cartridge().slots();
    if (mnt.is_rewritable) {
      ASSERT_EQ(0, mdcudfsr_read_avdp_RE(&mnt, nullptr, 1, 0, nullptr));
    } else {
      ASSERT_EQ(0, mdcudfsr_read_avdp(&mnt, nullptr, 1, 0, nullptr));
      ASSERT_EQ(0, mdcudfsr_read_vds(&mnt, nullptr, 0, 1, 0, nullptr));
    }
    std::uint32_t soft = 0;
    const int r = mdcudfsr_check_vds_structure(&mnt, &soft, nullptr);
    if (expect == 0)
      EXPECT_EQ(0, r);
    else
      EXPECT_NE(0, r);
    if (expect == 0) {
      EXPECT_EQ(0u, soft);
      EXPECT_EQ(slot + 1u, mnt.vds.pvd.vds_num);
      EXPECT_EQ(slot + 2u, mnt.vds.lvd.n_pm);
    }
  }

  std::filesystem::path dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  vnode devvp_{};
  pxo_attribute_data_t cache_{};
  std::uint8_t stamp_[8] = {'2', '0', '2', '6', '1', '2', '0', '9'};
};

TEST_F(MediaRules, FreshVolumesOfEveryMediumClassPassTheSequenceRules) {
  for (std::uint8_t medium : {0xE1, 0xF1, 0xF2, 0xE2}) {
    for (std::uint8_t slot : {0, 5}) {
      SCOPED_TRACE(std::to_string(medium) + " slot " + std::to_string(slot));
      start(medium, slot);
      storage_scsi* s = pclient_if->storage();
      if (medium == 0xE2) {
        scsi_service_re re;
        re.init(s, slot, 0xFFFF, stamp_, &cache_);
        Boolean ok = 0;
        bool wrote = false;
        ASSERT_EQ(0, re.auto_format(false, &ok, s, false, &wrote, false));
      } else {
        scsi_service_wo wo;
        wo.init(s, slot, 0xFFFF, stamp_, &cache_);
        std::uint32_t steps = 0;
        Boolean msn = 0;
        ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, s, false));
      }
      s->scsi_cache_clear();
      check(medium, slot);
    }
  }
}

TEST_F(MediaRules, ADamagedSequenceIsCaughtByTheSameRules) {
  start(0xE1, 0);
  storage_scsi* s = pclient_if->storage();
  scsi_service_wo wo;
  wo.init(s, 0, 0xFFFF, stamp_, &cache_);
  std::uint32_t steps = 0;
  Boolean msn = 0;
  ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, s, false));
  // Interchange level 2 in both primary volume descriptors.
  for (std::uint32_t lsn : {288u, 304u}) {
    std::vector<std::uint8_t> b(2048);
    ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, lsn, 1, b.data()));
    reinterpret_cast<pri_vol_desc*>(b.data())->ichg_lvl = 2;
    scsi_service_cm::CalcDescriptorCRCAndChecksum(b.data(), 512);
    ASSERT_EQ(0u, sim_->cartridge().write_blocks(0, lsn, 1, b.data()));
  }
  s->scsi_cache_clear();
  check(0xE1, 0, 1);
}

// Backtrack from slot 3 to a rollback point that exists only on slot 1: the
// target disc gets its own identity (volume 2, sequence number 2, three
// partition maps) and passes the sequence rules and udfinfo.
TEST_F(MediaRules, BacktrackTargetKeepsItsIdentity) {
  start(0xE2, 0);
  storage_scsi* s = pclient_if->storage();
  for (std::uint8_t slot = 0; slot <= 3; ++slot) {
    ASSERT_EQ(0u, sim_->drive().load(slot));
    s->scsi_cache_clear();
    scsi_service_re re;
    re.init(s, slot, 0xFFFF, stamp_, &cache_);
    Boolean ok = 0;
    bool wrote = false;
    ASSERT_EQ(0, re.auto_format(false, &ok, s, false, &wrote, false));
    if (slot == 1) {
      // The rollback point: a second metadata area on slot 1 only.
      pxo_all_erase_info_t info{};
      ASSERT_EQ(0, re.all_erase(&info, 8000, false));
    }
  }
  sim_->cartridge().attributes[0x0D00] = {0, {3}};
  s->config_mirror_for_update().last_written_slot = 3;
  auto& v = sim_->cartridge().attributes[0x1500].value;
  ASSERT_EQ(128u, v.size());
  v[42] = 0;
  v[43] = 2;
  media::put_be64(v.data() + 44, static_cast<std::uint64_t>(8032) << 32 | 8000);
  const std::uint16_t crc = scsi_service_cm::calculate_crc(v.data(), 126);
  v[126] = static_cast<std::uint8_t>(crc >> 8);
  v[127] = static_cast<std::uint8_t>(crc);

  pxo_backtrack_request_t req{4, 0, 0, 0};
  ASSERT_EQ(0, VNOP_IOCTL(nullptr, PXOIOBACKTRACKSTART, reinterpret_cast<char*>(&req), 0, nullptr));
  ASSERT_EQ(1, sim_->cartridge().loaded_slot);
  EXPECT_EQ(1, pclient_if->service().current_slot());
  std::vector<std::uint8_t> lvd(2048);
  ASSERT_EQ(0u, sim_->cartridge().read_blocks(1, 275, 1, lvd.data()));
  EXPECT_EQ(8032u - 4096u,
            reinterpret_cast<const part_map_metadata*>(lvd.data() + sizeof(logvol_desc))->file_loc);
  s->scsi_cache_clear();
  check(0xE2, 1);
  expect_udfinfo(sim_->cartridge_directory() + "/slot-01.img", {"vid=KELFS VOL02", "integrity=opened"});
}

}  // namespace
