// The drive's defect report counter against the simulated drive: read on
// every medium, the defect map rebuilt on rewritable media when forced or
// when the counter moved.
#include "i27_support.h"
#include "vfs_support.h"

#include "kelvnops/mdcudfsr_defect_counter.h"

#include <algorithm>

namespace {

using namespace vfs_test;

class DefectCounter : public SimVolume {
 protected:
  int rebuilds() {
    const auto calls = i27_calls();
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
      return c.rfind("make_defect_map", 0) == 0;
    }));
  }
};

TEST_F(DefectCounter, RebuildsTheMapOnRewritableMediaWhenForcedOrMoved) {
  struct Case {
    const char* what;
    std::uint8_t medium;
    int force;
    std::uint32_t seen;
    int map_result;
    int want;
    int rebuilt;
  } cases[] = {
      {"write-once, forced: read only", 0xF1, 1, 7, 0, 0, 0},
      {"rewritable, forced", 0xE2, 1, 0, 0, 0, 1},
      {"rewritable, unchanged", 0xE2, 0, 0, 0, 0, 0},
      {"rewritable, moved", 0xE2, 0, 7, 0, 0, 1},
      {"rewritable, failed rebuild", 0xE2, 1, 0, 5, 5, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimOptions o;
    o.medium = c.medium;
    start(o);
    clear_i27_calls();
    g_i27_answers = I27Answers{};
    g_i27_answers.defect_map = {c.map_result};
    mnt_->defect_report_counter_seen = c.seen;
    std::uint32_t counter = 0xDEAD;
    EXPECT_EQ(c.want, mdcudfsr_mdcfsctrl_get_defect_report_counter(mnt_.get(), &ctx_, &counter, c.force));
    EXPECT_EQ(0u, counter) << "the drive's counter";
    EXPECT_EQ(c.rebuilt, rebuilds());
    EXPECT_EQ(0u, mnt_->defect_report_counter_seen) << "the counter seen follows the drive";
    if (c.map_result) {
      EXPECT_TRUE(logged("can't make defect map. err = 5"));
    }
  }
}

TEST_F(DefectCounter, DriveFailureIsReturnedWithoutRebuild) {
  SimOptions o;
  o.medium = 0xE2;
  start(o);
  clear_i27_calls();
  stop_drive_client();  // the device control reaches no drive
  std::uint32_t counter = 0;
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_get_defect_report_counter(mnt_.get(), &ctx_, &counter, 1));
  EXPECT_EQ(0, rebuilds());
  start_drive_client();
}

}  // namespace
