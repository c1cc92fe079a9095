// Log lines of the channels and the cache agent (module KELC). Their texts are
// fixed: tests compare them, misspellings included.
#pragma once

namespace kelagent {
enum AgentLogLevel { kLogErr = 3, kLogWarn = 4, kLogNotice = 5, kLogInfo = 6, kLogDebug = 7 };
void agent_log(int level, const char* func, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// True when the trace category of the channel lines is enabled.
bool agent_trace_on(int category);
}  // namespace kelagent

#define KELC_LOG(level, ...) ::kelagent::agent_log((level), __func__, __LINE__, __VA_ARGS__)
