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

class SimTest : public ::testing::Test {
 protected:
  void start(kelsim::HarnessOptions o = {}) {
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    ASSERT_EQ(client_.connect(), ERROR_SUCCESS);
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
