// The user-data writer as the request handlers use it: one archived file is
// opened with convertPort2Writer, sized with seek/setEndOfFile, written and
// read through its writer object, and closed.
#pragma once

#include "kel/util_sync.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class OBase;
namespace AnnulusFileIO {
class BufferUserData;
class RUVOFile;
class UserDataFileIOImpl;
}  // namespace AnnulusFileIO

namespace LumoQVE {

class FileWriterBase;
class PackedSession;
class ProxyWriter;
class RealFileWriter;
class WriterRingBuffer;

class UserDataFileIO {
 public:
  UserDataFileIO();
  // A file dropped without close gives the open gate back.
  virtual ~UserDataFileIO();
  UserDataFileIO(const UserDataFileIO&) = delete;
  UserDataFileIO& operator=(const UserDataFileIO&) = delete;

  // Opens one file of the volume for writing. root: volume name (the
  // handlers pass an empty one); relative_path: the name the engine's
  // CreateFile returned; desired_access: 0x40000000 write, 0xC0000000 read
  // and write; port_creation_disposition: 0 to 5 (the handlers pass 1 for
  // archived files and 0 for metadata files); flags_and_attributes: 0x80 for
  // archived files, 1 for metadata files. The security, reserved and template
  // arguments are not used. Returns 0 with the new object in *out; any other
  // value is a writer result code and *out is left untouched. Only one file
  // is open at a time: a second open waits until the first is closed.
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
  std::shared_ptr<FileWriterBase> getWriter() const { return m_writer; }
  // Closes the file; 0 on success.
  std::uint32_t close();
  // Win32 code of the file's last failure.
  std::uint32_t getLastWin32Error() const;
  // The file system's flush is left out at this file's close: the volume is
  // only marked dirty and the caller's later flush records it.
  void postponeFsFlushAtClose();

  // Blocks held in the ring by the most recently initialised writer; 0 on
  // success.
  static std::uint32_t getCacheBlocks(std::uint64_t& blocks);

  static std::u16string makeVolumePath(const std::u16string& root, const std::u16string& relative);
  static std::uint64_t calcAnnulsBufferSizeBytes();
  // Cuts an old parity file back to the parity of the whole stripes of a
  // body of body_size bytes.
  static std::uint32_t truncateParityFileIfExist(const std::u16string& parity_path,
                                                 std::int64_t body_size);
  std::uint32_t setup(const std::u16string& path, std::uint32_t desired_access,
                      std::uint32_t creation_disposition, std::uint32_t flags_and_attributes);
  std::uint32_t checkLastWriteFile(const std::u16string& path, std::uint32_t disposition,
                                   std::int64_t& size_before);
  std::uint32_t createOBase();
  std::uint32_t endSessionForReopen();
  std::uint32_t openParity(const std::u16string& parity_path, const std::u16string& ext, std::int64_t size,
                           std::uint32_t desired_access, std::uint32_t disposition);

  std::shared_ptr<AnnulusFileIO::RUVOFile> m_file;
  std::shared_ptr<AnnulusFileIO::RUVOFile> m_parityFile;
  std::shared_ptr<OBase> m_obase;
  std::shared_ptr<FileWriterBase> m_writer;
  std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl> m_impl;
  std::u16string m_fullPath;
  std::u16string m_root;
  std::u16string m_relativePath;
  std::uint32_t m_portCreationDisposition = 0;
  std::u16string m_parityFilePath;
  std::uint64_t m_sizeAfterCreate = 0;
  std::u16string m_volumeRootPath;
  std::int64_t m_sizeBeforeCreate = 0;
  bool m_openedExisting = false;
  std::uint64_t maxAnnulusSizeBytes = 0;
  bool m_useRealWriter = true;
  std::int64_t m_virtualFilePointer = 0;
  std::int64_t m_virtualFileSize = 0;
  std::uint64_t m_closeMarkValue = 0;
  bool m_closeFlushPolicyOne = false;

 private:
  void releaseOpenGate();
  std::uint32_t keepSessionError(std::uint32_t result);
  // The open packed session's proxy writer (empty when none is open).
  std::shared_ptr<ProxyWriter> sessionProxy() const;
  // The running interface's packed session, whose gate the file holds.
  PackedSession* m_session = nullptr;
  bool m_holdsGate = false;
  // Win32 code of a failed sizing of a packed session's file, which has no
  // low-level writer of its own to keep it (0: none).
  std::uint32_t m_sessionWin32 = 0;
};

// The writer object behind an open file. The slots keep this order; each
// returns 0 on success or a writer result code.
class FileWriterBase : public std::enable_shared_from_this<FileWriterBase> {
 public:
  FileWriterBase(UserDataFileIO* owner, std::uint32_t ring_size);
  virtual std::uint32_t flushBuffer(const std::shared_ptr<AnnulusFileIO::BufferUserData>& buffer) = 0;
  virtual ~FileWriterBase();
  virtual std::uint32_t initialize(const std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl>& impl);
  virtual std::uint32_t getFileSize(std::int64_t& size);
  virtual std::uint32_t write(const void* buffer, std::uint32_t length, std::uint32_t* written);
  virtual std::uint32_t seek() { return 0; }
  virtual std::uint32_t flush(bool when_close) = 0;
  virtual std::uint32_t close(bool delete_on_close) = 0;
  // Sets the thread's last error to 120.
  virtual std::uint32_t notSupported();
  virtual std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t* read) = 0;
  virtual std::uint32_t setEndOfFile() = 0;
  // Times are the request's file times (seconds since 1970).
  virtual std::uint32_t setFileTime(std::uint64_t creation, std::uint64_t access,
                                    std::uint64_t modification) = 0;
  virtual std::uint32_t setFileInformation(const void* information) = 0;
  virtual std::uint32_t getCacheBlocks(std::uint32_t& blocks) = 0;

  FileWriterBase(const FileWriterBase&) = delete;
  FileWriterBase& operator=(const FileWriterBase&) = delete;

  std::uint32_t writeBuffer(const void* data, std::uint32_t length, std::uint32_t& written);
  // The last real writer that ran initialize, while it lives.
  static std::shared_ptr<RealFileWriter> getCurrentRealFileWriter();

  std::uint32_t m_ringSize;
  std::unique_ptr<WriterRingBuffer> m_ring;
  std::shared_ptr<AnnulusFileIO::RUVOFile> m_file;
  std::shared_ptr<AnnulusFileIO::RUVOFile> m_parityFile;
  std::shared_ptr<OBase> m_obase;
  std::int64_t m_realFileSize = 0;
  std::int64_t sequentialWritingPointer = 0;
  std::uint64_t tailBytes = 0;
  bool m_firstWrite = false;
  std::u16string m_fullPath;
  std::u16string m_root;
  std::u16string m_relativePath;
  std::uint32_t m_portCreationDisposition = 0;
  std::int64_t m_fileId = -1;
  std::int64_t m_parityFileId = -1;
  std::u16string m_parityFilePath;
  std::uint64_t m_sizeAfterCreate = 0;
  std::u16string m_volumeRootPath;
  std::uint64_t m_sizeBeforeCreate = 0;
  bool m_openedExisting = false;
  std::uint64_t maxAnnulusSizeBytes = 0;
  UserDataFileIO* m_owner;
  std::uint64_t m_closeMarkValue = 0;
  bool m_closeFlushPolicyOne = false;
};

class RealFileWriter : public FileWriterBase {
 public:
  RealFileWriter(UserDataFileIO* owner, std::uint32_t ring_size);
  std::uint32_t flushBuffer(const std::shared_ptr<AnnulusFileIO::BufferUserData>& buffer) override;
  ~RealFileWriter() override;
  std::uint32_t initialize(const std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl>& impl) override;
  std::uint32_t getFileSize(std::int64_t& size) override;
  std::uint32_t write(const void* buffer, std::uint32_t length, std::uint32_t* written) override;
  std::uint32_t seek() override;
  std::uint32_t flush(bool when_close) override;
  std::uint32_t close(bool delete_on_close) override;
  std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t* read) override;
  std::uint32_t setEndOfFile() override;
  std::uint32_t setFileTime(std::uint64_t creation, std::uint64_t access,
                            std::uint64_t modification) override;
  std::uint32_t setFileInformation(const void* information) override;
  std::uint32_t getCacheBlocks(std::uint32_t& blocks) override;

  // An existing file's incomplete last recording unit goes back into the
  // ring, so that the first buffer rewrites it with the new data.
  std::uint32_t readOfIncompletenessPartRUB(std::int64_t body_size);

  std::uint64_t m_endOfFileValue = 0;
  Util::CriticalSection m_lock;
  std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl> m_impl;

 private:
  std::uint32_t errorCheck();
  std::uint32_t moveImpl(std::int64_t position);
  std::uint32_t implEndOfFile();
  void countHanded(std::uint64_t size);
  std::uint32_t deleteBodyFile();
};

// The fixed ring of data buffers of one writer. The producer fills the
// current buffer and hands it to the writer thread, which gives it back when
// written. Buffers are built without blocks; sizeBuffers gives them one.
class WriterRingBuffer {
 public:
  // The bytes one ring may hold (512 MiB), whatever the drive's error-
  // reporting window and the "Write Buffer MB" setting ask for: a ring of
  // more buffers than fit keeps only those that fit, and its writer
  // confirms written buffers by a drive-cache sync instead of holding the
  // window's worth (UserDataFileIOImpl::confirmAtRingCap).
  static std::uint64_t byteCap();
  static void setByteCapForTesting(std::uint64_t bytes);  // 0: the built-in cap
  // The largest buffer: four fit the cap (an old-write ring holds four).
  static std::uint64_t maxBufferBytes() { return byteCap() / 4; }

  explicit WriterRingBuffer(int count);
  virtual ~WriterRingBuffer();
  WriterRingBuffer(const WriterRingBuffer&) = delete;
  WriterRingBuffer& operator=(const WriterRingBuffer&) = delete;

  // Gives every buffer a block of bytes; buffers beyond the byte cap are
  // dropped first. 0, or 0xFFFFFFFD when one buffer is beyond the cap or
  // the page allocator refuses one (the buffers that got none stay without
  // a block).
  std::uint32_t sizeBuffers(std::uint64_t bytes);

  // The buffer to fill: the current one, else the first free one in ring
  // order. Old-write mode answers an empty reference when all are with the
  // writer; new-write mode waits until one is given back, or until
  // endWaiting is called (then empty).
  std::shared_ptr<AnnulusFileIO::BufferUserData> getCurrentBuffer();
  // Hands the current buffer to the writer thread (marks it busy) and
  // returns it; the next getCurrentBuffer takes another one.
  std::shared_ptr<AnnulusFileIO::BufferUserData> handCurrentToWriter();
  // Forgets the current buffer without handing it over (a clean buffer).
  void clearCurrent() { m_current.reset(); }
  // The current buffer, if one is taken, without taking or waiting.
  std::shared_ptr<AnnulusFileIO::BufferUserData> peekCurrent() const { return m_current; }
  // The writer thread gives a written buffer back: empties it and wakes a
  // waiting producer.
  void giveBack(const std::shared_ptr<AnnulusFileIO::BufferUserData>& buffer);
  // Ends every present and future wait of getCurrentBuffer (the writer that
  // gives buffers back has failed).
  void endWaiting();
  // Keeps a buffer of the ring out of reuse, written or not, until
  // releaseHeld: its bytes are read again later. Producer thread only.
  void hold(const std::shared_ptr<AnnulusFileIO::BufferUserData>& buffer);
  void releaseHeld();
  // Whether getCurrentBuffer would have to wait or fail now: no current
  // buffer, and every buffer is with the writer or held.
  bool allTakenOrHeld();

  int count() const { return m_count; }
  std::shared_ptr<AnnulusFileIO::BufferUserData> buffer(int i) const { return m_buffers.at(i); }

 protected:
  // Called after a scan found no free buffer, just before the wait.
  virtual void beforeWait() {}

 private:
  std::shared_ptr<AnnulusFileIO::BufferUserData> takeFree();
  bool isHeld(const AnnulusFileIO::BufferUserData* buffer) const;

  std::vector<std::shared_ptr<AnnulusFileIO::BufferUserData>> m_buffers;
  std::vector<const AnnulusFileIO::BufferUserData*> m_held;
  std::shared_ptr<AnnulusFileIO::BufferUserData> m_current;
  std::int32_t m_count;
  Util::Event m_released;
  std::atomic<bool> m_waitEnded{false};
};

}  // namespace LumoQVE
