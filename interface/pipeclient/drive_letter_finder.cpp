// The search for the volumes of the host's kernel file system walks the
// drive letters. This platform has none, so no drive is tried and nothing is
// found.
#include "kel/pipe_client.h"

namespace kel {

DWORD CDriveLetterFinder::find() {
  if (!m_searched) {
    m_searched = 1;
    m_roots.clear();
    m_report.clear();
    m_version = 0;
    m_error = ERROR_NOT_FOUND;  // no drive tried, none kept
  }
  return m_roots.empty() ? m_error : ERROR_SUCCESS;
}

}  // namespace kel
