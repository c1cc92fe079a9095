// Logging of the drive layer (module DRV_).
#pragma once

#include "storage_scsi_deps.h"

namespace drvlog {
enum Level : unsigned {
  EMGN = KEL_LOG_EMGN,
  ALET = KEL_LOG_ALET,
  CRIT = KEL_LOG_CRIT,
  ERR_ = KEL_LOG_ERR,
  WARN = KEL_LOG_WARN,
  NOTI = KEL_LOG_NOTI,
  INFO = KEL_LOG_INFO,
  DEBG = KEL_LOG_DEBG,
};
}  // namespace drvlog

#define DRV_LOG(lvl, ...) KEL_LOG(drvlog::lvl, KEL_MOD_DRV, KEL_MARK_NOTE, __VA_ARGS__)
#define DRV_ENTRY() KEL_TRACE(drvlog::INFO, KEL_MOD_DRV, KEL_MARK_ENTER)
#define DRV_EXIT() KEL_TRACE(drvlog::INFO, KEL_MOD_DRV, KEL_MARK_EXIT)

// Entry and exit trace of a drive-layer function.
class DrvFnTrace {
 public:
  DrvFnTrace(const char* function, int line) : function_(function), line_(line) {
    LogTrace(drvlog::DEBG, KEL_MOD_DRV, KEL_MARK_ENTER, function_, line_, KEL_THREAD_ID());
  }
  ~DrvFnTrace() { LogTrace(drvlog::DEBG, KEL_MOD_DRV, KEL_MARK_EXIT, function_, line_, KEL_THREAD_ID()); }
  DrvFnTrace(const DrvFnTrace&) = delete;
  DrvFnTrace& operator=(const DrvFnTrace&) = delete;

 private:
  const char* function_;
  int line_;
};
#define DRV_TRACE_FN() DrvFnTrace drv_fn_trace_(__PRETTY_FUNCTION__, __LINE__)
