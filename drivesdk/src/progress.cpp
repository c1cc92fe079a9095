#include "progress.h"

#include "platform/sync.h"
#include "platform/thread_start.h"

namespace PxoUtilityLib {

void Progress::report(std::uint8_t percent) {
  std::lock_guard<std::mutex> g(m_reportMutex);
  if (percent == m_last) return;
  m_last = percent;
  if (m_callback) m_callback->progress(percent, m_kind);
}

void Progress::set(std::uint8_t percent) {
  stop();
  report(percent);
}

void Progress::start(std::uint8_t from, std::uint8_t to) {
  stop();
  report(from);
  {
    std::lock_guard<std::mutex> g(m_stopMutex);
    m_stopping = false;
  }
  m_worker = platform::start_thread([this, from, to] { run(from, to); });
}

void Progress::run(std::uint8_t from, std::uint8_t to) {
  platform::Clock& clock = platform::clock();
  for (unsigned value = from + 1u; value < to; ++value) {
    std::unique_lock<std::mutex> lk(m_stopMutex);
    const std::uint64_t deadline = clock.now_ms() + kStepMs;
    while (!m_stopping && clock.now_ms() < deadline) clock.wait_until(lk, m_stopCv, deadline);
    if (m_stopping) return;
    lk.unlock();
    report(static_cast<std::uint8_t>(value));
  }
}

void Progress::stop() {
  if (!m_worker.joinable()) return;
  {
    std::lock_guard<std::mutex> g(m_stopMutex);
    m_stopping = true;
  }
  m_stopCv.notify_all();
  if (m_worker.get_id() == std::this_thread::get_id()) {
    m_worker.detach();
    return;
  }
  m_worker.join();
}

}  // namespace PxoUtilityLib
