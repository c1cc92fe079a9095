// Recording fake of CheckLogLevel / SendDebugStringA / SendDebugStringW.
#pragma once

#include "platform/codepage.h"

#include <mutex>
#include <string>
#include <vector>

namespace fakelog {
struct Line {
  int level;
  bool wide;
  std::string text;     // UTF-8 (converted for wide lines)
  std::u16string wtext; // wide lines as sent
};
// Clears the record; CheckLogLevel accepts levels below threshold.
void reset(int threshold = 8);
std::vector<Line> lines();
std::vector<int> checked();
bool contains(const std::string& needle);
}  // namespace fakelog
