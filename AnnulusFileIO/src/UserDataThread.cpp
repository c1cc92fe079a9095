// The writer thread of the low-level user-data writer: construction, setup,
// the three messages, the parity split and the producer-side calls.
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "LumoQVE/UserDataFileIO.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace AnnulusFileIO {

using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

constexpr const char16_t* kCtor = u"AnnulusFileIO::UserDataFileIOImpl::UserDataFileIOImpl";
constexpr const char16_t* kRun = u"AnnulusFileIO::UserDataFileIOImpl::UserDataThreadMsgWrite::run";

std::uint32_t symbolBytes() {
  const auto& p = kel::WriterParityConstants();
  return static_cast<std::uint32_t>(p.BlocksPerSymbol) * WriterBase::kBlockBytes;
}

}  // namespace

std::uint64_t UserDataFileIOImpl::rubBytes() { return symbolBytes(); }

UserDataFileIOImpl::UserDataThreadMsgWrite::UserDataThreadMsgWrite(std::shared_ptr<BufferUserData> data,
                                                                   Util::CalcParity* parity)
    : UserDataThreadMsg(UD_WRITE_REQ),
      m_data(std::move(data)),
      m_isWhenClose(m_data->m_isWhenClose),
      m_parity(parity),
      m_vecBodySize{m_data->used()} {}

void UserDataFileIOImpl::UserDataThreadMsgWrite::run() {
  try {
    Util::CalcParity& p = *m_parity;
    const std::uint64_t size = m_data->used();
    std::uint64_t offset = 0;
    std::size_t piece = 0;
    for (;;) {
      std::size_t divided = 0;
      trace(1, kRun, __LINE__, u"[####]parity_->addDataSymbol(dataSymbol_=0x%08x, dataSymbolSize_=%d)",
            static_cast<const void*>(m_data->data() + offset), size - offset);
      const bool complete = p.addDataSymbol(m_data->data() + offset, size - offset, divided);
      trace(1, kRun, __LINE__,
            u"[####]parity_->addDataSymbol(result dividedPosition=%d), parity_complete=%d, isWhenClose_=%d",
            divided, complete, m_isWhenClose);
      if (!complete && !m_isWhenClose) return;
      // The parity of the stripe: a complete one, or the file's partial last
      // sized to its data as the packed writer sizes it.
      const std::uint32_t parity_size = complete ? p.m_parityBytes : p.m_hasData ? p.partialParityBytes() : 0;
      trace(1, kRun, __LINE__, u"[####]parity_->getParity(result paritySymbolSize=%d)", parity_size);
      if (parity_size == 0) return;
      trace(1, kRun, __LINE__, u"parity data exist! : paritySymbolSize=0x%08X", parity_size);
      m_vecParity.push_back(std::make_shared<BufferUserData>(p.m_parity, parity_size));
      if (m_vecParity.back()->used() != parity_size) throw PageAllocationError();
      p.swapBuffers();
      p.m_stripeComplete = 0;
      p.m_hasData = 0;
      p.m_taken = 1;
      if (!complete || offset + divided >= size) {
        trace(1, kRun, __LINE__, u"[####] break");
        return;
      }
      trace(1, kRun, __LINE__,
            u"sub body data exist! : dividedPosition=0x%08X < data_->getDataSize()=0x%08X-offset=0x%08X",
            divided, size, offset);
      m_vecBodySize[piece] = divided;
      ++piece;
      offset += divided;
      m_vecBodySize.push_back(size - offset);
      // The rest is folded again from a clean stripe.
      p.reset();
    }
  } catch (const std::exception& e) {
    trace(2, kRun, __LINE__, u"exception what=%hs", e.what());
    m_parityError = true;
  } catch (...) {
    trace(2, kRun, __LINE__, u"exception");
    m_parityError = true;
  }
}

UserDataFileIOImpl::UserDataFileIOImpl(const std::u16string& volume_root, std::uint32_t mode,
                                       std::shared_ptr<OBase> obase)
    : m_volumeRootPath(volume_root),
      m_pWriteBuffer(std::make_shared<BufferUserData>()),
      m_parity(static_cast<std::uint32_t>(kel::WriterParityConstants().TotalSymbols),
               static_cast<std::uint32_t>(kel::WriterParityConstants().DataSymbols), symbolBytes()),
      m_obase(std::move(obase)),
      m_mode(mode) {
  m_errorReceiver = this;
  const auto& p = kel::WriterParityConstants();
  trace(1, kCtor, __LINE__, u"[####CONSTRUCTOR####]PARITY_TOTALSYMBOLS=%lu", p.TotalSymbols);
  trace(1, kCtor, __LINE__, u"[####CONSTRUCTOR####]PARITY_PARITYSYMBOLS=%lu", p.ParitySymbols);
  trace(1, kCtor, __LINE__, u"[####CONSTRUCTOR####]PARITY_DATASYMBOLS=%lu", p.DataSymbols);
  trace(1, kCtor, __LINE__, u"[####CONSTRUCTOR####]PARITY_PARITYSYMBOLS_BYTES=%lu", p.ParitySymbolsBytes);
  trace(1, kCtor, __LINE__, u"[####CONSTRUCTOR####]PARITY_DATASYMBOLS_BYTES=%lu", p.DataSymbolsBytes);
  trace(1, kCtor, __LINE__, u"[####CONSTRUCTOR####]USBManager::getBlockNumOfRub()=%lu", p.BlocksPerSymbol);
  trace(1, kCtor, __LINE__, u"[####CONSTRUCTOR####]USBManager::getBlockSizeBytes()=%lu", kBlockBytes);
}

UserDataFileIOImpl::~UserDataFileIOImpl() {
  waitForWriterThreadExit();
  clearQueues();
  m_currentWriteController.reset();
}

std::uint32_t UserDataFileIOImpl::setup(std::uint64_t max_annulus_bytes) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::setup";
  m_maxAnnulusSizeBytes = max_annulus_bytes;
  try {
    m_pWriteBuffer->resize(max_annulus_bytes);
  } catch (const PageAllocationError&) {
    return QVE_RESULT_ERROR_PARITY;
  }
  m_volumePath = m_volumeRootPath;
  m_volume->setHandle(0);
  m_usbManager = std::make_shared<USBManagerR>(m_volume);
  const bool r_media = RuvoCtrlVolume::isRMedia();
  if (std::uint32_t r = m_usbManager->setFreeSpaceInfo(
          {8608, 15, r_media ? RuvoCtrlVolume::getDiscFullMarginBlocks() : 0u,
           r_media ? RuvoCtrlVolume::getDiscFullMarginBlocksForLastDisc() : 0u}))
    return r;
  if (RuvoCtrlVolume::getDiscSpanThld() != 0)
    m_usbManager->setDiscMarginBlocksFromDiscSpanThld(RuvoCtrlVolume::getDiscSpanThld());
  if (r_media) {
    unsigned long long capacity = 0, free = 0;
    if (RuvoCtrlVolume::getDiskFreeSpace(m_volumeRootPath, capacity, free, false) != 0)
      return QVE_RESULT_ERROR_VOLUME_QUERY;
    trace(1, kMethod, __LINE__, u"mediaCapacity=%llu freeSpace=%llu", capacity, free);
    if (free == 0) {
      trace(2, kMethod, __LINE__, u"ERROR : Disc Full");
      return QVE_RESULT_ERROR_DISC_FULL;
    }
  }
  std::uint32_t counter = 0;
  if (m_volume->getDefectReportCounter(counter)) m_usbManager->setLastDefectCounter(counter);
  if (m_mode == 2) return 0;
  const std::uint32_t buffers = RuvoCtrlVolume::getBufferNum();
  const std::uint32_t keep = RuvoCtrlVolume::getNewWrite() ? 1 : 2;
  setQueueMax(buffers > keep ? buffers - keep : 1);
  // Without a thread the buffers are written on the caller's thread.
  m_threadRunning = beginThread(nullptr, 0, nullptr, 0);
  if (!m_threadRunning) trace(2, kMethod, __LINE__, u"writer thread not started, writing inline");
  return 0;
}

unsigned UserDataFileIOImpl::threadFunction(void*) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::threadFunction";
  trace(1, kMethod, __LINE__, u"+---- UserDataThread start ----+");
  for (;;) {
    void* front = nullptr;
    if (!waitPeekMessage(front, INFINITE)) break;
    auto* message = static_cast<UserDataThreadMsg*>(front);
    const bool exit = execThreadRequest(message);
    message->release();
    // Removed only now: the message being handled counts against the limit.
    void* done = nullptr;
    waitMessage(done, 0);
    if (exit) break;
  }
  trace(1, kMethod, __LINE__, u"+---- UserDataThread end ----+");
  return 0;
}

bool UserDataFileIOImpl::execThreadRequest(UserDataThreadMsg* message) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::execThreadRequest";
  bool exit = false;
  switch (message->m_kind) {
    case UD_WRITE_REQ: {
      auto& m = *static_cast<UserDataThreadMsgWrite*>(message);
      trace(1, kMethod, __LINE__, u"UserDataThreadMsg::UD_WRITE_REQ");
      if (const std::uint32_t e = lastError()) {
        trace(2, kMethod, __LINE__, u"UD_WRITE_REQ: already error exist 0x%08X", e);
        giveBack(m.m_data);
        break;
      }
      trace(1, kMethod, __LINE__, u"writeImpl start");
      const std::uint32_t r = writeImpl(m);
      // A buffer no controller took (an early failure) goes back too.
      giveBack(m.m_data);
      trace(1, kMethod, __LINE__, u"writeImpl end");
      if (r != 0) setLastManagerError(r, __FILE__, __LINE__);
      ++m_handledWrites;
      break;
    }
    case UD_SYNCHRONIZE_REQ: {
      auto& m = *static_cast<UserDataThreadMsgSynchronize*>(message);
      trace(1, kMethod, __LINE__, u"UserDataThreadMsg::UD_SYNCHRONIZE_REQ");
      m.m_result = lastError();
      m.m_done.setEvent();
      break;
    }
    case UD_EXIT_REQ:
      trace(1, kMethod, __LINE__, u"UserDataThreadMsg::UD_EXIT_REQ");
      exit = true;
      break;
    default:
      trace(4, kMethod, __LINE__, u"execThreadRequest() unknown message !");
  }
  trace(1, kMethod, __LINE__, u"execThreadRequest() complete. is_exit=%d", exit);
  return exit;
}

void UserDataFileIOImpl::postMessage(UserDataThreadMsg* message) {
  if (m_threadRunning) {
    m_posting = true;
    const bool posted = postThreadMessage(message);
    m_posting = false;
    if (posted) return;
  }
  execThreadRequest(message);
  message->release();
}

std::uint32_t UserDataFileIOImpl::write(const std::shared_ptr<BufferUserData>& data,
                                        LumoQVE::WriterRingBuffer* ring) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::write";
  m_ringLock.lock();
  m_ring = ring;
  m_ringLock.unlock();
  data->setBusy(true);
  auto* message = new UserDataThreadMsgWrite(data, &m_parity);
  // The parity split runs on this thread: the buffer is queued only after
  // the parity of its stripes is known.
  if (m_pParityFile) message->run();
  trace(1, kMethod, __LINE__, u"Post UserDataThreadMsgWrite");
  postMessage(message);
  return 0;
}

std::uint32_t UserDataFileIOImpl::writeSynchronize() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::writeSynchronize";
  auto* message = new UserDataThreadMsgSynchronize();
  message->addRef();
  trace(1, kMethod, __LINE__, u"Post UserDataThreadMsgSynchronize");
  postMessage(message);
  message->m_done.lock(INFINITE);
  const std::uint32_t result = message->m_result;
  message->release();
  trace(1, kMethod, __LINE__, u"writeSynchronize() result=0x%08X", result);
  return result;
}

void UserDataFileIOImpl::waitForWriterThreadExit() {
  if (!m_threadRunning) return;
  trace(1, u"AnnulusFileIO::UserDataFileIOImpl::waitForWriterThreadExit", __LINE__,
        u"Post UserDataThreadMsgExitReq");
  postMessage(new UserDataThreadMsgExitReq());
  waitForEndThread(INFINITE);
  m_threadRunning = false;
}

void UserDataFileIOImpl::detachRing() {
  m_ringLock.lock();
  m_ring = nullptr;
  m_ringLock.unlock();
}

std::uint32_t UserDataFileIOImpl::lastError() { return lastRecordedError().code; }

RecordedError UserDataFileIOImpl::lastRecordedError() {
  m_errorLock.lock();
  const RecordedError e = m_lastError;
  m_errorLock.unlock();
  return e;
}

void UserDataFileIOImpl::setLastManagerError(std::uint32_t code, const char* file, int line) {
  if (code == 0) return;
  trace(4, u"AnnulusFileIO::UserDataFileIOImpl::setLastManagerError", __LINE__,
        u"file %hs line %d error 0x%x", file ? file : "", line, code);
  m_errorLock.lock();
  // The first failure is the one every later call answers.
  const bool first = m_lastError.code == 0;
  if (first) m_lastError = RecordedError::capture(code, m_volume ? m_volume->m_dwErrorCode : 0);
  m_errorLock.unlock();
  if (!first) return;
  // A producer waiting for a buffer that will never come back stops.
  m_ringLock.lock();
  if (m_ring) m_ring->endWaiting();
  m_ringLock.unlock();
}

bool UserDataFileIOImpl::isVerifyOnWrite() { return RuvoCtrlVolume::getVerifyOnWrite(); }

void UserDataFileIOImpl::giveBack(std::shared_ptr<BufferUserData>& buffer) {
  if (!buffer) return;
  m_ringLock.lock();
  if (m_ring) m_ring->giveBack(buffer);
  else buffer->clear();
  m_ringLock.unlock();
  buffer.reset();
}

void UserDataFileIOImpl::clearQueues() {
  m_writeControllers.clear();
  m_writeControllerEnd.clear();
}

void UserDataFileIOImpl::resetParity() { m_parity.reset(); }

std::uint32_t UserDataFileIOImpl::seek(std::int64_t position) {
  trace(1, u"AnnulusFileIO::UserDataFileIOImpl::seek", __LINE__, u"filePointer=%lld", position);
  if (const std::uint32_t r = writeSynchronize()) return r;
  m_currentFilePointer = position;
  return 0;
}

}  // namespace AnnulusFileIO
