// Cartridge attribute requests of clients against the simulated drive.
#include "fsctl_support.h"
#include "vfs_support.h"

#include "kel/mdcfs.h"
#include "kelvnops/mdcudfsr_cm_requests.h"

#include <cstring>
#include <string>

namespace {

using namespace vfs_test;

class CmRequests : public SimVolume {
 protected:
  MDCFS_ATTRIBUTE_DATA record(std::uint16_t id, std::uint32_t length, void* value, std::uint8_t format = 0) {
    MDCFS_ATTRIBUTE_DATA r{};
    r.Id = id;
    r.Format = format;
    r.Length = length;
    r.Value = reinterpret_cast<std::uintptr_t>(value);
    return r;
  }
  // Allocation length of the last READ ATTRIBUTE the drive received.
  std::uint32_t last_read_allocation() {
    const auto t = sim_->service().transcript();
    for (auto it = t.rbegin(); it != t.rend(); ++it)
      if (it->opcode() == 0x8C) return fsctl_test::be32(it->cdb.data() + 10);
    return 0;
  }
};

TEST_F(CmRequests, ReadNeedsRoomForTheWholeValue) {
  start();
  char value[64];
  std::memset(value, '#', sizeof value);
  MDCFS_ATTRIBUTE_DATA r = record(0x0401, 32, value);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_read_attribute(mnt_.get(), &r, &ctx_));
  EXPECT_EQ(32u, r.Length);
  EXPECT_EQ(1, r.Format);
  EXPECT_EQ(0x0401, r.Id);
  EXPECT_EQ("SER-0001", std::string(value, 8));
  EXPECT_EQ('#', value[32]);
  EXPECT_EQ(44u, last_read_allocation());

  r = record(0x0401, 31, value);
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_read_attribute(mnt_.get(), &r, &ctx_));
  EXPECT_TRUE(logged("AttrID[0x401]: insufficient buffer. length=31 expected=32 \n"));
}

TEST_F(CmRequests, ReplySizeIsRoundedAndBounded) {
  start();
  char value[16];
  for (auto [length, allocation] : {std::pair{3u, 12u}, {4u, 16u}, {0u, 12u}}) {
    MDCFS_ATTRIBUTE_DATA r = record(0x0D03, length, value);
    mdcudfsr_mdcfsctrl_read_attribute(mnt_.get(), &r, &ctx_);
    EXPECT_EQ(allocation, last_read_allocation()) << length;
  }
  take_opcodes();
  MDCFS_ATTRIBUTE_DATA big = record(0x0D03, MDCUDFSR_ATTR_READ_MAX + 1, value);
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_read_attribute(mnt_.get(), &big, &ctx_));
  MDCFS_ATTRIBUTE_DATA no_buffer = record(0x0D03, 4, nullptr);
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_read_attribute(mnt_.get(), &no_buffer, &ctx_));
  EXPECT_TRUE(take_opcodes().empty()) << "refused before the drive";
}

TEST_F(CmRequests, ReadOfAnAbsentAttributeIsADriveFailure) {
  start();
  char value[128];
  MDCFS_ATTRIBUTE_DATA r = record(0x1500, 128, value);
  EXPECT_EQ(5, mdcudfsr_mdcfsctrl_read_attribute(mnt_.get(), &r, &ctx_));
  EXPECT_TRUE(logged("Read Attribute is failed err:5\n"));
}

TEST_F(CmRequests, OnlyThePermittedIdsAreWritten) {
  start();
  std::uint8_t value[40];
  for (int i = 0; i < 40; ++i) value[i] = static_cast<std::uint8_t>('a' + i % 26);
  struct Case {
    std::uint16_t id;
    std::uint32_t length;
    std::uint8_t format;
    int result;
    std::uint8_t stored_format;
  } cases[] = {
      {0x0806, 31, 0, 22, 0}, {0x0806, 32, 0, 0, 1}, {0x1505, 5, 2, 0, 1},   {0x1580, 6, 2, 0, 2},
      {0x15FF, 1, 0, 0, 0},   {0x1600, 4, 0, 22, 0}, {0x0401, 32, 1, 22, 0}, {0x1581, 65536, 0, 22, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.id) + "/" + std::to_string(c.length));
    take_opcodes();
    MDCFS_ATTRIBUTE_DATA r = record(c.id, c.length, value, c.format);
    EXPECT_EQ(c.result, mdcudfsr_mdcfsctrl_write_attribute(mnt_.get(), &r, &ctx_));
    if (c.result != 0) {
      EXPECT_TRUE(take_opcodes().empty());
      continue;
    }
    const auto& a = sim_->cartridge().attributes.at(c.id);
    EXPECT_EQ(c.stored_format, a.format);
    EXPECT_EQ(std::vector<std::uint8_t>(value, value + c.length), a.value);
  }
  EXPECT_EQ(1, count_log("AttrID[0x1600]: STATUS_INVALID_PARAMETER\n"));
}

TEST_F(CmRequests, WriteFailureIsFive) {
  start();
  sim_->drive().add_fault(kelsim::command_fails(0x8D, {0x03, 0x0C, 0x00}));
  std::uint8_t value[4] = {1, 2, 3, 4};
  MDCFS_ATTRIBUTE_DATA r = record(0x1580, 4, value, 0);
  EXPECT_EQ(5, mdcudfsr_mdcfsctrl_write_attribute(mnt_.get(), &r, &ctx_));
  EXPECT_TRUE(logged("write attribute failed. err = 5\n"));
}

TEST_F(CmRequests, EnumerationCountsAndCopiesWholeIds) {
  start();
  const std::uint32_t ids = static_cast<std::uint32_t>(sim_->cartridge().attributes.size());
  MDCFS_ENUM_ATTRIBUTE e{0, 0, 0};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_enum_attribute(mnt_.get(), &e, &ctx_));
  EXPECT_EQ(ids, e.Count);

  std::uint8_t buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  e = {0, 5, reinterpret_cast<std::uintptr_t>(buf)};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_enum_attribute(mnt_.get(), &e, &ctx_));
  EXPECT_EQ(ids, e.Count);
  EXPECT_EQ(0x0007, fsctl_test::be16(buf));  // the lowest ids, big-endian
  EXPECT_EQ(0x0401, fsctl_test::be16(buf + 2));
  EXPECT_EQ(0xEE, buf[4]) << "an odd size copies whole ids only";
}

}  // namespace
