// Answers of the stand-ins of standins_i26.cpp.
#pragma once

#include <cstdint>

namespace cache_test {
struct DefectStandIns {
  int find_result = 0;   // result of the defect search
  uint32_t move_by = 0;  // the search moves the write address by this many blocks
};
DefectStandIns& defect_standins();
}  // namespace cache_test
