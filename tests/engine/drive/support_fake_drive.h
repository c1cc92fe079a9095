// Test stand-ins for the calls storage_scsi makes outside the engine:
// quorvel_scsi_transfer answered by a small in-memory drive that records
// every CDB it receives (or passed on to the real pipe client), and the
// interface library's log sink.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fakedrive {

struct Call {
  std::vector<std::uint8_t> cdb;  // cdb_len bytes as handed over
  int direction = 0;
  std::uint32_t transfer_len = 0;
  std::uint8_t sense_len = 0;
  std::vector<std::uint8_t> data_out;
};

struct Fault {
  std::optional<std::uint8_t> opcode;  // any command when unset
  std::uint8_t key = 3, asc = 0x0C, ascq = 0;
  int transport = 0;  // non-zero: the transfer itself fails with this code
  int times = -1;     // -1 always
  int skip = 0;
  std::uint8_t status = 1;  // status byte reported with the sense (1 CHECK CONDITION)
};

struct Attribute {
  std::uint8_t format = 0;
  std::vector<std::uint8_t> value;
};

struct Drive {
  std::string vendor = "TARN";
  std::string product = "QMR-T300B";
  std::string revision = "1700";
  std::string serial = "KSIM00000001";
  std::uint16_t transfer_units = 8;
  std::uint8_t medium_type = 0xE1;
  bool disc_loaded = true;
  int slots = 12;
  int loaded_slot = 0;
  bool cartridge_wp = false;
  bool medium_wp = false;
  bool write_unsupported = false;
  std::uint32_t recovery_threshold = 0;
  std::uint8_t uid[14] = {'U', 'I', 'D', '-', '0', '0', '0', '0', '0', '0', '0', '0', '0', '1'};
  std::uint32_t capacity_blocks = 0x100000;
  std::uint32_t tracks = 0xFFFFFFFFu;  // READ TRACK INFORMATION refuses higher track numbers
  std::map<std::uint16_t, Attribute> attributes;
  std::map<std::uint32_t, std::vector<std::uint8_t>> blocks;  // sparse image
  std::uint16_t opc_byte1 = 0x12;
  std::vector<std::uint8_t> di;  // READ DISC STRUCTURE 00h answer after its header
  std::vector<std::uint8_t> dds;  // format 08h answer (104 bytes)
  std::vector<std::uint8_t> dfl;  // format 12h answer, header included
  std::vector<std::uint8_t> performance;  // GET PERFORMANCE answer
  std::function<bool(const Call&, std::vector<std::uint8_t>* data_in)> hook;  // true: answered
};

// Resets the drive to its defaults, clears the transcript and the faults.
void reset();
Drive& drive();
std::vector<Call> transcript();
// Clears the recording drive's transcript and runs the hook, if one is set
// (the tests against the simulated drive clear the service's transcript).
void clear_transcript();
void set_clear_hook(std::function<void()> hook);
// Calls whose CDB starts with the operation code.
std::vector<Call> calls_of(std::uint8_t opcode);
void add_fault(const Fault& f);
void clear_faults();
// Sends the drive layer's commands through the real pipe client (to the
// simulated host service) instead of the recording drive.
void use_pipe(bool on);
// Fills a cartridge memory that the system accepts for the medium type.
void fill_good_attributes(std::uint8_t medium_type);

}  // namespace fakedrive

namespace fakelog {
void reset();
std::vector<std::string> lines();
bool contains(const std::string& needle);
int count(const std::string& needle);
}  // namespace fakelog
