// Stand-in declarations of the interface library's logging calls, used only
// while the interface library's own header is not in the tree. The calls
// themselves come from the interface library (or, in tests, from the
// recording fake in support_fake_log.cpp).
#pragma once

#include "platform/win32.h"

bool CheckLogLevel(int level);
void SendDebugStringA(int level, const char* text);
void SendDebugStringW(int level, const WCHAR* text);
