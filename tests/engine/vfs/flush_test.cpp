// The metadata and descriptor flushes against builder volumes on the
// simulated drive, with the real cache agent thread, node cache, UDF writers,
// write clusters and cartridge-memory record; the node-cache passes and the
// track controls are the recording stand-ins of standins_i27.cpp.
#include "cluster_support.h"
#include "i27_support.h"

#include "drive/device_control.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_flush.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "kelvfs/mdcudfsr_session.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_rewritable.h"

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kVerify10 = 0x2F;
constexpr std::uint8_t kStartStop = 0x1B;

class Flush : public AgentVolume {
 protected:
  void SetUp() override {
    AgentVolume::SetUp();
    clear_i27_calls();
    g_i27_answers = I27Answers{};
    // The device vnode's fsync resolves to the engine's routine.
    saved_vnops_ = kel_vnops;
    for (vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e)
      if (e->opve_op == &vnop_fsync_desc) kel_vnops.fsync = e->opve_impl;
  }
  void TearDown() override {
    if (mnt_) mdcudfsr_cache_term(mnt_.get());
    AgentVolume::TearDown();
    kel_vnops = saved_vnops_;
  }
  // A builder volume mounted as far as the flushes need: descriptors,
  // integrity descriptor, partitions, the node cache, an open session.
  void open_volume(MediumClass cls, std::uint32_t track_free = 0x50000) {
    load_volume(cls, track_free);
    mdcudfsr_mount* m = mnt_.get();
    mp_.mnt_data = m;
    mdcudfsr_init_mntinfo(m);
    m->mntinfo.MediumType = static_cast<std::uint8_t>(m->medium_type);
    m->logical_sector_size = 2048;
    m->mount_ext_flags = 0x2;
    ASSERT_EQ(0, mdcudfsr_read_lvid(m, nullptr, 0, 1, 0, 0));
    m->coherency_refreshed = 1;
    ASSERT_EQ(0, mdcudfsr_init_clusters(m));
    start_agent();
    ASSERT_EQ(0, mdcudfsr_init_partitions(m, &ctx_, 0, 0));
    ASSERT_EQ(0, mdcudfsr_cache_init(m, &ctx_, 0, 0));
    ASSERT_NE(nullptr, m->root_node);
    ASSERT_EQ(0, mdcudfsr_update_session(m, &ctx_, MDCUDFSR_SESSION_OPEN));
    m->flush_policy = 1;
    m->metadata_changed = 1;
    take_opcodes();
    sim_->service().clear_transcript();
    transcript_seen_ = 0;
    clear_log();
    clear_i27_calls();
  }
  // The builder's volume on a disc whose data track has `track_free` blocks
  // behind the volume, so that the media resources suffice.
  void load_volume(MediumClass cls, std::uint32_t track_free) {
    spec_ = udf_test::spec_for(cls, 0);
    std::vector<std::uint8_t> image;
    layout_ = udf_test::build_volume(spec_, image);
    SimOptions o;
    o.medium = static_cast<std::uint8_t>(spec_.medium_type);
    o.disc_blocks = spec_.sectors + track_free + 0x1000;
    start(o);
    stop_drive_client();
    kelsim::Cartridge& cart = sim_->cartridge();
    std::uint32_t data_end = 0;
    const std::uint32_t end_area = spec_.sectors - (spec_.medium_type == 0xF2 ? 128 : 32);
    for (std::uint32_t unit = 0; unit < spec_.sectors; unit += 32) {
      const std::uint8_t* p = image.data() + static_cast<std::size_t>(unit) * 2048;
      if (std::all_of(p, p + 32 * 2048, [](std::uint8_t b) { return b == 0; })) continue;
      ASSERT_EQ(0u, cart.write_blocks(0, unit, 32, p));
      if (unit < end_area) data_end = unit + 32;
    }
    kelsim::Disc& d = cart.disc(0);
    d.formatted = true;
    if (cart.write_once()) {
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, o.disc_blocks - 32, data_end, false, false},
                  kelsim::Track{o.disc_blocks - 32, 32, o.disc_blocks, false, true}};
    } else {
      d.status = kelsim::DiscStatus::Complete;
      d.highest_written = spec_.sectors;
    }
    ASSERT_EQ(0u, cart.save());
    start_drive_client();
    mnt_->num_sectors = spec_.sectors;
    if (mnt_->is_rewritable) {
      ASSERT_EQ(0, mdcudfsr_read_avdp_RE(mnt_.get(), nullptr, 1, 0, nullptr));
    } else {
      ASSERT_EQ(0, mdcudfsr_read_avdp(mnt_.get(), nullptr, 1, 0, nullptr));
      ASSERT_EQ(0, mdcudfsr_read_vds(mnt_.get(), nullptr, 0, 1, 0, nullptr));
    }
    mnt_->logical_block_size = 2048;
  }
  int flush(int close_session = 1) {
    return shown(mdcudfsr_flush_metadata_and_descriptor(mnt_.get(), 1, close_session, 0, &ctx_, 0));
  }
  // A failed flush prints the log of its run with the test's failure.
  static int shown(int err) {
    if (err && std::getenv("KEL_FLUSH_LOG"))
      for (const auto& l : log_lines()) std::fprintf(stderr, "%s", l.c_str());
    return err;
  }
  int flush_re() { return shown(mdcudfsr_flush_metadata_and_descriptor_re(mnt_.get(), 1, 1, 0, &ctx_, 0, 0)); }
  // The next writable address of the data track the drive reports.
  std::uint32_t drive_nwa() {
    std::uint32_t nwa = 0;
    const auto& d = sim_->cartridge().disc(0);
    nwa = d.tracks.empty() ? 0 : d.tracks[0].nwa;
    return nwa;
  }
  std::uint32_t disc_integrity_type() {
    std::vector<std::uint8_t> b = disc_blocks(layout_.lvid, 1);
    std::uint32_t t = 0;
    std::memcpy(&t, b.data() + 28, 4);
    return t;
  }
  // Tag identifier and tag location of the descriptor in block `lba`.
  std::pair<std::uint16_t, std::uint32_t> tag_at(std::uint32_t lba) {
    std::vector<std::uint8_t> b = disc_blocks(lba, 1);
    std::uint16_t id = 0;
    std::uint32_t loc = 0;
    std::memcpy(&id, b.data(), 2);
    std::memcpy(&loc, b.data() + 12, 4);
    return {id, loc};
  }
  bool sent(std::uint8_t op) { return count_op(take_opcodes(), op) > 0; }

  udf_test::ImageLayout layout_{};
  udf_test::ImageSpec spec_{};
  KelResolvedVnops saved_vnops_{};
};

TEST_F(Flush, WriteOnceRecordsVerifiedEntriesAtTheNextWritableAddressAndClosesTheSession) {
  open_volume(MediumClass::WriteOnce);
  const std::uint32_t nwa = drive_nwa();
  const std::uint32_t start = mnt_->part[2].start_sector;
  ASSERT_GE(nwa, start);
  ASSERT_EQ(0, flush());
  EXPECT_EQ(nwa - start, mnt_->metadata_file_loc);
  EXPECT_EQ(nwa + 16 - start, mnt_->metadata_mirror_loc);
  EXPECT_EQ((std::pair<std::uint16_t, std::uint32_t>{266, nwa - start}), tag_at(nwa));
  EXPECT_EQ((std::pair<std::uint16_t, std::uint32_t>{266, nwa + 16 - start}), tag_at(nwa + 16));
  bool verified = false;
  for (const auto& r : ranges(kVerify10)) verified |= r.first == nwa && r.second == 32;
  EXPECT_TRUE(verified) << "32 sectors verified from the next writable address";
  EXPECT_EQ(1u, disc_integrity_type()) << "the integrity descriptor is closed";
  EXPECT_TRUE(sent(kStartStop));
  EXPECT_EQ(0, mnt_->flush_state);
  EXPECT_EQ(0u, mnt_->last_partial_flush_time);
  EXPECT_EQ(-1, mnt_->local_cache_handles[0]) << "the local cache is closed and deleted";
  EXPECT_TRUE(logged("Metadata and Descriptor Flush End result=0"));
  const auto calls = i27_calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ("cache_flush 0,0 all=0", calls.front());
}

}  // namespace
