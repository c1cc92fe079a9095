// The user-data writer as the request handlers use it: one archived file is
// opened with convertPort2Writer, sized with seek/setEndOfFile, written and
// read through its writer object, and closed. The writer itself (its members,
// its writer classes and their threads) is built beside this header.
#pragma once

#include "kel/util_sync.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace AnnulusFileIO {
class BufferUserData;
}

namespace LumoQVE {

// The writer object behind an open file (real, ghost or proxy writer).
// Results are 0 on success.
class FileWriterBase;

class UserDataFileIO {
 public:
  virtual ~UserDataFileIO();

  // Opens one file of the volume for writing. root: volume name (the
  // handlers pass an empty one); relative_path: the name the engine's
  // CreateFile returned; desired_access: 0x40000000 write, 0xC0000000 read
  // and write; port_creation_disposition: 0 to 5 (the handlers pass 1 for
  // archived files and 0 for metadata files); flags_and_attributes: 0x80 for
  // archived files, 1 for metadata files. The security, reserved and template
  // arguments are not used. Returns 0 with the new object in *out; any other
  // value is a writer result code and *out is left untouched.
  static std::uint32_t convertPort2Writer(const std::u16string& root,
                                          const std::u16string& relative_path,
                                          std::uint32_t desired_access, void* security_attributes,
                                          std::uint32_t reserved,
                                          std::uint32_t port_creation_disposition,
                                          std::uint32_t flags_and_attributes, void* template_file,
                                          std::shared_ptr<UserDataFileIO>& out);

  // Sets the virtual file pointer.
  void seek(std::int64_t new_pointer);
  // Fixes the file's size at the virtual file pointer; 0 on success.
  std::uint32_t setEndOfFile();
  // Makes sure the writer object exists; 0 on success.
  std::uint32_t createWriterObject();
  // The writer object (valid after a successful createWriterObject).
  std::shared_ptr<FileWriterBase> getWriter() const;
  // Closes the file; 0 on success.
  std::uint32_t close();
  // Win32 code of the file's last failure.
  std::uint32_t getLastWin32Error() const;

  // Blocks held in the drive cache by the most recently initialised writer;
  // 0 on success.
  static std::uint32_t getCacheBlocks(std::uint64_t& blocks);
};

// The slots of a writer object the handlers call; each returns 0 on success.
class FileWriterBase {
 public:
  virtual ~FileWriterBase();
  virtual std::uint32_t write(const void* buffer, std::uint32_t length, std::uint32_t* written) = 0;
  virtual std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t* read) = 0;
  virtual std::uint32_t flush(bool wait) = 0;
  // Times are the request's file times (seconds since 1970).
  virtual std::uint32_t setFileTime(std::uint64_t creation, std::uint64_t access,
                                    std::uint64_t modification) = 0;
};

// The fixed ring of data buffers of one writer. The producer fills the
// current buffer and hands it to the writer thread, which gives it back when
// written. Buffers are built without blocks; sizeBuffers gives them one.
class WriterRingBuffer {
 public:
  explicit WriterRingBuffer(int count);
  virtual ~WriterRingBuffer();
  WriterRingBuffer(const WriterRingBuffer&) = delete;
  WriterRingBuffer& operator=(const WriterRingBuffer&) = delete;

  // Gives every buffer a block of bytes. 0, or 0xFFFFFFFD when the page
  // allocator refuses one (the buffers that got none stay without a block).
  std::uint32_t sizeBuffers(std::uint64_t bytes);

  // The buffer to fill: the current one, else the first free one in ring
  // order. Old-write mode answers an empty reference when all are with the
  // writer; new-write mode waits until one is given back, or until
  // endWaiting is called (then empty).
  std::shared_ptr<AnnulusFileIO::BufferUserData> getCurrentBuffer();
  // Hands the current buffer to the writer thread (marks it busy) and
  // returns it; the next getCurrentBuffer takes another one.
  std::shared_ptr<AnnulusFileIO::BufferUserData> handCurrentToWriter();
  // The writer thread gives a written buffer back: empties it and wakes a
  // waiting producer.
  void giveBack(const std::shared_ptr<AnnulusFileIO::BufferUserData>& buffer);
  // Ends every present and future wait of getCurrentBuffer (the writer that
  // gives buffers back has failed).
  void endWaiting();

  int count() const { return m_count; }
  std::shared_ptr<AnnulusFileIO::BufferUserData> buffer(int i) const { return m_buffers.at(i); }

 protected:
  // Called after a scan found no free buffer, just before the wait.
  virtual void beforeWait() {}

 private:
  std::shared_ptr<AnnulusFileIO::BufferUserData> takeFree();

  std::vector<std::shared_ptr<AnnulusFileIO::BufferUserData>> m_buffers;
  std::shared_ptr<AnnulusFileIO::BufferUserData> m_current;
  std::int32_t m_count;
  Util::Event m_released;
  std::atomic<bool> m_waitEnded{false};
};

}  // namespace LumoQVE
