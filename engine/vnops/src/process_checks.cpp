// Checks of the calling process.
#include "kelvnops/mdcudfsr_process.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "vnops_log.h"

#include <strings.h>

namespace {

// Index of the first name of the list the process is called, or -1.
int match_name(kel_pid_t pid, const char* const* names, int count, bool trace) {
  char name[128] = {};
  proc_name(pid, name, sizeof name);
  if (trace) VN_LOG(KEL_LOG_DEBG, "process is called: %s\n", name);
  for (int i = 0; i < count; ++i) {
    if (strcasecmp(name, names[i]) != 0) continue;
    if (trace) VN_LOG(KEL_LOG_DEBG, "process matches: %d\n", i);
    return i;
  }
  return -1;
}

const char* const kCanReadUdf[] = {"virusbarrierb",    "virusbarriers", "fseventsd", "VShieldScanner",
                                   "VShieldScanManag", "iCoreService",  "kav"};
const char* const kAntiVirus[] = {"virusbarrierb",    "virusbarriers", "VShieldScanner",
                                  "VShieldScanManag", "iCoreService",  "kav"};
const char* const kBlock[] = {"VShieldScanner", "VShieldScanManag", "virusbarrierb", "virusbarriers"};

}  // namespace

bool mdcudfsr_is_process_existing(kel_pid_t pid) {
  VN_LOG(KEL_LOG_DEBG, "pid=%08x", pid);
  proc_t p = proc_find(pid);
  const bool existing = p != nullptr && proc_exiting(p) == 0;
  if (p) proc_rele(p);
  VN_LOG(KEL_LOG_DEBG, "existing=%d\n", existing ? 1 : 0);
  return existing;
}

bool mdcudfsr_is_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid) {
  return mnt && mnt->privileged_pid != 0 && static_cast<std::int64_t>(pid) == mnt->privileged_pid;
}

bool mdcudfsr_check_privileged_access(mdcudfsr_mount* mnt, kel_pid_t pid) {
  if (mnt == nullptr || mnt->privileged_pid == 0) return false;
  if (mdcudfsr_is_process_existing(mnt->privileged_pid) || mnt->privileged_mode == 0)
    return pid == mnt->privileged_pid && mnt->privileged_mode != 0;
  mnt->privileged_mode = 0;
  return false;
}

int mdcudfsr_process_can_read_udf(mdcudfsr_mount*, kel_pid_t pid) {
  return match_name(pid, kCanReadUdf, 7, true) >= 0 ? 1 : 0;
}

bool mdcudfsr_process_anti_virus_check(mdcudfsr_mount*, kel_pid_t pid) {
  return match_name(pid, kAntiVirus, 6, true) >= 0;
}

bool mdcudfsr_process_block(mdcudfsr_mount*, kel_pid_t pid) { return match_name(pid, kBlock, 4, false) >= 0; }

bool mdcudfsr_user_layer_block(mdcudfsr_mount*, kel_pid_t pid) {
  static const char* const kAgent[] = {"KelUserAgent"};
  return match_name(pid, kAgent, 1, false) >= 0;
}
