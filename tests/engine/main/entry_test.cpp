// Initialise, the module start and stop, and the slots that are built, in
// process: the drive layer talks to the simulated drive through the real
// pipe client; the log lines are recorded.
#include "engine_on_sim.h"
#include "kel/config.h"
#include "kel/debug.h"
#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/mdcfs.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelagent/fscache_agent.h"
#include "kelhost/vnode.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"
#include "platform/codepage.h"
#include "sim/harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// ---------------------------------------------------------------- recorded log

namespace {
// Never destroyed: threads the engine detaches (the cache agent's) may still
// log while the process exits.
std::mutex& g_log_mutex = *new std::mutex;
std::vector<std::string>& g_log = *new std::vector<std::string>;
}  // namespace

namespace enginetest {
bool logged(const std::string& needle) {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  for (const auto& l : g_log)
    if (l.find(needle) != std::string::npos) return true;
  return false;
}
void clear_log() {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  g_log.clear();
}
}  // namespace enginetest

extern "C" bool __wrap_CheckLogLevel(int) { return true; }
extern "C" void __wrap_SendDebugStringA(int, const char* text) {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  g_log.emplace_back(text);
}
extern "C" void __wrap_SendDebugStringW(int, const WCHAR* text) {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  g_log.push_back(platform::utf16_to_utf8(std::u16string(text)));
}

namespace {

using enginetest::clear_log;
using enginetest::logged;
using kelmain::Fsctl;
using kelmain::process_state;

// ---------------------------------------------------------------- vnode-operation resolution

int handler_a(void*) { return 1; }
int handler_b(void*) { return 2; }
int handler_c(void*) { return 3; }
int handler_d(void*) { return 4; }

// Pointers to the 19 members, in resolve order.
std::vector<vnop_handler_t KelResolvedVnops::*> all_members() {
  return {&KelResolvedVnops::setattr, &KelResolvedVnops::getattr,  &KelResolvedVnops::mkdir,
          &KelResolvedVnops::readdir, &KelResolvedVnops::open,     &KelResolvedVnops::create,
          &KelResolvedVnops::close,   &KelResolvedVnops::read,     &KelResolvedVnops::write,
          &KelResolvedVnops::lookup,  &KelResolvedVnops::rename,   &KelResolvedVnops::remove,
          &KelResolvedVnops::rmdir,   &KelResolvedVnops::fsync,    &KelResolvedVnops::ioctl,
          &KelResolvedVnops::blockmap, &KelResolvedVnops::inactive, &KelResolvedVnops::reclaim,
          &KelResolvedVnops::statfs};
}

TEST(ResolveVnodeOperations, FirstMatchBeforeTheTerminatorWinsAndMissingOnesAreCleared) {
  vnodeopv_entry_desc vector[] = {
      {&vnop_default_desc, vn_default_error},
      {&vnop_getattr_desc, handler_a},
      {&vnop_readlink_desc, handler_d},  // not one of the 19
      {&vnop_ioctl_desc, handler_b},
      {&vnop_ioctl_desc, handler_c},     // a second entry for ioctl is never reached
      {nullptr, nullptr},
      {&vnop_setattr_desc, handler_c},   // after the terminator
  };
  KelResolvedVnops out;
  for (auto m : all_members()) out.*m = handler_d;  // left from an earlier resolve
  kel_resolve_vnode_operations(vector, &out);
  EXPECT_EQ(out.getattr, handler_a);
  EXPECT_EQ(out.ioctl, handler_b);
  for (auto m : all_members()) {
    if (m == &KelResolvedVnops::getattr || m == &KelResolvedVnops::ioctl) continue;
    EXPECT_EQ(out.*m, nullptr);
  }
  kel_resolve_vnode_operations(nullptr, &out);
  for (auto m : all_members()) EXPECT_EQ(out.*m, nullptr);
}

TEST(ResolveVnodeOperations, TheEngineVectorHoldsAllNineteen) {
  const vnodeopv_entry_desc* vector = kelmain::engine_vnode_vector();
  if (vector == nullptr) GTEST_SKIP() << "the engine's vnode operations are not linked into this build";
  KelResolvedVnops out{};
  kel_resolve_vnode_operations(vector, &out);
  for (auto m : all_members()) EXPECT_NE(out.*m, nullptr);
}

// ---------------------------------------------------------------- module start and stop

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_log();
    saved_ = kelmain::module_start_steps();
  }
  void TearDown() override {
    kelmain::module_start_steps() = saved_;
    com_tarn_filesystems_mdcudfsr_stop();
  }
  kelmain::ModuleStartSteps saved_{};
};

TEST_F(ModuleTest, StartSetsTheFlagAndStopClearsItAgainAndAgain) {
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(com_tarn_filesystems_mdcudfsr_start(), 0) << round;
    EXPECT_TRUE(process_state().module_started);
    EXPECT_NE(process_state().malloc_tag, nullptr);
    ASSERT_EQ(com_tarn_filesystems_mdcudfsr_stop(), 0);
    EXPECT_FALSE(process_state().module_started);
    EXPECT_EQ(process_state().malloc_tag, nullptr);
    EXPECT_EQ(process_state().lock_group, nullptr);
  }
}

TEST_F(ModuleTest, AFailingStepIsLoggedUndoneAndGives5) {
  using Steps = kelmain::ModuleStartSteps;
  struct Case {
    const char* what;
    int (*Steps::*step)();
    bool channel_step;  // logged as "err=%d"
  } cases[] = {
      {"vfamdev channel", &Steps::vfamdev_init, true},
      {"metacache channel", &Steps::metacache_init, true},
      {"registration", &Steps::register_file_system, false},
  };
  for (const Case& c : cases) {
    clear_log();
    kelmain::module_start_steps() = saved_;
    kelmain::module_start_steps().*c.step = [] { return 7; };
    EXPECT_EQ(com_tarn_filesystems_mdcudfsr_start(), 5) << c.what;
    EXPECT_FALSE(process_state().module_started) << c.what;
    EXPECT_EQ(process_state().malloc_tag, nullptr) << c.what;
    EXPECT_EQ(process_state().lock_group, nullptr) << c.what;
    EXPECT_TRUE(logged("vfs_fsadd is failed.(7)")) << c.what;
    EXPECT_EQ(logged("err=7"), c.channel_step) << c.what;
    EXPECT_TRUE(logged("Release OSMalloc tag")) << c.what;
  }
  // The undo left nothing behind: a start afterwards succeeds.
  kelmain::module_start_steps() = saved_;
  EXPECT_EQ(com_tarn_filesystems_mdcudfsr_start(), 0);
}

// ---------------------------------------------------------------- Initialise on the simulated drive

using InitialiseTest = enginetest::EngineOnSim;

TEST_F(InitialiseTest, KeepsTheMediumTypeArgumentsAndStartsTheModule) {
  for (std::uint8_t medium : {0xE1, 0xE2}) {
    start_sim(medium);
    ASSERT_EQ(initialise(), 0) << std::hex << int(medium);
    EXPECT_EQ(kelmain::GetMediumType(), medium);
    EXPECT_EQ(kelmain::operation_table().GetMediumType(), medium);
    EXPECT_TRUE(process_state().module_started);
    EXPECT_EQ(process_state().argc, 3);
    EXPECT_EQ(process_state().argv, argv_.data());
    EXPECT_EQ(g_fscache_agent_argc, 3);
    // It mounts nothing and starts no mount's agent: the tree is empty.
    EXPECT_EQ(kel_tree_root(), nullptr);
    TearDown();
    SetUp();
  }
}

TEST_F(InitialiseTest, TooFewArgumentsGive22BeforeAnyDriveCommand) {
  start_sim(0xE1);
  char* one[] = {program_.data(), nullptr};
  EXPECT_EQ(Initialise(1, one), 22);
  EXPECT_TRUE(logged("arguments: <medium cookie>, <filesystem cache directory>"));
  EXPECT_TRUE(sim_->service().transcript().empty());
  EXPECT_FALSE(process_state().module_started);
}

TEST_F(InitialiseTest, PremountFailureIsReturnedUnchangedAndTheModuleStaysDown) {
  start_sim(0xE1, "QMR-T30A");
  EXPECT_EQ(initialise(), 1);
  EXPECT_FALSE(process_state().module_started);
  EXPECT_EQ(process_state().argv, nullptr);
}

TEST_F(InitialiseTest, ModuleStartFailureGives12) {
  start_sim(0xE1);
  const kelmain::ModuleStartSteps saved = kelmain::module_start_steps();
  kelmain::module_start_steps().metacache_init = [] { return 12; };
  EXPECT_EQ(initialise(), 12);
  kelmain::module_start_steps() = saved;
  EXPECT_TRUE(logged("com_tarn_filesystems_mdcudfsr_start err"));
  EXPECT_FALSE(process_state().module_started);
  EXPECT_EQ(process_state().argv, nullptr);
}

// ---------------------------------------------------------------- Fsctl before a mount

TEST_F(InitialiseTest, FsctlBeforeAMountAnswersThePrivilegeRequestsAndRefusesOthers) {
  const struct {
    unsigned code;
    int result;
  } cases[] = {
      {0x20007000u, 0}, {0x20007001u, 0}, {0x20007007u, 0},
      {0xC0107016u, 2},  // track information needs a volume
      {0xC0087010u, 2}, {0x40207051u, 2}, {0x12345678u, 2},
  };
  std::uint8_t data[64] = {};
  for (const auto& c : cases) EXPECT_EQ(Fsctl(c.code, data), c.result) << std::hex << c.code;
  EXPECT_EQ(kelmain::operation_table().Fsctl(0x20007000u, nullptr), 0);
}

TEST_F(InitialiseTest, FsctlBeforeAMountReadsMountAndDeviceInformationFromTheDrive) {
  start_sim(0xE2);
  ASSERT_EQ(initialise(), 0);
  MDCFS_MOUNT_INFORMATION mi{};
  mi.MediumType = 0x55;
  ASSERT_EQ(Fsctl(0x40107014u, &mi), 0);
  EXPECT_EQ(mi.MediumType, 0xE2);

  std::uint8_t dev[80];
  std::memset(dev, 0xEE, sizeof dev);
  ASSERT_EQ(Fsctl(0x404C7013u, dev), 0);
  auto field = [&](std::size_t at, std::size_t n) {
    std::string s(reinterpret_cast<const char*>(dev + at), n);
    return s.substr(0, s.find_last_not_of(std::string(" \0", 2)) + 1);
  };
  EXPECT_EQ(field(0, 8), "TARN");
  EXPECT_EQ(field(8, 16), "QMR-T300B");
  EXPECT_EQ(field(24, 4), "1700");
  EXPECT_EQ(field(28, 16), sim_->drive().config().serial);
  for (int i = 76; i < 80; ++i) EXPECT_EQ(dev[i], 0xEE) << "byte " << i << " is beyond the record";
}

TEST_F(InitialiseTest, FailingDeviceInformationCopiesNothing) {
  // Before Initialise the drive layer has no client: the request fails.
  std::uint8_t dev[76];
  std::memset(dev, 0xEE, sizeof dev);
  EXPECT_NE(Fsctl(0x404C7013u, dev), 0);
  for (std::uint8_t b : dev) ASSERT_EQ(b, 0xEE);
  EXPECT_EQ(Fsctl(0x404C7013u, nullptr), 22);
  MDCFS_MOUNT_INFORMATION mi{};
  EXPECT_NE(Fsctl(0x40107014u, &mi), 0);
}

// ---------------------------------------------------------------- Fsctl on a volume root

struct IoctlCall {
  vnodeop_desc* desc;
  vnode_t vp;
  std::uint32_t command;
  void* data;
  int flags;
  std::uint64_t pid;
};
std::vector<IoctlCall> g_ioctls;

int recording_ioctl(void* a) {
  auto* args = static_cast<kelmain::VnopIoctlArgs*>(a);
  g_ioctls.push_back({args->a_desc, args->a_vp, args->a_command, args->a_data, args->a_fflag,
                      args->a_context ? args->a_context->vc_pid : ~0ull});
  return 42;
}

// A tree whose device vnode holds a volume root, as a mount leaves it.
void make_volume_root(mount* m, vnode** root) {
  kel_tree_make_root(kel_make_vnode(m, nullptr, VBLK, 0));
  vnode_fsparam p{};
  p.vnfs_mp = m;
  p.vnfs_vtype = VDIR;
  p.vnfs_markroot = 1;
  ASSERT_EQ(vnode_create(0, VCREATESIZE, &p, root), 0);
}

TEST_F(InitialiseTest, FsctlOnAVolumeRootGoesToTheIoctlOperationWithShortLengthsCleared) {
  mount m{};
  vnode* root = nullptr;
  ASSERT_NO_FATAL_FAILURE(make_volume_root(&m, &root));
  kel_vnops.ioctl = recording_ioctl;
  g_ioctls.clear();
  const struct {
    std::uint32_t code, command;
  } cases[] = {
      {0xC0107016u, 0xC0007016u},  // 16-byte record: length cleared
      {0xC1007082u, 0xC1007082u},  // 256 bytes and more: kept
      {0x40107014u, 0x40007014u},  // answered by the engine once a root exists
      {0x20007000u, 0x20007000u},
  };
  int data = 0;
  for (const auto& c : cases) EXPECT_EQ(Fsctl(c.code, &data), 42) << std::hex << c.code;
  ASSERT_EQ(g_ioctls.size(), std::size(cases));
  for (std::size_t i = 0; i < g_ioctls.size(); ++i) {
    EXPECT_EQ(g_ioctls[i].command, cases[i].command) << std::hex << cases[i].code;
    EXPECT_EQ(g_ioctls[i].desc, nullptr);
    EXPECT_EQ(g_ioctls[i].vp, root);
    EXPECT_EQ(g_ioctls[i].data, &data);
    EXPECT_EQ(g_ioctls[i].flags, 0);
    EXPECT_EQ(g_ioctls[i].pid, static_cast<std::uint64_t>(::getpid()));
  }
  // Without the operation resolved the request is refused, not crashed.
  kel_vnops.ioctl = nullptr;
  EXPECT_EQ(Fsctl(0x20007000u, &data), 22);
}

// The track information goes out through the running interface and comes
// back through the Fsctl slot to the root's ioctl; its first two words swap.
int track_ioctl(void* a) {
  auto* args = static_cast<kelmain::VnopIoctlArgs*>(a);
  if (args->a_command != 0xC0007016u) return 25;
  const std::uint32_t words[4] = {7, 3, 0x1234, 0x800};
  std::memcpy(args->a_data, words, sizeof words);
  return 0;
}

TEST_F(InitialiseTest, TrackInformationTravelsThroughTheRunningInterface) {
  kelmain::TrackInformation ti{1, 1, 1, 1};
  EXPECT_EQ(kelmain::qvutil_get_volume_track_information(&ti), 19);  // no interface runs
  CKelInterface itf;
  ASSERT_GE(itf.Initialise(&kelmain::operation_table()), 0);
  kel::SetCurrentInterface(&itf);
  struct Leave {
    ~Leave() { kel::SetCurrentInterface(nullptr); }
  } leave;
  EXPECT_EQ(kelmain::qvutil_get_volume_track_information(&ti), 2);  // no volume
  EXPECT_EQ(ti.current_track_id, 1u);
  mount m{};
  vnode* root = nullptr;
  ASSERT_NO_FATAL_FAILURE(make_volume_root(&m, &root));
  kel_vnops.ioctl = track_ioctl;
  EXPECT_EQ(kelmain::qvutil_get_volume_track_information(&ti), 0);
  EXPECT_EQ(ti.current_track_id, 3u);
  EXPECT_EQ(ti.maximum_track_id, 7u);
  EXPECT_EQ(ti.next_writable_block, 0x1234u);
  EXPECT_EQ(ti.blocks_per_track, 0x800u);
}

// Slot 0 is the engine's logger: the interface library's and the drive
// utility library's lines go out with the engine's header.
TEST(LogMessageSlot, WritesOneEngineLogLine) {
  clear_log();
  EXPECT_EQ(kelmain::operation_table().LogMessage(4, 1, "int Caller()", 12, u"slot zero line"), 0);
  std::lock_guard<std::mutex> lk(g_log_mutex);
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_NE(g_log[0].find("slot zero line"), std::string::npos) << g_log[0];
  EXPECT_NE(g_log[0].find("LOGG"), std::string::npos) << g_log[0];
  EXPECT_NE(g_log[0].find("int Caller()"), std::string::npos) << g_log[0];
}

// The medium types that take the rewritable routines, and the write-once ones.
TEST(RewritableMedium, WriteOnceTypesAreNotRewritable) {
  for (std::uint8_t t : {0x53, 0x57, 0xC3, 0xD3, 0xE2, 0xE4, 0xE6, 0xE8})
    EXPECT_TRUE(kelmain::qvutil_is_rewritable_medium(t)) << std::hex << int(t);
  for (std::uint8_t t : {0x00, 0xE1, 0xE3, 0xE5, 0xE7, 0xF1, 0xF2})
    EXPECT_FALSE(kelmain::qvutil_is_rewritable_medium(t)) << std::hex << int(t);
}


// ---------------------------------------------------------------- real engine

std::uint32_t config_value(const char* name) {
  std::uint32_t v = 0xDEADBEEF;
  int size = sizeof v;
  EXPECT_EQ(config_get_uint32(0, name, &size, &v), 4) << name;
  return v;
}

TEST_F(InitialiseTest, AMountedVolumeReportsTheReadyStatus) {
  start_sim(0xE1);
  ASSERT_EQ(initialise(), 0);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  kelmain::MountInformation mi{};
  ASSERT_EQ(Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
  // The check of the integrity descriptor: ready (0x80), state 1, closed.
  EXPECT_EQ(mi.volume_status, 0x81) << std::hex << int(mi.volume_status);
  EXPECT_TRUE(kelmain::volume_ready(mi.volume_status));
  EXPECT_EQ(kelmain::Unmount(true), 0);
}

TEST_F(InitialiseTest, GetInfoWithoutExtentsLeavesTheEntriesUntouched) {
  start_sim(0xE1);
  ASSERT_EQ(initialise(), 0);
  ASSERT_EQ(kelmain::MountDefault(), 0);
  ASSERT_EQ(kelmain::CreateDirectory("/", "d", false), 0);
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(kelmain::GetPathInfo("/d", 0, &info), 0);
  EXPECT_STREQ(info.ObjectName, "d");
  EXPECT_EQ(info.Type, 1);
  EXPECT_EQ(info.SpaceEntries.Count, 0u);
  const auto* entry = reinterpret_cast<const unsigned char*>(&info.SpaceEntries.Entries[0]);
  for (std::size_t i = 0; i < sizeof info.SpaceEntries.Entries[0]; ++i) EXPECT_EQ(entry[i], 0) << i;
  EXPECT_EQ(kelmain::Unmount(true), 0);
}

TEST_F(InitialiseTest, MountRollbackStoresItsValuesBeforeMountingAlsoWhenThatFails) {
  // A rewritable disc never formatted: no mount can succeed.
  start_sim(0xE2, "QMR-T300B", false);
  ASSERT_EQ(initialise(), 0);
  EXPECT_NE(kelmain::MountRollback(3, 0x1234, 0x5678), 0);
  EXPECT_EQ(config_value("Rollback Slot Number"), 3u);
  EXPECT_EQ(config_value("Rollback Metadata FE LSN"), 0x1234u);
  EXPECT_EQ(config_value("Rollback FSD LSN"), 0x5678u);
  // "Access Mode" is also the drive layer's published mount information:
  // the failed (raw) mount leaves its own access mode there.
  EXPECT_EQ(config_value("Access Mode"), 2u);
}

}  // namespace
