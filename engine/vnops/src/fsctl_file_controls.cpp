// The table form of the allocation, parity and proxy, hash and list, and
// volume-item controls: each takes its record from the call.
#include "kelvnops/mdcudfsr_fsctl_file_controls.h"

#include "kelvnops/mdcudfsr_fsctl_allocation.h"
#include "kelvnops/mdcudfsr_fsctl_lists.h"
#include "kelvnops/mdcudfsr_fsctl_parity.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"
#include "kelvnops/mdcudfsr_volume_info.h"

#include <iterator>

namespace {

using V = mdcudfsr_fsctl_vnode;
using Call = mdcudfsr_fsctl_call;

template <class T>
T* rec(const Call& c) {
  return static_cast<T*>(c.data);
}

// Volume codes.
int statfs(const Call& c) { return mdcudfsr_mdcfsctrl_get_statfs_sizeinfo(c.mnt, rec<MDCFS_STATFS_SIZEINFO>(c), c.ctx); }
int protect(const Call& c) { return mdcudfsr_mdcfsctrl_protect_volume_from_change(c.mnt, c.data, c.ctx); }
int get_version(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_volume_fs_version(c.mnt, rec<MDCFS_VOLUME_FS_VERSION>(c), c.ctx);
}
int set_version(const Call& c) { return mdcudfsr_mdcfsctrl_set_volume_fs_version(c.mnt, rec<std::uint8_t>(c), c.ctx); }
int device(const Call& c) { return mdcudfsr_mdcfsctrl_get_device_information(c.mnt, c.data, c.ctx); }
int mount_info(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_volume_mount_information(c.mnt, rec<MDCFS_MOUNT_INFORMATION>(c), c.ctx);
}
int virtual_info(const Call& c) { return mdcudfsr_mdcfsctrl_get_virtualfile_info(c.mnt, c.data, c.ctx); }
int last_index(const Call& c) { return mdcudfsr_mdcfsctrl_get_last_file_index(c.mnt, rec<std::uint64_t>(c), c.ctx); }
int cachefile(const Call& c) { return mdcudfsr_mdcfsctrl_get_cachefile_state(c.mnt, rec<std::int32_t>(c), c.ctx); }
int get_svg(const Call& c) { return mdcudfsr_mdcfsctrl_get_cartridge_svg_status(c.mnt, rec<std::uint32_t>(c), c.ctx); }
int set_svg(const Call& c) { return mdcudfsr_mdcfsctrl_set_cartridge_svg_status(c.mnt, rec<std::uint32_t>(c), c.ctx); }
int get_label(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_logical_volume_identifier(c.mnt, rec<MDCFS_VOLUME_LABEL>(c), c.ctx);
}
int set_label(const Call& c) {
  return mdcudfsr_mdcfsctrl_set_logical_volume_identifier(c.mnt, rec<MDCFS_VOLUME_LABEL>(c), c.ctx);
}
int notify(const Call& c) {
  return mdcudfsr_mdcfsctrl_notify_filter_mount_information(c.mnt, rec<MDCFS_FILTER_MOUNT_INFORMATION>(c), c.ctx);
}
int reserve(const Call& c) {
  return mdcudfsr_mdcfsctrl_reserve_file_creation(c.mnt, rec<MDCFS_RESERVE_FILE_CREATION>(c), c.ctx);
}
int qlicon(const Call& c) { return mdcudfsr_mdcfsctrl_disable_qlicon_setting(c.mnt, c.data, c.ctx); }
int slaccess(const Call& c) { return mdcudfsr_mdcfsctrl_prevent_slaccess_setting(c.mnt, c.data, c.ctx); }
int rebuild(const Call& c) {
  return mdcudfsr_mdcfsctrl_rebuild_file_allocation(c.mnt, rec<MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER>(c), c.ctx);
}
int file_count(const Call& c) { return mdcudfsr_mdcfsctrl_get_file_count(c.mnt, rec<MDCFS_FILE_COUNT>(c), c.ctx); }
int performance(const Call& c) { return mdcudfsr_mdcfsctrl_get_performance(c.mnt, rec<std::uint32_t>(c), c.ctx); }
int node_list(const Call& c) { return mdcudfsr_mdcfsctrl_get_file_node_list(c.mnt, rec<MDCFS_NODE_LIST>(c), c.ctx); }
int child_list(const Call& c) { return mdcudfsr_mdcfsctrl_get_child_node_list(c.mnt, rec<MDCFS_NODE_LIST>(c), c.ctx); }
int hash_list(const Call& c) { return mdcudfsr_mdcfsctrl_get_hash_list(c.mnt, rec<MDCFS_HASH_LIST>(c), c.ctx); }

// File codes.
int dummy_close(const Call& c) { return mdcudfsr_mdcfsctrl_dummy_close(c.mnt, c.node, c.data, c.ctx); }
int alt_stream(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_alt_stream_info(c.mnt, c.node, rec<MDCFS_ALT_STREAM_INFO>(c), c.ctx);
}
int unique_id(const Call& c) { return mdcudfsr_mdcfsctrl_get_unique_id(c.mnt, c.node, rec<std::uint64_t>(c), c.ctx); }
int master_index(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_master_file_index(c.mnt, c.node, rec<std::uint64_t>(c), c.ctx);
}
int query_custom(const Call& c) {
  return mdcudfsr_mdcfsctrl_query_custom_file_setting(c.mnt, c.node, rec<MDCFS_CUSTOM_FILE_SETTING>(c), c.ctx);
}
int customize(const Call& c) {
  return mdcudfsr_mdcfsctrl_customize_file_setting(c.mnt, c.node, rec<MDCFS_CUSTOM_FILE_SETTING>(c), c.ctx);
}
int setup_parity(const Call& c) {
  return mdcudfsr_mdcfsctrl_setup_parity(c.mnt, c.node, rec<MDCFS_SETUP_PARITY>(c), c.ctx);
}
int add_hash(const Call& c) {
  return mdcudfsr_mdcfsctrl_add_file_hash_info(c.mnt, c.node, rec<MDCFS_ADD_FILE_HASH_INFO>(c), c.ctx);
}
int remove_hash(const Call& c) {
  return mdcudfsr_mdcfsctrl_remove_file_hash_info(c.mnt, c.node, rec<std::uint16_t>(c), c.ctx);
}
int file_hash(const Call& c) { return mdcudfsr_mdcfsctrl_get_file_hash_info(c.mnt, c.node, rec<MDCFS_HASH_LIST>(c), c.ctx); }
int delete_alloc(const Call& c) {
  return mdcudfsr_mdcfsctrl_delete_file_allocation(c.mnt, c.node, rec<std::uint32_t>(c), c.ctx);
}
int add_alloc(const Call& c) {
  return mdcudfsr_mdcfsctrl_add_file_allocation(c.mnt, c.node, rec<MDCFS_SPACE_ENTRIES_BUFFER>(c), c.ctx);
}
int get_alloc(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_file_allocation(c.mnt, c.node, rec<MDCFS_SPACE_ENTRIES_BUFFER>(c), c.ctx);
}
int replace_alloc(const Call& c) {
  return mdcudfsr_mdcfsctrl_replace_file_allocation(c.mnt, c.node, rec<MDCFS_REPLACE_FILE_ALLOCATION>(c), c.ctx);
}
int reallocate(const Call& c) {
  return mdcudfsr_mdcfsctrl_replace_file_range(c.mnt, c.node, rec<MDCFS_REALLOCATE_FILE_RANGE>(c), c.ctx);
}
int control_option(const Call& c) {
  return mdcudfsr_mdcfsctrl_set_file_control_option(c.mnt, c.node, rec<std::uint32_t>(c), c.ctx);
}
int invalidate(const Call& c) { return mdcudfsr_mdcfsctrl_invalidate_cache(c.mnt, c.node, rec<std::uint32_t>(c), c.ctx); }
int visibility(const Call& c) {
  return mdcudfsr_mdcfsctrl_set_file_visibility(c.mnt, c.node, rec<std::uint32_t>(c), c.ctx);
}
int move_dir(const Call& c) { return mdcudfsr_mdcfsctrl_move_directory(c.mnt, c.node, c.data, c.ctx); }
int real_name(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_read_pxofilename(c.mnt, c.node, rec<MDCFS_REAL_FILENAME>(c), c.ctx);
}
int dummy_create(const Call& c) { return mdcudfsr_mdcfsctrl_dummy_create(c.mnt, c.node, rec<char>(c), c.ctx); }
int parity_alloc(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_parity_allocation(c.mnt, c.node, rec<MDCFS_PARITY_ALLOCATION>(c), c.ctx);
}
int parity_data(const Call& c) {
  return mdcudfsr_mdcfsctrl_get_parity_data(c.mnt, c.node, rec<MDCFS_PARITY_DATA>(c), c.ctx);
}

// clang-format off
const mdcudfsr_fsctl_binding kBindings[] = {
    {0x40007063, V::any, statfs},          {0x20007055, V::volume, protect},
    {0x40007011, V::volume, get_version},  {0x40007013, V::volume, device},
    {0x40007014, V::volume, mount_info},   {0x40007046, V::volume, virtual_info},
    {0x40007057, V::volume, last_index},   {0x40007065, V::volume, cachefile},
    {0x4000706D, V::volume, get_svg},      {0x40007071, V::volume, get_label},
    {0x80007008, V::volume, notify},       {0x80007009, V::volume, reserve},
    {0x80007012, V::volume, set_version},  {0x80007058, V::volume, qlicon},
    {0x80007059, V::volume, slaccess},     {0x80007061, V::volume, rebuild},
    {0x8000706E, V::volume, set_svg},      {0x80007070, V::volume, set_label},
    {0xC0007010, V::volume, file_count},   {0xC000706A, V::volume, performance},
    {0xC1007056, V::volume, node_list},    {0xC100705D, V::volume, child_list},
    {0xC1007068, V::volume, hash_list},
    {0x2000704A, V::file, dummy_close},    {0x40007048, V::file, alt_stream},
    {0x4000704C, V::file, unique_id},      {0x40007060, V::file, master_index},
    {0x40007081, V::file, query_custom},   {0x80007047, V::file, setup_parity},
    {0x80007066, V::file, add_hash},       {0x80007067, V::file, remove_hash},
    {0x8000706F, V::file, delete_alloc},   {0x80007080, V::file, customize},
    {0x80007083, V::file, add_alloc},      {0x80007084, V::file, replace_alloc},
    {0x80007085, V::file, reallocate},     {0x80007086, V::file, control_option},
    {0x800070A0, V::file, invalidate},     {0x800070A1, V::file, visibility},
    {0x800070B0, V::file, move_dir},       {0xC0007045, V::file, real_name},
    {0xC1007049, V::file, dummy_create},   {0xC1007069, V::file, file_hash},
    {0xC1007082, V::file, get_alloc},      {0xC2007072, V::file, parity_alloc},
    {0xC2007073, V::file, parity_data},
};
// clang-format on

}  // namespace

const mdcudfsr_fsctl_binding* mdcudfsr_fsctl_file_controls() { return kBindings; }
std::size_t mdcudfsr_fsctl_file_control_count() { return std::size(kBindings); }

void mdcudfsr_fsctl_install_file_controls(mdcudfsr_fsctl_row* rows, std::size_t count) {
  for (const mdcudfsr_fsctl_binding& b : kBindings)
    for (std::size_t i = 0; i < count; ++i)
      if (rows[i].code == b.code && rows[i].vnode == b.vnode) rows[i].handler = b.handler;
}
