// The recording stand-ins of standins_i29.cpp: their calls and answers.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace standins_i29 {

struct State {
  std::mutex mutex;
  std::vector<std::string> calls;  // "name arguments..." in call order
  int rename_result = 0;
  int move_result = 0;

  void reset();
  void record(const std::string& call);
  int count(const std::string& prefix);
};
State& state();

}  // namespace standins_i29
