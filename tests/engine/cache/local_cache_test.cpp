// Local cache files: names from the medium identifier of the simulated
// cartridge (through the real pipe client and drive layer), the local
// metadata cache file opened, closed and deleted by the real cache agent
// thread, and the zone map of a node.
#include "support.h"
#include "support/settles.h"

#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelhost/kern.h"
#include "sim/harness.h"
#include "udf/udf_extent.h"
#include "support/test_dir.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

using namespace cache_test;
namespace fs = std::filesystem;

namespace {

class LocalCache : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kel_cache_" + std::to_string(::getpid()) + "_" +
                                        kel_test::flat_test_name());
    fs::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    base_ = dir_ / "KELFS";
    config_set_string(0, nullptr, "Fs Cache File Path", base_.c_str(), nullptr);
  }
  void TearDown() override {
    stop_agent();
    clientif_delete();
    stop_sim();
    kel::ResetConfigCache();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // The simulated cartridge and the drive client over the pipe.
  void start_sim(const std::string& serial) {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = 0xE1;
    o.cartridge.disc_blocks = 0x20000;
    o.cartridge.medium_serial = serial;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    kel::SetMediumCookie(sim_->cookie());
    char dev[] = "sg0", media[] = "notused";
    int finalized = 0, wp = 0, wu = 0;
    premount_operation(dev, media, &finalized, &wp, &wu);
    ASSERT_NE(nullptr, pclient_if);
  }
  void stop_sim() {
    if (!sim_) return;
    sim_.reset();
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  }

  void start_agent() {
    mdcudfsr_metacache_init();
    v_.m.metacachedev = mdcudfsr_metacache_alloc(&v_.m);
    ASSERT_NE(nullptr, v_.m.metacachedev);
    argv_ = {"KelDriver", "/dev/sd1A2B", dir_.string()};
    for (auto& a : argv_) argp_.push_back(a.data());
    argp_.push_back(nullptr);
    ASSERT_NE(0u, FsCacheAgent_main_func(3, argp_.data()));
    while (!v_.m.cache_agent_opened) std::this_thread::yield();
    uint32_t cache_err = 0;  // the first answer comes once the agent has its directories
    ASSERT_EQ(0, mdcudfsr_metacache_file_delete(&v_.m, "none", &cache_err));
  }
  void stop_agent() {
    if (!v_.m.metacachedev) return;
    if (mdcudfsr_metacache_is_opened(v_.m.metacachedev)) {
      EXPECT_EQ(0, mdcudfsr_metacache_mark_will_free(v_.m.metacachedev));
      EXPECT_EQ(0, mdcudfsr_metacache_unmount(&v_.m));
      EXPECT_EQ(0, mdcudfsr_metacache_wait_close(v_.m.metacachedev, 5000));
    }
    mdcudfsr_metacache_free(v_.m.metacachedev);
    v_.m.metacachedev = nullptr;
  }

  std::string local_name() {
    char buf[MDCUDFSR_LOCAL_CACHE_NAME_SIZE] = {};
    EXPECT_EQ(0, mdcudfsr_cache_create_local_fs_cache_name(&v_.m, buf, sizeof buf, nullptr));
    return buf;
  }
  std::string efe_name() {
    char buf[MDCUDFSR_LOCAL_CACHE_NAME_SIZE] = {};
    EXPECT_EQ(0, mdcudfsr_cache_create_EFE_cache_name(&v_.m, buf, sizeof buf, nullptr));
    return buf;
  }
  fs::path local_dir() const { return base_ / "Caches" / "LocalCache"; }

  fs::path dir_, base_;
  Volume v_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::vector<std::string> argv_;
  std::vector<char*> argp_;
};

std::string zone_text(uint32_t slot, uint32_t metadata_loc) {
  char t[9];
  std::snprintf(t, sizeof t, "%08x", (slot << 26) | (((metadata_loc + 4096) >> 5) & 0x3FFFFFF));
  return t;
}

}  // namespace

TEST_F(LocalCache, NamesFromTheMediumIdentifier) {
  start_sim("ABC");
  // The name carries the time of its making in the volume's time zone.
  v_.m.time_zone_offset = -300;
  timespec before{}, after{};
  nanotime(&before);
  const std::string name = local_name();
  nanotime(&after);
  ASSERT_TRUE(std::regex_match(name, std::regex("ABC_[0-9]{17}"))) << name;
  std::tm tm{};
  ASSERT_NE(nullptr, strptime(name.substr(4, 14).c_str(), "%Y%m%d%H%M%S", &tm)) << name;
  const time_t local = timegm(&tm);
  EXPECT_GE(local, before.tv_sec - 300 * 60) << name;
  EXPECT_LE(local, after.tv_sec - 300 * 60) << name;
  v_.m.loaded_slot = 3;
  v_.m.metadata_file_loc = 0x12340;
  EXPECT_EQ("../EFECache/ABC_#" + zone_text(3, 0x12340), efe_name());
  EXPECT_FALSE(rec().logged("failed to read attribute[ID:0401H]."));
}

TEST_F(LocalCache, LongIdentifierIsCutByTheNameBuffers) {
  const std::string id = "0123456789ABCDEFGHIJKLMNOPQRSTUV";  // 32 characters
  start_sim(id);
  const std::string local = local_name();
  EXPECT_EQ(50u, local.size());
  EXPECT_EQ(id + "_", local.substr(0, 33));
  v_.m.loaded_slot = 1;
  v_.m.metadata_file_loc = 0x100;
  const std::string efe = efe_name();
  EXPECT_EQ(50u, efe.size());  // the last zone digits do not fit
  EXPECT_EQ("../EFECache/" + id + "_#" + zone_text(1, 0x100).substr(0, 4), efe);
}

TEST_F(LocalCache, UnreadableIdentifierLeavesItEmpty) {
  // No drive client: the attribute cannot be read.
  EXPECT_TRUE(std::regex_match(local_name(), std::regex("_[0-9]{17}")));
  EXPECT_TRUE(rec().logged("failed to read attribute[ID:0401H]."));
  EXPECT_EQ("../EFECache/_#" + zone_text(0, 0), efe_name());
}

TEST_F(LocalCache, OpenedAndDeletedThroughTheAgent) {
  start_sim("ABC");
  start_agent();
  EXPECT_EQ(0, mdcudfsr_cache_local_fs_cache_del(&v_.m, 0));  // nothing open: nothing touched
  ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(&v_.m, 3, nullptr));
  const std::string name = v_.m.local_cache_name[0];
  EXPECT_TRUE(std::regex_match(name, std::regex("ABC_[0-9]{17}")));
  EXPECT_GT(v_.m.local_cache_handles[0], 0);
  EXPECT_TRUE(fs::exists(local_dir() / name));

  EXPECT_EQ(0, mdcudfsr_cache_local_fs_cache_del(&v_.m, 0));
  EXPECT_EQ(-1, v_.m.local_cache_handles[0]);
  EXPECT_EQ('\0', v_.m.local_cache_name[0][0]);
  EXPECT_FALSE(fs::exists(local_dir() / name));
}

TEST_F(LocalCache, RefusedOpenLeavesTheMountAsItWas) {
  start_sim("../x");  // "../x_<time>" would leave the agent's directory
  start_agent();
  EXPECT_NE(0, mdcudfsr_cache_local_cache_open(&v_.m, 3, nullptr));
  EXPECT_TRUE(rec().logged("mdcudfsr_meta_cache_open error"));
  EXPECT_EQ(-1, v_.m.local_cache_handles[0]);
  EXPECT_EQ('\0', v_.m.local_cache_name[0][0]);
}

TEST_F(LocalCache, FailedCloseKeepsTheFileUnlessForced) {
  start_sim("ABC");
  start_agent();
  v_.m.local_cache_handles[0] = 4242;  // a handle the agent does not know
  std::snprintf(v_.m.local_cache_name[0], sizeof v_.m.local_cache_name[0], "stale");
  const int err = mdcudfsr_cache_local_fs_cache_del(&v_.m, 0);
  EXPECT_NE(0, err);
  EXPECT_TRUE(rec().logged("Fs Local Cache Close failed. Status = "));
  EXPECT_EQ(4242, v_.m.local_cache_handles[0]);
  EXPECT_STREQ("stale", v_.m.local_cache_name[0]);
  EXPECT_EQ(0, mdcudfsr_cache_local_fs_cache_del(&v_.m, 1));
  EXPECT_EQ(-1, v_.m.local_cache_handles[0]);
  EXPECT_EQ('\0', v_.m.local_cache_name[0][0]);
}

TEST(ZoneMap, FromTheFirstToTheLastRecordedExtent) {
  struct Ext {
    uint16_t zone;
    uint32_t type;
  };
  const struct {
    const char* what;
    std::vector<Ext> extents;
    bool dir;
    uint16_t want;
  } cases[] = {
      {"zones 2 and 4", {{2, 0}, {4, 0}}, false, 0x000E},
      {"zone 3 only", {{3, 0}, {3, 0}}, false, 0x0004},
      {"no recorded extent", {{2, 1}, {3, 2}}, false, 0},
      {"no extents", {}, false, 0},
      {"a directory", {{2, 0}}, true, 0},
      {"unrecorded ends are passed over", {{1, 1}, {2, 0}, {3, 0}, {4, 1}}, false, 0x0006},
      {"zone above the slots", {{2, 0}, {5, 0}}, false, 0},
      {"no zone", {{0xFFFF, 0}, {2, 0}}, false, 0},
      {"last before first", {{3, 0}, {1, 0}}, false, 0x0004},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    v.m.num_discs = 4;
    mdcudfsr_cache_node* n = v.make(v.root, "f", c.dir);
    for (const Ext& e : c.extents) {
      mdcudfsr_extent_entry x;
      x.extent.len = EXTENT_MAKE(2048, e.type);
      x.extent.loc = lb_addr{10, e.zone};
      ASSERT_EQ(0, mdcudfsr_extent_list_add(&n->udf_data->extents, &x, 0));
    }
    n->disc_mask = 0xFFFF;
    EXPECT_EQ(c.want, mdcudfsr_cache_update_zoneid_map(n));
    EXPECT_EQ(c.want, n->disc_mask);
  }
}

TEST_F(LocalCache, FailedDeleteIsReportedAndTheNameKeptUnlessForced) {
  start_sim("ABC");
  start_agent();
  for (int force = 0; force < 2; ++force) {
    SCOPED_TRACE(force ? "forced" : "not forced");
    ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(&v_.m, 3, nullptr));
    // The stored name now names a directory that holds a file: the agent
    // cannot delete it.
    const std::string blocked = "blocked" + std::to_string(force);
    fs::create_directories(local_dir() / blocked / "inside");
    const std::string opened = v_.m.local_cache_name[0];
    std::snprintf(v_.m.local_cache_name[0], sizeof v_.m.local_cache_name[0], "%s", blocked.c_str());
    rec().logs.clear();
    EXPECT_EQ(5, mdcudfsr_cache_local_fs_cache_del(&v_.m, force));
    EXPECT_TRUE(rec().logged("Fs Local Cache Delete err. err = 5 cache_err = 0"));
    EXPECT_EQ(-1, v_.m.local_cache_handles[0]);  // closed all the same
    EXPECT_EQ(force ? "" : blocked, std::string(v_.m.local_cache_name[0]));
    EXPECT_TRUE(fs::exists(local_dir() / blocked));
    fs::remove(local_dir() / opened);
  }
}
