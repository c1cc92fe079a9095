// Runs the request loop in-process: request lines from a temporary file,
// elements into another, a fresh configuration in a temporary registry file,
// and a table of recording request handlers.
#pragma once

#include "kel/kel_interface.h"
#include "loop_fake_engine.h"

#include <functional>
#include <string>
#include <vector>

namespace looptest {

// Every handler call as one line "Name(seq,arg,...)".
std::vector<std::string>& handlerCalls();
// Optional extra behaviour of the Archive handler (after recording).
extern std::function<void(CKelInterface&)> archive_hook;
// The recording table.
const kel::RequestHandlers& recordingHandlers();

class LoopHarness {
 public:
  LoopHarness();
  ~LoopHarness();
  LoopHarness(const LoopHarness&) = delete;
  LoopHarness& operator=(const LoopHarness&) = delete;

  // Writes the registry file with these KELFS values (lines such as
  // "\"Packed Write Mode\"=dword:00000100").
  void setRegistry(const std::vector<std::string>& value_lines);
  // The request lines (bytes exactly as given; the caller adds "\n").
  void setInput(const std::string& bytes);
  // quorvel_kel_run over the fake table.
  std::uint16_t run(const char* cookie = "/dev/sd1A2B");
  // The elements written so far.
  std::vector<std::string> elements();
  std::string rawOutput();
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::FILE* in_ = nullptr;
  CapturedStream out_;
};

// One request line: <ArchiveFileSystemOperation SequenceNumber=".." Opcode=".." extra>inner</..>
std::string line(std::uint64_t seq, const std::string& opcode, const std::string& extra = "",
                 const std::string& inner = "");

}  // namespace looptest
