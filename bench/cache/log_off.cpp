// The logger's sink with every level off: the benchmarks time the node
// cache, not the log lines.
extern "C" bool CheckLogLevel(int) { return false; }
extern "C" void SendDebugStringA(int, const char*) {}
extern "C" void SendDebugStringW(int, const char16_t*) {}
