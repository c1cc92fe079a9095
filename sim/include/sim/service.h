// The simulated host service: serves the named pipe "\\.\pipe\QuorvelAPIPipe"
// (a socket in KEL_PIPE_DIR) to any number of clients and hands each SCSI
// request to the drive of its medium cookie. Every request is recorded in a
// transcript.
//
// One client process per medium, as a careful host serves it: the first
// process whose command names a cookie is that medium's client until none of
// its connections is left open; meanwhile the commands of any other process
// for that cookie are answered kStatusMediumInUse, unserved. Several
// connections of one process (an engine and its drive utility library) share
// the medium.
#pragma once

#include "platform/pipe.h"
#include "platform/sync.h"
#include "sim/drive.h"
#include "sim/wire.h"

#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelsim {

constexpr const char* kServicePipeName = "QuorvelAPIPipe";
// Largest request the service reads: a 255-byte CDB and 65535 blocks of data
// with the fixed parts. Larger messages are answered kStatusBadRequest unread.
constexpr std::uint32_t kMaxRequestBytes = 176 + 255 + 65535u * 2048u;

// One request as the service saw it.
struct TranscriptEntry {
  std::uint64_t time_ms = 0;        // process clock when the request arrived
  std::uint64_t answer_ms = 0;      // process clock when it was answered (or dropped)
  int connection = 0;               // 1, 2, ... in order of connection
  std::uint64_t key = 0;
  std::uint32_t request_code = 0;   // kScsiRequestCode, or the control code
  std::uint64_t cookie = 0;
  std::uint64_t sequence = 0;
  std::uint32_t phase = 0;
  std::uint8_t unmount = 0;
  bool data_out = false;
  std::vector<std::uint8_t> cdb;
  std::uint32_t data_length = 0;    // data out length, or the transfer length asked for
  // WRITE ATTRIBUTE (8Dh) only: the parameter list sent.
  std::vector<std::uint8_t> parameter_list;
  std::uint8_t sense_capacity = 0;
  std::uint32_t timeout_seconds = 0;
  // Result.
  std::int32_t status = 0;          // transport status of the answer
  bool answered = false;            // false: dropped by a fault, or the connection broke
  bool check_condition = false;
  Sense sense;
  std::uint32_t data_in_length = 0; // data bytes returned
  std::uint32_t sense_length = 0;   // sense bytes returned
  std::uint32_t unrecorded_blocks = 0;  // READ(10) of a write-once disc: blocks never recorded

  std::uint8_t opcode() const { return cdb.empty() ? 0 : cdb[0]; }
  bool is_notice() const { return cdb.empty(); }
  // One line for logs: "seq=.. phase=.. cookie=.. CDB=28 00 .. -> GOOD/CHECK 3/11/00 ..."
  std::string line() const;
};

class HostService {
 public:
  explicit HostService(std::string pipe_name = kServicePipeName);
  ~HostService();
  HostService(const HostService&) = delete;
  HostService& operator=(const HostService&) = delete;

  // The drive that answers requests with this medium cookie.
  void add_drive(std::uint64_t cookie, std::shared_ptr<ChangerDrive> drive);
  std::shared_ptr<ChangerDrive> drive(std::uint64_t cookie) const;

  // Ends the hold of the medium's client process: the next process to send
  // a command for the cookie becomes its client. For a test process that
  // served as the client and keeps its connection open.
  void release_medium(std::uint64_t cookie);

  // Listens on the pipe (KEL_PIPE_DIR is read now) and serves until stop().
  DWORD start();
  // Stops accepting, breaks every connection, joins all threads and saves
  // every cartridge.
  void stop();
  bool running() const { return running_; }
  std::string socket_path() const { return server_.socket_path(); }

  // Transcript.
  std::vector<TranscriptEntry> transcript() const;
  void clear_transcript();
  // Keeps at most the newest `limit` entries (0: all), for long runs.
  void set_transcript_limit(std::size_t limit);
  // Waits (process clock) until the transcript holds at least n entries.
  bool wait_for_requests(std::size_t n, DWORD timeout_ms);
  // Called with each entry once its answer went out (or it was dropped).
  void set_request_logger(std::function<void(const TranscriptEntry&)> fn);

  // Number of client connections currently open.
  int connections() const;
  // Number of request messages read so far (answered or not yet).
  std::uint64_t received() const { return received_.load(); }

  // Answers held by a delay fault: the command has run on the drive and its
  // answer waits. held() counts them since the start; wait_for_held waits
  // (process clock) until at least n were held; last_held() is the newest
  // one's transcript entry (not yet in the transcript). release_held() sends
  // every answer held now (to a client that may be gone).
  std::uint64_t held() const;
  bool wait_for_held(std::uint64_t n, DWORD timeout_ms);
  TranscriptEntry last_held() const;
  void release_held();

 private:
  struct Conn;
  struct Answer;
  static void build_answer(const ScsiRequestHeader& h, const ScsiResult& r, Answer* a);
  void accept_loop();
  void serve(std::shared_ptr<Conn> conn);
  void handle(const std::shared_ptr<Conn>& conn, std::vector<std::uint8_t> msg);
  // Makes the connection's process the medium's client unless another
  // process still connected is; false then.
  bool admit(const Conn& conn, std::uint64_t cookie);
  void run_command(const std::shared_ptr<Conn>& conn, TranscriptEntry e, const ScsiRequestHeader& h,
                   const std::uint8_t* cdb, const std::uint8_t* out, std::uint32_t out_len, ChangerDrive& d);
  void send_status(const std::shared_ptr<Conn>& conn, TranscriptEntry e, std::int32_t status);
  void oversized(const std::shared_ptr<Conn>& conn, const std::vector<std::uint8_t>& head);
  std::size_t record(const TranscriptEntry& e);  // before the answer goes out
  void mark_unanswered(std::size_t at);

  std::string pipe_name_;
  platform::PipeServer server_;
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> received_{0};
  std::thread acceptor_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::uint64_t, std::shared_ptr<ChangerDrive>> drives_;
  std::map<std::uint64_t, int> clients_;  // cookie -> process id of its client
  std::vector<std::shared_ptr<Conn>> conns_;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  // Starts fn on a worker thread; finished workers are joined on the way. mu_ held.
  void spawn(std::function<void()> fn);
  std::vector<Worker> threads_;
  std::deque<TranscriptEntry> transcript_;
  std::size_t transcript_base_ = 0;  // entries cleared or dropped so far
  std::size_t transcript_limit_ = 0;
  std::function<void(const TranscriptEntry&)> logger_;
  int next_conn_ = 1;
  std::uint64_t held_ = 0;
  std::uint64_t release_generation_ = 0;
  TranscriptEntry last_held_;
};

}  // namespace kelsim
