// The operator event log.
#include "kelvfs/mdcudfsr_event_log.h"

#include "drive/device_control.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_records.h"
#include "vfs_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>


namespace {

constexpr unsigned kEventCategory = 20;
constexpr int kPathSize = 261;

void append(char* text, std::size_t size, const char* more) {
  if (!text || size == 0) return;
  const std::size_t used = strnlen(text, size - 1);
  std::snprintf(text + used, size - used, "%s", more ? more : "");
}

bool is_short_code(int c) {
  struct Range {
    int lo, hi;
  };
  static const Range kRanges[] = {{0, 0},         {1000, 1000},   {-9999, -9999}, {-3208, -3201}, {-3101, -3101},
                                  {-3012, -3001}, {-2015, -2000}, {-1512, -1500}, {-1412, -1400}, {-1312, -1300},
                                  {-1212, -1200}, {-1112, -1099}, {-1012, -1000}, {-9, -1}};
  for (const auto& r : kRanges)
    if (c >= r.lo && c <= r.hi) return true;
  return false;
}

// The root vnode's path; false (after logging) when it cannot be had.
bool root_path(mdcudfsr_mount* mnt, const char* function, std::string& out) {
  char buf[kPathSize] = {};
  int len = kPathSize;
  const int err = vn_getpath(mnt->root_vnode, buf, &len);
  if (err) {
    KEL_LOG_AS(function, KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE, "err=%d\n", err);
    return false;
  }
  out = buf;
  return true;
}

void write_with_error(mdcudfsr_mount* mnt, std::string text, int code, bool failed) {
  if (failed) {
    char err[80] = {};
    mdcudfsr_log_error_text(err, sizeof err, code);
    text += " ";
    text += err;
  }
  mdcudfsr_print_keludfslog(mnt, failed ? KELUDFS_LOG_FAILED : KELUDFS_LOG_DONE, text.c_str());
}

// The node's path from the volume root: "/" before each name, up to the
// node whose vnode is the root vnode; empty for the root itself.
std::string node_path(mdcudfsr_mount* mnt, const mdcudfsr_cache_node* node) {
  std::string path;
  for (const mdcudfsr_cache_node* n = node; n && n != mnt->root_node && (!n->vp || n->vp != mnt->root_vnode);
       n = mdcudfsr_parent(n))
    path.insert(0, std::string("/") + (n->vfs_name ? n->vfs_name : ""));
  return path;
}

// A file event: verb, "File: ", the root vnode's path and the object's path.
void log_file_event(mdcudfsr_mount* mnt, const char* function, const char* verb, const std::string& path, int code) {
  std::string root;
  if (!root_path(mnt, function, root)) return;
  write_with_error(mnt, std::string(verb) + "File: " + root + path, code, code != 0);
}

}  // namespace

const char* mdcudfsr_media_type_text(std::uint32_t t) {
  switch (t) {
    case 0x53: case 0xE2: return "RE 23GB";
    case 0x57: case 0xE4: return "RE 50GB";
    case 0xD2: case 0xE7: return "R 128GB";
    case 0xE1: return "R 23GB";
    case 0xE3: return "R 50GB";
    case 0xE5: return "R 100GB";
    case 0xE6: return "RE 100GB";
    case 0xF1: return "ADR 300GB";
    case 0xF2: return "ADR 500GB";
    default: return "Unknown";
  }
}

const char* mdcudfsr_mount_status_text(std::uint32_t s) {
  switch (s) {
    case 0: return "The volume is mounted normally.";
    case 0x80000001u: case 0x80000002u: return "Could not mount the volume because an internal error occurred.";
    case 0x80000010u: return "The media is not formatted.";
    case 0x80000020u: return "The media cannot be handled.";
    case 0x80000030u: return "The media cannot be read.";
    case 0x80000100u: return "The volume is not supported.";
    case 0x80000200u: return "The volume cannot be mounted.";
    case 0x80000300u: case 0x80000400u:
      return "Some inconsistency happened in the volume.\nThe volume cannot be recovered.";
    case 0x80000500u: return "Some inconsistency happened in the volume.\nThe volume needs to be recovered.";
    case 0x80010000u: return "The recording format is not supported.";
    case 0x80020000u:
      return "The required file on the volume is corrupt. It is not supported for recovering the volume.";
    case 0x80030000u: return "The required file on the volume is corrupt. The volume cannot be recovered.";
    case 0x80040000u:
      return "The required files on the volume are inconsisted.The volume needs to be recovered.";
    default: return "";
  }
}

const char* mdcudfsr_wrprot_reason_text(std::uint32_t r) {
  static const struct {
    std::uint32_t flag;
    const char* text;
  } kReasons[] = {
      {0x4000, "It is not possible to write because the cartridge memory in the media is broken."},
      {0x400, "It is not possible to write because the write-protect switch on this cartridge is setting."},
      {0x2000, "It is not possible to write because the write-protect setting in the cartridge memory is activated."},
      {0x1, "It is not possible to write because some error occurred in the drive."},
      {0x2, "It is not possible to write because the drive is not supported for write."},
      {0x100, "It is not possible to write because some defect occurred on the media."},
      {0x200, "It is not possible to write because the media is not supported for write."},
      {0x1000, "It is not possible to write because the media has been finalized."},
      {0x20000, "It is not possible to write because the roll-back has been running on the media."},
      {0x40000, "It is not possible to write because of making the drives rec-inhibit."},
      {0x800, "It is not possible to write because the media is worn-out."},
      {0x80000, "Writing to the volume is restricted by the driver software."},
  };
  for (const auto& e : kReasons)
    if (r & e.flag) return e.text;
  return "";
}

void mdcudfsr_print_keludfslog(mdcudfsr_mount* mnt, int kind, const char* message) {
  struct timespec now {};
  nanotime(&now);
  timestamp t{};
  mdcudfsr_timespec2udftime(mnt, &now, &t, 0);
  if (!mdcudfsr_debug_level_check(0, 0, kEventCategory)) return;
  const char* name = (mnt && mnt->volume_name[0]) ? mnt->volume_name : "UNKNOWN";
  char n[17] = {};
  std::strncpy(n, name, 16);
  KEL_LOG_AS("mdcudfsr_print_keludfslog", KEL_LOG_WARN, KEL_MOD_FS, KEL_MARK_NOTE,
             "[%s]{KELUDFS_LOG}[%d]{%04d:%02d:%02d}[%02d:%02d:%02d:%03d.%03d]%s:%s\n", n, kind, t.year, t.month,
             t.day, t.hour, t.minute, t.second, t.centisec, t.hund_usec, n, message ? message : "");
}

void mdcudfsr_log_volume_state_text(char* text, std::size_t size, mdcudfsr_mount* mnt) {
  if (!text || !mnt) return;
  append(text, size, " Media Type: ");
  append(text, size, mdcudfsr_media_type_text(mnt->medium_type));
  append(text, size, " Mount Status: ");
  append(text, size, mdcudfsr_mount_status_text(mnt->mntinfo.MountStatus));
  append(text, size, " Write Operations: ");
  append(text, size, mdcudfsr_wrprot_reason_text(mnt->mntinfo.WriteProtectReasonFlags));
}

void mdcudfsr_log_error_text(char* text, std::size_t size, int code) {
  if (!text) return;
  char buf[64];
  if (is_short_code(code))
    std::snprintf(buf, sizeof buf, "Error: %d", code);
  else
    std::snprintf(buf, sizeof buf, "Error: 0x%08X", static_cast<unsigned>(code));
  append(text, size, buf);
}

void mdcudfsr_log_mount(mdcudfsr_mount* mnt) {
  if (!mnt) return;
  char text[512] = {};
  int kind = KELUDFS_LOG_DONE;
  const auto& mi = mnt->mntinfo;
  if (mi.MountStatus == MNTSTATUS_EMPTY) {
    append(text, sizeof text, "Mounting the volume finished. The media is uninitialized.");
  } else if (mi.AccessMode == 2) {
    append(text, sizeof text, "Mounting the volume failed. It is impossible to access the media.");
    kind = KELUDFS_LOG_FAILED;
  } else if (mi.WriteProtectReasonFlags) {
    const bool ok = mi.MountStatus == 0;
    append(text, sizeof text,
           ok ? "Mounting the volume finished. The media is read only."
              : "Mounting the volume failed. The media is read only.");
    kind = ok ? KELUDFS_LOG_DONE : KELUDFS_LOG_FAILED;
  } else {
    append(text, sizeof text, "Mounting the volume finished.");
  }
  mdcudfsr_log_volume_state_text(text, sizeof text, mnt);
  mdcudfsr_print_keludfslog(mnt, kind, text);
  mnt->mntinfo_prev = mnt->mntinfo;
}

void mdcudfsr_log_state(mdcudfsr_mount* mnt, vfs_context_t) {
  if (!mnt) return;
  char text[512] = "Changing the state of the volume finished.";
  mdcudfsr_log_volume_state_text(text, sizeof text, mnt);
  mdcudfsr_print_keludfslog(mnt, KELUDFS_LOG_STATE, text);
}

void mdcudfsr_log_unmount(mdcudfsr_mount* mnt, int result) {
  if (!mnt) return;
  write_with_error(mnt, result ? "Unmounting the volume failed." : "Unmounting the volume finished. ", result,
                   result != 0);
}

void mdcudfsr_log_rename(mdcudfsr_mount* mnt, int is_rename, const char* old_path, const char* new_path,
                         int code) {
  if (!mnt || !old_path || !new_path) return;
  std::string root;
  if (!root_path(mnt, "mdcudfsr_log_rename", root)) return;
  const bool failed = code != 0;
  std::string text = is_rename ? (failed ? "Changing the filename failed. " : "Changing the filename finished. ")
                               : (failed ? "Moving the file failed. " : "Moving the file finished. ");
  text += "Old file: " + root + old_path + " -> " + "New file: " + root + new_path;
  write_with_error(mnt, text, code, failed);
}

void mdcudfsr_log_label(mdcudfsr_mount* mnt, const char* label, int result, vfs_context_t) {
  if (!mnt || !label) return;
  std::string text = result ? "Changing the volume label failed. -> " : "Changing the volume label finished. -> ";
  write_with_error(mnt, text + label, result, result != 0);
}

void mdcudfsr_log_print(mdcudfsr_mount* mnt, int, int code, void*, const char* format, ...) {
  if (!mnt) {
    KEL_LOG_AS("mdcudfsr_log_print", KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE, "%s\n", "mdcudfsrmp");
    return;
  }
  if (!format) return;
  std::string message(4096, '\0');
  va_list args;
  va_start(args, format);
  std::vsnprintf(message.data(), message.size(), format, args);
  va_end(args);
  message.resize(std::strlen(message.c_str()));
  char err[80] = {};
  mdcudfsr_log_error_text(err, sizeof err, code);
  mdcudfsr_print_keludfslog(mnt, KELUDFS_LOG_FAILED, (message + " " + err).c_str());
}

void mdcudfsr_print_alarmcode(vnode_t devvp, vfs_context_t ctx) {
  if (!devvp) return;
  std::uint8_t rec[12] = {};
  if (VNOP_IOCTL(devvp, PXOIOCMAINTEREADERRORINFO, reinterpret_cast<char*>(rec), 0, ctx)) return;
  if (!rec[0] && !rec[1] && !rec[2] && !rec[3]) return;
  std::uint32_t when = 0;
  std::memcpy(&when, rec + 8, 4);
  KEL_LOG_AS("mdcudfsr_print_alarmcode", KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE,
             "Detect Drive Alarm:%02x-%x%x%x, ErrorLevel=%d, TimeOccurred=%08x\n", rec[0], rec[1], rec[2], rec[3],
             rec[4], when);
}

void mdcudfsr_log_delete(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, int code, int is_file) {
  if (!mnt || !node) return;
  const char* verb = is_file ? (code ? "Deleting the file failed. " : "Deleting the file finished. ")
                             : (code ? "Failed to delete the folder. " : "Deleted the folder. ");
  log_file_event(mnt, "mdcudfsr_log_delete", verb, node_path(mnt, node), code);
}

void mdcudfsr_log_mk_dir(mdcudfsr_mount* mnt, mdcudfsr_cache_node* parent, const char* name, std::size_t name_length,
                         int code) {
  if (!mnt || !parent || !name) return;
  const char* verb = code ? "Failed to create the folder. " : "Created the folder. ";
  log_file_event(mnt, "mdcudfsr_log_mk_dir", verb, node_path(mnt, parent) + "/" + std::string(name, name_length),
                 code);
}
