// The user-data writer as the request handlers use it: one file at a time is
// opened, sized, written or read, and closed; the packed session is ended
// for Format, Sync and reads of packed files. The library's writer serves it
// unless another is installed (tests install a recording one).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kel {

// A piece of a packed file's data in its session's buffer, in blocks from
// the file's own start there; the session's end gives the file exactly
// these blocks.
struct PackedPiece {
  std::uint64_t Offset = 0;
  std::uint64_t Blocks = 0;
};

// One open file of the writer. Results are writer result codes (0 success);
// LastWin32Error gives the Win32 code of the last failure. Dropping a file
// without Close gives the writer's open gate back.
class WriterFile {
 public:
  virtual ~WriterFile() = default;
  // Sets the virtual file pointer.
  virtual void Seek(std::int64_t pointer) = 0;
  // Fixes the file's size at the virtual file pointer.
  virtual std::uint32_t SetEndOfFile() = 0;
  // Makes sure the writer object exists, then writes through it.
  virtual std::uint32_t Write(const void* data, std::uint32_t length, std::uint32_t* written) = 0;
  // Reads through the writer object; no writer object reads 0 bytes.
  virtual std::uint32_t Read(void* data, std::uint32_t length, std::uint32_t* read) = 0;
  // Makes sure the writer object exists, then flushes it.
  virtual std::uint32_t Flush() = 0;
  // Times in seconds since 1970.
  virtual std::uint32_t SetFileTime(std::uint64_t creation, std::uint64_t access,
                                    std::uint64_t modification) = 0;
  virtual std::uint32_t Close() = 0;
  // The file's close then only marks the volume dirty and leaves its flush
  // to the caller, who flushes the volume itself after the close: the
  // entries the close changes are written with that flush, in one round.
  virtual void PostponeFlushAtClose() = 0;
  virtual std::uint32_t LastWin32Error() const = 0;
  // Blocks the file's writer object holds in its buffers (packed files
  // wait there until the session ends, each piece padded to whole
  // recording units: the next file of the session starts behind them); 0
  // on success.
  virtual std::uint32_t CacheBlocks(std::uint64_t* blocks) = 0;
  // A packed file's data pieces (none for a file of no session); 0 on
  // success.
  virtual std::uint32_t PackedPieces(std::vector<PackedPiece>* pieces) = 0;
};

// A file of a packed session: where the host has it, and its object id.
struct SessionFile {
  std::string Path;
  std::int64_t ObjectId = -1;
};

// The end of a packed session as the handlers see it: the first failure
// (its Win32 code; 0 none) and the archived files it lost, which the
// writer removed from the volume (Lost names those whose archive was
// answered). An end whose data did not reach the disc keeps the files
// waiting, their data with the writer, for the next end (Kept).
struct SessionEnd {
  std::uint32_t Win32 = 0;
  std::uint32_t LostFiles = 0;
  std::vector<SessionFile> Lost;
  std::vector<SessionFile> Kept;
  bool Failed() const { return Win32 != 0 || LostFiles != 0; }
};

struct UserDataWriter {
  // Opens the file the engine's CreateFile named (stored name) with access
  // 0x40000000 or 0xC0000000, a port creation disposition 0 to 5 and the
  // attributes; 0 with the file in *out.
  std::uint32_t (*Open)(const std::u16string& stored_name, std::uint32_t access,
                        std::uint32_t port_disposition, std::uint32_t attributes,
                        std::unique_ptr<WriterFile>* out) = nullptr;
  // A packed session is open (files wait in the packed buffer).
  bool (*SessionOpen)() = nullptr;
  // Ends the packed session (forced, policy 6), or waits for the end that
  // another thread (the idle timer) runs, and answers that end; nothing
  // open: no failure.
  SessionEnd (*EndSession)() = nullptr;
  // The failed ends the host has not been told of (the first failure, the
  // files lost by all), taken: a Sync or an unmount tells the host.
  SessionEnd (*TakeUnreported)() = nullptr;
  // The engine's last end (before the unmount): files that cannot be
  // written now are lost, none waits. Unset: EndSession.
  SessionEnd (*LastEnd)() = nullptr;
};

// The writer the handlers use.
const UserDataWriter& CurrentUserDataWriter();
// Installs another writer (nullptr: the library's own). It must outlive its
// use.
void SetUserDataWriter(const UserDataWriter* writer);

}  // namespace kel
