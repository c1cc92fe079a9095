// Descriptor dumps: bars, headers and field lines at the debug level.
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"

#include "udf/udf_dump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace udf_test;

std::vector<std::string> texts() {
  std::vector<std::string> out;
  for (const auto& l : env().logs) {
    EXPECT_EQ(l.level, 7u);
    out.push_back(l.text);
  }
  return out;
}

TEST(Dump, LongAdAtDepthZero) {
  env().reset(1);
  long_ad l{2048, lb_addr{17, 2}, 5, 9};
  __mdcudfsr_dump_long_ad(0, &l, "l_ad", 0);
  const std::vector<std::string> expect = {
      "+-------[l_ad:long_ad]-------\n", "|", "p->len=2048\n", "|", "+-------[&( p->loc ):lb_addr]-------\n", "|",
      "|", "p->lb_num=17\n", "|", "|", "p->part_num=2\n", "|", "p->ad_flags=5\n", "|", "p->ad_id=9\n"};
  EXPECT_EQ(texts(), expect);
  EXPECT_EQ(env().logs[0].function, "__mdcudfsr_dump_long_ad");
  EXPECT_EQ(env().logs[4].function, "__mdcudfsr_dump_lb_addr");
}

TEST(Dump, WithDebugTracingOffADumpOnlyAsksTheLevelOnce) {
  env().reset(1);
  env().debug_tracing = false;
  pri_vol_desc pvd{};
  logvol_integrity_desc lvid{};
  long_ad l{2048, lb_addr{17, 2}, 5, 9};
  for (int convert : {0, 1}) {
    env().level_checks = 0;
    __mdcudfsr_dump_pri_vol_desc(0, &pvd, "&mdcudfsrmp->vds.pvd", convert);
    EXPECT_EQ(env().level_checks, 1);
    env().level_checks = 0;
    __mdcudfsr_dump_logvol_integrity_desc(0, &lvid, "&mdcudfsrmp->lvid", convert);
    EXPECT_EQ(env().level_checks, 1);
    env().level_checks = 0;
    __mdcudfsr_dump_long_ad(0, &l, "l_ad", convert);
    EXPECT_EQ(env().level_checks, 1);
  }
  EXPECT_TRUE(env().logs.empty());
  // Switched on again, the same dump writes its lines.
  env().debug_tracing = true;
  __mdcudfsr_dump_long_ad(0, &l, "l_ad", 0);
  EXPECT_EQ(env().logs.size(), 15u);
}

TEST(Dump, DepthMinusOneHasNoOwnBars) {
  env().reset(1);
  extent_ad e{10, 20};
  anchor_vdp a{};
  a.main_vds_ex = e;
  __mdcudfsr_dump_anchor_vdp(-1, &a, "&mdcudfsrmp->avdp", 0);
  const auto t = texts();
  EXPECT_EQ(t[0], "+-------[&mdcudfsrmp->avdp:anchor_vdp]-------\n");
  // The nested tag comes at depth 0: header without bar, fields with one.
  EXPECT_EQ(t[1], "+-------[&( p->tag ):desc_tag]-------\n");
  EXPECT_EQ(t[2], "|");
  EXPECT_EQ(t[3], "p->id=0\n");
}

TEST(Dump, ConvertPrintsHostValuesAndLeavesTheRecord) {
  env().reset(1);
  long_ad l{0x01020304, lb_addr{7, 1}, 0, 0};
  // On-disc order equals host order on this host; the record must stay as it was.
  const long_ad before = l;
  __mdcudfsr_dump_long_ad(0, &l, "l_ad", 1);
  EXPECT_EQ(std::memcmp(&before, &l, sizeof l), 0);
  EXPECT_EQ(texts()[2], "p->len=16909060\n");
}

TEST(Dump, IntegrityDescriptorTables) {
  for (uint32_t n : {0u, 3u}) {
    env().reset(1);
    alignas(8) uint8_t block[2048] = {};
    auto* d = reinterpret_cast<logvol_integrity_desc*>(block);
    d->num_partitions = n;
    d->unique_id = 0x100000010ull;
    auto* w = reinterpret_cast<uint32_t*>(block + 80);
    for (uint32_t i = 0; i < 2 * n; ++i) w[i] = 100 + i;
    auto* iu = reinterpret_cast<imp_use_logvol_integrity_desc*>(block + 80 + 8 * n);
    iu->num_dirs = 42;
    __mdcudfsr_dump_logvol_integrity_desc(0, d, "&mdcudfsrmp->lvid", 0);
    const auto t = texts();
    std::vector<std::string> words;
    for (const auto& s : t)
      if (s.rfind("*p2=", 0) == 0) words.push_back(s);
    ASSERT_EQ(words.size(), 2 * n);
    for (uint32_t i = 0; i < 2 * n; ++i) EXPECT_EQ(words[i], "*p2=" + std::to_string(100 + i) + "\n");
    bool dirs = false, uid = false;
    for (const auto& s : t) {
      dirs |= s == "p->num_dirs=42\n";
      uid |= s == "p->_lvid_use.unique_id=4294967312\n";
    }
    EXPECT_TRUE(dirs);
    EXPECT_TRUE(uid);
  }
}

TEST(Dump, TextFieldsStopAtTheirWidthOrANul) {
  env().reset(1);
  charspec c{};
  std::memcpy(c.inf, "OSTA Compressed Unicode", 23);
  __mdcudfsr_dump_charspec(0, &c, "cs", 0);
  EXPECT_EQ(texts()[4], "p->inf=OSTA Compressed Unicode\n");
  env().reset(1);
  regid r;
  std::memset(&r, 'A', sizeof r);
  __mdcudfsr_dump_regid(0, &r, "r", 0);
  EXPECT_EQ(texts()[4], "p->id=" + std::string(23, 'A') + "\n");
  EXPECT_EQ(texts()[6], "p->id_suffix=" + std::string(8, 'A') + "\n");
}

TEST(Dump, EveryRecordDumpsAtTheDebugLevelOnly) {
  env().reset(1);
  alignas(8) uint8_t zero[2048] = {};
  __mdcudfsr_dump_pri_vol_desc(0, reinterpret_cast<pri_vol_desc*>(zero), "pvd", 1);
  __mdcudfsr_dump_logvol_desc(0, reinterpret_cast<logvol_desc*>(zero), "lvd", 1);
  __mdcudfsr_dump_part_desc(0, reinterpret_cast<part_desc*>(zero), "pd", 1);
  __mdcudfsr_dump_part_map_metadata(0, reinterpret_cast<part_map_metadata*>(zero), "pm", 1);
  __mdcudfsr_dump_fileset_desc(0, reinterpret_cast<fileset_desc*>(zero), "fsd", 1);
  __mdcudfsr_dump_fileid_desc(0, reinterpret_cast<fileid_desc*>(zero), "fidp", 1);
  __mdcudfsr_dump_file_entry(0, reinterpret_cast<file_entry*>(zero), "fe", 1);
  __mdcudfsr_dump_extended_file_entry(0, reinterpret_cast<extended_file_entry*>(zero), "efep", 1);
  __mdcudfsr_dump_space_bitmap_desc(0, reinterpret_cast<space_bitmap_desc*>(zero), "&sbd", 1);
  __mdcudfsr_dump_vol_desc_ptr(0, reinterpret_cast<vol_desc_ptr*>(zero), "vdp", 1);
  __mdcudfsr_dump_icb_tag(0, reinterpret_cast<icb_tag*>(zero), "icb", 1);
  __mdcudfsr_dump_short_ad(0, reinterpret_cast<short_ad*>(zero), "sad", 1);
  __mdcudfsr_dump_timestamp(0, reinterpret_cast<timestamp*>(zero), "ts", 1);
  EXPECT_GT(env().logs.size(), 300u);
  size_t headers = 0;
  for (const auto& l : env().logs) {
    EXPECT_EQ(l.level, 7u);
    if (l.text.rfind("+-------[", 0) == 0) ++headers;
  }
  EXPECT_EQ(env().count_logged("+-------[efep:extended_file_entry]-------\n"), 1u);
  EXPECT_EQ(env().count_logged("+-------[&( p->contents_use.phd ):part_header_desc]-------\n"), 1u);
  EXPECT_EQ(env().count_logged("+-------[&( p->_lvd_use.fsd_loc ):long_ad]-------\n"), 1u);
  EXPECT_GT(headers, 40u);
}

TEST(Dump, ReadingTheSequenceDumpsItsCopiesInTheMountRecord) {
  MountedImage img;
  img.load(MediumClass::WriteOnce);
  ASSERT_EQ(mdcudfsr_read_vds(img.mnt.get(), nullptr, 0, 1, 0, nullptr), 0);
  for (const char* h : {"+-------[&mdcudfsrmp->vds.pvd:pri_vol_desc]-------\n",
                        "+-------[&mdcudfsrmp->vds.pd:part_desc]-------\n",
                        "+-------[&mdcudfsrmp->vds.lvd:logvol_desc]-------\n",
                        "+-------[&mdcudfsrmp->vds.pmap.type2_metadata:part_map_metadata]-------\n"})
    EXPECT_GE(env().count_logged(h), 1u) << h;
  EXPECT_TRUE(env().logged("p->vol_id=\bKELFS VOL01\n"));
}

}  // namespace
