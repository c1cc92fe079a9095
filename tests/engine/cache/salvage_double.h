// The EFE cache file's test double (see salvage_double.cpp).
#pragma once

#include <cstdint>
#include <vector>

namespace cache_test {
struct EfeDouble {
  static constexpr std::int32_t kHandle = 900;
  bool active = false;
  std::vector<std::uint8_t> bytes;  // the whole file
  int opened = 0, closed = 0;
};
EfeDouble& efe_double();
}  // namespace cache_test
