// Parity, proxy and dummy-file controls on a volume read from the simulated
// cartridge; parity data is read from the simulated discs.
#include "fsctl_support.h"

#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelvnops/mdcudfsr_fsctl_parity.h"

#include <cstring>
#include <new>
#include <thread>

namespace {

using namespace fsctl_test;
using vfs_test::logged;

constexpr const char* kSuffix = "*ECC_Parity_V100_N=2064_K=2048";

class Parity : public FsctlVolume {
 protected:
  void SetUp() override {
    FsctlVolume::SetUp();
    start_tree();
  }
  int setup(mdcudfsr_cache_node* proxy, const char* suffix = kSuffix) {
    MDCFS_SETUP_PARITY r{};
    r.ParityNameLength = static_cast<std::uint32_t>(std::strlen(suffix));
    std::strncpy(r.ParityName, suffix, sizeof r.ParityName - 1);
    return mdcudfsr_mdcfsctrl_setup_parity(mnt_.get(), proxy, &r, &ctx_);
  }
  // Parity information of a node: extents {lbn, bytes} on slot 0.
  void give_parity_info(mdcudfsr_cache_node* n, std::vector<std::pair<std::uint32_t, std::uint32_t>> extents) {
    void* mem = OSMalloc(sizeof(mdcudfsr_parity_info), nullptr);
    n->parity_info = new (mem) mdcudfsr_parity_info();
    mdcudfsr_extent_list_init(&n->parity_info->extents);
    for (auto [lbn, bytes] : extents) {
      mdcudfsr_extent_entry e{};
      e.extent.len = bytes;
      e.extent.loc.lb_num = lbn;
      e.extent.loc.part_num = 1;
      ASSERT_EQ(0, mdcudfsr_extent_list_add(&n->parity_info->extents, &e, 0));
    }
  }
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

TEST_F(Parity, RealNameOfAProxysMaster) {
  mdcudfsr_cache_node* d = make("dir", true);
  mdcudfsr_cache_node* m = make("file.bin", false, d);
  mdcudfsr_cache_node* p = proxy_of(m);
  MDCFS_REAL_FILENAME r{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_read_pxofilename(mnt_.get(), p, &r, &ctx_));
  const std::uint32_t size = r.BufferSize;
  EXPECT_EQ(mdcudfsr_cache_get_full_path_len(m), size);
  EXPECT_TRUE(free_for_another_thread(m)) << "the size query releases the master";
  std::vector<char> full(size, 'X');
  r = {size, reinterpret_cast<std::uintptr_t>(full.data())};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_read_pxofilename(mnt_.get(), p, &r, &ctx_));
  EXPECT_EQ(size - 1, std::strlen(full.data()));
  std::vector<char> cut(size, 'X');
  r = {size - 1, reinterpret_cast<std::uintptr_t>(cut.data())};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_read_pxofilename(mnt_.get(), p, &r, &ctx_));
  EXPECT_EQ(std::string(full.data(), size - 2), std::string(cut.data()));
  EXPECT_EQ('X', cut[size - 1]) << "nothing beyond the caller's buffer";
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_read_pxofilename(mnt_.get(), m, &r, &ctx_));
  EXPECT_TRUE(logged("Invalid node type[file.bin] :4"));
  EXPECT_TRUE(free_for_another_thread(m));
}

TEST_F(Parity, SetupMakesAHiddenInvisibleParityFileWithAProxy) {
  mdcudfsr_cache_node* m = make("m");
  mdcudfsr_cache_node* p = proxy_of(m);
  ASSERT_EQ(0, setup(p));
  mdcudfsr_cache_node* par = mdcudfsr_cnp(m->parity_node);
  ASSERT_NE(nullptr, par);
  EXPECT_EQ(std::string("m#") + kSuffix, mdcudfsr_node_name(par));
  EXPECT_EQ(mdcudfsr_parent(m), mdcudfsr_parent(par));
  EXPECT_EQ(MDCUDFSR_NODE_MASTER, par->kind);
  EXPECT_EQ(m, par->stream_owner);
  EXPECT_TRUE(par->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE);
  EXPECT_TRUE(par->file_flags & MDCUDFSR_FILE_FLAG_HIDDEN);
  ASSERT_NE(nullptr, par->proxy);
  EXPECT_EQ(m, par->proxy->stream_owner);
  EXPECT_EQ(par->proxy, p->parity_node);
  EXPECT_TRUE(free_for_another_thread(par));
  EXPECT_TRUE(free_for_another_thread(m));

  // A second setup, through the proxy of another open, reuses the parity
  // file and makes only a new proxy.
  mdcudfsr_cache_node* first_proxy = par->proxy;
  mdcudfsr_cache_node* p2 = proxy_of(m);
  ASSERT_NE(p, p2);
  ASSERT_EQ(0, setup(p2));
  EXPECT_TRUE(logged("Already Parity file exsit :m#"));
  EXPECT_EQ(par, mdcudfsr_cnp(m->parity_node));
  EXPECT_NE(first_proxy, par->proxy);
  EXPECT_EQ(par->proxy, p2->parity_node);
  EXPECT_TRUE(free_for_another_thread(par));
}

TEST_F(Parity, AFailedSetupKeepsAReusedParityFileAndUndoesANewOne) {
  mdcudfsr_cache_node* m = make("m");
  mdcudfsr_cache_node* p = proxy_of(m);
  ASSERT_EQ(0, setup(p));
  mdcudfsr_cache_node* par = mdcudfsr_cnp(m->parity_node);
  mdcudfsr_cache_node* p2 = proxy_of(m);
  mdcudfsr_cache_node* shadow = mnt_->shadow_node;
  mnt_->shadow_node = nullptr;  // no proxy can be made
  EXPECT_NE(0, setup(p2));
  EXPECT_TRUE(logged("mdcudfsr_mdcfsctrl_setup_parity failed err:"));
  EXPECT_EQ(par, mdcudfsr_cnp(m->parity_node)) << "the existing parity file stays";
  EXPECT_FALSE(mdcudfsr_is_inactive(par));
  EXPECT_EQ(MDCUDFSR_NODE_MASTER, par->kind);
  EXPECT_TRUE(free_for_another_thread(par));

  mdcudfsr_cache_node* m2 = make("m2");
  mnt_->shadow_node = shadow;
  mdcudfsr_cache_node* p3 = proxy_of(m2);
  mnt_->shadow_node = nullptr;
  EXPECT_NE(0, setup(p3));
  mnt_->shadow_node = shadow;
  EXPECT_EQ(nullptr, m2->parity_node) << "the parity file this call made is undone";
  EXPECT_EQ(nullptr, mdcudfsr_name_avl_search(root_->name_root, (std::string("m2#") + kSuffix).c_str(), nullptr));
  EXPECT_TRUE(free_for_another_thread(m2));
}

TEST_F(Parity, ReleasingAParityProxyCutsTheLinkOfItsRequestProxyOnly) {
  mdcudfsr_cache_node* m = make("m");
  mdcudfsr_cache_node* p = proxy_of(m);
  ASSERT_EQ(0, setup(p));
  mdcudfsr_cache_node* par = mdcudfsr_cnp(m->parity_node);
  mdcudfsr_cache_node* first = par->proxy;
  mdcudfsr_cache_node* p2 = proxy_of(m);
  ASSERT_EQ(0, setup(p2));
  mdcudfsr_cache_node* second = par->proxy;
  ASSERT_EQ(first, p->parity_node);
  // The first parity proxy goes before the request proxy that names it.
  ASSERT_EQ(0, mdcudfsr_cache_inactivate_node(first, 0));
  mdcudfsr_cache_clean_up_inactive_node(mnt_->shadow_node);
  EXPECT_EQ(nullptr, p->parity_node) << "no link to a released parity proxy";
  EXPECT_EQ(second, p2->parity_node) << "the other open keeps its parity proxy";
  EXPECT_EQ(second, par->proxy);
}

TEST_F(Parity, SetupRefusals) {
  mdcudfsr_cache_node* f = make("f");
  EXPECT_EQ(22, setup(f));
  EXPECT_TRUE(logged("Invalid node type[f] :1"));
  EXPECT_TRUE(logged("[MDCFSCTL_SETUP_PROXY] start"));
  mdcudfsr_cache_node* p = proxy_of(f);
  f->kind = MDCUDFSR_NODE_UDF;
  EXPECT_EQ(22, setup(p)) << "the master must be of kind 4";
}

TEST_F(Parity, AltStreamNamesTheParityStream) {
  mdcudfsr_cache_node* m = make("m");
  MDCFS_ALT_STREAM_INFO info{};
  EXPECT_EQ(95, mdcudfsr_mdcfsctrl_get_alt_stream_info(mnt_.get(), m, &info, &ctx_));
  EXPECT_TRUE(logged(" file is not parity [m]"));
  mdcudfsr_cache_node* p = proxy_of(m);
  ASSERT_EQ(0, setup(p));
  m->kind = MDCUDFSR_NODE_UDF;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_alt_stream_info(mnt_.get(), m, &info, &ctx_));
  EXPECT_EQ(1u, info.TotalStreams);
  EXPECT_EQ(0u, info.StreamIndex);
  EXPECT_STREQ(kSuffix, info.Name);
  EXPECT_EQ(std::strlen(kSuffix) + 1, info.NameSize);
}

TEST_F(Parity, AltStreamOfAFileWithParityInformation) {
  start_tree(udf_test::MediumClass::F2);
  mdcudfsr_cache_node* f = make("f");
  give_parity_info(f, {{100, 4096}});
  MDCFS_ALT_STREAM_INFO info{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_alt_stream_info(mnt_.get(), f, &info, &ctx_));
  EXPECT_STREQ(mdcudfsr_cache_default_parity_suffix(mnt_.get()), info.Name);
  mdcudfsr_cache_node* g = make("g");
  EXPECT_EQ(95, mdcudfsr_mdcfsctrl_get_alt_stream_info(mnt_.get(), g, &info, &ctx_));
}

TEST_F(Parity, DummyCreateAndClose) {
  mdcudfsr_cache_node* m = make("m");
  char name[MDCFS_DUMMY_NAME_SIZE + 8] = {};
  // The dummy open makes the file a master and hands out its proxy's name.
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_dummy_create(mnt_.get(), m, name, &ctx_));
  EXPECT_EQ(MDCUDFSR_NODE_MASTER, m->kind);
  EXPECT_EQ(1, m->write_open);
  ASSERT_NE(nullptr, m->proxy);
  EXPECT_STREQ(mdcudfsr_node_name(m->proxy), name);
  // A master is not opened a second time; the refusal is logged.
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_dummy_create(mnt_.get(), m, name, &ctx_));
  EXPECT_TRUE(logged("failed to mdcudfsr_vnop_dummy_open err:22"));
  // The dummy close makes it a plain file again.
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_dummy_close(mnt_.get(), m, nullptr, &ctx_));
  EXPECT_EQ(MDCUDFSR_NODE_UDF, m->kind);
  EXPECT_EQ(0, m->write_open);
}

TEST_F(Parity, ParityAllocation) {
  mdcudfsr_cache_node* f = make("f");
  MDCFS_PARITY_ALLOCATION r{};
  std::strcpy(r.StreamName, mdcudfsr_cache_default_parity_suffix(mnt_.get()));
  EXPECT_EQ(2, mdcudfsr_mdcfsctrl_get_parity_allocation(mnt_.get(), f, &r, &ctx_));
  EXPECT_TRUE(logged(" There is no parity:[f]"));
  give_parity_info(f, {{100, 0x10000}, {300, 0x8000}, {500, 100}});
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_parity_allocation(mnt_.get(), f, &r, &ctx_));
  EXPECT_EQ(3u, r.TotalSpaceCount);
  EXPECT_EQ(0x18064u, std::uint64_t{r.TotalLength});
  MDCFS_SPACE_ENTRY e[2] = {};
  r.SpaceEntries = reinterpret_cast<std::uintptr_t>(e);
  r.TotalSpaceCount = 2;
  EXPECT_EQ(105, mdcudfsr_mdcfsctrl_get_parity_allocation(mnt_.get(), f, &r, &ctx_));
  EXPECT_EQ(300, e[1].BlockOffset);
  EXPECT_EQ(16, e[1].NumberOfBlocks);
  std::strcpy(r.StreamName, "*other");
  EXPECT_EQ(2, mdcudfsr_mdcfsctrl_get_parity_allocation(mnt_.get(), f, &r, &ctx_));
  f->write_open = 1;
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_get_parity_allocation(mnt_.get(), f, &r, &ctx_));
}

TEST_F(Parity, ParityDataFromAnOffsetInsideTheSecondUnit) {
  mdcudfsr_cache_node* f = make("f");
  give_parity_info(f, {{64, 0x20000}, {256, 0x10000}});
  // Every sector of the discs carries its own number.
  const std::uint32_t start = layout_.partition_start;
  std::vector<std::uint8_t> blocks(96 * 2048);
  auto fill = [&](std::uint32_t lbn, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) std::memset(&blocks[i * 2048], static_cast<int>((lbn + i) & 0xFF), 2048);
    ASSERT_EQ(0u, sim_->cartridge().write_blocks(0, start + lbn, count, blocks.data()));
  };
  fill(64, 64);
  fill(256, 32);
  MDCFS_PARITY_DATA r{};
  std::strcpy(r.StreamName, mdcudfsr_cache_default_parity_suffix(mnt_.get()));
  std::vector<std::uint8_t> out(0x20000, 0xEE);
  r.Offset = 0x10000 + 2048 * 3 + 5;  // second unit, block 64 + 32 + 3
  r.ReadSize = out.size();
  r.pReadDataBuffer = reinterpret_cast<std::uintptr_t>(out.data());
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_parity_data(mnt_.get(), f, &r, &ctx_));
  const std::uint64_t rest_of_first = 0x20000 - (0x10000 + 2048 * 3 + 5);
  EXPECT_EQ(rest_of_first + 0x10000, std::uint64_t{r.ReadSize}) << "the extents end before the size asked for";
  EXPECT_EQ(64 + 32 + 3, out[0]);
  EXPECT_EQ(64 + 32 + 4, out[2048 - 5]);
  EXPECT_EQ(127, out[rest_of_first - 1]);
  EXPECT_EQ(256 & 0xFF, out[rest_of_first]);
  EXPECT_EQ((256 + 31) & 0xFF, out[rest_of_first + 0x10000 - 1]);
  EXPECT_EQ(0xEE, out[rest_of_first + 0x10000]);
}

TEST_F(Parity, ParityDataSizeBounds) {
  mdcudfsr_cache_node* f = make("f");
  MDCFS_PARITY_DATA r{};
  std::strcpy(r.StreamName, mdcudfsr_cache_default_parity_suffix(mnt_.get()));
  std::vector<std::uint8_t> out(4096);
  r.pReadDataBuffer = reinterpret_cast<std::uintptr_t>(out.data());
  r.ReadSize = 16;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_parity_data(mnt_.get(), f, &r, &ctx_));
  EXPECT_TRUE(logged(" parity_info is not exist"));
  give_parity_info(f, {{64, 4096}});
  for (std::uint64_t size : {std::uint64_t{0}, MDCFS_PARITY_READ_MAX + 1}) {
    r.ReadSize = size;
    EXPECT_EQ(1, mdcudfsr_mdcfsctrl_get_parity_data(mnt_.get(), f, &r, &ctx_)) << size;
  }
  r.ReadSize = MDCFS_PARITY_READ_MAX;  // served; the extent ends first
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_parity_data(mnt_.get(), f, &r, &ctx_));
  EXPECT_EQ(4096u, std::uint64_t{r.ReadSize});
}

}  // namespace
