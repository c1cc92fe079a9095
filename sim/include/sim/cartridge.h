// A cartridge of the simulated changer: its cartridge memory (attributes) and
// one disc per slot. It lives in a directory: "cartridge.state" (readable
// text) and one sparse image "slot-NN.img" per slot, and survives a restart.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelsim {

constexpr std::uint32_t kBlockSize = 2048;
// Default disc size: 16 GiB per slot, sparse on disk.
constexpr std::uint32_t kDefaultDiscBlocks = 0x800000;

// Medium classes by medium type byte.
bool is_write_once_type(std::uint8_t medium_type);   // E1h E3h E5h E7h F1h F2h
bool is_rewritable_type(std::uint8_t medium_type);   // 53h E2h E4h E6h E8h
// F1h, F2h and E5h: cartridge type 2 with 11 discs; others type 1 with 12.
bool is_type2_cartridge(std::uint8_t medium_type);

// One attribute of the cartridge memory.
struct Attribute {
  std::uint8_t format = 0;  // 0 binary, 1 ASCII, 2 text
  std::vector<std::uint8_t> value;
};

// One entry of a rewritable disc's defect list as READ DISC STRUCTURE
// format 12h reports it (8 bytes, big-endian): status in bits 60-63, the
// physical sector number in bits 32-59, bits 0-31 the rest (status 4: the
// number of 32-block clusters in bits 0-26).
struct DefectEntry {
  std::uint8_t status = 0;
  std::uint32_t psn = 0;
  std::uint32_t low = 0;
  std::uint64_t encoded() const {
    return static_cast<std::uint64_t>(status & 0x0F) << 60 | static_cast<std::uint64_t>(psn & 0x0FFFFFFF) << 32 | low;
  }
  bool operator==(const DefectEntry&) const = default;
};
// First physical sector of the user data of layer 0 (DDS word 36): on a
// single-layer disc logical block n is physical sector kFirstUserPsn + n.
constexpr std::uint32_t kFirstUserPsn = 0x100000;
// A defect of one block (status 0), or with clusters > 0 a run of that many
// 32-block clusters (status 4), at logical block lsn of layer 0.
DefectEntry defect_at(std::uint32_t lsn, std::uint32_t clusters = 0);

// Disc status as READ DISC INFORMATION reports it.
enum class DiscStatus : std::uint8_t { Blank = 0, Incomplete = 1, Complete = 2 };

// Pseudo-overwrite resources of one write-once disc, as READ DISC
// INFORMATION data type 2 reports them: clusters of the spare area left for
// replacements, entries left in the reallocation map, and updates of the map
// left. Each disc has its own spare area and map; one disc's rewrites leave
// the others' resources whole.
struct WriteResources {
  std::uint32_t replacements = 0;
  std::uint32_t map_entries = 0;
  std::uint32_t updates = 0;
  bool operator==(const WriteResources&) const = default;
};
// What a new disc of a medium type offers: a spare area of 4,096 clusters
// (256 MiB of 64 KiB clusters; 1 GiB of 256 KiB clusters on F2h), a map
// entry for each and 4,096 map updates. A rewritable disc rewrites in place
// and reports the same figures without using them.
WriteResources default_write_resources(std::uint8_t medium_type);
// Blocks of one recording cluster: 128 on F2h, 32 on the other types. A
// pseudo-overwrite replaces whole clusters.
std::uint32_t cluster_blocks(std::uint8_t medium_type);

struct Track {
  std::uint32_t start = 0;
  std::uint32_t size = 0;
  std::uint32_t nwa = 0;      // next writable address (write-once)
  bool closed = false;
  bool reserved = false;      // made by RESERVE TRACK
  std::uint32_t end() const { return start + size; }
  bool writable() const { return !closed && nwa < end(); }
};

struct Disc {
  bool formatted = false;           // FORMAT UNIT done
  bool finalized = false;           // CLOSE TRACK/SESSION finalised it
  DiscStatus status = DiscStatus::Blank;
  std::vector<Track> tracks;        // write-once: 1 or 2 tracks
  std::uint32_t highest_written = 0;  // rewritable: one past the highest block written
  std::vector<std::uint8_t> unique_id;  // 14 bytes, INQUIRY page C1h
  std::vector<DefectEntry> defects;     // rewritable: the defect list
  std::uint16_t opc_used = 0;           // calibrations made on this disc (write-once)
  WriteResources pow;                   // pseudo-overwrite resources left on this disc
  // Rewritable: the 32-block clusters a power cut tore in the middle of
  // their recording. Their error-correcting code no longer holds: they fail
  // every read until a write covers them whole.
  std::set<std::uint32_t> torn_clusters;
};

struct CartridgeSetup {
  std::uint8_t medium_type = 0xE1;
  std::uint8_t slots = 0;                 // 0: 11 for type-2 cartridges, else 12
  std::uint32_t disc_blocks = kDefaultDiscBlocks;  // rounded up to a multiple of 32
  std::string medium_serial;              // empty: made from the directory name
  // First 12 bytes of each disc's medium identifier (INQUIRY page C1h), the
  // slot number in two digits follows; empty: the medium serial.
  std::string unique_id_prefix;
  std::uint8_t loaded_slot = 0;           // the slot loaded at start (attribute 0D00h too)
  // Pseudo-overwrite resources of each new disc (unset: the medium type's
  // default_write_resources), so that a test's few rewrites reach a limit.
  std::optional<std::uint32_t> pow_replacements;
  std::optional<std::uint32_t> pow_map_entries;
  std::optional<std::uint32_t> pow_updates;
  std::uint16_t opc_count = 0x0020;
  // Rewritable discs of a new cartridge come physically formatted (READ
  // FORMAT CAPACITIES reports formatted media, blocks read as zeros) and
  // hold no volume; false: never formatted, every read answers 05/30/10
  // until FORMAT UNIT.
  bool rewritable_formatted = true;
};

class Cartridge {
 public:
  // Creates a blank cartridge in dir (created when missing; must not hold a
  // cartridge yet). ERROR_INVALID_PARAMETER for a medium type, slot count or
  // size the drive cannot hold.
  static DWORD create(const std::string& dir, const CartridgeSetup& setup, std::shared_ptr<Cartridge>* out);
  // Opens the cartridge stored in dir with the disc that was loaded when it
  // was saved still loaded (none when none was). ERROR_FILE_NOT_FOUND when there is none,
  // ERROR_INVALID_DATA for a damaged state file.
  static DWORD open(const std::string& dir, std::shared_ptr<Cartridge>* out);
  ~Cartridge();

  // Takes the lock on the cartridge's folder that marks it as served, held
  // while this cartridge is open: a cartridge is in one drive at a time.
  // ERROR_BUSY when it is held already (by another service, or another
  // drive of this one).
  DWORD hold_folder();

  const std::string& directory() const { return dir_; }
  std::uint8_t medium_type() const { return medium_type_; }
  bool write_once() const { return is_write_once_type(medium_type_); }
  std::uint8_t slots() const { return static_cast<std::uint8_t>(discs_.size()); }
  std::uint32_t disc_blocks() const { return blocks_; }

  // State below is guarded by the caller (the drive serialises commands);
  // save() writes it to the state file.
  int loaded_slot = 0;               // -1: no disc in the drive
  // Three write-protect signals, set apart or together (ChangerDrive):
  bool write_protected = false;         // the cartridge's tab: MECHANISM STATUS byte 9 bit 0
  bool medium_write_protected = false;  // the medium's WP bit in the MODE SENSE header
  bool writes_refused = false;          // writes answered 03/27/00
  // Write resources of a write-once disc (Disc::pow): every write over
  // recorded blocks (a pseudo-overwrite) uses one update, and one map entry
  // and one replacement per cluster, of the loaded disc; the first write
  // after each load uses one calibration of that disc. A rewrite the disc's
  // resources cannot cover is refused.
  // Calibrations (OPC) each disc offers; a disc has its own calibration
  // area, so what one disc used (Disc::opc_used) leaves the others whole.
  std::uint16_t opc_count = 0x0020;
  // Calibrations left on a slot's disc.
  std::uint16_t opc_left(int slot) {
    const std::uint16_t used = disc(slot).opc_used;
    return static_cast<std::uint16_t>(opc_count > used ? opc_count - used : 0);
  }
  std::map<std::uint16_t, Attribute> attributes;
  std::vector<Disc> discs_;

  Disc& disc(int slot) { return discs_.at(static_cast<std::size_t>(slot)); }

  // Block I/O on a slot's image. Blocks never written read as zeros.
  DWORD read_blocks(int slot, std::uint32_t lba, std::uint32_t count, std::uint8_t* out);
  DWORD write_blocks(int slot, std::uint32_t lba, std::uint32_t count, const std::uint8_t* in);

  // Writes the state file (temporary file, then rename) and empties the journal.
  DWORD save();

  // Values that change with every write are journalled instead of saving the
  // whole state: one small record appended per change, replayed over the
  // state file when the cartridge is opened.
  enum class Journalled : std::uint8_t {
    TrackNwa = 1,        // index: track of the slot's disc
    HighestWritten = 2,  // rewritable disc
    PowReplacements = 3,  // of the slot's disc, as the three below
    PowMapEntries = 4,
    PowUpdates = 5,
    OpcCount = 6,  // the cartridge-wide count of older journals
    OpcUsed = 7,   // Disc::opc_used of the slot's disc
  };
  DWORD journal(int slot, Journalled what, std::uint32_t index, std::uint32_t value);

  // Drops an attribute from the cartridge memory (reads of it then answer
  // 05/24/00) and saves. ERROR_NOT_FOUND when it is not there.
  DWORD remove_attribute(std::uint16_t id);
  // Sets the pseudo-overwrite resources left on a slot's disc and saves.
  DWORD set_write_resources(int slot, const WriteResources& r);
  // Adds an entry to the defect list of a slot's disc and saves.
  DWORD add_defect(int slot, const DefectEntry& e);
  // Sets the 14-byte medium identifier of a slot's disc (shorter: blank
  // padded, longer: cut) and saves.
  DWORD set_unique_id(int slot, const std::string& id);

 private:
  Cartridge() = default;
  int image_fd(int slot);
  DWORD load_state();
  bool load_state_line(const std::string& line, bool* have_type);
  bool load_cartridge_line(const std::string& key, std::istream& in, bool* have_type);
  bool loaded_state_holds(bool have_type) const;
  DWORD replay_journal();

  std::string dir_;
  std::uint8_t medium_type_ = 0;
  std::uint32_t blocks_ = 0;
  std::vector<int> fds_;
  int journal_fd_ = -1;
  int folder_lock_fd_ = -1;
  std::uint32_t generation_ = 0;  // of the state file; journal records carry it
  std::mutex io_mu_;
};

// Attributes of a blank cartridge as the system expects them.
std::map<std::uint16_t, Attribute> blank_cartridge_attributes(std::uint8_t medium_type, const std::string& serial,
                                                              std::uint8_t last_slot);

}  // namespace kelsim
