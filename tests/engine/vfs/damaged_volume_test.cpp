// Damaged and hostile volumes mounted through the whole mount (agent thread,
// mount, start, root) over the simulated drive, on write-once and
// rewritable media: each ends refused, read-only or writable as its row
// states, and the mount writes nothing to the damaged disc.
#include "mount_support.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "udf/udf_records.h"

#include <cstddef>
#include <cstring>

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kFormatUnit = 0x04;

// Descriptors of the image builder's sequences, by their place in it.
enum Descriptor { kPvd = 0, kIuvd = 1, kPd = 2, kLvd = 3 };

class DamagedVolume : public MountHarness {
 protected:
  // Rewrites block `lsn` of slot 0 and seals its tag again.
  static void patch(kelsim::Cartridge& c, std::uint32_t lsn, const std::function<void(std::uint8_t*)>& change) {
    std::uint8_t b[2048];
    ASSERT_EQ(0u, c.read_blocks(0, lsn, 1, b));
    change(b);
    udf_test::reseal(b);
    ASSERT_EQ(0u, c.write_blocks(0, lsn, 1, b));
  }
  // The same change to a descriptor in both sequences.
  void patch_both(kelsim::Cartridge& c, Descriptor d, const std::function<void(std::uint8_t*)>& change) {
    const udf_test::ImageLayout l = udf_test::layout_for(spec_);
    patch(c, l.main_vds + d, change);
    patch(c, l.reserve_vds + d, change);
  }
  // Mounts the class's volume changed by `damage`; the mount's result.
  // The drive's commands of the mount are kept for wrote_to_disc().
  int mount_damaged(MediumClass cls, const std::function<void(kelsim::Cartridge&)>& damage) {
    spec_ = udf_test::spec_for(cls, 0);
    prepare(cls, 0, damage);
    clear_log();
    const int err = host_mount();
    ops_ = take_opcodes();
    return err;
  }
  bool wrote_to_disc() const {
    for (std::uint8_t op : ops_)
      if (op == kWrite10 || op == kFormatUnit) return true;
    return false;
  }
  bool read_only() { return (vfs_flags(&host_mp_) & MNT_RDONLY) != 0; }
  // Total and free blocks that getattr reports.
  std::pair<std::uint64_t, std::uint64_t> sizes() {
    vfs_attr a{};
    a.f_active = ~0ull & ~(1ull << 21);
    EXPECT_EQ(0, mdcudfsr_vfsop_getattr(&host_mp_, &a, &ctx_));
    return {a.f_blocks, a.f_bfree};
  }

  udf_test::ImageSpec spec_{};
  std::vector<std::uint8_t> ops_;
};

const char* name_of(MediumClass cls) { return cls == MediumClass::WriteOnce ? "write-once" : "rewritable"; }

// Both partition descriptors longer than the disc (their tags sound): the
// partition is cut to the disc's blocks and the volume mounts read-only
// (reason 0x80000); the sizes stay within the disc.
TEST_F(DamagedVolume, APartitionLongerThanTheDiscMountsReadOnlyWithinTheDisc) {
  for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::Rewritable}) {
    for (std::uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF0u}) {
      SCOPED_TRACE(std::string(name_of(cls)) + " length " + std::to_string(length));
      ASSERT_EQ(0, mount_damaged(cls, [&](kelsim::Cartridge& c) {
                  patch_both(c, kPd, [&](std::uint8_t* b) { std::memcpy(b + 192, &length, 4); });
                }));
      ASSERT_NE(nullptr, record());
      EXPECT_TRUE(read_only());
      EXPECT_NE(0u, record()->mntinfo.WriteProtectReasonFlags & WRPROT_READONLY);
      EXPECT_TRUE(logged("partition past the disc"));
      const std::uint32_t disc = sim_->cartridge().disc_blocks();
      EXPECT_LE(record()->part[MDCUDFSR_PARTITION_PHYSICAL].length / 2048 + record()->vds.pd.start_loc, disc);
      const auto [total, free_blocks] = sizes();
      EXPECT_LE(total, disc);
      EXPECT_LE(free_blocks, total);
      EXPECT_FALSE(wrote_to_disc());
      EXPECT_EQ(0, host_unmount(1));
      ASSERT_TRUE(agent_ended());
    }
  }
}

// A mount that gives up with an error (here: the integrity descriptor lies
// past the disc) publishes the volume as not mountable (access mode 2),
// whatever status an earlier step left.
TEST_F(DamagedVolume, AMountThatGivesUpPublishesAccessModeTwo) {
  for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::Rewritable}) {
    SCOPED_TRACE(name_of(cls));
    const int err = mount_damaged(cls, [&](kelsim::Cartridge& c) {
      patch_both(c, kLvd, [](std::uint8_t* b) {
        const std::uint32_t past = 0xFFFFF000u;
        std::memcpy(b + offsetof(logvol_desc, integrity_seq_id) + 4, &past, 4);
      });
    });
    EXPECT_NE(0, err);
    EXPECT_EQ(nullptr, record()) << "unmounted with force";
    const MDCFS_MOUNT_INFORMATION mi = drive_copy();
    EXPECT_EQ(2u, mi.AccessMode);
    EXPECT_NE(0u, mi.MountStatus);
    EXPECT_FALSE(wrote_to_disc());
    ASSERT_TRUE(agent_ended());
  }
}

}  // namespace
