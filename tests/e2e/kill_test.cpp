// KelDriver killed during a flush: each kill point holds the answer of one
// drive command of the flush (the command has run) and kills the engine.
// The cartridge must keep the last completed flush: a restarted engine
// mounts it with default settings, with the same and with an emptied cache
// directory, lists what that flush saved, and goes on writing.
//
// The changes are folders (each kill point starts from a copy of one
// prepared cartridge). By default the sweep takes the commands that change
// a disc or the cartridge memory and a spread of the rest; with
// KEL_E2E_FULL_SWEEP set it takes every command (ctest label "full_sweep"
// when configured with -DKEL_E2E_FULL_SWEEP=ON).
#include "scenario_support.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace e2e {
namespace {

constexpr std::uint64_t kFinalisedReason = 0xC0002F4A;

struct Prepared {
  std::string cartridge, cache;
};

class KillDuringFlush : public Scenario {
 protected:
  void TearDown() override {
    Scenario::TearDown();
    std::error_code ec;
    if (!keep_.empty()) std::filesystem::remove_all(keep_, ec);
  }

  // A cartridge whose volume holds /A, saved by a completed flush and
  // unmounted, with the engine's cache directory. `before_unmount` runs
  // after the flush, the volume still mounted.
  Prepared prepare(const ScenarioOptions& o, const std::function<void()>& before_unmount = {}) {
    char tmpl[] = "/tmp/kel-e2e-kill-XXXXXX";
    EXPECT_NE(nullptr, ::mkdtemp(tmpl));
    keep_ = tmpl;
    make_sim(o);
    start_checked();
    make_entry("/A");
    sync("SyncTime");
    if (before_unmount) before_unmount();
    unmount();
    EXPECT_EQ(0u, sim_->drive().flush());
    Prepared p{keep_ + "/cartridge", keep_ + "/cache"};
    EXPECT_EQ(0u, kelsim::copy_directory_sparse(sim_->cartridge_directory(), p.cartridge));
    EXPECT_EQ(0u, kelsim::copy_directory_sparse(cache_, p.cache));
    return p;
  }

  // A simulator and engine on a copy of the prepared cartridge, mounted,
  // with /B made and not yet flushed.
  void resume(const Prepared& p, const ScenarioOptions& o) {
    ScenarioOptions copy = o;
    copy.cartridge_source = p.cartridge;
    make_sim(copy);
    std::filesystem::remove_all(cache_);
    ASSERT_EQ(0u, kelsim::copy_directory_sparse(p.cache, cache_));
    start_checked();
    if (flushed_before_) {
      // A completed flush of this mount before /B's: a change that the
      // listing of the root does not show.
      mkdir("/A/before");
      sync("SyncTime");
    }
    if (through_rollback_) {
      // Mounted at the format's point (empty), then back to the latest.
      const auto info = rollback_info();
      ASSERT_GE(info.size(), 2u);
      rollback_mount(static_cast<std::uint32_t>(number(info.front(), "SlotNumber")),
                     static_cast<std::uint32_t>(number(info.front(), "MetaDataFE_LSN")),
                     static_cast<std::uint32_t>(number(info.front(), "FsdLsn")));
      ASSERT_EQ(listing("/"), std::set<std::string>{});
      rollback_mount(0, 0, 0);
    }
    make_entry("/B");
  }

  // A folder, or with files_ an archived file of 200000 bytes.
  void make_entry(const std::string& name) {
    if (!files_) return mkdir(name);
    ASSERT_TRUE(archive_file(name, 200000, name[1]).ok);
  }
  void expect_files_restore(const std::set<std::string>& names) {
    if (!files_) return;
    for (const auto& n : names) expect_restores("/" + n);
  }

  // After a kill: the state is kept aside; a restart with the same cache
  // mounts, lists /A (and /B or not), makes /C and flushes (or finalises
  // again); the kept state with an emptied cache mounts and lists the same.
  void expect_recovery(const std::string& point, bool finalising) {
    SCOPED_TRACE(point);
    ASSERT_EQ(0u, sim_->drive().flush());
    const std::string snapshot = keep_ + "/after-kill";
    std::filesystem::remove_all(snapshot);
    ASSERT_EQ(0u, kelsim::copy_directory_sparse(sim_->cartridge_directory(), snapshot));
    if (!unfinished_track_) expect_udfinfo_on_written_slots();

    start();
    const EngineElement mounted = ask_one("Check", "KelVolume");
    const int volume_last = static_cast<int>(number(mounted, "CurrentTrackId"));
    if (std::getenv("KEL_E2E_KILL_POINT")) std::printf("%s\n", mounted.raw.c_str());
    const std::set<std::string> seen = listing("/");
    std::set<std::string> with_b = flushed_;
    with_b.insert("B");
    EXPECT_TRUE(seen == flushed_ || seen == with_b) << ::testing::PrintToString(seen);
    expect_files_restore(seen);
    std::set<std::string> after = seen;  // the entries once the restarted engine is done
    const bool finalised = number(mounted, "WriteProtectReason") == kFinalisedReason;
    if (finalising && finalised) {
      // The kill came after the last step: nothing is left to complete.
      EXPECT_EQ(listing("/"), seen);
    } else if (finalising) {
      // A second finalisation completes the interrupted one.
      sync("SyncFinalisation");
      EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason"), kFinalisedReason);
      EXPECT_EQ(listing("/"), seen);
    } else {
      make_entry("/C");
      sync("SyncTime");
      after.insert("C");
      EXPECT_EQ(listing("/"), after);
    }
    if (std::getenv("KEL_E2E_KILL_POINT"))
      for (const auto& e : sim_->service().transcript()) std::printf("%s\n", e.line().c_str());
    unmount();
    // A new track the kill left unfinished is no part of the volume.
    if (unfinished_track_) {
      expect_udfinfo_on_slots_up_to(volume_last);
      // The next mount goes on where the restarted engine wrote: writable,
      // on the same slot, with the same entries.
      start();
      const EngineElement again = ask_one("Check", "KelVolume");
      EXPECT_EQ(number(again, "WriteProtectReason"), 0u) << again.raw;
      EXPECT_EQ(number(again, "CurrentTrackId"), static_cast<std::uint64_t>(volume_last)) << again.raw;
      EXPECT_EQ(listing("/"), after) << "the mount after the restarted engine's";
      unmount();
    }
    if (finalising) expect_udfinfo_on_written_slots({"integrity=closed"});

    ScenarioOptions o = medium_;
    o.medium_type = cartridge().medium_type();
    o.cartridge_source = snapshot;
    make_sim(o);
    start_checked();
    EXPECT_EQ(listing("/"), seen) << "emptied cache";
    expect_files_restore(seen);
    unmount();
  }

  std::vector<TranscriptEntry> reference(const Prepared& p, const ScenarioOptions& o, const std::string& reason);
  void run_points(const Prepared& p, const ScenarioOptions& o, const std::string& reason,
                  const std::vector<std::size_t>& points);
  void sweep(const ScenarioOptions& o, const std::string& reason);

  // The new track: /A archived and flushed on slot 0 of the prepared
  // cartridge (and one file on each later slot before to_slot_); the engine
  // resumed with "Disc Span Threshold" below the next writable block, so
  // that /B's first space lies on slot to_slot_.
  std::uint32_t threshold_below_next_writable();
  Prepared prepare_spill();
  void resume_for_spill(const Prepared& p);
  std::vector<TranscriptEntry> new_track_of_archive(const Prepared& p);
  void run_new_track_points(const Prepared& p, const std::vector<TranscriptEntry>& track,
                            const std::vector<std::size_t>& points);
  bool kill_in_archive(const std::string& name, std::size_t index, TranscriptEntry* held);
  std::string local_b_;
  std::uint32_t threshold_ = 0;
  std::size_t new_track_first_ = 0;  // index of the new slot's load in /B's archive
  int to_slot_ = 1;                  // the slot /B's archive goes on to
  bool unfinished_track_ = false;    // a kill may leave the new slot half made

  std::string keep_;
  std::set<std::string> flushed_{"A"};  // the root's entries of the prepared cartridge
  ScenarioOptions medium_;              // the medium of the spill cartridges
  bool through_rollback_ = false;
  bool flushed_before_ = false;  // /B's flush is the mount's second
  bool files_ = false;  // archived files instead of folders
};

bool full_sweep() { return std::getenv("KEL_E2E_FULL_SWEEP") != nullptr; }

// The kill points of a flush: every command in a full sweep, else those
// that change a disc or the cartridge memory and every tenth of the rest,
// thinned evenly to at most kSpread.
constexpr std::size_t kSpread = 14;
std::vector<std::size_t> kill_points(const std::vector<TranscriptEntry>& flush) {
  if (const char* one = std::getenv("KEL_E2E_KILL_POINT")) return {static_cast<std::size_t>(std::atoi(one))};
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < flush.size(); ++i)
    if (full_sweep() || changes_medium(flush[i]) || i % 10 == 0) all.push_back(i);
  if (full_sweep() || all.size() <= kSpread) return all;
  std::vector<std::size_t> out;
  for (std::size_t j = 0; j < kSpread; ++j) out.push_back(all[j * (all.size() - 1) / (kSpread - 1)]);
  return out;
}

// The commands of the flush `reason` of /B on a copy of the prepared
// cartridge.
std::vector<TranscriptEntry> KillDuringFlush::reference(const Prepared& p, const ScenarioOptions& o,
                                                        const std::string& reason) {
  resume(p, o);
  sync(reason);
  auto flush = commands_of(sim_->service().transcript(), last_sequence());
  unmount();
  return flush;
}

// Kills the engine at each of `points` of the flush `reason` of /B.
void KillDuringFlush::run_points(const Prepared& p, const ScenarioOptions& o, const std::string& reason,
                                 const std::vector<std::size_t>& points) {
  const Attributes request{{"Reason", reason}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}};
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t k : points) {
    resume(p, o);
    TranscriptEntry held;
    if (!kill_at_command("Sync", request, k, &held)) {
      ADD_FAILURE() << "the flush ended before command " << k;
      continue;
    }
    std::printf("[ kill ] point %zu: %s\n", k, held.line().c_str());
    expect_recovery("kill at command " + std::to_string(k) + ": " + held.line(), reason == "SyncFinalisation");
    if (HasFatalFailure()) return;
  }
  std::printf("[ time ] %s, %zu kill points: %lld ms\n", reason.c_str(), points.size(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

void KillDuringFlush::sweep(const ScenarioOptions& o, const std::string& reason) {
  const Prepared p = prepare(o);
  const auto flush = reference(p, o, reason);
  ASSERT_FALSE(flush.empty());
  const auto points = kill_points(flush);
  std::printf("[ kill ] %s: %zu commands, %zu kill points\n", reason.c_str(), flush.size(), points.size());
  run_points(p, o, reason, points);
}

TEST_F(KillDuringFlush, WriteOnceKeepsTheLastCompletedFlush) { sweep({}, "SyncTime"); }

TEST_F(KillDuringFlush, WriteOnceFinalisationKilledIsCompletedByASecondOne) { sweep({}, "SyncFinalisation"); }

TEST_F(KillDuringFlush, RewritableKeepsTheLastCompletedFlush) {
  ScenarioOptions o;
  o.medium_type = 0xE2;
  o.slots = 2;
  sweep(o, "SyncTime");
}

// The mount's second flush: the file-system cache that the first one left
// coherent must not be taken over the disc after the kill.
TEST_F(KillDuringFlush, RewritableSecondFlushOfAMountKeepsTheLastCompletedFlush) {
  flushed_before_ = true;
  ScenarioOptions o;
  o.medium_type = 0xE2;
  o.slots = 2;
  sweep(o, "SyncTime");
}

// Archived files: A flushed, B archived (packed writing) when its flush is
// killed; every file listed restores identical.
TEST_F(KillDuringFlush, WriteOnceArchivedFilesKeepTheLastCompletedFlush) {
  files_ = true;
  sweep({}, "SyncTime");
}

// The first flush after a return from a rollback mount.
TEST_F(KillDuringFlush, WriteOnceFirstFlushAfterARollbackMountKeepsTheLastCompletedFlush) {
  through_rollback_ = true;
  sweep({}, "SyncTime");
}

// The finalisation killed once its first finalising write is on the disc,
// and once its last one is (the session not closed yet): the restart
// mounts read-only, and a second finalisation completes the first without
// marking the volume again, and its own remount is not refused for what
// the read-only mount found.
TEST_F(KillDuringFlush, FinalisationKilledAfterItsFirstOrLastWriteIsCompletedByASecondOne) {
  ScenarioOptions o;
  const Prepared p = prepare(o);
  const auto flush = reference(p, o, "SyncFinalisation");
  auto sdk_write = [](const TranscriptEntry& e) { return is_sdk_command(e) && e.opcode() == 0x2A; };
  const auto first = std::find_if(flush.begin(), flush.end(), sdk_write);
  const auto close = std::find_if(flush.begin(), flush.end(), [](const TranscriptEntry& e) {
    return is_sdk_command(e) && e.opcode() == 0x5B;
  });
  ASSERT_NE(first, flush.end()) << "the finalisation writes nothing";
  ASSERT_NE(close, flush.end()) << "the finalisation closes no session";
  const auto last = std::find_if(std::make_reverse_iterator(close), flush.rend(), sdk_write);
  ASSERT_NE(last, flush.rend());
  run_points(p, o, "SyncFinalisation",
             {static_cast<std::size_t>(first - flush.begin()),
              static_cast<std::size_t>(flush.rend() - last - 1)});
}

// ---------------------------------------------------------------- the new track

constexpr std::size_t kBBytes = 200000;

// The threshold that sends the next space asked for to the next slot: just
// below the next writable block of the volume's track.
std::uint32_t KillDuringFlush::threshold_below_next_writable() {
  return static_cast<std::uint32_t>(number(ask_one("GetVolumeInfo", "KelVolume"), "NextWritableBlock") - 1);
}

// /A on slot 0 and, for a later slot than 1, /A1, /A2, ... each archived on
// the next slot (a threshold below the next writable block at a restart)
// and flushed.
Prepared KillDuringFlush::prepare_spill() {
  files_ = true;
  dwords_ = {{"Packed Write Mode", 0}};
  return prepare(medium_, [this] {
    for (int s = 1; s < to_slot_; ++s) {
      const std::uint32_t threshold = threshold_below_next_writable();
      unmount();
      dwords_ = {{"Packed Write Mode", 0}, {"Disc Span Threshold", threshold}};
      start_checked();
      const std::string name = "A" + std::to_string(s);
      make_entry("/" + name);
      sync("SyncTime");
      flushed_.insert(name);
      ASSERT_EQ(last_written_slot(cartridge()), s) << "/" << name << " did not go on to slot " << s;
    }
    threshold_ = threshold_below_next_writable();
  });
}

void KillDuringFlush::resume_for_spill(const Prepared& p) {
  ScenarioOptions o = medium_;
  o.cartridge_source = p.cartridge;
  make_sim(o);
  std::filesystem::remove_all(cache_);
  ASSERT_EQ(0u, kelsim::copy_directory_sparse(p.cache, cache_));
  dwords_ = {{"Packed Write Mode", 0}, {"Disc Span Threshold", threshold_}};
  start_checked();
  // /B's bytes, as make_entry would archive them.
  std::string data(kBBytes, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + 'B' * 7 + i / 4096) & 0xFF);
  archived_["/B"] = data;
  local_b_ = sim_->directory() + "/archive-b";
  std::ofstream(local_b_, std::ios::binary | std::ios::trunc) << data;
}

// The commands of /B's archive that make the next slot the volume's new
// track: from the slot's load to its RESERVE TRACK.
std::vector<TranscriptEntry> KillDuringFlush::new_track_of_archive(const Prepared& p) {
  resume_for_spill(p);
  kelsim::ArchiveRequest r;
  r.name = "/B";
  const auto res = engine_->archive(++sequence_, local_b_, r);
  EXPECT_TRUE(res.ok) << res.error;
  const auto all = commands_of(sim_->service().transcript(), last_sequence());
  EXPECT_EQ(last_written_slot(cartridge()), to_slot_) << "/B did not go on to slot " << to_slot_;
  unmount();
  const auto load =
      std::find_if(all.begin(), all.end(), [this](const TranscriptEntry& e) { return loaded_slot_of(e) == to_slot_; });
  const auto reserve = std::find_if(load, all.end(), [](const TranscriptEntry& e) { return e.opcode() == 0x53; });
  EXPECT_NE(reserve, all.end()) << "no new track in /B's archive";
  if (reserve == all.end()) return {};
  new_track_first_ = static_cast<std::size_t>(load - all.begin());
  return std::vector<TranscriptEntry>(load, reserve + 1);
}

// The kill points of the new track: every command that changes the disc or
// the cartridge memory other than a WRITE(10), and the WRITE(10)s that
// start or end a run of consecutive blocks (the long padding of the format
// counts as one run), thinned evenly to at most `spread`; every command in
// a full sweep.
constexpr std::size_t kNewTrackSpread = 18;
std::vector<std::size_t> new_track_points(const std::vector<TranscriptEntry>& track,
                                          std::size_t spread = kNewTrackSpread) {
  if (std::getenv("KEL_E2E_KILL_POINT") || full_sweep()) return kill_points(track);
  auto lba = [](const TranscriptEntry& e) { return std::uint32_t{e.cdb[2]} << 24 | e.cdb[3] << 16 | e.cdb[4] << 8 | e.cdb[5]; };
  auto blocks = [](const TranscriptEntry& e) { return std::uint32_t{e.cdb[7]} << 8 | e.cdb[8]; };
  std::vector<std::size_t> writes, out;
  for (std::size_t i = 0; i < track.size(); ++i) {
    if (track[i].opcode() == 0x2A) writes.push_back(i);
    else if (changes_medium(track[i])) out.push_back(i);
  }
  for (std::size_t w = 0; w < writes.size(); ++w) {
    const auto& e = track[writes[w]];
    const bool starts = w == 0 || lba(track[writes[w - 1]]) + blocks(track[writes[w - 1]]) != lba(e);
    const bool ends = w + 1 == writes.size() || lba(e) + blocks(e) != lba(track[writes[w + 1]]);
    if (starts || ends) out.push_back(writes[w]);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  if (out.size() <= spread) return out;
  std::vector<std::size_t> thin;
  for (std::size_t j = 0; j < spread; ++j) thin.push_back(out[j * (out.size() - 1) / (spread - 1)]);
  return thin;
}

// Archives /B and kills the engine once the `index`-th drive command of the
// request (0-based) has run and holds its answer.
bool KillDuringFlush::kill_in_archive(const std::string& name, std::size_t index, TranscriptEntry* held) {
  kelsim::ArchiveRequest r;
  r.name = name;
  const std::uint64_t seq = ++sequence_;
  return kill_during_request(index, [&] { engine_->archive(seq, local_b_, r); }, held);
}

// Kills /B's archive at each of `points` of its new track (indices into
// `track`). After each kill the cartridge mounts with default settings (no
// threshold), with the same and with an emptied cache: every flushed file
// restores, /B is absent or restores whole, and a new archive and flush
// succeed.
void KillDuringFlush::run_new_track_points(const Prepared& p, const std::vector<TranscriptEntry>& track,
                                           const std::vector<std::size_t>& points) {
  std::printf("[ kill ] new track on slot %d: %zu commands, %zu kill points\n", to_slot_, track.size(),
              points.size());
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t k : points) {
    resume_for_spill(p);
    TranscriptEntry held;
    if (!kill_in_archive("/B", new_track_first_ + k, &held)) {
      ADD_FAILURE() << "the archive ended before command " << new_track_first_ + k;
      continue;
    }
    std::printf("[ kill ] new track point %zu: %s\n", k, held.line().c_str());
    dwords_.clear();
    expect_recovery("kill at new-track command " + std::to_string(k) + " (archive command " +
                        std::to_string(new_track_first_ + k) + "): " + held.line(),
                    false);
    if (HasFatalFailure()) return;
  }
  std::printf("[ time ] new track, %zu kill points: %lld ms\n", points.size(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

// Kills during the new track that /B's archive makes on slot 1: a spread of
// the commands from slot 1's load to its RESERVE TRACK.
TEST_F(KillDuringFlush, WriteOnceNewTrackKeepsTheLastCompletedFlush) {
  unfinished_track_ = true;
  const Prepared p = prepare_spill();
  const auto track = new_track_of_archive(p);
  ASSERT_FALSE(track.empty());
  run_new_track_points(p, track, new_track_points(track));
}

struct MoveCase {
  const char* name;
  std::uint8_t medium;
  const char* product;
  int to_slot;
};
void PrintTo(const MoveCase& c, std::ostream* os) { *os << c.name; }

const MoveCase kMoves[] = {
    {"F2_slot2", 0xF2, "QMR-T400A", 2},
};

class KillDuringMove : public KillDuringFlush, public ::testing::WithParamInterface<MoveCase> {};

// A kill at each state the move to a later slot leaves on the discs and in
// the cartridge memory, from the slot's load to its RESERVE TRACK: after
// every command that changes them but the inner WRITE(10)s of a run of
// consecutive blocks (every command in a full sweep). The old slot is
// closed for writing before the load; the restarted engine finds it so and
// completes the move itself, and the new slot, here the cartridge's last,
// must not take the old slot's soft write protection with the flushes that
// follow, or the next mount is read-only.
TEST_P(KillDuringMove, EachStateOfTheNewTrackKeepsTheLastCompletedFlush) {
  unfinished_track_ = true;
  medium_.medium_type = GetParam().medium;
  medium_.product = GetParam().product;
  to_slot_ = GetParam().to_slot;
  const Prepared p = prepare_spill();
  ASSERT_FALSE(HasFatalFailure());
  const auto track = new_track_of_archive(p);
  ASSERT_FALSE(track.empty());
  run_new_track_points(p, track, new_track_points(track, track.size()));
}

INSTANTIATE_TEST_SUITE_P(Media, KillDuringMove, ::testing::ValuesIn(kMoves),
                         [](const auto& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- a torn file-system cache

// The engine's file-system cache file of the cartridge (one in its folder).
std::string fs_cache_file(const std::string& cache_dir) {
  const std::filesystem::path dir = std::filesystem::path(cache_dir) / "KELFS" / "Caches" / "FsCache";
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.is_regular_file()) return e.path().string();
  return "";
}

// Whether the cache file's record still matches the cartridge memory: the
// agent's check compares bytes 0-66 of attribute 1500h.
bool cache_matches_cartridge(const std::string& cache_dir, kelsim::Cartridge& c) {
  std::ifstream f(fs_cache_file(cache_dir), std::ios::binary);
  std::string record(67, '\0');
  f.read(record.data(), static_cast<std::streamsize>(record.size()));
  const auto& value = c.attributes[0x1500].value;
  return f.good() && value.size() >= record.size() && std::memcmp(record.data(), value.data(), record.size()) == 0;
}

class RewritableCache : public Scenario {};

// Every session of a mount, not only its first, moves the cartridge
// memory's coherency counter on when it opens, so that the cache file,
// which the session's flush changes before it writes its own record, is
// not taken after a kill. The second session of the mount is killed before
// its Sync: the next engine mounts what the first Sync left.
TEST_F(RewritableCache, EachSessionOfAMountLeavesTheCacheBehindTheCartridge) {
  ScenarioOptions o;
  o.medium_type = 0xE2;
  make_sim(o);
  start_checked();
  for (const char* folder : {"/A", "/B"}) {
    SCOPED_TRACE(folder);
    mkdir(folder);
    EXPECT_FALSE(cache_matches_cartridge(cache_, cartridge())) << "the session open left the cache coherent";
    sync("SyncTime");
    EXPECT_TRUE(cache_matches_cartridge(cache_, cartridge())) << "the Sync's record";
  }
  mkdir("/C");
  EXPECT_FALSE(cache_matches_cartridge(cache_, cartridge())) << "the third session left the cache coherent";
  kill_engine();
  start_checked();
  EXPECT_EQ(listing("/"), std::set<std::string>({"A", "B"}));
  unmount();
}

// A region of the cache file lost (zeroed) or the file cut short, as a kill
// of the writing process or of the machine leaves it, while the record
// that says it matches the cartridge survived.
struct Tear {
  const char* name;
  std::uint64_t offset;  // first byte lost
  std::uint64_t length;  // bytes zeroed; 0: the file ends at offset
};
const Tear kTears[] = {
    {"metadata blocks cut off", 0x100000, 0},
    {"metadata blocks lost", 0x100000, 0x40000},
};

class TornCache : public Scenario, public ::testing::WithParamInterface<std::tuple<std::uint8_t, Tear>> {};

// A cache whose data fails is deleted and the volume mounts from the disc
// at the first Check, writable, with every synced file; a new Sync then
// makes a cache that the next engine mounts from.
TEST_P(TornCache, TheFirstCheckMountsFromTheDisc) {
  const auto [medium, tear] = GetParam();
  ScenarioOptions o;
  o.medium_type = medium;
  make_sim(o);
  start_checked();
  mkdir("/A");
  mkdir("/A/sub");
  ASSERT_TRUE(archive_file("/A/f", 300000, 7).ok);
  sync("SyncTime");
  unmount();
  const std::string file = fs_cache_file(cache_);
  ASSERT_FALSE(file.empty()) << "no file-system cache in " << cache_;
  if (tear.length == 0) {
    std::filesystem::resize_file(file, tear.offset);
  } else {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(tear.offset));
    const std::string zeros(tear.length, '\0');
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    ASSERT_TRUE(f.good());
  }

  start();
  const EngineElement v = ask_one("Check", "KelVolume");
  EXPECT_EQ(number(v, "WriteProtectReason"), 0u) << v.raw;
  EXPECT_EQ(listing("/A"), std::set<std::string>({"f", "sub"}));
  expect_restores("/A/f");
  mkdir("/B");
  sync("SyncTime");
  unmount();
  start_checked();
  EXPECT_EQ(listing("/"), std::set<std::string>({"A", "B"}));
  expect_restores("/A/f");
  unmount();
}

INSTANTIATE_TEST_SUITE_P(Media, TornCache,
                         ::testing::Combine(::testing::Values(std::uint8_t{0xE1}, std::uint8_t{0xE2}),
                                            ::testing::ValuesIn(kTears)),
                         [](const auto& i) {
                           std::string n = std::string(std::get<0>(i.param) == 0xE2 ? "E2_" : "E1_") +
                                           std::get<1>(i.param).name;
                           for (char& c : n)
                             if (c == ' ') c = '_';
                           return n;
                         });

}  // namespace
}  // namespace e2e
