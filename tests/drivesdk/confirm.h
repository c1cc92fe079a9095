// The answer a test gives the drive utility library's format and all-delete
// questions, with every value it was asked about.
#pragma once

#include "KelDriveSDK/KelDriveSDK.h"

#include <cstdint>
#include <vector>

namespace sdktest {

struct Confirm : kelutil::FormatCallback {
  bool answer = true;
  std::vector<std::uint32_t> asked;
  bool progress(std::uint32_t value) override {
    asked.push_back(value);
    return answer;
  }
};

}  // namespace sdktest
