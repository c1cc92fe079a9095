// Progress of a long medium job: percentages reported to a process
// callback, never the same value twice in a row, and a worker that advances
// the percentage by one every 10 seconds (on the process clock) while a long
// step runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace PxoUtilityLib {

// Receiver of progress reports. Kinds: 0 all delete, 2 finalize.
class ProcessCallback {
 public:
  virtual ~ProcessCallback() = default;
  virtual void progress(std::uint8_t percent, std::uint32_t kind) = 0;
};

constexpr std::uint32_t kProgressAllDelete = 0;
constexpr std::uint32_t kProgressFinalize = 2;

class Progress {
 public:
  Progress(ProcessCallback* callback, std::uint32_t kind) : m_callback(callback), m_kind(kind) {}
  virtual ~Progress() { stop(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Reports `from`, then from + 1 .. to - 1, one every 10 seconds, until
  // stopped; `to` itself is never reached by the worker.
  void start(std::uint8_t from, std::uint8_t to);
  // Stops the worker and reports percent.
  void set(std::uint8_t percent);
  // Stops the worker (it wakes at once) and waits for it.
  void stop();

  static constexpr std::uint64_t kStepMs = 10000;

 private:
  void report(std::uint8_t percent);
  void run(std::uint8_t from, std::uint8_t to);

  ProcessCallback* m_callback;
  std::uint32_t m_kind;
  std::mutex m_reportMutex;
  std::uint8_t m_last = 255;
  std::mutex m_stopMutex;
  std::condition_variable m_stopCv;
  bool m_stopping = false;
  std::thread m_worker;
};

}  // namespace PxoUtilityLib
