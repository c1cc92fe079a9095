// A recording stand-in for the engine's 26-slot operation table, and helpers
// to run the request loop over pipes.
#pragma once

#include "kel/fsops.h"
#include "kel/scsi.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace looptest {

// The engine behind the fake table: every slot call is recorded as one line;
// results come from the maps (0 when not set).
struct FakeEngine {
  std::mutex mu;
  std::vector<std::string> calls;
  std::vector<std::u16string> log_texts;
  std::vector<std::string> log_functions;
  std::vector<unsigned> log_levels;
  int unmount_result = 0;
  int medium_type = 0xE1;
  std::map<unsigned, int> fsctl_results;  // by control code
  // Filled into the record of a control request, by code.
  std::map<unsigned, std::vector<std::uint8_t>> fsctl_out;
  std::vector<unsigned> fsctl_codes;
  // The parameter bytes of input requests (code bit 31), as many as the
  // code's length field gives.
  std::vector<std::vector<std::uint8_t>> fsctl_in;
  std::vector<std::string> getpathinfo_paths;
  // The extent count each GetPathInfo call was given.
  std::vector<unsigned> getpathinfo_extents;
  int getpathinfo_result = 0;
  // The drive-command context seen by the last Unmount call.
  kel::DriveCommandContext unmount_context;

  void reset();
  std::vector<std::string> callsSnapshot();
};

FakeEngine& engine();
// The fake table (all 26 slots set).
const FileSystemOperations& fakeOperations();

// Reads everything available from fd until EOF and splits it at the NUL
// bytes; every element must be followed by exactly one NUL (a trailing piece
// without NUL is returned with "<unterminated>" in front).
std::vector<std::string> splitElements(const std::string& bytes);
std::string readAll(int fd);

// A temporary file stream with its contents readable afterwards.
class CapturedStream {
 public:
  CapturedStream();
  ~CapturedStream();
  std::FILE* file() { return f_; }
  std::string contents();

 private:
  std::FILE* f_;
};

}  // namespace looptest
