// Packed writing: small files are written as ghost files whose data and
// parity go, one file after another and padded to whole recording units,
// into the one proxy file "@@proxy" of the volume directory "$". When the
// packing session ends the proxy is flushed, deleted, and each ghost file is
// given the blocks its data already occupies (nothing is copied).
#pragma once

#include "AnnulusFileIO/WriterBase.h"
#include "LumoQVE/PackedSession.h"
#include "LumoQVE/UserDataFileIO.h"
#include "kel/mdcfs.h"
#include "kel/util_parity.h"
#include "kel/util_sync.h"

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace LumoQVE {

// Head of the record of MDCFSCTL_REBUILD_FILE_ALLOCATION (0x80247061); the
// 12-byte entries follow it. Little-endian, packed.
#pragma pack(push, 1)
struct RebuildRecordHead {
  std::uint64_t FileIndex;        // unique id of the file (the body's for both streams)
  std::uint32_t StreamIndex;      // 0 body, 1 parity
  std::int64_t FileSize;          // -1 leaves the size alone
  std::uint32_t TotalSpaceCount;  // entries that follow
};
#pragma pack(pop)
static_assert(sizeof(RebuildRecordHead) == 24, "rebuild record head is 24 bytes");
static_assert(offsetof(RebuildRecordHead, StreamIndex) == 8);
static_assert(offsetof(RebuildRecordHead, FileSize) == 12);
static_assert(offsetof(RebuildRecordHead, TotalSpaceCount) == 20);

// A whole rebuild record: the head and its entries, with room for two more
// entries as the engine expects (an empty stream sends 36 bytes).
class RebuildRecord {
 public:
  RebuildRecord(std::uint64_t file_index, std::uint32_t stream, std::int64_t size,
                std::uint32_t count);
  RebuildRecordHead& head();
  MDCFS_SPACE_ENTRY* entries();
  std::uint8_t* data() { return m_bytes.data(); }
  // Bytes the engine reads: the head and max(count, 1) entries.
  std::size_t sentBytes() const;

 private:
  std::vector<std::uint8_t> m_bytes;
};

class ProxyWriter : public std::enable_shared_from_this<ProxyWriter> {
 public:
  struct GhostFileInformation {
    std::uint8_t m_addFileAllocError = 0;
    std::uint32_t m_addFileAllocErrorIsBody = 0;
    std::u16string bodyPath;
    std::u16string parityPath;
    // Where the host's file is (empty when the engine named no place): no
    // request moves a file while its session is open (a rename, a folder's
    // rename, a delete or an update ends the session first).
    std::string hostPath;
    // The file's identity (its object id): a file that cannot be given its
    // data is removed only when its place proves to hold this object, so
    // that nothing else of the host's is ever removed in its stead.
    std::int64_t bodyFileIndex = -1;
    std::int64_t parityFileIndex = -1;
    std::int64_t m_bodyFileTotalBytes = 0;
    std::int64_t m_parityFileTotalBytes = 0;
    std::int64_t writeStartOffsetBytesInProxy = 0;
    std::int64_t completed = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> chunks;  // {body bytes, parity bytes}
    // Where the file's data went into the proxy, one piece per write
    // ({offset in the proxy, bytes}; each padded there to whole recording
    // units), kept while the session's data fits the ring, whose buffers
    // hold those bytes meanwhile: a session whose data did not reach the
    // disc is written again from them, each file from its own start.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
    // A file whose archive failed while it was written (never completed):
    // it gets no data and is removed at the end, without a word to the
    // host, whose request already failed.
    bool abandoned = false;
  };

  // Walks the proxy's allocation in the order the data was placed.
  class AllocationPicker {
   public:
    explicit AllocationPicker(std::vector<MDCFS_SPACE_ENTRY> areas) : m_areas(std::move(areas)) {}
    // The areas of the next bytes, rounded up to whole recording units;
    // empty optional when the allocation runs out.
    std::optional<std::vector<MDCFS_SPACE_ENTRY>> pickAreaForSize(std::uint64_t bytes);
    // Back to the start, then skip offset bytes (whole blocks).
    void seekArea(std::int64_t offset);

   private:
    bool take(std::uint64_t blocks, std::vector<MDCFS_SPACE_ENTRY>* out);
    std::vector<MDCFS_SPACE_ENTRY> m_areas;
    std::size_t m_current = 0;
    std::uint64_t m_used = 0;
  };

  ProxyWriter();
  ~ProxyWriter();
  ProxyWriter(const ProxyWriter&) = delete;
  ProxyWriter& operator=(const ProxyWriter&) = delete;

  // The decision whether the running interface's packed session ends now
  // (PackedSession::protocolFlushBuffer): kFlushByLimits checks the limits; any
  // other value is stored as the flush policy. Answers 1 when the session
  // ended, else 0; the end's result goes to *result.
  static std::uint32_t protocolFlushBuffer(std::uint32_t force, std::uint8_t& policy,
                                           std::uint32_t* result = nullptr);
  // The Win32 code the host is told for a session end's result: a writer
  // result code's, else the engine result's.
  static std::uint32_t win32Of(std::uint32_t result);
  // The bytes a piece of n bytes takes in the proxy: whole blocks, padded
  // to whole recording units.
  static std::uint64_t paddedBytes(std::uint64_t n);

  std::uint32_t setUserDataFileIOImpl(const std::u16string& base_path,
                                      std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl> impl,
                                      std::shared_ptr<OBase> obase);
  std::uint32_t createProxyFile(const std::u16string& base_path);
  std::uint32_t start(const std::u16string& body_path, const std::u16string& parity_path,
                      std::int64_t body_index, std::int64_t parity_index, const std::string& host_path = {});
  // One chunk of the current file: the buffer's body bytes (the buffer is
  // emptied), then the parity bytes that belong to them.
  std::uint32_t write(const std::shared_ptr<AnnulusFileIO::BufferUserData>& body, const std::uint8_t* parity,
                      std::size_t parity_bytes);
  std::uint32_t writeParity(const std::uint8_t* parity, std::size_t parity_bytes);
  std::uint32_t stop();
  std::uint32_t setEndOfFile(std::int64_t& new_size, std::int64_t& deleted_body,
                             std::int64_t& deleted_parity);
  // Whether the proxy can take size more bytes (the current file's bytes
  // not in it yet) on the volume; 0, 0x82000023 (disc full) or a query or
  // writer error. A refusal leaves the session as it is.
  std::uint32_t checkVolumeCapacity(std::int64_t size);
  std::uint32_t flushProxyFile();
  // Ends the session: flush, mark, divide, leave the privileged mode, and
  // remove the files that could not be given their data. Only the session
  // owner (PackedSession) calls it, on one thread. When the session's data
  // did not reach the disc and the writer still holds all of it (within
  // the ring's bound, the volume writable, `last` not set), nothing is
  // divided: the session stays open with its files waiting (keptFiles),
  // and its data is written anew before the proxy takes more or ends.
  std::uint32_t cleanup(bool last = false);
  std::uint32_t divideProxyFile();
  // Whether the session's limits end it at a file's close: its bytes, its
  // files or a writer error (the flush policy then becomes 1).
  bool limitReached();
  // Files of the session that the last cleanup could not give their data.
  std::uint32_t lostFiles() const { return static_cast<std::uint32_t>(m_lost.size()); }
  // Of them, and of those it kept waiting, the files whose archive was
  // answered (a file whose archive failed is not the host's).
  std::vector<std::shared_ptr<GhostFileInformation>> lostAnswered() const { return answered(m_lost); }
  std::vector<std::shared_ptr<GhostFileInformation>> keptAnswered() const { return answered(m_ghostFiles); }
  // The last cleanup kept the session's files waiting: the session is open.
  bool keptOpen() const { return m_rewrite; }

  std::uint32_t lastError();
  std::shared_ptr<OBase> getOBase() const { return m_obase; }
  std::shared_ptr<GhostFileInformation> currentGhost() const { return m_current; }
  std::uint64_t packedBytes();
  void setPackedBytesForTesting(std::uint64_t bytes);

  std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl> m_impl;
  std::uint32_t m_bufferCount;
  std::unique_ptr<WriterRingBuffer> m_ring;
  std::shared_ptr<AnnulusFileIO::RUVOFile> m_proxyFile;
  std::shared_ptr<OBase> m_obase;
  std::u16string m_proxyPath;
  // The lock of the proxy writer; it also guards the packed (taken) and
  // committed bytes that the writer thread updates.
  AnnulusFileIO::WriterByteAccount m_account;
  std::vector<std::shared_ptr<GhostFileInformation>> m_ghostFiles;
  std::shared_ptr<GhostFileInformation> m_current;
  std::uint32_t m_lastError = 0;
  std::int64_t m_flushedSize = 0;
  std::atomic<std::uint32_t> fsFlushPolicy{kFlushPartial};

 private:
  static std::vector<std::shared_ptr<GhostFileInformation>> answered(
      const std::vector<std::shared_ptr<GhostFileInformation>>& files);
  // The pieces are kept while the session's packed bytes stay within the
  // ring's bytes; past them every piece goes and none is kept any more.
  void keepPiece(std::uint64_t size, std::uint64_t padded);
  // No piece is kept any more: the ring's buffers are free to be reused.
  void dropKeptPieces();
  // A buffer the ring gave for the proxy's bytes from `start` on is held
  // while pieces are kept.
  void holdTaken(const std::shared_ptr<AnnulusFileIO::BufferUserData>& b, std::uint64_t start);
  // Copies the kept proxy bytes [offset, offset + size) from the buffers
  // in `kept` into the ring, padded as copyPadded does.
  struct KeptBuffer {
    std::uint64_t start;
    std::shared_ptr<AnnulusFileIO::BufferUserData> buffer;
  };
  std::uint32_t copyKept(const std::vector<KeptBuffer>& kept, std::uint64_t offset, std::uint64_t size);
  // Whether a failed end may keep the session's files for the next one.
  bool mayKeep(std::uint32_t result, bool last);
  // Whether the volume now refuses writes (a failure to ask counts as yes).
  bool volumeWriteProtected();
  // A failed end that left the volume read-only: the session's files not
  // yet lost are, since nothing can name their data on the disc any more.
  void loseUnsaved();
  // The failed end keeps the files: the writer goes, nothing is divided.
  std::uint32_t keepForNextEnd(std::uint32_t result);
  // A kept session's data into a new proxy through a new writer: each
  // file's pieces from its own new start. Run before the proxy takes more
  // or ends; a failure leaves it to be run again.
  std::uint32_t writeKeptData();
  std::uint32_t ensureWriter() { return m_rewrite ? writeKeptData() : 0; }
  void tearDownWriter();
  std::uint32_t writeOne(const std::uint8_t* data, std::uint64_t size);
  std::uint32_t copyIntoRing(const std::uint8_t* data, std::uint64_t size);
  std::uint32_t copyPadded(const std::uint8_t* data, std::uint64_t size);
  std::uint32_t handFull();
  std::uint32_t checkWriter(const char16_t* method);
  std::uint32_t volumeFreeBytes(std::uint64_t& free);
  // The drive's cache to the disc, then the volume marked with the flush
  // policy; each a result code.
  std::uint32_t writeSynchronize();
  std::uint32_t markVolumeDirty();
  std::uint32_t reBuildGhostFile(AllocationPicker& picker, GhostFileInformation& ghost);
  std::uint32_t reBuildZeroFile(GhostFileInformation& ghost);
  std::uint32_t reBuildSizeUnit(AllocationPicker& picker, std::uint64_t bytes,
                                RebuildRecord& record, std::uint32_t& count);
  std::uint32_t sendRebuild(RebuildRecord& record);
  void lose(const std::shared_ptr<GhostFileInformation>& ghost, bool rebuild_as_zero);
  void removeLostFiles();
  // Removes one lost file, when its place holds it; the engine's result
  // (2 when the place holds no file of its identity).
  int removeLostFile(const GhostFileInformation& ghost);
  std::uint32_t deleteProxyFile();
  // Ghost files that could not be given their data, in session order.
  std::vector<std::shared_ptr<GhostFileInformation>> m_lost;
  std::u16string m_basePath;
  std::uint64_t m_keepBound = 0;  // the ring's bytes
  bool m_keepsPieces = true;
  // The ring's buffers that hold the proxy's bytes while pieces are kept,
  // in the order taken, each with the proxy offset of its first byte.
  std::vector<KeptBuffer> m_keptBuffers;
  // A failed end kept the files: the proxy is written anew from the pieces.
  bool m_rewrite = false;
};

// Truncates the file at path to 0 bytes through the engine (a ghost file
// whose division failed).
void truncateFile(const std::u16string& path);

class GhostFileWriter : public FileWriterBase {
 public:
  static constexpr std::uint64_t kBufferBytes = 0x4000000;

  GhostFileWriter(UserDataFileIO* owner, std::uint32_t total_symbols, std::uint32_t data_symbols,
                  std::uint32_t symbol_bytes);
  std::uint32_t flushBuffer(const std::shared_ptr<AnnulusFileIO::BufferUserData>& buffer) override;
  ~GhostFileWriter() override;
  std::uint32_t initialize(const std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl>& impl) override;
  // The base's write; a buffer it fills goes to the proxy at once.
  std::uint32_t write(const void* buffer, std::uint32_t length, std::uint32_t* written) override;
  std::uint32_t seek() override { return 0; }
  std::uint32_t flush(bool when_close) override;
  std::uint32_t close(bool delete_on_close) override;
  std::uint32_t read(void* buffer, std::uint32_t length, std::uint32_t* read) override;
  std::uint32_t setEndOfFile() override;
  std::uint32_t setFileTime(std::uint64_t creation, std::uint64_t access,
                            std::uint64_t modification) override;
  std::uint32_t setFileInformation(const void* information) override;
  // The blocks the file takes in the proxy: its data and parity pieces,
  // each padded to whole recording units, as the next file of the session
  // starts behind them.
  std::uint32_t getCacheBlocks(std::uint32_t& blocks) override;
  // Where the file's data pieces lie in the proxy, counted from the file's
  // own start there: {offset in blocks, blocks}, one per data chunk. The
  // division gives the file exactly these blocks of the proxy.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> dataPieces();

  // Appends bytes zero bytes through the ring (growing the file).
  std::uint32_t upperFileSize(std::int64_t bytes);
  std::uint32_t dummyAllocationSetup(AnnulusFileIO::RUVOFile& file, std::int64_t bytes);

  // Record of setFileInformation.
  struct FileInformation {
    std::uint32_t flags;
    std::uint32_t attributes;
    std::uint64_t creation;
    std::uint64_t access;
    std::uint64_t modification;
  };

  std::int64_t m_bodyFileIndex = -1;
  std::int64_t m_parityFileIndex = -1;
  std::int64_t m_sizeAtClose = 0;
  std::shared_ptr<ProxyWriter> m_proxy;
  // The file's record in the proxy writer (its pieces), from its start.
  std::shared_ptr<ProxyWriter::GhostFileInformation> m_ghost;
  std::int64_t m_bodyFileTotalBytes = 0;
  std::int64_t m_parityFileTotalBytes = 0;
  std::unique_ptr<Util::CalcParity> m_parity_calculator;

 private:
  std::size_t takeParity(bool last, std::vector<std::uint8_t>& out);
};

}  // namespace LumoQVE
