// CKelInterface::Initialise: the operation table, the settings read from the
// configuration, and the parity constants of F2h media.
#include "kel/config.h"
#include "kel/debug.h"
#include "kel/kel_interface.h"
#include "kel/kel_trace.h"
#include "kel/volctrl.h"

#include <string>

HRESULT CKelInterface::Initialise(const FileSystemOperations* operations) {
  if (operations) m_ops = *operations;
  else m_ops = FileSystemOperations{};

  RuvoCtrlVolume::m_maxWriteRetryR = getConfigLong("Max Write Retry R", 9);
  RuvoCtrlVolume::m_verifyOnWrite = getConfigBinary("Verify On Write", true);
  RuvoCtrlVolume::m_discSpanThld = getConfigLong("Disc Span Threshold", 0);
  RuvoCtrlVolume::m_isDiscSpanInhibit = getConfigBinary("Disc Span Inhibit", false);
  RuvoCtrlVolume::m_dfltFsFlshPlcy =
      static_cast<std::uint8_t>(getConfigLong("Default Fs Flush Policy", 0) & 0xFF);
  RuvoCtrlVolume::m_writeBufferMb = getConfigLong("Write Buffer MB", 0);
  // Taken only when shorter than the buffer; otherwise the empty default.
  char directory[1024] = {0};
  if (getConfigString("Debug File Directory Path", directory, sizeof directory, "") != 0)
    directory[0] = '\0';
  const std::uint32_t trace_level = getConfigLong("Debug File Trace Level", 0);
  const std::uint32_t delete_level = getConfigLong("FS Cache Delete Level", 0);
  RuvoCtrlVolume::m_packedWriteMode = getConfigBinary("Packed Write Mode", true);
  RuvoCtrlVolume::m_pckdWrtMaxFNum = getConfigLong("Packed Write Max File Num", 8192);
  RuvoCtrlVolume::m_pckdWrtEndSects = getConfigLong("Packed Write End Sects", 0x200000);
  m_rollbackMountOnError = getConfigBinary("Rollback Mount On Error", false);

  // The level is always taken; the directory only with a level and a
  // non-empty path (SetDebugFile keeps the old one otherwise).
  SetDebugFile(directory, trace_level);
  SetFsCacheDeleteLevel(delete_level);

  if (m_ops.GetMediumType && m_ops.GetMediumType() == 0xF2) {
    kel::ApplyF2hParityConstants();
    const kel::ParityConstants& p = kel::WriterParityConstants();
    KelTrace(0, 2, 0, __FILE__, u"AnnulusFileIO::UserDataFileIOImpl::setupParityConstant", __LINE__,
             u"TOTALSYMBOLS=%lld,PARITYSYMBOLS=%lld,DATASYMBOLS=%lld,PARITYSYMBOLS_BYTES=%lld,"
             u"DATASYMBOLS_BYTES=%lld",
             p.TotalSymbols, p.ParitySymbols, p.DataSymbols, p.ParitySymbolsBytes,
             p.DataSymbolsBytes);
  }
  return S_OK;
}
