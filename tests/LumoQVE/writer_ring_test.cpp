// The writer's ring of data buffers in old-write and new-write mode.
#include "AnnulusFileIO/Buffers.h"
#include "AnnulusFileIO/support/running_interface.h"
#include "LumoQVE/UserDataFileIO.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>

using AnnulusFileIO::BufferUserData;
using LumoQVE::WriterRingBuffer;

namespace {

// Sets the write mode through the write policy, as the volume reports it.
void readPolicy(looptest::FakeEngine& e, bool new_write) {
  MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 1000, 1000, 128, 32768,
                                   new_write ? 100000u : 0u};
  e.fsctl_out[0x40207051] = writertest::RunningInterface::bytes(p);
  RuvoCtrlVolume v(u"");
  ASSERT_EQ(v.setWritePolictInformation(), 0u);
  ASSERT_EQ(RuvoCtrlVolume::getNewWrite(), new_write);
}

// A ring whose hook runs between the empty scan and the wait.
class HookedRing : public WriterRingBuffer {
 public:
  using WriterRingBuffer::WriterRingBuffer;
  std::function<void()> hook;
  std::atomic<int> waits{0};

 protected:
  void beforeWait() override {
    ++waits;
    if (hook) hook();
  }
};

// Takes every buffer of the ring and hands it to the writer.
std::vector<std::shared_ptr<BufferUserData>> handAll(WriterRingBuffer& ring) {
  std::vector<std::shared_ptr<BufferUserData>> out;
  for (int i = 0; i < ring.count(); ++i) {
    EXPECT_EQ(ring.getCurrentBuffer(), ring.buffer(i));
    out.push_back(ring.handCurrentToWriter());
  }
  return out;
}

}  // namespace

class Ring : public writertest::RunningInterface {};

TEST_F(Ring, CurrentBufferIsKeptUntilHandedOver) {
  readPolicy(engine(), false);
  WriterRingBuffer ring(4);
  ASSERT_EQ(ring.sizeBuffers(4096), 0u);
  auto first = ring.getCurrentBuffer();
  EXPECT_EQ(first, ring.buffer(0));
  EXPECT_EQ(ring.getCurrentBuffer(), first);
  EXPECT_EQ(ring.handCurrentToWriter(), first);
  EXPECT_TRUE(first->isBusy());
  EXPECT_EQ(ring.getCurrentBuffer(), ring.buffer(1));
}

TEST_F(Ring, OldWriteWithEveryBufferAtTheWriterAnswersEmpty) {
  readPolicy(engine(), false);
  HookedRing ring(4);
  auto taken = handAll(ring);
  EXPECT_EQ(ring.getCurrentBuffer(), nullptr);
  EXPECT_EQ(ring.waits.load(), 0);
  EXPECT_EQ(traces().back(), u">>> no buffer(old writer)");
  // A buffer given back is found again, in ring order.
  ring.giveBack(taken[2]);
  EXPECT_EQ(ring.getCurrentBuffer(), taken[2]);
}

TEST_F(Ring, NewWriteProducerWaitsUntilABufferIsGivenBack) {
  readPolicy(engine(), true);
  HookedRing ring(3);
  auto taken = handAll(ring);
  std::promise<void> waiting;
  ring.hook = [&] { waiting.set_value(); };
  std::atomic<bool> returned{false};
  auto producer = std::async(std::launch::async, [&] {
    auto b = ring.getCurrentBuffer();
    returned = true;
    return b;
  });
  waiting.get_future().wait();  // the producer found none and is about to wait
  EXPECT_FALSE(returned.load());
  ring.giveBack(taken[1]);
  EXPECT_EQ(producer.get(), taken[1]);
  EXPECT_EQ(ring.waits.load(), 1);
  const auto t = traces();
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(std::vector<std::u16string>(t.end() - 3, t.end()),
            (std::vector<std::u16string>{u">>> no buffer(new writer) ", u">>> buffer wait start",
                                         u">>> buffer wait end"}));
}

TEST_F(Ring, NewWriteReleaseBetweenResetAndWaitIsNotMissed) {
  readPolicy(engine(), true);
  HookedRing ring(2);
  auto taken = handAll(ring);
  // The writer gives a buffer back after the scan, before the wait begins.
  ring.hook = [&] {
    std::thread writer([&] { ring.giveBack(taken[0]); });
    writer.join();
  };
  EXPECT_EQ(ring.getCurrentBuffer(), taken[0]);
  EXPECT_EQ(ring.waits.load(), 1);
}

TEST_F(Ring, NewWriteWaitEndsWhenTheWriterGivesUp) {
  readPolicy(engine(), true);
  HookedRing ring(2);
  handAll(ring);
  std::promise<void> waiting;
  ring.hook = [&] { waiting.set_value(); };
  auto producer = std::async(std::launch::async, [&] { return ring.getCurrentBuffer(); });
  waiting.get_future().wait();
  ring.endWaiting();
  EXPECT_EQ(producer.get(), nullptr);
  EXPECT_EQ(ring.getCurrentBuffer(), nullptr);  // later calls do not wait
  EXPECT_EQ(ring.waits.load(), 1);
}

TEST_F(Ring, RefusedPageAllocationIsAResultNotACrash) {
  WriterRingBuffer ring(2);
  // A buffer beyond the ring's byte cap is refused before any allocation.
  EXPECT_EQ(ring.sizeBuffers(WriterRingBuffer::byteCap() + 1), 0xFFFFFFFDu);
  EXPECT_EQ(ring.count(), 2);
  // Without a cap the page allocator refuses it.
  struct CapBack {
    ~CapBack() { WriterRingBuffer::setByteCapForTesting(0); }
  } cap_back;
  WriterRingBuffer::setByteCapForTesting(~std::uint64_t{0});
  EXPECT_EQ(ring.sizeBuffers(0xFFFFFFFFFFFFull << 12), 0xFFFFFFFDu);
  EXPECT_FALSE(ring.buffer(0)->hasBlock());
  EXPECT_EQ(ring.sizeBuffers(8192), 0u);
  EXPECT_TRUE(ring.buffer(1)->hasBlock());
}

// A held buffer (its bytes are read again after the writer gave it back)
// is never handed out for new bytes until the holds are released, and the
// ring says when nothing but held or written buffers is left.
TEST_F(Ring, AHeldBufferIsNotRefilledUntilReleased) {
  readPolicy(engine(), false);
  WriterRingBuffer ring(3);
  ASSERT_EQ(ring.sizeBuffers(4096), 0u);
  const std::string bytes(4096, 'k');
  auto first = ring.getCurrentBuffer();
  ASSERT_EQ(first, ring.buffer(0));
  first->append(bytes.data(), bytes.size());
  ring.hold(first);
  ring.giveBack(ring.handCurrentToWriter());
  EXPECT_FALSE(ring.allTakenOrHeld());
  auto second = ring.getCurrentBuffer();
  EXPECT_EQ(second, ring.buffer(1)) << "the held buffer is skipped";
  ring.handCurrentToWriter();
  EXPECT_EQ(ring.getCurrentBuffer(), ring.buffer(2));
  ring.handCurrentToWriter();
  EXPECT_TRUE(ring.allTakenOrHeld());
  EXPECT_EQ(ring.getCurrentBuffer(), nullptr) << "old-write mode answers empty instead of refilling it";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first->data()), bytes.size()), bytes);
  ring.releaseHeld();
  EXPECT_FALSE(ring.allTakenOrHeld());
  EXPECT_EQ(ring.getCurrentBuffer(), first);
}
