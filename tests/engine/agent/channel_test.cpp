// The in-process request channel: engine side against a scripted agent.
#include "kelagent/mdc_channel.h"
#include "support/settles.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using kel_test::settles;

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mdcudfsr_metacache_init();
    ch = mdcudfsr_metacache_alloc(&mp);
    ASSERT_NE(ch, nullptr);
    mp.metacachedev = ch;
  }
  void TearDown() override {
    if (mdcudfsr_metacache_is_opened(ch)) mdcudfsr_metacache_close();
    mdcudfsr_metacache_free(ch);
  }

  mdc_req_t* make_req(std::uint32_t req_id, const std::vector<std::uint8_t>& payload) {
    mdc_req_t* r = mdcudfsr_metacache_alloc_req(ch, static_cast<std::int32_t>(payload.size()));
    r->hdr.req_id = req_id;
    if (!payload.empty()) std::memcpy(r->payload(), payload.data(), payload.size());
    return r;
  }

  // Writes an answer image for seq with an error and payload.
  std::uint64_t answer(std::uint32_t seq, std::uint32_t req_id, std::int32_t error,
                       const std::vector<std::uint8_t>& payload = {}) {
    std::vector<std::uint8_t> img(sizeof(mdc_ans_header_t) + payload.size());
    mdc_ans_header_t h{seq, req_id, 0, static_cast<std::uint32_t>(payload.size()), error};
    std::memcpy(img.data(), &h, sizeof h);
    if (!payload.empty()) std::memcpy(img.data() + sizeof h, payload.data(), payload.size());
    return mdcudfsr_metacache_write(img.data(), img.size());
  }

  mdcudfsr_mount mp;
  mdc_channel* ch = nullptr;
};

TEST_F(ChannelTest, AllocationNamesTheChannelAndRefusesASecondAllocation) {
  EXPECT_STREQ(ch->name, "kelfsc0");
  EXPECT_EQ(ch->status, METACACHE_ALLOCATED);
  mdcudfsr_mount other;
  EXPECT_EQ(mdcudfsr_metacache_alloc(&other), nullptr);
  EXPECT_EQ(ch->mount, &mp);
}

TEST_F(ChannelTest, OpenSetsTheMountFlagAndASecondOpenIsBusy) {
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  EXPECT_EQ(mp.cache_agent_opened, 1);
  EXPECT_EQ(ch->status, METACACHE_OPENED);
  EXPECT_EQ(mdcudfsr_metacache_is_opened(ch), 1u);
  EXPECT_NE(mdcudfsr_metacache_get_agent_pid(ch), 0);
  EXPECT_EQ(mdcudfsr_metacache_open(), 16);
  EXPECT_EQ(mdcudfsr_metacache_is_opened(ch), 1u);
}

TEST(ChannelOpen, OpenBeforeAllocationWaitsForTheMount) {
  mdcudfsr_metacache_init();
  std::atomic<int> result{-1};
  std::thread agent([&] { result = mdcudfsr_metacache_open(); });
  ASSERT_TRUE(settles([] { return mdcudfsr_metacache_open_waiters() == 1; }));
  EXPECT_EQ(result.load(), -1);  // cannot open before the mount allocated the channel
  mdcudfsr_mount mp;
  mdc_channel* ch = mdcudfsr_metacache_alloc(&mp);
  ASSERT_NE(ch, nullptr);
  agent.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(mp.cache_agent_opened, 1);
  EXPECT_EQ(mdcudfsr_metacache_close(), 0);
  mdcudfsr_metacache_free(ch);
}

TEST(ChannelOpen, OfTwoOpenersWaitingForTheAllocationOneWinsTheOtherGets16) {
  mdcudfsr_metacache_init();
  std::atomic<int> results[2] = {-1, -1};
  std::vector<std::thread> openers;
  for (auto& r : results) openers.emplace_back([&r] { r = mdcudfsr_metacache_open(); });
  ASSERT_TRUE(settles([] { return mdcudfsr_metacache_open_waiters() == 2; }));
  mdcudfsr_mount mp;
  mdc_channel* ch = mdcudfsr_metacache_alloc(&mp);
  ASSERT_NE(ch, nullptr);
  // The loser ends without another allocation.
  const bool both = settles([&] { return results[0] != -1 && results[1] != -1; });
  EXPECT_TRUE(both) << "an opener is still waiting after the other one opened";
  if (!both) {  // release it: it waits for the next allocation
    mdcudfsr_metacache_close();
    mdcudfsr_metacache_free(ch);
    ch = mdcudfsr_metacache_alloc(&mp);
  }
  for (auto& t : openers) t.join();
  EXPECT_EQ(std::min(results[0].load(), results[1].load()), 0);
  EXPECT_EQ(std::max(results[0].load(), results[1].load()), 16);
  EXPECT_EQ(mdcudfsr_metacache_open_waiters(), 0u);
  EXPECT_EQ(mdcudfsr_metacache_is_opened(ch), 1u);
  EXPECT_EQ(mp.cache_agent_opened, 1);
  EXPECT_EQ(mdcudfsr_metacache_close(), 0);
  mdcudfsr_metacache_free(ch);
}

TEST(ChannelOpen, AStoppedOpenerGivesUpAndLeavesTheNextAllocationAlone) {
  mdcudfsr_metacache_init();
  // An agent thread of a mount that failed: it holds a ticket.
  const std::uint64_t ticket = mdcudfsr_metacache_issue_ticket();
  std::atomic<int> result{-1};
  std::thread agent([&] {
    mdcudfsr_metacache_hold_ticket(ticket);
    result = mdcudfsr_metacache_open();
  });
  ASSERT_TRUE(settles([] { return mdcudfsr_metacache_open_waiters() == 1; }));
  mdcudfsr_metacache_cancel_openers();
  const bool ended = settles([&] { return result != -1; });
  mdcudfsr_mount mp;
  mdc_channel* ch = mdcudfsr_metacache_alloc(&mp);
  ASSERT_NE(ch, nullptr);
  agent.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(result.load(), 6);
  EXPECT_EQ(mdcudfsr_metacache_is_opened(ch), 0u);
  EXPECT_EQ(mp.cache_agent_opened, 0);
  // An opener started after the stop is not affected.
  std::thread later([&] {
    mdcudfsr_metacache_hold_ticket(mdcudfsr_metacache_issue_ticket());
    result = mdcudfsr_metacache_open();
  });
  later.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(mdcudfsr_metacache_close(), 0);
  mdcudfsr_metacache_free(ch);
}

TEST_F(ChannelTest, AllocationWaitsUntilTheAgentOfATimedOutCloseHasGone) {
  platform::ManualClock clock;
  platform::ScopedClock scoped(clock);
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  mdc_req_t* r = make_req(20, {});
  ASSERT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
  std::uint8_t buf[32];
  ASSERT_EQ(mdcudfsr_metacache_read(buf, sizeof buf), 20u);  // taken, never answered
  // The unmount: will-free, the close times out, the channel is freed.
  ASSERT_EQ(mdcudfsr_metacache_mark_will_free(ch), 0);
  std::atomic<int> waited{-1};
  std::thread unmount([&] { waited = mdcudfsr_metacache_wait_close(ch, 5000); });
  ASSERT_TRUE(settles([&] { return clock.waiters() == 1; }));
  clock.advance(5000);
  unmount.join();
  ASSERT_EQ(waited.load(), 138);
  mdcudfsr_metacache_free(ch);

  // The next mount is refused while the old agent is attached.
  mdcudfsr_mount next;
  int err = 0;
  ASSERT_EQ(mdcudfsr_metacache_alloc(&next, &err), nullptr);
  EXPECT_EQ(err, 16);
  EXPECT_EQ(mdcudfsr_metacache_open(), 16);
  EXPECT_EQ(mdcudfsr_metacache_is_opened(ch), 1u);
  // The old agent finds its channel gone, and closes.
  EXPECT_EQ(mdcudfsr_metacache_read(buf, sizeof buf), 0u);
  ASSERT_EQ(mdcudfsr_metacache_close(), 0);
  ch = mdcudfsr_metacache_alloc(&next, &err);
  ASSERT_NE(ch, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(ch->mount, &next);
  EXPECT_TRUE(ch->sent_list.empty());
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  EXPECT_EQ(next.cache_agent_opened, 1);
  EXPECT_EQ(mp.cache_agent_opened, 1);  // the old mount's flag is not touched again
}

TEST_F(ChannelTest, SendReadWriteWaitRoundTripWithPartialHeaderRead) {
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  mdc_req_t* r = make_req(20, {1, 2, 3, 4, 5});
  const std::uint32_t seq = r->hdr.seq_id;
  EXPECT_EQ(seq, 0u);
  ASSERT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);

  // A 20-byte read gets the header and leaves the request queued.
  std::uint8_t head[20];
  ASSERT_EQ(mdcudfsr_metacache_read(head, sizeof head), 20u);
  mdc_req_header_t h;
  std::memcpy(&h, head, sizeof h);
  EXPECT_EQ(h.req_id, 20u);
  EXPECT_EQ(h.payload_size, 5u);
  EXPECT_EQ(std::int64_t{h.pid}, static_cast<std::int64_t>(GetCurrentProcessId()));  // a copy: the field is packed
  EXPECT_EQ(ch->req_queue.size(), 1u);
  std::uint8_t whole[25];
  ASSERT_EQ(mdcudfsr_metacache_read(whole, sizeof whole), 25u);
  EXPECT_EQ(ch->req_queue.size(), 0u);
  EXPECT_EQ(ch->sent_list.size(), 1u);
  EXPECT_EQ(whole[24], 5);

  EXPECT_EQ(answer(seq, 20, 0, {9, 8}), 26u);
  EXPECT_TRUE(ch->sent_list.empty());
  mdc_ans_t* a = nullptr;
  ASSERT_EQ(mdcudfsr_metacache_wait_ans(ch, static_cast<std::int32_t>(seq), &a), 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->hdr.payload_size, 2u);
  EXPECT_EQ(a->payload()[0], 9);
  EXPECT_EQ(mdcudfsr_metacache_busy_time(ch), 0u);
  mdcudfsr_metacache_free_ans(ch, a);
}

TEST_F(ChannelTest, SendIsRefusedUnlessOpenAndWillFreeTakesOnlyTheStopRequest) {
  mdc_req_t* r = make_req(22, {0, 0, 0, 0});
  EXPECT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 6);  // allocated, not open
  mdcudfsr_metacache_free_req(ch, r);

  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  r = make_req(22, {0, 0, 0, 0});
  ASSERT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
  EXPECT_EQ(mdcudfsr_metacache_mark_will_free(ch), 16);
  EXPECT_EQ(ch->status, METACACHE_OPENED);
  std::uint8_t buf[64];
  ASSERT_EQ(mdcudfsr_metacache_read(buf, sizeof buf), 24u);
  EXPECT_EQ(mdcudfsr_metacache_mark_will_free(ch), 0);
  EXPECT_EQ(ch->status, METACACHE_WILL_FREE);

  r = make_req(20, {});
  EXPECT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 6);
  mdcudfsr_metacache_free_req(ch, r);
  r = make_req(MDC_REQ_STOP, {});
  EXPECT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
  // Closing in status 3 keeps it.
  EXPECT_EQ(mdcudfsr_metacache_close(), 0);
  EXPECT_EQ(ch->status, METACACHE_WILL_FREE);
  EXPECT_EQ(mdcudfsr_metacache_wait_close(ch, 5000), 0);
}

TEST_F(ChannelTest, AnswersOfRequestsSixteenApartAreBothMatched) {
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  std::vector<std::uint32_t> seqs;
  for (int i = 0; i < 17; ++i) {
    mdc_req_t* r = make_req(20, {static_cast<std::uint8_t>(i)});
    seqs.push_back(r->hdr.seq_id);
    ASSERT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
    std::uint8_t buf[32];
    ASSERT_EQ(mdcudfsr_metacache_read(buf, sizeof buf), 21u);
  }
  EXPECT_EQ(seqs[16], 16u);
  EXPECT_EQ(ch->sent_table[0]->hdr.seq_id, 16u);  // the newer one overwrote slot 0
  ASSERT_EQ(answer(16, 20, 0), 24u);               // through the table slot
  ASSERT_EQ(answer(0, 20, 0), 24u);                // through the sent-list walk
  EXPECT_EQ(ch->sent_list.size(), 15u);
  for (std::uint32_t s : {0u, 16u}) {
    mdc_ans_t* a = nullptr;
    ASSERT_EQ(mdcudfsr_metacache_wait_ans(ch, static_cast<std::int32_t>(s), &a), 0);
    EXPECT_EQ(a->hdr.seq_id, s);
    mdcudfsr_metacache_free_ans(ch, a);
  }
}

TEST_F(ChannelTest, ShortOrOverstatedAnswerImagesAreRefused) {
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  std::uint8_t small[23] = {};
  EXPECT_EQ(mdcudfsr_metacache_write(small, sizeof small), 0u);
  // A header that claims more payload than the image holds is not read past
  // its end.
  std::vector<std::uint8_t> img(24 + 4, 0);
  mdc_ans_header_t h{0, 20, 0, 100, 0};
  std::memcpy(img.data(), &h, sizeof h);
  EXPECT_EQ(mdcudfsr_metacache_write(img.data(), img.size()), 0u);
  EXPECT_TRUE(ch->ans_queue.empty());
}

TEST_F(ChannelTest, AbandonedAnswerIsDroppedByAnotherSendersWalk) {
  platform::ManualClock clock;
  platform::ScopedClock scoped(clock);
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  ASSERT_EQ(answer(7, 20, 0), 24u);  // nobody waits for seq 7
  clock.advance(60001);
  ASSERT_EQ(answer(1, 20, 0), 24u);
  mdc_ans_t* a = nullptr;
  ASSERT_EQ(mdcudfsr_metacache_wait_ans(ch, 1, &a), 0);
  mdcudfsr_metacache_free_ans(ch, a);
  EXPECT_TRUE(ch->ans_queue.empty());  // seq 7 was older than 60 s and dropped
}

TEST_F(ChannelTest, AnswerWithinItsLifeStaysQueuedForItsSender) {
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  ASSERT_EQ(answer(7, 20, 0), 24u);
  ASSERT_EQ(answer(1, 20, 0), 24u);
  mdc_ans_t* a = nullptr;
  ASSERT_EQ(mdcudfsr_metacache_wait_ans(ch, 1, &a), 0);
  mdcudfsr_metacache_free_ans(ch, a);
  ASSERT_EQ(ch->ans_queue.size(), 1u);
  ASSERT_EQ(mdcudfsr_metacache_wait_ans(ch, 7, &a), 0);
  mdcudfsr_metacache_free_ans(ch, a);
}

TEST_F(ChannelTest, CloseWithSenderWaitingEndsTheWaitWithSix) {
  platform::ManualClock clock;
  platform::ScopedClock scoped(clock);
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  mdc_req_t* r = make_req(20, {});
  const auto seq = static_cast<std::int32_t>(r->hdr.seq_id);
  ASSERT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
  std::atomic<int> result{-1};
  std::thread sender([&] {
    mdc_ans_t* a = nullptr;
    result = mdcudfsr_metacache_wait_ans(ch, seq, &a);
  });
  while (clock.waiters() == 0) std::this_thread::yield();
  clock.advance(10);
  EXPECT_EQ(mdcudfsr_metacache_busy_time(ch), 10000000u);  // a wait is in progress
  ASSERT_EQ(mdcudfsr_metacache_close(), 0);
  clock.advance(5000);
  sender.join();
  EXPECT_EQ(result.load(), 6);
  EXPECT_EQ(ch->status, METACACHE_ALLOCATED);
  EXPECT_TRUE(ch->req_queue.empty());
}

TEST_F(ChannelTest, WaitCloseTimesOutOnTheClock) {
  platform::ManualClock clock;
  platform::ScopedClock scoped(clock);
  ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = mdcudfsr_metacache_wait_close(ch, 5000); });
  while (clock.waiters() == 0) std::this_thread::yield();
  clock.advance(4999);
  // A wait begun after the advance saw 4999 ms and still waits.
  const std::uint64_t begun = clock.waits_begun();
  ASSERT_TRUE(kel_test::settles([&] { return clock.waits_begun() > begun; }));
  EXPECT_EQ(result.load(), -1);
  clock.advance(1);
  waiter.join();
  EXPECT_EQ(result.load(), 138);
}

TEST_F(ChannelTest, CloseWhenNotOpenAnswersSix) {
  EXPECT_EQ(mdcudfsr_metacache_close(), 6);
}

TEST_F(ChannelTest, SequenceIdsRestartAfterEveryAllocation) {
  mdc_req_t* a = make_req(20, {});
  mdc_req_t* b = make_req(20, {});
  EXPECT_EQ(b->hdr.seq_id, a->hdr.seq_id + 1);
  mdcudfsr_metacache_free_req(ch, a);
  mdcudfsr_metacache_free_req(ch, b);
  mdcudfsr_metacache_free(ch);
  ch = mdcudfsr_metacache_alloc(&mp);
  ASSERT_NE(ch, nullptr);
  mdc_req_t* c = make_req(20, {});
  EXPECT_EQ(c->hdr.seq_id, 0u);
  mdcudfsr_metacache_free_req(ch, c);
}

TEST(VfamdevChannel, OpenDoesNotWaitAndRequestsFailWithoutAnAgent) {
  mdcudfsr_vfamdev_init();
  EXPECT_EQ(mdcudfsr_vfamdev_open(), 0);  // not allocated: returns without opening
  mdcudfsr_mount mp;
  mdc_channel* ch = mdcudfsr_vfamdev_alloc(&mp);
  ASSERT_NE(ch, nullptr);
  EXPECT_STREQ(ch->name, "pxowo0");
  EXPECT_EQ(mdcudfsr_vfamdev_is_opened(ch), 0u);
  mdc_req_t* r = mdcudfsr_vfamdev_alloc_req(ch, 8);
  EXPECT_EQ(mdcudfsr_vfamdev_send_req(ch, r, nullptr), 6);
  mdcudfsr_vfamdev_free_req(ch, r);
  EXPECT_EQ(mdcudfsr_vfamdev_mark_will_free(ch), 0);
  EXPECT_EQ(mdcudfsr_vfamdev_wait_close(ch, 5000), 0);
  mdcudfsr_vfamdev_free(ch);
}

}  // namespace
