#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/Buffers.h"
#include "LumoQVE/UserDataFileIO.h"
#include "kel/kel_trace.h"
#include "kel/volctrl.h"

#include <algorithm>
#include <atomic>

namespace LumoQVE {

using AnnulusFileIO::BufferUserData;

namespace {
constexpr std::uint64_t kByteCap = std::uint64_t{512} << 20;
std::atomic<std::uint64_t> g_testCap{0};
}  // namespace

std::uint64_t WriterRingBuffer::byteCap() {
  const std::uint64_t cap = g_testCap.load();
  return cap ? cap : kByteCap;
}

void WriterRingBuffer::setByteCapForTesting(std::uint64_t bytes) { g_testCap.store(bytes); }

WriterRingBuffer::WriterRingBuffer(int count)
    : m_count(count > 0 ? count : 0), m_released(true, true) {
  // The blocks of rings that went are kept for the next ring, as many as
  // one ring may hold.
  AnnulusFileIO::KeptBlocks::setBound(kByteCap);
  for (int i = 0; i < m_count; ++i) m_buffers.push_back(std::make_shared<BufferUserData>());
}

WriterRingBuffer::~WriterRingBuffer() = default;

std::uint32_t WriterRingBuffer::sizeBuffers(std::uint64_t bytes) {
  // One buffer beyond the cap is refused as an allocation the ring cannot make.
  if (bytes > byteCap()) return AnnulusFileIOErrors::QVE_RESULT_ERROR_PARITY;
  const std::uint64_t fit = bytes ? byteCap() / bytes : m_buffers.size();
  if (fit < m_buffers.size()) {
    KelTrace(0, 2, 0, __FILE__, u"LumoQVE::WriterRingBuffer::sizeBuffers", __LINE__,
             u"ring of %d buffers of %llu bytes kept at %llu (byte cap %llu)", m_count,
             static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(fit),
             static_cast<unsigned long long>(byteCap()));
    m_buffers.resize(static_cast<std::size_t>(fit));
    m_count = static_cast<std::int32_t>(fit);
  }
  for (auto& b : m_buffers) {
    try {
      b->resize(bytes);
    } catch (const AnnulusFileIO::PageAllocationError&) {
      return AnnulusFileIOErrors::QVE_RESULT_ERROR_PARITY;
    }
  }
  return 0;
}

std::shared_ptr<BufferUserData> WriterRingBuffer::takeFree() {
  for (auto& b : m_buffers) {
    if (!b->isBusy() && !isHeld(b.get())) {
      m_current = b;
      return b;
    }
  }
  return nullptr;
}

std::shared_ptr<BufferUserData> WriterRingBuffer::getCurrentBuffer() {
  if (m_current) return m_current;
  if (!RuvoCtrlVolume::getNewWrite()) {
    if (auto b = takeFree()) return b;
    KelTrace(0, 1, 0, __FILE__, u"LumoQVE::WriterRingBuffer::getCurrentBuffer", __LINE__,
             u">>> no buffer(old writer)");
    return nullptr;
  }
  for (;;) {
    // Reset before the scan: a buffer given back after the scan sets the
    // event again, so the wait below cannot miss it.
    m_released.resetEvent();
    if (m_waitEnded.load()) return nullptr;
    if (auto b = takeFree()) return b;
    KelTrace(0, 1, 0, __FILE__, u"LumoQVE::WriterRingBuffer::getCurrentBuffer", __LINE__,
             u">>> no buffer(new writer) ");
    KelTrace(0, 1, 0, __FILE__, u"LumoQVE::WriterRingBuffer::getCurrentBuffer", __LINE__,
             u">>> buffer wait start");
    beforeWait();
    m_released.lock(INFINITE);
    KelTrace(0, 1, 0, __FILE__, u"LumoQVE::WriterRingBuffer::getCurrentBuffer", __LINE__,
             u">>> buffer wait end");
  }
}

std::shared_ptr<BufferUserData> WriterRingBuffer::handCurrentToWriter() {
  std::shared_ptr<BufferUserData> b = std::move(m_current);
  m_current.reset();
  if (b) b->setBusy(true);
  return b;
}

void WriterRingBuffer::giveBack(const std::shared_ptr<BufferUserData>& buffer) {
  if (buffer) buffer->clear();
  m_released.setEvent();
}

bool WriterRingBuffer::isHeld(const BufferUserData* buffer) const {
  return std::find(m_held.begin(), m_held.end(), buffer) != m_held.end();
}

void WriterRingBuffer::hold(const std::shared_ptr<BufferUserData>& buffer) {
  if (buffer && !isHeld(buffer.get())) m_held.push_back(buffer.get());
}

void WriterRingBuffer::releaseHeld() {
  m_held.clear();
  m_released.setEvent();
}

bool WriterRingBuffer::allTakenOrHeld() {
  if (m_current) return false;
  return std::all_of(m_buffers.begin(), m_buffers.end(),
                     [this](const std::shared_ptr<BufferUserData>& b) { return b->isBusy() || isHeld(b.get()); });
}

void WriterRingBuffer::endWaiting() {
  m_waitEnded.store(true);
  m_released.setEvent();
}

}  // namespace LumoQVE
