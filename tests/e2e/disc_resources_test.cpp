// A cartridge used to its end through the real KelDriver: each disc taken
// until its own room or write resources run out, the move to the next
// disc, disc full only when every disc is spent, many Syncs and many files.
#include "scenario_support.h"

#include <algorithm>
#include <string>

namespace e2e {
namespace {

class DiscResources : public Scenario {
 protected:
  void make(std::uint8_t type, const char* product, std::uint8_t slots, std::uint32_t blocks) {
    ScenarioOptions o;
    o.medium_type = type;
    o.product = product;
    o.slots = slots;
    o.disc_blocks = blocks;
    make_sim(o);
  }
  // The pseudo-overwrite map entries the loaded disc has left, others kept.
  void leave_map_entries(int slot, std::uint32_t n) {
    kelsim::WriteResources r = sim_->cartridge().disc(slot).pow;
    r.map_entries = n;
    ASSERT_EQ(0u, sim_->drive().set_write_resources(slot, r));
  }
};

// On F2h every archived file keeps its parity as parity information and is
// left out of the flush that makes the next disc a member of the volume.
// When an Archive's own flush finds the disc's resources spent at its start
// and moves to the next disc, the file's entry is written by a flush of its
// own on the new disc: closed without it, the session left the file
// unrecorded, and the unmount found nothing to flush (the file was gone
// after the next mount).
TEST_F(DiscResources, AFileTheMoveToTheNextDiscLeftOutIsRecordedOnTheNewDisc) {
  bool moved_in_the_archive = false;
  for (std::uint32_t entries : {258u, 262u, 266u}) {
    SCOPED_TRACE(entries);
    make(0xF2, "QMR-T400A", 3, 0x440000);
    dwords_ = {{"Packed Write Mode", 0u}};
    start();
    check_mounts();
    for (int i = 0; i < 6; ++i) archive_file("/m" + std::to_string(i), 2000 + i, 10 + i);
    sync("SyncTime");
    ASSERT_NO_FATAL_FAILURE(leave_map_entries(0, entries));
    archive_file("/b", 261976, 2);
    moved_in_the_archive |= last_written_slot(sim_->cartridge()) == 1;
    unmount();
    empty_cache();
    start();
    check_mounts();
    EXPECT_EQ(listing("/").count("b"), 1u);
    expect_restores("/b");
    unmount();
  }
  EXPECT_TRUE(moved_in_the_archive) << "no Archive met the end of the first disc's resources";
}

}  // namespace
}  // namespace e2e
