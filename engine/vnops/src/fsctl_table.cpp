// The code table of the file-system control dispatcher: each code, the kind
// of vnode it is served on, its pre-check, its lock and its handler. The
// handlers here adapt each control routine to the table's call record.
#include "kelvnops/mdcudfsr_fsctl_allocation.h"
#include "kelvnops/mdcudfsr_fsctl_lists.h"
#include "kelvnops/mdcudfsr_fsctl_media.h"
#include "kelvnops/mdcudfsr_fsctl_parity.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "kelvnops/mdcudfsr_modes.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_volume_info.h"

#include <iterator>

namespace {

using V = mdcudfsr_fsctl_vnode;
using C = mdcudfsr_fsctl_check;
using A = mdcudfsr_fsctl_action;
using Call = mdcudfsr_fsctl_call;

// The modes, the recovery-list clear and the debug code.
int h_register(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_register_privileged_process(c.mnt, c.pid, c.ctx);
}
int h_enter_privileged(const mdcudfsr_fsctl_call& c) { return mdcudfsr_mdcfsctrl_enter_privileged_mode(c.mnt, c.pid); }
int h_exit_privileged(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_exit_privileged_mode(c.mnt, c.pid, c.ctx);
}
int h_enter_exclusive_io(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_enter_exclusive_io_mode(c.mnt, c.pid);
}
int h_exit_exclusive_io(const mdcudfsr_fsctl_call& c) { return mdcudfsr_mdcfsctrl_exit_exclusive_io_mode(c.mnt, c.pid); }
int h_enter_limited(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_enter_limitted_access_mode(c.mnt, c.pid);
}
int h_exit_limited(const mdcudfsr_fsctl_call& c) { return mdcudfsr_mdcfsctrl_exit_limitted_access_mode(c.mnt, c.pid); }
int h_enter_exclusive_allocation(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_enter_exclusive_allocation_mode(c.mnt, c.pid, c.data);
}
int h_exit_exclusive_allocation(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_exit_exclusive_allocation_mode(c.mnt, c.pid, c.data);
}
int h_clear_recovery(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_clear_recovery_required_file(c.mnt, static_cast<const std::uint64_t*>(c.data), c.ctx);
}
int h_debug_nop(const mdcudfsr_fsctl_call& c) { return mdcudfsr_mdcfsctrl_debug_nop(c.mnt, c.data, c.pid); }

// The caller's record as the routine's type.
template <class T>
T* rec(const Call& c) {
  return static_cast<T*>(c.data);
}

// Volume codes with a record of their own.
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
constexpr mdcudfsr_fsctl_row kRows[] = {
    {0x40007063, "MDCFSCTL_GET_STATFS_SIZEINFO", V::any, C::none, A::root_locked, statfs, 0x40207063},
    {0x20007000, "MDCFSCTL_ENTER_PRIVILEGED_MODE", V::volume, C::none, A::none, h_enter_privileged, 0x20007000},
    // Leaving privileged mode may run a pending all-erase, which ends the node
    // cache and the root node with it: the node is unlocked before.
    {0x20007001, "MDCFSCTL_EXIT_PRIVILEGED_MODE", V::volume, C::privileged_access, A::node_released, h_exit_privileged, 0x20007001},
    {0x20007007, "MDCFSCTL_REGISTER_PRIVILEGED_PROCESS", V::volume, C::none, A::none, h_register, 0x20007007},
    {0x20007030, "MDCFSCTL_SYNC_DRIVE_CACHE", V::volume, C::none, A::slot_lock_last, mdcudfsr_fsctl_sync_drive_cache, 0x20007030},
    {0x20007042, "MDCFSCTL_ENTER_EXCLUSIVE_IO_MODE", V::volume, C::none, A::none, h_enter_exclusive_io, 0x20007042},
    {0x20007043, "MDCFSCTL_EXIT_EXCLUSIVE_IO_MODE", V::volume, C::none, A::none, h_exit_exclusive_io, 0x20007043},
    {0x20007044, "MDCFSCTL_CREATE_NEW_TRACK", V::volume, C::none, A::none, mdcudfsr_fsctl_create_new_track, 0x20007044},
    {0x2000704E, "MDCFSCTL_DISABLE_MEDIA_WRITE", V::volume, C::none, A::none, mdcudfsr_fsctl_disable_media_write, 0},
    {0x2000704F, "MDCFSCTL_ENABLE_MEDIA_WRITE", V::volume, C::none, A::none, mdcudfsr_fsctl_enable_media_write, 0},
    {0x20007053, "MDCFSCTL_COMMIT_NEW_TRACK", V::volume, C::none, A::none, mdcudfsr_fsctl_commit_new_track, 0x20007053},
    {0x20007055, "MDCFSCTL_PROTECT_VOLUME_FROM_CHANGE", V::volume, C::none, A::none, protect, 0x20007055},
    {0x2000705B, "MDCFSCTL_ENTER_LIMITTED_ACCESS_MODE", V::volume, C::none, A::none, h_enter_limited, 0},
    {0x2000705C, "MDCFSCTL_EXIT_LIMITTED_ACCESS_MODE", V::volume, C::none, A::none, h_exit_limited, 0},
    {0x2000705F, "MDCFSCTL_RESET_WRITE_VERIFY_MODE", V::volume, C::none, A::slot_lock, mdcudfsr_fsctl_reset_write_verify_mode, 0x2000705F},
    {0x40007002, "MDCFSCTL_ENTER_EXCLUSIVE_ALLOCATION_MODE", V::volume, C::privileged_access, A::none, h_enter_exclusive_allocation, 0},
    {0x40007011, "MDCFSCTL_GET_VOLUME_FS_VERSION", V::volume, C::none, A::none, get_version, 0},
    {0x40007013, "MDCFSCTL_GET_DEVICE_INFORMATION", V::volume, C::none, A::none, device, 0x404C7013},
    {0x40007014, "MDCFSCTL_GET_VOLUME_MOUNT_INFORMATION", V::volume, C::none, A::none, mount_info, 0x40107014},
    {0x40007040, "MDCFSCTL_GET_DEFECT_REPORT_COUNTER", V::volume, C::none, A::none, mdcudfsr_fsctl_get_defect_report_counter, 0x40047040},
    {0x40007046, "MDCFSCTL_GET_VIRTUALFILE_INFO", V::volume, C::none, A::none, virtual_info, 0},
    {0x4000704B, "MDCFSCTL_GET_VOLUME_SET_IDENTIFY", V::volume, C::none, A::none, mdcudfsr_fsctl_get_volume_set_identify, 0},
    {0x4000704D, "MDCFSCTL_GET_BACKTRACK_INFO", V::volume, C::none, A::none, mdcudfsr_fsctl_get_backtrack_info, 0x4008704D},
    {0x40007050, "MDCFSCTL_GET_VOLUME_IDENTIFY_INFO", V::volume, C::none, A::none, mdcudfsr_fsctl_get_volume_identify_info, 0x402C7050},
    {0x40007051, "MDCFSCTL_GET_WRITE_POLICY_INFORMATION", V::volume, C::none, A::none, mdcudfsr_fsctl_get_write_policy_info, 0x40207051},
    {0x40007054, "MDCFSCTL_GET_DISC_USAGE_INFO", V::volume, C::none, A::none, mdcudfsr_fsctl_get_disc_usage_info, 0x40147054},
    {0x40007057, "MDCFSCTL_GET_LAST_FILE_INDEX", V::volume, C::none, A::none, last_index, 0x40087057},
    {0x40007065, "MDCFSCTL_GET_CACHEFILE_STATE", V::volume, C::none, A::none, cachefile, 0},
    {0x4000706D, "MDCFSCTL_GET_CARTRIDGE_SVG_STATUS", V::volume, C::none, A::none, get_svg, 0},
    {0x40007071, "MDCFSCTL_GET_LOGICAL_VOLUME_IDENTIFIER", V::volume, C::none, A::none, get_label, 0},
    {0x80007003, "MDCFSCTL_EXIT_EXCLUSIVE_ALLOCATION_MODE", V::volume, C::privileged_access, A::none, h_exit_exclusive_allocation, 0},
    {0x80007008, "MDCFSCTL_NOTIFY_FILTER_MOUNT_INFORMATION", V::volume, C::none, A::none, notify, 0},
    {0x80007009, "MDCFSCTL_RESERVE_FILE_CREATION", V::volume, C::privileged_access, A::none, reserve, 0x80087009},
    {0x8000700E, "MDCFSCTL_MARK_VOLUME_DIRTY", V::volume, C::privileged_access, A::none, mdcudfsr_fsctl_mark_volume_dirty, 0x8004700E},
    {0x80007012, "MDCFSCTL_SET_VOLUME_FS_VERSION", V::volume, C::privileged_access, A::none, set_version, 0},
    {0x80007032, "MDCFSCTL_VERIFY_RANGE", V::volume, C::none, A::none, mdcudfsr_fsctl_verify_range, 0x800C7032},
    {0x80007033, "MDCFSCTL_RESERVE_WRITE_RANGE", V::volume, C::none, A::none, mdcudfsr_fsctl_reserve_write_range, 0x800C7033},
    {0x80007035, "MDCFSCTL_WRITE_ATTRIBUTE", V::volume, C::none, A::none, mdcudfsr_fsctl_write_attribute, 0x800C7035},
    {0x80007037, "MDCFSCTL_CLEAR_RECOVERY_REQUIRED_FILE", V::volume, C::none, A::none, h_clear_recovery, 0},
    {0x80007038, "MDCFSCTL_REGISTER_RECOVERY_REQUIRED_FILE", V::volume, C::none, A::none, mdcudfsr_fsctl_register_recovery_required_file, 0},
    {0x80007058, "MDCFSCTL_DISABLE_QLICON_SETTING", V::volume, C::none, A::none, qlicon, 0},
    {0x80007059, "MDCFSCTL_PREVENT_SLACCESS_SETTING", V::volume, C::none, A::none, slaccess, 0},
    {0x8000705E, "MDCFSCTL_SET_WRITE_VERIFY_MODE", V::volume, C::none, A::slot_lock, mdcudfsr_fsctl_set_write_verify_mode, 0x8004705E},
    {0x80007061, "MDCFSCTL_REBUILD_FILE_ALLOCATION", V::volume, C::none, A::none, rebuild, 0x80247061},
    {0x80007062, "MDCFSCTL_FLUSH_VOLUME_BUFFERS", V::volume, C::none, A::node_released, mdcudfsr_fsctl_flush_volume_buffers, 0x80047062},
    {0x8000706E, "MDCFSCTL_SET_CARTRIDGE_SVG_STATUS", V::volume, C::none, A::none, set_svg, 0},
    {0x80007070, "MDCFSCTL_SET_LOGICAL_VOLUME_IDENTIFIER", V::volume, C::none, A::none, set_label, 0},
    {0x800070F0, "MDCFSCTL_DEBUG_NOP", V::volume, C::none, A::none, h_debug_nop, 0},
    {0xC0007010, "MDCFSCTL_GET_FILE_COUNT", V::volume, C::none, A::none, file_count, 0xC0087010},
    {0xC0007016, "MDCFSCTL_GET_VOLUME_TRACK_INFORMATION", V::volume, C::none, A::none, mdcudfsr_fsctl_get_volume_track_information, 0xC0107016},
    {0xC0007039, "MDCFSCTL_SCAN_RANGE", V::volume, C::none, A::none, mdcudfsr_fsctl_scan_range, 0},
    {0xC0007041, "MDCFSCTL_GET_VOLUME_TRACK_WRITE_RESOURCE_INFORMATION", V::volume, C::none, A::none, mdcudfsr_fsctl_get_volume_track_write_resource_information, 0xC0107041},
    {0xC0007052, "MDCFSCTL_GET_VOLUME_SET_IDENTIFY_STRING", V::volume, C::none, A::none, mdcudfsr_fsctl_get_volume_set_identify_string, 0},
    {0xC000706A, "MDCFSCTL_GET_PERFORMANCE", V::volume, C::none, A::none, performance, 0xC004706A},
    {0xC1007036, "MDCFSCTL_GET_RECOVERY_REQUIRED_FILE_INFO", V::volume, C::none, A::none, mdcudfsr_fsctl_get_recovery_required_file_info, 0},
    {0xC1007056, "MDCFSCTL_GET_FILE_NODE_LIST", V::volume, C::none, A::node_released, node_list, 0xC1247056},
    {0xC100705A, "MDCFSCTL_ENUM_ATTRIBUTE", V::volume, C::none, A::none, mdcudfsr_fsctl_enum_attribute, 0},
    {0xC100705D, "MDCFSCTL_GET_CHILD_NODE_LIST", V::volume, C::none, A::node_released, child_list, 0},
    {0xC1007068, "MDCFSCTL_GET_HASH_LIST", V::volume, C::none, A::node_released, hash_list, 0},
    {0xC100706B, "MDCFSCTL_GET_SALVAGE_FILE_INFO_LIST", V::volume, C::none, A::none, mdcudfsr_fsctl_get_salvage_file_info_list, 0},
    {0xC100706C, "MDCFSCTL_GET_SALVAGE_FILENAME", V::volume, C::none, A::none, mdcudfsr_fsctl_get_salvage_filename, 0},
    {0xC2007034, "MDCFSCTL_READ_ATTRIBUTE", V::volume, C::none, A::none, mdcudfsr_fsctl_read_attribute, 0},
    {0x2000704A, "MDCFSCTL_DUMMY_CLOSE", V::file, C::none, A::none, dummy_close, 0},
    {0x40007048, "MDCFSCTL_GET_ALT_STREAM_INFO", V::file, C::none, A::none, alt_stream, 0},
    {0x4000704C, "MDCFSCTL_GET_UNIQUE_ID", V::file, C::none, A::none, unique_id, 0},
    {0x40007060, "MDCFSCTL_GET_MASTER_FILE_INDEX", V::file, C::none, A::none, master_index, 0},
    {0x40007081, "MDCFSCTL_QUERY_CUSTOM_FILE_SETTING", V::file, C::none, A::none, query_custom, 0},
    {0x80007047, "MDCFSCTL_SETUP_PARITY", V::file, C::none, A::none, setup_parity, 0x80087047},
    {0x80007066, "MDCFSCTL_ADD_FILE_HASH_INFO", V::file, C::none, A::none, add_hash, 0},
    {0x80007067, "MDCFSCTL_REMOVE_FILE_HASH_INFO", V::file, C::none, A::none, remove_hash, 0},
    {0x8000706F, "MDCFSCTL_DELETE_FILE_ALLOCATION", V::file, C::privileged_access, A::none, delete_alloc, 0x8004706F},
    {0x80007080, "MDCFSCTL_CUSTOMIZE_FILE_SETTING", V::file, C::privileged_access, A::none, customize, 0x800C7080},
    {0x80007083, "MDCFSCTL_ADD_FILE_ALLOCATION", V::file, C::privileged_access, A::none, add_alloc, 0x800C7083},
    {0x80007084, "MDCFSCTL_REPLACE_FILE_ALLOCATION", V::file, C::privileged_access, A::none, replace_alloc, 0},
    {0x80007085, "MDCFSCTL_REALLOCATE_FILE_RANGE", V::file, C::privileged_access, A::none, reallocate, 0x80107085},
    {0x80007086, "MDCFSCTL_SET_FILE_CONTROL_OPTION", V::file, C::none, A::none, control_option, 0x80047086},
    {0x800070A0, "MDCFSCTL_INVALIDATE_CACHE", V::file, C::none, A::none, invalidate, 0},
    {0x800070A1, "MDCFSCTL_SET_FILE_VISIBILITY", V::file, C::privileged_process, A::none, visibility, 0},
    {0x800070B0, "MDCFSCTL_MOVE_DIRECTORY", V::file, C::privileged_process, A::none, move_dir, 0},
    {0x800070F0, "MDCFSCTL_DEBUG_NOP", V::file, C::none, A::none, h_debug_nop, 0},
    {0xC0007045, "MDCFSCTL_GET_REAL_PXOFILENAME", V::file, C::none, A::none, real_name, 0},
    {0xC1007049, "MDCFSCTL_DUMMY_CREATE", V::file, C::none, A::none, dummy_create, 0},
    {0xC1007069, "MDCFSCTL_GET_FILE_HASH_INFO", V::file, C::none, A::none, file_hash, 0},
    {0xC1007082, "MDCFSCTL_GET_FILE_ALLOCATION", V::file, C::none, A::none, get_alloc, 0xC10C7082},
    {0xC2007072, "MDCFSCTL_GET_PARITY_ALLOCATION", V::file, C::none, A::none, parity_alloc, 0},
    {0xC2007073, "MDCFSCTL_GET_PARITY_DATA", V::file, C::none, A::none, parity_data, 0},
};
// clang-format on
static_assert(std::size(kRows) == 86, "the code table has 86 rows");

}  // namespace

const mdcudfsr_fsctl_row* mdcudfsr_fsctl_rows() { return kRows; }
std::size_t mdcudfsr_fsctl_row_count() { return std::size(kRows); }
