// Volume duplication: the file tree of a mounted archive volume copied onto
// another archive volume or a plain directory, verified, a failed file
// retried once, an unreadable file finished block by block, the room of the
// destination checked, new tracks committed and the cartridge-memory
// attributes carried over.
#pragma once

#include "drive_ctrl.h"
#include "file_list.h"
#include "file_operation.h"
#include "recovery_copy.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace PxoUtilityLib {

// Run modes: 0 source to destination, 1 source to a temporary copy, 2 the
// temporary copy to the destination.
constexpr std::uint32_t kModeDirect = 0;
constexpr std::uint32_t kModeRetrieve = 1;
constexpr std::uint32_t kModeWrite = 2;
// Destination kinds: 0 an archive drive, any other value a plain directory.
constexpr std::uint32_t kKindDrive = 0;
constexpr std::uint32_t kKindDirectory = 1;
constexpr std::uint32_t kPolicyRetryOnce = 1;
constexpr std::uint32_t kDefaultCopyBuffer = 0x2000000;

// Result flags of an entry.
constexpr std::uint8_t kFlagVerified = 0x01;
constexpr std::uint8_t kFlagRenamed = 0x02;
constexpr std::uint8_t kFlagRecovered = 0x04;
constexpr std::uint8_t kFlagNone = 0x08;
constexpr std::uint8_t kFlagUnreadable = 0x20;
constexpr std::uint8_t kFlagWriteFailed = 0x40;
constexpr std::uint8_t kFlagSourceFailed = 0x80;

// Results.
constexpr std::uint32_t kDupWriteFailed = 0x06000001;
constexpr std::uint32_t kDupNoRoom = 0x06000002;
constexpr std::uint32_t kDupDirExists = 0x06000101;
constexpr std::uint32_t kDupFileExists = 0x06000102;
constexpr std::uint32_t kDupSourceMissing = 0x06000103;
constexpr std::uint32_t kDupCopyExists = 0x06000105;  // an output of the temporary copy exists
constexpr std::uint32_t kDupRootFailed = 0x06000201;
constexpr std::uint32_t kDupFreeSpaceFailed = 0x06000203;
constexpr std::uint32_t kDupBadVolumeType = 0x06000302;
constexpr std::uint32_t kDupCanceled = 0x0600FFFF;
constexpr std::uint32_t kDupDriveGone = 0x210001;
constexpr std::uint32_t kDupNoMedium = 0x220003;

struct SourceEntry {
  std::u16string name;  // relative to the source root
  std::u16string tempPath;
  std::u16string outputPath;
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;
  PxoUtility::FileTimes times;
  std::u16string target;  // of a link
  bool isLink = false;
  bool timesRead = false;
  bool copied = false;
  bool verifyRetried = false;
  std::uint8_t flags[2] = {0, 0};
};

struct SourceDir {
  std::u16string path;  // relative, ending with a backslash; the root is empty
  std::uint32_t attributes = 0;
  std::vector<std::shared_ptr<SourceDir>> dirs;
};

// One line of a run's per-entry list.
struct DuplicateEntryResult {
  std::u16string sourcePath;
  std::u16string outputPath;
  std::uint8_t flags = 0;
};

struct DuplicateResult {
  std::uint32_t values[8] = {};
};

// The room verdicts.
constexpr std::uint32_t kRoomEnough = 0;
constexpr std::uint32_t kRoomNoSpace = 1;
constexpr std::uint32_t kRoomTooManyEntries = 2;

class Duplicate {
 public:
  using RecoverOutputFile = PxoUtilityLib::RecoverOutputFile;

  Duplicate();
  virtual ~Duplicate();

  // Tests and tools may put another file-operation maker in place.
  using FileOperationMaker = std::function<std::unique_ptr<FileOperationCallbackImpl>()>;
  static FileOperationMaker& fileOperationMaker();

  std::uint32_t getFilesDuplicateMedia(const std::u16string& sourceDevice, const std::u16string& root, bool copyCM,
                                       std::uint32_t& files, std::uint64_t& size);
  std::uint32_t doDuplicateMedia(std::uint32_t policy, std::uint32_t mode, std::uint32_t kind,
                                 const std::u16string& destination, DuplicateResult& result,
                                 std::vector<DuplicateEntryResult>& list, bool restrictSpanning,
                                 PxoUtility::DuplicateMediaCallback* callback);
  std::uint32_t checkDuplicateMediaImpl(std::uint32_t kind, const std::u16string& path, bool overwrite,
                                        bool& mediumFlag, std::uint32_t& verdict, const std::uint64_t* single = nullptr);
  // Removes the temporary copy of a mode-1 run.
  void delTemp();

  bool isCommitNewTrackRequired(DriveCtrl& drive, std::uint64_t writeSize, bool checkWriteSize);
  struct RunArgs;
  bool commitNewTrackIfRequired_Execute(std::uint64_t writeSize, RunArgs& args);

  void setFileOperation(std::unique_ptr<FileOperationCallbackImpl> files) { m_files = std::move(files); }
  void setCopyBufferSize(std::uint32_t size) { m_copyBufferSize = size; }
  const std::string& mediaUniqueId() const { return m_mediaUniqueId; }
  std::uint32_t sourceDirs() const { return m_dirCount; }
  std::uint32_t sourceFiles() const { return m_fileCount; }

  struct RunArgs {
    ByteProgress progress;
    PxoUtility::DuplicateMediaCallback* callback = nullptr;
    bool readSource = false;
    std::uint32_t mode = 0;
    std::u16string destRoot;
    std::uint32_t kind = 0;
    bool destSide = false;
    std::u16string destGiven;
    std::uint32_t bufferSize = kDefaultCopyBuffer;
    std::vector<std::uint8_t> buffer;
    std::uint32_t policy = 0;
    bool restrictSpanning = false;
  };

  struct Attribute {
    std::uint16_t id;
    std::uint8_t format;
    std::vector<std::uint8_t> data;
  };

 private:
  friend struct DuplicateTestPeer;
  struct Callback;
  struct Closer;
  struct Attempt;
  // What a step of one copy attempt says: go on, or end with a result.
  struct Outcome {
    bool end = false;
    std::uint32_t result = 0;
  };
  struct TempDir {
    std::u16string path;
    std::vector<std::shared_ptr<TempDir>> dirs;
    std::vector<std::u16string> files;
  };

  std::uint32_t getFilesDuplicateMediaImpl(const std::u16string& sourceDevice, const std::u16string& root,
                                           bool copyCM, std::uint32_t& files, std::uint64_t& size);
  void collectTree(const FileList& list);
  void checkMedium();
  void readCM();
  std::uint32_t doDuplicateMediaImpl(RunArgs& args);
  std::uint32_t createDirs(RunArgs& args);
  std::uint32_t copyPass(RunArgs& args, std::vector<SourceEntry*>& retry);
  std::uint32_t retryLoop(RunArgs& args, std::vector<SourceEntry*> retry);
  void setAttributeDirs(const RunArgs& args);
  void copyCM(const RunArgs& args);
  std::uint32_t doDuplicateMediaCopyImpl(SourceEntry& entry, RunArgs& args);
  std::uint32_t copyOnce(SourceEntry& entry, RunArgs& args, bool& again, bool& writeRetried);
  Outcome openSource(Attempt& a);
  Outcome readSourceDetails(Attempt& a);
  Outcome writeOutput(Attempt& a, bool& again, bool& writeRetried);
  Outcome makeLink(Attempt& a, bool& again, bool& writeRetried);
  Outcome writeFile(Attempt& a, bool& again, bool& writeRetried);
  Outcome setOutputDetails(Attempt& a);
  Outcome outputRefused(Attempt& a, std::uint32_t opened, bool& again, bool& writeRetried);
  std::uint32_t recordCopy(Attempt& a);
  void dropOutput(Attempt& a);
  std::uint32_t judgeData(Attempt& a, bool& again, bool& writeRetried);
  enum class Data { Good, ReadFailed, WriteFailed, Canceled, Unreadable };
  Data copyData(PxoUtility::FileHandle in, PxoUtility::FileHandle out, RunArgs& args, std::uint64_t& written);
  Data finishByRecovery(SourceEntry& entry, RunArgs& args, const std::u16string& source, Closer& in,
                        PxoUtility::FileHandle out, std::uint64_t written, std::uint32_t& end);
  std::uint32_t doDuplicateMediaVerifyImpl(SourceEntry& entry, RunArgs& args, std::vector<SourceEntry*>& retry,
                                           bool report);
  std::uint32_t writeFileOpen(SourceEntry& entry, std::u16string& path, const RunArgs& args,
                              PxoUtility::FileHandle& handle, bool& renamed);
  std::uint32_t failedOutput(SourceEntry& entry, RunArgs& args, bool writeOfData, bool& again, bool& writeRetried);
  void deleteOutput(const std::u16string& path);
  std::uint32_t doRecover(PxoUtility::DuplicateMediaCallback* callback, ByteProgress& progress,
                          const std::u16string& source, PxoUtility::FileHandle output, std::uint64_t skip);
  std::uint32_t checkSrcDrive(std::uint32_t mode);
  std::uint32_t checkDestDrive(std::uint32_t kind, const std::u16string& root);
  bool canceled(const RunArgs& args) const;
  void recordTemp(const std::u16string& relative, const std::u16string& path, bool isDir);
  std::uint32_t roomOfDrive(const std::u16string& path, bool overwrite, bool& mediumFlag, std::uint32_t& verdict,
                            std::uint64_t atfs, std::uint32_t srcDirs, std::uint32_t srcFiles);
  std::uint64_t totalFileSize(const std::uint64_t* single) const;
  void buildResult(const RunArgs& args, DuplicateResult& result, std::vector<DuplicateEntryResult>& list) const;

  std::unique_ptr<DriveCtrl> m_drive;
  std::u16string m_sourceDevice;
  std::u16string m_sourceRoot;
  std::u16string m_destRoot;
  std::string m_mediaUniqueId;
  bool m_copyCM = false;
  bool m_haveLabel = false;
  std::u16string m_label;
  std::vector<Attribute> m_attributes;
  std::uint32_t m_dirCount = 0;
  std::uint32_t m_fileCount = 0;
  std::shared_ptr<SourceDir> m_rootDir;
  std::multimap<std::uint64_t, std::shared_ptr<SourceEntry>> m_entries;
  std::unique_ptr<FileOperationCallbackImpl> m_files;
  std::shared_ptr<TempDir> m_temp;
  std::map<std::u16string, TempDir*> m_tempIndex;  // by path relative to the root
  std::uint32_t m_nameCounter = 1;
  std::uint32_t m_copyBufferSize = kDefaultCopyBuffer;
};

}  // namespace PxoUtilityLib
