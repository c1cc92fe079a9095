// The packed session of one running request interface, and everything that
// orders it: the proxy writer that takes the ghost files, the open gate
// that lets one user-data file be open at a time, the timer thread that
// ends an idle session, and the failures of ended sessions that the host
// has not been told of yet. The request interface owns it: the session and
// its threads end with the interface, never at process exit.
#pragma once

#include "kel/util_sync.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace LumoQVE {

class PackedSession;
class ProxyWriter;

// The flush policy a session's end hands to the volume-dirty control (the
// engine's pending flush policy), and kFlushByLimits: ask
// protocolFlushBuffer to end the session only when its limits are reached.
enum FlushPolicy : std::uint8_t {
  kFlushPostpone = 0,
  kFlushPartial = 1,
  kFlushFull = 2,
  kFlushInitialize = 3,
  kFlushRollback = 4,
  kFlushAllErase = 5,
  kFlushClose = 6,
  kFlushByLimits = 255,
};

// A file of the session as the host knows it: where it is and its
// identity (the engine's object id).
struct SessionFile {
  std::string path;
  std::int64_t id = -1;
  bool operator==(const SessionFile&) const = default;
};

// What the end of a session gave: the first failure among its steps (0:
// none; a writer result code or an engine result), its Win32 code, and the
// files of the session that could not be given their data. Those files are
// removed from the volume (a listing and a Restore show them absent); lost
// names the ones whose archive was answered. An end that failed before its
// data reached the disc keeps the files waiting instead while the writer
// holds their data: kept names them, and the next end writes them.
struct SessionEnd {
  std::uint32_t result = 0;
  std::uint32_t win32 = 0;
  std::uint32_t lostFiles = 0;
  std::vector<SessionFile> lost;
  std::vector<SessionFile> kept;
  bool failed() const { return result != 0 || lostFiles != 0; }
};

// The thread that ends an idle session: started after a failed open while
// a session is open, it holds the open gate and ends the session after five
// seconds (on the process clock) without an open.
class TimerFlushBuffer {
 public:
  explicit TimerFlushBuffer(PackedSession& session) : m_session(session) {}
  // Joins the thread (it ends at once when stop() was called).
  ~TimerFlushBuffer();
  TimerFlushBuffer(const TimerFlushBuffer&) = delete;
  TimerFlushBuffer& operator=(const TimerFlushBuffer&) = delete;

  // The open gate: one user-data file or the waiting timer holds it.
  // enterGate asks a waiting timer to give the gate up and waits for it.
  void enterGate();
  void leaveGate();
  // Opens now waiting for the gate (tests see a second open blocked).
  int openWaiters() const { return m_openWaiters.load(); }

  // Waits for the previous timer thread and starts a new one, which holds
  // the gate when this returns.
  void restart();
  // Waits for the current timer thread to end.
  void join();
  // Ends a waiting timer thread without an end of the session and joins it;
  // no timer starts afterwards.
  void stop();
  bool threadFunctionOfCleanUp();
  // Timer threads started so far, and waits of the last one that ran out.
  unsigned started() const { return m_startedCount.load(); }
  unsigned timedOutWaits() const { return m_timedOut.load(); }

 private:
  PackedSession& m_session;
  Util::Event m_gate{true, false};        // auto-reset, free at first
  Util::Event m_openEvent{false, true};   // manual reset
  Util::Event m_started{false, false};
  std::atomic<int> m_openWaiters{0};
  std::atomic<unsigned> m_startedCount{0};
  std::atomic<unsigned> m_timedOut{0};
  std::atomic<bool> m_stopped{false};
  std::mutex m_threadLock;  // over the thread object
  std::thread m_thread;
};

class PackedSession {
 public:
  // Closed: no session. Open: a proxy writer takes ghost files. Ending: one
  // thread runs the session's end; every other caller that asks for an end
  // waits for it and gets its result, and no session opens meanwhile.
  enum class State { Closed, Open, Ending };

  PackedSession();
  // Stops the timer, ends an open session and stops the writer thread.
  ~PackedSession();
  PackedSession(const PackedSession&) = delete;
  PackedSession& operator=(const PackedSession&) = delete;

  // The session of the running request interface (null without one).
  static PackedSession* current();

  State state() const;
  // The open session's proxy writer (empty unless Open).
  std::shared_ptr<ProxyWriter> proxy() const;
  // The open session's proxy writer, or a new one, with which a session
  // opens (*opened set); waits while a session ends.
  std::shared_ptr<ProxyWriter> openOrJoin(bool* opened);
  // A session whose proxy writer could not be set up ends without counting
  // as a failed end (the file that opened it fails instead).
  void discard(const std::shared_ptr<ProxyWriter>& proxy);

  // Ends the open session with the flush policy given, exactly once: one
  // caller runs the end; whoever asks meanwhile waits and gets its result.
  // No session open: {0}. A failed end that lost files is also kept until
  // a Sync or an unmount takes it (takeUnreported). An end whose data did
  // not reach the disc leaves the session open with its files kept for the
  // next end, unless it is the `last` (the engine's end), which keeps none.
  SessionEnd end(std::uint8_t policy, bool last = false);
  // The proxy writer's decision at a file's close (kFlushByLimits)
  // or a forced end; answers 1 when the session ended (its result in
  // *result), else 0. The policy byte gets the flush policy used.
  std::uint32_t protocolFlushBuffer(std::uint32_t force, std::uint8_t& policy, std::uint32_t* result);
  // The failed ends not yet told to the host, taken: the first failure and
  // the files lost by all of them.
  SessionEnd takeUnreported();
  // Callers waiting for an end that another thread runs (tests).
  unsigned endWaiters() const;

  TimerFlushBuffer& timer() { return m_timer; }

  // The run's end: the timer stops, an open session ends, its writer
  // thread with it; answers that end. A session never opens again.
  SessionEnd close();

 private:
  SessionEnd runEnd(std::unique_lock<std::mutex>& lk, std::uint8_t policy, bool keep, bool last = false);
  SessionEnd waitForEnd(std::unique_lock<std::mutex>& lk);

  mutable std::mutex m_mu;
  std::condition_variable m_changed;
  State m_state = State::Closed;
  bool m_closed = false;
  std::shared_ptr<ProxyWriter> m_proxy;
  std::uint64_t m_endsDone = 0;
  SessionEnd m_lastEnd;
  SessionEnd m_unreported;
  unsigned m_waiters = 0;
  TimerFlushBuffer m_timer{*this};
};

}  // namespace LumoQVE
