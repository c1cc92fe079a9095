// Checks of the calling process.
#include "kelvnops/mdcudfsr_process.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <strings.h>

bool mdcudfsr_is_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid) {
  return mnt && mnt->privileged_pid != 0 && static_cast<std::int64_t>(pid) == mnt->privileged_pid;
}

bool mdcudfsr_user_layer_block(mdcudfsr_mount*, kel_pid_t pid) {
  char name[128] = {};
  proc_name(pid, name, sizeof name);
  return strcasecmp(name, "KelUserAgent") == 0;
}
