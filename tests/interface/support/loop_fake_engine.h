// A recording stand-in for the engine's 26-slot operation table, and helpers
// to run the request loop over pipes.
#pragma once

#include "kel/fsops.h"
#include "kel/mdcfs.h"
#include "kel/scsi.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace looptest {

// A file of the scripted file store.
struct FakeFile {
  std::string data;
  int mode = 0;
  std::uint32_t id = 0;
  std::vector<MDCFS_SPACE_ENTRY> extents;
  // Set by MDCFSCTL_CUSTOMIZE_FILE_SETTING (Control bit 0).
  bool manual = false;
};

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
  // Answers for the next requests of a code, one per request, taken before
  // the two maps above (a volume whose state changes between requests).
  std::map<unsigned, std::deque<int>> fsctl_results_next;
  std::map<unsigned, std::deque<std::vector<std::uint8_t>>> fsctl_out_next;
  std::vector<unsigned> fsctl_codes;
  // Called with the code before a control request is served, outside the
  // engine lock (a test holds a caller there). Set it before the callers
  // run and clear it after they end.
  std::function<void(unsigned)> fsctl_hook;
  // The parameter bytes of input requests (code bit 31), as many as the
  // code's length field gives.
  std::vector<std::vector<std::uint8_t>> fsctl_in;
  std::vector<std::string> getpathinfo_paths;
  // The extent count each GetPathInfo call was given.
  std::vector<unsigned> getpathinfo_extents;
  int getpathinfo_result = 0;
  // With fill_volume set, FsInfo copies volume into the caller's record.
  bool fill_volume = false;
  KELFS_VOLUME_INFO volume{};
  // The drive-command context seen by the last Unmount call.
  kel::DriveCommandContext unmount_context;

  // With file_store set the file slots serve `files` (keyed by the path as
  // OpenFile gets it; CreateFile's folder and name joined with "/") and
  // record their arguments: "CreateFile(folder,name)", "OpenFile(path,mode)",
  // "CloseFile(path)", "FileIoctl(0x%08X)", "SetFileSize(n)",
  // "SetAttributes(mode)", "WriteData(offset,length)", "ReadData(offset,length)",
  // "GetInfo(path)", "SetFileTimes(c,a,m)"; CreateFile gives the new file's
  // path without its leading "/" as the stored name and a handle; a dummy
  // CloseFile (true) leaves a handle usable. Without it they only record
  // their names and answer 0.
  bool file_store = false;
  // With manual_allocation also set, as in the engine, space is added to
  // or moved in a file only after the file was switched to manual
  // allocation (else 22).
  bool manual_allocation = false;
  std::map<std::string, FakeFile> files;
  std::map<void*, std::string> open_handles;
  // Results by slot name ("CreateFile", "SetFileSize", ...) and FileIoctl
  // results by code; a set result is answered without doing anything.
  std::map<std::string, int> slot_results;
  std::map<unsigned, int> ioctl_results;
  std::vector<unsigned> ioctl_codes;
  std::vector<std::vector<std::uint8_t>> ioctl_in;  // record bytes by the code's length field
  // WriteData reports this many bytes fewer than asked.
  unsigned write_short_by = 0;
  // Extents the file gains right after a MDCFSCTL_GET_FILE_ALLOCATION count
  // query (a file that grows between the two calls).
  unsigned extents_gained_after_count = 0;
  std::uint32_t next_id = 100;

  // With packed_store also set (over file_store), the engine's side of
  // packed writing: a file opened with mode 2 joins the privileged open
  // list (by its id), which leaving the privileged mode (0x20007001)
  // empties; DeleteFile removes the file ("/$" names the dollar proxies of
  // the root's files) and keeps its blocks; MDCFSCTL_REBUILD_FILE_ALLOCATION
  // serves only files of that list, in rising index: entries below the
  // asked index are dropped, an empty list answers 0 and changes nothing,
  // a first entry above it answers 2. A served stream gets the entries as
  // its extents and the kept blocks' bytes as its data, cut to its size.
  bool packed_store = false;
  std::set<std::uint64_t> privileged_open;
  struct Released {
    std::vector<MDCFS_SPACE_ENTRY> extents;
    std::string data;
  };
  std::vector<Released> released;
  // Whole rebuild records as sent (head and max(count, 1) entries).
  std::vector<std::vector<std::uint8_t>> rebuild_records;
  // The next full MDCFSCTL_GET_FILE_ALLOCATION answer loses this many
  // blocks at its end.
  unsigned allocation_cut_blocks = 0;
  // End of the highest block allocated so far: with packed_store the track
  // information's next writable block is never below it.
  std::uint32_t allocated_end = 0;

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
