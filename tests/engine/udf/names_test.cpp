// Names in compressed Unicode, heap sort, hexadecimal times and the
// children-by-unique-id lists.
#include "engine/udf/support_fakes.h"

#include "udf/udf_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace udf_test;

std::vector<uint8_t> to_cs0(const std::string& s, uint32_t cap, int* err) {
  std::vector<uint8_t> out(cap + 8, 0xEE);
  uint32_t len = cap;
  *err = mdcudfsr_unicode_utf82udf(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()),
                                   out.data(), &len);
  if (*err) {
    EXPECT_EQ(len, cap);  // unchanged on failure
    return {};
  }
  out.resize(len);
  return out;
}

std::string to_utf8(const std::vector<uint8_t>& cs0, int* err) {
  std::vector<uint8_t> out(1024);
  uint64_t len = out.size();
  *err = mdcudfsr_unicode_udf2utf8(cs0.data(), static_cast<uint32_t>(cs0.size()), out.data(), &len);
  return std::string(reinterpret_cast<char*>(out.data()), *err ? 0 : len);
}

TEST(Cs0, EightAndSixteenBitNamesRoundTrip) {
  env().reset(1);
  int err = 0;
  EXPECT_EQ(to_cs0("abc", 64, &err), (std::vector<uint8_t>{8, 'a', 'b', 'c'}));
  const std::string wide = "a\xE2\x82\xAC";  // a, euro sign
  EXPECT_EQ(to_cs0(wide, 64, &err), (std::vector<uint8_t>{16, 0x00, 'a', 0x20, 0xAC}));
  for (const std::string& s : {std::string("abc"), wide, std::string("\xC3\xA9t\xC3\xA9"), std::string("")}) {
    auto c = to_cs0(s, 255, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(to_utf8(c, &err), s);
    EXPECT_EQ(err, 0);
  }
}

TEST(Cs0, CapacityRules) {
  env().reset(1);
  int err = 0;
  EXPECT_EQ(to_cs0("abcd", 5, &err).size(), 5u);  // U + 1 fits
  to_cs0("abcd", 4, &err);
  EXPECT_EQ(err, 36);
  EXPECT_EQ(to_cs0("\xE2\x82\xAC\xE2\x82\xAC", 5, &err).size(), 5u);  // 2U + 1
  to_cs0("\xE2\x82\xAC\xE2\x82\xAC", 4, &err);
  EXPECT_EQ(err, 36);
  uint16_t units[3] = {'x', 'y', 0x100};
  uint8_t out[16];
  uint32_t len = 7;
  EXPECT_EQ(mdcudfsr_unicode_utf162udf(units, 3, out, &len), 0);
  EXPECT_EQ(len, 7u);
  len = 2;
  EXPECT_EQ(mdcudfsr_unicode_utf162udf(units, 0, out, &len), 0);
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(out[0], 8);
}

TEST(Cs0, DecoderEdgeCases) {
  uint16_t u[8];
  const uint8_t odd[] = {16, 0x00, 0x41, 0x30};
  EXPECT_EQ(mdcudfsr_cs0_to_unicode(4, odd, u), 2u);
  EXPECT_EQ(u[1], 0x3000);
  const uint8_t bad[] = {9, 'a'};
  EXPECT_EQ(mdcudfsr_cs0_to_unicode(2, bad, u), 0xFFFFFFFFu);
  EXPECT_EQ(mdcudfsr_unicode_to_cs0(1, 9, u, reinterpret_cast<uint8_t*>(u)), -1);
  int err = 0;
  to_utf8({9, 'a'}, &err);
  EXPECT_EQ(err, 22);
}

int cmp_int(const void* a, const void* b) {
  const int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

TEST(HeapSort, SortsAscendingForManySizes) {
  std::mt19937 rng(7);
  for (uint32_t n : {0u, 1u, 2u, 3u, 10u, 97u, 1000u}) {
    std::vector<int> v(n);
    for (auto& x : v) x = static_cast<int>(rng() % 50);
    auto expect = v;
    std::sort(expect.begin(), expect.end());
    mdcudfsr_heap_sort(v.data(), n, sizeof(int), cmp_int);
    EXPECT_EQ(v, expect) << n;
  }
}

TEST(TimeValue, HexDigitsOnly) {
  EXPECT_EQ(mdcudfsr_timevalue_ascii2int("1A2b", 4), 0x1A2Bu);
  EXPECT_EQ(mdcudfsr_timevalue_ascii2int("123456789", 9), 0u);
  EXPECT_EQ(mdcudfsr_timevalue_ascii2int("12G4", 4), 0u);
  EXPECT_EQ(mdcudfsr_timevalue_ascii2int("FFFFFFFF", 8), 0xFFFFFFFFu);
}

struct Node {
  mdcudfsr_udf_node_fields n;
  mdcudfsr_udf_data d;
  explicit Node(uint64_t id) {
    d.efe.unique_id = id;
    n.udf_data = &d;
  }
};

std::vector<mdcudfsr_udf_node_fields*> order(const mdcudfsr_udf_node_fields& p) {
  std::vector<mdcudfsr_udf_node_fields*> out;
  const mdcudfsr_udf_node_fields* prev = nullptr;
  for (auto* c = p.uid_first; c; c = c->uid_next) {
    EXPECT_EQ(c->uid_prev, prev);
    prev = c;
    out.push_back(c);
  }
  EXPECT_EQ(p.uid_last, prev);
  return out;
}

TEST(ChildrenByUniqueId, EqualIdsGoBeforeExistingOnes) {
  env().reset(1);
  Node parent(1), other(2), a(5), b(3), c(5), d(9);
  for (Node* x : {&a, &b, &c, &d}) ASSERT_EQ(mdcudfsr_insert_list_by_unique_id(&parent.n, &x->n), 0);
  EXPECT_EQ(order(parent.n), (std::vector<mdcudfsr_udf_node_fields*>{&b.n, &c.n, &a.n, &d.n}));
  ASSERT_EQ(mdcudfsr_remove_list_by_unique_id(&parent.n, &d.n), 0);
  ASSERT_EQ(mdcudfsr_remove_list_by_unique_id(&parent.n, &b.n), 0);
  EXPECT_EQ(order(parent.n), (std::vector<mdcudfsr_udf_node_fields*>{&c.n, &a.n}));
  ASSERT_EQ(mdcudfsr_reinsert_list_by_unique_id(&other.n, &a.n), 0);
  EXPECT_EQ(order(parent.n), (std::vector<mdcudfsr_udf_node_fields*>{&c.n}));
  EXPECT_EQ(order(other.n), (std::vector<mdcudfsr_udf_node_fields*>{&a.n}));
  EXPECT_EQ(a.n.parent, &other.n);
  EXPECT_EQ(mdcudfsr_insert_list_by_unique_id(nullptr, &a.n), 22);
  EXPECT_EQ(mdcudfsr_insert_list_by_unique_id(&parent.n, nullptr), 22);
  EXPECT_TRUE(env().logged("parent\n"));
  EXPECT_TRUE(env().logged("mdcudfsrcnp\n"));
}

}  // namespace
