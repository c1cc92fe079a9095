// The engine program's start: Initialise, the module start and stop of the
// file-system engine, and the process-wide state they keep for the
// operation-table slots.
#pragma once

#include "kelhost/kern.h"
#include "kelhost/kern_types.h"
#include "kelhost/vnode.h"

#include <cstdint>

// Prepares the drive layer and the file-system module before the request
// loop: pre-mount of the medium in argv[1], the medium type, the module
// start, the argument vector, the vnode operations. Starts no thread and
// mounts nothing. 0; 22 with fewer than two arguments; the drive layer's
// pre-mount result unchanged; 12 when the module does not start.
extern "C" int Initialise(int argc, char** argv);

// Module start and stop of the file-system engine: 0 or 5.
int com_tarn_filesystems_mdcudfsr_start();
int com_tarn_filesystems_mdcudfsr_stop();

namespace kelmain {

// Process-wide state set by Initialise and the module start.
struct ProcessState {
  int argc = 0;
  char** argv = nullptr;  // handed to every cache-agent thread
  std::uint8_t medium_type = 0;
  bool module_started = false;
  OSMallocTag malloc_tag = nullptr;
  lck_grp_attr_t* lock_group_attr = nullptr;
  lck_grp_t* lock_group = nullptr;
};
ProcessState& process_state();

// The engine's vnode-operation vector (pairs ended by a null descriptor).
const vnodeopv_entry_desc* engine_vnode_vector();


// The steps of the module start, for tests that make one of them fail:
// each returns 0 or an errno-style value.
struct ModuleStartSteps {
  int (*vfamdev_init)();
  int (*metacache_init)();
  int (*register_file_system)();
};
ModuleStartSteps& module_start_steps();

}  // namespace kelmain
