// Names: file identifiers to node names, validity of names to be created,
// temporary names of the shadow directory.
#include "support.h"

#include "udf/udf_names.h"

#include <cstring>

using namespace cache_test;

namespace {

std::string repeat(const std::string& unit, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += unit;
  return s;
}

// A file identifier descriptor (host order) with its identifier in CS0.
struct Fid {
  std::vector<uint8_t> bytes;
  const fileid_desc* get() const { return reinterpret_cast<const fileid_desc*>(bytes.data()); }
};
Fid fid_of(const std::vector<uint16_t>& units, uint8_t comp_id, uint16_t l_iu = 0) {
  Fid f;
  f.bytes.assign(sizeof(fileid_desc) + l_iu, 0);
  f.bytes.push_back(comp_id);
  for (uint16_t u : units) {
    if (comp_id == 16) f.bytes.push_back(static_cast<uint8_t>(u >> 8));
    f.bytes.push_back(static_cast<uint8_t>(u));
  }
  auto* d = reinterpret_cast<fileid_desc*>(f.bytes.data());
  d->l_iu = l_iu;
  d->l_fi = static_cast<uint8_t>(f.bytes.size() - sizeof(fileid_desc) - l_iu);
  return f;
}
std::vector<uint16_t> ascii(const std::string& s) { return std::vector<uint16_t>(s.begin(), s.end()); }

}  // namespace

TEST(ValidName, Table) {
  const std::string u127 = repeat("a", 127), e_acute = "\xC3\xA9", kSun = "\xE6\x97\xA5";  // U+65E5
  const struct {
    const char* what;
    std::string name;
    int64_t len;
    int parity;
    int want;
  } cases[] = {
      {"127 units", u127, -1, 0, 0},
      {"128 units", u127 + "a", -1, 0, 36},
      {"127 two-byte characters", repeat(e_acute, 127), -1, 0, 0},
      {"128 two-byte characters", repeat(e_acute, 128), -1, 0, 36},
      {"._ and 127 more", "._" + repeat("b", 127), -1, 0, 0},
      {"._ and 128 more", "._" + repeat("b", 128), -1, 0, 36},
      // The identifier is one byte long: the bytes after compression count.
      {"._ and 127 Latin-1 characters (130 bytes)", "._" + repeat(e_acute, 127), -1, 0, 0},
      {"._ and 125 16-bit characters (255 bytes)", "._" + repeat(kSun, 125), -1, 0, 0},
      {"._ and 126 16-bit characters (257 bytes)", "._" + repeat(kSun, 126), -1, 0, 36},
      {"._ and 127 16-bit characters (259 bytes)", "._" + repeat(kSun, 127), -1, 0, 36},
      {"._, 126 letters and one 16-bit character", "._" + repeat("b", 126) + kSun, -1, 0, 36},
      {"127 16-bit characters (255 bytes)", repeat(kSun, 127), -1, 0, 0},
      {"a supplementary character among 125 letters", repeat("a", 125) + "\xF0\x9F\x98\x80", -1, 0, 0},
      {"parity name of 158 16-bit characters", repeat(kSun, 158), -1, 1, 0},
      {"parity name of 158 units", repeat("p", 158), -1, 1, 0},
      {"parity name of 159 units", repeat("p", 159), -1, 1, 36},
      {"backslash, colon, control character", "a\\b:c\x01", -1, 0, 0},
      {"slash", "a/b", -1, 0, 22},
      {"slash in a parity name", "a/b", -1, 1, 22},
      {"slash after the given length", "abc/def", 3, 0, 0},
      {"empty", "", -1, 0, 22},
      {"dot", ".", -1, 0, 22},
      {"dot dot", "..", -1, 0, 22},
      {"dot dot within a longer buffer", "..x", 2, 0, 22},
      {"three dots", "...", -1, 0, 0},
      {"illegal UTF-8", "a\xFF", -1, 0, 84},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (int normalize = 0; normalize < 2; ++normalize)
      EXPECT_EQ(c.want, mdcudfsr_cache_is_valid_filename(c.name.c_str(), c.len, nullptr, normalize, c.parity));
  }
  EXPECT_TRUE(rec().logged("file name 'a/b' contains '/'(2f)"));
  EXPECT_TRUE(rec().logged("parity file name 'a/b' contains '/'(2f)"));
  EXPECT_TRUE(rec().logged("too long file/dir name "));
}

TEST(ValidName, SurrogatesMustPair) {
  // Surrogates written as three-byte sequences of their own (as a UTF-16
  // name converted unit by unit gives them).
  const std::string high = "\xED\xA0\x80", low = "\xED\xB0\x80";
  const struct {
    const char* what;
    std::string name;
    int want;
    const char* message;
  } cases[] = {
      {"lone low surrogate first", low + "a", 22, "Under Surrogate Pair only, EINVAL"},
      {"high surrogate last", "a" + high, 22, "Upper Surrogate Pair only, EINVAL"},
      {"high surrogate before a letter", high + "a", 22, "Upper Surrogate Pair only, EINVAL"},
      {"a pair written apart is still no UTF-8", high + low, 84, "utf8_decodestr err = 84"},
      {"a real supplementary character", "\xF0\x9F\x98\x80", 0, "name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    EXPECT_EQ(c.want, mdcudfsr_cache_is_valid_filename(c.name.c_str(), -1, nullptr, 0, 0));
    if (c.want) {
      EXPECT_TRUE(rec().logged(c.message));
    }
  }
}

TEST(UdfFilename, ConvertsAndKeepsTheRawIdentifierWhenNeeded) {
  const struct {
    const char* what;
    std::vector<uint16_t> units;
    uint8_t comp_id;
    const char* want;
    bool raw_kept;
  } cases[] = {
      {"8-bit ASCII", ascii("Report.txt"), 8, "Report.txt", false},
      {"16-bit", {0x65E5, 0x672C}, 16, "\xE6\x97\xA5\xE6\x9C\xAC", false},
      {"8-bit Latin-1", {0xE9}, 8, "\xC3\xA9", false},
      {"127 units", std::vector<uint16_t>(127, 'x'), 16, nullptr, false},
      {"unpaired surrogate: refused, volume read-only", {0xD800, 'a'}, 16, nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    Fid f = fid_of(c.units, c.comp_id, 4);
    char* name = nullptr;
    uint8_t* raw = nullptr;
    uint64_t raw_len = 9;
    const int err = mdcudfsr_cache_get_udf_filename(f.get(), &v.root->name_root, &name, &raw, &raw_len);
    if (c.units[0] == 0xD800) {
      EXPECT_EQ(30, err);
      EXPECT_EQ(nullptr, name);
      continue;
    }
    ASSERT_EQ(0, err);
    ASSERT_NE(nullptr, name);
    if (c.want) {
      EXPECT_STREQ(c.want, name);
    }
    EXPECT_EQ(c.raw_kept, raw != nullptr);
    EXPECT_EQ(c.raw_kept ? f.get()->l_fi : 0u, raw_len);
    OSFree(name, MDCUDFSR_VFS_NAME_SIZE, nullptr);
  }
}

TEST(UdfFilename, LongNamesKeepTheirRawIdentifier) {
  // 8-bit identifiers hold at most 254 units; 128 of them make a 256-byte
  // UTF-16 form, which is always kept raw.
  Volume v;
  Fid f = fid_of(std::vector<uint16_t>(128, 'z'), 8);
  char* name = nullptr;
  uint8_t* raw = nullptr;
  uint64_t raw_len = 0;
  ASSERT_EQ(0, mdcudfsr_cache_get_udf_filename_ex(f.get(), &name, &raw, &raw_len));
  EXPECT_EQ(128u, std::strlen(name));
  ASSERT_NE(nullptr, raw);
  EXPECT_EQ(129u, raw_len);
  EXPECT_EQ(0, std::memcmp(raw, f.bytes.data() + sizeof(fileid_desc), 129));
  OSFree(name, MDCUDFSR_VFS_NAME_SIZE, nullptr);
  OSFree(raw, 129, nullptr);
}

TEST(UdfFilename, TakenNameAndFailuresLeaveNoOutputs) {
  Volume v;
  v.make(v.root, "Taken");
  const struct {
    const char* what;
    Fid fid;
    int fail_nth;
    int want;
  } cases[] = {
      {"name taken in another case", fid_of(ascii("TAKEN"), 8), 0, 30},
      {"bad compression id", fid_of(ascii("x"), 9), 0, 22},
      {"no memory for the first buffer", fid_of(ascii("free"), 8), 1, 12},
      {"no memory for the name", fid_of(ascii("free"), 8), 3, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    char* name = reinterpret_cast<char*>(1);
    uint8_t* raw = reinterpret_cast<uint8_t*>(1);
    uint64_t raw_len = 5;
    if (c.fail_nth) fail_allocation(c.fail_nth);
    EXPECT_EQ(c.want, mdcudfsr_cache_get_udf_filename(c.fid.get(), &v.root->name_root, &name, &raw, &raw_len));
    clear_allocation_failure();
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(0u, raw_len);
  }
  EXPECT_TRUE(rec().logged("Non-unique filename(TAKEN) for new node, mounting read only"));
  // An inactive node of the name does not make it taken.
  mdcudfsr_name_avl_search(v.root->name_root, "taken", nullptr)->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(1, mdcudfsr_cache_unique_filename(&v.root->name_root, "TAKEN"));
}

TEST(TempNames, OnlyUnderTheShadowDirectoryNamedDollar) {
  Volume v;
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  mdcudfsr_cache_node* plain = v.make(v.root, "dir", true);
  const struct {
    const char* name;
    mdcudfsr_cache_node* parent;
    int want;
  } cases[] = {
      {".fuse_hidden0001", v.m.shadow_node, 1}, {"@@x", v.m.shadow_node, 1}, {"@x", v.m.shadow_node, 0},
      {".fuse_hidden0001", plain, 0},           {"@@x", v.root, 0},          {".fuse", v.m.shadow_node, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, mdcudfsr_cache_is_hidden_temp_name(c.name, c.parent)) << c.name;
  // A shadow node by kind with another name does not count.
  plain->kind = MDCUDFSR_NODE_SHADOW;
  EXPECT_EQ(0, mdcudfsr_cache_is_hidden_temp_name("@@x", plain));
  plain->kind = MDCUDFSR_NODE_UDF;

  std::string tmp = "@@tmp";
  mdcudfsr_cache_node* n = nullptr;
  ASSERT_EQ(0, mdcudfsr_cache_create_dollar_proxy_node(v.m.shadow_node, tmp.data(), -1, 0, 0, 0644, &n, nullptr));
  mdcudfsr_cache_unlock_node(n);
  EXPECT_EQ(1, mdcudfsr_cache_is_dollar_proxyfile(n));
  EXPECT_EQ(0, mdcudfsr_cache_is_dollar_proxyfile(nullptr));
  EXPECT_EQ(0, mdcudfsr_cache_is_dollar_proxyfile(v.root));
  EXPECT_TRUE(rec().logged("mdcudfsrcnp->parent"));
}
