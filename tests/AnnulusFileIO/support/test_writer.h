// The low-level writer as the free-space and write-controller tests use it:
// the free-space manager from the settings, no writer thread, the codes it
// is given recorded, and its sync and recovery scripted.
#pragma once

#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "kel/volctrl.h"

#include <string>
#include <vector>

namespace writertest {

class TestWriter : public AnnulusFileIO::UserDataFileIOImpl {
 public:
  TestWriter() : UserDataFileIOImpl(u"", 2, nullptr) {
    m_volume->setHandle(0);
    m_usbManager = std::make_shared<AnnulusFileIO::USBManagerR>(m_volume);
    const bool r = RuvoCtrlVolume::isRMedia();
    m_usbManager->setFreeSpaceInfo(
        {0, 0, r ? RuvoCtrlVolume::getDiscFullMarginBlocks() : 0u,
         r ? RuvoCtrlVolume::getDiscFullMarginBlocksForLastDisc() : 0u});
    if (RuvoCtrlVolume::getDiscSpanThld() != 0)
      m_usbManager->setDiscMarginBlocksFromDiscSpanThld(RuvoCtrlVolume::getDiscSpanThld());
  }

  void setLastManagerError(std::uint32_t code, const char*, int) override { errors.push_back(code); }
  std::uint32_t doSyncCache() override {
    calls.push_back("doSyncCache");
    return sync_result;
  }
  std::uint32_t commonWriteErrorRecovery() override {
    calls.push_back("commonWriteErrorRecovery");
    return recovery_result;
  }

  std::vector<std::uint32_t> errors;
  std::vector<std::string> calls;
  std::uint32_t sync_result = 0;
  std::uint32_t recovery_result = 0;
};

}  // namespace writertest
