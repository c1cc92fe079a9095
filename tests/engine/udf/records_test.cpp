// Record layouts and byte-order conversions.
#include "engine/udf/support_fakes.h"

#include "udf/udf_byte_order.h"
#include "udf/udf_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <utility>
#include <vector>

namespace {

using namespace udf_test;

// An integer order that always reverses: shows on any host which bytes a
// conversion reaches, as a big-endian host would see it.
struct Reverse {
  static inline std::vector<uint32_t>* table_words = nullptr;
  static void s16(uint16_t& v) { v = __builtin_bswap16(v); }
  static void s32(uint32_t& v) { v = __builtin_bswap32(v); }
  static void s64(uint64_t& v) { v = __builtin_bswap64(v); }
  static void table_word(uint32_t w) {
    if (table_words) table_words->push_back(w);
  }
};

using Fields = std::vector<std::pair<size_t, size_t>>;  // offset, width

void add(Fields& f, std::initializer_list<std::pair<size_t, size_t>> l) { f.insert(f.end(), l); }
void tag_at(Fields& f, size_t b) { add(f, {{b, 2}, {b + 2, 2}, {b + 6, 2}, {b + 8, 2}, {b + 10, 2}, {b + 12, 4}}); }
void ext_at(Fields& f, size_t b) { add(f, {{b, 4}, {b + 4, 4}}); }
void ts_at(Fields& f, size_t b) { add(f, {{b, 2}, {b + 2, 2}}); }
void lad_at(Fields& f, size_t b) { add(f, {{b, 4}, {b + 4, 4}, {b + 8, 2}, {b + 10, 2}, {b + 12, 4}}); }
void icb_at(Fields& f, size_t b) { add(f, {{b, 4}, {b + 4, 2}, {b + 8, 2}, {b + 12, 4}, {b + 16, 2}, {b + 18, 2}}); }

struct Case {
  const char* name;
  size_t size;  // bytes of the fixed part
  std::function<void(uint8_t*)> reverse;  // the conversion under the reversing order
  std::function<void(uint8_t*)> host;     // the public conversion (host order)
  Fields fields;
};

template <class T>
std::function<void(uint8_t*)> rev(void (*fn)(T&)) {
  return [fn](uint8_t* p) { fn(*reinterpret_cast<T*>(p)); };
}
template <class T>
std::function<void(uint8_t*)> pub(void (*fn)(T*)) {
  return [fn](uint8_t* p) { fn(reinterpret_cast<T*>(p)); };
}

std::vector<Case> cases() {
  std::vector<Case> c;
  {
    Fields f;
    tag_at(f, 0);
    ext_at(f, 16);
    ext_at(f, 24);
    c.push_back({"anchor_vdp", 512, rev(udf_order::anchor<Reverse>), pub(mdcudfsr_swap_le2host_anchor_vdp), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 4}});
    ext_at(f, 20);
    c.push_back({"vol_desc_ptr", 512, rev(udf_order::vdp<Reverse>), pub(mdcudfsr_swap_host2le_vol_desc_ptr), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 4}, {20, 4}, {56, 2}, {58, 2}, {60, 2}, {62, 2}, {64, 4}, {68, 4}});
    ext_at(f, 328);
    ext_at(f, 336);
    ts_at(f, 376);
    add(f, {{484, 4}, {488, 2}});
    c.push_back({"pri_vol_desc", 512, rev(udf_order::pvd<Reverse>), pub(mdcudfsr_swap_le2host_pri_vol_desc), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 4}});
    c.push_back({"imp_use_vol_desc", 512, rev(udf_order::iuvd<Reverse>), pub(mdcudfsr_swap_le2host_imp_use_vol_desc), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 4}, {20, 2}, {22, 2}});
    for (size_t b = 56; b < 96; b += 8) ext_at(f, b);
    add(f, {{184, 4}, {188, 4}, {192, 4}});
    c.push_back({"part_desc", 512, rev(udf_order::pd<Reverse>), pub(mdcudfsr_swap_host2le_part_desc), f});
  }
  {
    Fields f;
    for (size_t b = 0; b < 40; b += 8) ext_at(f, b);
    c.push_back({"part_header_desc", 128, rev(udf_order::phd<Reverse>), pub(mdcudfsr_swap_le2host_part_header_desc), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 4}, {212, 4}});
    lad_at(f, 248);
    add(f, {{264, 4}, {268, 4}});
    ext_at(f, 432);
    c.push_back({"logvol_desc", 440, rev(udf_order::lvd<Reverse>), pub(mdcudfsr_swap_le2host_logvol_desc), f});
  }
  c.push_back({"part_map_type1", 6, rev(udf_order::pm1<Reverse>), pub(mdcudfsr_swap_le2host_part_map_type1),
               Fields{{2, 2}, {4, 2}}});
  c.push_back({"part_map_metadata", 64, rev(udf_order::pm2<Reverse>), pub(mdcudfsr_swap_host2le_part_map_metadata),
               Fields{{36, 2}, {38, 2}, {40, 4}, {44, 4}, {48, 4}, {52, 4}, {56, 2}}});
  {
    Fields f;
    tag_at(f, 0);
    icb_at(f, 16);
    add(f, {{36, 4}});
    c.push_back({"unalloc_space_entry", 40, rev(udf_order::use<Reverse>), pub(mdcudfsr_swap_le2host_unalloc_space_entry), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 4}, {20, 4}});
    c.push_back({"space_bitmap_desc", 24, rev(udf_order::sbd<Reverse>), pub(mdcudfsr_swap_le2host_space_bitmap_desc), f});
    c.push_back({"alloc_ext_desc", 24, rev(udf_order::aed<Reverse>), pub(mdcudfsr_swap_host2le_alloc_ext_desc), f});
  }
  c.push_back({"imp_use_logvol_integrity_desc", 46, rev(udf_order::lvid_iu<Reverse>),
               pub(mdcudfsr_swap_le2host_imp_use_logvol_integrity_desc),
               Fields{{32, 4}, {36, 4}, {40, 2}, {42, 2}, {44, 2}}});
  {
    Fields f;
    tag_at(f, 0);
    ts_at(f, 16);
    add(f, {{28, 2}, {30, 2}, {32, 4}, {36, 4}, {40, 4}, {44, 4}});
    lad_at(f, 400);
    lad_at(f, 448);
    lad_at(f, 464);
    c.push_back({"fileset_desc", 512, rev(udf_order::fsd<Reverse>), pub(mdcudfsr_swap_le2host_fileset_desc), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 2}});
    lad_at(f, 20);
    add(f, {{36, 2}});
    c.push_back({"fileid_desc", 38, rev(udf_order::fid<Reverse>), pub(mdcudfsr_swap_le2host_fileid_desc), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    icb_at(f, 16);
    add(f, {{36, 4}, {40, 4}, {44, 4}, {48, 2}, {52, 4}, {56, 8}, {64, 8}});
    ts_at(f, 72);
    ts_at(f, 84);
    ts_at(f, 96);
    add(f, {{108, 4}});
    lad_at(f, 112);
    add(f, {{160, 8}, {168, 4}, {172, 4}});
    c.push_back({"file_entry", 176, rev(udf_order::fe<Reverse>), pub(mdcudfsr_swap_le2host_file_entry), f});
  }
  {
    Fields f;
    tag_at(f, 0);
    icb_at(f, 16);
    add(f, {{36, 4}, {40, 4}, {44, 4}, {48, 2}, {52, 4}, {56, 8}, {64, 8}, {72, 8}});
    for (size_t b : {80, 92, 104, 116}) ts_at(f, b);
    add(f, {{128, 4}});
    lad_at(f, 136);
    lad_at(f, 152);
    add(f, {{200, 8}, {208, 4}, {212, 4}});
    c.push_back({"extended_file_entry", 216, rev(udf_order::efe<Reverse>),
                 pub(mdcudfsr_swap_host2le_extended_file_entry), f});
  }
  return c;
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 1);
  return b;
}

std::set<size_t> expected_bytes(const Fields& f) {
  std::set<size_t> s;
  for (auto [o, w] : f)
    for (size_t i = 0; i < w; ++i) s.insert(o + i);
  return s;
}

// The bytes that reversing each field changes (a field holding a value such
// as 2 in four bytes keeps its two middle zeros).
std::set<size_t> expected_changes(const std::vector<uint8_t>& before, const Fields& f) {
  std::set<size_t> s;
  for (auto [o, w] : f)
    for (size_t i = 0; i < w; ++i)
      if (before[o + i] != before[o + w - 1 - i]) s.insert(o + i);
  return s;
}

TEST(RecordSizes, MatchTheMediumLayout) {
  EXPECT_EQ(sizeof(desc_tag), 16u);
  EXPECT_EQ(sizeof(anchor_vdp), 512u);
  EXPECT_EQ(sizeof(pri_vol_desc), 512u);
  EXPECT_EQ(sizeof(part_desc), 512u);
  EXPECT_EQ(sizeof(logvol_desc), 440u);
  EXPECT_EQ(sizeof(part_map_metadata), 64u);
  EXPECT_EQ(sizeof(fileset_desc), 512u);
  EXPECT_EQ(sizeof(extended_file_entry), 216u);
  EXPECT_EQ(offsetof(logvol_desc, integrity_seq_id), 432u);
  EXPECT_EQ(offsetof(part_desc, phd), 56u);
  EXPECT_EQ(offsetof(pri_vol_desc, imp_id), 388u);
  EXPECT_EQ(offsetof(fileid_desc, l_iu), 36u);
  EXPECT_EQ(offsetof(part_map_metadata, flags), 58u);
  EXPECT_EQ(offsetof(logvol_integrity_desc, num_partitions), 72u);
}

TEST(ByteOrder, EachConversionReachesExactlyItsIntegerFields) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const size_t slack = 64;
    std::vector<uint8_t> before = pattern(c.size + slack);
    std::vector<uint8_t> b = before;
    c.reverse(b.data());
    const std::set<size_t> want = expected_bytes(c.fields);
    ASSERT_EQ(want, expected_changes(before, c.fields)) << "the pattern changes every field byte";
    std::set<size_t> got;
    for (size_t i = 0; i < b.size(); ++i)
      if (b[i] != before[i]) got.insert(i);
    EXPECT_EQ(got, want);
    c.reverse(b.data());
    EXPECT_EQ(b, before) << "a second conversion restores the record";
  }
}

TEST(ByteOrder, ConversionsChangeNothingOnTheLittleEndianHost) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> before = pattern(c.size + 64);
    std::vector<uint8_t> b = before;
    c.host(b.data());
    EXPECT_EQ(b, before);
  }
}

// An integrity descriptor block in host order with N partitions and an
// implementation use of L bytes.
std::vector<uint8_t> lvid_block(uint32_t n, uint32_t l) {
  std::vector<uint8_t> b = pattern(2048);
  auto* d = reinterpret_cast<logvol_integrity_desc*>(b.data());
  d->num_partitions = n;
  d->length_imp_use = l;
  return b;
}

TEST(ByteOrder, IntegrityDescriptorTablesAndImplementationUse) {
  struct Row {
    uint32_t n, l;
    bool imp_use_converted;
  } rows[] = {{2, 46, true}, {2, 45, false}, {0, 46, true}, {13, 46, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "N=" << r.n << " L=" << r.l);
    std::vector<uint8_t> before = lvid_block(r.n, r.l);
    std::vector<uint8_t> b = before;
    std::vector<uint32_t> words;
    Reverse::table_words = &words;
    udf_order::lvid_to_le<Reverse>(*reinterpret_cast<logvol_integrity_desc*>(b.data()));
    Reverse::table_words = nullptr;
    Fields f;
    tag_at(f, 0);
    ts_at(f, 16);
    add(f, {{28, 4}});
    ext_at(f, 32);
    add(f, {{40, 8}, {72, 4}, {76, 4}});
    for (uint32_t i = 0; i < 2 * r.n; ++i) add(f, {{80 + 4 * i, 4}});
    const size_t iu = 80 + 8 * r.n;
    if (r.imp_use_converted) add(f, {{iu + 32, 4}, {iu + 36, 4}, {iu + 40, 2}, {iu + 42, 2}, {iu + 44, 2}});
    std::set<size_t> got;
    for (size_t i = 0; i < b.size(); ++i)
      if (b[i] != before[i]) got.insert(i);
    EXPECT_EQ(got, expected_changes(before, f));
    ASSERT_EQ(words.size(), 2u * r.n) << "one table-word call per word, with host values";
    for (uint32_t i = 0; i < words.size(); ++i) {
      uint32_t v;
      std::memcpy(&v, before.data() + 80 + 4 * i, 4);
      EXPECT_EQ(words[i], v);
    }
    udf_order::lvid_to_host<Reverse>(*reinterpret_cast<logvol_integrity_desc*>(b.data()));
    EXPECT_EQ(b, before);
  }
}

TEST(ByteOrder, IntegrityDescriptorToLittleEndianLogsEachTableWord) {
  env().reset(16);
  std::vector<uint8_t> b(2048, 0);
  auto* d = reinterpret_cast<logvol_integrity_desc*>(b.data());
  d->num_partitions = 2;
  const uint32_t table[4] = {0xFFFFFFFFu, 7, 32, 3808};
  std::memcpy(b.data() + 80, table, sizeof table);
  mdcudfsr_swap_host2le_logvol_integrity_desc(d);
  std::vector<std::string> lines;
  for (const auto& l : env().logs)
    if (l.function == "mdcudfsr_swap_host2le_logvol_integrity_desc") lines.push_back(l.text);
  EXPECT_EQ(lines, (std::vector<std::string>{"*p=4294967295\n", "*p=7\n", "*p=32\n", "*p=3808\n"}));
  EXPECT_EQ(env().logs.back().level, 7u);
}

TEST(ByteOrder, UnallocatedSpaceDescriptorStaysInsideItsBlock) {
  struct Row {
    uint32_t n;
    uint32_t converted;
  } rows[] = {{0, 0}, {3, 3}, {253, 253}, {254, 253}, {0xFFFFFFFFu, 253}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.n);
    std::vector<uint8_t> before = pattern(2048 + 64);
    reinterpret_cast<unalloc_space_desc*>(before.data())->num_alloc_desc = r.n;
    std::vector<uint8_t> b = before;
    udf_order::usd_to_le<Reverse>(*reinterpret_cast<unalloc_space_desc*>(b.data()));
    Fields f;
    tag_at(f, 0);
    add(f, {{16, 4}, {20, 4}});
    for (uint32_t i = 0; i < r.converted; ++i) ext_at(f, 24 + 8 * i);
    std::set<size_t> got;
    for (size_t i = 0; i < b.size(); ++i)
      if (b[i] != before[i]) got.insert(i);
    EXPECT_EQ(got, expected_changes(before, f));
    EXPECT_LE(*got.rbegin(), 2047u);
    udf_order::usd_to_host<Reverse>(*reinterpret_cast<unalloc_space_desc*>(b.data()));
    EXPECT_EQ(b, before);
  }
}

TEST(ByteOrder, SingleIntegersOnTheHost) {
  EXPECT_EQ(mdcudfsr_le16_to_host(0x1234), 0x1234);
  EXPECT_EQ(mdcudfsr_le32_to_host(0x12345678u), 0x12345678u);
  EXPECT_EQ(mdcudfsr_le64_to_host(0x1122334455667788ull), 0x1122334455667788ull);
}

}  // namespace
