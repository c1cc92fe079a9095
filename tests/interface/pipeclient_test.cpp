// The named-pipe client and quorvel_scsi_transfer against a scripted service
// on the real platform pipe.
#include "kel/pipe_client.h"
#include "support/settles.h"
#include "kel/response.h"
#include "kel/scsi.h"

#include "platform/sync.h"
#include "sim/harness.h"
#include "sim/wire.h"
#include "interface/support/pipe_fake_service.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pipetest::FakeService;
using pipetest::Request;

struct Result {
  bool ok = false;
  DWORD error = 0;
  std::uint8_t sense_length = 0;
  std::uint32_t transfer_length = 0;
};

// One SCSI command through a client, as the engine's drive layer or the
// drive utility library sends it.
struct Call {
  std::vector<std::uint8_t> cdb;
  bool data_out = false;
  std::uint32_t transfer = 0;
  std::uint8_t sense_capacity = 32;
  std::uint64_t cookie = 0x1A2B;
  std::uint64_t sequence = 0;
  std::uint32_t phase = 0;
  std::uint8_t unmount = 0;
  std::uint32_t timeout = 60;
};

Result send(kel::CQVServiceInterface& client, const Call& c, std::vector<std::uint8_t>* data,
            std::vector<std::uint8_t>* sense) {
  Result r;
  sense->assign(c.sense_capacity, 0xEE);
  if (data->size() < c.transfer) data->resize(c.transfer, 0xEE);
  r.sense_length = c.sense_capacity;
  r.transfer_length = c.transfer;
  r.ok = client.sendScsiCommand(0, c.cookie, c.unmount, c.sequence, c.phase, c.data_out, c.timeout,
                                c.cdb.empty() ? nullptr : c.cdb.data(), static_cast<std::uint8_t>(c.cdb.size()),
                                sense->data(), &r.sense_length, data->data(), &r.transfer_length);
  r.error = r.ok ? 0 : GetLastError();
  return r;
}

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7);
  return v;
}

class PipeClient : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelpipeXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("KEL_PIPE_DIR", dir_.c_str(), 1);
    host_ = std::tmpfile();  // debug elements of the transfers land here
    kel::SetResponseStream(host_);
    ASSERT_EQ(service_.start(), ERROR_SUCCESS);
  }
  void TearDown() override {
    service_.stop();
    kel::SetDriveCommandContextSource(nullptr);
    kel::SetMediumCookie(0);
    // The process-wide client notices the closed connection on its own.
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
    unsetenv("KEL_PIPE_DIR");
    kel::SetResponseStream(nullptr);
    if (host_) std::fclose(host_);
    fs::remove_all(dir_);
  }

  // What was reported to the host so far.
  std::string host_text() {
    std::fflush(host_);
    std::rewind(host_);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, host_)) > 0) s.append(buf, n);
    return s;
  }

  // Runs a call on its own thread; the service answers it from the test.
  std::future<Result> start(kel::CQVServiceInterface& client, Call c, std::vector<std::uint8_t>* data,
                            std::vector<std::uint8_t>* sense) {
    return std::async(std::launch::async, [&client, c, data, sense] { return send(client, c, data, sense); });
  }

  std::string dir_;
  std::FILE* host_ = nullptr;
  FakeService service_;
};

TEST_F(PipeClient, EndOfRequestNoticeIs176BytesWithTheRequestContext) {
  kel::SetMediumCookie(0x1A2B);
  kel::SetDriveCommandContextSource([] { return kel::DriveCommandContext{0x0102030405060708ull, 12, 1}; });
  auto done = std::async(std::launch::async, [] { return kel::SendEndOfRequestNotice(); });
  Request r;
  ASSERT_TRUE(service_.next(&r));
  ASSERT_EQ(r.msg.size(), 176u);
  const auto h = r.scsi();
  EXPECT_EQ(h.TotalLength, 176u);
  EXPECT_EQ(h.Version, 20u);
  EXPECT_NE(h.Key, 0u);
  EXPECT_EQ(h.Flags, 0u);
  EXPECT_EQ(h.Reserved20, 0u);
  EXPECT_EQ(h.RequestCode, 0x0009714Cu);
  EXPECT_EQ(h.PayloadLength, 0u);
  EXPECT_EQ(h.AnswerCapacity, 8u);
  EXPECT_EQ(std::uint64_t{h.MediumCookie}, 0x1A2Bu);  // packed: compared by value
  EXPECT_EQ(h.Unmount, 1);
  EXPECT_EQ(std::uint64_t{h.SequenceNumber}, 0x0102030405060708ull);
  EXPECT_EQ(h.Phase, 12u);
  EXPECT_EQ(h.DataOut, 0);
  EXPECT_EQ(h.CdbLength, 0);
  EXPECT_EQ(h.SenseCapacity, 0);
  EXPECT_EQ(h.TransferLength, 0u);
  EXPECT_EQ(h.TimeoutSeconds, 60u);
  // Byte offsets as they travel.
  EXPECT_EQ(r.msg[24], 0x4C);
  EXPECT_EQ(r.msg[36], 0x2B);
  EXPECT_EQ(r.msg[44], 1);
  EXPECT_EQ(r.msg[52], 0x08);
  EXPECT_EQ(r.msg[60], 12);
  EXPECT_EQ(r.msg[72], 60);
  for (std::size_t i = 76; i < 176; ++i) ASSERT_EQ(r.msg[i], 0) << i;
  for (std::size_t i = 45; i < 52; ++i) ASSERT_EQ(r.msg[i], 0) << i;
  ASSERT_EQ(FakeService::answer(r, 0), ERROR_SUCCESS);
  EXPECT_EQ(done.get(), ERROR_SUCCESS);
}

TEST_F(PipeClient, DataOutMessageLayout) {
  kel::SetMediumCookie(0x77);
  kel::SetDriveCommandContextSource([] { return kel::DriveCommandContext{9, 8, 0}; });
  const std::vector<std::uint8_t> cdb = {0x2A, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
  std::vector<std::uint8_t> data = pattern(512, 3);
  std::vector<std::uint8_t> sense(32, 0xEE);
  std::uint8_t status = 0xAA;
  auto done = std::async(std::launch::async, [&] {
    return quorvel_scsi_transfer(1, 10, cdb.data(), kScsiDirOut, 512, data.data(), 32, sense.data(), &status);
  });
  Request r;
  ASSERT_TRUE(service_.next(&r));
  ASSERT_EQ(r.msg.size(), 698u);
  const auto h = r.scsi();
  EXPECT_EQ(h.TotalLength, 698u);
  EXPECT_EQ(h.PayloadLength, 522u);
  EXPECT_EQ(h.AnswerCapacity, 8u + 32u);
  EXPECT_EQ(h.DataOut, 1);
  EXPECT_EQ(h.CdbLength, 10);
  EXPECT_EQ(h.SenseCapacity, 32);
  EXPECT_EQ(h.TransferLength, 512u);
  EXPECT_EQ(std::uint64_t{h.MediumCookie}, 0x77u);  // packed: compared by value
  EXPECT_EQ(std::uint64_t{h.SequenceNumber}, 9u);
  EXPECT_EQ(h.Phase, 8u);
  EXPECT_EQ(r.cdb(), cdb);
  EXPECT_EQ(r.data_out(), data);
  for (std::size_t i = 598; i < 698; ++i) ASSERT_EQ(r.msg[i], 0) << i;
  ASSERT_EQ(FakeService::answer(r, 0), ERROR_SUCCESS);
  EXPECT_EQ(done.get(), 0);
  EXPECT_EQ(status, 0);
}

TEST_F(PipeClient, DataInSizesTheAnswerAndTheReadBuffer) {
  kel::CQVServiceInterface client;
  EXPECT_EQ(client.readBufferSize(), 0u);
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  c.transfer = 4096;
  c.sense_capacity = 32;
  auto done = start(client, c, &data, &sense);
  Request r;
  ASSERT_TRUE(service_.next(&r));
  EXPECT_EQ(r.msg.size(), 176u + 10u);
  EXPECT_EQ(r.scsi().AnswerCapacity, 4104u);
  EXPECT_EQ(r.scsi().PayloadLength, 10u);
  EXPECT_EQ(r.scsi().DataOut, 0);
  EXPECT_EQ(client.readBufferSize(), 8192u);
  const auto in = pattern(4096, 9);
  ASSERT_EQ(FakeService::answer(r, 0, {}, in), ERROR_SUCCESS);
  const Result res = done.get();
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(res.transfer_length, 4096u);
  EXPECT_EQ(res.sense_length, 0);
  EXPECT_EQ(data, in);
  EXPECT_TRUE(client.isConnected());
  EXPECT_FALSE(client.reserved());
}

TEST_F(PipeClient, TimeoutsByOpcode) {
  struct Case {
    std::vector<std::uint8_t> cdb;
    std::uint32_t seconds;
  } cases[] = {
      {{0x04, 0, 0, 0, 0, 0}, 120}, {{0x5B, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 120},
      {{0xA6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 180}, {{0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 60},
      {{0x00, 0, 0, 0, 0, 0}, 60}, {{0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 60},
  };
  service_.set_handler([](Request& r) { FakeService::answer(r, 0); });
  for (const auto& c : cases) {
    EXPECT_EQ(kel::ScsiTimeoutSeconds(static_cast<std::uint32_t>(c.cdb.size()), c.cdb.data()), c.seconds);
    std::uint8_t sense[32], status = 0xAA;
    service_.set_handler([&](Request& r) {
      EXPECT_EQ(r.scsi().TimeoutSeconds, c.seconds) << std::hex << int(c.cdb[0]);
      FakeService::answer(r, 0);
    });
    EXPECT_EQ(quorvel_scsi_transfer(1, static_cast<std::uint32_t>(c.cdb.size()), c.cdb.data(), kScsiDirNone, 0,
                                    nullptr, 32, sense, &status),
              0);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(kel::ScsiTimeoutSeconds(0, nullptr), 60u);
}

TEST_F(PipeClient, SenseIsReportedAloneAndCutToTheCapacity) {
  std::vector<std::uint8_t> sense18 = pattern(18, 0x70);
  service_.set_handler([&](Request& r) {
    // Sense and data both present: only the sense counts.
    FakeService::send(r, pipetest::scsi_answer(r.key(), 0, sense18, {}));
  });
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  c.transfer = 2048;
  c.sense_capacity = 16;
  Result res = send(client, c, &data, &sense);
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(res.sense_length, 16);
  EXPECT_EQ(res.transfer_length, 0u);
  EXPECT_EQ(sense, std::vector<std::uint8_t>(sense18.begin(), sense18.begin() + 16));

  // An answer carrying a data-in length beside its sense reports the sense only.
  service_.set_handler([&](Request& r) {
    auto m = pipetest::scsi_answer(r.key(), 0, sense18, {});
    const std::uint32_t len = 512;
    std::memcpy(m.data() + 20, &len, 4);
    m.resize(m.size() + 512, 0x55);
    std::uint32_t payload = 8 + 18 + 512;
    std::memcpy(m.data() + 12, &payload, 4);
    FakeService::send(r, m);
  });
  c.sense_capacity = 18;
  res = send(client, c, &data, &sense);
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(res.sense_length, 18);
  EXPECT_EQ(res.transfer_length, 0u);
  EXPECT_EQ(data[0], 0xEE) << "no data copied";

  // Through quorvel_scsi_transfer the status byte tells sense from none.
  std::uint8_t status = 0xAA;
  std::uint8_t s[18];
  std::vector<std::uint8_t> buf(2048, 0xEE);
  EXPECT_EQ(quorvel_scsi_transfer(1, 10, c.cdb.data(), kScsiDirIn, 2048, buf.data(), 18, s, &status), 0);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(buf[0], 0) << "no stale bytes pass for data";
}

TEST_F(PipeClient, TwoThreadsAnsweredInReverseOrder) {
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> d1, s1, d2, s2;
  Call c1, c2;
  c1.cdb = {0x28, 0, 0, 0, 0, 1, 0, 0, 1, 0};
  c2.cdb = {0x28, 0, 0, 0, 0, 2, 0, 0, 1, 0};
  c1.transfer = c2.transfer = 2048;
  auto f1 = start(client, c1, &d1, &s1);
  Request r1;
  ASSERT_TRUE(service_.next(&r1));
  auto f2 = start(client, c2, &d2, &s2);
  Request r2;
  ASSERT_TRUE(service_.next(&r2));
  EXPECT_NE(r1.key(), r2.key());
  EXPECT_EQ(r1.connection, r2.connection) << "one connection carries both";
  const auto a1 = pattern(2048, 1), a2 = pattern(2048, 2);
  // The answers go out in reverse order; each thread gets its own.
  ASSERT_EQ(FakeService::answer(r2, 0, {}, r2.cdb()[5] == 2 ? a2 : a1), ERROR_SUCCESS);
  const Result res2 = f2.get();
  ASSERT_TRUE(res2.ok) << res2.error;
  EXPECT_EQ(d2, a2);
  ASSERT_EQ(FakeService::answer(r1, 0, {}, r1.cdb()[5] == 1 ? a1 : a2), ERROR_SUCCESS);
  const Result res1 = f1.get();
  ASSERT_TRUE(res1.ok) << res1.error;
  EXPECT_EQ(d1, a1);
}

// True while the thread sleeps in a read of a connection (its wait for the
// next message, or the message's bytes).
bool sleeps_in_read(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long nr = -1;
  return (in >> nr) && (nr == SYS_poll || nr == SYS_ppoll || nr == SYS_recvfrom);
}

// The thread that waits for an answer reads it from the connection itself:
// it sleeps in the read, not awake and not in a wait for another thread to
// hand the answer over.
TEST_F(PipeClient, TheWaitingThreadReadsItsAnswerItself) {
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x12, 0, 0, 0, 4, 0};
  c.transfer = 4;
  std::atomic<pid_t> tid{0};
  auto f = std::async(std::launch::async, [&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    return send(client, c, &data, &sense);
  });
  Request r;
  ASSERT_TRUE(service_.next(&r));
  EXPECT_TRUE(kel_test::settles([&] { return sleeps_in_read(tid.load()); }))
      << "the requesting thread waits in the read of the connection";
  ASSERT_EQ(FakeService::answer(r, 0, {}, pattern(4, 3)), ERROR_SUCCESS);
  const Result res = f.get();
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(data, pattern(4, 3));
}

// Three threads wait on one connection; one of them reads it, and whichever
// answer comes first, the reading goes on to a thread that still waits
// until each has its own answer.
TEST_F(PipeClient, ThreeWaitingThreadsEachGetTheirAnswerInAnyOrder) {
  const std::vector<std::vector<int>> orders = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {1, 2, 0}};
  for (const auto& order : orders) {
    SCOPED_TRACE(::testing::PrintToString(order));
    kel::CQVServiceInterface client;
    std::vector<std::uint8_t> data[3], sense[3];
    std::future<Result> f[3];
    Request r[3];
    for (int i = 0; i < 3; ++i) {
      Call c;
      c.cdb = {0x28, 0, 0, 0, 0, static_cast<std::uint8_t>(i), 0, 0, 1, 0};
      c.transfer = 2048;
      f[i] = start(client, c, &data[i], &sense[i]);
      ASSERT_TRUE(service_.next(&r[i]));
    }
    for (int k : order) {
      const int block = r[k].cdb()[5];
      ASSERT_EQ(FakeService::answer(r[k], 0, {}, pattern(2048, static_cast<std::uint8_t>(block))), ERROR_SUCCESS);
      if (f[block].wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
        service_.stop();  // the threads that still wait fail and end
        FAIL() << "thread " << block << " never got its answer";
      }
      const Result res = f[block].get();
      ASSERT_TRUE(res.ok) << res.error;
      EXPECT_EQ(data[block], pattern(2048, static_cast<std::uint8_t>(block)));
    }
  }
}

// A notification that comes while no request waits is counted when the
// client is asked, as one that comes with an answer.
TEST_F(PipeClient, ANotificationWhileNothingWaitsIsCounted) {
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x00, 0, 0, 0, 0, 0};
  auto f = start(client, c, &data, &sense);
  Request r;
  ASSERT_TRUE(service_.next(&r));
  ASSERT_EQ(FakeService::answer(r, 0), ERROR_SUCCESS);
  ASSERT_TRUE(f.get().ok);
  EXPECT_EQ(client.notificationCount(), 0u);
  const kel::QVNotificationRecord rec{16, 3, 0};
  std::vector<std::uint8_t> p(sizeof rec);
  std::memcpy(p.data(), &rec, sizeof rec);
  ASSERT_EQ(FakeService::send(r, pipetest::raw_answer(0, 0, p)), ERROR_SUCCESS);
  EXPECT_TRUE(kel_test::settles([&] { return client.notificationCount() == 1; }));
  EXPECT_TRUE(client.isConnected());
}

TEST_F(PipeClient, ServiceStatusesBecomeWin32Errors) {
  struct Case {
    std::int32_t status;
    DWORD error;
  } cases[] = {
      {static_cast<std::int32_t>(0xC0000185u), 1117},  // I/O device error
      {static_cast<std::int32_t>(0xC0000120u), 995},   // cancelled
      {static_cast<std::int32_t>(0xC00000A2u), 19},    // write protected
      {static_cast<std::int32_t>(0xC0DEC0DEu), kel::kUnknownNtStatusError},
      {21, 21},
      {55, 55},
  };
  kel::CQVServiceInterface client;
  for (const auto& c : cases) {
    service_.set_handler([&](Request& r) { FakeService::answer(r, c.status); });
    std::vector<std::uint8_t> data, sense;
    Call call;
    call.cdb = {0x00, 0, 0, 0, 0, 0};
    Result res = send(client, call, &data, &sense);
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.error, c.error) << std::hex << c.status;
    // quorvel_scsi_transfer returns the error and leaves the status byte.
    std::uint8_t status = 0xAA, s[32];
    EXPECT_EQ(quorvel_scsi_transfer(1, 6, call.cdb.data(), kScsiDirNone, 0, nullptr, 32, s, &status),
              static_cast<int>(c.error));
    EXPECT_EQ(status, 0xAA);
  }
}

TEST_F(PipeClient, MalformedAnswersFailWith1359AndTheClientGoesOn) {
  struct Case {
    const char* what;
    bool data_out;
    std::uint32_t transfer;
    std::function<std::vector<std::uint8_t>(std::uint64_t key)> answer;
  };
  const std::vector<Case> cases = {
      {"shorter than its head", false, 512, [](std::uint64_t k) {
         auto m = pipetest::scsi_answer(k, 0, {}, {});
         m.resize(12);
         return m;
       }},
      {"status 0 with a payload below 8 bytes", false, 512,
       [](std::uint64_t k) { return pipetest::raw_answer(k, 0, {0, 0, 0, 0}); }},
      {"payload length beyond the bytes received", false, 512, [](std::uint64_t k) {
         auto m = pipetest::scsi_answer(k, 0, {}, pattern(100, 1));
         const std::uint32_t payload = 8 + 400;
         std::memcpy(m.data() + 12, &payload, 4);
         return m;
       }},
      {"data-in length beyond the bytes received", false, 512, [](std::uint64_t k) {
         auto m = pipetest::scsi_answer(k, 0, {}, pattern(100, 1));
         const std::uint32_t len = 400;
         std::memcpy(m.data() + 20, &len, 4);
         return m;
       }},
      {"more data than the transfer length", false, 512,
       [](std::uint64_t k) { return pipetest::scsi_answer(k, 0, {}, pattern(513, 1)); }},
      {"data in for a data-out command", true, 512,
       [](std::uint64_t k) { return pipetest::scsi_answer(k, 0, {}, pattern(16, 1)); }},
      {"sense length beyond the payload", false, 512, [](std::uint64_t k) {
         auto m = pipetest::scsi_answer(k, 0, pattern(4, 1), {});
         m[16] = 18;
         return m;
       }},
      {"larger than the reader takes", false, 512,
       [](std::uint64_t k) { return pipetest::scsi_answer(k, 0, {}, pattern(200000, 1)); }},
  };
  kel::CQVServiceInterface client;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service_.set_handler([&](Request& r) { FakeService::send(r, c.answer(r.key())); });
    std::vector<std::uint8_t> data(c.transfer, 0xEE), sense;
    Call call;
    call.cdb = {static_cast<std::uint8_t>(c.data_out ? 0x2A : 0x28), 0, 0, 0, 0, 0, 0, 0, 1, 0};
    call.data_out = c.data_out;
    call.transfer = c.transfer;
    const auto before = data;
    Result res = send(client, call, &data, &sense);
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.error, 1359u);
    EXPECT_EQ(res.transfer_length, 0u);
    EXPECT_EQ(res.sense_length, 0);
    if (!c.data_out) {
      EXPECT_EQ(data, before) << "nothing copied from a malformed answer";
    }
    // The next request on the same client still works.
    service_.set_handler([](Request& r) { FakeService::answer(r, 0, {}, pattern(8, 5)); });
    call.data_out = false;
    call.transfer = 8;
    res = send(client, call, &data, &sense);
    ASSERT_TRUE(res.ok) << res.error;
    EXPECT_EQ(res.transfer_length, 8u);
  }
  EXPECT_EQ(service_.connections(), 1) << "no reconnection was needed";
}

TEST_F(PipeClient, ShortDataInIsZeroedAndAShortRead10Fails) {
  service_.set_handler([](Request& r) { FakeService::answer(r, 0, {}, pattern(1024, 4)); });
  // sendScsiCommand reports the length received.
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0};
  c.transfer = 4096;
  Result res = send(client, c, &data, &sense);
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(res.transfer_length, 1024u);

  // quorvel_scsi_transfer zeroes the tail and fails the READ(10).
  std::vector<std::uint8_t> buf(4096, 0xEE);
  std::uint8_t status = 0xAA, s[32];
  EXPECT_EQ(quorvel_scsi_transfer(1, 10, c.cdb.data(), kScsiDirIn, 4096, buf.data(), 32, s, &status), 1117);
  EXPECT_EQ(status, 0xAA);
  EXPECT_NE(host_text().find("READ(10) returned 1024 of 4096 bytes"), std::string::npos) << host_text();
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 1024, pattern(1024, 4).begin()));
  EXPECT_TRUE(std::all_of(buf.begin() + 1024, buf.end(), [](std::uint8_t b) { return b == 0; }));

  // Other commands answer less than their allocation length as a rule.
  const std::vector<std::uint8_t> inquiry = {0x12, 0, 0, 0x10, 0, 0};
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(quorvel_scsi_transfer(1, 6, inquiry.data(), kScsiDirIn, 4096, buf.data(), 32, s, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(std::all_of(buf.begin() + 1024, buf.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(PipeClient, DroppedConnectionFailsWith109ThenReconnects) {
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> d1, s1, d2, s2;
  Call c;
  c.cdb = {0x00, 0, 0, 0, 0, 0};
  auto f1 = start(client, c, &d1, &s1);
  auto f2 = start(client, c, &d2, &s2);
  Request r1, r2;
  ASSERT_TRUE(service_.next(&r1));
  ASSERT_TRUE(service_.next(&r2));
  FakeService::drop(r1);  // both waiting requests lose their answer
  const Result res1 = f1.get(), res2 = f2.get();
  EXPECT_FALSE(res1.ok);
  EXPECT_EQ(res1.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_FALSE(res2.ok);
  EXPECT_EQ(res2.error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_FALSE(client.isConnected());
  EXPECT_GE(client.notificationCount(), 1u) << "the broken pipe is queued as a notification";

  service_.set_handler([](Request& r) { FakeService::answer(r, 0); });
  std::vector<std::uint8_t> d3, s3;
  const Result res3 = send(client, c, &d3, &s3);
  EXPECT_TRUE(res3.ok) << res3.error;
  EXPECT_EQ(service_.connections(), 2);
}

TEST_F(PipeClient, ServiceThatNeverStartedFailsAtOnce) {
  service_.stop();
  // With a manual clock any wait for the pipe would never end.
  platform::ManualClock clock;
  platform::ScopedClock use(clock);
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x00, 0, 0, 0, 0, 0};
  const Result res = send(client, c, &data, &sense);
  EXPECT_FALSE(res.ok);
  EXPECT_EQ(res.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::uint8_t status = 0xAA, s[32];
  EXPECT_EQ(quorvel_scsi_transfer(1, 6, c.cdb.data(), kScsiDirNone, 0, nullptr, 32, s, &status),
            static_cast<int>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(status, 0xAA);
  EXPECT_NE(host_text().find("no host service on pipe \\\\.\\pipe\\QuorvelAPIPipe"), std::string::npos)
      << host_text();
  std::uint32_t returned = 7;
  std::uint8_t out[8];
  EXPECT_FALSE(client.controlRequest(0, 0x1234, nullptr, 0, out, sizeof out, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_EQ(returned, 0u);
}

TEST_F(PipeClient, CancelledRequestReportsOperationAborted) {
  kel::CQVServiceInterface client;
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x00, 0, 0, 0, 0, 0};
  std::atomic<std::uint64_t> tid{0};
  auto f = std::async(std::launch::async, [&] {
    tid = GetCurrentThreadId();
    return send(client, c, &data, &sense);
  });
  Request r;
  ASSERT_TRUE(service_.next(&r));
  EXPECT_EQ(r.key(), tid.load());
  EXPECT_TRUE(client.cancelRequest(tid.load()));
  const Result res = f.get();
  EXPECT_FALSE(res.ok);
  EXPECT_EQ(res.error, 995u);
  EXPECT_FALSE(client.cancelRequest(tid.load())) << "nothing waits any more";
}

TEST_F(PipeClient, NotificationsDoNotDisturbAnswers) {
  kel::CQVServiceInterface client;
  service_.set_handler([](Request& r) {
    const kel::QVNotificationRecord rec{16, 3, 0};
    std::vector<std::uint8_t> p(sizeof rec);
    std::memcpy(p.data(), &rec, sizeof rec);
    FakeService::send(r, pipetest::raw_answer(0, 0, p));            // a notification
    FakeService::send(r, pipetest::raw_answer(0, 0, {1, 2, 3}));    // too short: dropped
    FakeService::send(r, pipetest::scsi_answer(r.key() + 99, 0, {}, {}));  // nobody waits: dropped
    FakeService::answer(r, 0, {}, pattern(4, 1));
  });
  std::vector<std::uint8_t> data, sense;
  Call c;
  c.cdb = {0x12, 0, 0, 0, 4, 0};
  c.transfer = 4;
  const Result res = send(client, c, &data, &sense);
  ASSERT_TRUE(res.ok) << res.error;
  EXPECT_EQ(res.transfer_length, 4u);
  EXPECT_EQ(client.notificationCount(), 1u);
}

// The drive-state epoch the engine's drive layer keeps its slot state by:
// a notification of the service moves it on, and it is 0 while the drive
// utility library has the drive (until the end-of-request notice).
TEST_F(PipeClient, DriveEpochMovesWithNotificationsAndTheUtilityLibrarysTurn) {
  bool notify = false;
  service_.set_handler([&](Request& r) {
    if (notify) {
      const kel::QVNotificationRecord rec{16, 3, 0};
      std::vector<std::uint8_t> p(sizeof rec);
      std::memcpy(p.data(), &rec, sizeof rec);
      FakeService::send(r, pipetest::raw_answer(0, 0, p));
    }
    FakeService::answer(r, 0);
  });
  std::uint8_t tur[6] = {}, sense[32], status = 0;
  ASSERT_EQ(quorvel_scsi_transfer(1, 6, tur, kScsiDirNone, 0, nullptr, 32, sense, &status), 0);
  const std::uint64_t first = quorvel_drive_epoch();
  EXPECT_NE(first, 0u);
  ASSERT_EQ(quorvel_scsi_transfer(1, 6, tur, kScsiDirNone, 0, nullptr, 32, sense, &status), 0);
  EXPECT_EQ(quorvel_drive_epoch(), first) << "an answer alone changes nothing";
  notify = true;
  ASSERT_EQ(quorvel_scsi_transfer(1, 6, tur, kScsiDirNone, 0, nullptr, 32, sense, &status), 0);
  // The notification goes ahead of the answer on the connection.
  const std::uint64_t noticed = quorvel_drive_epoch();
  EXPECT_NE(noticed, first);
  EXPECT_NE(noticed, 0u);
  notify = false;
  kel::BeginDriveSdkTurn();
  EXPECT_EQ(quorvel_drive_epoch(), 0u);
  ASSERT_EQ(kel::SendEndOfRequestNotice(), 0u);
  EXPECT_NE(quorvel_drive_epoch(), 0u);
  EXPECT_NE(quorvel_drive_epoch(), noticed);
}

TEST_F(PipeClient, ControlRequestLayoutAndBounds) {
  kel::CQVServiceInterface client;
  const std::vector<std::uint8_t> in = pattern(20, 1);
  std::uint32_t payload_size = 8;
  service_.set_handler([&](Request& r) {
    kel::QVControlRequestHeader h;
    std::memcpy(&h, r.msg.data(), sizeof h);
    EXPECT_EQ(r.msg.size(), 176u + 20u);
    EXPECT_EQ(h.TotalLength, 196u);
    EXPECT_EQ(h.Version, 20u);
    EXPECT_EQ(h.Flags, 5u);
    EXPECT_EQ(h.ControlCode, 0x00093134u);
    EXPECT_EQ(h.InputLength, 20u);
    EXPECT_EQ(h.OutputCapacity, 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(r.msg.begin() + 36, r.msg.begin() + 56), in);
    for (std::size_t i = 56; i < r.msg.size(); ++i) EXPECT_EQ(r.msg[i], 0);
    FakeService::send(r, pipetest::raw_answer(r.key(), 0, pattern(payload_size, 9)));
  });
  std::uint8_t out[16] = {};
  std::uint32_t returned = 0;
  ASSERT_TRUE(client.controlRequest(5, 0x00093134u, in.data(), 20, out, sizeof out, &returned)) << GetLastError();
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8), pattern(8, 9));
  EXPECT_EQ(client.readBufferSize(), 4096u) << "grows from 4096";
  payload_size = 17;  // one byte beyond the output capacity
  EXPECT_FALSE(client.controlRequest(5, 0x00093134u, in.data(), 20, out, sizeof out, &returned));
  EXPECT_EQ(GetLastError(), 1359u);
  EXPECT_EQ(returned, 0u);
}

TEST(PipeClientTables, NtStatusAndDriveLetters) {
  EXPECT_EQ(kel::NtStatusToWin32Error(static_cast<std::int32_t>(0xC0000120u)), 995u);
  EXPECT_EQ(kel::NtStatusToWin32Error(static_cast<std::int32_t>(0xC000014Bu)), 109u);
  EXPECT_EQ(kel::NtStatusToWin32Error(static_cast<std::int32_t>(0x80000005u)), 234u);
  EXPECT_EQ(kel::NtStatusToWin32Error(static_cast<std::int32_t>(0xC0000000u)), kel::kUnknownNtStatusError);
  EXPECT_EQ(kel::NtStatusToWin32Error(-1), kel::kUnknownNtStatusError);
  kel::CDriveLetterFinder finder;
  EXPECT_EQ(finder.find(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_EQ(finder.find(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_TRUE(finder.roots().empty());
  EXPECT_EQ(quorvel_scsi_open(0, 2), 1);
  EXPECT_EQ(quorvel_scsi_close(1), 0);
}

// ---------------------------------------------------------------------------
// Against the simulated host service and changer drive.

class PipeClientSim : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::tmpfile();
    kel::SetResponseStream(host_);
    sim_ = std::make_unique<kelsim::SimHarness>();
    ASSERT_TRUE(sim_->make_ready());  // the drive's power-on attention is taken, as a host does
    kel::SetMediumCookie(sim_->cookie());
    kel::SetDriveCommandContextSource([] { return kel::DriveCommandContext{31, 7, 0}; });
  }
  void TearDown() override {
    sim_.reset();
    kel::SetDriveCommandContextSource(nullptr);
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
    kel::SetResponseStream(nullptr);
    std::fclose(host_);
  }

  static std::vector<std::uint8_t> rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t blocks) {
    std::vector<std::uint8_t> cdb(10, 0);
    cdb[0] = op;
    kelsim::put_be32(&cdb[2], lba);
    kelsim::put_be16(&cdb[7], blocks);
    return cdb;
  }
  static int transfer(const std::vector<std::uint8_t>& cdb, int dir, std::vector<std::uint8_t>* data,
                      std::uint8_t* status, std::uint8_t sense_capacity = 32, std::uint8_t* sense = nullptr) {
    std::uint8_t own[255];
    return quorvel_scsi_transfer(1, static_cast<std::uint32_t>(cdb.size()), cdb.data(), dir,
                                 static_cast<std::uint32_t>(data ? data->size() : 0), data ? data->data() : nullptr,
                                 sense_capacity, sense ? sense : own, status);
  }

  // A write-once disc takes writes once formatted.
  void format_disc() {
    const std::uint8_t format[6] = {0x04, 0x11}, list[12] = {0, 0, 0, 8};
    std::vector<std::uint8_t> none;
    ASSERT_FALSE(sim_->drive().execute(format, sizeof(format), list, sizeof(list), &none).check_condition);
  }

  std::FILE* host_ = nullptr;
  std::unique_ptr<kelsim::SimHarness> sim_;
};

TEST_F(PipeClientSim, HalfMebibyteWriteAndReadThroughTheService) {
  constexpr std::uint16_t kBlocks = 256;  // 512 KiB
  format_disc();
  std::vector<std::uint8_t> out = pattern(kBlocks * 2048u, 17);
  std::uint8_t status = 0xAA;
  ASSERT_EQ(transfer(rw10(0x2A, 0, kBlocks), kScsiDirOut, &out, &status), 0);
  EXPECT_EQ(status, 0);
  std::vector<std::uint8_t> in(kBlocks * 2048u, 0xEE);
  status = 0xAA;
  ASSERT_EQ(transfer(rw10(0x28, 0, kBlocks), kScsiDirIn, &in, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(in, out);

  const auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(t[0].data_out);
  EXPECT_EQ(t[0].data_length, 524288u);
  EXPECT_FALSE(t[1].data_out);
  EXPECT_EQ(t[1].data_length, 524288u);
  EXPECT_EQ(t[1].data_in_length, 524288u);
  for (const auto& e : t) {
    EXPECT_EQ(e.cookie, sim_->cookie());
    EXPECT_EQ(e.sequence, 31u);
    EXPECT_EQ(e.phase, 7u);
    EXPECT_EQ(e.unmount, 0);
    EXPECT_EQ(e.timeout_seconds, 60u);
    EXPECT_EQ(e.sense_capacity, 32);
  }
  EXPECT_GE(kel::ServiceInterface().readBufferSize(), 524288u + 8u + 24u);
}

TEST_F(PipeClientSim, NoticeAndContextReachTheService) {
  kel::SetDriveCommandContextSource([] { return kel::DriveCommandContext{4242, 12, 1}; });
  EXPECT_EQ(kel::SendEndOfRequestNotice(), ERROR_SUCCESS);
  std::uint8_t status = 0xAA;
  const std::vector<std::uint8_t> tur(6, 0);
  EXPECT_EQ(transfer(tur, kScsiDirNone, nullptr, &status), 0);
  const auto t = sim_->service().transcript();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(t[0].is_notice());
  EXPECT_EQ(t[0].phase, 12u);
  EXPECT_EQ(t[0].sequence, 4242u);
  EXPECT_EQ(t[0].unmount, 1);
  EXPECT_EQ(t[0].timeout_seconds, 60u);
  EXPECT_EQ(t[1].opcode(), 0x00);
  EXPECT_EQ(t[1].unmount, 1);
}

TEST_F(PipeClientSim, DriveSenseIsCutToTheCapacity) {
  // A medium error: CHECK CONDITION with 18 bytes of fixed-format sense.
  sim_->drive().add_fault(kelsim::read_error(100, 100));
  const auto cdb = rw10(0x28, 100, 1);
  for (std::uint8_t capacity : {std::uint8_t{16}, std::uint8_t{32}}) {
    SCOPED_TRACE(int(capacity));
    std::vector<std::uint8_t> data(2048, 0xEE), sense(capacity, 0xEE);
    std::uint8_t sense_length = capacity;
    std::uint32_t length = 2048;
    ASSERT_TRUE(kel::ServiceInterface().sendScsiCommand(0, sim_->cookie(), 0, 1, 3, 0, 60, cdb.data(), 10,
                                                        sense.data(), &sense_length, data.data(), &length))
        << GetLastError();
    EXPECT_EQ(sense_length, std::min<std::uint8_t>(capacity, 18));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(sense[0] & 0x7F, 0x70);
    EXPECT_EQ(sense[2] & 0x0F, 0x03);
    EXPECT_EQ(sense[12], 0x11);
    std::uint8_t status = 0xAA;
    std::vector<std::uint8_t> buf(2048, 0xEE);
    EXPECT_EQ(transfer(cdb, kScsiDirIn, &buf, &status, capacity, sense.data()), 0);
    EXPECT_EQ(status, 1);
  }
}

TEST_F(PipeClientSim, TransportFaultsOfTheService) {
  std::uint8_t status = 0xAA;
  const std::vector<std::uint8_t> tur(6, 0);
  sim_->drive().add_fault(kelsim::transport_status(static_cast<std::int32_t>(0xC0000185u), 0x00));
  EXPECT_EQ(transfer(tur, kScsiDirNone, nullptr, &status), 1117);
  sim_->drive().clear_faults();
  sim_->drive().add_fault(kelsim::transport_status(21, 0x00));
  EXPECT_EQ(transfer(tur, kScsiDirNone, nullptr, &status), 21);
  sim_->drive().clear_faults();
  EXPECT_EQ(status, 0xAA);

  // The service drops the connection: 109, and the next command reconnects.
  auto rule = kelsim::drop_connection(0x00);
  rule.times = 1;
  sim_->drive().add_fault(rule);
  EXPECT_EQ(transfer(tur, kScsiDirNone, nullptr, &status), static_cast<int>(ERROR_BROKEN_PIPE));
  EXPECT_EQ(transfer(tur, kScsiDirNone, nullptr, &status), 0);
  EXPECT_EQ(status, 0);
}

// The answer of a cancelled read comes late, after the thread has sent its
// next read, and before the service answers that one: it must not be taken
// for the next read's answer (the data of one block returned for another).
TEST_F(PipeClientSim, LateAnswerOfACancelledCommandIsNotTakenForTheNext) {
  std::uint8_t status = 0;
  std::vector<std::uint8_t> a = pattern(2048, 1), b = pattern(2048, 2);
  std::vector<std::uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  format_disc();
  ASSERT_EQ(transfer(rw10(0x2A, 0, 2), kScsiDirOut, &both, &status), 0);
  ASSERT_EQ(status, 0);
  platform::ManualClock clock;
  platform::ScopedClock use(clock);
  auto first = kelsim::delay_answer(1000, 0x28);
  first.times = 1;
  auto second = kelsim::delay_answer(2000, 0x28);
  second.times = 1;
  sim_->drive().add_fault(first);
  const int second_id = sim_->drive().add_fault(second);

  kel::CQVServiceInterface& client = kel::ServiceInterface();
  std::atomic<std::uint64_t> tid{0};
  int cancelled = -1, next = -1;
  std::vector<std::uint8_t> got_a(2048, 0xEE), got_b(2048, 0xEE);
  std::thread reader([&] {
    tid = GetCurrentThreadId();
    std::uint8_t s = 0;
    cancelled = transfer(rw10(0x28, 0, 1), kScsiDirIn, &got_a, &s);
    next = transfer(rw10(0x28, 1, 1), kScsiDirIn, &got_b, &s);
  });
  // The service holds the first read.
  while (clock.waiters() < 1) std::this_thread::yield();
  ASSERT_TRUE(client.cancelRequest(tid.load()));
  // The second read is held by the service, or by the client until the
  // first read's answer is back.
  while (sim_->drive().fault_fired(second_id) == 0 && client.lateAnswerWaiters() == 0)
    std::this_thread::yield();
  clock.advance(1000);  // the first read's answer leaves the service
  // The service holds the second read.
  while (sim_->drive().fault_fired(second_id) == 0 || clock.waiters() < 1) std::this_thread::yield();
  clock.advance(2000);
  reader.join();
  // Whatever answer the service still holds leaves before the clock ends.
  clock.advance(10000);
  while (clock.waiters() > 0) std::this_thread::yield();
  EXPECT_EQ(cancelled, 995);
  EXPECT_EQ(next, 0);
  EXPECT_EQ(got_b, b);
  EXPECT_EQ(got_a, std::vector<std::uint8_t>(2048, 0xEE));
  // The thread's commands go on as usual.
  std::vector<std::uint8_t> again(2048, 0xEE);
  ASSERT_EQ(transfer(rw10(0x28, 0, 1), kScsiDirIn, &again, &status), 0);
  EXPECT_EQ(again, a);
}

// When the connection of a cancelled request breaks, its answer can no
// longer come: the thread's next request is not held for it.
TEST_F(PipeClientSim, NextCommandAfterACancelIsNotHeldWhenTheConnectionBreaks) {
  platform::ManualClock clock;
  platform::ScopedClock use(clock);
  auto held = kelsim::delay_answer(1000, 0x28);
  held.times = 1;
  sim_->drive().add_fault(held);

  kel::CQVServiceInterface& client = kel::ServiceInterface();
  std::atomic<std::uint64_t> tid{0};
  int cancelled = -1, next = -1;
  std::vector<std::uint8_t> first(2048, 0xEE), got(2048, 0xEE);
  std::thread reader([&] {
    tid = GetCurrentThreadId();
    std::uint8_t s = 0;
    cancelled = transfer(rw10(0x28, 0, 1), kScsiDirIn, &first, &s);
    next = transfer(rw10(0x28, 0, 1), kScsiDirIn, &got, &s);
  });
  while (clock.waiters() < 1) std::this_thread::yield();
  ASSERT_TRUE(client.cancelRequest(tid.load()));
  // The next read waits for the cancelled read's answer.
  while (client.lateAnswerWaiters() == 0) std::this_thread::yield();
  sim_->service().stop();  // the connection breaks
  reader.join();
  EXPECT_EQ(cancelled, 995);
  // It went out (the join above ends only then); what the stopping service
  // made of it (an answer, a broken connection, no service) is its own.
  EXPECT_NE(next, -1);
  EXPECT_EQ(client.lateAnswerWaiters(), 0u);
}

}  // namespace
