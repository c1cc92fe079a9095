// Handlers of the control table's media-side rows (tracks, discs,
// resources, ranges, verify and drive cache, new tracks, dirty marking and
// volume flushes, write policy, cartridge attributes, recovery and salvage
// lists, backtrack information), in the table's handler form.
#pragma once

#include "kelvnops/mdcudfsr_ioctl.h"

int mdcudfsr_fsctl_sync_drive_cache(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_create_new_track(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_disable_media_write(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_enable_media_write(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_commit_new_track(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_reset_write_verify_mode(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_defect_report_counter(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_volume_set_identify(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_backtrack_info(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_volume_identify_info(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_write_policy_info(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_disc_usage_info(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_mark_volume_dirty(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_verify_range(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_reserve_write_range(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_write_attribute(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_register_recovery_required_file(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_set_write_verify_mode(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_flush_volume_buffers(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_volume_track_information(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_scan_range(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_volume_track_write_resource_information(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_volume_set_identify_string(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_recovery_required_file_info(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_enum_attribute(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_salvage_file_info_list(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_get_salvage_filename(const mdcudfsr_fsctl_call& c);
int mdcudfsr_fsctl_read_attribute(const mdcudfsr_fsctl_call& c);
