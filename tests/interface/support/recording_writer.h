// A recording user-data writer for the handler tests over the fake engine:
// the file a handler opens is the fake engine's file of the last CreateFile;
// every call is recorded with the phase of the drive-command context, and
// failures can be injected per call. In packed mode a file's bytes wait in
// the session (the volume shows zeros, as a placeholder) until the session
// ends; a file gets its extents at close.
#pragma once

#include "kel/writer_port.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace handlertest {

struct RecordingWriter {
  // "Open(name,0x40000000,1,0x80)@phase", "SetEndOfFile(n)@phase",
  // "Write(n)@phase", "Read(n)@phase", "Flush@phase", "SetFileTime(c,a,m)@phase",
  // "Close@phase", "Drop" (a file released without Close), "EndSession@phase".
  std::vector<std::string> calls;
  std::uint32_t open_result = 0;
  // The n-th Write of the run (from 1) fails with write_error (its last
  // Win32 error); write_takes_nothing makes every Write take 0 bytes.
  int fail_write_at = 0;
  std::uint32_t write_error = 112;
  bool write_takes_nothing = false;
  std::uint32_t close_result = 0;
  // Blocks answered by CacheBlocks, one per call (0 when the list is empty);
  // a failing call answers 1.
  std::deque<std::uint64_t> cache_blocks;
  bool cache_blocks_fail = false;
  // Packed session: opened by a write in packed write mode. Its end
  // answers end_result; a failed end (end_result or lost files) is kept
  // for TakeUnreported, as the writer keeps it.
  bool session = false;
  kel::SessionEnd end_result;
  kel::SessionEnd unreported;
  // Unmount calls the fake engine had seen at each end of a session.
  std::vector<int> unmounts_at_ends;
  // Extents given at close: from next_block, at most extent_blocks each.
  std::uint64_t next_block = 5000;
  std::uint32_t extent_blocks = 1000000;
  int writes = 0;
  // Bytes of files of the open session, by path.
  std::map<std::string, std::vector<std::uint8_t>> waiting;

  void reset() { *this = RecordingWriter{}; }
  std::vector<std::string> callsNamed(const std::string& prefix) const;
};

RecordingWriter& writer();
// The writer port over the recording writer.
const kel::UserDataWriter& recordingWriterPort();

}  // namespace handlertest
