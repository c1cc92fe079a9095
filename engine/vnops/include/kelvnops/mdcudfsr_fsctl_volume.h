// Volume items and settings, and the per-file options of the file-system
// controls: filter notification, creation reservations, file-system
// version, size information, volume label, protection against change,
// process-refusal settings, cache-file state, cartridge status flag, defect
// position, and per file cache invalidation, visibility, directory moves,
// user-agent options. Device and mount information are in
// mdcudfsr_volume_info.h.
#pragma once

#include "kel/mdcfs.h"
#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

#pragma pack(push, 1)
struct MDCFS_FILTER_MOUNT_INFORMATION {
  std::uint32_t MountStatus;
  std::uint32_t WriteProtectReasonFlags;
};
static_assert(sizeof(MDCFS_FILTER_MOUNT_INFORMATION) == 8, "filter mount information is 8 bytes");

struct MDCFS_RESERVE_FILE_CREATION {
  std::uint32_t NumberOfFiles;
  std::uint32_t NumberOfDirectories;
};
static_assert(sizeof(MDCFS_RESERVE_FILE_CREATION) == 8, "reservation record is 8 bytes");

struct MDCFS_VOLUME_FS_VERSION {
  std::uint8_t ClientVersion;  // set by clients, 0 after mount
  std::uint8_t EngineVersion;  // 11
};
static_assert(sizeof(MDCFS_VOLUME_FS_VERSION) == 2, "version record is 2 bytes");

// Volume label in 16-bit units; NameLen in bytes (at most 126).
struct MDCFS_VOLUME_LABEL {
  std::uint16_t Name[64];
  std::uint8_t NameLen;
};
static_assert(sizeof(MDCFS_VOLUME_LABEL) == 129, "volume label record is 129 bytes");

// MDCFSCTL_MOVE_DIRECTORY: the new name, then the destination path.
constexpr std::uint32_t MDCFS_MOVE_NAME_SIZE = 65;
constexpr std::uint32_t MDCFS_MOVE_PATH_BOUND = 976;
#pragma pack(pop)

constexpr std::uint8_t MDCUDFSR_ENGINE_FS_VERSION = 11;
// Write-protect reason of a volume protected from change.
constexpr std::uint32_t MDCUDFSR_WRPROT_PROTECTED = 0x00100000u;
// Value offset, in the 1500h attribute, of the cartridge status byte (one of
// the reserved bytes after the last unique id).
constexpr std::uint32_t MDCUDFSR_CM_SVG_STATUS_AT = 64;

int mdcudfsr_mdcfsctrl_notify_filter_mount_information(mdcudfsr_mount* mnt, MDCFS_FILTER_MOUNT_INFORMATION* rec,
                                                      vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_reserve_file_creation(mdcudfsr_mount* mnt, MDCFS_RESERVE_FILE_CREATION* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_volume_fs_version(mdcudfsr_mount* mnt, MDCFS_VOLUME_FS_VERSION* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_set_volume_fs_version(mdcudfsr_mount* mnt, std::uint8_t* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_statfs_sizeinfo(mdcudfsr_mount* mnt, MDCFS_STATFS_SIZEINFO* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_set_logical_volume_identifier(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_logical_volume_identifier(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec, vfs_context_t ctx);
// The caller's process id comes from the context.
int mdcudfsr_mdcfsctrl_protect_volume_from_change(mdcudfsr_mount* mnt, void* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_disable_qlicon_setting(mdcudfsr_mount* mnt, void* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_prevent_slaccess_setting(mdcudfsr_mount* mnt, void* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_cachefile_state(mdcudfsr_mount* mnt, std::int32_t* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_cartridge_svg_status(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_set_cartridge_svg_status(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_performance(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t ctx);

// File codes.
int mdcudfsr_mdcfsctrl_set_file_control_option(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                               vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_invalidate_cache(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                        vfs_context_t ctx);
// The node cache's service: clears attribute bit 0x20000 when visible is
// non-zero, sets it otherwise; 0.
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node* node, int visible);
// The control: u32 non-zero visible, 0 invisible.
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                           vfs_context_t ctx);
// Record: char[65] new name, then the destination directory's path.
int mdcudfsr_mdcfsctrl_move_directory(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, void* rec, vfs_context_t ctx);
