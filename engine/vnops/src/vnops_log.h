// Logging shorthands of the vnode operations.
#pragma once

#include "kelhost/log.h"

#define VN_LOG(level, ...) KEL_LOG_AS(__func__, (level), KEL_MOD_FUSE, KEL_MARK_NOTE, __VA_ARGS__)
#define VN_LOGK(level, ...) KEL_LOG_AS(__func__, (level), KEL_MOD_KELC, KEL_MARK_NOTE, __VA_ARGS__)
