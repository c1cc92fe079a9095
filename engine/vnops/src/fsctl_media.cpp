// The control table's media-side rows: each hands the caller's record to
// its handler.
#include "kelvnops/mdcudfsr_fsctl_media.h"

#include "kel/mdcfs.h"
#include "kelvnops/mdcudfsr_backtrack.h"
#include "kelvnops/mdcudfsr_cm_requests.h"
#include "kelvnops/mdcudfsr_defect_counter.h"
#include "kelvnops/mdcudfsr_new_track.h"
#include "kelvnops/mdcudfsr_range_requests.h"
#include "kelvnops/mdcudfsr_recovery_list.h"
#include "kelvnops/mdcudfsr_track_requests.h"
#include "kelvnops/mdcudfsr_volume_dirty.h"
#include "kelvnops/mdcudfsr_write_policy.h"

#include <cstdint>

namespace {
template <class T>
T* rec(const mdcudfsr_fsctl_call& c) {
  return static_cast<T*>(c.data);
}
}  // namespace

int mdcudfsr_fsctl_sync_drive_cache(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_sync_drive_cache(c.mnt, c.ctx);
}
int mdcudfsr_fsctl_create_new_track(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_create_new_track(c.mnt, c.ctx, 0);
}
int mdcudfsr_fsctl_disable_media_write(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_disable_media_write(c.mnt, c.ctx);
}
int mdcudfsr_fsctl_enable_media_write(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_enable_media_write(c.mnt, c.ctx);
}
int mdcudfsr_fsctl_commit_new_track(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_commit_new_track(c.mnt, c.ctx);
}
int mdcudfsr_fsctl_reset_write_verify_mode(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_reset_write_verify_mode(c.mnt, c.ctx);
}
int mdcudfsr_fsctl_get_defect_report_counter(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_defect_report_counter(c.mnt, c.ctx, rec<std::uint32_t>(c), 0);
}
int mdcudfsr_fsctl_get_volume_set_identify(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_volume_set_identify(c.mnt, c.data);
}
int mdcudfsr_fsctl_get_backtrack_info(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_backtrack_info(c.mnt, c.data, c.ctx);
}
int mdcudfsr_fsctl_get_volume_identify_info(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_volume_identify_info(c.mnt, rec<mdcfs_vol_identify_info>(c), c.ctx);
}
int mdcudfsr_fsctl_get_write_policy_info(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_write_policy_info(c.mnt, rec<MDCFS_WRITE_POLICY_INFORMATION>(c), c.ctx);
}
int mdcudfsr_fsctl_get_disc_usage_info(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_disc_usage_info(c.mnt, rec<MDCFS_DISC_USAGE_INFO>(c), c.ctx);
}
int mdcudfsr_fsctl_mark_volume_dirty(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_mark_volume_dirty(c.mnt, rec<const mdcfs_mark_volume_dirty>(c), c.ctx);
}
int mdcudfsr_fsctl_verify_range(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_verify_range(c.mnt, rec<const MDCFS_SPACE_ENTRY>(c), c.ctx);
}
int mdcudfsr_fsctl_reserve_write_range(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_reserve_write_range(c.mnt, rec<const MDCFS_SPACE_ENTRY>(c), c.ctx);
}
int mdcudfsr_fsctl_write_attribute(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_write_attribute(c.mnt, rec<const MDCFS_ATTRIBUTE_DATA>(c), c.ctx);
}
int mdcudfsr_fsctl_register_recovery_required_file(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_register_recovery_required_file(c.mnt, rec<const std::uint64_t>(c), c.ctx);
}
int mdcudfsr_fsctl_set_write_verify_mode(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_set_write_verify_mode(c.mnt, rec<const std::uint32_t>(c), c.ctx);
}
int mdcudfsr_fsctl_flush_volume_buffers(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_flush_volume_buffers(c.mnt, rec<const std::uint32_t>(c), c.ctx);
}
int mdcudfsr_fsctl_get_volume_track_information(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_volume_track_information(c.mnt, rec<MDCFS_VOLUME_TRACK_INFORMATION>(c), c.ctx);
}
int mdcudfsr_fsctl_scan_range(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_scan_range(c.mnt, rec<mdcfs_scan_range>(c));
}
int mdcudfsr_fsctl_get_volume_track_write_resource_information(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_volume_track_write_resource_information(
      c.mnt, rec<MDCFS_TRACK_WRITE_RESOURCE_INFORMATION>(c), c.ctx);
}
int mdcudfsr_fsctl_get_volume_set_identify_string(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_volume_set_identify_string(c.mnt, rec<mdcfs_volset_identify_string>(c));
}
int mdcudfsr_fsctl_get_recovery_required_file_info(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_recovery_required_file_info(c.mnt, rec<mdcfs_file_name_query>(c));
}
int mdcudfsr_fsctl_enum_attribute(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_enum_attribute(c.mnt, rec<MDCFS_ENUM_ATTRIBUTE>(c), c.ctx);
}
int mdcudfsr_fsctl_get_salvage_file_info_list(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_salvage_file_info_list(c.mnt, rec<mdcfs_salvage_file_info_list>(c));
}
int mdcudfsr_fsctl_get_salvage_filename(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_get_salvage_filename(c.mnt, rec<mdcfs_file_name_query>(c));
}
int mdcudfsr_fsctl_read_attribute(const mdcudfsr_fsctl_call& c) {
  return mdcudfsr_mdcfsctrl_read_attribute(c.mnt, rec<MDCFS_ATTRIBUTE_DATA>(c), c.ctx);
}
