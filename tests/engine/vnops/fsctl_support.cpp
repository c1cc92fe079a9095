#include "fsctl_support.h"

#include "drive/cm_data.h"
#include "kelhost/kern.h"
#include "kelcache/lookup.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_fsctl_allocation.h"
#include "kelvnops/mdcudfsr_namespace.h"

#include <cstring>
#include <ostream>

namespace fsctl_test {

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
  if (mnt_) {
    mdcudfsr_privileged_open_list_clear(mnt_.get());
    free_tree();
  }
  SimVolume::TearDown();
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

void FsctlVolume::add_pending(std::uint64_t uid, mdcudfsr_cache_node* node) {
  auto* e = static_cast<mdcudfsr_proxy_write_entry*>(OSMalloc(sizeof(mdcudfsr_proxy_write_entry), nullptr));
  *e = mdcudfsr_proxy_write_entry{nullptr, mnt_->proxy_write_last, uid, node};
  if (mnt_->proxy_write_last) mnt_->proxy_write_last->next = e;
  else mnt_->proxy_write_first = e;
  mnt_->proxy_write_last = e;
  node->write_list_entry = e;
  mnt_->vfam_mode = 1;
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
