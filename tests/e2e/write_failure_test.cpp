// A burst of failed writes during a Sync, through the real KelDriver on
// write-once and rewritable cartridges: the Sync answers the failure, and
// the volume stays protected for the rest of the mount and says why: an
// I/O device error (a drive error, cleared by a remount), not a
// write-protected disc. A new engine writes again. A failing SYNCHRONIZE
// CACHE after the integrity descriptor's write leaves it to be written again.
#include "scenario_support.h"
#include "vds_structure.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

namespace e2e {
namespace {

constexpr std::uint32_t kDriveErrorReason = 0xC0002F44;  // write-protect reason 0x1
const std::string kIoDeviceError = std::to_string(std::int32_t(0x8007045D));

class WriteFailure : public Scenario, public ::testing::WithParamInterface<std::uint8_t> {
 protected:
  std::vector<EngineElement> try_sync() {
    return ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  }
  // A new cartridge whose first Sync keeps what `synced` archives; then an
  // Archive through which every SYNCHRONIZE CACHE fails, so that the
  // integrity descriptor it writes open is lost with the drive's cache.
  // After one good sync (the descriptor's) the failures meet the packed
  // Archive's rewrite of the descriptor sequences instead.
  void sync_then_fail_every_cache_sync(bool packed, const std::function<void()>& synced, int good_syncs = 0) {
    ScenarioOptions o;
    o.medium_type = GetParam();
    o.slots = 2;
    make_sim(o);
    dwords_ = {{"Packed Write Mode", packed ? 1u : 0u}};
    start_checked(true);
    synced();
    sync("SyncTime");
    kelsim::FaultRule fails = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
    fails.times = -1;  // until the change is answered
    fails.skip = good_syncs;
    const int fault = sim_->drive().add_fault(fails);
    const auto failed = try_archive_file("/a/lost.bin", 300000, 2);
    const int fired = sim_->drive().fault_fired(fault);
    sim_->drive().remove_fault(fault);
    EXPECT_GT(fired, good_syncs ? 9 : 10) << "every attempt of the descriptor's write met a failing sync";
    EXPECT_FALSE(failed.ok) << (failed.last() ? failed.last()->raw : failed.error);
    archived_.erase("/a/lost.bin");
  }
  // The last answer of a request that must fail with an I/O device error.
  void expect_io_error(const std::vector<EngineElement>& answers, const char* what) {
    ASSERT_FALSE(answers.empty()) << what;
    EXPECT_EQ(answers.back().name, "HRESULT") << what << ": " << answers.back().raw;
    EXPECT_EQ(answers.back().attribute("HRESULT"), kIoDeviceError) << what << ": " << answers.back().raw;
  }
};

TEST_P(WriteFailure, ASyncWhoseWritesFailProtectsTheVolumeUntilTheNextMount) {
  ScenarioOptions o;
  o.medium_type = GetParam();
  o.slots = 2;
  make_sim(o);
  start_checked();
  mkdir("/a");
  sync("SyncTime");
  mkdir("/b");
  // Every write fails while the burst lasts; the fault is gone afterwards.
  const int fault = sim_->drive().add_fault(kelsim::write_error(0, 0xFFFFFFFFu));
  expect_io_error(try_sync(), "the Sync of the burst");
  sim_->drive().remove_fault(fault);
  const EngineElement info = ask_one("GetVolumeInfo", "KelVolume");
  EXPECT_EQ(number(info, "WriteProtectReason"), kDriveErrorReason) << info.raw;
  expect_io_error(ask("CreateDirectory", {{"Name", "/c"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}}),
                  "a change after the burst");
  expect_io_error(try_sync(), "a later Sync");
  unmount();
  // A new engine mounts the volume writable (/a, and /b only if the failed
  // flush had written it) and writes again.
  start_checked(true);
  EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason"), 0u);
  mkdir("/d");
  sync("SyncTime");
  unmount();
  start_checked(true);
  const auto names = listing("/");
  EXPECT_TRUE(names.count("a") && names.count("d") && !names.count("c")) << ::testing::PrintToString(names);
  unmount();
  expect_udfinfo_on_written_slots();
}

// Every SYNCHRONIZE CACHE fails through the first change after a Sync: the
// integrity descriptor that change writes open is never confirmed, and a
// medium error loses the drive's cached copy of its block, the last Sync's
// descriptor with it. The change fails; once the drive is well, the next
// Sync, or else the unmount, writes the descriptor again, so that a new
// engine (cache emptied) mounts what the last Sync left, writable, with
// its file whole.
TEST_P(WriteFailure, ADescriptorWhoseSyncsFailIsWrittenAgainByTheNextSyncOrUnmount) {
  for (const int row : {0, 1, 2, 3}) {
    const bool sync_first = row < 2, packed = row % 2;
    SCOPED_TRACE(std::string(sync_first ? "a Sync after the failure" : "an unmount after the failure") +
                 (packed ? ", packed" : ""));
    sync_then_fail_every_cache_sync(packed, [&] { archive_file("/a/kept.bin", 300000, 1); });
    if (sync_first) sync("SyncTime");
    unmount();
    start_checked(true);
    expect_restores("/a/kept.bin");
    mkdir("/b");
    sync("SyncTime");
    unmount();
    start_checked(true);
    EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(listing("/a"), std::set<std::string>{"kept.bin"});
    unmount();
    expect_udfinfo_on_written_slots();
    engine_.reset();
  }
}

// The same failure, then the engine is killed before any Sync or unmount
// writes the descriptor again: its block holds no valid descriptor. A new
// engine mounts what the last Sync left all the same (the descriptor
// rebuilt from the volume, as not cleanly closed), restores every synced
// file and writes again. The change also rewrote the descriptor sequences
// on the disc: where the two copies have write units of their own (not on
// E1h, whose copies share one cluster and are rebuilt by the next mount),
// the kill leaves one of them whole for any reader.
TEST_P(WriteFailure, AVolumeWhoseDescriptorWasLostByAKilledEngineMountsAndWrites) {
  // Rows 4 and 5: the failures meet the sequences' first copy; 6 and 7:
  // their second copy, then every retry.
  for (const int row : {0, 1, 2, 3, 4, 5, 6, 7}) {
    const bool packed = row % 2 || row > 3, emptied = row < 2 || row % 2 == 0;
    const int good_syncs = row > 5 ? 2 : row > 3 ? 1 : 0;
    if (good_syncs == 2 && GetParam() == 0xE1) continue;  // one write, one sync for both copies
    SCOPED_TRACE(std::string(packed ? "packed" : "not packed") + (emptied ? ", cache emptied" : ", cache kept") +
                 ", " + std::to_string(good_syncs) + " good syncs");
    sync_then_fail_every_cache_sync(
        packed,
        [&] {
          archive_file("/a/kept.bin", 300000, 1);
          mkdir("/c");
          archive_file("/c/also.bin", 5000, 3);
        },
        good_syncs);
    kill_engine();
    ASSERT_EQ(0u, sim_->drive().flush());
    if (GetParam() != 0xE1) {
      EXPECT_EQ(vds_structure_verdict(*sim_, last_written_slot(cartridge())), "");
    }
    start_checked(emptied);
    ASSERT_FALSE(HasFailure()) << "the volume the last Sync left does not mount";
    EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "c"}));
    EXPECT_EQ(listing("/a"), std::set<std::string>{"kept.bin"});
    expect_restores("/a/kept.bin");
    expect_restores("/c/also.bin");
    EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason"), 0u);
    archive_file("/b/new.bin", 200000, 4);
    sync("SyncTime");
    unmount();
    start_checked(true);
    EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b", "c"}));
    expect_restores("/a/kept.bin");
    expect_restores("/b/new.bin");
    unmount();
    expect_udfinfo_on_written_slots();
    engine_.reset();
  }
}

// A Sync whose writes fail after it wrote the metadata entries of a rename
// (a run of ten failing WRITE(10)s, from the 1st, 2nd, ... write of the
// Sync on): the Sync answers the failure. When the volume still takes
// changes, the next Sync must record the rename although no entry changed
// since: before, the descriptor sequence on the disc kept naming the older
// entries, the Sync and the unmount answered success, and a new engine
// showed the file under its old name.
TEST_P(WriteFailure, ARenameWhoseSyncFailedAfterItsEntriesIsKeptByTheNextSync) {
  for (int good = 0;; ++good) {
    SCOPED_TRACE(std::to_string(good) + " good WRITE(10)s before the run");
    ScenarioOptions o;
    o.medium_type = GetParam();
    o.slots = 2;
    make_sim(o);
    dwords_ = {{"Packed Write Mode", 0u}};
    start_checked(true);
    archive_file("/f", 3000, 1);
    sync("SyncTime");
    ask_one("Rename", "KelVolume",
            {{"Name", "/f"}, {"NewName", "/g"}, {"OldGeneration", "0"}, {"OldVersion", "0"},
             {"NewGeneration", "0"}, {"NewVersion", "0"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
    kelsim::FaultRule fails = kelsim::write_error(0, 0xFFFFFFFFu);
    fails.skip = good;
    fails.times = 10;
    const int fault = sim_->drive().add_fault(fails);
    const auto answer = try_sync();
    const bool fired = sim_->drive().fault_fired(fault) > 0;
    sim_->drive().remove_fault(fault);
    const bool writable = number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason") == 0;
    if (writable && fired) sync("SyncTime");
    unmount();
    if (writable) {
      start_checked(true);
      EXPECT_EQ(listing("/"), std::set<std::string>{"g"});
      archived_["/g"] = archived_["/f"];
      expect_restores("/g");
      unmount();
      expect_udfinfo_on_written_slots();
    }
    archived_.clear();
    if (!fired || HasFatalFailure()) break;
  }
}

// A mount finds one copy of the descriptor sequences torn and writes it
// again from the other while every SYNCHRONIZE CACHE fails; then the engine
// is killed. The copy read whole must still read whole: only the torn copy
// is rewritten where the copies have write units of their own (F2h; E1h's
// share one cluster, E2h's lie apart and are written one at a time).
class SequenceCopies : public Scenario {
 protected:
  // An F2h volume holding /a/kept.bin, its main sequence copy's first
  // descriptor torn on the disc, and every SYNCHRONIZE CACHE failing from
  // now on (the rule's id in *fault).
  void tear_main_copy_with_every_sync_failing(int* fault) {
    ScenarioOptions o;
    o.medium_type = 0xF2;
    o.slots = 2;
    make_sim(o);
    start_checked(true);
    archive_file("/a/kept.bin", 300000, 1);
    sync("SyncTime");
    unmount();
    const std::vector<std::uint8_t> torn(kelsim::kBlockSize, 0xDB);
    ASSERT_EQ(0u, cartridge().write_blocks(0, 384, 1, torn.data()));  // the main copy's first descriptor
    ASSERT_EQ(0u, save_cartridge());
    kelsim::FaultRule fails = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
    fails.times = -1;
    *fault = sim_->drive().add_fault(fails);
  }
};

TEST_F(SequenceCopies, ATornCopyRewrittenThroughFailingSyncsLeavesTheOtherWhole) {
  int fault = -1;
  ASSERT_NO_FATAL_FAILURE(tear_main_copy_with_every_sync_failing(&fault));
  empty_cache();  // the descriptors are read from the disc
  start();
  // Killed once the mount's second sync (its write's retry) has failed.
  EXPECT_TRUE(kill_at_command("Check", {}, 1, nullptr, 0x35)) << "the mount wrote the torn copy";
  sim_->drive().remove_fault(fault);
  ASSERT_EQ(0u, sim_->drive().flush());
  EXPECT_EQ(vds_structure_verdict(*sim_, 0), "");
  start_checked(true);
  expect_restores("/a/kept.bin");
  unmount();
  expect_udfinfo_on_written_slots();
}

// The same torn copy, but the mount's rewrite of it never meets a good
// SYNCHRONIZE CACHE: the mount fails with the drive's error instead of
// answering a writable volume over an unconfirmed repair. A later mount
// with a sound drive repairs the copy and writes.
TEST_F(SequenceCopies, ATornCopyWhoseRewriteNeverSyncsFailsTheMount) {
  int fault = -1;
  ASSERT_NO_FATAL_FAILURE(tear_main_copy_with_every_sync_failing(&fault));
  empty_cache();
  start();
  const auto answers = ask("Check");
  EXPECT_GT(sim_->drive().fault_fired(fault), 1) << "the mount wrote the torn copy and retried";
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers.back().name, "HRESULT") << "a mount whose repair was never synced answered " << answers.back().raw;
  kill_engine();
  sim_->drive().remove_fault(fault);
  ASSERT_EQ(0u, sim_->drive().flush());
  empty_cache();
  start_checked(true);
  EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason"), 0u);
  expect_restores("/a/kept.bin");
  archive_file("/b/new.bin", 200000, 2);
  sync("SyncTime");
  unmount();
  EXPECT_EQ(vds_structure_verdict(*sim_, 0), "");
  start_checked(true);
  expect_restores("/a/kept.bin");
  expect_restores("/b/new.bin");
  unmount();
  expect_udfinfo_on_written_slots();
}

INSTANTIATE_TEST_SUITE_P(Media, WriteFailure, ::testing::Values(0xE1, 0xE2, 0xF2),
                         [](const ::testing::TestParamInfo<std::uint8_t>& i) {
                           return i.param == 0xE1 ? std::string("E1") : i.param == 0xE2 ? std::string("E2")
                                                                                        : std::string("F2");
                         });

}  // namespace
}  // namespace e2e
