#include "kel/util_sync.h"

namespace Util {

bool CriticalSection::unlock() {
  m_cs.leave();
  return true;
}

bool CriticalSection::lock(DWORD /*timeout*/) {
  m_cs.enter();
  return true;
}

Event::Event(bool initialState, bool manualReset) : m_event(manualReset, initialState) {}

bool Event::unlock() { return setEvent(); }

bool Event::lock(DWORD timeout) { return m_event.wait(timeout) == WAIT_OBJECT_0; }

bool Event::setEvent() {
  m_event.set();
  return true;
}

bool Event::pulseEvent() {
  m_event.pulse();
  return true;
}

bool Event::resetEvent() {
  m_event.reset();
  return true;
}

}  // namespace Util
