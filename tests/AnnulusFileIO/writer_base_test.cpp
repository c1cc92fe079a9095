// The write controller base: chunked writes, the check after a write and
// the rewrite loop, over the scripted operation table.
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/WriterBase.h"
#include "support/running_interface.h"
#include "support/test_writer.h"

#include <gtest/gtest.h>

using AnnulusFileIO::BufferUserData;
using AnnulusFileIO::RUVOFile;
using AnnulusFileIO::WriterBase;
using writertest::TestWriter;

namespace {

constexpr unsigned kTrack = 0xC0107016;
constexpr unsigned kResource = 0xC0107041;
constexpr unsigned kPolicy = 0x40207051;
constexpr unsigned kSync = 0x20007030;
constexpr unsigned kVerify = 0x800C7032;
constexpr unsigned kDefects = 0x40047040;
constexpr unsigned kEnterExclusive = 0x20007042;
constexpr unsigned kExitExclusive = 0x20007043;
constexpr unsigned kStatfs = 0x40207063;

// Writes its buffer to the file at 0 on blocks from the free-space manager,
// in exclusive I/O mode as the writer does.
class TestController : public WriterBase::WriteControllerBase {
 public:
  TestController(TestWriter& owner, RUVOFile& file, std::shared_ptr<BufferUserData> buffer)
      : WriteControllerBase(owner), file_(file), buffer_(std::move(buffer)) {}
  std::uint64_t getWriteSize() override { return buffer_->used(); }
  void prepareCheck() override {}
  bool writeProcImpl(bool) override {
    ++writes;
    if (m_owner.m_volume->enterExclusiveMode()) m_owner.m_exclusiveMode = true;
    MDCFS_SPACE_ENTRY area{};
    if (m_owner.getBlockFromBytes(buffer_->used(), area, 0, &m_owner)) return false;
    m_entries.push_back({buffer_, area, 0});
    file_.setPosition(0);
    std::uint64_t size = buffer_->used();
    return writeFile(file_, *buffer_, 0, size);
  }
  void writeCompleteProccess() override { ++completed; }

  int writes = 0;
  int completed = 0;

 private:
  RUVOFile& file_;
  std::shared_ptr<BufferUserData> buffer_;
};

class ControllerBase : public writertest::RunningInterface {
 protected:
  void SetUp() override {
    RunningInterface::SetUp();
    engine().file_store = true;
    engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, 0x100, 0x800000});
    engine().fsctl_out[kResource] = bytes(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION{0, 0x20, 0x1000, 0x1000});
    engine().fsctl_out[kDefects] = bytes(std::uint32_t{0});
    ASSERT_TRUE(file_.createFile(u"/d/f", 0, 0, nullptr, 2, 0, nullptr));
  }
  std::shared_ptr<BufferUserData> buffer(std::uint64_t bytes_used) {
    auto b = std::make_shared<BufferUserData>();
    b->resize(bytes_used ? bytes_used : 1);
    std::vector<std::uint8_t> data(bytes_used, 0x5A);
    b->append(data.data(), bytes_used);
    return b;
  }
  void policy(std::uint32_t optimal_blocks) {
    MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 524288, 524288, optimal_blocks, 32768, 0};
    engine().fsctl_out[kPolicy] = bytes(p);
    RuvoCtrlVolume v(u"");
    ASSERT_EQ(v.setWritePolictInformation(), 0u);
  }
  std::vector<std::string> writes() {
    std::vector<std::string> out;
    for (const auto& c : engine().callsSnapshot())
      if (c.rfind("WriteData", 0) == 0) out.push_back(c);
    return out;
  }
  std::size_t count(unsigned code) {
    const auto c = fsctlCodes();
    return static_cast<std::size_t>(std::count(c.begin(), c.end(), code));
  }
  // Checks that the last exclusive-mode request left the mode.
  void expectExclusiveLeft(const TestWriter& w, const char* what) {
    EXPECT_FALSE(w.m_exclusiveMode) << what;
    const auto c = fsctlCodes();
    auto last = std::find_if(c.rbegin(), c.rend(),
                             [](unsigned x) { return x == kEnterExclusive || x == kExitExclusive; });
    ASSERT_NE(last, c.rend()) << what;
    EXPECT_EQ(*last, kExitExclusive) << what;
  }

  RUVOFile file_;
};

}  // namespace

TEST_F(ControllerBase, WritesInChunksOfTheOptimalTransfer) {
  const struct {
    const char* what;
    std::uint32_t optimal;  // 0: write policy not read (128 blocks)
    std::vector<std::string> calls;
  } cases[] = {
      {"before the policy is read", 0, {"WriteData(0,262144)", "WriteData(262144,37856)"}},
      {"64-block transfers", 64, {"WriteData(0,131072)", "WriteData(131072,131072)", "WriteData(262144,37856)"}},
      {"256-block transfers", 256, {"WriteData(0,300000)"}},
  };
  for (const auto& c : cases) {
    RuvoCtrlVolume::resetForTesting();
    if (c.optimal) policy(c.optimal);
    engine().calls.clear();
    TestWriter w;
    auto b = buffer(300000);
    TestController ctl(w, file_, b);
    file_.setPosition(0);
    std::uint64_t size = 300000;
    EXPECT_TRUE(ctl.writeFile(file_, *b, 0, size)) << c.what;
    EXPECT_EQ(size, 300000u) << c.what;
    EXPECT_EQ(writes(), c.calls) << c.what;
    EXPECT_EQ(ctl.m_reWriteCondition, 0u) << c.what;
  }
}

TEST_F(ControllerBase, NothingWrittenSetsConditionTwoAndLaterWritesAreSkipped) {
  TestWriter w;
  auto b = buffer(4096);
  TestController ctl(w, file_, b);
  std::uint64_t size = 0;
  EXPECT_TRUE(ctl.writeFile(file_, *b, 0, size));
  EXPECT_EQ(ctl.m_reWriteCondition, 2u);
  size = 4096;
  EXPECT_TRUE(ctl.writeFile(file_, *b, 0, size));
  EXPECT_TRUE(writes().empty());
  EXPECT_TRUE(traced(u"re-write condition is already true. ignore this writing, and perform the "
                     u"re-writing process to continue."));
  // A transfer size of 0 writes nothing either.
  policy(0);
  TestController zero(w, file_, b);
  size = 4096;
  EXPECT_TRUE(zero.writeFile(file_, *b, 0, size));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(zero.m_reWriteCondition, 2u);
  EXPECT_TRUE(writes().empty());
}

TEST_F(ControllerBase, FailedWriteByMedium) {
  for (bool r_media : {true, false}) {
    RuvoCtrlVolume::setRMediaForTesting(r_media);
    engine().slot_results["WriteData"] = 5;
    TestWriter w;
    auto b = buffer(4096);
    TestController ctl(w, file_, b);
    std::uint64_t size = 4096;
    EXPECT_EQ(ctl.writeFile(file_, *b, 0, size), r_media);
    EXPECT_EQ(ctl.m_reWriteCondition, r_media ? 1u : 0u);
    EXPECT_EQ(w.errors, r_media ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{0x8200000D});
  }
  RuvoCtrlVolume::setRMediaForTesting(true);
}

TEST_F(ControllerBase, BytesToBlocksForTheReservation) {
  const struct {
    std::uint64_t bytes;
    std::uint32_t blocks;
  } cases[] = {{2048, 1}, {2049, 2}, {1, 1}, {4096, 2}, {300000, 147}};
  TestWriter w;
  for (const auto& c : cases) {
    AnnulusFileIO::USBManager::markTrackInfoStale();
    MDCFS_SPACE_ENTRY area{};
    ASSERT_EQ(w.getBlockFromBytes(c.bytes, area, 0, &w), 0u);
    EXPECT_EQ(AnnulusFileIO::BlocksOf(area), c.blocks) << c.bytes;
    EXPECT_EQ(AnnulusFileIO::OffsetOf(area), 0x100u) << c.bytes;
  }
  // A failure is recorded, except a failed sync.
  engine().fsctl_results[kTrack] = 5;
  AnnulusFileIO::USBManager::markTrackInfoStale();
  MDCFS_SPACE_ENTRY area{};
  EXPECT_EQ(w.getBlockFromBytes(1, area, 0, &w), 0x8200002Eu);
  EXPECT_EQ(w.errors, std::vector<std::uint32_t>{0x8200002E});
  EXPECT_TRUE(traced(u"ERROR : WriterBase::getBlockFromBytes 8200002E\n"));
}

TEST_F(ControllerBase, CheckOutcomes) {
  struct Case {
    const char* what;
    bool r_media;
    std::deque<int> sync;     // results of the syncs, in order
    std::deque<int> verify;   // results of the verifications, in order
    std::deque<std::uint32_t> counters;
    bool result;
    int writes;               // first write and rewrites
    std::size_t verifies;
    std::vector<std::uint32_t> errors;
    const char16_t* line;  // a trace line that must be there, or nullptr
  };
  const Case cases[] = {
      {"clean on R media", true, {}, {}, {0}, true, 1, 1, {}, nullptr},
      {"failed verify, then clean", true, {}, {22, 0}, {0, 0}, true, 2, 2, {},
       u"annulus write retry : 1\n"},
      {"failed sync, then clean", true, {5, 0}, {}, {0, 0}, true, 2, 1, {},
       u"INFO : CRCErrorHappen. (defect counter=0)\n"},
      {"raised counter, then clean", true, {}, {}, {1, 1}, true, 2, 2, {},
       u"INFO : defect counter up 1\n"},
      {"not R: no verification, raised counter is no defect", false, {}, {22}, {1}, true, 1, 0, {},
       u"INFO : defect counter up 1\n"},
      {"not R: failed sync is a defect, no rewrite possible", false, {5}, {}, {0}, false, 1, 0,
       {0x82000017}, u"INFO : CRCErrorHappen. (defect counter=0)\n"},
  };
  for (const Case& c : cases) {
    engine().reset();
    SetUp();
    RuvoCtrlVolume::setRMediaForTesting(c.r_media);
    engine().fsctl_results_next[kSync] = c.sync;
    engine().fsctl_results_next[kVerify] = c.verify;
    for (std::uint32_t v : c.counters) engine().fsctl_out_next[kDefects].push_back(bytes(v));
    TestWriter w;
    auto b = buffer(8192);
    TestController ctl(w, file_, b);
    ASSERT_TRUE(ctl.writeProcImpl(true)) << c.what;
    EXPECT_EQ(w.beforeDataCheckProcess(ctl), c.result) << c.what;
    EXPECT_EQ(ctl.writes, c.writes) << c.what;
    EXPECT_EQ(ctl.completed, c.result ? 1 : 0) << c.what;
    EXPECT_EQ(count(kVerify), c.verifies) << c.what;
    EXPECT_EQ(w.errors, c.errors) << c.what;
    EXPECT_TRUE(traced(c.writes > 1 || !c.result ? u"state Defect" : u"state not Defect")) << c.what;
    if (c.line) {
      EXPECT_TRUE(traced(c.line)) << c.what;
    }
    expectExclusiveLeft(w, c.what);
  }
  RuvoCtrlVolume::setRMediaForTesting(true);
}

TEST_F(ControllerBase, VerifyRecordAndDefectTraces) {
  TestWriter w;
  auto b = buffer(4096);
  TestController ctl(w, file_, b);
  ASSERT_TRUE(ctl.writeProcImpl(true));
  engine().fsctl_results_next[kVerify] = {22};
  engine().fsctl_out_next[kDefects].push_back(bytes(std::uint32_t{3}));
  bool defect = false;
  ASSERT_TRUE(ctl.checkDefect(defect));
  EXPECT_TRUE(defect);
  EXPECT_EQ(engine().fsctl_in.back(), std::vector<std::uint8_t>{});  // the counter query (output only)
  const auto& in = engine().fsctl_in;
  auto codes = fsctlCodes();
  const auto at = std::find(codes.begin(), codes.end(), kVerify) - codes.begin();
  EXPECT_EQ(in[at], (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 0}));
  EXPECT_TRUE(traced(u"MDCFSCTL_VERIFY_RANGE zoneId=0, blockOffset=256 numberOfBlocks=2 \n"));
  EXPECT_TRUE(traced(u"ERROR: MDCFSCTL_VERIFY_RANGE error m_dwErrorCode = 00000016\n"));
  EXPECT_TRUE(traced(u"INFO : CRCErrorHappen. (defect counter=3)\n"));
  EXPECT_EQ(w.m_usbManager->getLastDefectCounter(), 3u);
}

TEST_F(ControllerBase, RetryLimitZeroEndsTheFirstDefectForGood) {
  RuvoCtrlVolume::setMaxWriteRetryR(0);
  TestWriter w;
  auto b = buffer(4096);
  TestController ctl(w, file_, b);
  ASSERT_TRUE(ctl.writeProcImpl(true));
  engine().fsctl_results_next[kVerify] = {22};
  EXPECT_FALSE(w.beforeDataCheckProcess(ctl));
  EXPECT_TRUE(w.m_retryOver);
  EXPECT_EQ(ctl.writes, 1);
  EXPECT_EQ(w.errors, (std::vector<std::uint32_t>{0x82000019, 0x82000019}));
  EXPECT_TRUE(traced(u"annulus write retry over(0)\n"));
  expectExclusiveLeft(w, "retry over");
  // Every later check answers it at once, without asking the drive.
  const std::size_t syncs = count(kSync);
  TestController next(w, file_, b);
  w.errors.clear();
  EXPECT_FALSE(w.beforeDataCheckProcess(next));
  EXPECT_EQ(w.errors, std::vector<std::uint32_t>{0x82000019});
  EXPECT_EQ(count(kSync), syncs);
}

TEST_F(ControllerBase, RetriesUpToTheLimitThenRetryOver) {
  RuvoCtrlVolume::setMaxWriteRetryR(2);
  TestWriter w;
  auto b = buffer(4096);
  TestController ctl(w, file_, b);
  ASSERT_TRUE(ctl.writeProcImpl(true));
  engine().fsctl_results[kVerify] = 22;
  EXPECT_FALSE(w.beforeDataCheckProcess(ctl));
  EXPECT_EQ(ctl.writes, 3);
  EXPECT_EQ(ctl.m_isAlreadyWrite, 1);
  EXPECT_TRUE(traced(u"annulus write retry : 2\n"));
  EXPECT_TRUE(traced(u"annulus write retry over(2)\n"));
  expectExclusiveLeft(w, "after retries");
}

TEST_F(ControllerBase, UnreadableDefectCounterFailsTheCheck) {
  TestWriter w;
  auto b = buffer(4096);
  TestController ctl(w, file_, b);
  ASSERT_TRUE(ctl.writeProcImpl(true));
  engine().fsctl_results[kDefects] = 5;
  EXPECT_FALSE(w.beforeDataCheckProcess(ctl));
  EXPECT_EQ(w.errors, std::vector<std::uint32_t>{0x82000016});
  EXPECT_EQ(ctl.completed, 0);
  expectExclusiveLeft(w, "counter unreadable");
}

TEST_F(ControllerBase, RunDataCheckTakesTheCurrentController) {
  TestWriter w;
  EXPECT_TRUE(w.runDataCheck());  // none
  auto b = buffer(4096);
  auto ctl = std::make_shared<TestController>(w, file_, b);
  ASSERT_TRUE(ctl->writeProcImpl(true));
  w.m_currentWriteController = ctl;
  EXPECT_TRUE(w.runDataCheck());
  EXPECT_EQ(w.m_currentWriteController, nullptr);
  EXPECT_EQ(ctl->completed, 1);
}

TEST_F(ControllerBase, PendingBytesAndControllerReset) {
  TestWriter w;
  EXPECT_EQ(w.pendingBytes(w.m_writeControllers), 0u);
  auto a = std::make_shared<TestController>(w, file_, buffer(100));
  auto c = std::make_shared<TestController>(w, file_, buffer(30));
  a->m_reWriteCondition = 1;
  a->m_progress[2] = 9;
  a->m_entries.push_back({nullptr, {}, 0});
  w.m_writeControllers = {a, c};
  EXPECT_EQ(w.pendingBytes(w.m_writeControllers), 130u);
  w.resetWriteControllers();
  EXPECT_EQ(a->m_reWriteCondition, 0u);
  EXPECT_EQ(a->m_progress[2], 0u);
  EXPECT_TRUE(a->m_entries.empty());
}

TEST_F(ControllerBase, CommittedBytesFollowTheVolumeSizeQuery) {
  engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 1000, 400, 0});
  TestWriter w;
  // No current writer: nothing asked.
  EXPECT_EQ(w.updateDiskFreeSpaceInfo(), 0u);
  EXPECT_EQ(count(kStatfs), 0u);
  AnnulusFileIO::WriterByteAccount proxy;
  proxy.taken = 5000;
  w.m_proxyAccount = &proxy;
  w.m_notSyncBufferSize = 1200;
  EXPECT_EQ(w.updateDiskFreeSpaceInfo(), 0u);
  EXPECT_EQ(proxy.committed, 3800u);
  EXPECT_EQ(RuvoCtrlVolume::m_freeSpace, 400u * 2048);
  EXPECT_TRUE(traced(u"getDiskFreeSpace() result=[0x00000000] mediaCapacity=[2048000] freeSpace=[819200]"));
  w.m_notSyncBufferSize = 6000;
  engine().fsctl_results[kStatfs] = 5;
  EXPECT_EQ(w.updateDiskFreeSpaceInfo(), 0x8800001Cu);
  EXPECT_EQ(proxy.committed, 0u);
  EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(ControllerBase, FailedAllocationIsRecorded) {
  TestWriter w;
  TestController ctl(w, file_, buffer(10));
  engine().ioctl_results[0x800C7083] = 22;
  EXPECT_FALSE(ctl.addFileAllocation(file_, AnnulusFileIO::MakeSpaceEntry(0, 0x100, 1)));
  EXPECT_EQ(w.errors, std::vector<std::uint32_t>{0x8200000C});
  EXPECT_TRUE(traced(u"ERROR : QVE_RESULT_ERROR_ADD_FILE_ALLOCATION ErrorCode=00000057\n"));
}

TEST_F(ControllerBase, RetryCountByMedium) {
  TestWriter w;
  TestController ctl(w, file_, buffer(10));
  RuvoCtrlVolume::setMaxWriteRetryR(4);
  EXPECT_EQ(ctl.retryCount(), 4u);
  RuvoCtrlVolume::setRMediaForTesting(false);
  EXPECT_EQ(ctl.retryCount(), 7u);
  RuvoCtrlVolume::setRMediaForTesting(true);
}
