// Track, disc and OPC information of the loaded disc, with the rewritable
// variants that answer from the mount's own state.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>
#include <functional>

struct mdcudfsr_mount;

// Cache-check selectors of the loading rule.
enum : std::uint8_t {
  INFO_DISC_STATUS = 0,
  INFO_DEFECT_RESOURCES = 2,
  INFO_TRACK = 3,
  INFO_OPC = 8,
};

// Any output may be null. ro_on_failure: a failed request or a damaged
// track 1 switches the mount to read-only and answers 30.
int mdcudfsr_read_track_information(mdcudfsr_mount* mnt, int track, uint32_t* nwa, uint32_t* free_blocks,
                                    int32_t* size, vfs_context_t ctx, int ro_on_failure);
int mdcudfsr_read_disc_information(vnode_t devvp, int32_t* disc_status, int32_t* tracks,
                                   uint32_t* remaining_map_entries, uint32_t* remaining_updates, vfs_context_t ctx);
int mdcudfsr_read_format_capacity(mdcudfsr_mount* mnt, uint8_t* reply12, vfs_context_t ctx);
int mdcudfsr_get_opc_resource_count(vnode_t devvp, uint16_t* count, vfs_context_t ctx);
int mdcudfsr_start_stop_unit(vnode_t devvp, uint8_t operation, vfs_context_t ctx);
int mdcudfsr_close_track_session(vnode_t devvp);
int mdcudfsr_read_track_information_re(mdcudfsr_mount* mnt, int track, uint32_t* nwa, uint32_t* free_blocks,
                                       int32_t* size);
int mdcudfsr_read_disc_information_re(mdcudfsr_mount* mnt, vnode_t devvp, int32_t* disc_status, int32_t* tracks,
                                      int32_t* remaining_map_entries, int32_t* remaining_updates);
int mdcudfsr_get_opc_resource_count_re(mdcudfsr_mount* mnt, vnode_t devvp, uint16_t* count, vfs_context_t ctx);
int mdcudfsr_get_adtype_from_zoneid(mdcudfsr_mount* mnt, uint32_t zone_id, int32_t* type);
// True for the rewritable medium set {53h, 57h, C3h, D3h, E2h, E4h, E6h, E8h}.
bool mdcudfsr_is_rewritable_medium(uint32_t medium_type);

// The loading rule: on write-once media, when the drive layer does not hold
// the information of `selector` for the loaded disc, the last written slot is
// loaded under the slot lock and `ask` runs under the same lock. The load's
// error, or the answer of `ask`.
int mdcudfsr_ask_loaded(mdcudfsr_mount* mnt, uint8_t selector, vfs_context_t ctx, int on_mount,
                        const std::function<int()>& ask);
