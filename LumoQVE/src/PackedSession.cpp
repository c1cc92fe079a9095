// The packed session's owner: the session's state, its one end, the open
// gate and the timer thread.
#include "LumoQVE/PackedSession.h"

#include "AnnulusFileIO/Buffers.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "LumoQVE/PackedFileIO.h"
#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "platform/thread_start.h"

namespace LumoQVE {

using AnnulusFileIO::trace;

namespace {

std::shared_ptr<void> makeSession() { return std::make_shared<PackedSession>(); }

}  // namespace

// ---------------------------------------------------------------- session

PackedSession::PackedSession() = default;

PackedSession::~PackedSession() { close(); }

PackedSession* PackedSession::current() {
  CKelInterface* itf = kel::CurrentInterface();
  return itf ? static_cast<PackedSession*>(itf->WriterState(makeSession)) : nullptr;
}

PackedSession::State PackedSession::state() const {
  std::lock_guard<std::mutex> lk(m_mu);
  return m_state;
}

std::shared_ptr<ProxyWriter> PackedSession::proxy() const {
  std::lock_guard<std::mutex> lk(m_mu);
  return m_state == State::Open ? m_proxy : nullptr;
}

std::shared_ptr<ProxyWriter> PackedSession::openOrJoin(bool* opened) {
  std::unique_lock<std::mutex> lk(m_mu);
  m_changed.wait(lk, [&] { return m_state != State::Ending; });
  *opened = false;
  if (m_state == State::Open) return m_proxy;
  if (m_closed) return nullptr;
  m_proxy = std::make_shared<ProxyWriter>();
  m_state = State::Open;
  *opened = true;
  return m_proxy;
}

void PackedSession::discard(const std::shared_ptr<ProxyWriter>& proxy) {
  std::unique_lock<std::mutex> lk(m_mu);
  if (m_state == State::Open && m_proxy == proxy) runEnd(lk, kFlushPartial, false);
}

SessionEnd PackedSession::end(std::uint8_t policy, bool last) {
  std::unique_lock<std::mutex> lk(m_mu);
  if (m_state == State::Ending) return waitForEnd(lk);
  if (m_state == State::Closed) return {};
  return runEnd(lk, policy, true, last);
}

namespace {

std::vector<SessionFile> filesOf(const std::vector<std::shared_ptr<ProxyWriter::GhostFileInformation>>& ghosts) {
  std::vector<SessionFile> out;
  for (const auto& g : ghosts) out.push_back({g->hostPath, g->bodyFileIndex});
  return out;
}

}  // namespace

// Runs the end of the open session on this thread, without the lock; the
// proxy writer goes (its writer thread has stopped) once no one uses it.
// An end that kept the files leaves the session open with them.
SessionEnd PackedSession::runEnd(std::unique_lock<std::mutex>& lk, std::uint8_t policy, bool keep, bool last) {
  std::shared_ptr<ProxyWriter> p = m_proxy;
  m_state = State::Ending;
  lk.unlock();
  p->fsFlushPolicy = policy;
  SessionEnd e;
  e.result = p->cleanup(last);
  e.lostFiles = p->lostFiles();
  e.lost = filesOf(p->lostAnswered());
  if (p->keptOpen()) e.kept = filesOf(p->keptAnswered());
  e.win32 = e.result ? ProxyWriter::win32Of(e.result) : 0;
  lk.lock();
  // A closing session runs its last end next (close), which keeps none.
  const bool open = p->keptOpen();
  if (!open) m_proxy.reset();
  m_state = open ? State::Open : State::Closed;
  m_lastEnd = e;
  // A failure whose files wait is told by the end that writes them or
  // loses them; every other failure waits for the host.
  if (keep && e.failed() && e.kept.empty()) {
    if (m_unreported.result == 0) {
      m_unreported.result = e.result;
      m_unreported.win32 = e.win32;
    }
    m_unreported.lostFiles += e.lostFiles;
    m_unreported.lost.insert(m_unreported.lost.end(), e.lost.begin(), e.lost.end());
  }
  ++m_endsDone;
  m_changed.notify_all();
  lk.unlock();
  p.reset();
  // The blocks the session's files and proxy gave up are kept only while
  // it runs.
  AnnulusFileIO::KeptBlocks::releaseAll();
  return e;
}

SessionEnd PackedSession::waitForEnd(std::unique_lock<std::mutex>& lk) {
  const std::uint64_t done = m_endsDone;
  ++m_waiters;
  m_changed.wait(lk, [&] { return m_endsDone != done; });
  --m_waiters;
  return m_lastEnd;
}

std::uint32_t PackedSession::protocolFlushBuffer(std::uint32_t force, std::uint8_t& policy, std::uint32_t* result) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::protocolFlushBuffer";
  std::shared_ptr<ProxyWriter> p = proxy();
  if (!p) {
    // A forced end that meets the end another thread runs takes its result.
    std::unique_lock<std::mutex> lk(m_mu);
    if (!force || m_state != State::Ending) return 0;
    const SessionEnd e = waitForEnd(lk);
    if (result) *result = e.result;
    return force;
  }
  bool limit = false;
  if (policy == kFlushByLimits) {
    limit = p->limitReached();
    if (limit) trace(1, kMethod, __LINE__, u"the packed session's limits are reached");
  } else {
    p->fsFlushPolicy = policy;
  }
  if (!force && !limit) return 0;
  policy = static_cast<std::uint8_t>(p->fsFlushPolicy.load());
  const SessionEnd e = end(policy);
  if (result) *result = e.result;
  return limit ? 1 : force;
}

SessionEnd PackedSession::takeUnreported() {
  std::lock_guard<std::mutex> lk(m_mu);
  const SessionEnd e = m_unreported;
  m_unreported = {};
  return e;
}

unsigned PackedSession::endWaiters() const {
  std::lock_guard<std::mutex> lk(m_mu);
  return m_waiters;
}

SessionEnd PackedSession::close() {
  m_timer.stop();
  std::unique_lock<std::mutex> lk(m_mu);
  m_closed = true;
  SessionEnd e;
  if (m_state == State::Ending) e = waitForEnd(lk);
  // An end that kept its files left the session open: the last end takes them.
  if (m_state == State::Open) e = runEnd(lk, kFlushClose, true, true);
  if (e.failed())
    trace(2, u"LumoQVE::PackedSession::close", __LINE__, u"the packed session ended with 0x%08X: %u files lost",
          e.result, e.lostFiles);
  return e;
}

// ---------------------------------------------------------------- timer and gate

TimerFlushBuffer::~TimerFlushBuffer() { stop(); }

void TimerFlushBuffer::enterGate() {
  m_openEvent.setEvent();
  ++m_openWaiters;
  m_gate.lock(INFINITE);
  --m_openWaiters;
}

void TimerFlushBuffer::leaveGate() {
  m_openEvent.resetEvent();
  m_gate.setEvent();
}

void TimerFlushBuffer::restart() {
  std::lock_guard<std::mutex> lk(m_threadLock);
  if (m_stopped.load()) return;
  if (m_thread.joinable()) m_thread.join();
  m_started.resetEvent();
  ++m_startedCount;
  m_thread = platform::start_thread([this] { threadFunctionOfCleanUp(); });
  m_started.lock(INFINITE);
}

void TimerFlushBuffer::join() {
  std::lock_guard<std::mutex> lk(m_threadLock);
  if (m_thread.joinable()) m_thread.join();
}

void TimerFlushBuffer::stop() {
  m_stopped = true;
  m_openEvent.setEvent();
  join();
}

bool TimerFlushBuffer::threadFunctionOfCleanUp() {
  static constexpr const char16_t* kMethod = u"LumoQVE::TimerFlushBuffer::threadFunctionOfCleanUp";
  trace(1, kMethod, __LINE__, u"Start");
  m_gate.lock(INFINITE);
  m_timedOut = 0;
  m_started.setEvent();
  for (int i = 0; i < 5; ++i) {
    if (m_openEvent.lock(1000)) {
      trace(1, kMethod, __LINE__, u"End");
      m_gate.setEvent();
      return false;
    }
    ++m_timedOut;
  }
  // The end's failure stays with the session until a Sync or an unmount
  // tells the host.
  std::uint8_t policy = kFlushClose;
  m_session.protocolFlushBuffer(1, policy, nullptr);
  trace(2, kMethod, __LINE__, u"ProxyWriter::protocolFlushBuffer called CLOSE");
  m_gate.setEvent();
  return true;
}

}  // namespace LumoQVE
