// The cache agent's requests that reach the volume and UDF routines, on the
// real routines over the simulated drive (they run in engine_udf_real_tests,
// which links the whole engine): the coherency counter kept in the cartridge
// memory, and the read-cache bitmap marked for reads of the local cache.
#include "engine/udf/real_support.h"

#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "sim/harness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

// The coherency counter: bytes 361-363 of the record (host order), low byte first.
uint32_t counter(const std::vector<uint8_t>& record) {
  return uint32_t{record[363]} << 16 | uint32_t{record[362]} << 8 | record[361];
}

TEST(RealAgentRequests, CoherencyUpdateBumpsTheCounterInTheCartridgeMemory) {
  RealVolume v(MediumClass::WriteOnce);
  v.mount();
  mdcudfsr_mount* m = v.m();
  const uint32_t before = counter(v.attribute_record());
  v.clear();
  ASSERT_EQ(mdcudfsr_metacache_update_coherent(m, nullptr), 0);
  EXPECT_EQ(v.count(kWriteAttribute), 1u);
  const std::vector<uint8_t> after = v.attribute_record();
  EXPECT_EQ(counter(after), before + 1);
  EXPECT_EQ(m->attr_update_mask & 0x80, 0u) << "the 1500h attribute went to the cartridge";
  // The mount's copy follows the write: the next update counts on from it.
  ASSERT_EQ(mdcudfsr_metacache_update_coherent(m, nullptr), 0);
  EXPECT_EQ(counter(v.attribute_record()), before + 2);
}

TEST(RealAgentRequests, FailedCoherencyWriteIsReturned) {
  RealVolume v(MediumClass::WriteOnce);
  v.mount();
  const uint32_t before = counter(v.attribute_record());
  v.sim().drive().add_fault(kelsim::command_fails(kWriteAttribute, kelsim::Sense{0x03, 0x0C, 0x00}));
  const int err = mdcudfsr_metacache_update_coherent(v.m(), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_EQ(v.m()->attr_update_mask & 0x80, 0x80u) << "still to be written";
  v.sim().drive().clear_faults();
  EXPECT_EQ(counter(v.attribute_record()), before);
}

TEST(RealAgentRequests, ReadCacheBitmapIsMarkedForReadsWithinIt) {
  RealVolume v(MediumClass::WriteOnce);
  v.mount();
  v.start_agent();
  mdcudfsr_mount* m = v.m();
  const int32_t h = v.open_cache_file("rc");
  std::vector<uint8_t> data(2048 * 104, 0x5A);
  uint32_t n = 0, cache_err = 0;
  ASSERT_EQ(mdcudfsr_metacache_file_write(m, h, 0, static_cast<uint32_t>(data.size()), data.data(), &n, &cache_err),
            0);
  uint8_t bitmap[16];
  std::memset(bitmap, 0xFF, sizeof bitmap);
  m->read_cache = 1;
  m->read_cache_bitmap = bitmap;
  m->read_cache_bitmap_blocks = 100;
  std::vector<uint8_t> buf(2048);
  ASSERT_EQ(mdcudfsr_metacache_file_read(m, h, 2048 * 3, 2048, buf.data(), &n, &cache_err), 0);
  EXPECT_EQ(n, 2048u);
  EXPECT_EQ(bitmap[0], 0xF7) << "block 3 is read";
  ASSERT_EQ(mdcudfsr_metacache_file_read(m, h, 2048 * 101, 2048, buf.data(), &n, &cache_err), 0);  // beyond
  EXPECT_EQ(bitmap[12], 0xFF);
  for (int i = 1; i < 16; ++i) EXPECT_EQ(bitmap[i], 0xFF) << i;
  m->read_cache_bitmap = nullptr;
  EXPECT_EQ(mdcudfsr_metacache_file_close(m, h), 0);
}

}  // namespace
