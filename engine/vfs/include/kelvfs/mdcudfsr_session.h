// The integrity session: the integrity descriptor recorded as open while the
// volume changes, and the drive layer and volume filter told of each change.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;

constexpr int MDCUDFSR_SESSION_OPEN = 0x1;
constexpr int MDCUDFSR_SESSION_CLOSE = 0x2;

// Mode bit 0 opens, else bit 1 closes; any other mode does nothing. 30 on a
// read-only mount (unless mount flag 0x10 or flush policy 5), the opening
// failure, a media-resource check error or the mount information's error.
int mdcudfsr_update_session(mdcudfsr_mount* mnt, vfs_context_t ctx, int mode);
// The same; a close answers 0 whatever its descriptor write gave, and a
// published change answers the opening failure.
int mdcudfsr_update_session_Ex(mdcudfsr_mount* mnt, vfs_context_t ctx, int mode);
