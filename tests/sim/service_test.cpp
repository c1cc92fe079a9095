// The pipe service: answer layout, cutting, notices, transcript, several
// clients, faults at the transport level and restarts.
#include "sim_support.h"

#include "platform/sync.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

namespace simtest {
namespace {

using kelsim::RawAnswer;
using kelsim::ScsiCall;

Bytes pattern(std::size_t n, std::uint32_t seed) {
  Bytes v(n);
  std::uint32_t x = seed * 2654435761u + 7;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return v;
}

TEST_F(SimTest, AnswerCarriesKeyAndDataWithinTransferLength) {
  start();
  ScsiCall c;
  c.cdb = cdb12({0x12, 0, 0, 0, 0x24});
  c.transfer_length = 20;  // less than the 36 bytes the drive has
  c.cookie = sim_->cookie();
  c.key = 0xABCDEF0123ull;
  RawAnswer a;
  ASSERT_EQ(client_.call(c, &a), ERROR_SUCCESS);
  EXPECT_EQ(a.key, 0xABCDEF0123ull);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.sense_length, 0);
  EXPECT_EQ(a.data_in_length, 20u);
  EXPECT_EQ(a.payload_length, 28u);
  EXPECT_EQ(a.raw.size(), 16u + 28u);
}

TEST_F(SimTest, SenseIsFixedFormatAndCutToTheCapacity) {
  start();
  for (std::uint8_t cap : {16, 18, 8, 32}) {
    SCOPED_TRACE(int(cap));
    auto a = in(cdb12({0xEE}), 64, cap);  // unknown opcode: 05/20/00
    const std::size_t want = std::min<std::size_t>(cap, 18);
    ASSERT_EQ(a.sense_length, want);
    EXPECT_EQ(a.data_in_length, 0u);  // sense or data, never both
    EXPECT_EQ(a.payload_length, 8u + want);
    EXPECT_EQ(a.sense[0], 0x70);
    EXPECT_EQ(a.sense[2], 0x05);
    if (want >= 8) {
      EXPECT_EQ(a.sense[7], 0x0A);
    }
    if (want >= 14) {
      EXPECT_EQ(a.sense[12], 0x20);
      EXPECT_EQ(a.sense[13], 0x00);
    }
  }
}

TEST_F(SimTest, NoDataCommandAnswersEightBytePayload) {
  start();
  auto a = in(cdb12({0x00}), 0);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.payload_length, 8u);
  EXPECT_EQ(a.raw.size(), 24u);
}

TEST_F(SimTest, EndOfRequestNoticeIsAnsweredAndRecorded) {
  start();
  ScsiCall c;
  c.cookie = sim_->cookie();
  c.sequence = 77;
  c.phase = kelsim::kPhaseEndOfRequest;
  c.unmount = 1;
  c.sense_capacity = 0;
  RawAnswer a;
  ASSERT_EQ(client_.call(c, &a), ERROR_SUCCESS);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.payload_length, 8u);
  ASSERT_EQ(a.raw.size(), 24u);
  EXPECT_EQ(Bytes(a.raw.begin() + 16, a.raw.end()), Bytes(8, 0));

  auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_TRUE(t[0].is_notice());
  EXPECT_EQ(t[0].sequence, 77u);
  EXPECT_EQ(t[0].phase, 12u);
  EXPECT_EQ(t[0].unmount, 1);
  EXPECT_EQ(t[0].cookie, sim_->cookie());
  EXPECT_TRUE(t[0].answered);
}

TEST_F(SimTest, TranscriptRecordsEveryRequestInOrder) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE2;  // formatted rewritable: block 0 reads
  start(o);
  ScsiCall c;
  c.cookie = sim_->cookie();
  c.cdb = rw10(0x28, 0, 1);
  c.transfer_length = 2048;
  c.sequence = 5;
  c.phase = 3;
  RawAnswer a;
  ASSERT_EQ(client_.call(c, &a), ERROR_SUCCESS);
  c.cdb = cdb12({0xEE});
  c.phase = 4;
  ASSERT_EQ(client_.call(c, &a), ERROR_SUCCESS);
  auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].opcode(), 0x28);
  EXPECT_EQ(t[0].phase, 3u);
  EXPECT_EQ(t[0].sequence, 5u);
  EXPECT_EQ(t[0].data_length, 2048u);
  EXPECT_EQ(t[0].data_in_length, 2048u);
  EXPECT_FALSE(t[0].check_condition);
  EXPECT_EQ(t[1].phase, 4u);
  EXPECT_TRUE(t[1].check_condition);
  EXPECT_EQ(t[1].sense, (kelsim::Sense{5, 0x20, 0}));
  EXPECT_NE(t[1].line().find("CHECK 5/20/00"), std::string::npos);
  sim_->service().clear_transcript();
  EXPECT_TRUE(sim_->service().transcript().empty());

  // A limit keeps the newest entries.
  sim_->service().set_transcript_limit(2);
  for (std::uint32_t phase : {7u, 8u, 9u}) {
    c.phase = phase;
    ASSERT_EQ(client_.call(c, &a), ERROR_SUCCESS);
  }
  t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].phase, 8u);
  EXPECT_EQ(t[1].phase, 9u);
}

TEST_F(SimTest, ControlRequestAndUnknownCookieGetClearFailures) {
  start();
  ASSERT_EQ(client_.send_raw(kelsim::build_control_request(9, 0, 0x00093134, nullptr, 0, 4096)), ERROR_SUCCESS);
  RawAnswer a;
  ASSERT_EQ(client_.receive(&a), ERROR_SUCCESS);
  EXPECT_EQ(a.key, 9u);
  EXPECT_EQ(a.status, kelsim::kStatusNotSupported);
  EXPECT_EQ(a.payload_length, 0u);

  ScsiCall c;
  c.cdb = cdb12({0x00});
  c.cookie = sim_->cookie() + 1;
  ASSERT_EQ(client_.call(c, &a), ERROR_SUCCESS);
  EXPECT_EQ(a.status, kelsim::kStatusNoSuchDevice);

  // A request cut short is answered with a failure, not dropped.
  Bytes bad = kelsim::build_scsi_request(11, sim_->cookie(), 0, 0, 0, false, 60, nullptr, 0, 16, nullptr, 0);
  bad.resize(40);
  ASSERT_EQ(client_.send_raw(bad), ERROR_SUCCESS);
  ASSERT_EQ(client_.receive(&a), ERROR_SUCCESS);
  EXPECT_EQ(a.key, 11u);
  EXPECT_EQ(a.status, kelsim::kStatusBadRequest);
  EXPECT_EQ(sim_->service().transcript().size(), 3u);
}

// A message larger than any command is skipped unread and refused, and the
// connection goes on.
TEST_F(SimTest, OversizedRequestIsRefusedWithoutBeingBuffered) {
  start();
  Bytes head = kelsim::build_scsi_request(0x55, sim_->cookie(), 0, 0, 0, true, 60, nullptr, 0, 16, nullptr, 0);
  Bytes mib(1 << 20, 0);
  std::vector<platform::PipeBuffer> parts{{head.data(), head.size()}};
  for (std::uint64_t n = 0; n * mib.size() <= kelsim::kMaxRequestBytes; ++n) parts.push_back({mib.data(), mib.size()});
  std::thread w([&] { EXPECT_EQ(client_.connection()->write_parts(parts.data(), parts.size()), ERROR_SUCCESS); });
  RawAnswer a;
  ASSERT_EQ(client_.receive(&a), ERROR_SUCCESS);
  w.join();
  EXPECT_EQ(a.key, 0x55u);
  EXPECT_EQ(a.status, kelsim::kStatusBadRequest);
  EXPECT_TRUE(good(in(cdb12({0x00}), 0)));
}

// 512 KiB and 1 MiB commands both ways, byte for byte.
TEST_F(SimTest, LargeWritesAndReadsPassIntact) {
  start();
  ASSERT_TRUE(good(format_unit()));
  std::uint32_t lba = 0;
  for (std::uint16_t blocks : {256, 512}) {
    SCOPED_TRACE(blocks);
    Bytes data = pattern(blocks * 2048u, blocks);
    ASSERT_TRUE(good(out(rw10(0x2A, lba, blocks), data)));
    auto a = in(rw10(0x28, lba, blocks), blocks * 2048u);
    ASSERT_TRUE(good(a));
    EXPECT_EQ(a.data_in_length, blocks * 2048u);
    EXPECT_TRUE(a.data == data);
    lba += blocks;
  }
}

TEST_F(SimTest, TwoClientsAreAnsweredInReverseOrder) {
  platform::ManualClock clk;
  platform::ScopedClock use(clk);
  start();
  sim_->drive().add_fault(kelsim::delay_answer(5000, 0x12));
  kelsim::RawClient second;
  ASSERT_EQ(second.connect(), ERROR_SUCCESS);

  ScsiCall slow;
  slow.cdb = cdb12({0x12, 0, 0, 0, 0x24});
  slow.transfer_length = 36;
  slow.cookie = sim_->cookie();
  ASSERT_EQ(client_.send(slow), ERROR_SUCCESS);
  while (sim_->service().received() < 1) std::this_thread::yield();

  ScsiCall quick;
  quick.cdb = cdb12({0x00});
  quick.cookie = sim_->cookie();
  RawAnswer a;
  ASSERT_EQ(second.call(quick, &a), ERROR_SUCCESS);  // answered while the first still waits
  EXPECT_TRUE(good(a));

  std::atomic<bool> got{false};
  RawAnswer slow_answer;
  std::thread r([&] {
    EXPECT_EQ(client_.receive(&slow_answer), ERROR_SUCCESS);
    got = true;
  });
  while (!got) {
    clk.advance(1000);
    std::this_thread::yield();
  }
  r.join();
  EXPECT_TRUE(good(slow_answer));
  EXPECT_EQ(slow_answer.data.size(), 36u);
  auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].opcode(), 0x00);  // recorded when answered
  EXPECT_EQ(t[1].opcode(), 0x12);
  EXPECT_GE(t[1].answer_ms - t[1].time_ms, 5000u);
  EXPECT_LE(t[1].time_ms, t[0].time_ms);  // it came first
}

// Sends one TEST UNIT READY for the cookie from a child process, on a
// connection of its own. Its exit status: 0 served, 1 refused with
// kStatusMediumInUse, 2 another status, 3 no answer.
int command_from_another_process(std::uint64_t cookie) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    kelsim::RawClient c;
    ScsiCall call;
    call.cdb = cdb12({0x00});
    call.cookie = cookie;
    RawAnswer a;
    if (c.connect() != ERROR_SUCCESS || c.call(call, &a) != ERROR_SUCCESS) ::_exit(3);
    ::_exit(a.status == 0 ? 0 : a.status == kelsim::kStatusMediumInUse ? 1 : 2);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The first process to send a command for a medium is its client until its
// connections are closed (or a test releases it); another process's command
// is refused meanwhile, unserved; a second connection of the client shares
// the medium.
TEST_F(SimTest, OneClientProcessPerMedium) {
  start();
  ASSERT_TRUE(good(in(cdb12({0x00}), 0)));
  kelsim::RawClient second;
  ASSERT_EQ(second.connect(), ERROR_SUCCESS);
  ScsiCall tur;
  tur.cdb = cdb12({0x00});
  tur.cookie = sim_->cookie();
  RawAnswer a;
  ASSERT_EQ(second.call(tur, &a), ERROR_SUCCESS);
  EXPECT_TRUE(good(a)) << "one process, two connections";

  EXPECT_EQ(command_from_another_process(sim_->cookie()), 1);
  const auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[2].status, kelsim::kStatusMediumInUse);
  EXPECT_TRUE(t[2].answered);

  client_.close();
  second.close();
  EXPECT_EQ(command_from_another_process(sim_->cookie()), 0) << "served once the client's connections closed";

  ASSERT_EQ(client_.connect(), ERROR_SUCCESS);
  ASSERT_TRUE(good(in(cdb12({0x00}), 0)));
  sim_->service().release_medium(sim_->cookie());
  EXPECT_EQ(command_from_another_process(sim_->cookie()), 0) << "served once this process released the medium";
}

TEST_F(SimTest, TransportStatusFaultsReachTheClient) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE2;  // formatted rewritable: block 0 reads
  start(o);
  const std::int32_t ntstatus = static_cast<std::int32_t>(0xC0000185u);  // an I/O device error
  for (std::int32_t status : {ntstatus, 1117}) {
    SCOPED_TRACE(status);
    int id = sim_->drive().add_fault(kelsim::transport_status(status, 0x28));
    auto a = in(rw10(0x28, 0, 1), 2048);
    EXPECT_EQ(a.status, status);
    EXPECT_EQ(a.payload_length, 0u);
    EXPECT_EQ(sim_->drive().fault_fired(id), 1);
    sim_->drive().remove_fault(id);
  }
  EXPECT_TRUE(good(in(rw10(0x28, 0, 1), 2048)));
}

TEST_F(SimTest, DroppedConnectionBreaksOnlyThatClient) {
  start();
  kelsim::RawClient other;
  ASSERT_EQ(other.connect(), ERROR_SUCCESS);
  sim_->drive().add_fault([] {
    auto f = kelsim::drop_connection(0x25);
    f.times = 1;
    return f;
  }());
  ScsiCall c;
  c.cdb = cdb12({0x25});
  c.transfer_length = 8;
  c.cookie = sim_->cookie();
  RawAnswer a;
  EXPECT_EQ(client_.call(c, &a), ERROR_BROKEN_PIPE);
  // The service goes on serving the other client, and a new connection.
  ASSERT_EQ(other.call(c, &a), ERROR_SUCCESS);
  EXPECT_TRUE(good(a));
  kelsim::RawClient again;
  ASSERT_EQ(again.connect(), ERROR_SUCCESS);
  ASSERT_EQ(again.call(c, &a), ERROR_SUCCESS);
  EXPECT_TRUE(good(a));
  auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 3u);
  EXPECT_FALSE(t[0].answered);
}

TEST_F(SimTest, ClientThatGoesAwayMidRequestDoesNotStopTheService) {
  start();
  {
    kelsim::RawClient gone;
    ASSERT_EQ(gone.connect(), ERROR_SUCCESS);
    ScsiCall c;
    c.cdb = rw10(0x28, 0, 256);
    c.transfer_length = 256 * 2048;
    c.cookie = sim_->cookie();
    ASSERT_EQ(gone.send(c), ERROR_SUCCESS);
  }  // closed before reading its answer
  ASSERT_TRUE(sim_->service().wait_for_requests(1, 10000));
  EXPECT_TRUE(good(in(cdb12({0x00}), 0)));
}


TEST_F(SimTest, ReplacedAnswerIsGoodCutToTheAllocationAndLeavesTheStateAlone) {
  start();
  // MECHANISM STATUS claiming slot 3 with state 0; the CDB allocates 8 bytes
  // while the transfer length would take 12.
  Bytes fake(12, 0xEE);
  fake[0] = 3;
  fake[1] = 0;
  int id = sim_->drive().add_fault(kelsim::replace_answer(0xBD, fake));
  Bytes cdb = cdb12({0xBD});
  kelsim::put_be16(&cdb[8], 8);
  auto a = in(cdb, 12);
  ASSERT_TRUE(good(a));
  EXPECT_EQ(a.data, Bytes(fake.begin(), fake.begin() + 8));
  EXPECT_EQ(sim_->drive().fault_fired(id), 1);
  sim_->drive().remove_fault(id);
  // The drive's own answer again: slot 0 loaded (state 1).
  auto b = in(cdb, 12);
  ASSERT_TRUE(good(b));
  EXPECT_EQ(b.data[1] >> 5, 1);

  // A READ ATTRIBUTE answer beginning with another identifier; a command
  // of another opcode is not touched.
  Bytes attr = {0, 0, 0, 6, 0x0D, 0x01, 0, 0, 1, 7};
  sim_->drive().add_fault(kelsim::replace_answer(0x8C, attr));
  Bytes ra(16, 0);
  ra[0] = 0x8C;
  ra[8] = 0x0D;
  kelsim::put_be32(&ra[10], 64);
  auto c = in(ra, 64);
  ASSERT_TRUE(good(c));
  EXPECT_EQ(c.data, attr);
  EXPECT_TRUE(good(in(cdb12({0x12, 0, 0, 0, 36}), 36)));
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

using kelsim::RawAnswer;
using kelsim::ScsiCall;

// A delayed answer started by a connection thread after stop() took the
// list of workers must still be joined: a large READ keeps the connection
// thread busy while the service is destroyed. Left unjoined, the worker's
// std::thread ends the process in std::terminate.
TEST(SimServiceStop, JoinsADelayedAnswerStartedWhileStopping) {
  for (int run = 0; run < 2; ++run) {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = 0xE2;
    o.cartridge.disc_blocks = 0x10000;
    auto sim = std::make_unique<kelsim::SimHarness>(o);
    sim->drive().add_fault(kelsim::delay_answer(60000, 0x28));
    kelsim::RawClient c;
    ASSERT_EQ(c.connect(), ERROR_SUCCESS);
    ScsiCall read;
    read.cdb = rw10(0x28, 0, 0xFFFF);
    read.transfer_length = 0xFFFFu * 2048u;
    read.cookie = sim->cookie();
    sim->cartridge().disc(0).formatted = true;  // before any command: nothing runs yet
    ASSERT_EQ(c.send(read), ERROR_SUCCESS);
    while (sim->service().received() < 1) std::this_thread::yield();
    sim->service().stop();  // the READ is still being executed
    EXPECT_FALSE(sim->service().running());
    c.close();
    sim.reset();
  }
}

// A CHECK CONDITION must never reach the client as GOOD: with no room for
// its sense bytes the service answers a transport failure.
TEST_F(SimTest, CheckConditionWithoutRoomForSenseIsATransportFailure) {
  start();
  struct Case {
    std::uint8_t sense_capacity;
    std::uint32_t answer_capacity;  // 0: as the pipe client computes it
  } cases[] = {{0, 0}, {0, 8 + 64}, {16, 8}, {16, 4}, {16, 0x7FFFFFFF}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.sense_capacity) + "/" + std::to_string(k.answer_capacity));
    Bytes cdb = cdb12({0xEE});  // unknown operation: 05/20/00
    Bytes msg = kelsim::build_scsi_request(0x77, sim_->cookie(), 0, 0, 0, false, 60, cdb.data(), 12,
                                           k.sense_capacity, nullptr, 64);
    if (k.answer_capacity) std::memcpy(msg.data() + 32, &k.answer_capacity, 4);
    ASSERT_EQ(client_.send_raw(msg), ERROR_SUCCESS);
    RawAnswer a;
    ASSERT_EQ(client_.receive(&a), ERROR_SUCCESS);
    EXPECT_EQ(a.key, 0x77u);
    const bool room = k.sense_capacity > 0 && k.answer_capacity != 8 && k.answer_capacity != 4;
    if (room) {
      EXPECT_EQ(a.status, 0);
      EXPECT_EQ(a.sense_length, 16);
    } else {
      EXPECT_EQ(a.status, kelsim::kStatusSenseLost);
      EXPECT_EQ(a.payload_length, 0u);
    }
  }
  auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].status, kelsim::kStatusSenseLost);
  EXPECT_TRUE(t[0].check_condition);
}

// Requests a real transport would not carry are answered 87 and never reach
// the drive; the same request well formed is served.
TEST_F(SimTest, MalformedRequestsAreRefusedUnserved) {
  start();
  ASSERT_TRUE(good(format_unit()));
  const Bytes write1 = rw10(0x2A, 0, 1);
  auto request = [&](const Bytes& cdb, bool out, const Bytes& data, std::uint32_t transfer) {
    return kelsim::build_scsi_request(0x99, sim_->cookie(), 0, 0, 0, out, 60, cdb.data(),
                                      static_cast<std::uint8_t>(cdb.size()), 16, data.data(), transfer);
  };
  const Bytes block(2048, 0x5A);
  const Bytes good_write = request(write1, true, block, 2048);
  struct Case {
    const char* what;
    std::function<Bytes()> make;
  } cases[] = {
      {"total length too small", [&] { Bytes m = good_write; m[0] -= 1; return m; }},
      {"total length too large", [&] { Bytes m = good_write; m[0] += 1; return m; }},
      {"version 19", [&] { Bytes m = good_write; m[4] = 19; return m; }},
      {"trailer missing", [&] {
         Bytes m = good_write;
         m.resize(m.size() - kelsim::kRequestTrailer);
         const std::uint32_t n = static_cast<std::uint32_t>(m.size());
         std::memcpy(m.data(), &n, 4);
         return m;
       }},
      {"trailer not zero", [&] { Bytes m = good_write; m.back() = 1; return m; }},
      {"transfer length other than the data sent", [&] { Bytes m = good_write; m[69] = 0x10; return m; }},
      {"data-in command flagged as data-out",
       [&] { return request(cdb12({0x12, 0, 0, 0, 36}), true, Bytes(36, 1), 36); }},
      {"no-data command flagged as data-out", [&] { return request(cdb12({0x35}), true, Bytes(8, 1), 8); }},
      {"data-out command sent without data", [&] { return request(write1, false, {}, 2048); }},
      {"WRITE(10) of one block with 2047 bytes", [&] { return request(write1, true, Bytes(2047, 1), 2047); }},
      {"WRITE(10) of one block with 4096 bytes", [&] { return request(write1, true, Bytes(4096, 1), 4096); }},
      {"one-byte CDB without trailer", [&] {
         Bytes m = request(Bytes{0x51}, false, {}, 32);
         m.resize(m.size() - kelsim::kRequestTrailer);
         const std::uint32_t n = static_cast<std::uint32_t>(m.size());
         std::memcpy(m.data(), &n, 4);
         return m;
       }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    sim_->service().clear_transcript();
    ASSERT_EQ(client_.send_raw(k.make()), ERROR_SUCCESS);
    RawAnswer a;
    ASSERT_EQ(client_.receive(&a), ERROR_SUCCESS);
    EXPECT_EQ(a.key, 0x99u);
    EXPECT_EQ(a.status, kelsim::kStatusBadRequest);
    EXPECT_EQ(a.payload_length, 0u);
    auto t = sim_->service().transcript();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].status, kelsim::kStatusBadRequest);
    EXPECT_NE(t[0].line().find("-> status 87"), std::string::npos);
  }
  // Nothing was written by any of them; the well-formed write is served.
  EXPECT_EQ(sim_->cartridge().disc(0).tracks[0].nwa, 0u);
  ASSERT_EQ(client_.send_raw(good_write), ERROR_SUCCESS);
  RawAnswer a;
  ASSERT_EQ(client_.receive(&a), ERROR_SUCCESS);
  EXPECT_TRUE(good(a));
  EXPECT_EQ(sim_->cartridge().disc(0).tracks[0].nwa, 1u);
}

}  // namespace
}  // namespace simtest
