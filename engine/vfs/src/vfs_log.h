// Logging shorthands of the volume operations.
#pragma once

#include "kelhost/log.h"

#define VFS_LOG(level, ...) KEL_LOG_AS(__func__, (level), KEL_MOD_CORE, KEL_MARK_NOTE, __VA_ARGS__)
#define VFS_LOGK(level, ...) KEL_LOG_AS(__func__, (level), KEL_MOD_KELC, KEL_MARK_NOTE, __VA_ARGS__)
#define VFS_ENTER() LogTrace(KEL_LOG_DEBG, KEL_MOD_CORE, KEL_MARK_ENTER, __func__, __LINE__, KEL_THREAD_ID())
#define VFS_EXIT(err) \
  KEL_LOG_AS(__func__, KEL_LOG_DEBG, KEL_MOD_CORE, KEL_MARK_EXIT, "err=%d", static_cast<int>(err))
