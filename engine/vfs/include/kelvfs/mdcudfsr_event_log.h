// The operator event log: one fixed-layout line per user-visible volume event.
#pragma once

#include "kelhost/kern_types.h"

#include <cstddef>
#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

enum : int { KELUDFS_LOG_DONE = 1, KELUDFS_LOG_STATE = 2, KELUDFS_LOG_FAILED = 3 };

constexpr std::uint32_t KELUDFS_ERR_MKDIR = 0x8A000001u;
constexpr std::uint32_t KELUDFS_ERR_RMDIR = 0x8A000002u;
constexpr std::uint32_t KELUDFS_ERR_RENAME = 0x8A000003u;
constexpr std::uint32_t KELUDFS_ERR_REMOVE = 0x8A000004u;
constexpr std::uint32_t KELUDFS_ERR_SETATTR = 0x8A000005u;

void mdcudfsr_print_keludfslog(mdcudfsr_mount* mnt, int kind, const char* message);
// Append to a text buffer of `size` bytes.
void mdcudfsr_log_volume_state_text(char* text, std::size_t size, mdcudfsr_mount* mnt);
void mdcudfsr_log_error_text(char* text, std::size_t size, int code);
void mdcudfsr_log_mount(mdcudfsr_mount* mnt);
void mdcudfsr_log_state(mdcudfsr_mount* mnt, vfs_context_t ctx);
void mdcudfsr_log_unmount(mdcudfsr_mount* mnt, int result);
// Deletion of a file (is_file 1) or a folder; creation of a folder in `parent`.
void mdcudfsr_log_delete(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, int code, int is_file);
void mdcudfsr_log_mk_dir(mdcudfsr_mount* mnt, mdcudfsr_cache_node* parent, const char* name, std::size_t name_length,
                         int code);
void mdcudfsr_log_rename(mdcudfsr_mount* mnt, int is_rename, const char* old_path, const char* new_path, int code);
void mdcudfsr_log_label(mdcudfsr_mount* mnt, const char* label, int result, vfs_context_t ctx);
void mdcudfsr_log_print(mdcudfsr_mount* mnt, int kind, int code, void* node, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void mdcudfsr_print_alarmcode(vnode_t devvp, vfs_context_t ctx);
// The texts of the medium type, mount status and first write-protect reason ("" when none).
const char* mdcudfsr_media_type_text(std::uint32_t medium_type);
const char* mdcudfsr_mount_status_text(std::uint32_t mount_status);
const char* mdcudfsr_wrprot_reason_text(std::uint32_t reasons);
