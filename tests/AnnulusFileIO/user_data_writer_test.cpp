// The low-level user-data writer over the scripted operation table: its
// thread and queue, the parity split, recovery from a failed sync, the
// widening to recording units, allocation, read-back, end of file and close.
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "LumoQVE/UserDataFileIO.h"
#include "support/running_interface.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using AnnulusFileIO::BufferUserData;
using AnnulusFileIO::RUVOFile;
using AnnulusFileIO::UserDataFileIOImpl;
using namespace AnnulusFileIOErrors;

namespace {

constexpr unsigned kTrack = 0xC0107016;
constexpr unsigned kResource = 0xC0107041;
constexpr unsigned kPolicy = 0x40207051;
constexpr unsigned kSync = 0x20007030;
constexpr unsigned kDefects = 0x40047040;
constexpr unsigned kEnterExclusive = 0x20007042;
constexpr unsigned kStatfs = 0x40207063;
constexpr unsigned kPerformance = 0xC004706A;
constexpr unsigned kMarkDirty = 0x8004700E;
constexpr unsigned kDeleteAllocation = 0x8004706F;
constexpr std::uint32_t kNwa = 0x100;

// Built-in parity settings (65536-byte recording units, 128 MiB stripes)
// and small ones (2048-byte units, 4096-byte stripes, 2048 bytes of parity).
constexpr kel::ParityConstants kBuiltIn{2064, 2048, 16, 1048576, 134217728, 32};
constexpr kel::ParityConstants kSmall{3, 2, 1, 2048, 4096, 1};

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
  return s;
}

// Holds the first caller of one control code until released.
class Gate {
 public:
  void arm(unsigned code) {
    looptest::engine().fsctl_hook = [this, code](unsigned c) {
      if (c != code || used_.exchange(true)) return;
      std::unique_lock<std::mutex> lk(m_);
      held_ = true;
      cv_.notify_all();
      cv_.wait(lk, [this] { return open_; });
    };
  }
  void waitHeld() {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait(lk, [this] { return held_; });
  }
  void open() {
    std::lock_guard<std::mutex> lk(m_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<bool> used_{false};
  bool held_ = false;
  bool open_ = false;
};

class Writer : public writertest::RunningInterface {
 protected:
  void SetUp() override {
    RunningInterface::SetUp();
    RuvoCtrlVolume::resetForTesting();
    RuvoCtrlVolume::setRMediaForTesting(false);
    kel::WriterParityConstants() = kBuiltIn;
    engine().file_store = true;
    engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, kNwa, 0x800000});
    engine().fsctl_out[kResource] = bytes(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION{0, 0x20, 0x1000, 0x1000});
    engine().fsctl_out[kDefects] = bytes(std::uint32_t{0});
    engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x800000, 0x700000, 0});
    writeMode(false);
    ring_ = std::make_unique<LumoQVE::WriterRingBuffer>(6);
  }
  void TearDown() override {
    engine().fsctl_hook = nullptr;
    kel::WriterParityConstants() = kBuiltIn;
    RuvoCtrlVolume::resetForTesting();
    RunningInterface::TearDown();
  }
  // New write: an error-reporting window of four 32768-block reservations.
  void writeMode(bool new_write) {
    RuvoCtrlVolume::resetForTesting();
    RuvoCtrlVolume::setRMediaForTesting(r_media_);
    MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 1024, 1024, 128, 32768, new_write ? 4u * 32768u : 0u};
    engine().fsctl_out[kPolicy] = bytes(p);
    RuvoCtrlVolume v(u"");
    ASSERT_EQ(v.setWritePolictInformation(), 0u);
    ASSERT_EQ(RuvoCtrlVolume::getNewWrite(), new_write);
  }
  void rMedia(bool r) {
    r_media_ = r;
    RuvoCtrlVolume::setRMediaForTesting(r);
  }
  // A writer bound to "/d/f" (and "/d/f#p" with parity); mode 2 writes on
  // the caller's thread.
  std::unique_ptr<UserDataFileIOImpl> open(bool parity, std::uint32_t mode = 0, std::uint64_t buffer = 1 << 20) {
    auto w = std::make_unique<UserDataFileIOImpl>(u"", mode, nullptr);
    EXPECT_EQ(w->setup(buffer), 0u);
    body_ = std::make_shared<RUVOFile>();
    EXPECT_TRUE(body_->createFile(u"/d/f", 0x40000000, 0, nullptr, 2, 0x80, nullptr));
    std::shared_ptr<RUVOFile> p;
    if (parity) {
      p = std::make_shared<RUVOFile>();
      EXPECT_TRUE(p->createFile(u"/d/f#p", 0x40000000, 0, nullptr, 2, 0x80, nullptr));
    }
    EXPECT_EQ(w->setFile(body_, p), 0u);
    return w;
  }
  // Hands data to the writer in the ring's current buffer.
  std::shared_ptr<BufferUserData> put(UserDataFileIOImpl& w, const std::string& data, bool last = false) {
    auto b = ring_->getCurrentBuffer();
    EXPECT_TRUE(b);
    if (!b) return nullptr;
    EXPECT_EQ(b->append(data.data(), data.size()), data.size());
    b->m_isWhenClose = last;
    ring_->handCurrentToWriter();
    EXPECT_EQ(w.write(b, ring_.get()), 0u);
    return b;
  }
  std::string fileData(const std::string& path) {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().files[path].data;
  }
  std::vector<std::string> callsLike(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& c : engine().callsSnapshot())
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
  bool ringAllFree() {
    for (int i = 0; i < ring_->count(); ++i)
      if (ring_->buffer(i)->isBusy()) return false;
    return true;
  }

  bool r_media_ = false;
  std::unique_ptr<LumoQVE::WriterRingBuffer> ring_;
  std::shared_ptr<RUVOFile> body_;
  void sizeRing(std::uint64_t bytes) { ASSERT_EQ(ring_->sizeBuffers(bytes), 0u); }
};

}  // namespace

// ---------------------------------------------------------------- thread

TEST_F(Writer, ThirdWriteWaitsUntilTheFirstBufferIsHandled) {
  sizeRing(65536);
  auto w = open(false);
  Gate gate;
  gate.arm(kDefects);  // the writer thread's first request of a buffer
  put(*w, pattern(65536, 1));
  gate.waitHeld();
  put(*w, pattern(65536, 2));  // queued behind the first: the queue is full
  std::atomic<int> handled_at_return{-1};
  std::thread producer([&] {
    put(*w, pattern(65536, 3));
    handled_at_return = static_cast<int>(w->m_handledWrites.load());
  });
  while (!w->m_posting.load()) std::this_thread::yield();
  gate.open();
  producer.join();
  EXPECT_GE(handled_at_return.load(), 1) << "the third write returned before the first buffer was done";
  EXPECT_EQ(w->writeSynchronize(), 0u);
  EXPECT_TRUE(fileData("/d/f") == pattern(65536, 1) + pattern(65536, 2) + pattern(65536, 3));
  EXPECT_TRUE(ringAllFree());
}

TEST_F(Writer, FailingBufferStopsTheLaterOnesAndSynchronizeAnswersTheFirstCode) {
  sizeRing(65536);
  auto w = open(false);
  engine().fsctl_results_next[kEnterExclusive] = {5};  // only the first buffer is refused
  put(*w, pattern(65536, 1));
  put(*w, pattern(65536, 2));
  put(*w, pattern(65536, 3));
  EXPECT_EQ(w->writeSynchronize(), QVE_RESULT_ERROR_30);
  EXPECT_TRUE(callsLike("WriteData").empty());
  EXPECT_TRUE(ringAllFree()) << "every buffer handed over comes back";
  EXPECT_EQ(w->closeImpl(), QVE_RESULT_ERROR_30);
  EXPECT_TRUE(callsLike("WriteData").empty()) << "closing a failed writer writes nothing";
}

TEST_F(Writer, DestroyingTheWriterWritesTheQueuedBuffers) {
  sizeRing(65536);
  auto w = open(false);
  Gate gate;
  gate.arm(kDefects);
  put(*w, pattern(65536, 1));
  gate.waitHeld();
  put(*w, pattern(65536, 2));
  std::thread destroyer([&] { w.reset(); });
  gate.open();
  destroyer.join();
  EXPECT_TRUE(fileData("/d/f") == pattern(65536, 1) + pattern(65536, 2));
}

// A ring that tells when its producer waits for a buffer.
class PublishingRing : public LumoQVE::WriterRingBuffer {
 public:
  using WriterRingBuffer::WriterRingBuffer;
  std::atomic<bool> waiting{false};

 protected:
  void beforeWait() override { waiting = true; }
};

TEST_F(Writer, ProducerWaitingForABufferWakesWhenTheWriterFails) {
  writeMode(true);
  PublishingRing ring(1);
  ASSERT_EQ(ring.sizeBuffers(65536), 0u);
  auto w = open(false);
  Gate gate;
  gate.arm(kDefects);
  engine().fsctl_results[kEnterExclusive] = 5;
  auto b = ring.getCurrentBuffer();
  b->append(pattern(100, 1).data(), 100);
  ring.handCurrentToWriter();
  EXPECT_EQ(w->write(b, &ring), 0u);
  gate.waitHeld();
  std::thread producer([&] { ring.getCurrentBuffer(); });
  while (!ring.waiting.load()) std::this_thread::yield();
  gate.open();  // the writer fails the only buffer
  producer.join();
  EXPECT_EQ(w->writeSynchronize(), QVE_RESULT_ERROR_30);
  EXPECT_FALSE(ring.buffer(0)->isBusy());
}

// ---------------------------------------------------------------- parity split

TEST_F(Writer, ParitySplitAtTheStripeEnd) {
  const struct {
    const char* what;
    std::size_t size;
    bool last;
    std::vector<std::uint64_t> pieces;
    std::size_t parities;
  } cases[] = {
      {"stripe ends inside the buffer", 12, false, {8, 4}, 1},
      {"stripe ends at the buffer's end", 8, false, {8}, 1},
      {"partial stripe of a middle buffer", 4, false, {4}, 0},
      {"partial stripe of the last buffer", 4, true, {4}, 1},
  };
  for (const auto& c : cases) {
    Util::CalcParity parity(3, 2, 4);  // 8-byte stripes, 4 bytes of parity
    auto b = std::make_shared<BufferUserData>(pattern(c.size, 5).data(), c.size);
    b->m_isWhenClose = c.last;
    UserDataFileIOImpl::UserDataThreadMsgWrite m(b, &parity);
    m.run();
    EXPECT_EQ(m.m_vecBodySize, c.pieces) << c.what;
    ASSERT_EQ(m.m_vecParity.size(), c.parities) << c.what;
    if (c.parities == 0) continue;
    const std::string d = pattern(c.size, 5);
    std::string expect(4, '\0');
    for (std::size_t i = 0; i < std::min<std::size_t>(c.size, 8); ++i) expect[i % 4] ^= d[i];
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m.m_vecParity[0]->data()), 4), expect) << c.what;
  }
}

// A file's last, partial stripe takes the parity its bytes need, in whole
// symbols (the packed writer's size), not the parity of a whole stripe.
TEST_F(Writer, PartialLastStripeTakesTheParityOfItsBytes) {
  const struct {
    std::size_t size;
    std::vector<std::uint64_t> pieces;
    std::vector<std::size_t> parity_sizes;
  } cases[] = {
      {1, {1}, {2}},         // one byte: one symbol
      {3, {3}, {4}},         // three bytes: two symbols
      {4, {4}, {8}},         // a whole stripe
      {9, {4, 4, 1}, {8, 8, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Util::CalcParity parity(6, 2, 2);  // 2-byte symbols: 4-byte stripes, 8 bytes of parity
    const std::string d = pattern(c.size, 9);
    auto b = std::make_shared<BufferUserData>(d.data(), d.size());
    b->m_isWhenClose = true;
    UserDataFileIOImpl::UserDataThreadMsgWrite m(b, &parity);
    m.run();
    EXPECT_EQ(m.m_vecBodySize, c.pieces);
    ASSERT_EQ(m.m_vecParity.size(), c.parity_sizes.size());
    std::size_t at = 0;
    for (std::size_t k = 0; k < c.parity_sizes.size(); ++k) {
      ASSERT_EQ(m.m_vecParity[k]->used(), c.parity_sizes[k]) << k;
      std::string expect(c.parity_sizes[k], '\0');
      for (std::size_t i = 0; i < c.pieces[k]; ++i) expect[i % 8] ^= d[at + i];
      EXPECT_EQ(std::string(reinterpret_cast<char*>(m.m_vecParity[k]->data()), c.parity_sizes[k]), expect) << k;
      at += c.pieces[k];
    }
  }
}

// Through the engine: a 1000-byte file with 8 KiB of parity per 4 KiB
// stripe gets one 2048-byte block of parity; its stripe's data reach only
// the first parity symbol.
TEST_F(Writer, ShortFileWritesOneSymbolOfParity) {
  kel::WriterParityConstants() = kel::ParityConstants{6, 2, 4, 8192, 4096, 1};
  sizeRing(8192);
  auto w = open(true, 2);
  const std::string data = pattern(1000, 4);
  put(*w, data, true);
  EXPECT_EQ(w->writeSynchronize(), 0u);
  std::string parity(2048, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) parity[i] ^= data[i];
  EXPECT_EQ(fileData("/d/f#p").size(), 2048u);
  EXPECT_TRUE(fileData("/d/f#p") == parity);
  EXPECT_TRUE(fileData("/d/f").substr(0, 1000) == data);
}

TEST_F(Writer, BodyInTwoPiecesReachesTheEngineAsBodyParityBody) {
  kel::WriterParityConstants() = kSmall;
  sizeRing(8192);
  auto w = open(true, 2);
  const std::string data = pattern(6144, 3);
  put(*w, data);
  EXPECT_EQ(w->writeSynchronize(), 0u);
  EXPECT_EQ(callsLike("WriteData"),
            (std::vector<std::string>{"WriteData(0,4096)", "WriteData(0,2048)", "WriteData(4096,2048)"}));
  std::string parity(2048, '\0');
  for (std::size_t i = 0; i < 4096; ++i) parity[i % 2048] ^= data[i];
  EXPECT_TRUE(fileData("/d/f#p") == parity);
  EXPECT_TRUE(fileData("/d/f") == data);
}

TEST_F(Writer, WithoutAParityFileTheBodyStaysWhole) {
  kel::WriterParityConstants() = kSmall;
  sizeRing(8192);
  auto w = open(false, 2);
  put(*w, pattern(6144, 3), true);
  EXPECT_EQ(w->writeSynchronize(), 0u);
  EXPECT_EQ(callsLike("WriteData"), (std::vector<std::string>{"WriteData(0,6144)"}));
}

// ---------------------------------------------------------------- recovery

// Three unconfirmed buffers of one recording unit each, at blocks kNwa,
// kNwa + 32 and kNwa + 64, and a failed sync whose error block the engine
// reports.
TEST_F(Writer, FailedSyncRewritesFromTheControllerThatHoldsTheErrorBlock) {
  const struct {
    const char* what;
    std::uint32_t error_block;
    std::vector<std::string> rewrites;
    std::uint32_t deleted_from;
  } cases[] = {
      {"inside the second", kNwa + 40, {"WriteData(65536,65536)", "WriteData(131072,65536)"}, 32},
      {"at the end of the last", kNwa + 96, {"WriteData(0,65536)", "WriteData(65536,65536)", "WriteData(131072,65536)"}, 0},
      {"beyond the last", kNwa + 500, {"WriteData(0,65536)", "WriteData(65536,65536)", "WriteData(131072,65536)"}, 0},
  };
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    writeMode(true);
    sizeRing(65536);
    auto w = open(false, 2);
    std::string data;
    for (unsigned i = 0; i < 3; ++i) {
      data += pattern(65536, i);
      put(*w, pattern(65536, i));
    }
    ASSERT_EQ(w->m_writeControllerEnd.size(), 3u) << c.what;
    engine().calls.clear();
    engine().fsctl_results_next[kSync] = {5};
    engine().fsctl_out[kPerformance] = bytes(c.error_block);
    EXPECT_EQ(w->syncWriteData(), 0u) << c.what;
    EXPECT_EQ(callsLike("WriteData"), c.rewrites) << c.what;
    std::vector<std::vector<std::uint8_t>> deletes;
    {
      std::lock_guard<std::mutex> lk(engine().mu);
      for (std::size_t i = 0; i < engine().ioctl_codes.size(); ++i)
        if (engine().ioctl_codes[i] == kDeleteAllocation) deletes.push_back(engine().ioctl_in[i]);
    }
    ASSERT_EQ(deletes.size(), 1u) << c.what;
    EXPECT_EQ(deletes[0], bytes(c.deleted_from)) << c.what;
    EXPECT_EQ(w->m_committedWriteSize, 196608) << c.what;
    EXPECT_TRUE(fileData("/d/f") == data) << c.what;
    EXPECT_TRUE(ringAllFree()) << c.what;
  }
}

// A loss the engine reports from before the first unconfirmed buffer
// reaches data no longer held (buffers released as confirmed, or blocks not
// the file's): nothing is written again and the sync fails, with the
// queues emptied and every buffer back in the ring.
TEST_F(Writer, ALossBeforeTheUnconfirmedBuffersFailsTheSync) {
  writeMode(true);
  sizeRing(65536);
  auto w = open(false, 2);
  for (unsigned i = 0; i < 3; ++i) put(*w, pattern(65536, i));
  ASSERT_EQ(w->m_writeControllerEnd.size(), 3u);
  engine().calls.clear();
  engine().fsctl_results_next[kSync] = {5};
  engine().fsctl_out[kPerformance] = bytes(kNwa - 1);
  EXPECT_EQ(w->syncWriteData(), QVE_RESULT_ERROR_SYNC_CACHE);
  EXPECT_TRUE(callsLike("WriteData").empty());
  EXPECT_TRUE(w->m_writeControllerEnd.empty() && w->m_writeControllers.empty());
  EXPECT_TRUE(ringAllFree());
}

TEST_F(Writer, OneFailureMoreThanTheRetryCountEndsTheWrite) {
  const struct {
    bool r_media;
    std::uint32_t limit;
  } cases[] = {{true, 9}, {false, 3}};
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    rMedia(c.r_media);
    writeMode(true);
    RuvoCtrlVolume::setMaxWriteRetryR(9);
    sizeRing(65536);
    auto w = open(false, 2);
    put(*w, pattern(65536, 1));
    engine().calls.clear();
    engine().fsctl_results[kSync] = 5;
    engine().fsctl_out[kPerformance] = bytes(kNwa + 1);
    EXPECT_EQ(w->syncWriteData(), QVE_RESULT_ERROR_RETRY_OVER) << c.r_media;
    EXPECT_EQ(callsLike("WriteData").size(), c.limit) << c.r_media;
    EXPECT_EQ(w->lastError(), QVE_RESULT_ERROR_RETRY_OVER);
    EXPECT_TRUE(w->m_writeControllerEnd.empty() && w->m_writeControllers.empty());
    EXPECT_TRUE(ringAllFree());
  }
}

TEST_F(Writer, RecoveryWithNothingToRewriteIsAnErrorNotACrash) {
  writeMode(true);
  auto w = open(false, 2);
  EXPECT_EQ(w->setRecoveryDataOnWaitQue(), QVE_RESULT_ERROR_PARITY);
  EXPECT_EQ(w->commonWriteErrorRecovery(), QVE_RESULT_ERROR_PARITY);
  EXPECT_TRUE(w->deleteFileAllocation());
}

// ---------------------------------------------------------------- write controller

TEST_F(Writer, WriteInsideARecordingUnitReadsTheHeadBackAndPlacesTheData) {
  sizeRing(65536);
  const std::string old = pattern(131072, 9);
  {
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().files["/d/f"].data = old;
    engine().files["/d/f"].extents = {{0, 0x500, 64}};
  }
  auto w = open(false, 2);
  EXPECT_EQ(w->m_fileAllocatedSize, 131072);
  w->m_currentFilePointer = 70000;
  engine().calls.clear();
  put(*w, pattern(1000, 4));
  EXPECT_EQ(w->writeSynchronize(), 0u);
  const auto calls = engine().callsSnapshot();
  std::vector<std::string> io;
  for (const auto& s : calls)
    if (s.rfind("ReadData", 0) == 0 || s.rfind("WriteData", 0) == 0) io.push_back(s);
  EXPECT_EQ(io, (std::vector<std::string>{"ReadData(65536,65536)", "WriteData(65536,65536)"}));
  std::string expect = old;
  expect.replace(70000, 1000, pattern(1000, 4));
  EXPECT_TRUE(fileData("/d/f") == expect);
  EXPECT_EQ(w->m_currentFilePointer, 71000);
}

TEST_F(Writer, AlignedWriteReadsNothingBack) {
  sizeRing(131072);
  auto w = open(false, 2);
  put(*w, pattern(131072, 2));
  EXPECT_EQ(w->writeSynchronize(), 0u);
  EXPECT_TRUE(callsLike("ReadData").empty());
  EXPECT_EQ(callsLike("WriteData"), (std::vector<std::string>{"WriteData(0,131072)"}));
}

TEST_F(Writer, RMediaWriteAwayFromTheAllocatedEndFails) {
  const struct {
    std::uint32_t append_status;
    std::uint32_t result;
  } cases[] = {{0, QVE_RESULT_ERROR_NOT_SEQUENTIAL}, {RUVOFile::FILE_APPEND_INITIAL, 0}};
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    rMedia(true);
    writeMode(false);
    sizeRing(65536);
    {
      std::lock_guard<std::mutex> lk(engine().mu);
      engine().files["/d/f"].data = pattern(131072, 1);
      engine().files["/d/f"].extents = {{0, 0x500, 64}};
    }
    auto w = open(false, 2);
    body_->m_appendStatus = c.append_status;
    w->m_currentFilePointer = 65536;
    put(*w, pattern(65536, 2));
    EXPECT_EQ(w->writeSynchronize(), c.result) << c.append_status;
  }
}

// ---------------------------------------------------------------- allocation

TEST_F(Writer, PiecesAndParityShareOneRunInFileOrder) {
  auto w = open(true, 2);
  UserDataFileIOImpl::AllocationRequest req;
  req.bodySizes = {65536, 10000};
  req.parity = {std::make_shared<BufferUserData>(pattern(2048, 1).data(), 2048)};
  req.bodyBytes = 75536;
  EXPECT_EQ(w->allocate_file(req, UserDataFileIOImpl::kAllocNormal, true), 0u);
  ASSERT_EQ(req.bodyRanges.size(), 2u);
  ASSERT_EQ(req.parityRanges.size(), 1u);
  EXPECT_EQ(req.bodyRanges[0].BlockOffset, static_cast<std::int32_t>(kNwa));
  EXPECT_EQ(req.bodyRanges[0].NumberOfBlocks, 32);
  EXPECT_EQ(req.parityRanges[0].BlockOffset, static_cast<std::int32_t>(kNwa + 32));
  EXPECT_EQ(req.parityRanges[0].NumberOfBlocks, 1);
  EXPECT_EQ(req.bodyRanges[1].BlockOffset, static_cast<std::int32_t>(kNwa + 33));
  EXPECT_EQ(req.bodyRanges[1].NumberOfBlocks, 5);
  EXPECT_EQ(w->m_fileAllocatedSize, 37 * 2048);
}

TEST_F(Writer, EmptyFileGetsAnEmptyListWithoutAskingTheEngine) {
  auto w = open(false, 2);
  EXPECT_TRUE(w->m_allocation.empty());
  std::lock_guard<std::mutex> lk(engine().mu);
  EXPECT_TRUE(engine().ioctl_codes.empty());
}

TEST_F(Writer, DiscMarginsAreBackAfterEveryAllocation) {
  rMedia(true);
  writeMode(false);
  auto w = open(false, 2);
  const std::uint64_t margin = RuvoCtrlVolume::getDiscFullMarginBlocks();
  ASSERT_EQ(w->m_usbManager->getDiscMargin(), margin);
  const struct {
    const char* what;
    int file_result;
  } cases[] = {{"success", 0}, {"refused registration", 5}};
  for (const auto& c : cases) {
    engine().ioctl_results[0x800C7083] = c.file_result;
    UserDataFileIOImpl::AllocationRequest req;
    req.bodyBytes = 4096;
    const std::uint32_t r = w->allocate_file(req, UserDataFileIOImpl::kAllocNormal, false);
    EXPECT_EQ(r != 0, c.file_result != 0) << c.what;
    EXPECT_EQ(w->m_usbManager->getDiscMargin(), margin) << c.what;
  }
}

TEST_F(Writer, DiscSpanInhibitStopsAtTheCurrentDiscsEnd) {
  const struct {
    bool parity;
    std::vector<std::string> writes;
  } cases[] = {{false, {"WriteData(0,131072)"}}, {true, {}}};
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    RuvoCtrlVolume::setGenerateParity(true);
    // Two recording units left on the current disc besides the one kept
    // while its integrity descriptor is closed; the buffer holds three.
    engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, kNwa, kNwa + 64 + 32});
    sizeRing(196608);
    auto w = open(c.parity, 2);
    body_->InhibitSpanningDiscWrite = 1;
    put(*w, pattern(196608, 1));
    EXPECT_EQ(w->writeSynchronize(), QVE_RESULT_ERROR_NO_FREE_BLOCKS) << c.parity;
    EXPECT_EQ(callsLike("WriteData"), c.writes) << c.parity;
  }
}

// ---------------------------------------------------------------- reading back

TEST_F(Writer, ReadBackComesFromTheDiscAndTheUnconfirmedBuffers) {
  writeMode(true);
  sizeRing(65536);
  auto w = open(false, 2);
  std::string data;
  for (unsigned i = 0; i < 2; ++i) {
    data += pattern(65536, i);
    put(*w, pattern(65536, i));
  }
  ASSERT_EQ(w->syncWriteData(), 0u);  // the first two are confirmed
  data += pattern(65536, 7);
  put(*w, pattern(65536, 7));
  ASSERT_EQ(w->m_writeControllerEnd.size(), 1u);
  // The medium copy of the unconfirmed part differs: a read taken from it
  // would show.
  {
    std::lock_guard<std::mutex> lk(engine().mu);
    auto& f = engine().files["/d/f"].data;
    std::memset(&f[131072], 0xEE, 65536);
  }
  const struct {
    const char* what;
    std::int64_t at;
    std::uint32_t length;
    bool reads_disc;
  } cases[] = {
      {"at the first unconfirmed buffer", 131072, 1000, false},
      {"across its start", 131000, 1000, true},
      {"inside the confirmed part", 100, 1000, true},
  };
  for (const auto& c : cases) {
    engine().calls.clear();
    w->m_currentFilePointer = c.at;
    std::string out(c.length, '\0');
    std::uint32_t got = 0;
    EXPECT_EQ(w->read(out.data(), c.length, got), 0u) << c.what;
    EXPECT_EQ(got, c.length) << c.what;
    EXPECT_EQ(out, data.substr(static_cast<std::size_t>(c.at), c.length)) << c.what;
    EXPECT_EQ(!callsLike("ReadData").empty(), c.reads_disc) << c.what;
  }
  w->m_currentFilePointer = w->m_virtualFileSize;
  std::uint32_t got = 5;
  char byte = 0;
  EXPECT_EQ(w->read(&byte, 1, got), 0u);
  EXPECT_EQ(got, 0u) << "at the logical size nothing is read";
}

TEST_F(Writer, BytesWithoutBlocksReadAsZeros) {
  sizeRing(65536);
  auto w = open(false, 2);
  put(*w, pattern(65536, 1));
  ASSERT_EQ(w->writeSynchronize(), 0u);
  w->m_currentFilePointer = 100000;
  ASSERT_EQ(w->setEndOfFile(true, 0), 0u);
  EXPECT_EQ(w->m_virtualFileSize, 100000);
  w->m_currentFilePointer = 65000;
  std::string out(2000, '\x55');
  std::uint32_t got = 0;
  EXPECT_EQ(w->read(out.data(), 2000, got), 0u);
  EXPECT_EQ(got, 2000u);
  EXPECT_EQ(out.substr(0, 536), pattern(65536, 1).substr(65000));
  EXPECT_EQ(out.substr(536), std::string(1464, '\0'));
}

// ---------------------------------------------------------------- end of file and close

TEST_F(Writer, SecondShrinkIsRefused) {
  sizeRing(131072);
  auto w = open(false, 2);
  put(*w, pattern(131072, 1));
  ASSERT_EQ(w->writeSynchronize(), 0u);
  w->m_currentFilePointer = 70000;
  EXPECT_EQ(w->setEndOfFile(true, 0), 0u);
  w->m_currentFilePointer = 60000;
  EXPECT_EQ(w->setEndOfFile(true, 0), QVE_RESULT_ERROR_NOT_SEQUENTIAL);
  EXPECT_EQ(w->lastError(), QVE_RESULT_ERROR_INVALID_ARGUMENT);
}

TEST_F(Writer, ShrinkInsideARecordingUnitLeavesZerosToItsEnd) {
  sizeRing(131072);
  auto w = open(false, 2);
  put(*w, pattern(131072, 1));
  ASSERT_EQ(w->writeSynchronize(), 0u);
  w->m_currentFilePointer = 70000;
  ASSERT_EQ(w->setEndOfFile(true, 0), 0u);
  const std::string f = fileData("/d/f");
  ASSERT_GE(f.size(), 131072u);
  EXPECT_EQ(f.substr(0, 70000), pattern(131072, 1).substr(0, 70000));
  EXPECT_EQ(f.substr(70000, 131072 - 70000), std::string(131072 - 70000, '\0'));
  EXPECT_EQ(w->closeImpl(), 0u);
  EXPECT_EQ(fileData("/d/f").size(), 70000u);
}

TEST_F(Writer, ShrinkWithParityKeepsTheParityOfWholeStripes) {
  kel::WriterParityConstants() = kSmall;
  sizeRing(16384);
  auto w = open(true, 2);
  put(*w, pattern(16384, 1));  // four stripes
  ASSERT_EQ(w->writeSynchronize(), 0u);
  ASSERT_EQ(fileData("/d/f#p").size(), 4u * 2048);
  w->m_currentFilePointer = 9000;  // two whole stripes and part of a third
  ASSERT_EQ(w->setEndOfFile(true, 0), 0u);
  EXPECT_EQ(fileData("/d/f#p").size(), 2u * 2048);
}

TEST_F(Writer, CloseMarksTheVolumeDirtyWithTheFilesPolicy) {
  const struct {
    const char* what;
    std::size_t size;
    std::uint32_t append_status;
    bool force, refrain;
    std::uint32_t policy;
  } cases[] = {
      {"empty file", 0, 0, true, false, 0},
      {"unwritten append", 65536, RUVOFile::FILE_APPEND_INITIAL, true, false, 0},
      {"forced", 65536, 0, true, true, 1},
      {"refrained", 65536, 0, false, true, 0},
      {"default", 65536, 0, false, false, 1},
  };
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    rMedia(true);
    writeMode(false);
    RuvoCtrlVolume::setDfltFsFlshPlcy(1);
    sizeRing(65536);
    auto w = open(false, 2);
    if (c.size) put(*w, pattern(c.size, 1));
    ASSERT_EQ(w->writeSynchronize(), 0u) << c.what;
    body_->m_appendStatus = c.append_status;
    body_->FORCE_FS_FLUSH_AT_CLOSE = c.force;
    body_->REFRAIN_FS_FLUSH_AT_CLOSE = c.refrain;
    engine().calls.clear();
    {
      std::lock_guard<std::mutex> lk(engine().mu);
      engine().fsctl_codes.clear();
      engine().fsctl_in.clear();
    }
    EXPECT_EQ(w->closeImpl(), 0u) << c.what;
    std::vector<std::vector<std::uint8_t>> marks;
    {
      std::lock_guard<std::mutex> lk(engine().mu);
      for (std::size_t i = 0; i < engine().fsctl_codes.size(); ++i)
        if (engine().fsctl_codes[i] == kMarkDirty) marks.push_back(engine().fsctl_in[i]);
    }
    ASSERT_EQ(marks.size(), 1u) << c.what;
    EXPECT_EQ(marks[0], bytes(c.policy)) << c.what;
    EXPECT_EQ(w->m_closeMarkValue, c.size) << c.what;
    EXPECT_EQ(w->m_closeFlushPolicyOne, c.policy == 1) << c.what;
  }
}

TEST_F(Writer, FirstNonEmptyBufferMarksTheVolumeDirtyOnce) {
  rMedia(true);
  writeMode(false);
  sizeRing(65536);
  auto w = open(false, 2);
  put(*w, pattern(65536, 1));
  put(*w, pattern(65536, 2));
  ASSERT_EQ(w->writeSynchronize(), 0u);
  std::vector<std::vector<std::uint8_t>> marks;
  {
    std::lock_guard<std::mutex> lk(engine().mu);
    for (std::size_t i = 0; i < engine().fsctl_codes.size(); ++i)
      if (engine().fsctl_codes[i] == kMarkDirty) marks.push_back(engine().fsctl_in[i]);
  }
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0], bytes(std::uint32_t{0}));

  engine().reset();
  SetUp();
  rMedia(true);
  writeMode(false);
  sizeRing(65536);
  auto refused = open(false, 2);
  engine().fsctl_results[kMarkDirty] = 5;
  put(*refused, pattern(100, 1));
  EXPECT_EQ(refused->writeSynchronize(), QVE_RESULT_ERROR_MARK_VOLUME_DIRTY);
  EXPECT_TRUE(ringAllFree()) << "the refused buffer comes back";
}

TEST_F(Writer, FailedCloseCutsTheFilesBackToWhatIsConfirmed) {
  writeMode(true);
  sizeRing(65536);
  auto w = open(false, 2);
  put(*w, pattern(65536, 1));
  ASSERT_EQ(w->syncWriteData(), 0u);
  put(*w, pattern(65536, 2));
  engine().fsctl_results[kSync] = 5;
  engine().fsctl_results[kPerformance] = 5;  // the error position cannot be read
  EXPECT_EQ(w->truncateOnWriteError(), QVE_RESULT_ERROR_WRITE_ERROR_POSITION);
  EXPECT_TRUE(fileData("/d/f") == pattern(65536, 1));
}

TEST_F(Writer, SyncFailureBeforeANewTrackRewritesEachUnconfirmedBufferOnceInFileOrder) {
  writeMode(true);
  // Small stripes, so that every buffer starts one and may open a disc;
  // room for two buffers on the first disc.
  kel::WriterParityConstants() = kSmall;
  engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, kNwa, kNwa + 4});
  sizeRing(4096);
  auto w = open(false, 2);
  std::string data;
  for (unsigned i = 0; i < 2; ++i) {
    data += pattern(4096, i);
    put(*w, pattern(4096, i));
  }
  ASSERT_EQ(w->m_writeControllerEnd.size(), 2u);
  engine().calls.clear();
  engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 1, 0x1000, 0x100000});
  engine().fsctl_results_next[kSync] = {5};
  engine().fsctl_out[kPerformance] = bytes(kNwa + 1);  // inside the first
  data += pattern(4096, 2);
  put(*w, pattern(4096, 2));
  EXPECT_EQ(w->writeSynchronize(), 0u);
  EXPECT_EQ(callsLike("WriteData"),
            (std::vector<std::string>{"WriteData(0,4096)", "WriteData(4096,4096)", "WriteData(8192,4096)"}));
  EXPECT_EQ(w->syncWriteData(), 0u);
  EXPECT_TRUE(fileData("/d/f") == data);
  EXPECT_EQ(w->m_committedWriteSize, 12288);
}

TEST_F(Writer, OldWriteRewritesABufferWhoseCheckFailed) {
  sizeRing(65536);
  auto w = open(false, 2);
  engine().fsctl_results_next[kSync] = {5};  // the check after the first write
  put(*w, pattern(65536, 1));
  EXPECT_EQ(w->writeSynchronize(), 0u);
  EXPECT_EQ(callsLike("WriteData"), (std::vector<std::string>{"WriteData(0,65536)", "WriteData(0,65536)"}));
  EXPECT_TRUE(fileData("/d/f") == pattern(65536, 1));
  EXPECT_EQ(w->m_committedWriteSize, 65536);
  EXPECT_TRUE(ringAllFree());
}
