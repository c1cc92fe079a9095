// Entity identifiers.
#include "engine/udf/support_fakes.h"

#include "udf/udf_mount.h"
#include "udf/udf_regid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace udf_test;

std::vector<uint8_t> bytes(const regid& r) {
  const auto* p = reinterpret_cast<const uint8_t*>(&r);
  return std::vector<uint8_t>(p, p + sizeof r);
}

// The expected 32 bytes: flags 0, the identifier, the suffix.
std::vector<uint8_t> expect(const std::string& id, std::vector<uint8_t> suffix, bool mark = false) {
  std::vector<uint8_t> b(32, 0);
  std::memcpy(&b[1], id.data(), id.size());
  if (mark) b[20] = 1;
  std::memcpy(&b[24], suffix.data(), 8);
  return b;
}

TEST(ApplicationVersion, ParsesTheSystemVersion) {
  EXPECT_EQ(get_application_version(), 0x500Cu);
  EXPECT_EQ(reg_id::getApplicationVersion(), 0x500C);
  struct Row {
    const char* text;
    bool ok;
    uint16_t value;
  } rows[] = {
      {"5.00.0d028", true, 0x500C}, {"1.23.4d005", true, 0x1235}, {"5.00", false, 0},
      {"5.00.0x028", false, 0},     {"5.0.0.0.1", false, 0},      {"16.00.0d001", false, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    uint16_t v = 0;
    EXPECT_EQ(mdcudfsr_parse_application_version(r.text, &v), r.ok);
    if (r.ok) {
      EXPECT_EQ(v, r.value);
    }
  }
}

TEST(EngineIdentifiers, TableEntriesAsWritten) {
  env().reset(16);
  struct Row {
    int index;
    uint32_t rewritable;
    uint8_t format_level;
    std::vector<uint8_t> want;
  } rows[] = {
      {0, 1, 2, expect("*OSTA UDF Compliant", {0x50, 0x02, 0, 0, 0, 0, 0, 0})},
      {0, 0, 2, expect("*OSTA UDF Compliant", {0x60, 0x02, 0, 0, 0, 0, 0, 0})},
      {1, 0, 2, expect("*Tarn KELFS", {0, 0, 0, 0, 0, 0, 0, 0})},
      {2, 0, 2, expect("*Tarn KELFS", {0x04, 0x05, 0x0C, 0x02, 0x01, 0x10, 0x50, 0x0C})},
      {2, 1, 0x12, expect("*Tarn KELFS", {0x04, 0x05, 0x0C, 0x02, 0x01, 0x10, 0x50, 0x0C}, true)},
      {3, 0, 2, expect("*Tarn KELFS PrevLoc", {0x04, 0x05, 0, 0, 0, 0, 0, 0})},
      {4, 1, 2, expect("*UDF LV Info", {0x50, 0x02, 0x04, 0x05, 0, 0, 0, 0})},
      {5, 0, 2, expect("*UDF Metadata Partition", {0x60, 0x02, 0x04, 0x05, 0, 0, 0, 0})},
      {6, 0, 2, expect("*Tarn KELFS Hash", {0x04, 0x05, 0, 0, 0, 0, 0, 0})},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "index " << r.index << " rewritable " << r.rewritable);
    mdcudfsr_mount mnt;
    mnt.is_rewritable = r.rewritable;
    mnt.format_level = r.format_level;
    regid out;
    std::memset(&out, 0xEE, sizeof out);
    EXPECT_EQ(mdcudfsr_make_regid(&mnt, &out, r.index), 0);
    EXPECT_EQ(bytes(out), r.want);
  }
}

TEST(EngineIdentifiers, VolumeTypeMarkMakesTheFormsDiffer) {
  mdcudfsr_mount plain, extended;
  plain.format_level = 0x02;
  extended.format_level = 0x12;
  regid a, b;
  mdcudfsr_make_regid(&plain, &a, REGID_IMPLEMENTATION);
  mdcudfsr_make_regid(&extended, &b, REGID_IMPLEMENTATION);
  EXPECT_EQ(a.id[19], 0);
  EXPECT_EQ(b.id[19], 1);
  EXPECT_NE(std::memcmp(&a, &b, 24), 0);
}

TEST(InitialIdentifiers, KindsAndKeys) {
  const char wo[2] = {0, 1};
  const char re_ext[2] = {1, 0};
  struct Row {
    const char* ctx;
    int kind, key, result;
    std::vector<uint8_t> want;
  } rows[] = {
      {wo, 0, 256, 0, expect("*OSTA UDF Compliant", {0x60, 0x02, 0, 0, 0, 0, 0, 0})},
      {re_ext, 0, 6, 0, expect("*OSTA UDF Compliant", {0x50, 0x02, 0, 0, 0, 0, 0, 0})},
      {wo, 1, 4, 0, expect("*UDF LV Info", {0x60, 0x02, 0x04, 0x05, 0, 0, 0, 0})},
      {re_ext, 1, 6, 0, expect("*UDF Metadata Partition", {0x50, 0x02, 0x04, 0x05, 0, 0, 0, 0})},
      {wo, 2, 9, 0, expect("*Tarn KELFS", {0x04, 0x05, 0x0C, 0x02, 0x01, 0x10, 0x50, 0x0C})},
      {re_ext, 2, 266, 0, expect("*Tarn KELFS", {0x04, 0x05, 0x0C, 0x02, 0x01, 0x10, 0x50, 0x0C}, true)},
      {wo, 2, 257 + 65536, 0, expect("*Tarn KELFS", {0x04, 0x05, 0x0C, 0x02, 0x01, 0x10, 0x50, 0x0C})},
      {wo, 3, 1, 0, expect("*Tarn KELFS", {0, 0, 0, 0, 0, 0, 0, 0})},
      {wo, 3, 5, 0, expect("+NSR03", {0, 0, 0, 0, 0, 0, 0, 0})},
      {wo, 3, 6, 0, std::vector<uint8_t>(32, 0)},
      {wo, 1, 5, 0, expect("", {0x60, 0x02, 0x04, 0x05, 0, 0, 0, 0})},
      {wo, 4, 1, 22, std::vector<uint8_t>(32, 0)},
      {wo, -1, 1, 22, std::vector<uint8_t>(32, 0)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "kind " << r.kind << " key " << r.key);
    regid out;
    std::memset(&out, 0xEE, sizeof out);
    EXPECT_EQ(make_reg_id(r.ctx, &out, r.kind, r.key), r.result);
    EXPECT_EQ(bytes(out), r.want);
  }
}

TEST(InitialIdentifiers, MetadataPartitionFillsAllTwentyThreeBytes) {
  const char ctx[2] = {0, 1};
  regid out;
  make_reg_id(ctx, &out, REGKIND_UDF, 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.id), 23), "*UDF Metadata Partition");
  EXPECT_EQ(out.id_suffix[0], 0x60);
}

}  // namespace
