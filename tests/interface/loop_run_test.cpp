// The request loop driven end to end over the fake operation table.
#include "kel/debug.h"
#include "kel/entry.h"
#include "kel/errors.h"
#include "kel/kel_interface.h"
#include "support/loop_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

using looptest::engine;
using looptest::handlerCalls;
using looptest::line;
using looptest::LoopHarness;

namespace {
std::uint16_t low16(HRESULT hr) { return static_cast<std::uint16_t>(static_cast<std::uint32_t>(hr)); }
}  // namespace

TEST(LoopRun, UnmountVolumeAnswersSuccessThenShutdown) {
  LoopHarness h;
  h.setInput(line(41, "UnmountVolume") + line(42, "Check"));
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(h.elements(), (std::vector<std::string>{
                              "<KelSuccess SequenceNumber=\"41\"></KelSuccess>",
                              "<Shutdown SequenceNumber=\"41\"></Shutdown>"}));
  auto calls = engine().callsSnapshot();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "Unmount(true)"), calls.end());
  EXPECT_TRUE(handlerCalls().empty());  // the line after the unmount is not read
  // The unmount ran with the request's sequence number, phase 2, unmounting.
  EXPECT_EQ(engine().unmount_context.SequenceNumber, 41u);
  EXPECT_EQ(engine().unmount_context.Phase, 2u);
  EXPECT_EQ(engine().unmount_context.Unmounting, 1u);
}

TEST(LoopRun, FailedUnmountIsOnlyLogged) {
  LoopHarness h;
  engine().unmount_result = 16;  // busy
  h.setInput(line(7, "UnmountVolume"));
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(h.elements(), (std::vector<std::string>{"<KelSuccess SequenceNumber=\"7\"></KelSuccess>",
                                                    "<Shutdown SequenceNumber=\"7\"></Shutdown>"}));
  ASSERT_FALSE(engine().log_texts.empty());
  EXPECT_EQ(engine().log_texts.back(), u"KelInterface_Error=170");
}

TEST(LoopRun, OpcodesTheLoopDoesNotServeEndItWith1359) {
  for (const char* op : {"WriteStream", "ReadStream", "GetOperation", "SetSecurity", "ReadCallback"}) {
    LoopHarness h;
    h.setInput(line(3, "Check") + line(4, op) + line(5, "UnmountVolume"));
    EXPECT_EQ(h.run(), 1359) << op;
    EXPECT_EQ(handlerCalls(), (std::vector<std::string>{"Check(3,/dev/sd1A2B)"})) << op;
    EXPECT_EQ(h.rawOutput(), "") << op;  // no answer, no "Shutdown"
  }
  // Callbacks with their attributes, when no handler waits for them.
  const std::string callbacks[] = {
      line(1, "FailureCallback", "ErrorCode=\"5\""),
      line(1, "OpenFragmentFileCallback", "IOSize=\"65536\""),
      line(1, "WriteCallback", "FragmentFileSize=\"10\" BytesToWrite=\"10\""),
  };
  for (const auto& c : callbacks) {
    LoopHarness h;
    h.setInput(c);
    EXPECT_EQ(h.run(), 1359) << c;
    EXPECT_EQ(h.rawOutput(), "");
  }
}

TEST(LoopRun, AnOpcodeWithoutHandlerInThisBuildIsNotServed) {
  LoopHarness h;
  kel::SetRequestHandlers(nullptr);
  h.setInput(line(3, "GetVolumeInfo"));
  EXPECT_EQ(h.run(), 1359);
  EXPECT_EQ(h.rawOutput(), "");
}

// Lines that do not parse end the loop with the parser's result and without
// "Shutdown"; the function's full result is checked through Run.
TEST(LoopRun, LinesThatDoNotParseEndTheLoopWithTheParseResult) {
  struct Case {
    const char* what;
    std::string input;
    HRESULT hr;
  } cases[] = {
      {"end of input", "", platform::kSaxErrNoElements},
      {"blank line", "\n" + line(1, "UnmountVolume"), platform::kSaxErrNoElements},
      {"bad xml", "<ArchiveFileSystemOperation SequenceNumber=\"1\" Opcode=\"Check\">\n",
       platform::kSaxErrNoElements},
      {"mismatched tag", "<ArchiveFileSystemOperation SequenceNumber=\"1\" Opcode=\"Check\"></File>\n",
       platform::kSaxErrTagMismatch},
      {"unknown element", "<Request SequenceNumber=\"1\" Opcode=\"Check\"/>\n", kel::kHrInvalidRequest},
      {"unknown opcode", line(1, "check"), kel::kHrInvalidRequest},
      {"missing sequence number", "<ArchiveFileSystemOperation Opcode=\"Check\"/>\n",
       platform::kSaxErrAttrMissing},
      {"missing opcode", "<ArchiveFileSystemOperation SequenceNumber=\"1\"/>\n",
       platform::kSaxErrAttrMissing},
      {"restore without TrackProgress",
       line(1, "Restore", "BlockNumber=\"1\" FragmentOffset=\"0\" Length=\"5\""),
       platform::kSaxErrAttrMissing},
      {"unconvertible number", line(1, "Format", "VolumeID=\"v\" Replica=\"two\""),
       kel::kHrTypeMismatch},
      {"number out of range", line(1, "RollbackMount", "SlotNumber=\"4294967296\" MetaDataFE_LSN=\"1\" FsdLsn=\"2\""),
       kel::kHrOverflow},
      {"text in a request without text", line(1, "GetVolumeInfo", "", " "), kel::kHrInternalError},
      {"File with another opcode", line(1, "Delete", "Name=\"a\" Generation=\"1\" Version=\"1\" KernelInterface=\"0\" BlockNumber=\"0\"",
                                         "<File Name=\"x\" Fragment=\"0\" Generation=\"0\" Version=\"0\" KernelInterface=\"0\"/>"),
       kel::kHrInvalidRequest},
      {"second File", line(1, "Verify", "",
                           "<File Name=\"x\" Fragment=\"0\" Generation=\"0\" Version=\"0\" KernelInterface=\"0\"/>"
                           "<File Name=\"x\" Fragment=\"0\" Generation=\"0\" Version=\"0\" KernelInterface=\"0\"/>"),
       kel::kHrInvalidRequest},
      {"nested root", line(1, "Check", "", "<ArchiveFileSystemOperation SequenceNumber=\"2\" Opcode=\"Check\"/>"),
       kel::kHrInvalidRequest},
      {"File missing Fragment", line(1, "Verify", "", "<File Name=\"x\" Generation=\"0\" Version=\"0\" KernelInterface=\"0\"/>"),
       platform::kSaxErrAttrMissing},
      {"name with NUL reference", line(1, "ReadDirectory", "Name=\"a&amp;#0;\""), kel::kHrInvalidName},
      {"name with unpaired surrogate", line(1, "ReadDirectory", "Name=\"a&amp;#55357;\""), kel::kHrInvalidName},
      {"NUL byte in a line",
       std::string("<ArchiveFileSystemOperation SequenceNumber=\"1\" Opcode=\"Ch\0eck\"/>\n", 65),
       platform::kSaxErrInvalidToken},
      {"name with reference above 65535", line(1, "ReadDirectory", "Name=\"a&amp;#65601;\""), kel::kHrInvalidName},
  };
  for (const auto& c : cases) {
    LoopHarness h;
    h.setInput(c.input);
    {
      CKelInterface itf;
      kel::SetCurrentInterface(&itf);
      ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
      EXPECT_EQ(itf.Run("/dev/sd1"), c.hr) << c.what;
      kel::SetCurrentInterface(nullptr);
    }
    EXPECT_TRUE(handlerCalls().empty()) << c.what;
    EXPECT_EQ(h.rawOutput(), "") << c.what;
    // Through the entry point: the low 16 bits.
    LoopHarness h2;
    h2.setInput(c.input);
    EXPECT_EQ(h2.run(), low16(c.hr)) << c.what;
  }
}

TEST(LoopRun, UnusedAttributesAreIgnoredAndCheckMayCarryText) {
  LoopHarness h;
  h.setInput(
      "<ArchiveFileSystemOperation Extra=\"1\" SequenceNumber=\"5\" Opcode=\"Check\" Name=\"zz\"> "
      "\t</ArchiveFileSystemOperation>\r\n" +
      line(6, "Recognise", "", " x ") + line(7, "GetVolumeInfo", "Bogus=\"&lt;\"") +
      line(8, "UnmountVolume", "Name=\"n\""));
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(handlerCalls(), (std::vector<std::string>{"Check(5,/dev/sd1A2B)", "Check(6,/dev/sd1A2B)",
                                                      "GetVolumeInfo(7)"}));
}

TEST(LoopRun, EveryServedOpcodeReachesItsHandlerWithItsParameters) {
  const std::string file = "<File Name=\"dir\\sub\\f&amp;amp;\" Fragment=\"3\" Generation=\"4\" Version=\"5\" KernelInterface=\"6\"/>";
  LoopHarness h;
  h.setInput(
      line(1, "Check") + line(2, "Recognise") +
      line(3, "Format", "VolumeID=\"a&amp;amp;b\\c\" Replica=\"9\"") +
      line(4, "Archive", "BlockNumber=\"18446744073709551615\" CreationTime=\"116444736000000000\" ModificationTime=\"116445600000000000\"", file) +
      line(5, "Restore", "BlockNumber=\"1\" FragmentOffset=\"100\" Length=\"200\" TrackProgress=\"-1\"",
           "<File Name=\"r\" Fragment=\"0\" Generation=\"7\" Version=\"8\" KernelInterface=\"0\"/>") +
      line(6, "Verify", "", "<File Name=\"v\\w\" Fragment=\"0\" Generation=\"1\" Version=\"2\" KernelInterface=\"0\"/>") +
      line(7, "Rename", "Name=\"a&amp;amp;b\" NewName=\"t&amp;#9;u\\v\" OldGeneration=\"1\" OldVersion=\"2\" NewGeneration=\"3\" NewVersion=\"4\" KernelInterface=\"0\" BlockNumber=\"0\"") +
      line(8, "Delete", "Name=\"x&amp;#38;#65;\" Generation=\"11\" Version=\"12\" KernelInterface=\"0\" BlockNumber=\"0\"") +
      line(9, "CreateDirectory", "Name=\"/d\" KernelInterface=\"0\" BlockNumber=\"0\"") +
      line(10, "RenameDirectory", "Name=\"/d\" NewName=\"/e\" KernelInterface=\"0\" BlockNumber=\"0\"") +
      line(11, "DeleteDirectory", "Name=\"/e\" KernelInterface=\"0\" BlockNumber=\"0\"") +
      line(12, "Sync", "Reason=\"Sync&amp;amp;Time\" BlockNumber=\"1\" Bytes=\"2\" Generation=\"3\"") +
      line(13, "ReadDirectory", "Name=\"a\\b&amp;#1;\"") + line(14, "GetVolumeInfo") +
      line(15, "GetRollbackInfo") +
      line(16, "RollbackMount", "SlotNumber=\"2\" MetaDataFE_LSN=\"300\" FsdLsn=\"400\"") +
      line(17, "UpdateArchiveInfo", "Name=\"p\\q&amp;#233;\"") +
      // Archive without its File child keeps the previous request's name and numbers.
      line(18, "Archive", "BlockNumber=\"5\" CreationTime=\"0\" ModificationTime=\"1\"") +
      line(19, "UnmountVolume"));
  EXPECT_EQ(h.run("/dev/sdABC"), 0);
  const std::vector<std::string> want = {
      "Check(1,/dev/sdABC)",
      "Check(2,/dev/sdABC)",
      "Format(3,[a&amp;b\\c],9)",
      "Archive(4,[dir/sub/f&],3,4,5,6,18446744073709551615,1,86400)",  // the epoch kept as its next second
      "Restore(5,[r],7,8,100,200)",
      "Restore(6,[v/w],1,2,0,0)",
      "Rename(7,[a&b],[t\tu\\v],1,2,3,4)",
      "Delete(8,[x&#65;],11,12)",
      "CreateDirectory(9,[/d])",
      "RenameDirectory(10,[/d],[/e])",
      "DeleteDirectory(11,[/e])",
      "Sync(12,/dev/sdABC,[Sync&amp;Time])",
      "ReadDirectory(13,[a\\b\x01])",
      "GetVolumeInfo(14)",
      "GetRollbackInfo(15,/dev/sdABC)",
      "RollbackMount(16,2,300,400)",
      "UpdateArchiveInfo(17,[p/q\xC3\xA9])",
      "Archive(18,[p/q\xC3\xA9],0,3,12,0,5,0,1)",  // Generation left by Sync
  };
  EXPECT_EQ(handlerCalls(), want);
}

// A handler that waits for a callback reads the following lines itself and
// queues the others; the loop serves them in arrival order before new input.
TEST(LoopRun, QueuedRequestsAreServedInArrivalOrderBeforeNewInput) {
  LoopHarness h;
  std::vector<std::string> seen_by_handler;
  looptest::archive_hook = [&](CKelInterface& itf) {
    for (;;) {
      ASSERT_EQ(itf.ParseRequest(), S_OK);
      const auto& r = itf.Request();
      seen_by_handler.push_back(std::to_string(r.SequenceNumber));
      if (r.Opcode == kel::kOpWriteCallback) {
        EXPECT_EQ(r.Params.FragmentFileSize, 4096u);
        EXPECT_EQ(r.Params.BytesToWrite, 512u);
        break;
      }
      itf.QueueRequest();
    }
    EXPECT_EQ(itf.PendingCount(), 3u);
  };
  const std::string file = "<File Name=\"f\" Fragment=\"0\" Generation=\"1\" Version=\"1\" KernelInterface=\"0\"/>";
  h.setInput(line(1, "Archive", "BlockNumber=\"0\" CreationTime=\"0\" ModificationTime=\"0\"", file) +
             line(2, "Check") + line(3, "ReadDirectory", "Name=\"/q\"") + line(4, "GetVolumeInfo") +
             line(5, "WriteCallback", "FragmentFileSize=\"4096\" BytesToWrite=\"512\"") +
             line(6, "ReadDirectory", "Name=\"/later\"") + line(7, "UnmountVolume"));
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(seen_by_handler, (std::vector<std::string>{"2", "3", "4", "5"}));
  EXPECT_EQ(handlerCalls(),
            (std::vector<std::string>{"Archive(1,[f],0,1,1,0,0,0,0)", "Check(2,/dev/sd1A2B)",
                                      "ReadDirectory(3,[/q])", "GetVolumeInfo(4)",
                                      "ReadDirectory(6,[/later])"}));
  auto e = h.elements();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[1], "<Shutdown SequenceNumber=\"7\"></Shutdown>");
}

TEST(LoopRun, LongLineIsReadInSeveralReadsAsOneDocument) {
  LoopHarness h;
  const std::string pad(10000, 'p');
  h.setInput(line(1, "Check", "Pad=\"" + pad + "\"") +
             line(2, "ReadDirectory", "Name=\"/" + std::string(9000, 'n') + "\"") +
             line(3, "UnmountVolume"));
  EXPECT_EQ(h.run(), 0);
  ASSERT_EQ(handlerCalls().size(), 2u);
  EXPECT_EQ(handlerCalls()[0], "Check(1,/dev/sd1A2B)");
  EXPECT_EQ(handlerCalls()[1], "ReadDirectory(2,[/" + std::string(9000, 'n') + "])");
}

TEST(LoopRun, LastLineWithoutNewlineStillParses) {
  LoopHarness h;
  std::string input = line(1, "Check") + line(2, "UnmountVolume");
  input.pop_back();
  h.setInput(input);
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(h.elements().size(), 2u);
}

TEST(LoopRun, HandlerMaySetStopAndTheLoopEndsWithShutdown) {
  LoopHarness h;
  looptest::archive_hook = [](CKelInterface& itf) { itf.SetStop(); };
  const std::string file = "<File Name=\"f\" Fragment=\"0\" Generation=\"1\" Version=\"1\" KernelInterface=\"0\"/>";
  h.setInput(line(9, "Archive", "BlockNumber=\"0\" CreationTime=\"0\" ModificationTime=\"0\"", file) +
             line(10, "Check"));
  EXPECT_EQ(h.run(), 0);
  EXPECT_EQ(h.elements(), (std::vector<std::string>{"<Shutdown SequenceNumber=\"9\"></Shutdown>"}));
  EXPECT_EQ(handlerCalls().size(), 1u);
}

TEST(LoopRun, AnInputStreamErrorEndsTheLoopWithAReadFault) {
  LoopHarness h;
  std::FILE* dir = std::fopen(h.dir().c_str(), "r");  // reading a folder fails
  ASSERT_NE(dir, nullptr);
  kel::SetRequestStream(dir);
  {
    CKelInterface itf;
    ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
    EXPECT_EQ(itf.Run("/dev/sd1"), kel::HResultFromWin32Code(ERROR_READ_FAULT));
  }
  kel::SetRequestStream(nullptr);
  std::fclose(dir);
  EXPECT_EQ(h.rawOutput(), "");
}

// Elements of the loop and debug lines of other threads share standard
// output without mixing inside an element.
TEST(LoopRun, ElementsFromSeveralThreadsNeverInterleave) {
  LoopHarness h;
  looptest::archive_hook = [](CKelInterface& itf) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
      threads.emplace_back([t] {
        const std::string text(700 + 50 * t, static_cast<char>('a' + t));
        for (int i = 0; i < 100; ++i) SendDebugStringA(4, text.c_str());
      });
    for (int i = 0; i < 100; ++i) kel::CServiceSuccessResponse(itf.Request().SequenceNumber).Send();
    for (auto& th : threads) th.join();
  };
  const std::string file = "<File Name=\"f\" Fragment=\"0\" Generation=\"1\" Version=\"1\" KernelInterface=\"0\"/>";
  h.setInput(line(3, "Archive", "BlockNumber=\"0\" CreationTime=\"0\" ModificationTime=\"0\"", file) +
             line(4, "UnmountVolume"));
  EXPECT_EQ(h.run(), 0);
  int success = 0, debug = 0;
  for (const auto& e : h.elements()) {
    if (e == "<KelSuccess SequenceNumber=\"3\"></KelSuccess>") {
      ++success;
      continue;
    }
    if (e == "<KelSuccess SequenceNumber=\"4\"></KelSuccess>" ||
        e == "<Shutdown SequenceNumber=\"4\"></Shutdown>")
      continue;
    bool known = false;
    for (int t = 0; t < 3; ++t)
      known |= e == "<Warning SequenceNumber=\"0\">" +
                        std::string(700 + 50 * t, static_cast<char>('a' + t)) + "</Warning>";
    ASSERT_TRUE(known) << e.substr(0, 80);
    ++debug;
  }
  EXPECT_EQ(success, 100);
  EXPECT_EQ(debug, 300);
}

namespace {

// The request lines of the README's reference: the lines of its section
// "## Requests" that are a request and nothing else (the example session's
// lines carry "-> " in front).
std::vector<std::string> readme_requests() {
  std::ifstream in(std::string(KEL_SOURCE_DIR) + "/README.md");
  std::vector<std::string> out;
  bool inside = false;
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("## ", 0) == 0) inside = l == "## Requests";
    if (inside && l.rfind("    <ArchiveFileSystemOperation ", 0) == 0) out.push_back(l.substr(4));
  }
  return out;
}

std::string opcode_of(const std::string& request) {
  const std::size_t at = request.find("Opcode=\"") + 8;
  return request.substr(at, request.find('"', at) - at);
}

}  // namespace

// Each request of the README's reference parses with the attributes it
// shows and is served (its handler is called, "UnmountVolume" answers);
// every opcode word the reference leaves out is not served.
TEST(LoopRun, TheReadmesRequestReferenceIsWhatTheLoopServes) {
  const std::vector<std::string> requests = readme_requests();
  ASSERT_GE(requests.size(), 17u) << "the README's request reference is missing";
  std::set<std::string> listed;
  for (const std::string& r : requests) {
    const std::string op = opcode_of(r);
    listed.insert(op);
    LoopHarness h;
    h.setInput(r + "\n" + (op == "UnmountVolume" ? "" : line(99, "UnmountVolume")));
    EXPECT_EQ(h.run(), 0) << r << "\n" << h.rawOutput();
    if (op == "UnmountVolume") {
      EXPECT_EQ(h.elements().front().rfind("<KelSuccess", 0), 0u) << r;
      continue;
    }
    ASSERT_EQ(handlerCalls().size(), 1u) << r;
    // "Recognise" is served by Check's handler, "Verify" by Restore's.
    const std::string handler = op == "Recognise" ? "Check" : op == "Verify" ? "Restore" : op;
    EXPECT_EQ(handlerCalls().front().rfind(handler + "(", 0), 0u) << r << ": " << handlerCalls().front();
  }
  // "Recognise" is named in Check's entry.
  listed.insert("Recognise");
  for (std::uint32_t op = 1; op <= 26; ++op) {
    std::u16string word16 = kel::OpcodeWord(op);
    const std::string word(word16.begin(), word16.end());
    if (listed.count(word)) continue;
    LoopHarness h;
    h.setInput(line(1, word));
    EXPECT_NE(h.run(), 0) << word;
    EXPECT_TRUE(handlerCalls().empty()) << word;
    EXPECT_EQ(h.rawOutput(), "") << word << " is answered, but the README does not list it";
  }
}
