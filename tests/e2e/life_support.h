// A cartridge's long life: the real KelDriver over the simulated drive,
// driven through a seeded random sequence of the host's requests, engine
// restarts and kills, with the cartridge's invariants checked after every
// step.
//
// The life keeps a model of the volume: the tree the last completed Sync
// (or a clean unmount, or the mount after a kill) left on the medium, and
// the tree after each change answered since. A live engine must show the
// newest tree; the first mount after a kill must show one of them whole
// (a flush round records the whole tree of its moment), with every file's
// bytes as archived. Files still waiting in a packed session are the one
// exception a flush round makes: it leaves them out (their data is not yet
// where their entries would point), so a kill may show a tree with the
// newest files archived with packed writing missing, never their folders or
// other changes.
//
// Actions are rows of a table (name, weight, when it may run, what it
// does); a test can add rows of its own with add_action, e.g. a power cut of
// the simulated drive or a fault of a rewritable disc.
//
// The run lasts a time budget (KEL_LIFE_SECONDS, default the test's) or a
// number of actions (KEL_LIFE_ACTIONS); KEL_LIFE_SEED replays a seed, or
// "random" draws a new one (the test's own seed runs otherwise);
// KEL_LIFE_PACKED=1 or 0 sets packed writing instead of the seed. A
// failure names the seed, the action count and the last actions. With
// KEL_LIFE_TRACE naming a folder, every engine writes its trace files there;
// with KEL_LIFE_KEEP naming one, the cartridge and the cache directory are
// copied there after each kill ("after-kill") and at a failure;
// KEL_LIFE_END_KILL ends the run with a kill (and its checks) instead of a
// clean unmount, to look at what the last actions left on the medium.
#pragma once

#include "scenario_support.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace e2e::life {

// A file's bytes, made from a seed: the model keeps only this.
struct Content {
  std::uint32_t seed = 0;
  std::uint64_t size = 0;
  bool operator==(const Content&) const = default;
};
std::string bytes_of(const Content& c);

// Files and folders of the volume ("$QuorvelData" left out), full paths.
struct Tree {
  std::map<std::string, Content> files;
  std::set<std::string> dirs;  // every folder but the root
  bool operator==(const Tree&) const = default;
  // Names directly in a folder, files and folders.
  std::set<std::string> children(const std::string& folder) const;
  // Adds a folder with its parents.
  void add_dirs(const std::string& folder);
};

// The cartridge a life runs on.
struct LifeMedium {
  std::uint8_t type;
  const char* product;
  std::uint8_t slots;
  std::uint32_t disc_blocks;
  // Pseudo-overwrite map entries each disc starts with (0: the drive's
  // default), so that a short life reaches a disc's end of resources.
  std::uint32_t map_entries;
  // Blocks a disc keeps unwritten at its end (the write policy's margin),
  // and those of the last disc.
  std::uint32_t margin, last_margin;
};

class Life;

// One row of the action table. `ready` tells whether the action can run now
// (null: always); `run` performs it and checks what it answered.
struct LifeAction {
  std::string name;
  int weight = 1;
  std::function<bool(Life&)> ready;
  std::function<void(Life&)> run;
};

// The standard rows: Archive, Sync, ReadDirectory, Restore, Rename,
// Delete, CreateDirectory, Remount (cache kept or emptied, packed writing
// switched), Kill (at a random drive command of a random request, or idle),
// MoveWaiting (a rename or delete of a file that may still wait in the
// packed session, or a rename of its folder) and DriveFault (a burst of
// failing WRITE or SYNCHRONIZE CACHE, at times up to the request's end,
// during an Archive, a Sync or a session end, then a good drive).
std::vector<LifeAction> standard_actions();
// A power cut of the drive and the host at a random drive command of an
// Archive or a Sync (a random part of the drive's cache reached the
// medium); the next engine mounts after the drive's unit attention.
LifeAction power_cut_action();
// Every SYNCHRONIZE CACHE failing through an Archive or a Sync, then the
// engine killed before any Sync or unmount: the next engine must mount a
// tree since the last Sync. Not yet among the seeded lives' actions: on
// write-once media it also finds a volume descriptor sequence lost with
// the drive's cache, a road still open.
LifeAction drive_fault_kill_action();
// A remount from the disc with one block the mount reads unreadable, then
// one with the block readable again.
LifeAction unreadable_mount_action();

class Life : public Scenario {
 public:
  // ------------------------------------------------------------ the run
  // Makes the cartridge, starts the engine and mounts with Check.
  void start_life(const LifeMedium& medium, std::uint64_t seed);
  // Runs actions until the budget is spent, or `actions` are done when
  // given (a replay); the environment's KEL_LIFE_SECONDS and
  // KEL_LIFE_ACTIONS take precedence.
  void run_life(std::chrono::seconds budget, std::uint64_t actions = 0);
  void add_action(LifeAction a) { actions_.push_back(std::move(a)); }
  // Takes a row out (a replay of a seed found before the row existed keeps
  // the rolls it had then).
  void drop_action(const std::string& name) {
    std::erase_if(actions_, [&](const LifeAction& a) { return a.name == name; });
  }
  // The seed: KEL_LIFE_SEED ("random": a new one each run), else fallback.
  static std::uint64_t seed_from_environment(std::uint64_t fallback);

  // ------------------------------------------------------------ for actions
  std::mt19937_64& rng() { return rng_; }
  std::uint64_t pick(std::uint64_t n) { return n ? rng_() % n : 0; }
  bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }
  const LifeMedium& medium() const { return medium_; }
  bool full() const { return full_; }
  bool packed() const { return packed_; }
  // The newest tree, and a change answered by the engine.
  const Tree& current() const { return history_.empty() ? base_ : history_.back(); }
  void changed(Tree t) { history_.push_back(std::move(t)); }
  // A completed Sync or clean unmount: the newest tree is on the medium.
  void settled() {
    base_ = current();
    history_.clear();
    packed_since_settled_.clear();
  }
  std::string random_file();
  std::string random_folder();  // "/" or a folder of the tree
  // A file path not in the tree, now and then in a new folder when allowed.
  std::string new_path(bool new_folder_allowed);
  Content new_content();
  // Archives a file; true with "KelArchive". Disc full is accepted (and
  // marks the cartridge full) only when every disc is spent.
  bool archive(const std::string& path, const Content& c);
  // Restores a file and compares its bytes.
  void expect_file(const std::string& path, const Content& c);
  // Lists a folder and compares with the newest tree.
  void expect_listing(const std::string& folder);
  // A request answered "KelVolume" (its free space is checked); false with
  // another answer, which is a failure unless the cartridge is full.
  bool volume_request(const std::string& opcode, const Attributes& attributes);
  bool sync_now();
  // The same requests without a look at their answers (they may be killed).
  kelsim::ExchangeResult send_archive(const std::string& path, const Content& c);
  std::vector<EngineElement> send_request(const std::string& opcode, const Attributes& attributes);
  // Files archived with packed writing since the settled state under a
  // name the settled state did not hold: they may still wait in a session.
  std::set<std::string> maybe_waiting() const;
  // A request served while the drive fails a burst of commands, and what it
  // makes when it succeeds.
  struct FaultedRequest {
    std::function<std::vector<EngineElement>()> send;  // its answers
    std::string success;                               // the last answer's name on success
    Tree succeeded;                                    // the tree it makes then
  };
  // Runs the request under `rule`, then with a good drive Syncs (a new
  // engine when the volume takes no Sync). The tree shown must be the
  // newest one less exactly the files the engine named lost (its "Error"
  // messages), each of them one that may have waited in a session;
  // every other file keeps its bytes, in this engine and after remounts
  // with the cache kept and emptied.
  // With after_first_sync the rule holds from the request's first good
  // SYNCHRONIZE CACHE on (a packed session's end has then synced its data).
  void through_drive_fault(const kelsim::FaultRule& rule, const FaultedRequest& request,
                           bool after_first_sync = false);
  // Runs the request under `rule`, then kills the engine before any Sync
  // or unmount follows; a new engine must show a tree of kill_during's.
  void kill_after_drive_fault(const kelsim::FaultRule& rule, const FaultedRequest& request);
  // Stops the engine cleanly and starts a new one, the cache kept or
  // emptied, packed writing as given; the tree is checked.
  void remount(bool emptied, bool packed);
  // Stops the engine cleanly; a new one mounts from the disc with one block
  // of those a mount reads (picked at random) unreadable: it shows the
  // newest tree or answers the failure. The block then reads again and the
  // next engine, with the cache that mount left, shows the newest tree.
  void remount_with_unreadable_block();
  // Runs `request` and kills the engine at the drive command of the given
  // index (or when the request ended first); `changes` are the trees the
  // request makes on its way and when it succeeds. Then a new engine mounts
  // and the tree it shows must be one of those since the last settled
  // state, or of changes. With power_cut_keep the drive loses power with the
  // engine (all but the first power_cut_keep blocks of its cache since the
  // last good sync are lost). Without check_discs the slot images are
  // checked at the next stop only (after the new engine's mount rebuilt
  // what the kill left torn).
  void kill_during(std::size_t command, const std::function<void()>& request, const std::vector<Tree>& changes,
                   std::optional<std::uint32_t> power_cut_keep = std::nullopt, bool check_discs = true);
  void note(const std::string& what);

 protected:
  void TearDown() override;

 private:
  void restart(bool emptied);
  void check_mounted(const std::vector<Tree>& candidates);
  const Tree& by_contents(const std::vector<const Tree*>& same);
  // The bytes a Restore gives; nullopt (a failure) when it fails.
  std::optional<std::string> restored(const std::string& path);
  std::vector<Tree> with_packed_files_left_out(const std::vector<Tree>& trees) const;
  Tree listed_tree();
  void note_volume_track();
  void check_slot_images();
  void check_free(const EngineElement& volume);
  bool every_disc_spent();
  void reconcile(const std::string& path);
  kelsim::ExchangeResult archive_exchange(const std::string& path, const Content& c);
  // Files the "Error" messages of requests from `first` on name lost (each
  // named once).
  std::set<std::string> reported_lost(std::size_t first_element) const;
  // The request sent while the drive holds `rule`: whether it succeeded;
  // how often the rule fired to *fired. Both are noted.
  bool send_under_fault(const kelsim::FaultRule& rule, const FaultedRequest& request, int* fired,
                        bool after_first_sync = false);
  // Syncs until one succeeds (the files named lost meanwhile to *lost), or
  // starts a new engine: a file of `waiting` it no longer shows must have
  // been named lost.
  bool settle_after_fault(std::set<std::string>* lost, std::size_t first_element, const std::set<std::string>& waiting);
  void check_after_fault(const Tree& before, const std::set<std::string>& waiting, const std::set<std::string>& lost);
  void report();
  // Disc full answered with every disc spent: the life goes on without new
  // names (the report gives the action it came at).
  void mark_full();
  bool keep_copy(const std::string& name);

  LifeMedium medium_{};
  std::uint64_t seed_ = 0;
  std::mt19937_64 rng_;
  std::vector<LifeAction> actions_ = standard_actions();
  Tree base_;
  std::vector<Tree> history_;
  // The contents (by seed) answered "KelArchive" with packed writing since
  // the settled state, in the order they were answered.
  std::vector<std::uint32_t> packed_since_settled_;
  bool packed_ = false;
  bool full_ = false;
  std::optional<std::uint64_t> full_at_;
  int volume_track_ = 0;  // the volume's current track before the last request
  std::optional<std::uint64_t> last_free_;
  std::string last_volume_;  // the figures of the volume last answered, for a report
  std::uint32_t next_name_ = 0;
  std::uint32_t next_seed_ = 1;
  std::string local_;
  std::deque<std::string> log_;
  std::map<std::string, std::uint64_t> counts_;
  std::uint64_t done_ = 0;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace e2e::life
