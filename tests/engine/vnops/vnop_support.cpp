#include "vnop_support.h"

#include "support.h"

#include "kelcache/lookup.h"

#include "kelhost/kern.h"
#include "sim/harness.h"
#include "udf/udf_mount.h"

#include <unistd.h>

// What the tree volume's support code asks of the node-cache suite's
// support: its recorder and heap accounting (not kept here).
namespace cache_test {
Recorder& rec() {
  static Recorder r;
  return r;
}
void Recorder::reset() {
  calls.clear();
  logs.clear();
}
long live_blocks() { return 0; }
}  // namespace cache_test

namespace vnop_test {

std::uint8_t pattern(std::uint64_t i, std::uint8_t seed) {
  return static_cast<std::uint8_t>((i * 7 + (i >> 11) + seed) & 0xFF);
}

void fill_file(TreeImage& img, int item, std::uint8_t seed) {
  const long_ad& ad = img.items[item].extents.at(0);
  const std::uint32_t len = EXTENT_LENGTH(ad.len);
  std::uint8_t* p = img.medium.data() + std::size_t(img.layout.partition_start + ad.loc.lb_num) * 2048;
  for (std::uint32_t i = 0; i < len; ++i) p[i] = pattern(i, seed);
}

void resolve_engine_vector() { kel_resolve_vnode_operations(mdcudfsr_vnodeop_entries, &kel_vnops); }

void VnopVolume::mount(TreeImage& img) {
  img_ = &img;
  img.finish();
  ctx_.vc_pid = static_cast<std::uint64_t>(getpid());  // requests carry the engine's pid
  vfs_test::clear_log();
  sm_ = std::make_unique<cache_test::SimMount>();
  sm_->load(img);
  ASSERT_EQ(0, sm_->init());
  m()->mp->mnt_flag = 0;  // the emulation's one mount record outlives a test
  resolve_engine_vector();
  devvp_ = kel_make_vnode(m()->mp, nullptr, VBLK, 0);
  kel_tree_make_root(devvp_);
  m()->root_vnode = mdcudfsr_cache_get_vnode(m(), nullptr, nullptr, &ctx_, 0);
  ASSERT_NE(nullptr, m()->root_vnode);
}

void VnopVolume::TearDown() {
  // The cache ends before the host tree goes, as at the engine's unmount.
  sm_.reset();
  kel_tree_set_root(nullptr);
  devvp_.reset();
  kel_vnops = KelResolvedVnops{};
}

vnode_t VnopVolume::vnode_of(const std::string& path) {
  EntryPtr e = get_entry(path.c_str(), &ctx_);
  return e ? e->vn.get() : nullptr;
}

mdcudfsr_cache_node* VnopVolume::node_of(const std::string& path) {
  vnode_t vp = vnode_of(path);
  return vp ? static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp)) : nullptr;
}

namespace {
int transfer(vnop_handler_t h, vnodeop_desc* desc, vnode_t vp, std::int64_t offset, void* buffer, std::size_t length,
             int direction, int ioflag, vfs_context_t ctx) {
  uio_t u = uio_create(1, offset, UIO_SYSSPACE, direction);
  uio_addiov(u, reinterpret_cast<user_addr_t>(buffer), length);
  vnop_read_args a{desc, vp, u, ioflag, ctx};
  const int r = h(&a);
  uio_free(u);
  return r;
}
}  // namespace

int VnopVolume::open(vnode_t vp, int mode) {
  vnop_open_args a{&vnop_open_desc, vp, mode, &ctx_};
  return mdcudfsr_vnop_open(&a);
}

int VnopVolume::close(vnode_t vp, int mode) {
  vnop_close_args a{&vnop_close_desc, vp, mode, &ctx_};
  return mdcudfsr_vnop_close(&a);
}

int VnopVolume::read(vnode_t vp, std::int64_t offset, std::size_t length, std::vector<std::uint8_t>* out,
                     int ioflag) {
  out->assign(length, 0xEE);
  uio_t u = uio_create(1, offset, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(out->data()), length);
  vnop_read_args a{&vnop_read_desc, vp, u, ioflag, &ctx_};
  const int r = mdcudfsr_vnop_read(&a);
  out->resize(length - static_cast<std::size_t>(uio_resid(u)));
  uio_free(u);
  return r;
}

int VnopVolume::write(vnode_t vp, std::int64_t offset, const std::vector<std::uint8_t>& data, int ioflag) {
  std::vector<std::uint8_t> copy = data;
  return transfer(mdcudfsr_vnop_write, &vnop_write_desc, vp, offset, copy.data(), copy.size(), UIO_WRITE, ioflag,
                  &ctx_);
}

std::vector<std::uint8_t> VnopVolume::medium(std::uint32_t lbn, std::size_t length) {
  const std::uint32_t blocks = static_cast<std::uint32_t>((length + 2047) / 2048);
  std::vector<std::uint8_t> b(std::size_t(blocks) * 2048);
  EXPECT_EQ(0u, sim().cartridge().read_blocks(0, img_->layout.partition_start + lbn, blocks, b.data()));
  b.resize(length);
  return b;
}

}  // namespace vnop_test
