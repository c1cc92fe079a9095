// Several cartridges on one machine: one engine per medium, one host service
// (the real kelsim-host) for several drives, and trace files that say whose
// they are.
#include "scenario_support.h"
#include "support/child_program.h"
#include "support/test_dir.h"
#include "support/udfinfo.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace e2e {
namespace {

// ---------------------------------------------------------------- one engine per medium

class OneEnginePerMedium : public Scenario {};

// A second engine started on a medium another engine serves (its own cache
// directory) is refused every request, its unmount too, before it sends the
// drive anything;
// the first goes on, and its files are all there after a remount.
TEST_F(OneEnginePerMedium, ASecondEngineIsRefusedBeforeItWritesAndTheFirstKeepsItsFiles) {
  make_sim({});
  start_checked();
  archive_file("/a/one.dat", 300000, 1);
  archive_file("/a/two.dat", 70000, 2);
  sync("SyncTime");
  int last_connection = 0;
  for (const auto& e : sim_->service().transcript()) last_connection = std::max(last_connection, e.connection);

  auto second = start_engine(*sim_, sim_->directory() + "/cache-second", {});
  const std::string refused = "HRESULT=\"-2147024788\"";  // 0x8007006C, ERROR_DRIVE_LOCKED
  auto answers = second->request(kelsim::request_line(1, "Check"), ends_request);
  ASSERT_FALSE(answers.empty()) << second->describe();
  EXPECT_NE(answers.back().raw.find(refused), std::string::npos) << second->describe();
  const std::string holder = "in use by another engine (process " + std::to_string(engine_->pid()) + ")";
  const auto all = second->elements();
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const EngineElement& e) {
    return e.name == "Error" && e.attribute("SequenceNumber") == "1" && e.text.find(holder) != std::string::npos;
  })) << second->describe();
  const std::string local = sim_->directory() + "/second-in";
  std::ofstream(local) << "the second engine's file";
  kelsim::ArchiveRequest r;
  r.name = "/a/second.dat";
  const auto archived = second->archive(2, local, r);
  EXPECT_FALSE(archived.ok);
  ASSERT_NE(archived.last(), nullptr) << second->describe();
  EXPECT_NE(archived.last()->raw.find(refused), std::string::npos) << second->describe();
  // Its unmount saved and released nothing: it answers the refusal, never
  // "KelSuccess", and ends.
  answers = second->request(kelsim::request_line(3, "UnmountVolume"),
                            [](const EngineElement& e) { return e.name == "Shutdown"; });
  ASSERT_GE(answers.size(), 2u) << second->describe();
  EXPECT_EQ(answers.back().name, "Shutdown");
  EXPECT_EQ(answers[answers.size() - 2].raw, "<HRESULT SequenceNumber=\"3\" " + refused + "></HRESULT>")
      << second->describe();
  for (const auto& e : answers) EXPECT_NE(e.name, "KelSuccess") << second->describe();
  EXPECT_EQ(second->wait_exit(), 0) << second->describe();
  const auto t = sim_->service().transcript();
  const auto reached = std::find_if(t.begin(), t.end(), [&](const TranscriptEntry& e) { return e.connection > last_connection; });
  EXPECT_TRUE(reached == t.end()) << "the second engine reached the service: " << reached->line();

  archive_file("/a/three.dat", 5000, 3);
  sync("SyncTime");
  for (const char* f : {"/a/one.dat", "/a/two.dat", "/a/three.dat"}) expect_restores(f);
  expect_sound_cartridge({{"/a", {"one.dat", "two.dat", "three.dat"}}}, {"/a/one.dat", "/a/two.dat", "/a/three.dat"});
}

// ---------------------------------------------------------------- one service, several drives

// KEL_PIPE_DIR for the life of the object.
class ScopedPipeDir {
 public:
  explicit ScopedPipeDir(const std::string& dir) {
    if (const char* old = std::getenv("KEL_PIPE_DIR")) old_ = old;
    ::setenv("KEL_PIPE_DIR", dir.c_str(), 1);
  }
  ~ScopedPipeDir() {
    if (old_.empty())
      ::unsetenv("KEL_PIPE_DIR");
    else
      ::setenv("KEL_PIPE_DIR", old_.c_str(), 1);
  }

 private:
  std::string old_;
};

// One cartridge of the service and the engine that serves it now.
struct Medium {
  std::string cookie_text;
  std::string serial;     // the drive's, as the service names it
  std::string cartridge;  // its folder
  std::unique_ptr<kelsim::EngineProcess> engine;
  std::vector<int> pids;  // of every engine it had
  std::uint64_t sequence = 0;
  std::map<std::string, std::string> archived;  // name -> bytes

  void start(const std::string& host_dir, const std::string& traces) {
    kelsim::EngineProcessOptions o;
    o.program = KEL_DRIVER_PROGRAM;
    o.registry_dwords = {{"Debug File Trace Level", 7}};
    o.registry_strings = {{"Debug File Directory Path", traces}};
    engine = std::make_unique<kelsim::EngineProcess>(kelsim::EngineHost{host_dir, cookie_text}, o);
    ASSERT_TRUE(engine->started()) << engine->error();
    pids.push_back(engine->pid());
    ask("Check", "KelVolume");
  }
  void ask(const std::string& opcode, const std::string& expect, const Attributes& attributes = {}) {
    const auto answers = engine->request(kelsim::request_line(++sequence, opcode, attributes), ends_request);
    EXPECT_TRUE(!answers.empty() && answers.back().name == expect)
        << cookie_text << " " << opcode << "\n" << engine->describe();
  }
  void archive(const std::string& name, std::size_t bytes, int seed, const std::string& scratch) {
    std::string data(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i) data[i] = static_cast<char>((i * 251 + seed * 13 + i / 512) & 0xFF);
    std::ofstream(scratch, std::ios::binary | std::ios::trunc) << data;
    archived[name] = data;
    kelsim::ArchiveRequest r;
    r.name = name;
    const auto res = engine->archive(++sequence, scratch, r);
    EXPECT_TRUE(res.ok) << cookie_text << " " << name << "\n" << engine->describe();
  }
  void expect_restores(const std::string& name, const std::string& scratch) {
    kelsim::RestoreRequest r;
    r.name = name;
    const auto res = engine->restore(++sequence, r, scratch);
    ASSERT_TRUE(res.ok) << cookie_text << " " << name << "\n" << engine->describe();
    std::ifstream in(scratch, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), {});
    EXPECT_TRUE(got == archived[name]) << cookie_text << " " << name << ": " << got.size() << " bytes restored";
  }
  std::set<std::string> listing(const std::string& path) {
    std::set<std::string> names;
    for (const auto& e : engine->request(
             kelsim::request_line(++sequence, "ReadDirectory", {{"Name", kelsim::escape_name(path)}}),
             ends_request)) {
      const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
      if (e.name == "KelDirent" && !name.empty() && name.find("#*ECC_Parity_") == std::string::npos)
        names.insert(name);
    }
    return names;
  }
  void unmount() {
    const auto answers = engine->request(kelsim::request_line(++sequence, "UnmountVolume"),
                                         [](const EngineElement& e) { return e.name == "Shutdown"; });
    EXPECT_TRUE(!answers.empty() && answers.back().name == "Shutdown") << engine->describe();
    EXPECT_EQ(engine->wait_exit(), 0) << engine->describe();
    engine.reset();
  }
};

// The trace files of one process in the folder: "KELtrace_..-<pid>.txt".
std::vector<std::filesystem::path> trace_files_of(const std::string& folder, int pid) {
  std::vector<std::filesystem::path> out;
  const std::string tail = "-" + std::to_string(pid) + ".txt";
  for (const auto& f : std::filesystem::directory_iterator(folder)) {
    const std::string name = f.path().filename().string();
    if (name.rfind("KELtrace_", 0) == 0 && name.size() > tail.size() &&
        name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
      out.push_back(f.path());
  }
  return out;
}

// Lines of the files that hold `text`.
std::size_t lines_with(const std::vector<std::filesystem::path>& files, const std::string& text) {
  std::size_t n = 0;
  for (const auto& f : files) {
    std::ifstream in(f);
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
  }
  return n;
}

// Two drives of one kelsim-host (write-once E1h and rewritable E2h), an engine
// on each at once: archive, Sync, restore and list interleaved request by
// request; each engine sees only its own files, new engines with new caches
// restore every file, udfinfo accepts every written slot, and the trace
// files, in one folder, carry each engine's process id in their names and
// only its own drive's serial in their lines.
TEST(SeveralMedia, OneServiceServesTwoDrivesToTwoEnginesAtOnce) {
  const kel_test::ScopedTempDir tmp("kel-several-media-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string dir = tmp.path();
  const std::string traces = dir + "/traces";
  std::filesystem::create_directories(traces);
  ScopedPipeDir pipes(dir + "/pipes");
  kel_test::ChildProgram service(KELSIM_HOST_PROGRAM, {"--slots", "3", "--dir", dir + "/cart-1", "--medium-type", "E1",
                                                       "--dir", dir + "/cart-2", "--medium-type", "E2"});
  ASSERT_EQ(service.line().rfind("kelsim-host: pipe ", 0), 0u);
  Medium media[2];
  for (int i = 0; i < 2; ++i) {
    Medium& m = media[i];
    m.cookie_text = "/dev/sd" + std::to_string(i + 1);
    const std::string drive = service.line();
    ASSERT_NE(drive.find("medium cookie " + m.cookie_text + ", serial "), std::string::npos) << drive;
    m.serial = drive.substr(drive.rfind(' ') + 1);
    m.cartridge = dir + "/cart-" + std::to_string(i + 1);
    service.line();
  }
  ASSERT_NE(media[0].serial, media[1].serial);

  const std::string scratch = dir + "/scratch";
  for (int i = 0; i < 2; ++i) media[i].start(dir + "/host-" + std::to_string(i + 1), traces);
  const std::size_t sizes[3] = {400000, 65536, 1234};
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 2; ++i)
      media[i].archive("/m" + std::to_string(i) + "/f" + std::to_string(k) + ".dat", sizes[k], i * 10 + k, scratch);
  for (Medium& m : media)
    m.ask("Sync", "KelSync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 2; ++i) media[i].expect_restores("/m" + std::to_string(i) + "/f" + std::to_string(k) + ".dat", scratch);
  const std::set<std::string> files = {"f0.dat", "f1.dat", "f2.dat"};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(media[i].listing("/"), std::set<std::string>{"m" + std::to_string(i)}) << "no engine sees the other's";
    EXPECT_EQ(media[i].listing("/m" + std::to_string(i)), files);
  }
  for (Medium& m : media) m.unmount();

  // New engines with empty caches read both volumes back.
  for (int i = 0; i < 2; ++i) media[i].start(dir + "/again-" + std::to_string(i + 1), traces);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(media[i].listing("/m" + std::to_string(i)), files);
    for (const auto& [name, bytes] : media[i].archived) media[i].expect_restores(name, scratch);
  }
  for (Medium& m : media) m.unmount();
  EXPECT_EQ(service.stop(), 0);

  for (const Medium& m : media) {
    SCOPED_TRACE(m.cookie_text);
    std::shared_ptr<kelsim::Cartridge> cart;
    ASSERT_EQ(kelsim::Cartridge::open(m.cartridge, &cart), ERROR_SUCCESS);
    const std::vector<int> slots = written_slots(*cart);
    EXPECT_FALSE(slots.empty());
    for (int s : slots) {
      char name[32];
      std::snprintf(name, sizeof name, "/slot-%02d.img", s);
      expect_udfinfo(m.cartridge + name, {});
    }
  }

  for (int i = 0; i < 2; ++i) {
    for (int pid : media[i].pids) {
      SCOPED_TRACE(media[i].cookie_text + ", process " + std::to_string(pid));
      const auto own = trace_files_of(traces, pid);
      ASSERT_FALSE(own.empty()) << "a trace file named after the process";
      EXPECT_GT(lines_with(own, "[" + media[i].serial + "]"), 0u);
      EXPECT_EQ(lines_with(own, "[" + media[1 - i].serial + "]"), 0u) << "the other drive's serial";
    }
  }
}

}  // namespace
}  // namespace e2e
