// File hash values, identities and node lists on a volume read from the
// simulated cartridge.
#include "fsctl_support.h"

#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_fsctl_lists.h"

#include <cstring>
#include <thread>

namespace {

using namespace fsctl_test;
using vfs_test::logged;

class Lists : public FsctlVolume {
 protected:
  void SetUp() override {
    FsctlVolume::SetUp();
    start_tree();
  }
  int add_hash(mdcudfsr_cache_node* n, std::uint16_t type, std::vector<std::uint8_t> hash) {
    MDCFS_ADD_FILE_HASH_INFO r{type, static_cast<std::uint16_t>(hash.size()), 0,
                               reinterpret_cast<std::uintptr_t>(hash.data())};
    return mdcudfsr_mdcfsctrl_add_file_hash_info(mnt_.get(), n, &r, &ctx_);
  }
  int hash_list(const std::string& path, std::uint8_t scope, std::vector<std::uint8_t>* buf, MDCFS_HASH_LIST* r) {
    *r = MDCFS_HASH_LIST{};
    r->SearchScope = scope;
    r->PathLength = static_cast<std::uint32_t>(path.size() + 1);
    r->Path = reinterpret_cast<std::uintptr_t>(path.c_str());
    r->BufferSize = static_cast<std::uint32_t>(buf->size());
    r->Buffer = reinterpret_cast<std::uintptr_t>(buf->data());
    return mdcudfsr_mdcfsctrl_get_hash_list(mnt_.get(), r, &ctx_);
  }
  // The path must outlive the record (a literal).
  MDCFS_NODE_LIST node_list(const char* path, std::vector<std::uint8_t>* buf) {
    MDCFS_NODE_LIST r{};
    r.PathLength = static_cast<std::uint32_t>(std::strlen(path) + 1);
    r.Path = reinterpret_cast<std::uintptr_t>(path);
    r.BufferSize = static_cast<std::uint32_t>(buf->size());
    r.Buffer = reinterpret_cast<std::uintptr_t>(buf->data());
    return r;
  }
  // True when another thread can take the node's lock now.
  static bool free_for_another_thread(mdcudfsr_cache_node* n) {
    int r = -1;
    std::thread t([&] {
      r = mdcudfsr_cache_lock_node(n, 10);
      if (r == 0) mdcudfsr_cache_unlock_node(n);
    });
    t.join();
    return r == 0;
  }
};

TEST_F(Lists, HashValueFitsABlockWithRoomToSpare) {
  mdcudfsr_cache_node* a = make("a");
  mdcudfsr_cache_node* b = make("b");
  EXPECT_EQ(22, add_hash(b, 1, std::vector<std::uint8_t>(1737, 7)));
  EXPECT_TRUE(logged("hash length is too big:(length=1737)[b]"));
  EXPECT_TRUE(b->hash_ea_list.empty());
  a->cache_dirty = 0;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_add_file_hash_info(mnt_.get(), a, nullptr, &ctx_));
  EXPECT_EQ(0, add_hash(a, 3, std::vector<std::uint8_t>(1736, 9)));
  ASSERT_EQ(1u, a->hash_ea_list.size());
  EXPECT_EQ(3u, a->hash_ea_list[0].kind);
  EXPECT_EQ(std::vector<std::uint8_t>(1736, 9), a->hash_ea_list[0].hash);
  EXPECT_EQ(1u, a->cache_dirty);
  EXPECT_EQ(22, add_hash(a, 3, {1, 2}));
  EXPECT_TRUE(logged("hash value was set already.[a]"));
}

TEST_F(Lists, HashRefusalsAndRemoval) {
  EXPECT_EQ(21, add_hash(make("d", true), 1, {1}));
  mdcudfsr_cache_node* f = make("f");
  f->udf_data->efe.icbtag.file_type = UDF_FILE_TYPE_SYMLINK;
  EXPECT_EQ(22, add_hash(f, 1, {1}));
  EXPECT_TRUE(logged("invalid file type:12[f]"));
  f->udf_data->efe.icbtag.file_type = UDF_FILE_TYPE_249;
  add_hash(f, 1, {1, 2, 3});
  ASSERT_EQ(1u, f->hash_ea_list.size());
  std::uint16_t index = 1;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_remove_file_hash_info(mnt_.get(), f, &index, &ctx_));
  EXPECT_TRUE(logged("invalid hash id:1[f]"));
  index = 0;
  mdcudfsr_mdcfsctrl_remove_file_hash_info(mnt_.get(), f, &index, &ctx_);
  EXPECT_TRUE(f->hash_ea_list.empty());
  EXPECT_TRUE(free_for_another_thread(f)) << "the node lock is released";
}

TEST_F(Lists, HashListKeepsCountingWhenTheBufferIsFull) {
  mdcudfsr_cache_node* d = make("d", true);
  mdcudfsr_cache_node* x = make("x", false, d);
  mdcudfsr_cache_node* y = make("y", false, d);
  add_hash(x, 2, std::vector<std::uint8_t>(30, 0xAA));  // 48-byte entry
  std::vector<std::uint8_t> buf(16 + 48 + 8, 0xEE);
  MDCFS_HASH_LIST r;
  ASSERT_EQ(0, hash_list("/d/", 1, &buf, &r));
  EXPECT_EQ(3u, r.FoundCount) << "d, x and y";
  EXPECT_EQ(16u + 48 + 16, r.NeededBytes);
  EXPECT_EQ(2u, r.CopiedCount);
  MDCFS_HASH_ENTRY head;
  std::memcpy(&head, buf.data(), sizeof head);
  EXPECT_EQ(mdcudfsr_node_unique_id(d), std::uint64_t{head.UniqueId});
  EXPECT_EQ(0u, head.HashLength);
  std::memcpy(&head, buf.data() + 16, sizeof head);
  EXPECT_EQ(mdcudfsr_node_unique_id(x), std::uint64_t{head.UniqueId});
  EXPECT_EQ(2u, head.HashType);
  EXPECT_EQ(30u, head.HashLength);
  EXPECT_EQ(0xAA, buf[16 + 16 + 29]);
  EXPECT_EQ(0, buf[16 + 16 + 30]) << "padding to four bytes is zero";
  EXPECT_EQ(0xEE, buf[16 + 48]) << "the entry that did not fit is not written";
  (void)y;
}

TEST_F(Lists, HashListScopesAndPaths) {
  mdcudfsr_cache_node* d = make("d", true);
  mdcudfsr_cache_node* sub = make("s", true, d);
  make("z", false, sub);
  make("f", false, d);
  std::vector<std::uint8_t> buf(4096);
  MDCFS_HASH_LIST r;
  ASSERT_EQ(0, hash_list("/d", 2, &buf, &r));
  EXPECT_EQ(4u, r.FoundCount) << "the whole subtree";
  ASSERT_EQ(0, hash_list("/d", 1, &buf, &r));
  EXPECT_EQ(3u, r.FoundCount) << "the directory and its children";
  ASSERT_EQ(0, hash_list("/d/f", 0, &buf, &r));
  EXPECT_EQ(1u, r.FoundCount);
  EXPECT_EQ(22, hash_list("/d", 0, &buf, &r));
  EXPECT_TRUE(logged("Search scope is file. but path is directory."));
  EXPECT_EQ(22, hash_list("/d/f", 1, &buf, &r));
  EXPECT_EQ(22, hash_list("/d", 3, &buf, &r));
  EXPECT_TRUE(logged("invalid search scope=[3]"));
  EXPECT_EQ(22, hash_list("/nothing", 2, &buf, &r));
  EXPECT_TRUE(logged("Get cache node error. Input path = [/nothing]"));
  EXPECT_TRUE(free_for_another_thread(d)) << "lock-all is released on the early exit";
  EXPECT_TRUE(free_for_another_thread(root_));
}

TEST_F(Lists, ListPathsAreCopiedWithTheirLengthAndTerminated) {
  make("d", true);
  std::vector<std::uint8_t> buf(4096);
  std::string unterminated = "/dXXXX";
  MDCFS_HASH_LIST r;
  hash_list("/d", 1, &buf, &r);
  r.PathLength = 2;  // "/d" without its terminator
  r.Path = reinterpret_cast<std::uintptr_t>(unterminated.data());
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_hash_list(mnt_.get(), &r, &ctx_));
  EXPECT_EQ(1u, r.FoundCount);
  r.PathLength = 0;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_hash_list(mnt_.get(), &r, &ctx_));
  MDCFS_NODE_LIST n = node_list("/d", &buf);
  n.PathLength = 0;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_child_node_list(mnt_.get(), &n, &ctx_));
  n.PathLength = MDCFS_LIST_PATH_MAX + 1;
  EXPECT_EQ(36, mdcudfsr_mdcfsctrl_get_child_node_list(mnt_.get(), &n, &ctx_));
}

TEST_F(Lists, FileListOfADirectoryFillsTheBufferDirectoryFirst) {
  mdcudfsr_cache_node* d = make("d", true);
  for (const char* name : {"a", "b", "c", "e", "g"}) make(name, false, d);
  std::vector<std::uint8_t> buf(2 * sizeof(MDCFS_NODE_ENTRY));
  MDCFS_NODE_LIST r = node_list("/d", &buf);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_file_node_list(mnt_.get(), &r, &ctx_));
  EXPECT_EQ(2u, r.WrittenCount);
  EXPECT_EQ(mnt_->nfiles + mnt_->ndirs, r.NodeCount);
  MDCFS_NODE_ENTRY e[2];
  std::memcpy(e, buf.data(), sizeof e);
  EXPECT_STREQ("d", e[0].Name);
  EXPECT_EQ(MDCFS_NODE_ATTR_DIRECTORY, e[0].Attributes & MDCFS_NODE_ATTR_DIRECTORY);
  EXPECT_STREQ("a", e[1].Name);
  EXPECT_EQ(mdcudfsr_node_unique_id(d), std::uint64_t{e[1].ParentUniqueId});
  r = node_list("/", &buf);
  r.BufferSize = 0;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_file_node_list(mnt_.get(), &r, &ctx_));
  EXPECT_EQ(0u, r.WrittenCount);
  r = node_list("/", &buf);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_file_node_list(mnt_.get(), &r, &ctx_));
  std::memcpy(e, buf.data(), sizeof e);
  EXPECT_STREQ("/", e[0].Name);
  EXPECT_TRUE(free_for_another_thread(d));
}

TEST_F(Lists, ChildListCarriesZoneMapTimesAndTheAttributeRule) {
  mdcudfsr_cache_node* d = make("d", true);
  struct Case {
    const char* name;
    std::uint32_t perm, flags;
    std::uint8_t type;
    std::uint32_t attributes;
  } cases[] = {{"rw", 0x6B5A, 0, 5, 0},
               {"flagged", 0x6B5A, 0x20000, 5, MDCFS_NODE_ATTR_READONLY},
               {"short", 0x6B58, 0, 5, MDCFS_NODE_ATTR_READONLY},
               {"exec", 0x6B5A | 0x400, 0, 5, MDCFS_NODE_ATTR_EXECUTE},
               {"link", 0x7FFF, 0, 12, MDCFS_NODE_ATTR_SYMLINK | MDCFS_NODE_ATTR_EXECUTE}};
  for (const auto& c : cases) {
    mdcudfsr_cache_node* n = make(c.name, false, d);
    n->udf_data->efe.perm = c.perm;
    n->file_flags = c.flags;
    n->udf_data->efe.icbtag.file_type = c.type;
    n->disc_mask = 0x5;
    timespec ts{1700000000, 123456000};
    mdcudfsr_timespec2udftime(mnt_.get(), &ts, &n->udf_data->efe.ctime, 0);
    ts.tv_sec += 60;
    mdcudfsr_timespec2udftime(mnt_.get(), &ts, &n->udf_data->efe.mtime, 0);
  }
  std::vector<std::uint8_t> buf(10 * sizeof(MDCFS_NODE_ENTRY_LONG));
  MDCFS_NODE_LIST r = node_list("/d", &buf);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_child_node_list(mnt_.get(), &r, &ctx_));
  EXPECT_EQ(6u, r.NodeCount);
  ASSERT_EQ(6u, r.WrittenCount);
  for (std::size_t i = 0; i < 5; ++i) {
    MDCFS_NODE_ENTRY_LONG e;
    std::memcpy(&e, buf.data() + (i + 1) * sizeof e, sizeof e);
    EXPECT_STREQ(cases[i].name, e.Name);
    EXPECT_EQ(cases[i].attributes, e.Attributes) << cases[i].name;
    EXPECT_EQ(0x5, e.ZoneMap);
    EXPECT_EQ(1700000000u, std::uint64_t{e.CreationSeconds});
    EXPECT_EQ(123456u, std::uint64_t{e.CreationMicroseconds});
    EXPECT_EQ(1700000060u, std::uint64_t{e.ModificationSeconds});
  }
  EXPECT_TRUE(free_for_another_thread(d)) << "the child list unlocks the directory";
}

TEST_F(Lists, CountsAndIdentities) {
  mdcudfsr_cache_node* d = make("d", true);
  mdcudfsr_cache_node* f = make("f", false, d);
  make("g", false, d);
  MDCFS_FILE_COUNT c{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_file_count(mnt_.get(), &c, &ctx_));
  EXPECT_EQ(2u, c.NumberOfFiles);
  EXPECT_EQ(1u, c.NumberOfDirectories);
  std::uint64_t id = 0;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_last_file_index(mnt_.get(), &id, &ctx_));
  EXPECT_EQ(mnt_->next_unique_id - 1, id);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_unique_id(mnt_.get(), f, &id, &ctx_));
  EXPECT_EQ(f->udf_data->efe.unique_id, id);

  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_master_file_index(mnt_.get(), f, &id, &ctx_));
  mdcudfsr_cache_node* p = proxy_of(f);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_master_file_index(mnt_.get(), p, &id, &ctx_));
  EXPECT_EQ(mdcudfsr_node_unique_id(f), id);
  // A parity proxy answers for the data file.
  mdcudfsr_cache_node* data = make("data", false, d);
  mdcudfsr_cache_node* parity = make("data#par", false, d);
  mdcudfsr_cache_node* pp = proxy_of(parity);
  pp->stream_owner = data;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_master_file_index(mnt_.get(), pp, &id, &ctx_));
  EXPECT_EQ(mdcudfsr_node_unique_id(data), id);
}

}  // namespace
