// The drive's defect report counter against the simulated drive: read on
// every medium, the defect map rebuilt on rewritable media when forced or
// when the counter moved.
#include "vfs_support.h"

#include "kelvnops/mdcudfsr_defect_counter.h"

#include <algorithm>

namespace {

using namespace vfs_test;

class DefectCounter : public SimVolume {
 protected:
  // Whether the defect list was read (the defect map rebuilt) since the last call.
  bool rebuilt() {
    const auto sent = take_opcodes();
    return std::count(sent.begin(), sent.end(), 0xAD) > 0;
  }
};

TEST_F(DefectCounter, RebuildsTheMapOnRewritableMediaWhenForcedOrMoved) {
  struct Case {
    const char* what;
    udf_test::MediumClass cls;
    int force;
    std::uint32_t seen;
    bool map_fails;  // READ DISC STRUCTURE fails: the rebuild fails
    bool want_error;
    bool rebuilt;
  } cases[] = {
      {"write-once, forced: read only", udf_test::MediumClass::WriteOnce, 1, 7, false, false, false},
      {"rewritable, forced", udf_test::MediumClass::Rewritable, 1, 0, false, false, true},
      {"rewritable, unchanged", udf_test::MediumClass::Rewritable, 0, 0, false, false, false},
      {"rewritable, moved", udf_test::MediumClass::Rewritable, 0, 7, false, false, true},
      {"rewritable, failed rebuild", udf_test::MediumClass::Rewritable, 1, 0, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    start_volume(c.cls);
    take_opcodes();
    if (c.map_fails) sim_->drive().add_fault(kelsim::command_fails(0xAD, {0x03, 0x11, 0x00}));
    clear_log();
    mnt_->defect_report_counter_seen = c.seen;
    std::uint32_t counter = 0xDEAD;
    const int err = mdcudfsr_mdcfsctrl_get_defect_report_counter(mnt_.get(), &ctx_, &counter, c.force);
    EXPECT_EQ(c.want_error, err != 0) << err;
    EXPECT_EQ(0u, counter) << "the drive's counter";
    EXPECT_EQ(c.rebuilt, rebuilt());
    EXPECT_EQ(0u, mnt_->defect_report_counter_seen) << "the counter seen follows the drive";
    if (c.map_fails) {
      EXPECT_TRUE(logged("can't make defect map. err = " + std::to_string(err)));
    }
  }
}

TEST_F(DefectCounter, DriveFailureIsReturnedWithoutRebuild) {
  start_volume(udf_test::MediumClass::Rewritable);
  take_opcodes();
  stop_drive_client();  // the device control reaches no drive
  std::uint32_t counter = 0;
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_get_defect_report_counter(mnt_.get(), &ctx_, &counter, 1));
  EXPECT_FALSE(rebuilt());
  start_drive_client();
}

}  // namespace
