// KelDriver as the host service starts it: a separate process against the
// simulated host service and drive, through the real socket.
#include "sim/engine_process.h"
#include "platform/xml_sax.h"
#include "sim/harness.h"

#if defined(KEL_DUMP_TOOL)
#include "dump_files.h"
#endif

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using kelsim::EngineElement;
using kelsim::EngineProcess;
using kelsim::EngineProcessOptions;
using kelsim::request_line;

EngineProcessOptions program_options() {
  EngineProcessOptions o;
  o.program = KEL_DRIVER_PROGRAM;
  return o;
}

std::vector<std::string> names_of(const std::vector<EngineElement>& elements) {
  std::vector<std::string> names;
  for (const auto& e : elements) names.push_back(e.name);
  return names;
}

bool is_shutdown(const EngineElement& e) { return e.name == "Shutdown"; }

// The transcript's SCSI commands (notices left out).
std::vector<kelsim::TranscriptEntry> commands_of(kelsim::SimHarness& sim) {
  std::vector<kelsim::TranscriptEntry> out;
  for (const auto& e : sim.service().transcript())
    if (!e.is_notice()) out.push_back(e);
  return out;
}

TEST(Program, ArgumentErrorsEndWith87AndAnErrorElementBeforeAnyDriveCommand) {
  struct Case {
    std::vector<std::string> arguments;  // "{cache}" stands for the cache directory
    const char* message;
  } cases[] = {
      {{}, "Insufficient arguments (2 required)"},
      {{"{cookie}"}, "Insufficient arguments (2 required)"},
      {{"/dev/hd1", "{cache}"}, "Invalid parameter: could not extract medium cookie from /dev/hd1"},
      {{"/dev/sd", "{cache}"}, "Invalid parameter: could not extract medium cookie from /dev/sd"},
  };
  for (const Case& c : cases) {
    kelsim::SimHarness sim;
    EngineProcessOptions o = program_options();
    o.use_default_arguments = false;
    for (std::string a : c.arguments) {
      if (a == "{cookie}") a = sim.cookie_text();
      if (a == "{cache}") a = sim.directory();
      o.arguments.push_back(a);
    }
    EngineProcess engine(sim, o);
    ASSERT_TRUE(engine.started()) << engine.error();
    ASSERT_EQ(engine.wait_exit(), 87) << c.message << "\n" << engine.describe();
    const auto all = engine.elements();
    ASSERT_EQ(all.size(), 1u) << engine.describe();
    EXPECT_EQ(all[0].name, "Error");
    EXPECT_EQ(all[0].text, c.message);
    EXPECT_EQ(all[0].attribute("SequenceNumber"), "0");
    EXPECT_TRUE(sim.service().transcript().empty()) << c.message;
  }
}

// --help (or -h) alone prints the arguments, the pipe, the lock and the
// settings on standard output and ends with 0, before any drive command; the
// argument errors above stay as they are.
TEST(Program, HelpPrintsTheArguments) {
  for (const char* flag : {"--help", "-h"}) {
    kelsim::SimHarness sim;
    EngineProcessOptions o = program_options();
    o.use_default_arguments = false;
    o.arguments = {flag};
    EngineProcess engine(sim, o);
    ASSERT_TRUE(engine.started()) << engine.error();
    ASSERT_EQ(engine.wait_exit(), 0) << flag << "\n" << engine.describe();
    // The text is no element: it stays as unterminated output.
    const std::string text = engine.describe();
    for (const char* part : {"usage: KelDriver /dev/sdHEX CACHE-DIRECTORY", "$KEL_PIPE_DIR (default /tmp/kel-pipes)",
                             "KelDriver-sdHEX.lock", "$KEL_REGISTRY", "87 for missing or bad arguments"})
      EXPECT_NE(text.find(part), std::string::npos) << flag << ": " << part << "\n" << text;
    EXPECT_TRUE(engine.elements().empty()) << text;
    EXPECT_TRUE(sim.service().transcript().empty()) << flag;
  }
}

TEST(Program, UnsupportedDriveProductEndsWith1BeforeAnyRequest) {
  kelsim::HarnessOptions ho;
  ho.drive.product = "QMR-T30A";
  kelsim::SimHarness sim(ho);
  EngineProcess engine(sim, program_options());
  ASSERT_TRUE(engine.started()) << engine.error();
  engine.send(request_line(7, "UnmountVolume"));  // may find the input closed already
  ASSERT_EQ(engine.wait_exit(), 1) << engine.describe();
  for (const auto& e : engine.elements()) EXPECT_TRUE(e.is_debug()) << e.raw;
  const auto transcript = sim.service().transcript();
  ASSERT_FALSE(transcript.empty()) << "the drive was never asked";
  for (const auto& e : transcript) EXPECT_EQ(e.sequence, 0u) << e.line();
}

TEST(Program, InitialiseIsExportedByName) {
  FILE* p = ::popen("nm -D --defined-only '" KEL_DRIVER_PROGRAM "' 2>&1", "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  while (std::fgets(buf, sizeof(buf), p) != nullptr) out += buf;
  const int status = ::pclose(p);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) GTEST_SKIP() << "nm is not installed";
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find(" T Initialise\n"), std::string::npos) << out;
}

// The crash handler starts the dump tool from the running program's folder.
TEST(Program, LiesBesideTheDumpTool) {
#if defined(KEL_DUMP_TOOL)
  const std::filesystem::path program(KEL_DRIVER_PROGRAM), tool(KEL_DUMP_TOOL);
  EXPECT_EQ(program.parent_path(), tool.parent_path());
  EXPECT_EQ(tool.filename(), "QvMiniDump");
  EXPECT_TRUE(std::filesystem::exists(program.parent_path() / "QvMiniDump"));
#else
  GTEST_SKIP() << "the dump tool is not part of this build";
#endif
}

// With no mount in between, every drive command of the run is Initialise's:
// sequence 0, phase 0. UnmountVolume answers "KelSuccess" and "Shutdown"
// with its own sequence number and the process ends with 0.
TEST(Program, InitialiseCommandsCarrySequenceAndPhaseZero) {
  kelsim::SimHarness sim;
  EngineProcess engine(sim, program_options());
  ASSERT_TRUE(engine.started()) << engine.error();
  const auto answer = engine.request(request_line(5, "UnmountVolume"), is_shutdown);
  EXPECT_EQ(names_of(answer), (std::vector<std::string>{"KelSuccess", "Shutdown"})) << engine.describe();
  for (const auto& e : answer) EXPECT_EQ(e.attribute("SequenceNumber"), "5");
  ASSERT_EQ(engine.wait_exit(), 0) << engine.describe();
  const auto commands = commands_of(sim);
  ASSERT_FALSE(commands.empty()) << "Initialise sent no drive command";
  for (const auto& e : commands) {
    EXPECT_EQ(e.sequence, 0u) << e.line();
    EXPECT_EQ(e.phase, 0u) << e.line();
  }
}

// An opcode the loop does not serve ends it with 1359, which a process exit
// status keeps only as its low 8 bits (79); no answer, no "Shutdown".
TEST(Program, UnservedOpcodeEndsTheProcessWith79) {
  for (const char* opcode : {"WriteStream", "SetSecurity"}) {
    kelsim::SimHarness sim;
    EngineProcess engine(sim, program_options());
    ASSERT_TRUE(engine.started()) << engine.error();
    engine.send(request_line(3, opcode));
    ASSERT_EQ(engine.wait_exit(), 1359 & 0xFF) << opcode << "\n" << engine.describe();
    for (const auto& e : engine.elements()) EXPECT_TRUE(e.is_debug()) << opcode << ": " << e.raw;
  }
}

// The end of the input without "UnmountVolume" ends the loop with the
// reader's error (low byte) and without "Shutdown".
TEST(Program, EndOfInputWithoutUnmountEndsWithoutShutdown) {
  kelsim::SimHarness sim;
  EngineProcess engine(sim, program_options());
  ASSERT_TRUE(engine.started()) << engine.error();
  EXPECT_EQ(engine.wait_exit(), static_cast<int>(static_cast<std::uint32_t>(platform::kSaxErrNoElements) & 0xFF))
      << engine.describe();
  for (const auto& e : engine.elements()) EXPECT_TRUE(e.is_debug()) << e.raw;
}

#if defined(KEL_DUMP_TOOL)
// An engine started as the host service (and every test and the demo)
// starts it has no "Log file directory": its dump goes beside its registry
// file, inside the run's own folder, and nowhere else.
TEST(Program, AnEngineThatAbortsLeavesItsDumpInTheRunsOwnFolder) {
  kelsim::SimHarness sim;
  if (!kel_e2e::dumps_permitted(KEL_DUMP_TOOL, sim.directory()))
    GTEST_SKIP() << "ptrace is not permitted on this machine";
  // The engine's first drive command is held unanswered, so the engine is
  // still running (its start-up cannot end first) when the signal comes.
  kelsim::FaultRule hold = kelsim::delay_answer(24ull * 3600 * 1000);
  hold.times = 1;
  sim.drive().add_fault(hold);
  EngineProcess engine(sim, program_options());
  ASSERT_TRUE(engine.started()) << engine.error();
  // The crash handler is installed before the engine's first drive command.
  ASSERT_TRUE(sim.service().wait_for_held(1, 60000)) << engine.describe();
  ASSERT_EQ(::kill(engine.pid(), SIGABRT), 0);
  EXPECT_EQ(engine.wait_exit(), 128 + SIGABRT) << engine.describe();
  sim.service().release_held();
  const auto dumps = kel_e2e::dumps_of_process(sim.directory() + "/crash-dumps", engine.pid());
  ASSERT_EQ(dumps.size(), 1u) << engine.describe();
  EXPECT_EQ(dumps[0].find("40000015"), 23u) << dumps[0] << ": the abort code after the time";
  for (const auto& elsewhere : kel_e2e::places_outside_the_run(KEL_DRIVER_PROGRAM))
    EXPECT_TRUE(kel_e2e::dumps_of_process(elsewhere, engine.pid()).empty()) << elsewhere;
}
#endif

// The host closes the engine's input, or sends a line that does not parse,
// after an Archive was answered and before any Sync (a packed session, with
// its writer thread, is open): the loop ends with the reader's error, the
// session and its threads end with the run, and the process exits with
// that error's low byte, never by a signal.
TEST(Program, InputThatEndsAfterAnUnsyncedArchiveEndsWithTheReadersCode) {
  const struct {
    const char* what;
    std::string line;  // sent after the Archive ("" sends nothing)
    std::uint32_t error;
  } cases[] = {
      {"end of input", "", static_cast<std::uint32_t>(platform::kSaxErrNoElements)},
      {"a line that does not parse", "<ArchiveFileSystemOperation",
       static_cast<std::uint32_t>(platform::kSaxErrUnclosedToken)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kelsim::SimHarness sim;
    EngineProcess engine(sim, program_options());
    ASSERT_TRUE(engine.started()) << engine.error();
    const std::string local = sim.directory() + "/in.bin";
    {
      std::ofstream out(local, std::ios::binary | std::ios::trunc);
      for (int i = 0; i < 70000; ++i) out.put(static_cast<char>(i * 7));
    }
    kelsim::ArchiveRequest request;
    request.name = "/p/f.bin";
    request.generation = request.version = 1;
    const kelsim::ExchangeResult r = engine.archive(1, local, request);
    ASSERT_TRUE(r.ok) << r.error << "\n" << engine.describe();
    if (!c.line.empty()) {
      ASSERT_TRUE(engine.send(c.line));
    }
    EXPECT_EQ(engine.wait_exit(), static_cast<int>(c.error & 0xFF)) << engine.describe();
    EXPECT_EQ(engine.standard_error().find("pure virtual"), std::string::npos) << engine.standard_error();
    for (const auto& e : engine.elements()) EXPECT_NE(e.name, "Shutdown");
  }
}

}  // namespace
