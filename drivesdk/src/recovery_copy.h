// The recovery copy: one file of a mounted archive volume copied onto an
// output block by block, with read retries, reporting blocks that stay
// unreadable. The duplication finishes a file with it when the plain
// reading failed, resuming at the first byte not yet written.
#pragma once

#include "file_operation.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace PxoUtilityLib {

class DriveCtrl;

namespace PxoUtility {

// Progress and cancel of a duplication run.
class DuplicateMediaCallback {
 public:
  virtual ~DuplicateMediaCallback() = default;
  // pair[0] files done; pair[1] the progress kind in its top 4 bits over
  // the byte position masked by mask.
  virtual void progress(const std::uint64_t* pair, std::uint64_t mask) = 0;
  virtual bool cancel() = 0;
};

class RecoveryFileCallback {
 public:
  virtual ~RecoveryFileCallback() = default;
  virtual bool cancel() = 0;
};

}  // namespace PxoUtility

constexpr std::uint64_t kPositionMask = 0x0FFFFFFFFFFFFFFFull;

// Progress of the bytes of one run, shared by its files.
struct ByteProgress {
  PxoUtility::DuplicateMediaCallback* callback = nullptr;
  std::uint64_t files = 0;  // files done
  std::uint64_t base = 0;   // bytes done before the current file
  std::uint64_t limit = 0;  // the current file's size
  std::uint64_t highest = 0;
  std::uint32_t kind = 0;   // reports for kinds 0 and 1 only

  // Position within the current file.
  void advanceTo(std::uint64_t position);
  // Calls the callback with the position base + within (kinds 0, 1 only
  // when reportAlways is false).
  void report(std::uint64_t within, bool reportAlways = false);
};

// Result codes.
constexpr std::uint32_t kRecoverOpenFailed = 0x04000001;
constexpr std::uint32_t kRecoverSizeFailed = 0x04000002;
constexpr std::uint32_t kRecoverWriteFailed = 0x04000006;
constexpr std::uint32_t kRecoverEofFailed = 0x04000007;
constexpr std::uint32_t kRecoverUncorrectable = 0x0400F001;
constexpr std::uint32_t kRecoverCanceled = 0x0400FFFF;

// The read call of the recovery reader; tests put a failing one in its place.
using RecoveryReadCall = ssize_t (*)(int fd, void* buffer, std::size_t length, off_t position);
extern RecoveryReadCall recoveryReadCall;

// Block of the recovery copy: 0x40000 bytes when the source medium is F2h,
// else 0x10000.
std::uint32_t recoveryBlockSize(const DriveCtrl* source);

class ParityFile {
 public:
  class FileReader {
   public:
    virtual ~FileReader();
    virtual std::uint32_t openFile() = 0;
    virtual std::uint32_t parity() { return 0x120E00; }
    virtual bool readFile(std::uint8_t* buffer, std::uint64_t block, std::uint32_t* read, bool* pastEnd) = 0;
    virtual std::uint64_t size() const { return m_size; }
    virtual void close() = 0;

   protected:
    std::u16string m_path;
    std::uint64_t m_size = 0;
    const DriveCtrl* m_drive = nullptr;
    std::uint32_t m_retry = 10;
    int m_fd = -1;
    std::uint8_t m_role = 1;  // 1 the body
  };

  class FileReader_file : public FileReader {
   public:
    FileReader_file(std::u16string path, const DriveCtrl* drive, std::uint32_t retry);
    ~FileReader_file() override;
    std::uint32_t openFile() override;
    bool readFile(std::uint8_t* buffer, std::uint64_t block, std::uint32_t* read, bool* pastEnd) override;
    void close() override;
    int handle() const { return m_fd; }
  };

  class OutputFile {
   public:
    virtual ~OutputFile() = default;
    virtual std::uint32_t open(std::uint32_t blocksPerGroup) = 0;
    virtual bool writeBlock(const std::uint8_t* data, std::uint64_t block) = 0;
    virtual bool setEOF(std::uint64_t size) = 0;
    virtual void abort() = 0;
    virtual bool flushGroup(std::uint64_t group) = 0;
    virtual void setDirect() = 0;
    virtual bool unused() { return false; }
    // The source's size, told before the first block is written.
    virtual void sourceSize(std::uint64_t) {}
  };

  ParityFile(std::u16string source, const DriveCtrl* drive, std::unique_ptr<OutputFile> output,
             PxoUtility::RecoveryFileCallback* cancel);
  ~ParityFile();

  std::uint32_t doRecovery();

 private:
  bool recovery();
  void checkCancel();
  std::uint32_t readRetryLimit();

  std::uint8_t m_stopOnFirstError = 1;
  PxoUtility::RecoveryFileCallback* m_cancel;
  std::uint32_t m_kind = 4;
  std::uint8_t m_lastPercent = 255;
  std::u16string m_source;
  std::int64_t m_fileRUB = 0;
  const DriveCtrl* m_drive;
  std::unique_ptr<FileReader_file> m_body;
  std::unique_ptr<OutputFile> m_output;
};

// The output of a recovery copy: the destination's handle, through the
// file operations; the bytes below the skip size are already there.
class RecoverOutputFile : public ParityFile::OutputFile {
 public:
  RecoverOutputFile(PxoUtility::FileOperationCallback& files, PxoUtility::FileHandle handle, std::uint64_t skip,
                    ByteProgress* progress, const DriveCtrl* drive)
      : m_files(files), m_handle(handle), m_skip(skip), m_progress(progress), m_drive(drive) {}
  std::uint32_t open(std::uint32_t blocksPerGroup) override;
  bool writeBlock(const std::uint8_t* data, std::uint64_t block) override;
  bool setEOF(std::uint64_t size) override;
  void abort() override {}
  bool flushGroup(std::uint64_t group) override;
  void setDirect() override { m_buffered = false; }
  void sourceSize(std::uint64_t size) override { m_end = size; }
  bool write(const std::uint8_t* data, std::uint64_t position, std::uint32_t length);

 private:
  PxoUtility::FileOperationCallback& m_files;
  PxoUtility::FileHandle m_handle;
  std::uint64_t m_skip;
  std::uint64_t m_end = ~std::uint64_t{0};
  std::uint64_t m_groupSize = 0;
  std::vector<std::uint8_t> m_group;
  bool m_buffered = true;
  ByteProgress* m_progress;
  const DriveCtrl* m_drive;
};

// Inside a catch: the result of the exception being handled, logged as the
// entry points of the duplication log it (its code; 0x10001 for a standard
// exception, 0x10002 for anything else).
std::uint32_t resultOfCurrentException();

// Copies the source file onto the output handle from the skip size on; the
// exceptions of the copy become results (0x10001 standard, 0x10002 other).
std::uint32_t recoverFile(PxoUtility::RecoveryFileCallback* cancel, ByteProgress& progress,
                          const std::u16string& source, PxoUtility::FileOperationCallback& files,
                          PxoUtility::FileHandle output, std::uint64_t skip, const DriveCtrl* drive);

}  // namespace PxoUtilityLib
