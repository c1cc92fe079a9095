// The recovery copy: block by block from a file onto an output handle, with
// read retries, a skip size and the cancel query between blocks.
#include "dup_support.h"

#include "drive_ctrl.h"
#include "recovery_copy.h"

#include "platform/registry.h"

#include <cerrno>
#include <unistd.h>

namespace sdktest {
namespace {

using PxoUtilityLib::FileOperationCallbackImpl;
namespace Px = PxoUtilityLib::PxoUtility;

// The reader's read call: counts the calls per position and fails at one.
struct ReadSeam {
  static inline std::vector<off_t> positions;
  static inline off_t failAt = -1;
  static ssize_t call(int fd, void* buffer, std::size_t length, off_t position) {
    positions.push_back(position);
    if (position == failAt) {
      errno = EIO;
      return -1;
    }
    return ::pread(fd, buffer, length, position);
  }
  static std::size_t at(off_t position) {
    return static_cast<std::size_t>(std::count(positions.begin(), positions.end(), position));
  }
};

// The output side, recording what reaches it.
class RecordingFiles : public FileOperationCallbackImpl {
 public:
  bool seek(FileHandle h, std::uint64_t position) override {
    seeks.push_back(position);
    return FileOperationCallbackImpl::seek(h, position);
  }
  bool write(FileHandle h, std::uint32_t size, const void* data) override {
    writes.push_back(size);
    return FileOperationCallbackImpl::write(h, size, data);
  }
  bool setEOF(FileHandle h, std::uint64_t size) override {
    eofs.push_back(size);
    return FileOperationCallbackImpl::setEOF(h, size);
  }
  void reset() {
    seeks.clear();
    eofs.clear();
    writes.clear();
  }
  std::vector<std::uint64_t> seeks, eofs;
  std::vector<std::uint32_t> writes;
};

struct CancelAfter : Px::RecoveryFileCallback {
  int answersLeft;
  explicit CancelAfter(int n) : answersLeft(n) {}
  bool cancel() override { return answersLeft-- <= 0; }
};

class RecoveryCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host().install();
    ReadSeam::positions.clear();
    ReadSeam::failAt = -1;
    PxoUtilityLib::recoveryReadCall = &ReadSeam::call;
  }
  void TearDown() override {
    PxoUtilityLib::recoveryReadCall = ::pread;
    clearCallbacks();
  }
  // Copies a source of the given bytes; the output is made empty first.
  std::uint32_t copy(const Bytes& source, std::uint64_t skip, Px::RecoveryFileCallback* cancel = nullptr,
                     const PxoUtilityLib::DriveCtrl* drive = nullptr) {
    writeFile(dir / "src", source);
    Px::FileHandle out = Px::kNoHandle;
    EXPECT_EQ(files.open(wide(dir / "out"), Px::kOpenCreate, out), 0u);
    PxoUtilityLib::ByteProgress progress;
    const std::uint32_t r = PxoUtilityLib::recoverFile(cancel, progress, wide(dir / "src"), files, out, skip, drive);
    files.close(out);
    return r;
  }
  static void setRetry(std::uint32_t value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, PxoUtilityLib::kSettingsKey, 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "MaxRcvryRdRetry", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  RegistryScope registry;
  ScratchDir dir;
  RecordingFiles files;
};

TEST_F(RecoveryCopyTest, WholeBlocksAreWrittenFromTheSkipSizeAndCutBackToTheSize) {
  struct Case {
    std::size_t size;
    std::uint64_t skip;
    std::vector<std::uint64_t> seeks;
    std::vector<std::uint32_t> writes;
  };
  const Case cases[] = {
      {0, 0, {}, {}},                                          // nothing read or written
      {0x10064, 0, {0, 0x10000}, {0x10000, 0x10000}},          // the last block zero-filled
      {0x20000, 0x20000, {}, {}},                              // all there already
      {0x10064, 0x10064, {}, {}},                              // all there, a part block at the end
      {0x18000, 0x8000, {0x8000, 0x10000}, {0x8000, 0x10000}}, // resumes inside the first block
  };
  for (const Case& c : cases) {
    files.reset();
    ReadSeam::positions.clear();
    std::remove((dir / "out").c_str());
    const Bytes source = pattern(c.size);
    // The bytes below the skip size are on the output already.
    EXPECT_EQ(copy(source, c.skip), 0u) << c.size;
    EXPECT_EQ(files.seeks, c.seeks) << c.size;
    EXPECT_EQ(files.writes, c.writes) << c.size;
    EXPECT_EQ(files.eofs, (std::vector<std::uint64_t>{c.size})) << c.size;
    if (c.size == 0) {
      EXPECT_TRUE(ReadSeam::positions.empty());
    }
    Bytes out = readFile(dir / "out");
    ASSERT_EQ(out.size(), c.size);
    EXPECT_TRUE(std::equal(out.begin() + static_cast<long>(c.skip), out.end(), source.begin() + static_cast<long>(c.skip)));
  }
}

TEST_F(RecoveryCopyTest, UnreadableBlockIsTriedRetryLimitPlusOneTimesAndSetsNoEnd) {
  struct Case {
    std::int64_t setting;  // -1: no registry value
    std::size_t reads;
  };
  for (const Case c : {Case{-1, 11}, Case{2, 3}}) {
    if (c.setting >= 0) setRetry(static_cast<std::uint32_t>(c.setting));
    files.reset();
    ReadSeam::positions.clear();
    ReadSeam::failAt = 0x10000;
    std::remove((dir / "out").c_str());
    EXPECT_EQ(copy(pattern(0x30000), 0), PxoUtilityLib::kRecoverUncorrectable);
    EXPECT_EQ(ReadSeam::at(0x10000), c.reads);
    EXPECT_EQ(ReadSeam::at(0x20000), 0u);  // the copy stops at the first bad block
    EXPECT_TRUE(files.eofs.empty());
    EXPECT_EQ(files.writes, (std::vector<std::uint32_t>{0x10000}));
  }
  EXPECT_TRUE(host().logged("file read error 0x10000"));
}

TEST_F(RecoveryCopyTest, CancelBetweenBlocksEndsBeforeTheNextRead) {
  CancelAfter cancel(1);
  EXPECT_EQ(copy(pattern(0x30000), 0, &cancel), PxoUtilityLib::kRecoverCanceled);
  EXPECT_EQ(ReadSeam::positions, (std::vector<off_t>{0}));
  EXPECT_TRUE(files.eofs.empty());
  EXPECT_TRUE(host().logged("doRecoveryFile canceled"));
}

TEST_F(RecoveryCopyTest, BlockSizeFollowsTheSourceMediumType) {
  struct Case {
    std::uint8_t type;
    std::uint32_t block;
    std::size_t writes;
  };
  for (const Case c : {Case{0xF2, 0x40000, 2}, Case{0xE1, 0x10000, 5}}) {
    PxoUtilityLib::DriveCtrl drive(u"/dev/sd0x1", false);
    drive.setMediumType(c.type);
    files.reset();
    std::remove((dir / "out").c_str());
    EXPECT_EQ(copy(pattern(0x50000), 0, nullptr, &drive), 0u);
    EXPECT_EQ(files.writes, std::vector<std::uint32_t>(c.writes, c.block)) << std::hex << int(c.type);
    EXPECT_EQ(readFile(dir / "out"), pattern(0x50000));
  }
}

TEST_F(RecoveryCopyTest, MissingSourceGivesTheOpenCode) {
  Px::FileHandle out = Px::kNoHandle;
  ASSERT_EQ(files.open(wide(dir / "out"), Px::kOpenCreate, out), 0u);
  PxoUtilityLib::ByteProgress progress;
  EXPECT_EQ(PxoUtilityLib::recoverFile(nullptr, progress, wide(dir / "none"), files, out, 0, nullptr),
            PxoUtilityLib::kRecoverOpenFailed);
  files.close(out);
}

}  // namespace
}  // namespace sdktest
