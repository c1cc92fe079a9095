// Log helpers of the UDF code: one engine log line per call.
#pragma once

#include "udf/udf_neighbour_calls.h"

#include <pthread.h>

namespace udf_log {
enum Level : unsigned { EMGN = 0, ALET = 1, CRIT = 2, ERR = 3, WARN = 4, NOTI = 5, INFO = 6, DEBG = 7 };
enum Module : int { FS = 0, DRV = 1, KELC = 10 };
enum Marker : int { ENTRY = 0, EXIT = 1, BOTH = 2, MSG = 3, BLANK = 4 };
inline uint64_t tid() { return static_cast<uint64_t>(pthread_self()); }
}  // namespace udf_log

#define UDF_LOGM(level, module, ...) \
  LogPrint(udf_log::level, udf_log::module, udf_log::MSG, __func__, __LINE__, udf_log::tid(), __VA_ARGS__)
#define UDF_LOG(level, ...) UDF_LOGM(level, FS, __VA_ARGS__)
#define UDF_TRACE_ENTRY() LogTrace(udf_log::INFO, udf_log::FS, udf_log::ENTRY, __func__, __LINE__, udf_log::tid())
#define UDF_TRACE_EXIT_ERR(err)                                                                      \
  LogPrint(udf_log::INFO, udf_log::FS, udf_log::EXIT, __func__, __LINE__, udf_log::tid(), "err=%d\n", \
           static_cast<int>(err))
