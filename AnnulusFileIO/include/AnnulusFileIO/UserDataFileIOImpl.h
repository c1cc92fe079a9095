// The low-level writer of one user-data file and its parity file. Filled
// ring buffers are queued to the writer thread, which splits off parity,
// widens each buffer to whole recording units, gives it blocks, writes it,
// and makes sure it reached the disc: by verifying it at once (old write)
// or by keeping it until a drive-cache sync confirms it and rewriting from
// the first failing buffer (new write). The first failure is sticky: later
// buffers are discarded and every producer call answers it.
#pragma once

#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/WriterBase.h"
#include "kel/util_parity.h"
#include "kel/util_sync.h"
#include "kel/util_thread_manager.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class OBase;
namespace LumoQVE {
class WriterRingBuffer;
}

namespace AnnulusFileIO {

class UserDataFileIOImpl : public WriterBase, public Util::ThreadManager {
 public:
  enum : std::uint32_t { UD_WRITE_REQ = 0, UD_SYNCHRONIZE_REQ = 1, UD_EXIT_REQ = 2 };
  enum ReadType : int { TYPE_DISC_ONLY = 0, TYPE_DISC_AND_BUFFER = 1, TYPE_BUFFER_ONLY = 2 };
  // Allocation modes: take blocks and register them; register placeholder
  // entries only; take blocks without registering them.
  enum AllocMode : int { kAllocNormal = 0, kAllocDummy = 1, kAllocUnregistered = 2 };

  class UserDataThreadMsg : public Util::Countable<Util::NullClass> {
   public:
    explicit UserDataThreadMsg(std::uint32_t kind) : m_kind(kind) {}
    std::uint32_t m_kind;
  };
  class UserDataThreadMsgWrite : public UserDataThreadMsg {
   public:
    UserDataThreadMsgWrite(std::shared_ptr<BufferUserData> data, Util::CalcParity* parity);
    // Splits the buffer at the stripe ends it holds and takes the parity of
    // each completed stripe (and of a partial one in the file's last buffer).
    void run();
    std::shared_ptr<BufferUserData> m_data;
    bool m_isWhenClose;
    Util::CalcParity* m_parity;
    std::vector<std::uint64_t> m_vecBodySize;
    std::vector<std::shared_ptr<BufferUserData>> m_vecParity;
    bool m_parityError = false;
  };
  class UserDataThreadMsgSynchronize : public UserDataThreadMsg {
   public:
    UserDataThreadMsgSynchronize() : UserDataThreadMsg(UD_SYNCHRONIZE_REQ) {}
    Util::Event m_done{false, true};
    std::uint32_t m_result = 0;
  };
  class UserDataThreadMsgExitReq : public UserDataThreadMsg {
   public:
    UserDataThreadMsgExitReq() : UserDataThreadMsg(UD_EXIT_REQ) {}
  };
  class UserDataWriteController;

  struct AllocationRequest {
    std::vector<std::uint64_t> bodySizes;
    std::vector<std::shared_ptr<BufferUserData>> parity;
    std::uint64_t bodyBytes = 0;
    std::uint64_t parityBytes = 0;
    std::vector<MDCFS_SPACE_ENTRY> bodyRanges;
    std::vector<MDCFS_SPACE_ENTRY> parityRanges;
  };

  // mode: callers pass 0; 2 starts no writer thread (buffers are written on
  // the caller's thread).
  UserDataFileIOImpl(const std::u16string& volume_root, std::uint32_t mode,
                     std::shared_ptr<OBase> obase);
  ~UserDataFileIOImpl() override;

  // ---- producer side ----
  std::uint32_t setup(std::uint64_t max_annulus_bytes);
  // Binds the files and reads their sizes and allocation.
  std::uint32_t setFile(std::shared_ptr<RUVOFile> body, std::shared_ptr<RUVOFile> parity);
  void resetFiles(std::shared_ptr<RUVOFile> body, std::shared_ptr<RUVOFile> parity);
  // Queues a filled ring buffer; the writer gives it back to ring.
  std::uint32_t write(const std::shared_ptr<BufferUserData>& data, LumoQVE::WriterRingBuffer* ring);
  std::uint32_t writeSynchronize();
  std::uint32_t flush(const std::shared_ptr<BufferUserData>& data, LumoQVE::WriterRingBuffer* ring);
  std::uint32_t read(void* buffer, std::uint32_t bytes, std::uint32_t& bytes_read);
  std::uint32_t setEndOfFile(bool use_allocated_size, std::int64_t size);
  std::uint32_t closeImpl();
  // closeImpl; on failure the files are cut back to what is confirmed.
  std::uint32_t truncateOnWriteError();
  std::uint32_t checkMarkVolumeDirty();
  // The file position; moving it waits for the writer first.
  std::uint32_t seek(std::int64_t position);
  std::int64_t getFilePointer() const { return m_currentFilePointer; }
  std::uint32_t lastError();
  AnnulusFileIOErrors::RecordedError lastRecordedError();
  void setLastManagerError(std::uint32_t code, const char* file, int line) override;
  bool isVerifyOnWrite() override;
  std::uint32_t getBlockFromBytes(std::uint64_t bytes, MDCFS_SPACE_ENTRY& area,
                                  std::uint32_t allocated_blocks, WriterBase* writer) override;
  // Runs the exit sequence: queued messages are handled first.
  void waitForWriterThreadExit();
  // The ring is going away: buffers are no longer given back to it.
  void detachRing();

  // ---- writer thread ----
  unsigned threadFunction(void* argument) override;
  bool execThreadRequest(UserDataThreadMsg* message);
  std::uint32_t writeImpl(UserDataThreadMsgWrite& message);
  std::uint32_t writeAndCheck(std::shared_ptr<UserDataWriteController> controller);
  std::uint32_t runWriteErrorRecovery();
  std::uint32_t commonWriteErrorRecovery() override;
  std::uint32_t setRecoveryDataOnWaitQue();
  bool deleteFileAllocation();
  // The first waiting controller that wrote parity blocks, or none.
  const UserDataWriteController* firstWrittenParity();
  bool prepareRewrite(UserDataWriteController& controller, bool is_error_controller);
  std::uint32_t doSyncCache() override;
  std::uint32_t syncWriteData();
  // New write: when the written buffers that wait for confirmation fill all
  // the ring can spare (two buffers stay for the producer and the write in
  // hand) before the drive's error-reporting window would release them,
  // they are confirmed now by a drive-cache sync (syncWriteData).
  std::uint32_t confirmAtRingCap(const LumoQVE::WriterRingBuffer* ring);

  // ---- allocation ----
  std::uint32_t filesizeSetup();
  std::uint32_t updateFileAllocateInformation();
  std::uint32_t allocate_file(AllocationRequest& request, int mode, bool at_stripe_start);
  std::uint32_t reallocate_file(RUVOFile& file, std::int64_t position,
                                const std::vector<MDCFS_SPACE_ENTRY>& ranges);
  void getAllocatedArea(std::int64_t start, std::int64_t size, std::vector<MDCFS_SPACE_ENTRY>& out);

  // ---- end of file ----
  std::uint32_t setEndOfFileReal();
  std::uint32_t zeroFilledSetEndOfFile(std::int64_t position);
  std::uint32_t markVolumeDirtyAtClose();
  void truncateFile(RUVOFile& file, std::int64_t size);

  // Gives a ring buffer back (once) and wakes a waiting producer.
  void giveBack(std::shared_ptr<BufferUserData>& buffer);
  // Drops both controller queues (their buffers go back to the ring).
  void clearQueues();
  // Resets the parity calculator for a new stripe.
  void resetParity();
  static std::uint64_t rubBytes();

  std::int64_t m_currentFilePointer = 0;
  std::int64_t m_committedWriteSize = 0;
  std::int64_t m_committedWriteSizeParity = 0;
  std::int64_t m_fileAllocatedSize = 0;
  std::int64_t m_virtualFileSize = 0;
  std::int64_t m_lastWrittenEnd = 0;
  std::int64_t m_fileUniqueID = 0;
  std::shared_ptr<RUVOFile> m_pFile;
  std::shared_ptr<RUVOFile> m_pParityFile;
  std::uint64_t m_maxAnnulusSizeBytes = 0;
  std::u16string m_volumeRootPath;
  std::vector<MDCFS_SPACE_ENTRY> m_allocation;
  std::shared_ptr<BufferUserData> m_pWriteBuffer;
  bool m_reserveWriteRange = true;
  bool m_shortEndDone = false;
  bool m_volumeMarked = false;
  Util::CalcParity m_parity;
  bool m_firstFile = true;
  std::shared_ptr<OBase> m_obase;
  Util::CriticalSection m_errorLock;
  bool m_threadRunning = false;
  AnnulusFileIOErrors::RecordedError m_lastError;
  Util::CriticalSection m_ringLock;
  LumoQVE::WriterRingBuffer* m_ring = nullptr;
  std::uint32_t m_mode = 0;
  std::uint64_t m_closeMarkValue = 0;
  bool m_closeFlushPolicyOne = false;
  bool m_writeSucceeded = true;
  // Written data not yet confirmed by a drive-cache sync: the free-space
  // manager then keeps counting from its cached next writable block.
  bool m_cacheDirty = false;
  // Producer is inside a post (tests see it blocked by the queue limit).
  std::atomic<bool> m_posting{false};
  std::atomic<unsigned> m_handledWrites{0};

 private:
  void postMessage(UserDataThreadMsg* message);
  void trimAllocation(std::int64_t bytes);
  std::uint32_t readFromDisc(std::uint8_t* out, std::uint64_t n, std::uint64_t& got);
  void readFromWriteBuffer(std::uint8_t* out, std::uint64_t n, std::uint64_t& got);
  std::uint32_t writeLeftoverParity();
  std::uint32_t zeroLastRub(std::int64_t position, std::int64_t end);
  void signalRing();
  bool moveToEnd(const std::shared_ptr<WriteControllerBase>& controller);
  std::uint32_t fatal(std::uint32_t code, const char16_t* text, int line);
};

class UserDataFileIOImpl::UserDataWriteController : public WriterBase::WriteControllerBase {
 public:
  UserDataWriteController(UserDataFileIOImpl& owner, std::shared_ptr<BufferUserData> data,
                          LumoQVE::WriterRingBuffer* ring,
                          std::vector<std::shared_ptr<BufferUserData>> parity,
                          std::vector<std::uint64_t> body_sizes);
  ~UserDataWriteController() override;

  std::uint64_t getWriteSize() override;
  bool checkDefect(bool& defect) override;
  void prepareCheck() override {}
  bool writeProcImpl(bool first) override;
  bool rewindBuffers() override;
  void writeCompleteProccess() override;
  std::uint32_t retryCount() override;

  void userBufferSizeRollbackProc();
  std::uint32_t rubAdjustAndAllocate();
  std::uint32_t readFileExistingArea(std::uint64_t area, std::uint64_t start, bool start_aligned,
                                     std::uint64_t end, bool end_aligned);
  std::uint64_t parityBytes() const;
  // Piece sizes of the (widened) buffer: each piece ends where a parity
  // stripe ends, so that its parity buffer follows it.
  std::vector<std::uint64_t> bufferPieces();
  std::vector<std::uint64_t> bufferPiecesFor(std::uint64_t start, std::uint64_t area);
  bool reserveRange(bool new_write);
  bool writeBodyAndParity();
  bool reallocateForRewrite();
  bool checkSpanInhibit();

  std::vector<std::uint64_t> m_vecBodySize;
  std::vector<std::shared_ptr<BufferUserData>> m_vecParity;
  std::vector<MDCFS_SPACE_ENTRY> m_parityRanges;
  std::int64_t m_parityPosition = -1;
  UserDataFileIOImpl& m_pParent;
  struct {
    std::shared_ptr<BufferUserData> m_pData;
    std::vector<MDCFS_SPACE_ENTRY> m_ranges;
    std::uint64_t m_saveDataSize = 0;
    std::uint64_t m_savePreReadSize = 0;
  } m_BodyInfo;
  // The ring buffer this controller was built from, until it is given back.
  std::shared_ptr<BufferUserData> m_ringBuffer;
  std::uint64_t m_sizeDelta = 0;
  std::uint64_t m_writeStartPosition = 0;
  std::int64_t m_savedCurrentFilePointer = 0;
  std::int64_t m_endPosition = 0;
  bool m_widened = false;
  // Reserved write range and the starts of body and parity within their
  // files (new write: recovery finds and cuts the failed range with them).
  MDCFS_SPACE_ENTRY m_reserved{-1, 0, 0};
  std::uint32_t m_bodyOldFilePointerBlock = 0;
  std::uint32_t m_parityOldFilePointerBlock = 0;
  std::uint32_t m_retry = 0;
  // The data as it came: its size, its pre-read head and where it starts
  // in the file (the buffer may be widened to whole recording units).
  std::uint64_t m_origSize = 0;
  std::uint64_t m_origPreRead = 0;
  std::uint64_t m_bufferStart = 0;
  bool m_written = false;
  bool m_requeued = false;
};

}  // namespace AnnulusFileIO
