// The recording stand-ins of standins_i29.cpp: their calls and answers.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace standins_i29 {

struct State {
  std::mutex mutex;
  std::vector<std::string> calls;          // "name arguments..." in call order
  std::set<std::int64_t> vanished;         // processes the process checks find gone
  std::set<std::int64_t> children_of_owner;  // children of the limited-access owner
  bool pass_limited = true;                // the limited-access pass's answer
  int reset_verify_result = 0;
  int rename_result = 0;
  int move_result = 0;

  void reset();
  void record(const std::string& call);
  std::vector<std::string> taken();  // the calls so far, cleared
  int count(const std::string& prefix);
  bool alive(std::int64_t pid);
};
State& state();

}  // namespace standins_i29
