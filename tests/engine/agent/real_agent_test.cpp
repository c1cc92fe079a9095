// The cache agent's requests that reach the volume and UDF routines, on the
// real routines over the simulated drive (they run in engine_udf_real_tests,
// which links the whole engine): the coherency counter kept in the cartridge
// memory, and the read-cache bitmap marked for reads of the local cache.
#include "engine/udf/real_support.h"

#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kelagent/metacache.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "sim/harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

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

TEST(RealAgentRequests, NewMediumIsCreatedThenCoherentAfterTheMountAdjustment) {
  RealVolume v(MediumClass::WriteOnce);
  v.mount();
  v.start_agent();
  mdcudfsr_mount* m = v.m();
  uint32_t coherent = 9, created = 9;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created), 0);
  EXPECT_EQ(coherent, 0u);
  EXPECT_EQ(created, 1u);
  EXPECT_GE(m->fsmanage_handle, 1);
  // Named after the medium serial the drive reports, trimmed.
  const std::string serial(m->medium_serial, strnlen(m->medium_serial, sizeof m->medium_serial));
  ASSERT_FALSE(serial.empty());
  EXPECT_EQ(serial.find(' '), std::string::npos);
  const std::filesystem::path file = std::filesystem::path(v.cache_root()) / "Caches" / "FsCache" / serial;
  EXPECT_TRUE(std::filesystem::exists(file));

  ASSERT_EQ(mdcudfsr_metacache_ajust_for_mount(m, nullptr, false, true), 0);
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> img((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(img.size(), 0x10000u);
  // The cartridge's 1500h value (bytes 9-136 of the attribute as the drive gives it).
  std::vector<uint8_t> attr(140);
  pxo_attribute_request_t rq{0x1500, 140, 0, attr.data()};
  ASSERT_EQ(VNOP_IOCTL(m->devvp, PXOIOREADATTRIBUTE, reinterpret_cast<char*>(&rq), 0, nullptr), 0);
  EXPECT_EQ(std::memcmp(img.data(), attr.data() + 9, 128), 0);
  EXPECT_EQ(img[0x8000], 2);
  ASSERT_EQ(mdcudfsr_metacache_file_close(m, m->fsmanage_handle), 0);

  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created), 0);
  EXPECT_EQ(coherent, 1u);
  EXPECT_EQ(created, 0u);
}

}  // namespace
