#include "fsctl_support.h"

#include "drive/cm_data.h"
#include "kelhost/kern.h"
#include "kelcache/lookup.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_fsctl_allocation.h"
#include "kelvnops/mdcudfsr_fsctl_file_controls.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "support/failing_new.h"
#include "udf/udf_lvid.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <ostream>

// The extent lists allocate with the non-throwing new; a failure of it can
// be scheduled.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return kel_test::failing_nothrow_new(size); }

namespace fsctl_test {

void fail_new(int nth) { kel_test::fail_nothrow_new(nth); }

void seed_cm(kelsim::Cartridge& cart, std::uint32_t position_word) {
  for (int i = 0; i < cm_attr::kCount; ++i) {
    kelsim::Attribute a;
    a.format = cm_attr::kFormats[i];
    a.value.assign(cm_attr::kLengths[i], 0);
    cart.attributes[cm_attr::kIds[i]] = a;
  }
  auto& v = cart.attributes[0x1500].value;
  for (int k = 0; k < 4; ++k) v[cm1500::kPosition + k] = static_cast<std::uint8_t>(position_word >> (24 - 8 * k));
  // A value the drive layer reads without complaint: its check value does not
  // match (a zero value's would, and its empty header would then be refused).
  std::memcpy(v.data(), "KEL", 3);
  cart.save();
}

std::vector<std::uint8_t> attribute(kelsim::Cartridge& cart, std::uint16_t id) {
  auto it = cart.attributes.find(id);
  return it == cart.attributes.end() ? std::vector<std::uint8_t>{} : it->second.value;
}

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
std::uint64_t be64(const std::uint8_t* p) { return static_cast<std::uint64_t>(be32(p)) << 32 | be32(p + 4); }
std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void FsctlVolume::SetUp() { SimVolume::SetUp(); }

void FsctlVolume::TearDown() {
  fail_new(0);
  if (mnt_) {
    mdcudfsr_privileged_open_list_clear(mnt_.get());
    free_tree();
  }
  if (!saved_rows_.empty()) std::copy(saved_rows_.begin(), saved_rows_.end(), mdcudfsr_fsctl_rows());
  SimVolume::TearDown();
}

void FsctlVolume::install_file_controls() {
  mdcudfsr_fsctl_row* rows = mdcudfsr_fsctl_rows();
  saved_rows_.assign(rows, rows + mdcudfsr_fsctl_row_count());
  mdcudfsr_fsctl_install_file_controls(rows, mdcudfsr_fsctl_row_count());
}

void FsctlVolume::free_tree() {
  // A request proxy names its parity proxy, which the node cache's release
  // does not unlink; both go here, so the link goes first.
  if (mnt_->shadow_node)
    for (mdcudfsr_cache_node* c = mnt_->shadow_node->children.first; c; c = c->sibling.next) c->parity_node = nullptr;
  if (mnt_->shadow_node) mdcudfsr_cache_free_shadow_node(mnt_->shadow_node);
  mnt_->shadow_node = nullptr;
  if (root_) mdcudfsr_cache_free_node(root_);
  root_ = nullptr;
  kel_tree_set_root(nullptr);
  device_vnode_.reset();
}

void FsctlVolume::start_tree(udf_test::MediumClass cls) {
  if (mnt_) free_tree();
  layout_ = start_volume(cls);
  // The integrity descriptor read, as the mount reads it, for the sessions
  // that opening a file for writing opens; no management cache file, no
  // agent tied to the volume.
  ASSERT_EQ(0, mdcudfsr_read_lvid(mnt_.get(), nullptr, 0, 1, 0, 0));
  mnt_->coherency_refreshed = 1;
  mnt_->mount_ext_flags |= MDCUDFSR_MNT_AGENT_STOPPED;
  mnt_->next_unique_id = 16;
  // The physical partition as the mount's partition step enters it.
  mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector = layout_.partition_start;
  mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].length = std::uint64_t{layout_.partition_len} * 2048;
  char name[] = "";
  root_ = mdcudfsr_cache_alloc_node(mnt_.get(), nullptr, name, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
  ASSERT_NE(nullptr, root_);
  root_->objid = MDCUDFSR_OBJID_ROOT;
  mnt_->root_node = root_;
  mnt_->udf_root = root_;
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(mnt_.get(), 0));
  // The host layer's path tree, under which lookups by path make vnodes.
  device_vnode_ = kel_make_vnode(nullptr, nullptr, VBLK, 0);
  kel_tree_make_root(device_vnode_);
  ASSERT_NE(nullptr, mdcudfsr_cache_get_vnode(mnt_.get(), nullptr, nullptr, &ctx_, 0)) << "the root's vnode";
}

mdcudfsr_cache_node* FsctlVolume::make(const char* name, bool dir, mdcudfsr_cache_node* parent) {
  std::string copy(name);
  mdcudfsr_cache_node* n = nullptr;
  const int err = mdcudfsr_cache_create_udf_node(parent ? parent : root_, copy.data(), -1, 0,
                                                 dir ? UDF_FILE_CHAR_DIR : 0, 0644, &n, 0, nullptr);
  EXPECT_EQ(0, err) << name;
  if (n) mdcudfsr_cache_unlock_node(n);
  return n;
}

mdcudfsr_cache_node* FsctlVolume::manual_file(const char* name) {
  mdcudfsr_cache_node* n = make(name);
  MDCFS_CUSTOM_FILE_SETTING s{1, 1, 0x7BDE};
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), n, &s, &ctx_));
  return n;
}

std::vector<FsctlVolume::Extent> FsctlVolume::extents_of(mdcudfsr_cache_node* n) {
  std::vector<Extent> out;
  for (const mdcudfsr_extent_entry* e = n->udf_data->extents.first; e; e = e->next)
    out.push_back({static_cast<std::uint32_t>(e->extent.loc.part_num - 1), e->extent.loc.lb_num,
                   EXTENT_LENGTH(e->extent.len), EXTENT_FLAGS(e->extent.len)});
  return out;
}

mdcudfsr_cache_node* FsctlVolume::proxy_of(mdcudfsr_cache_node* master) {
  master->kind = MDCUDFSR_NODE_MASTER;
  EXPECT_EQ(0, mdcudfsr_cache_create_proxy_node(mnt_.get(), master, 0, nullptr));
  return master->proxy;
}

vnode_t FsctlVolume::vnode_of(const char* name, mdcudfsr_cache_node* parent) {
  componentname cn{};
  std::string n(name);
  cn.cn_nameptr = n.data();
  cn.cn_namelen = static_cast<int>(n.size());
  return mdcudfsr_cache_get_vnode(mnt_.get(), parent ? parent : root_, &cn, &ctx_, 0);
}

void FsctlVolume::privileged() {
  mnt_->privileged_pid = static_cast<std::int32_t>(vfs_context_pid(&ctx_));
  mnt_->privileged_mode = 1;
}

int FsctlVolume::open(vnode_t vp, int mode) {
  vnop_open_args a{&vnop_open_desc, vp, mode, &ctx_};
  return mdcudfsr_vnop_open(&a);
}

int FsctlVolume::close(vnode_t vp, int mode) {
  vnop_close_args a{&vnop_close_desc, vp, mode, &ctx_};
  return mdcudfsr_vnop_close(&a);
}

int FsctlVolume::send(vnode_t vp, std::uint32_t sent_as, void* data, vfs_context* ctx) {
  vnop_ioctl_args a{nullptr, vp, sent_as & 0xFF80FFFFu, data, 0, ctx ? ctx : &ctx_};
  return mdcudfsr_vnop_ioctl(&a);
}

FsctlVolume::Written FsctlVolume::open_for_writer(const char* name, bool list, mdcudfsr_cache_node* parent) {
  Written w{make(name, false, parent), nullptr, nullptr, nullptr};
  w.vp = w.master ? vnode_of(name, parent) : nullptr;
  EXPECT_NE(nullptr, w.vp) << name;
  if (!w.vp) return w;
  EXPECT_EQ(0, open(w.vp, FWRITE)) << name;
  EXPECT_EQ(std::uint32_t{MDCUDFSR_NODE_MASTER}, w.master->kind) << name;
  w.proxy = w.master->proxy;
  if (!w.proxy) return w;
  w.proxy_vp = vnode_of(mdcudfsr_node_name(w.proxy), mnt_->shadow_node);
  EXPECT_NE(nullptr, w.proxy_vp) << name;
  privileged();
  if (list && w.proxy_vp) {
    EXPECT_EQ(0, open(w.proxy_vp, FWRITE)) << name;
  }
  return w;
}

std::vector<std::uint64_t> FsctlVolume::pending() const {
  std::vector<std::uint64_t> out;
  for (const mdcudfsr_proxy_write_entry* e = mnt_->proxy_write_first; e; e = e->next) out.push_back(e->unique_id);
  return out;
}

std::ostream& operator<<(std::ostream& os, const FsctlVolume::Extent& e) {
  return os << "{zone " << e.zone << " lbn " << e.lbn << " bytes " << e.bytes << " type " << e.type << "}";
}

}  // namespace fsctl_test
