// The host's side of the fragment exchange for the handler tests: request
// lines of Archive, Restore and Verify with their callbacks, and a host that
// fills the fragment buffer named by each "KelFragment" with the next piece
// of a file, or takes the bytes a Restore placed there.
#pragma once

#include "handler_harness.h"

#include <cstdint>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace handlertest {

constexpr std::uint64_t kNewFileBlock = 0xFFFFFFFFFFFFFFFFull;
// 2023-11-14 22:13:20 and 22:15:00 UTC as file times.
constexpr std::uint64_t kCreationFileTime = 133444672000000000ull;
constexpr std::uint64_t kModificationFileTime = 133444673000000000ull;

std::string archiveLine(std::uint64_t seq, const std::string& name, std::uint32_t generation,
                        std::uint32_t version, std::uint64_t block = kNewFileBlock);
std::string restoreLine(std::uint64_t seq, const std::string& name, std::uint32_t generation,
                        std::uint32_t version, std::uint64_t offset, std::uint64_t length);
std::string verifyLine(std::uint64_t seq, const std::string& name, std::uint32_t generation,
                       std::uint32_t version);
std::string openFragmentLine(std::uint64_t seq, std::uint32_t io_size);
std::string writeLine(std::uint64_t seq, std::uint64_t file_size, std::uint32_t bytes);
std::string readLine(std::uint64_t seq);
std::string failureLine(std::uint64_t seq, std::uint32_t code);

// Bytes 0..n-1 of a pattern that differs with seed.
std::string pattern(std::size_t n, unsigned seed);

class FragmentHost {
 public:
  explicit FragmentHost(HandlerHarness& h);
  // The callback lines of one Archive of data in pieces of io_size, and
  // the pieces queued for the buffer.
  // With lines set, only the first that many "WriteCallback" lines (a host
  // that stops after an "HRESULT").
  std::string archiveCallbacks(std::uint64_t seq, const std::string& data, std::uint32_t io_size,
                               std::size_t lines = SIZE_MAX);
  // Bytes handed over by Restore or Verify so far.
  std::string received;
  // "KelFragment" elements seen.
  std::vector<std::string> fragments;

 private:
  void element(const std::string& e);
  // Pieces still to put into the buffer, by the sequence number of their
  // Archive.
  std::map<std::uint64_t, std::deque<std::string>> archives_;
};

}  // namespace handlertest
