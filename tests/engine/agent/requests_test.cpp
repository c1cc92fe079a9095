// Metacache request builders against a scripted agent that answers with
// chosen images.
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "support_neighbours.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

namespace {

// Serves one request with the answer payload and error the test chooses,
// and records the request image.
class ScriptedAgent {
 public:
  explicit ScriptedAgent(std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&, int*)> reply)
      : reply_(std::move(reply)) {}
  void serve_one() {
    std::vector<std::uint8_t> buf(1 << 20);
    const std::uint32_t n = mdcudfsr_metacache_read(buf.data(), buf.size());
    ASSERT_GE(n, 20u);
    request.assign(buf.begin(), buf.begin() + n);
    int error = 0;
    std::vector<std::uint8_t> payload = reply_(request, &error);
    std::vector<std::uint8_t> img(24 + payload.size());
    mdc_ans_header_t h{};
    std::memcpy(&h.seq_id, request.data(), 4);
    std::memcpy(&h.req_id, request.data() + 4, 4);
    h.payload_size = static_cast<std::uint32_t>(payload.size());
    h.error = error;
    std::memcpy(img.data(), &h, 24);
    if (!payload.empty()) std::memcpy(img.data() + 24, payload.data(), payload.size());
    ASSERT_EQ(mdcudfsr_metacache_write(img.data(), img.size()), img.size());
  }
  std::vector<std::uint8_t> request;

 private:
  std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&, int*)> reply_;
};

class RequestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake().reset();
    mdcudfsr_metacache_init();
    mp.metacachedev = mdcudfsr_metacache_alloc(&mp);
    ASSERT_EQ(mdcudfsr_metacache_open(), 0);
  }
  void TearDown() override {
    mdcudfsr_metacache_close();
    mdcudfsr_metacache_free(mp.metacachedev);
  }
  mdcudfsr_mount mp;
};

std::vector<std::uint8_t> words(std::initializer_list<std::uint32_t> w, std::size_t extra = 0) {
  std::vector<std::uint8_t> v(w.size() * 4 + extra, 0);
  std::size_t i = 0;
  for (std::uint32_t x : w) { std::memcpy(v.data() + i, &x, 4); i += 4; }
  return v;
}

TEST_F(RequestsTest, ReadAnswerLongerThanAskedFailsWith105AndCopiesNothing) {
  ScriptedAgent agent([](const std::vector<std::uint8_t>&, int*) {
    auto v = words({0, 8}, 8);
    std::memset(v.data() + 8, 0xEE, 8);
    return v;
  });
  std::thread t([&] { agent.serve_one(); });
  char dst[4] = {1, 2, 3, 4};
  std::uint32_t n = 77, ce = 0;
  EXPECT_EQ(mdcudfsr_metacache_file_read(&mp, 3, 0x100000, 4, dst, &n, &ce), 105);
  t.join();
  EXPECT_EQ(dst[0], 1);
  EXPECT_EQ(n, 77u);
  // The request image: handle, 64-bit offset, length.
  ASSERT_EQ(agent.request.size(), 36u);
  std::uint32_t req_id, handle, len;
  std::uint64_t off;
  std::memcpy(&req_id, agent.request.data() + 4, 4);
  std::memcpy(&handle, agent.request.data() + 20, 4);
  std::memcpy(&off, agent.request.data() + 24, 8);
  std::memcpy(&len, agent.request.data() + 32, 4);
  EXPECT_EQ(req_id, 20u);
  EXPECT_EQ(handle, 3u);
  EXPECT_EQ(off, 0x100000u);
  EXPECT_EQ(len, 4u);
}

TEST_F(RequestsTest, AgentErrorAndShortAnswerAreReported) {
  ScriptedAgent failing([](const std::vector<std::uint8_t>&, int* err) {
    *err = 13;
    return words({1});
  });
  std::thread t([&] { failing.serve_one(); });
  std::uint32_t ce = 0;
  EXPECT_EQ(mdcudfsr_metacache_file_truncate(&mp, 1, 0, &ce), 13);
  t.join();

  ScriptedAgent truncated([](const std::vector<std::uint8_t>&, int*) { return std::vector<std::uint8_t>(2); });
  std::thread t2([&] { truncated.serve_one(); });
  std::int32_t h = 0;
  EXPECT_EQ(mdcudfsr_metacache_localfile_open(&mp, "n", 1, &h, &ce), 5);
  t2.join();
}

TEST_F(RequestsTest, OpenModeLowBitsAreLoweredByOne) {
  struct Case { std::uint32_t in, out; } cases[] = {{0, 0}, {1, 0}, {2, 1}, {3, 2}, {0x103, 0x102}, {0x100, 0x100}};
  for (const auto& c : cases) {
    ScriptedAgent agent([](const std::vector<std::uint8_t>&, int*) { return words({0, 5, 0}); });
    std::thread t([&] { agent.serve_one(); });
    std::int32_t h = 0;
    std::uint32_t ce = 9;
    ASSERT_EQ(mdcudfsr_metacache_localfile_open(&mp, "name", c.in, &h, &ce), 0);
    t.join();
    EXPECT_EQ(h, 5);
    EXPECT_EQ(ce, 0u);
    ASSERT_EQ(agent.request.size(), 20u + 55u);
    std::uint32_t mode;
    std::memcpy(&mode, agent.request.data() + 20 + 51, 4);
    EXPECT_EQ(mode, c.out) << c.in;
  }
}

TEST_F(RequestsTest, FsmanageOpenSendsSerialAttributeAndFailureWord) {
  std::memcpy(fake().serial, "QRS", 3);
  std::memset(fake().serial + 3, ' ', 29);
  for (int i = 0; i < 140; ++i) fake().attr1500[i] = static_cast<std::uint8_t>(i);
  for (int attr_fails = 0; attr_fails < 2; ++attr_fails) {
    fake().attr1500_err = attr_fails ? 5 : 0;
    ScriptedAgent agent([](const std::vector<std::uint8_t>&, int*) {
      auto v = words({0, 0x12345678, 0xABCDEF00, 1, 0});
      return v;
    });
    std::thread t([&] { agent.serve_one(); });
    std::uint32_t coherent = 0, created = 9;
    ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
    t.join();
    ASSERT_EQ(agent.request.size(), 20u + 168u);
    const std::uint8_t* p = agent.request.data() + 20;
    EXPECT_EQ(std::memcmp(p, "QRS\0\0\0", 6), 0);
    std::uint32_t kind, failed;
    std::memcpy(&kind, p + 32, 4);
    std::memcpy(&failed, p + 164, 4);
    EXPECT_EQ(kind, 2u);
    EXPECT_EQ(failed, static_cast<std::uint32_t>(attr_fails));
    if (!attr_fails) {
      EXPECT_EQ(p[36], 9);  // bytes 9-136 of the attribute
    }
    // The handle keeps the low 32 bits of the answer's 64-bit handle.
    EXPECT_EQ(mp.fsmanage_handle, 0x12345678);
    EXPECT_EQ(coherent, 1u);
    EXPECT_EQ(created, 0u);
  }
}

TEST_F(RequestsTest, SerialReadFailureSendsNothing) {
  fake().serial_err = 19;
  std::uint32_t c = 0, d = 0;
  EXPECT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &c, &d), 19);
  EXPECT_TRUE(mp.metacachedev->req_queue.empty());
}

}  // namespace
