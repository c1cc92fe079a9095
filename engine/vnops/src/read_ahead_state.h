// The open and close side of the process-wide read-ahead: which file it
// serves, and the second file opened for reading while that one is served.
#pragma once

#include "vnop_frame.h"

// After a successful open: a plain file opened for reading only becomes the
// served file when none is served; the next one is noted as the second
// opener. Other opens leave the read-ahead as it is.
void vn_read_ahead_open(vn_frame& f, int mode);
// Closing the served file ends its read-ahead.
void vn_read_ahead_close(vnode_t vp);
