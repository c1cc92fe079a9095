// Permission conversions between the UNIX and UDF layouts. Needs only the
// host layer's logger.
#include "kelvnops/mdcudfsr_process.h"

#include "vnops_log.h"

std::uint32_t mdcudfsr_perm_unix2udf(std::uint32_t unix_perm) {
  VN_LOG(KEL_LOG_DEBG, "unix_perm=%04o", unix_perm);
  std::uint32_t p = ((unix_perm >> 6) & 7u) << 10 | ((unix_perm >> 3) & 7u) << 5 | (unix_perm & 7u);
  // Write permission brings change-attribute and delete with it.
  if (p & (1u << 11)) p |= 3u << 13;
  if (p & (1u << 6)) p |= 3u << 8;
  if (p & (1u << 1)) p |= 3u << 3;
  VN_LOG(KEL_LOG_DEBG, "UDF perm=%08x\n", p);
  return p;
}

std::uint32_t mdcudfsr_perm_udf2unix(std::uint32_t udf_perm) {
  return ((udf_perm >> 10) & 7u) << 6 | ((udf_perm >> 5) & 7u) << 3 | (udf_perm & 7u);
}
