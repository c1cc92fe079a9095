// Descriptor tags, checksums and CRCs.
#include "engine/udf/support_fakes.h"

#include "udf/udf_mount.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace udf_test;

TEST(Checksums, KnownValues) {
  EXPECT_EQ(mdcudfsr_crc16("abc", 3), 0x9DD6);
  EXPECT_EQ(mdcudfsr_crc16("123456789", 9), 0x31C3);  // CRC-16/XMODEM check value
  EXPECT_EQ(mdcudfsr_crc16("abc", 0), 0);
  // Eight bytes at a time give what one byte at a time gives, at every
  // length and alignment.
  std::vector<uint8_t> data(600);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  for (uint32_t from : {0u, 1u, 5u})
    for (uint32_t len = 0; len + from <= data.size(); len += 37) {
      uint16_t c = 0;
      for (uint32_t i = 0; i < len; ++i)
        for (int b = 0; b < 8; ++b) {
          const bool top = ((c >> 15) ^ (data[from + i] >> (7 - b))) & 1;
          c = static_cast<uint16_t>((c << 1) ^ (top ? 0x1021 : 0));
        }
      EXPECT_EQ(mdcudfsr_crc16(data.data() + from, len), c) << from << " " << len;
    }
  EXPECT_EQ(mdcudfsr_crc32("abc", 3), 0x352441C2u);
  EXPECT_EQ(mdcudfsr_crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(mdcudfsr_crc32("abc", 0), 0u);
  const uint8_t bytes[] = {0xFF, 0xFF, 0x01};
  EXPECT_EQ(mdcudfsr_byte_sum(bytes, 3), 0x1FFu);
  EXPECT_EQ(mdcudfsr_byte_sum(bytes, 0), 0u);
}

class Tags : public ::testing::Test {
 protected:
  void SetUp() override {
    env().reset(16);
    init_mount(&mnt, 16, 0xE1, 0);
    mnt.avdp.tag.serial_num = 0x1234;
  }
  // A 512-byte descriptor with a body pattern, tag set and sealed.
  std::vector<uint8_t> sealed(uint16_t id, uint32_t length = 512) {
    std::vector<uint8_t> d(2048, 0);
    for (size_t i = 16; i < length; ++i) d[i] = static_cast<uint8_t>(i * 3);
    desc_tag t;
    mdcudfsr_init_udf_tag(&mnt, &t, id, 77);
    std::memcpy(d.data(), &t, sizeof t);
    mdcudfsr_set_udf_tag_crc_and_checksum(d.data(), length);
    return d;
  }
  desc_tag tag_of(const std::vector<uint8_t>& d) {
    desc_tag t;
    std::memcpy(&t, d.data(), sizeof t);
    return t;
  }
  mdcudfsr_mount mnt;
};

TEST_F(Tags, NewTagFields) {
  desc_tag t;
  std::memset(&t, 0xAA, sizeof t);
  EXPECT_EQ(mdcudfsr_init_udf_tag(&mnt, &t, 6, 291), 0);
  EXPECT_EQ(t.id, 6);
  EXPECT_EQ(t.descriptor_ver, 3);
  EXPECT_EQ(t.cksum, 0);
  EXPECT_EQ(t.reserved, 0);
  EXPECT_EQ(t.serial_num, 0x1234);
  EXPECT_EQ(t.desc_crc, 0);
  EXPECT_EQ(t.desc_crc_len, 0);
  EXPECT_EQ(t.tag_loc, 291u);
}

TEST_F(Tags, SealSetsCrcOverTheBodyAndChecksumLast) {
  auto d = sealed(5);
  const desc_tag t = tag_of(d);
  EXPECT_EQ(t.desc_crc_len, 496);
  EXPECT_EQ(t.desc_crc, mdcudfsr_crc16(d.data() + 16, 496));
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  EXPECT_EQ(t.cksum, sum);
  EXPECT_EQ(mdcudfsr_udf_tag_checksum(d.data()), sum);
  EXPECT_EQ(mdcudfsr_check_udf_tag(d.data(), 5), 1);
  EXPECT_EQ(mdcudfsr_check_udf_tag_crc(d.data(), 512), 1);
}

TEST_F(Tags, SealWithLength16Or0LeavesNoCrc) {
  for (uint32_t len : {16u, 0u}) {
    auto d = sealed(8, 512);
    mdcudfsr_set_udf_tag_crc_and_checksum(d.data(), len);
    const desc_tag t = tag_of(d);
    EXPECT_EQ(t.desc_crc_len, 0);
    EXPECT_EQ(t.desc_crc, 0);
    EXPECT_EQ(mdcudfsr_check_udf_tag_checksum(d.data()), 1);
    EXPECT_EQ(mdcudfsr_check_udf_tag_crc(d.data(), 16), 1);
  }
}

TEST_F(Tags, ChecksumIsSkippedOnlyForFileStructureTags) {
  for (uint16_t id : {1, 2, 5, 6, 7, 8, 9, 256, 257, 258, 261, 264, 266}) {
    SCOPED_TRACE(id);
    auto d = sealed(id);
    d[4] ^= 0x5A;  // checksum broken, identifier right
    const bool skipped = id == 256 || id == 257 || id == 261 || id == 266;
    EXPECT_EQ(mdcudfsr_check_udf_tag(d.data(), id), skipped ? 1 : 0);
    EXPECT_EQ(mdcudfsr_check_udf_tag_checksum(d.data()), 0);
  }
}

TEST_F(Tags, WrongIdentifierReportsOnlyTheIdentifier) {
  auto d = sealed(4);
  d[4] ^= 1;
  env().logs.clear();
  EXPECT_EQ(mdcudfsr_check_udf_tag(d.data(), 5), 0);
  ASSERT_EQ(env().logs.size(), 1u);
  EXPECT_EQ(env().logs[0].text, "tag id is invallid. tag id=4. should be 5\n");
  EXPECT_EQ(env().logs[0].level, 3u);
}

TEST_F(Tags, CrcLengthBeyondTheAvailableBytesFailsWithoutReading) {
  auto d = sealed(1, 512);
  EXPECT_EQ(mdcudfsr_check_udf_tag_crc(d.data(), 512), 1);
  EXPECT_EQ(mdcudfsr_check_udf_tag_crc(d.data(), 511), 0);
  d[100] ^= 1;
  EXPECT_EQ(mdcudfsr_check_udf_tag_crc(d.data(), 512), 0);
}

TEST_F(Tags, FullCheckOrderAndResults) {
  struct Row {
    const char* name;
    uint16_t expected;
    int corrupt;  // 0 none, 1 body byte (CRC), 2 checksum byte
    int result;
    const char* warning;
  } rows[] = {
      {"valid", 266, 0, 0, nullptr},
      {"identifier", 261, 1, 9, "Tag id is invalid. tag id =266. shuld be 261.\n"},
      {"crc", 266, 1, 9, "EFE CRC is invalid.\n"},
      {"checksum", 266, 2, 9, "EFE checksum is invalid.\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto d = sealed(266, 256);
    if (r.corrupt == 1) d[40] ^= 1;
    if (r.corrupt == 2) d[4] ^= 1;
    env().logs.clear();
    EXPECT_EQ(mdcudfsr_check_udf_tag_and_checksum(&mnt, d.data(), r.expected, 2048), r.result);
    if (r.warning) {
      ASSERT_FALSE(env().logs.empty());
      EXPECT_EQ(env().logs.back().text, r.warning);
      EXPECT_EQ(env().logs.back().level, 4u);
    } else {
      EXPECT_TRUE(env().logs.empty());
    }
  }
}

TEST_F(Tags, SpaceEntryPrint) {
  env().logs.clear();
  MDCFS_SPACE_ENTRY e{3, -1, 42};
  mdcudfsr_MDCFS_SPACE_ENTRY_debug(&e);
  ASSERT_EQ(env().logs.size(), 1u);
  EXPECT_EQ(env().logs[0].text, "ZoneId=3 BlockOffset=-1 NumberOfBlocks=42\n");
  EXPECT_EQ(env().logs[0].level, 6u);
}

}  // namespace
