// Shared fixture of the simulator tests: a harness and a raw client on the
// real socket.
#pragma once

#include "sim/client.h"
#include "sim/harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes cdb12(std::initializer_list<std::uint8_t> head) {
  Bytes c(12, 0);
  std::size_t i = 0;
  for (auto b : head) c[i++] = b;
  return c;
}

inline Bytes rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t blocks) {
  Bytes c(12, 0);
  c[0] = op;
  kelsim::put_be32(&c[2], lba);
  kelsim::put_be16(&c[7], blocks);
  return c;
}

// TEST UNIT READY through the pipe until the drive answers GOOD, as the
// engine does before it uses a drive: past the unit attention of the
// drive's start and a disc becoming ready. The number of commands sent, or
// -1 when the drive answered anything else.
inline int ready_through(kelsim::RawClient& client, std::uint64_t cookie) {
  constexpr int kTries = 8;
  for (int sent = 1; sent <= kTries; ++sent) {
    kelsim::ScsiCall c;
    c.cdb = cdb12({0x00});
    c.cookie = cookie;
    kelsim::RawAnswer a;
    if (client.call(c, &a) != ERROR_SUCCESS || a.status != 0) return -1;
    if (a.sense_length == 0) return sent;
    const bool attention = a.sense.size() > 2 && (a.sense[2] & 0x0F) == 6;
    const bool becoming_ready = a.sense.size() > 13 && (a.sense[2] & 0x0F) == 2 && a.sense[12] == 4 && a.sense[13] == 1;
    if (!attention && !becoming_ready) return -1;
  }
  return -1;
}

class SimTest : public ::testing::Test {
 protected:
  // ready: the drive is made ready first (its power-on attention taken), as
  // a host does before it uses a drive; tests of the drive's first answers
  // leave it as it started.
  void start(kelsim::HarnessOptions o = {}, bool ready = true) {
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    ASSERT_EQ(client_.connect(), ERROR_SUCCESS);
    if (ready) {
      ASSERT_TRUE(sim_->make_ready());
    }
  }
  // The service restarted with a new drive, made ready as at start.
  void restart() {
    client_.close();
    ASSERT_EQ(sim_->restart(), ERROR_SUCCESS);
    ASSERT_EQ(client_.connect(), ERROR_SUCCESS);
    ASSERT_TRUE(sim_->make_ready());
  }
  void TearDown() override {
    client_.close();
    sim_.reset();
  }

  // One data-in or no-data command.
  kelsim::RawAnswer in(const Bytes& cdb, std::uint32_t length, std::uint8_t sense_cap = 16) {
    kelsim::ScsiCall c;
    c.cdb = cdb;
    c.transfer_length = length;
    c.sense_capacity = sense_cap;
    c.cookie = sim_->cookie();
    kelsim::RawAnswer a;
    EXPECT_EQ(client_.call(c, &a), ERROR_SUCCESS);
    return a;
  }
  // One data-out command.
  kelsim::RawAnswer out(const Bytes& cdb, const Bytes& data, std::uint8_t sense_cap = 16) {
    kelsim::ScsiCall c;
    c.cdb = cdb;
    c.data_out = data;
    c.transfer_length = static_cast<std::uint32_t>(data.size());
    c.sense_capacity = sense_cap;
    c.cookie = sim_->cookie();
    kelsim::RawAnswer a;
    EXPECT_EQ(client_.call(c, &a), ERROR_SUCCESS);
    return a;
  }
  // LOAD/UNLOAD of a slot, then TEST UNIT READY until its disc is ready, as
  // the drive layer does after a load. True when both went well.
  bool load(std::uint8_t slot) {
    return good(in(cdb12({0xA6, 0, 0, 0, 0x03, 0, 0, 0, slot}), 0)) && sim_->make_ready();
  }
  // FORMAT UNIT as the write-once format sends it (FmtData, 12-byte list).
  kelsim::RawAnswer format_unit() {
    return out(cdb12({0x04, 0x11}), Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0});
  }
  static kelsim::Sense sense(const kelsim::RawAnswer& a) {
    if (a.sense.size() < 14) return {};
    return {static_cast<std::uint8_t>(a.sense[2] & 0x0F), a.sense[12], a.sense[13]};
  }
  static bool good(const kelsim::RawAnswer& a) { return a.status == 0 && a.sense_length == 0; }

  std::unique_ptr<kelsim::SimHarness> sim_;
  kelsim::RawClient client_;
};

}  // namespace simtest
