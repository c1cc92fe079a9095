// A simulated cartridge with the real cache agent thread holding the
// local cache file, for the write clusters and what is built on them.
#pragma once

#include "vfs_support.h"

#include <thread>

namespace vfs_test {

// Time stands still; a wait returns when it is notified (the agent thread
// answered) and otherwise moves the time to its deadline after a short real
// wait, so an unanswered request runs out.
class AgentWaitClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return now_.load(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::uint64_t deadline_ms) override;
  void sleep_ms(std::uint64_t ms) override { now_ += ms; }

 private:
  std::atomic<std::uint64_t> now_{1796811630000ull};
};

class AgentVolume : public SimVolume {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A write-once disc (medium `medium`) formatted with one open track whose
  // next writable address is `nwa`, the agent thread and the local cache file.
  void start_staging(std::uint8_t medium = 0xF1, std::uint32_t nwa = 0, std::uint32_t blocks = 0x10000);
  void start_agent();
  void stop_agent();
  // The 64 KiB image of an entry as the cache file holds it.
  std::vector<std::uint8_t> image_of(const cluster_entry* e);
  std::vector<std::uint8_t> disc_blocks(std::uint32_t lba, std::uint32_t count);
  // Count of SCSI commands with this operation code since the last take_opcodes().
  static int count_op(const std::vector<std::uint8_t>& ops, std::uint8_t op);
  // (LBA, blocks) of every 10-byte command with this operation code the drive received.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges(std::uint8_t op);

  AgentWaitClock agent_clock_;
  std::vector<std::string> argv_;
  std::vector<char*> argp_;
};

}  // namespace vfs_test
