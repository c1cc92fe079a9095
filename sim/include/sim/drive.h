// The simulated changer drive: executes CDBs against a cartridge and answers
// with data or fixed-format sense, as a real drive does. It keeps its own
// state and obeys the write-once rules; it knows nothing of the engine.
//
// Answers in brief (multi-byte fields big-endian; every answer is cut to the
// allocation length the CDB or the request states):
// - INQUIRY: 36 bytes, vendor/product/revision blank-padded at 8/16/32.
//   INQUIRY, MECHANISM STATUS, READ DISC INFORMATION, READ TRACK INFORMATION,
//   READ FORMAT CAPACITIES and GET EVENT STATUS are cut to the allocation
//   length of their CDB; C3h and D5h carry none and answer 16 bytes.
// - GET EVENT STATUS NOTIFICATION (polled): with the media class asked
//   (byte 4 bit 4) the 4-byte header (length 6, class 4, supported 10h) and
//   one media event: byte 4 event code (0 none, 2 new media, 3 media
//   removal), byte 5 bit 1 disc present, bytes 6-7 the slot; without it the
//   header alone with NEA set.
// - REQUEST SENSE: 18 bytes of fixed-format sense: the pending unit
//   attention (cleared), else not ready as a command would get it, else 0.
//   Page 80h: serial length at 3, serial from 4. Page C1h (disc loaded only):
//   14-byte medium unique id at 4-17.
// - MECHANISM STATUS: byte 0 bits 0-4 slot low bits, byte 1 bits 5-7 state
//   (1 disc loaded, 0 none) and bits 0-2 slot high bits, byte 5 slot count,
//   6-7 slot table length (4 per slot); from byte 8 one 4-byte entry per
//   slot: byte 0 bit 7 disc present, byte 1 bit 1 CWP valid, bit 0
//   cartridge write protect (so byte 9 bit 0 for the first slot).
// - READ DISC INFORMATION type 0: byte 2 bits 0-1 disc status (0 blank,
//   1 incomplete, 2 complete), byte 6 last track in last session; type 1
//   track resources (4-5, 6-7, 8-9, 10-11); type 2 the loaded disc's POW
//   resources (4-7, 8-11, 12-15).
// - READ TRACK INFORMATION (52 bytes): start 8, NWA 12, free 16, size 24,
//   last recorded 28; byte 7 bit 0 NWA valid; byte 6 bit 6 blank, bit 7
//   reserved track. Track number 0: the first open track, its start moved to
//   its NWA. SYNCHRONIZE CACHE and a disc change record the cache: a
//   part-filled write-once cluster is padded, and the NWA is the next
//   cluster's first block.
// - READ FORMAT CAPACITIES (12 bytes): blocks at 4, descriptor type at 8
//   (1 unformatted, 2 formatted, 3 no medium), block length at 9-11.
// - READ DISC STRUCTURE: a 4-byte header (length at 0-1) precedes every
//   structure. Format 00h: 112-byte DI units from byte 4, one per layer, each
//   "DI" at 0-1, unit byte 4 = number of layers, first and last user-data
//   address at unit bytes 16 and 20. Format 08h (formatted rewritable only):
//   "DS" at 4, D36 first user PSN, D40 last LSN, D44/D48 spare sizes 0.
//   Format 12h, unit n at address n (32768 bytes each): byte 3 = number of
//   units; unit 0 starts with a list header of 64 bytes (128 on E6h), "DL",
//   entry count at 12; then the defect entries, 8 bytes each.
// - READ ATTRIBUTE: service action 0 the attributes from the first id asked
//   (absent: 05/24/00), 1 the list of identifiers. WRITE ATTRIBUTE refuses
//   with 05/26/00 the ids of 0000h-07FFh and 1000h-13FFh and 0800h-0806h of
//   another length or format than the standard's, with 05/1A/00 a list
//   longer than the data sent or shorter than its own length field; a
//   refused list changes no attribute.
// - GET PERFORMANCE type 02h: data length 4 (no descriptor) on write-once or
//   unformatted discs; else one descriptor: start LBA 8-11, first bit offset
//   at 17 = 0, defect status byte 18 = 1.
// - Sense: 70h, key at 2, additional length 0Ah, ASC 12, ASCQ 13 (18 bytes).
//   05/20/00 unknown opcode, 05/24/00 bad CDB field, CDB shorter than its
//   operation, or absent attribute,
//   05/26/00 bad parameter list, 05/1A/00 short parameter list, 05/21/00
//   block out of range, 05/21/01 no such slot, 05/21/02 write past the NWA
//   or on a closed track or completed disc, 05/2C/00 out of sequence (format
//   of a used write-once disc, reservation on a blank one), 05/30/10
//   unformatted rewritable disc, 02/3A/00 no disc, 03/27/00 write protected,
//   06/29/00 the first command after the drive starts or a power cut,
//   06/28/00 the first command once a newly loaded disc is ready, 02/04/01 a
//   command that needs the medium while the disc is becoming ready (unit
//   attentions are neither reported nor cleared by INQUIRY and GET EVENT
//   STATUS NOTIFICATION; REQUEST SENSE returns and clears them),
//   03/11/00 VERIFY of unrecorded write-once blocks, READ of a cluster
//   with no block recorded, and READ, VERIFY or a write of part of a
//   rewritable cluster a power cut tore, 05/30/10 also a write to a write-once disc
//   before FORMAT UNIT (and a read of it, when so configured).
#pragma once

#include "sim/cartridge.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelsim {

// Supported product identifications.
extern const char* const kDriveModels[8];  // "PXO-U2" ... "QMR-T400B"

struct DriveConfig {
  std::string vendor = "TARN";
  std::string product = "QMR-T300B";
  std::string revision = "1700";          // decimal digits, 4 characters
  // Unit serial number (VPD 80h). Empty: the drive's own, "KSIM" and eight
  // hexadecimal digits made from its cartridge's folder, so every drive of a
  // machine has its own and a drive keeps it when served again.
  std::string serial;
  std::uint16_t transfer_units = 8;       // mode page 22h: 64 KiB units per command
  // Mode page 01h bytes 9-11: the error-reporting threshold (0: none).
  std::uint32_t error_reporting_threshold = 0;
  // False (the default): as a real drive, a READ(10) of a formatted
  // write-once disc's clusters never recorded fails (03/11/00). True: they
  // read as zeros with GOOD, for a test that needs the old answer.
  bool blank_blocks_read_as_zeros = false;
  // True (the default): a READ(10) of a write-once disc before FORMAT UNIT
  // fails with 05/30/10, as on a real drive. False: it reads as zeros with
  // GOOD, for a test that needs the old answer.
  bool unformatted_reads_fail = true;
  // What a real drive shows when the disc it holds changes. After a LOAD/
  // UNLOAD or START STOP UNIT that puts another disc in, the disc is
  // becoming ready for `loading_commands` commands that need the medium
  // (each answered 02/04/01; 0: ready at once), and once it is ready the
  // next command answers unit attention 06/28/00 (attention_after_load).
  std::uint32_t loading_commands = 1;
  bool attention_after_load = true;
  // The first command after the drive starts (when it is made, and after a
  // power cut) answers unit attention 06/29/00.
  bool attention_at_power_on = true;
  // GET EVENT STATUS NOTIFICATION of the media class reports the disc
  // changes (new media, media removal) one event at a time; false: no event
  // ever.
  bool media_events = true;
};

// Sense key / ASC / ASCQ.
struct Sense {
  std::uint8_t key = 0, asc = 0, ascq = 0;
  bool operator==(const Sense&) const = default;
};

// Outcome of one command. Data-in bytes go to the caller's vector.
struct ScsiResult {
  bool check_condition = false;
  Sense sense;
  // READ(10) on a write-once disc: blocks read at or above the NWA of their
  // track, or outside every track (never recorded).
  std::uint32_t unrecorded_blocks = 0;
  // Fixed-format sense data (18 bytes) when check_condition is set.
  std::array<std::uint8_t, 18> sense_bytes() const;
};

// A fault injected by a test. A rule matches a command by operation code
// (any when unset) and, for READ(10), WRITE(10), VERIFY(10), SYNCHRONIZE
// CACHE(10) (0 blocks: to the end) and D2h, by an overlap of its block range
// with [first_lba, last_lba], and for MODE SENSE(10) by `mode_page` and
// `mode_length` when set.
// It fires `times` times (-1: always) after letting `skip` matching commands
// pass, and with `slot` set only while that slot's disc is loaded. A Sense
// rule failing a sync leaves for GET PERFORMANCE the first block written
// since the last good sync that is not below `first_lba` nor more than the
// error-reporting window behind the end of the last write: the cached
// writes below it reached the medium, those from it on are lost.
struct FaultRule {
  enum class Kind {
    Sense,            // the drive answers CHECK CONDITION with `sense`, doing nothing
    TransportStatus,  // the service answers with `status` and no payload
    DropConnection,   // the service closes the client's connection without an answer
    Delay,            // the service answers after `delay_ms` on the process clock
    ReplaceData,      // the drive answers GOOD with `data` (cut to the CDB's allocation), doing nothing
    PowerCut,         // the drive loses power before the command (ChangerDrive::power_cut with
                      // `keep_blocks`); the service answers it with `status` (0: 1117)
  };
  Kind kind = Kind::Sense;
  std::optional<std::uint8_t> opcode;
  std::optional<std::uint8_t> mode_page;     // MODE SENSE(10) of this page only,
  std::optional<std::uint16_t> mode_length;  // and of this allocation length
  std::uint32_t first_lba = 0;
  std::uint32_t last_lba = 0xFFFFFFFFu;
  int times = -1;
  int skip = 0;
  int slot = -1;  // -1: any; else only while the disc of that slot is loaded
  Sense sense{0x03, 0x0C, 0x00};
  std::int32_t status = 0;
  std::uint64_t delay_ms = 0;
  std::vector<std::uint8_t> data;
  std::uint32_t keep_blocks = 0;  // PowerCut: cached blocks that reached the medium
  int fired = 0;  // filled in by the drive
};

// Convenience makers for the common faults.
FaultRule read_error(std::uint32_t first, std::uint32_t last, Sense s = {0x03, 0x11, 0x00});
FaultRule write_error(std::uint32_t first, std::uint32_t last, Sense s = {0x03, 0x0C, 0x00});
FaultRule command_fails(std::uint8_t opcode, Sense s);
FaultRule transport_status(std::int32_t status, std::optional<std::uint8_t> opcode = std::nullopt);
FaultRule drop_connection(std::optional<std::uint8_t> opcode = std::nullopt);
FaultRule delay_answer(std::uint64_t ms, std::optional<std::uint8_t> opcode = std::nullopt);
FaultRule replace_answer(std::uint8_t opcode, std::vector<std::uint8_t> data);
FaultRule power_cut_at(std::optional<std::uint8_t> opcode = std::nullopt, std::uint32_t keep_blocks = 0);
// The allocation length a CDB states for its data in (nullopt: the opcode
// states none the drive knows of).
std::optional<std::uint32_t> cdb_allocation_length(const std::uint8_t* cdb, std::size_t len);

class ChangerDrive {
 public:
  ChangerDrive(DriveConfig config, std::shared_ptr<Cartridge> cartridge);

  // Executes one CDB. data_out is the data sent to the drive; data_in
  // receives what the drive returns (the caller cuts it to its transfer
  // length). Thread-safe: commands run one at a time.
  ScsiResult execute(const std::uint8_t* cdb, std::size_t cdb_length, const std::uint8_t* data_out,
                     std::size_t data_out_length, std::vector<std::uint8_t>* data_in);

  // Faults. add_fault returns an id for remove_fault.
  int add_fault(FaultRule rule);
  void remove_fault(int id);
  void clear_faults();
  int fault_fired(int id) const;
  // The first service-level rule (transport status, drop, delay) that
  // matches the CDB, consumed as it fires.
  std::optional<FaultRule> take_service_fault(const std::uint8_t* cdb, std::size_t cdb_length);

  // Write protection. set_write_protect sets all three signals together; the
  // others set one each: the cartridge's tab (MECHANISM STATUS byte 9 bit 0),
  // the medium's WP bit (MODE SENSE header byte 3 bit 7), and the refusal of
  // writes (WRITE(10), FORMAT UNIT, RESERVE TRACK, CLOSE TRACK/SESSION, D2h)
  // with 03/27/00.
  void set_write_protect(bool on);
  // MECHANISM STATUS as a failing changer answers it: bits ORed into byte 0
  // (fault 0x80, changer state 0x60), and a reported slot other than the
  // loaded one (-1: the loaded one).
  void set_mechanism_bits(std::uint8_t byte0_bits);
  void set_reported_slot(int slot);
  void set_cartridge_write_protect(bool on);
  void set_medium_write_protect(bool on);
  void set_write_refusal(bool on);

  // Cartridge changes made while the drive serves (taken between commands).
  DWORD remove_attribute(std::uint16_t id);
  DWORD add_defect(int slot, const DefectEntry& e);
  // Sets the pseudo-overwrite resources left on a slot's disc: a test's way
  // to bring one disc to the end of its resources (a rewrite they cannot
  // cover is then refused with 05/21/02).
  DWORD set_write_resources(int slot, const WriteResources& r);
  // Takes the disc out (no disc loaded) or puts the given slot in, as the
  // drive held it when it started: no attention and no event is raised.
  void unload();
  DWORD load(int slot);
  // The drive loses power: what its cache held since the last good
  // SYNCHRONIZE CACHE is lost (the first `keep_blocks` blocks of it, in the
  // order written, had reached the medium; a disc records whole clusters,
  // so on a write-once disc not the cluster the cut falls in, and on a
  // rewritable one that cluster is torn, failing reads with 03/11/00 until
  // a write covers it whole, when any of its blocks had): rewritten blocks
  // hold their former data again, blocks written past the positions of the
  // last good sync are unrecorded, and those positions (NWA, highest written
  // block) are as they were, a write-once NWA moved on by what was kept to
  // the end of its cluster. The disc stays loaded; the drive starts again as
  // it does when made (unit attention 06/29/00, a new-media event).
  void power_cut(std::uint32_t keep_blocks = 0);

  // How many commands needing the medium a newly loaded disc refuses as
  // becoming ready (DriveConfig::loading_commands), from the next load on.
  void set_loading_commands(std::uint32_t commands);

  const DriveConfig& config() const { return config_; }
  std::shared_ptr<Cartridge> cartridge() const { return cart_; }
  // Runs `look` on the cartridge between two commands: the way to read its
  // state while a client is served.
  void inspect(const std::function<void(Cartridge&)>& look);
  // Writes the cartridge state file now.
  DWORD flush();

  // Drive-side records a test may look at.
  struct Observed {
    std::uint32_t clock_seconds = 0;       // last CFh
    int alarms = 0;                        // DCh/E6h received
    std::vector<std::uint8_t> last_alarm_cdb;
    int dfl_increments = 0;                // C6h
    std::vector<std::pair<std::uint32_t, std::uint32_t>> reserved_writes;  // D2h (lba, count)
    std::map<std::uint8_t, std::vector<std::uint8_t>> mode_pages_selected;  // page -> last list
    bool prevent_removal = false;
  };
  Observed observed() const;

 private:
  // The drive's commands read their entry in the one table of them
  // (drive_command_table.cpp), whose handlers are the members below.
  friend struct DriveCommand;
  struct Ctx;
  ScsiResult run(Ctx& c);
  std::optional<FaultRule> match_drive_fault(const std::uint8_t* cdb, std::size_t len);

  // Command handlers.
  ScsiResult inquiry(Ctx& c);
  ScsiResult test_unit_ready(Ctx& c);
  ScsiResult read10(Ctx& c);
  ScsiResult write10(Ctx& c);
  ScsiResult verify10(Ctx& c);
  ScsiResult sync_cache(Ctx& c);
  ScsiResult read_capacity(Ctx& c);
  ScsiResult read_format_capacities(Ctx& c);
  ScsiResult format_unit(Ctx& c);
  ScsiResult read_disc_information(Ctx& c);
  ScsiResult read_track_information(Ctx& c);
  ScsiResult reserve_track(Ctx& c);
  ScsiResult close_track_session(Ctx& c);
  ScsiResult mechanism_status(Ctx& c);
  ScsiResult load_unload(Ctx& c);
  ScsiResult read_attribute(Ctx& c);
  ScsiResult write_attribute(Ctx& c);
  ScsiResult mode_sense(Ctx& c);
  ScsiResult mode_select(Ctx& c);
  ScsiResult read_disc_structure(Ctx& c);
  ScsiResult get_performance(Ctx& c);
  ScsiResult get_event_status(Ctx& c);
  ScsiResult request_sense(Ctx& c);
  ScsiResult start_stop_unit(Ctx& c);
  ScsiResult prevent_allow_removal(Ctx& c);
  ScsiResult reserve_write(Ctx& c);
  ScsiResult opc_information(Ctx& c);
  ScsiResult set_clock(Ctx& c);
  ScsiResult maintenance_read(Ctx& c);
  ScsiResult defect_list_increment(Ctx& c);
  ScsiResult alarm_report(Ctx& c);

  bool latest_model() const;  // QMR-T400A, QMR-T400B
  Disc* loaded_disc();
  Track* track_of(Disc& d, std::uint32_t lba);
  void note_written_slot();
  ScsiResult read_checks(Ctx& c, Disc** disc, std::uint32_t* lba, std::uint32_t* count);
  ScsiResult write_once_checks(Disc& disc, std::uint32_t lba, std::uint32_t end, Track** track);
  bool use_pow(std::uint32_t lba, std::uint32_t end, const Track& t);
  void calibrate_once();
  std::vector<std::uint8_t> mode_page(std::uint8_t page) const;
  static bool defect_list_unit(const std::vector<DefectEntry>& list, std::size_t header, std::uint32_t unit,
                               std::vector<std::uint8_t>* out);

  DriveConfig config_;
  std::shared_ptr<Cartridge> cart_;
  mutable std::mutex mu_;
  std::map<int, FaultRule> faults_;
  int next_fault_id_ = 1;
  Observed observed_;
  std::uint8_t mechanism_bits_ = 0;
  int reported_slot_ = -1;
  bool opc_since_load_ = false;  // the calibration of this load is done
  std::map<std::uint8_t, std::vector<std::uint8_t>> mode_pages_;
  // The block ranges [first, end) written since the last good SYNCHRONIZE
  // CACHE, in their order, and the first failed block a failed WRITE(10) or
  // sync left for GET PERFORMANCE (kept until a good sync).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> unsynced_;
  std::optional<std::uint32_t> failed_block_;
  // What a power cut gives back: the loaded disc's positions at the last
  // good sync, and each unsynced write with the blocks it replaced (empty:
  // none of them held data).
  struct CachedWrite {
    std::uint32_t lba = 0, count = 0;
    std::vector<std::uint8_t> before;
  };
  struct CacheStart {
    std::vector<std::uint32_t> nwa;
    std::uint32_t highest_written = 0;
    std::set<std::uint32_t> torn_clusters;
    std::vector<CachedWrite> writes;
  };
  std::optional<CacheStart> cache_start_;
  std::optional<Sense> attention_;  // unit attention for the next command
  // Commands needing the medium the newly loaded disc still refuses as
  // becoming ready; the disc that was taken out last (a START STOP UNIT
  // load puts it back); media events not yet reported, oldest first.
  std::uint32_t loading_left_ = 0;
  int last_unloaded_ = -1;
  struct MediaEvent {
    std::uint8_t code = 0;
    int slot = 0;
  };
  std::deque<MediaEvent> events_;
  std::optional<Sense> state_answer(std::uint8_t opcode);
  void power_on();
  void disc_changed(int from);
  void note_event(std::uint8_t code, int slot);
  void forget_cache();
  void record_cache();
  void close_clusters(Disc& disc);
  void keep_for_power_cut(Disc& disc, std::uint32_t lba, std::uint32_t count, const Track* t);
  void power_cut_locked(std::uint32_t keep_blocks);
  void give_back(Disc& disc, const CacheStart& start, std::uint32_t keep_blocks);
  void note_result(const std::uint8_t* cdb, std::size_t len, std::optional<Sense> sense, std::uint32_t first_bad = 0);
  void lose_unsynced(std::uint32_t first_bad, std::uint32_t failed_end);
  void cut_cluster(Disc& disc, const CacheStart& start, const std::vector<std::uint32_t>& kept, std::uint32_t cut);
  void fill_blocks(std::uint32_t from, std::uint32_t to, std::uint8_t byte);
  bool torn(const Disc& disc, std::uint32_t lba, std::uint32_t end) const;
  bool partly_torn(const Disc& disc, std::uint32_t lba, std::uint32_t end) const;
};

}  // namespace kelsim
