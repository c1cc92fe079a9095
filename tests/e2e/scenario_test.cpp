// A blank cartridge's life through the real KelDriver as the host service
// runs it: formatted and mounted by Check, folders made, listed, renamed and
// deleted, unmounted, mounted again by new processes, and its slot image
// judged by udfinfo.
#include "sim/engine_process.h"
#include "sim/harness.h"
#include "support/settles.h"
#include "support/udfinfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using kelsim::EngineElement;
using kelsim::EngineProcess;
using kelsim::EngineProcessOptions;
using kelsim::escape_name;
using kelsim::request_line;

constexpr char kSerial[] = "E2E 0123456789ABCDEF";

struct Medium {
  std::uint8_t type;
  const char* product;
};

std::string medium_name(const ::testing::TestParamInfo<Medium>& info) {
  char b[32];
  std::snprintf(b, sizeof b, "%02X_%s", info.param.type, info.param.product);
  std::string s = b;
  std::replace(s.begin(), s.end(), '-', '_');
  return s;
}

bool ends_request(const EngineElement& e) {
  return e.name == "KelSuccess" || e.name == "HRESULT" || e.name == "KelVolume" ||
         (e.name == "KelDirent" && e.attribute("ObjectName").empty());
}

class CartridgeLife : public ::testing::TestWithParam<Medium> {
 protected:
  void SetUp() override {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = GetParam().type;
    o.cartridge.medium_serial = kSerial;
    o.drive.product = GetParam().product;
    // A new rewritable cartridge comes physically formatted, with no volume
    // yet: the first Check writes one.
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    cache_ = sim_->directory() + "/cache";
  }

  void start() {
    EngineProcessOptions o;
    o.program = KEL_DRIVER_PROGRAM;
    o.cache_directory = cache_;
    engine_ = std::make_unique<EngineProcess>(*sim_, o);
    ASSERT_TRUE(engine_->started()) << engine_->error();
  }

  // Sends one request and returns its answers, the last one ending it.
  std::vector<EngineElement> ask(const std::string& opcode,
                                 const std::vector<std::pair<std::string, std::string>>& attributes = {}) {
    const std::uint64_t seq = ++sequence_;
    sent_.push_back(seq);
    auto answers = engine_->request(request_line(seq, opcode, attributes), ends_request);
    if (answers.empty() || !ends_request(answers.back())) ADD_FAILURE() << opcode << "\n" << engine_->describe();
    return answers;
  }
  EngineElement ask_one(const std::string& opcode, const std::string& expect,
                        const std::vector<std::pair<std::string, std::string>>& attributes = {}) {
    auto answers = ask(opcode, attributes);
    if (answers.empty() || answers.back().name != expect) {
      ADD_FAILURE() << opcode << " answered " << (answers.empty() ? "nothing" : answers.back().raw) << "\n"
                    << engine_->describe();
      return EngineElement{};
    }
    return answers.back();
  }
  void name_request(const std::string& opcode, const std::string& path, const std::string& new_path = "") {
    std::vector<std::pair<std::string, std::string>> a{{"Name", escape_name(path)}};
    if (!new_path.empty()) a.push_back({"NewName", escape_name(new_path)});
    a.push_back({"KernelInterface", "0"});
    a.push_back({"BlockNumber", "0"});
    ask_one(opcode, "KelVolume", a);  // name-space requests answer the refreshed volume
  }
  std::set<std::string> listing(const std::string& path) {
    std::set<std::string> names;
    for (const auto& e : ask("ReadDirectory", {{"Name", escape_name(path)}})) {
      if (e.name != "KelDirent") {
        ADD_FAILURE() << "listing of " << path << ": " << e.raw;
        continue;
      }
      const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
      if (!name.empty()) names.insert(name);
    }
    return names;
  }
  std::uint32_t volume_figure(const std::string& key) {
    const EngineElement v = ask_one("GetVolumeInfo", "KelVolume");
    return static_cast<std::uint32_t>(std::stoul(v.attribute(key).empty() ? "0" : v.attribute(key)));
  }
  void unmount() {
    const std::uint64_t seq = ++sequence_;
    auto answers = engine_->request(request_line(seq, "UnmountVolume"),
                                    [](const EngineElement& e) { return e.name == "Shutdown"; });
    std::vector<std::string> names;
    for (const auto& e : answers) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"KelSuccess", "Shutdown"})) << engine_->describe();
    EXPECT_EQ(engine_->wait_exit(), 0) << engine_->describe();
  }
  // Every request sent so far has exactly one end-of-request notice: no
  // command block, phase 12, its sequence number.
  // The notice travels to the host service after the answer the test has
  // already read: wait (bounded) until every request's notice arrived.
  void expect_one_notice_per_request() {
    std::map<std::uint64_t, int> notices;
    auto count = [&] {
      notices.clear();
      for (const auto& e : sim_->service().transcript())
        if (e.cdb.empty() && e.phase == 12) ++notices[e.sequence];
      return std::all_of(sent_.begin(), sent_.end(), [&](std::uint64_t seq) { return notices[seq] > 0; });
    };
    kel_test::settles(count);
    for (std::uint64_t seq : sent_) EXPECT_EQ(notices[seq], 1) << "request " << seq;
  }
  // Whether a debug message of the engine holds the text.
  bool logged(const std::string& text) const {
    for (const auto& e : engine_->elements())
      if (e.is_debug() && e.text.find(text) != std::string::npos) return true;
    return false;
  }
  std::size_t mount_commands_after(std::size_t from) {
    const auto t = sim_->service().transcript();
    std::size_t n = 0;
    for (std::size_t i = from; i < t.size(); ++i)
      if (t[i].phase == 1 && !t[i].cdb.empty()) ++n;
    return n;
  }

  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<EngineProcess> engine_;
  std::string cache_;
  std::uint64_t sequence_ = 0;
  std::vector<std::uint64_t> sent_;
};

TEST_P(CartridgeLife, FoldersSurviveUnmountAndRestartsAndTheImageIsSound) {
  start();
  const EngineElement volume = ask_one("Check", "KelVolume");
  EXPECT_EQ(volume.attribute("BlockSize"), "2048");
  EXPECT_EQ(volume.attribute("VolumeType"), "0");
  EXPECT_EQ(volume.attribute("ParityRatio"), "128");
  EXPECT_EQ(volume.attribute("QuorvelReplica"), "4294967295");
  EXPECT_EQ(volume.attribute("MediumGUID"), "30313233343536373839414243444546");
  const std::string label = kelsim::unescape_name(volume.attribute("VolumeName"));
  EXPECT_EQ(label, kSerial) << "the trimmed serial";
  // A second Check mounts nothing.
  const std::size_t mark = sim_->service().transcript().size();
  ask_one("Check", "KelVolume");
  EXPECT_EQ(mount_commands_after(mark), 0u);

  const std::string odd = "a&b<c\"d caf\xC3\xA9 \xF0\x9F\x93\x81";
  const std::uint32_t dirs_before = volume_figure("DirectoryCount");
  name_request("CreateDirectory", "/top/mid/leaf");
  name_request("CreateDirectory", "/top/" + odd);
  name_request("CreateDirectory", "/gone");
  EXPECT_EQ(listing("/top"), (std::set<std::string>{"mid", odd}));
  EXPECT_EQ(listing("/top/mid"), (std::set<std::string>{"leaf"}));
  EXPECT_EQ(volume_figure("DirectoryCount"), dirs_before + 5);
  name_request("RenameDirectory", "/top/mid", "/top/middle");
  name_request("DeleteDirectory", "/gone");
  EXPECT_EQ(listing("/"), (std::set<std::string>{"top"}));
  EXPECT_EQ(listing("/top"), (std::set<std::string>{"middle", odd}));
  // The metadata folder is made by the first archive; before and after,
  // no entry of it is listed, whatever the case of its letters.
  for (const auto& e : ask("ReadDirectory", {{"Name", escape_name("/$quorveldata")}}))
    EXPECT_NE(e.name, "KelDirent") << e.raw;
  const std::uint32_t dirs = volume_figure("DirectoryCount");
  const std::uint32_t files = volume_figure("FileCount");
  EXPECT_EQ(dirs, dirs_before + 4);
  expect_one_notice_per_request();
  unmount();

  // The same and an emptied cache directory.
  for (bool empty_cache : {false, true}) {
    if (empty_cache) {
      std::filesystem::remove_all(cache_);
      std::filesystem::create_directories(cache_);
    }
    start();
    ask_one("Check", "KelVolume");
    // The cache the unmount left is coherent and mounted from; an emptied
    // directory makes a new one.
    EXPECT_EQ(logged("CRC chek success."), !empty_cache) << engine_->describe();
    EXPECT_EQ(logged("coherent check err"), empty_cache) << engine_->describe();
    EXPECT_EQ(listing("/"), (std::set<std::string>{"top"})) << "empty cache " << empty_cache;
    EXPECT_EQ(listing("/top"), (std::set<std::string>{"middle", odd})) << "empty cache " << empty_cache;
    unmount();
  }

  // The integrity descriptor counts the root, which DirectoryCount leaves out.
  expect_udfinfo(sim_->cartridge_directory() + "/slot-00.img",
                 {"blocksize=2048", "integrity=closed", "lvid=" + label, "numdirs=" + std::to_string(dirs + 1),
                  "numfiles=" + std::to_string(files)});
}

INSTANTIATE_TEST_SUITE_P(Media, CartridgeLife,
                         ::testing::Values(Medium{0xE1, "QMR-T300A"}, Medium{0xE2, "QMR-T300A"},
                                           Medium{0xF2, "QMR-T400A"}),
                         medium_name);

}  // namespace

namespace {

class EngineCases : public ::testing::Test {
 protected:
  std::unique_ptr<EngineProcess> start(kelsim::SimHarness& sim,
                                       std::vector<std::pair<std::string, std::uint32_t>> dwords = {}) {
    EngineProcessOptions o;
    o.program = KEL_DRIVER_PROGRAM;
    o.registry_dwords = std::move(dwords);
    auto engine = std::make_unique<EngineProcess>(sim, o);
    EXPECT_TRUE(engine->started()) << engine->error();
    return engine;
  }
  static EngineElement check(EngineProcess& engine, std::uint64_t seq) {
    auto answers = engine.request(request_line(seq, "Check"), ends_request);
    if (answers.empty()) {
      ADD_FAILURE() << engine.describe();
      return EngineElement{};
    }
    return answers.back();
  }
};

TEST_F(EngineCases, VolumeTypeOneFromTheRegistryHasNoParityRatio) {
  kelsim::SimHarness sim;
  auto engine = start(sim, {{"Volume Type", 1}});
  const EngineElement v = check(*engine, 1);
  ASSERT_EQ(v.name, "KelVolume") << engine->describe();
  EXPECT_EQ(v.attribute("VolumeType"), "1");
  EXPECT_EQ(v.attribute("ParityRatio"), "0");
}

// Threads of a process, from /proc.
std::size_t thread_count(pid_t pid) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& t :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
    ++n;
  return n;
}

TEST_F(EngineCases, AnUnmountableCartridgeAnswersEveryCheckWithoutGatheringThreads) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE2;
  o.cartridge.rewritable_formatted = false;
  kelsim::SimHarness sim(o);
  // A rewritable disc never physically formatted: the mount finds no
  // volume and cannot write one (a formatted one gets its volume at mount).
  // The cache agent thread of a failed mount is detached and may still be
  // ending when the answer comes, so each later count is awaited (bounded);
  // a thread left behind by every Check makes it grow past the first one's.
  auto engine = start(sim);
  std::size_t threads = 0;
  for (std::uint64_t seq = 1; seq <= 4; ++seq) {
    const EngineElement e = check(*engine, seq);
    EXPECT_EQ(e.name, "HRESULT") << engine->describe();
    if (seq == 1) {
      threads = thread_count(engine->pid());
      continue;
    }
    EXPECT_TRUE(kel_test::settles([&] { return thread_count(engine->pid()) <= threads; }))
        << "Check " << seq << ": " << thread_count(engine->pid()) << " threads, " << threads << " after the first";
  }
}

}  // namespace
