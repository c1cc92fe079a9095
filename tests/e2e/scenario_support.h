// Fixtures of the multi-disc, rollback, finalisation and kill scenarios:
// a cartridge served by the simulator in this process, the real KelDriver
// started and killed against it, and readers of what the drive saw (the
// transcript, the slot images, the cartridge memory).
#pragma once

#include "sim/engine_process.h"
#include "sim/harness.h"
#include "support/udfinfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace e2e {

using kelsim::EngineElement;
using kelsim::TranscriptEntry;
using Attributes = std::vector<std::pair<std::string, std::string>>;

// ---------------------------------------------------------------- transcript readers

// Commands of a request (its SequenceNumber), notices left out.
std::vector<TranscriptEntry> commands_of(const std::vector<TranscriptEntry>& t, std::uint64_t sequence);
// LOAD/UNLOAD MEDIUM (A6h) of the changer: the slot in CDB byte 8.
bool is_slot_load(const TranscriptEntry& e);
int loaded_slot_of(const TranscriptEntry& e);
// The ranges READ(10) asked for from `mark` on, one per command, each with
// the slot whose disc was loaded (followed from `slot` through the
// changer's loads).
struct BlocksRead {
  int slot = -1;
  std::uint32_t first = 0, count = 0;
  auto operator<=>(const BlocksRead&) const = default;
};
std::vector<BlocksRead> reads_since(const std::vector<TranscriptEntry>& t, std::size_t mark, int slot);
// WRITE ATTRIBUTE (8Dh): the identifiers and values of its parameter list
// (4-byte length, then identifier 2, format 1, length 2, value).
struct AttributeWrite {
  std::uint16_t id = 0;
  std::vector<std::uint8_t> value;
};
std::vector<AttributeWrite> attribute_writes(const TranscriptEntry& e);
// Every WRITE ATTRIBUTE of one identifier in the transcript, in order.
std::vector<AttributeWrite> writes_of_attribute(const std::vector<TranscriptEntry>& t, std::uint16_t id);
// Commands of the drive utility library: those with sense capacity 18.
bool is_sdk_command(const TranscriptEntry& e);
// Commands that change a disc or the cartridge memory.
bool changes_medium(const TranscriptEntry& e);

// ---------------------------------------------------------------- cartridge memory and images

// The last written slot (attribute 0D00h), -1 when absent.
int last_written_slot(kelsim::Cartridge& c);
// The discs and the last written slot as the drive has them between two
// commands (read so while an engine is served).
struct CartridgeView {
  std::vector<kelsim::Disc> discs;
  int last_written = -1;
  std::uint32_t disc_blocks = 0;
  std::uint16_t opc_count = 0;
  bool write_once = false;
  // Write-once: out of pseudo-overwrite resources or calibrations as the
  // media resource check counts them (map entries 256, updates 100,
  // calibrations 8 or fewer).
  bool resources_spent(int slot) const;
  // Write-once: the track's next writable address; rewritable: one past the
  // highest block written.
  std::uint32_t used_blocks(int slot) const;
};
CartridgeView view_of(kelsim::ChangerDrive& drive);
// Attribute 1500h (backtrack record, 128 bytes big-endian): sequence at 0,
// location at 8, CRC-16/XMODEM of bytes 0-125 at 126.
struct BacktrackRecord {
  std::uint64_t sequence = 0;
  std::uint64_t location = 0;
  std::uint16_t check = 0;
  bool check_valid = false;
};
bool read_backtrack_record(kelsim::Cartridge& c, BacktrackRecord* out);
// Writes 1500h as a policy-4 backtrack leaves it: sequence = the point's
// slot + 1, location = metadata FE LSN << 32 | FSD LSN, valid check value
// unless `break_check`; saved under the drive's lock (see
// Scenario::cartridge).
void write_policy4_record(kelsim::SimHarness& sim, std::uint32_t slot, std::uint32_t metadata_fe_lsn,
                          std::uint32_t fsd_lsn, bool break_check = false);
std::uint16_t crc16_xmodem(const std::uint8_t* p, std::size_t n);
// Sets a descriptor's tag CRC (over its CRC length) and checksum again
// after a change.
void retag_descriptor(std::uint8_t* d);
// The tag identifier of a block of a slot image (0 for a block of zeros or
// a tag whose checksum fails).
std::uint16_t tag_of_block(kelsim::Cartridge& c, int slot, std::uint32_t lsn);
// Slots whose image holds data.
std::vector<int> written_slots(kelsim::Cartridge& c);

// ---------------------------------------------------------------- the scenario fixture

struct ScenarioOptions {
  std::uint8_t medium_type = 0xE1;
  const char* product = "QMR-T300A";
  std::uint8_t slots = 3;
  std::uint32_t disc_blocks = kelsim::kDefaultDiscBlocks;
  std::string cartridge_source;  // a prepared cartridge to start from (copied)
  // The drive's error-reporting threshold (mode page 01h; non-zero: the
  // writer works in new-write mode).
  std::uint32_t error_reporting_threshold = 0;
};

class Scenario : public ::testing::Test {
 protected:
  void TearDown() override;

  void make_sim(const ScenarioOptions& o);
  void make_sim(std::uint8_t medium_type, const char* product, std::uint8_t slots, std::uint32_t disc_blocks);
  // Starts KelDriver with the fixture's cache directory (and registry words).
  void start(const Attributes& = {});
  void start_with(std::vector<std::pair<std::string, std::uint32_t>> dwords);
  // Sends one request and returns its answers, the last one ending it.
  std::vector<EngineElement> ask(const std::string& opcode, const Attributes& attributes = {});
  EngineElement ask_one(const std::string& opcode, const std::string& expect, const Attributes& attributes = {});
  std::uint64_t last_sequence() const { return sequence_; }
  void check_mounts();
  // start() and check_mounts(), on an emptied cache directory when `emptied`.
  void start_checked(bool emptied = false);
  void mkdir(const std::string& path);
  EngineElement sync(const std::string& reason, const std::string& expect = "KelSync");
  std::set<std::string> listing(const std::string& path);
  // Names and sizes a folder lists.
  std::map<std::string, std::uint64_t> listed_sizes(const std::string& folder);
  // GetRollbackInfo: every "KelRollbackInfo" element, the closing one too.
  std::vector<EngineElement> rollback_info();
  EngineElement rollback_mount(std::uint32_t slot, std::uint32_t fe, std::uint32_t fsd,
                               const std::string& expect = "KelVolume");
  void unmount();
  // A new engine on an emptied cache with block `lsn` of `slot` unreadable
  // (READ(10) answers 03/11/00 every time) asked "Check": its answers; the
  // fault's id (for remove_fault) to *fault.
  std::vector<EngineElement> check_with_unreadable_block(int slot, std::uint32_t lsn, int* fault);
  // Archives a local file of `bytes` bytes (its content made from `seed`)
  // under `name`; the bytes are kept for expect_restores.
  kelsim::ExchangeResult archive_file(const std::string& name, std::size_t bytes, int seed);
  // The same when the Archive may fail: its answer, unjudged.
  kelsim::ExchangeResult try_archive_file(const std::string& name, std::size_t bytes, int seed);
  // Restores `name` and expects the bytes it was archived with.
  void expect_restores(const std::string& name);
  // SIGKILL, then the process is reaped.
  void kill_engine();
  void empty_cache();

  // Runs `request` on a thread of its own and kills the engine once the
  // `index`-th drive command from now (0-based) has run and holds its
  // answer, or when the request ended before reaching it. True when the
  // command was reached (its transcript entry to *held when given). With
  // `only`, the index counts the commands of that operation code; with
  // `slot`, those sent while that slot's disc is loaded.
  bool kill_during_request(std::size_t index, const std::function<void()>& request,
                           TranscriptEntry* held = nullptr, std::optional<std::uint8_t> only = std::nullopt,
                           int slot = -1);
  // The host's requests, one per call of `next`, with the drive set to lose
  // power before the `at`-th drive command from now (0-based, every command
  // counted), the first `keep` blocks written to its cache since the last
  // good sync having reached the medium; the engine lives on through the
  // cut. `next` is told whether the cut has come and returns false when the
  // host stops. True when the cut came.
  bool power_cut_during(std::size_t at, std::uint32_t keep, const std::function<bool(bool cut_came)>& next);
  // The same with one request line.
  bool kill_at_command(const std::string& opcode, const Attributes& attributes, std::size_t index,
                       TranscriptEntry* held, std::optional<std::uint8_t> only = std::nullopt);

  // After a scenario: udfinfo and the UDF code's structure rules
  // (mdcudfsr_check_vds_structure) pass on each written slot image, and a
  // new engine with an emptied cache mounts and lists exactly `expected`
  // (path -> names) per folder. The slot checks need the engine stopped.
  void expect_sound_cartridge(const std::vector<std::pair<std::string, std::set<std::string>>>& expected,
                              const std::vector<std::string>& files = {});
  void expect_udfinfo_on_written_slots(const std::vector<std::string>& lines = {});
  // The same on slots 0 to `last` only: the slots that hold the volume when
  // a later slot holds a new track the engine never finished.
  void expect_udfinfo_on_slots_up_to(int last);
  void expect_sound_slots(const std::vector<int>& slots, const std::vector<std::string>& lines);

  // The simulated cartridge, for the test to read or change while the
  // drive serves no command (between requests, or with no engine). The
  // service's threads change it as they serve: each use is ordered after
  // the commands served so far through the drive's own lock, and a change
  // is saved under that lock (save_cartridge) so that the commands to come
  // see it.
  kelsim::Cartridge& cartridge();
  DWORD save_cartridge();
  void settle();

  // Every request answered with success is answered only after a good
  // SYNCHRONIZE CACHE of its last WRITE(10): checked by ask and
  // archive_file (and by a test with expect_synced_before_answer).
  void expect_synced_before_answer(std::uint64_t seq, const std::string& what);
  // Adds `rule` to the drive when it logs its next good SYNCHRONIZE CACHE,
  // before that answer goes out, so that no later command escapes it;
  // stop_waiting_for_sync() stops the wait and answers the rule's id
  // (-1: no sync came, the rule was never added).
  void add_fault_at_next_sync(const kelsim::FaultRule& rule);
  int stop_waiting_for_sync();

  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<kelsim::EngineProcess> engine_;
  std::string cache_;
  std::uint64_t sequence_ = 0;
  std::vector<std::pair<std::string, std::uint32_t>> dwords_;
  std::vector<std::pair<std::string, std::string>> strings_;
  std::map<std::string, std::string> archived_;  // name -> bytes

 private:
  struct UnsyncedWrites {
    struct Range {
      std::uint32_t first = 0, end = 0;
      bool cache_lost = false;  // a power cut came after it
    };
    std::mutex mu;
    std::map<std::uint64_t, std::vector<Range>> writes;  // by request
    std::optional<kelsim::FaultRule> at_next_sync;  // added there, then its id
    int added = -1;
  };
  void watch_writes();
  static bool changes_volume(const std::string& opcode);
  std::shared_ptr<UnsyncedWrites> unsynced_;
};

// ---------------------------------------------------------------- suites over media

// One medium and drive of a suite run on several, with packed writing or not.
struct MediumSetup {
  std::uint8_t type;
  const char* product;
  bool packed;
};
// "E1_Packed", or with the product "E1_QMR_T300A_Packed": the suffix of a
// test name.
std::string medium_setup_name(const MediumSetup& s, bool with_product);
// "E1h on QMR-T300A, packed": the parameter as test listings and failures
// print it.
void PrintTo(const MediumSetup& s, std::ostream* os);

// A scenario on the parameter's medium and drive, packed writing set in the
// registry words.
class MediumScenario : public Scenario, public ::testing::WithParamInterface<MediumSetup> {
 protected:
  void SetUp() override;
};

// Starts a fresh engine process (with the given cache) on a running sim.
std::unique_ptr<kelsim::EngineProcess> start_engine(
    kelsim::SimHarness& sim, const std::string& cache, std::vector<std::pair<std::string, std::uint32_t>> dwords,
    std::vector<std::pair<std::string, std::string>> strings = {});
// The lines of the engine's trace files ("KELtrace_..." in `directory`)
// that contain `text`.
std::vector<std::string> trace_lines(const std::string& directory, const std::string& text);

bool ends_request(const EngineElement& e);
std::uint64_t number(const EngineElement& e, const std::string& key);

}  // namespace e2e
