// A request interface running over the scripted operation table, as while a
// request is served: kel::CurrentOperations() answers, the settings are at
// their configuration defaults and the engine's record is empty.
#pragma once

#include "interface/support/loop_harness.h"
#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/volctrl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace writertest {

class RunningInterface : public ::testing::Test {
 public:
  template <class T>
  static std::vector<std::uint8_t> bytes(const T& v) {
    std::vector<std::uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
  }

 protected:
  void SetUp() override {
    ASSERT_EQ(itf_.Initialise(&looptest::fakeOperations()), S_OK);
    kel::SetCurrentInterface(&itf_);
    looptest::engine().reset();
  }
  void TearDown() override { kel::SetCurrentInterface(nullptr); }

  static looptest::FakeEngine& engine() { return looptest::engine(); }
  std::vector<std::u16string> traces() {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().log_texts;
  }
  bool traced(const std::u16string& text) {
    for (const auto& t : traces())
      if (t == text) return true;
    return false;
  }
  std::vector<unsigned> fsctlCodes() {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().fsctl_codes;
  }
  looptest::LoopHarness harness_;
  CKelInterface itf_;
};

}  // namespace writertest
