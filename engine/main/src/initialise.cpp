// Initialise: pre-mount, medium type, module start and the vnode operations.
#include "kelhost/kern_errno.h"
#include "kelmain/engine_main.h"

#include "drive/client_if.h"
#include "kelagent/fscache_agent.h"
#include "kelhost/log.h"
#include "kelvnops/mdcudfsr_vnops.h"

namespace kelmain {

ProcessState& process_state() {
  static ProcessState state;
  return state;
}

const vnodeopv_entry_desc* engine_vnode_vector() { return mdcudfsr_vnodeop_entries; }

}  // namespace kelmain

extern "C" int Initialise(int argc, char** argv) {
  static const char kFn[] = "int Initialise(int, char**)";
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
    KEL_LOG_AS(kFn, KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE,
               "arguments: <medium cookie>, <filesystem cache directory>");
    return KEL_EINVAL;
  }
  int finalized = 0, write_protected = 0, write_unsupported = 0;
  char devmedia[] = "notused";
  const int premount = premount_operation(argv[1], devmedia, &finalized, &write_protected, &write_unsupported);
  if (premount != 0) return premount;
  kelmain::ProcessState& state = kelmain::process_state();
  state.medium_type = clientif_get_medium_type();
  if (com_tarn_filesystems_mdcudfsr_start() != 0) {
    KEL_LOG_AS(kFn, KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE, "com_tarn_filesystems_mdcudfsr_start err");
    return KEL_ENOMEM;
  }
  state.argc = argc;
  state.argv = argv;
  g_fscache_agent_argc = argc;  // the agent thread reads the count beside the vector
  kel_resolve_vnode_operations(kelmain::engine_vnode_vector(), &kel_vnops);
  return 0;
}
