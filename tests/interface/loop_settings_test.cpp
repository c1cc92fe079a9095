// What the request interface takes from the configuration at start, and the
// parity constants of F2h media.
#include "kel/debug.h"
#include "kel/kel_interface.h"
#include "kel/volctrl.h"
#include "support/loop_harness.h"

#include <gtest/gtest.h>

using looptest::engine;
using looptest::line;
using looptest::LoopHarness;

TEST(LoopSettings, DefaultsWithAnEmptyRegistry) {
  LoopHarness h;
  CKelInterface itf;
  ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
  EXPECT_EQ(RuvoCtrlVolume::getMaxWriteRetryR(), 9u);
  EXPECT_TRUE(RuvoCtrlVolume::getVerifyOnWrite());
  EXPECT_EQ(RuvoCtrlVolume::getDiscSpanThld(), 0u);
  EXPECT_FALSE(RuvoCtrlVolume::isDiscSpanInhibit());
  EXPECT_EQ(RuvoCtrlVolume::getDfltFsFlshPlcy(), 1u);  // the store's own default table
  EXPECT_EQ(RuvoCtrlVolume::getWriteBufferMb(), 0u);
  EXPECT_TRUE(RuvoCtrlVolume::getPackedWriteMode());
  EXPECT_EQ(RuvoCtrlVolume::getPckdWrtMaxFNum(), 8192u);
  EXPECT_EQ(RuvoCtrlVolume::getPckdWrtEndSects(), 0x200000u);
  EXPECT_FALSE(itf.RollbackMountOnError());
  EXPECT_FALSE(CheckFsCacheDeleteLevel(1));
}

TEST(LoopSettings, RegistryValuesReachTheStaticsBooleansByLowByte) {
  LoopHarness h;
  h.setRegistry({
      "\"Max Write Retry R\"=dword:00000003",
      "\"Verify On Write\"=dword:00000100",
      "\"Disc Span Threshold\"=dword:00001000",
      "\"Disc Span Inhibit\"=dword:00000001",
      "\"Default Fs Flush Policy\"=dword:00000102",
      "\"Write Buffer MB\"=dword:00000040",
      "\"Packed Write Mode\"=dword:00000100",
      "\"Packed Write Max File Num\"=dword:00000010",
      "\"Packed Write End Sects\"=dword:00000020",
      "\"Rollback Mount On Error\"=dword:00000001",
      "\"FS Cache Delete Level\"=dword:00000003",
  });
  CKelInterface itf;
  ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
  EXPECT_EQ(RuvoCtrlVolume::getMaxWriteRetryR(), 3u);
  EXPECT_FALSE(RuvoCtrlVolume::getVerifyOnWrite());
  EXPECT_EQ(RuvoCtrlVolume::getDiscSpanThld(), 0x1000u);
  EXPECT_TRUE(RuvoCtrlVolume::isDiscSpanInhibit());
  EXPECT_EQ(RuvoCtrlVolume::getDfltFsFlshPlcy(), 2u);
  EXPECT_EQ(RuvoCtrlVolume::getWriteBufferMb(), 64u);
  EXPECT_FALSE(RuvoCtrlVolume::getPackedWriteMode());  // 256: low byte 0
  EXPECT_EQ(RuvoCtrlVolume::getPckdWrtMaxFNum(), 16u);
  EXPECT_EQ(RuvoCtrlVolume::getPckdWrtEndSects(), 32u);
  EXPECT_TRUE(itf.RollbackMountOnError());
  EXPECT_TRUE(CheckFsCacheDeleteLevel(3));
  EXPECT_FALSE(CheckFsCacheDeleteLevel(4));
  SetFsCacheDeleteLevel(0);
}

TEST(LoopSettings, TraceDirectoryAndLevelFromTheConfiguration) {
  LoopHarness h;
  h.setRegistry({"\"Debug File Trace Level\"=dword:00000007",
                 "\"Debug File Directory Path\"=\"" + h.dir() + "\""});
  {
    CKelInterface itf;
    ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
  }
  EXPECT_TRUE(CheckLogLevel(6));
  SendDebugStringA(6, "only in the file");
  EXPECT_EQ(kel::TraceFilePath().rfind(h.dir() + "/KELtrace_", 0), 0u) << kel::TraceFilePath();
  EXPECT_EQ(h.rawOutput(), "");  // level 6 does not reach the host
  kel::CloseTraceFile();
  SetDebugFile("", 0);
  EXPECT_FALSE(CheckLogLevel(6));
}

TEST(LoopSettings, F2hMediaGetTheirParityConstantsBeforeTheFirstRequest) {
  LoopHarness h;
  engine().medium_type = 0xF2;
  kel::ParityConstants at_first_request{};
  looptest::archive_hook = [&](CKelInterface&) { at_first_request = kel::WriterParityConstants(); };
  const std::string file = "<File Name=\"f\" Fragment=\"0\" Generation=\"1\" Version=\"1\" KernelInterface=\"0\"/>";
  h.setInput(line(1, "Archive", "BlockNumber=\"0\" CreationTime=\"0\" ModificationTime=\"0\"", file) +
             line(2, "UnmountVolume"));
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(at_first_request.TotalSymbols, 516);
  EXPECT_EQ(at_first_request.ParitySymbols, 4);
  EXPECT_EQ(at_first_request.DataSymbols, 512);
  EXPECT_EQ(at_first_request.BlocksPerSymbol, 128);
  EXPECT_EQ(at_first_request.ParitySymbolsBytes, 1048576);
  EXPECT_EQ(at_first_request.DataSymbolsBytes, 134217728);
  ASSERT_FALSE(engine().log_texts.empty());
  EXPECT_EQ(engine().log_texts[0],
            u"TOTALSYMBOLS=516,PARITYSYMBOLS=4,DATASYMBOLS=512,PARITYSYMBOLS_BYTES=1048576,"
            u"DATASYMBOLS_BYTES=134217728");
  EXPECT_EQ(engine().log_functions[0], "AnnulusFileIO::UserDataFileIOImpl::setupParityConstant");
  EXPECT_EQ(engine().log_levels[0], 2u);
}

TEST(LoopSettings, OtherMediaKeepTheBuiltInParityConstants) {
  for (int type : {0xE1, 0xF1, 0x53, 0xE0, 0}) {
    LoopHarness h;
    engine().medium_type = type;
    CKelInterface itf;
    ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
    const kel::ParityConstants& p = kel::WriterParityConstants();
    EXPECT_EQ(p.TotalSymbols, 2064) << type;
    EXPECT_EQ(p.DataSymbols, 2048) << type;
    EXPECT_EQ(p.ParitySymbols, 16) << type;
    EXPECT_EQ(p.BlocksPerSymbol, 32) << type;
    EXPECT_EQ(p.ParitySymbolsBytes, 1048576) << type;
    EXPECT_EQ(p.DataSymbolsBytes, 134217728) << type;
    EXPECT_TRUE(engine().log_texts.empty()) << type;
  }
}
