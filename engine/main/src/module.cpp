// Module start and stop of the file-system engine.
#include "kelagent/mdc_channel.h"
#include "kelhost/kern_errno.h"
#include "kelmain/engine_main.h"

#include "kelhost/log.h"

namespace kelmain {
namespace {

// What the module start hands to the file-system registration.
struct FileSystemEntry {
  const char* name;
  const vnodeopv_entry_desc* vector;
};
FileSystemEntry g_entry{"keludf", nullptr};
void* g_registration = nullptr;

int register_file_system() {
  g_entry.vector = engine_vnode_vector();
  return vfs_fsadd(&g_entry, &g_registration);
}

constexpr char kStartFn[] = "int com_tarn_filesystems_mdcudfsr_start()";
constexpr char kStopFn[] = "int com_tarn_filesystems_mdcudfsr_stop()";

void trace_step(const char* function) { LogTrace(KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_ENTER, function, __LINE__, KEL_THREAD_ID()); }

int init_malloc_tags() {
  trace_step("int mdcudfsr_init_malloc_tags()");
  ProcessState& s = process_state();
  s.malloc_tag = OSMalloc_Tagalloc("com.tarn.filesystems.keludf", 0);
  if (s.malloc_tag == nullptr) {
    KEL_LOG_AS("int mdcudfsr_init_malloc_tags()", KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE,
               "Fail to alloc OSMalloc tag\n");
    return KEL_EIO;
  }
  return 0;
}

void term_malloc_tags() {
  ProcessState& s = process_state();
  if (s.malloc_tag == nullptr) return;
  KEL_LOG_AS("void mdcudfsr_term_malloc_tags()", KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_NOTE, "Release OSMalloc tag\n");
  OSMalloc_Tagfree(s.malloc_tag);
  s.malloc_tag = nullptr;
}

int init_lock_groups() {
  trace_step("int mdcudfsr_init_lock_grps()");
  ProcessState& s = process_state();
  s.lock_group_attr = lck_grp_attr_alloc_init();
  s.lock_group = lck_grp_alloc_init("com.tarn.filesystems.keludf", s.lock_group_attr);
  return s.lock_group == nullptr ? KEL_EIO : 0;
}

void term_lock_groups() {
  ProcessState& s = process_state();
  if (s.lock_group != nullptr) lck_grp_free(s.lock_group);
  if (s.lock_group_attr != nullptr) lck_grp_attr_free(s.lock_group_attr);
  s.lock_group = nullptr;
  s.lock_group_attr = nullptr;
}

// Starts the two channels, then registers the file system; the first
// non-zero result.
int start_channels_and_register() {
  ModuleStartSteps& steps = module_start_steps();
  for (int (*step)() : {steps.vfamdev_init, steps.metacache_init}) {
    const int err = step();
    if (err != 0) {
      KEL_LOG_AS(kStartFn, KEL_LOG_ERR, KEL_MOD_KELC, KEL_MARK_NOTE, "err=%d\n", err);
      return err;
    }
  }
  return steps.register_file_system();
}

}  // namespace

ModuleStartSteps& module_start_steps() {
  static ModuleStartSteps steps{mdcudfsr_vfamdev_init, mdcudfsr_metacache_init, register_file_system};
  return steps;
}

}  // namespace kelmain

using namespace kelmain;

int com_tarn_filesystems_mdcudfsr_start() {
  if (init_malloc_tags() != 0) return KEL_EIO;
  if (init_lock_groups() != 0) {
    term_lock_groups();
    term_malloc_tags();
    return KEL_EIO;
  }
  trace_step("void mdcudfsr_debug_level_init()");
  mdcudfsr_debug_level_init();
  trace_step("int mdcudfsr_debug_malloc_init()");
  mdcudfsr_debug_malloc_init();
  const int err = start_channels_and_register();
  if (err != 0) {
    KEL_LOG_AS(kStartFn, KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE, "vfs_fsadd is failed.(%d)\n", err);
    mdcudfsr_vfamdev_term();
    mdcudfsr_metacache_term();
    mdcudfsr_debug_malloc_term();
    term_lock_groups();
    term_malloc_tags();
    return KEL_EIO;
  }
  process_state().module_started = true;
  return 0;
}

// Undoes the start. The metacache channel, which the start opens, is closed
// here too.
int com_tarn_filesystems_mdcudfsr_stop() {
  ProcessState& s = process_state();
  if (s.module_started) {
    const int err = vfs_fsremove(g_registration);
    if (err != 0) {
      KEL_LOG_AS(kStopFn, KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE, "vfs_fsremove is failed.(%d)\n", err);
      return KEL_EIO;
    }
    g_registration = nullptr;
  }
  mdcudfsr_vfamdev_term();
  mdcudfsr_metacache_term();
  mdcudfsr_debug_malloc_term();
  term_lock_groups();
  term_malloc_tags();
  s.module_started = false;
  return 0;
}
