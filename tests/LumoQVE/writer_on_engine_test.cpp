// The writer's own calls over the real engine's slots in this process, on
// simulated write-once and rewritable cartridges: files go in as the
// request handlers write them and come back through ReadData; the slot
// images pass udfinfo.
#ifdef KEL_WRITER_ON_ENGINE
#include "engine_on_sim.h"

#include "AnnulusFileIO/RUVO.h"
#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"
#include "LumoQVE/UserDataFileIO.h"
#include "kel/kel_interface.h"
#include "kel/volctrl.h"
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/support/test_writer.h"
#include "support/udfinfo.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <functional>
#include <set>
#include <string>
#include <tuple>

namespace enginetest {
// The engine's log is not recorded in this suite.
bool logged(const std::string&) { return false; }
void clear_log() {}
}  // namespace enginetest

namespace {

// The packed session of the interface the test runs.
LumoQVE::PackedSession& session() { return *LumoQVE::PackedSession::current(); }

using LumoQVE::UserDataFileIO;

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed * 31 + i / 4093) & 0xFF);
  return s;
}

// The lengths of the writes the writer hands the engine's WriteData slot.
std::mutex g_writes_mu;
std::vector<unsigned> g_writes;
int recording_write(void* handle, const void* buffer, std::uint64_t offset, unsigned length, int* done) {
  {
    std::lock_guard<std::mutex> lk(g_writes_mu);
    g_writes.push_back(length);
  }
  return kelmain::WriteData(handle, buffer, offset, length, done);
}

// File controls pass to the engine; armed with a handle, the first
// allocation count query of that file adds one more extent to it once the
// engine has answered (the file grows between the wrapper's two queries).
std::mutex g_grow_mu;
void* g_grow_handle = nullptr;
MDCFS_SPACE_ENTRY g_grow_area{};
int growing_ioctl(void* handle, unsigned code, void* data) {
  const int r = kelmain::FileIoctl(handle, code, data);
  std::lock_guard<std::mutex> lk(g_grow_mu);
  auto* b = static_cast<MDCFS_SPACE_ENTRIES_BUFFER*>(data);
  if (r == 0 && handle == g_grow_handle && code == AnnulusFileIO::kFsctlGetFileAllocation && b->SpaceEntries == 0) {
    g_grow_handle = nullptr;  // once
    MDCFS_SPACE_ENTRY copy = g_grow_area;
    MDCFS_SPACE_ENTRIES_BUFFER add{};
    add.SpaceEntries = reinterpret_cast<std::uintptr_t>(&copy);
    add.TotalSpaceCount = 1;
    EXPECT_EQ(kelmain::FileIoctl(handle, AnnulusFileIO::kFsctlAddFileAllocation, &add), 0);
  }
  return r;
}

// Volume controls pass to the engine; while refuse_rebuild is set the
// engine's answer to MDCFSCTL_REBUILD_FILE_ALLOCATION is an I/O error.
std::atomic<bool> g_refuse_rebuild{false};
int refusing_fsctl(unsigned code, void* data) {
  if (g_refuse_rebuild.load() && code == 0x80247061) return 5;
  return kelmain::Fsctl(code, data);
}

// The lines the writer traces, and an action a test runs on the tracing
// thread when a line is traced (to fail a drive command at that very step).
// The action runs under its own lock, which setting a new one takes too:
// what it changes is the test's to read once it is replaced.
std::mutex g_trace_mu;
std::vector<std::u16string> g_traces;
std::recursive_mutex g_action_mu;
std::function<void(const std::u16string&)> g_on_trace;
int recording_log(unsigned level, int source, const char* function, int line, const WCHAR* text) {
  const std::u16string t = text ? std::u16string(text) : std::u16string();
  {
    std::lock_guard<std::mutex> lk(g_trace_mu);
    g_traces.push_back(t);
  }
  {
    std::lock_guard<std::recursive_mutex> lk(g_action_mu);
    if (g_on_trace) g_on_trace(t);
  }
  const auto log = kelmain::operation_table().LogMessage;
  return log ? log(level, source, function, line, text) : 0;
}
std::vector<std::u16string> traces() {
  std::lock_guard<std::mutex> lk(g_trace_mu);
  return g_traces;
}
std::size_t count_traced(const std::u16string& text) {
  std::size_t n = 0;
  for (const auto& t : traces()) n += t == text;
  return n;
}
std::u16string ascii(const char* format, int value) {
  char text[160];
  std::snprintf(text, sizeof text, format, value);
  return std::u16string(text, text + std::strlen(text));
}
void on_trace(std::function<void(const std::u16string&)> act) {
  std::lock_guard<std::recursive_mutex> lk(g_action_mu);
  g_on_trace = std::move(act);
}

class WriterOnEngine : public enginetest::EngineOnSim {
 protected:
  void TearDown() override {
    on_trace({});
    kel::SetCurrentInterface(nullptr);
    RuvoCtrlVolume::resetForTesting();
    EngineOnSim::TearDown();
  }
  // A blank cartridge of this medium initialised and mounted, the request
  // interface running over the real slots, real (not packed) writing.
  void mount(std::uint8_t medium, const std::function<void(kelsim::HarnessOptions&)>& tweak = {},
             std::uint8_t volume_type = 0, const std::function<void()>& before_mount = {}) {
    // The drive layer formats the blank disc with the configured volume
    // type; the mount takes it back from the volume's own mark.
    if (volume_type != 0) {
      std::ofstream(dir_ / "registry.reg", std::ios::trunc)
          << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Stravo\\KELFS]\n"
          << "\"Volume Type\"=dword:0000000" << static_cast<int>(volume_type) << "\n";
      kel::ResetConfigCache();
    }
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = medium;
    if (tweak) tweak(o);
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    // A rewritable cartridge comes physically formatted, without a volume.
    if (kelsim::is_rewritable_type(medium)) sim_->cartridge().disc(0).formatted = true;
    cookie_ = sim_->cookie_text();
    cache_ = (dir_ / "cache").string();
    argv_ = {program_.data(), cookie_.data(), cache_.data(), nullptr};
    ASSERT_EQ(quorvel_kel_init(3, const_cast<const char**>(argv_.data())), 0);
    ASSERT_EQ(initialise(), 0);
    if (before_mount) before_mount();
    ASSERT_EQ(kelmain::MountDefault(), 0);
    RuvoCtrlVolume::resetForTesting();
    ops_ = kelmain::operation_table();
    ops_.WriteData = recording_write;
    ops_.FileIoctl = growing_ioctl;
    ops_.Fsctl = refusing_fsctl;
    ops_.LogMessage = recording_log;
    {
      std::lock_guard<std::mutex> lk(g_writes_mu);
      g_writes.clear();
    }
    {
      std::lock_guard<std::mutex> lk(g_trace_mu);
      g_traces.clear();
    }
    ASSERT_GE(itf_.Initialise(&ops_), 0);
    kel::SetCurrentInterface(&itf_);
    RuvoCtrlVolume::setPackedWriteMode(false);
  }
  // The engine stopped and started again on the same cartridge (the drive
  // layer judges the medium afresh), `between` run while it is down, and
  // the volume mounted with the default flags.
  void restart_engine(const std::function<void()>& between) {
    kel::SetCurrentInterface(nullptr);
    enginetest::stop_engine();
    between();
    ASSERT_EQ(quorvel_kel_init(3, const_cast<const char**>(argv_.data())), 0);
    ASSERT_EQ(initialise(), 0);
    ASSERT_EQ(kelmain::MountDefault(), 0);
    RuvoCtrlVolume::resetForTesting();
    RuvoCtrlVolume::setPackedWriteMode(false);
    kel::SetCurrentInterface(&itf_);
  }
  // The archive handler's calls: the file made anew by the engine, opened
  // through the writer by its stored name, sized, written in pieces,
  // flushed, timed and closed, then the engine's handle closed.
  std::uint32_t archive(const std::string& name, const std::string& content, std::size_t piece,
                        std::string* stored_name = nullptr) {
    char stored[260] = {};
    void* handle = nullptr;
    EXPECT_EQ(kelmain::CreateFile("/", name.c_str(), sizeof stored, stored, &handle), 0);
    std::shared_ptr<UserDataFileIO> f;
    const std::string s(stored);
    if (stored_name) *stored_name = s;
    std::uint32_t r = UserDataFileIO::convertPort2Writer(u"", std::u16string(s.begin(), s.end()), 0x40000000,
                                                         nullptr, 0, 1, 0x80, nullptr, f);
    if (r == 0) r = write_all(*f, content, piece);
    if (r == 0) r = f->close();
    kelmain::CloseFile(handle, true);
    return r;
  }
  static std::uint32_t write_all(UserDataFileIO& f, const std::string& content, std::size_t piece) {
    f.seek(static_cast<std::int64_t>(content.size()));
    if (std::uint32_t r = f.setEndOfFile()) return r;
    f.seek(0);
    for (std::size_t at = 0; at < content.size(); at += piece) {
      if (std::uint32_t r = f.createWriterObject()) return r;
      const auto n = static_cast<std::uint32_t>(std::min(piece, content.size() - at));
      std::uint32_t written = 0;
      if (std::uint32_t r = f.getWriter()->write(content.data() + at, n, &written)) return r;
      if (written != n) return 1;
    }
    if (std::uint32_t r = f.createWriterObject()) return r;
    if (std::uint32_t r = f.getWriter()->flush(true)) return r;
    return f.getWriter()->setFileTime(1000, 2000, 3000);
  }
  // The file's whole content through ReadData (empty with a failure when
  // it cannot be opened), its size from GetPathInfo.
  std::string read_back(const std::string& path, std::uint64_t* size = nullptr) {
    KELFS_OBJECT_INFO info{};
    EXPECT_EQ(kelmain::GetPathInfo(path.c_str(), 0, &info), 0) << path;
    if (size) *size = info.Size;
    void* h = nullptr;
    if (kelmain::OpenFile(path.c_str(), 1, &h) != 0) {
      ADD_FAILURE() << "cannot open " << path;
      return {};
    }
    std::string out(info.Size, '\0');
    std::uint64_t at = 0;
    while (at < info.Size) {
      int done = 0;
      const auto n = static_cast<unsigned>(std::min<std::uint64_t>(info.Size - at, 1u << 20));
      if (kelmain::ReadData(h, out.data() + at, at, n, &done) != 0 || done <= 0) break;
      at += static_cast<unsigned>(done);
    }
    kelmain::CloseFile(h, true);
    out.resize(at);
    return out;
  }
  // Every written slot image passes udfinfo once the engine has let go.
  void expect_images_sound() {
    ASSERT_EQ(kelmain::Flush(true), 0);
    kel::SetCurrentInterface(nullptr);
    ASSERT_EQ(kelmain::Unmount(false), 0);
    ASSERT_EQ(sim_->drive().flush(), 0u);
    expect_udfinfo(sim_->cartridge_directory() + "/slot-00.img", {});
  }

  // The extents of a file as the engine lists them (empty when missing).
  static std::vector<std::pair<std::uint64_t, std::uint32_t>> extents(const std::string& path) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> out;
    KELFS_OBJECT_INFO head{};
    if (kelmain::GetPathInfo(path.c_str(), 1, &head) != 0) return out;
    const std::uint32_t n = std::max<std::uint32_t>(head.SpaceEntries.Count, 1);
    std::vector<std::uint8_t> bytes(KelObjectInfoSize(n) + 64, 0);
    auto* info = reinterpret_cast<KELFS_OBJECT_INFO*>(bytes.data());
    if (kelmain::GetPathInfo(path.c_str(), n, info) != 0) return out;
    for (std::uint32_t i = 0; i < info->SpaceEntries.Count; ++i)
      out.emplace_back(info->SpaceEntries.Entries[i].BlockNumber, info->SpaceEntries.Entries[i].NumberOfBlocks);
    return out;
  }
  static bool exists(const std::string& path) {
    KELFS_OBJECT_INFO head{};
    return kelmain::GetPathInfo(path.c_str(), 0, &head) == 0;
  }

  FileSystemOperations ops_{};
  CKelInterface itf_;
};

// The first stripe's parity as the test computes it: every byte of the
// stripe folded onto its place in the parity unit.
std::string first_stripe_parity(const std::string& data, std::size_t stripe, std::size_t parity) {
  std::vector<std::uint64_t> p(parity / 8, 0);
  const std::size_t end = std::min(stripe, data.size());
  for (std::size_t at = 0; at + 8 <= end; at += 8) {
    std::uint64_t w;
    std::memcpy(&w, data.data() + at, 8);
    p[(at % parity) / 8] ^= w;
  }
  std::string out(parity, '\0');
  std::memcpy(out.data(), p.data(), parity);
  for (std::size_t at = end - end % 8; at < end; ++at) out[at % parity] ^= data[at];
  return out;
}

struct BigCase {
  const char* what;
  std::uint8_t medium;
  bool new_write;
  const char* parity_suffix;
};

// Buffers of 48 MiB end inside the first stripe's last buffer; the file
// reads back whole and its parity file starts with the first stripe's fold.
TEST_F(WriterOnEngine, LargeFileAndItsParityOnEveryCartridgeAndWriteMode) {
  const BigCase cases[] = {
      {"write-once, old write", 0xE1, false, "#*ECC_Parity_V100_N=2064_K=2048"},
      {"write-once, new write", 0xE1, true, "#*ECC_Parity_V100_N=2064_K=2048"},
      {"rewritable, old write", 0xE2, false, "#*ECC_Parity_V100_N=2064_K=2048"},
      {"rewritable, new write", 0xE2, true, "#*ECC_Parity_V100_N=2064_K=2048"},
      {"F2h, old write", 0xF2, false, "#*ECC_Parity_V100_N=516_K=512"},
  };
  const std::string content = pattern(134217728 + 100000, 7);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(mount(c.medium, [&](kelsim::HarnessOptions& o) {
      if (c.new_write) o.drive.error_reporting_threshold = 0x8000;
    }));
    // The mount read the error-recovery page whatever its threshold and
    // stays writable.
    kelmain::MountInformation mi{};
    ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
    EXPECT_EQ(mi.write_protect_reason_flags & 0x200u, 0u);
    RuvoCtrlVolume::setWriteBufferMb(48);
    ASSERT_EQ(archive("big.bin", content, 1 << 20), 0u);
    EXPECT_EQ(RuvoCtrlVolume::getNewWrite(), c.new_write);
    EXPECT_TRUE(RuvoCtrlVolume::getGenerateParity());
    std::uint64_t size = 0;
    EXPECT_TRUE(read_back("/big.bin", &size) == content);
    EXPECT_EQ(size, content.size());
    const std::string parity = read_back(std::string("/big.bin") + c.parity_suffix);
    ASSERT_GE(parity.size(), 1048576u);
    EXPECT_TRUE(parity.substr(0, 1048576) == first_stripe_parity(content, 134217728, 1048576));
    expect_images_sound();
    TearDown();
    SetUp();
  }
}

struct FaultCase {
  const char* what;
  std::uint8_t medium;
  bool new_write;
  kelsim::FaultRule rule;
  int fires;  // times the rule must have fired
};

kelsim::FaultRule nth(kelsim::FaultRule r, int skip, int times) {
  r.skip = skip;
  r.times = times;
  return r;
}

// A drive failure in the middle of a file is recovered (new write: from
// the error block the drive reports; old write: the defect rewrite loop)
// and the file reads back byte-identical, its parity with it. New write
// runs with an error-reporting window of 1,024 blocks: the two unconfirmed
// buffers of 1 MiB the writer keeps for it hold every block the drive can
// report lost.
TEST_F(WriterOnEngine, FailuresMidFileAreRecoveredAndTheFileReadsBackWhole) {
  const kelsim::FaultRule sync = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
  const kelsim::FaultRule lost = kelsim::transport_status(121, 0x35);
  const FaultCase cases[] = {
      {"write-once, old write, sync check condition", 0xE1, false, nth(sync, 2, 1), 1},
      {"write-once, new write, sync check condition", 0xE1, true, nth(sync, 2, 1), 1},
      {"write-once, new write, sync transport 3 times", 0xE1, true, nth(lost, 2, 3), 3},
      {"write-once, old write, sync transport 3 times", 0xE1, false, nth(lost, 2, 3), 3},
      {"rewritable, old write, sync check condition", 0xE2, false, nth(sync, 2, 1), 1},
      {"rewritable, new write, sync check condition", 0xE2, true, nth(sync, 2, 1), 1},
      {"write-once, new write, a failed write", 0xE1, true, nth(kelsim::write_error(0, 0xFFFFFFFEu), 6, 1), 1},
      {"write-once, old write, a failed write", 0xE1, false, nth(kelsim::write_error(0, 0xFFFFFFFEu), 6, 1), 1},
  };
  const std::string content = pattern(9 * 1048576 + 12345, 3);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(mount(c.medium, [&](kelsim::HarnessOptions& o) {
      if (c.new_write) o.drive.error_reporting_threshold = 0x400;
    }));
    RuvoCtrlVolume::setWriteBufferMb(1);
    const int id = sim_->drive().add_fault(c.rule);
    ASSERT_EQ(archive("f.bin", content, 300000), 0u);
    EXPECT_EQ(sim_->drive().fault_fired(id), c.fires);
    sim_->drive().clear_faults();
    EXPECT_EQ(RuvoCtrlVolume::getNewWrite(), c.new_write);
    std::uint64_t size = 0;
    EXPECT_TRUE(read_back("/f.bin", &size) == content);
    EXPECT_EQ(size, content.size());
    const std::string parity = read_back("/f.bin#*ECC_Parity_V100_N=2064_K=2048");
    EXPECT_TRUE(parity == first_stripe_parity(content, 134217728, 1048576));
    expect_images_sound();
    TearDown();
    SetUp();
  }
}

// A drive whose error-recovery page cannot be read (the engine's query
// 0x40085508 fails): the mount adds write-protect reason 0x200, the write
// policy answers the failure, and the writer refuses the file before it
// writes anything.
TEST_F(WriterOnEngine, AnUnreadableErrorRecoveryPageProtectsTheVolume) {
  ASSERT_NO_FATAL_FAILURE(mount(0xE1, {}, 0, [&] {
    auto rule = kelsim::command_fails(0x5A, kelsim::Sense{5, 0x24, 0});
    rule.mode_page = 0x01;
    rule.mode_length = 20;  // the error-recovery page with its threshold
    sim_->drive().add_fault(rule);
  }));
  kelmain::MountInformation mi{};
  ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
  EXPECT_EQ(mi.write_protect_reason_flags & 0x200u, 0x200u);
  // The write policy: the same query fails again, the window stays 0.
  RuvoCtrlVolume volume(u"");
  MDCFS_WRITE_POLICY_INFORMATION policy{};
  EXPECT_EQ(volume.getWritePolicyInformation(policy), 0x8800001Cu);
  EXPECT_EQ(policy.ErrorReportingWindowBlocks, 0u);
  // The writer's privileged mode is refused on a protected volume; the
  // engine makes no file on it.
  EXPECT_EQ(volume.enterPrivilegedMode(true), 0x88000013u);
  char stored[260] = {};
  void* handle = nullptr;
  EXPECT_EQ(kelmain::CreateFile("/", "p.bin", sizeof stored, stored, &handle), 30);
  EXPECT_FALSE(exists("/p.bin"));
}

// The drive's reservations (D2h) so far, as it saw them: (first block, count).
std::vector<std::pair<std::uint32_t, std::uint32_t>> reservations(kelsim::SimHarness& sim) {
  return sim.drive().observed().reserved_writes;
}

// New write with a window of three unconfirmed buffers of 1 MiB: the sync at
// the close fails once, and the block from which the drive reports the loss
// (GET PERFORMANCE) decides which buffers were confirmed and which are
// written again, in their order, on new blocks. The file and its parity read
// back whole.
TEST_F(WriterOnEngine, TheFailedBlockTheDriveReportsDecidesWhatIsWrittenAgain) {
  // Where the loss starts, from the three unconfirmed reservations u (-1: no
  // block named, the drive reports the first block since the last good sync).
  using Pick = std::function<std::int64_t(const std::vector<std::pair<std::uint32_t, std::uint32_t>>&)>;
  const struct {
    const char* what;
    Pick pick;
    int released;  // unconfirmed buffers completed as written; -1: the file fails
  } cases[] = {
      {"the drive's own answer, before the unconfirmed buffers", [](auto&) { return -1; }, -1},
      {"the last block of the 1st", [](auto& u) { return u[1].first - 1; }, 0},
      {"the first block of the 2nd", [](auto& u) { return u[1].first; }, 1},
      {"inside the 2nd", [](auto& u) { return u[1].first + u[1].second / 2; }, 1},
      {"inside the 3rd", [](auto& u) { return u[2].first + 7; }, 2},
      {"just past the 3rd", [](auto& u) { return u[2].first + u[2].second; }, 0},
  };
  const std::string content = pattern(5 * 1048576 + 12345, 11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(
        mount(0xE1, [](kelsim::HarnessOptions& o) { o.drive.error_reporting_threshold = 0xA000; }));
    RuvoCtrlVolume::setWriteBufferMb(1);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> unconfirmed;
    std::size_t before_failure = 0;
    on_trace([&](const std::u16string& t) {
      if (!unconfirmed.empty() || t != u"SyncCache start m_writeControllerWait size=0 m_writeControllerEnd size=3")
        return;
      auto all = reservations(*sim_);
      before_failure = all.size();
      unconfirmed.assign(all.end() - 3, all.end());
      auto rule = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
      rule.times = 1;
      const std::int64_t from = c.pick(unconfirmed);
      if (from >= 0) rule.first_lba = static_cast<std::uint32_t>(from);
      sim_->drive().add_fault(rule);
    });
    const std::uint32_t result = archive("e.bin", content, 1048576);
    on_trace({});
    EXPECT_EQ(RuvoCtrlVolume::getRSVNum(), 3u);
    ASSERT_EQ(unconfirmed.size(), 3u) << "the close's sync found three unconfirmed buffers";
    if (c.released < 0) {
      // The loss reaches buffers released before it was reported: they
      // cannot be written again, so the file fails.
      EXPECT_EQ(result, 0x82000015u);
      EXPECT_EQ(count_traced(u"m_writeControllerEnd Discovery write error data que_pos=[0]"), 0u);
      EXPECT_EQ(reservations(*sim_).size(), before_failure) << "nothing is written again";
      TearDown();
      SetUp();
      continue;
    }
    ASSERT_EQ(result, 0u);
    // The buffers from the one holding the loss are written again, once
    // each, in file order, with their sizes.
    const auto all = reservations(*sim_);
    std::vector<std::uint32_t> again, expected;
    for (std::size_t i = before_failure; i < all.size(); ++i) again.push_back(all[i].second);
    for (std::size_t i = c.released; i < 3; ++i) expected.push_back(unconfirmed[i].second);
    EXPECT_EQ(again, expected);
    for (std::size_t i = before_failure; i < all.size(); ++i)
      EXPECT_GE(all[i].first, unconfirmed[2].first + unconfirmed[2].second) << "written again on new blocks";
    EXPECT_EQ(count_traced(ascii("m_writeControllerEnd Discovery write error data que_pos=[%d]", c.released)), 1u);
    // The file is cut back to the first buffer written again: six buffers
    // of 512 blocks, the last three unconfirmed.
    EXPECT_EQ(count_traced(ascii("deleteFileAllocation() body start_block=[0x%08x]", (3 + c.released) * 512)), 1u);
    std::uint64_t size = 0;
    EXPECT_TRUE(read_back("/e.bin", &size) == content);
    EXPECT_EQ(size, content.size());
    EXPECT_TRUE(read_back("/e.bin#*ECC_Parity_V100_N=2064_K=2048") ==
                first_stripe_parity(content, 134217728, 1048576));
    // The parity written again owns its new blocks only: none is left
    // allocated and unwritten.
    std::uint64_t parity_blocks = 0;
    for (auto [b, n] : extents("/e.bin#*ECC_Parity_V100_N=2064_K=2048")) parity_blocks += n;
    EXPECT_EQ(parity_blocks, 512u);
    expect_images_sound();
    TearDown();
    SetUp();
  }
}

// Every sync failing from the close on: the buffers are written again until
// the one holding the loss has failed once more than "Max Write Retry R"
// allows (9 unless set), then the close answers "retry over"; the file keeps
// only what the drive's window had confirmed, never a hole.
TEST_F(WriterOnEngine, ASyncThatKeepsFailingEndsWithRetryOver) {
  const struct {
    const char* what;
    std::uint32_t setting;  // 0: the default
    const char16_t* last_round;
  } cases[] = {
      {"Max Write Retry R 2", 2, u"new write retry : [3 / 2]"},
      {"Max Write Retry R by default", 0, u"new write retry : [10 / 9]"},
  };
  const std::string content = pattern(5 * 1048576 + 12345, 12);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(
        mount(0xE1, [](kelsim::HarnessOptions& o) { o.drive.error_reporting_threshold = 0xA000; }));
    RuvoCtrlVolume::setWriteBufferMb(1);
    if (c.setting) RuvoCtrlVolume::setMaxWriteRetryR(c.setting);
    int rule = 0;
    on_trace([&](const std::u16string& t) {
      if (rule != 0 || t != u"SyncCache start m_writeControllerWait size=0 m_writeControllerEnd size=3") return;
      // The loss starts at the first unconfirmed buffer, each time.
      auto r = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
      const auto all = reservations(*sim_);
      r.first_lba = all[all.size() - 3].first;
      rule = sim_->drive().add_fault(r);
    });
    EXPECT_EQ(archive("r.bin", content, 1048576), 0x82000019u);
    on_trace({});
    sim_->drive().clear_faults();
    ASSERT_NE(rule, 0);
    EXPECT_EQ(count_traced(c.last_round), 1u);
    EXPECT_EQ(count_traced(u"commonWriteErrorRecovery retry max over error"), 1u);
    std::uint64_t size = ~0ull;
    const std::string back = read_back("/r.bin", &size);
    EXPECT_EQ(size, 3u * 1048576) << "the three buffers the window confirmed";
    EXPECT_TRUE(back == content.substr(0, back.size()));
    TearDown();
    SetUp();
  }
}

// New write, a file whose second stripe starts past the "Disc Span
// Threshold": the sync before CREATE_NEW_TRACK fails once. The unconfirmed
// buffers are written again, once each and in file order, on the next disc
// before the buffer that asked for it; the file and its parity read back
// whole.
TEST_F(WriterOnEngine, ASyncFailingBeforeTheNewTrackWritesTheUnconfirmedBuffersAgainOnTheNextDisc) {
  ASSERT_NO_FATAL_FAILURE(
      mount(0xE1, [](kelsim::HarnessOptions& o) { o.drive.error_reporting_threshold = 0xA000; }));
  RuvoCtrlVolume::setWriteBufferMb(1);
  kelmain::TrackInformation before{};
  ASSERT_EQ(kelmain::qvutil_get_volume_track_information(&before), 0);
  RuvoCtrlVolume::setDiscSpanThld(before.next_writable_block + 0x1800);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> unconfirmed;
  std::size_t before_failure = 0;
  on_trace([&](const std::u16string& t) {
    if (!unconfirmed.empty() || t != u"===== SyncCache before CREATE_NEW_TRACK") return;
    const auto all = reservations(*sim_);
    before_failure = all.size();
    unconfirmed.assign(all.end() - 3, all.end());
    auto rule = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
    rule.times = 1;
    rule.first_lba = unconfirmed[0].first;
    sim_->drive().add_fault(rule);
  });
  const std::string content = pattern(134217728 + 3 * 1048576 + 4321, 13);
  ASSERT_EQ(archive("n.bin", content, 1048576), 0u);
  on_trace({});
  ASSERT_EQ(unconfirmed.size(), 3u);
  EXPECT_EQ(count_traced(u"===== SyncCache before CREATE_NEW_TRACK"), 1u);
  EXPECT_EQ(count_traced(u"new write retry : [1 / 9]"), 1u);
  // The next reservations: the three again, in order, low on the new disc.
  const auto all = reservations(*sim_);
  ASSERT_GE(all.size(), before_failure + 4);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(all[before_failure + i].second, unconfirmed[i].second) << i;
    EXPECT_LT(all[before_failure + i].first, unconfirmed[0].first) << i;
  }
  const auto ext = extents("/n.bin");
  ASSERT_FALSE(ext.empty());
  EXPECT_EQ(ext.front().first / before.blocks_per_track, 0u);
  EXPECT_EQ(ext.back().first / before.blocks_per_track, 1u);
  std::uint64_t size = 0;
  EXPECT_TRUE(read_back("/n.bin", &size) == content);
  EXPECT_EQ(size, content.size());
  const std::string parity = read_back("/n.bin#*ECC_Parity_V100_N=2064_K=2048");
  ASSERT_GE(parity.size(), 1048576u);
  EXPECT_TRUE(parity.substr(0, 1048576) == first_stripe_parity(content, 134217728, 1048576));
  expect_images_sound();
}

// With a small "Disc Span Threshold" a file whose first write starts past
// it goes to the next disc and reads back whole; the one before it, which
// started below it, stays whole on the first disc.
TEST_F(WriterOnEngine, AFileStartingPastTheSpanThresholdOpensTheNextDisc) {
  for (int medium : {0xE1, 0xE2, 0xF2}) {
    SCOPED_TRACE(medium);
    ASSERT_NO_FATAL_FAILURE(mount(static_cast<std::uint8_t>(medium)));
    RuvoCtrlVolume::setWriteBufferMb(1);
    kelmain::TrackInformation before{};
    ASSERT_EQ(kelmain::qvutil_get_volume_track_information(&before), 0);
    // Above where a fresh disc starts, below where the second file starts.
    RuvoCtrlVolume::setDiscSpanThld(before.next_writable_block + 0x1800);
    const std::string first = pattern(16 * 1048576 + 5, 9), second = pattern(1048576 + 3, 4);
    ASSERT_EQ(archive("f.bin", first, 65536), 0u);
    ASSERT_EQ(archive("s.bin", second, 65536), 0u);
    // Cartridge block numbers count the engine's blocks per track for each
    // slot before: each file's first block is on its disc, holding its data.
    const std::uint32_t per_track = before.blocks_per_track;
    for (auto [path, slot, data] : {std::tuple{"/f.bin", 0u, &first}, std::tuple{"/s.bin", 1u, &second}}) {
      const auto ext = extents(path);
      ASSERT_FALSE(ext.empty()) << path;
      EXPECT_EQ(ext.front().first / per_track, slot) << path;
      std::string block(2048, '\0');
      const auto lsn = static_cast<std::uint32_t>(ext.front().first % per_track);
      ASSERT_EQ(sim_->cartridge().read_blocks(static_cast<int>(slot), lsn, 1,
                                              reinterpret_cast<std::uint8_t*>(block.data())), 0u);
      EXPECT_TRUE(block == data->substr(0, 2048)) << path;
    }
    EXPECT_TRUE(read_back("/f.bin") == first);
    EXPECT_TRUE(read_back("/s.bin") == second);
    ASSERT_EQ(kelmain::Flush(true), 0);
    kel::SetCurrentInterface(nullptr);
    ASSERT_EQ(kelmain::Unmount(false), 0);
    ASSERT_EQ(sim_->drive().flush(), 0u);
    expect_udfinfo(sim_->cartridge_directory() + "/slot-00.img", {});
    TearDown();
    SetUp();
  }
}

// Packed writing over the real engine: small and larger files go into one
// proxy file as the handlers write them; the forced end of the session
// (policy 6, as Sync and Format end it) divides the proxy so that every file
// owns the blocks its data already occupies, in the order written, and the
// proxy is gone.
TEST_F(WriterOnEngine, PackedFilesAreDividedOutOfTheProxyAndReadBackWhole) {
  const std::size_t sizes[] = {0, 1, 65536, 65537, 5 * 1048576 + 333};
  for (int medium : {0xE1, 0xE2}) {
    SCOPED_TRACE(medium);
    ASSERT_NO_FATAL_FAILURE(mount(static_cast<std::uint8_t>(medium)));
    RuvoCtrlVolume::setPackedWriteMode(true);
    RuvoCtrlVolume::setWriteBufferMb(1);
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      contents.push_back(pattern(sizes[i], static_cast<unsigned>(i + 20)));
      ASSERT_EQ(archive("p" + std::to_string(i) + ".bin", contents.back(), 300000), 0u) << i;
    }
    ASSERT_NE(session().proxy(), nullptr) << "the files were packed";
    // The proxy's first block: the division gives the files blocks from
    // there on, never blocks written before the session.
    const auto proxy = extents("/$/@@proxy");
    ASSERT_FALSE(proxy.empty());
    const std::uint64_t proxy_start = proxy.front().first;
    ASSERT_EQ(session().end(6).result, 0u);
    EXPECT_EQ(session().proxy(), nullptr);
    EXPECT_FALSE(exists("/$/@@proxy"));
    // Every extent of every file after the previous one's: in the order
    // written, none overlapping.
    std::uint64_t end = proxy_start;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      const std::string path = "/p" + std::to_string(i) + ".bin";
      SCOPED_TRACE(path);
      std::uint64_t size = ~0ull;
      EXPECT_TRUE(read_back(path, &size) == contents[i]);
      EXPECT_EQ(size, sizes[i]);
      const std::string parity_path = path + "#*ECC_Parity_V100_N=2064_K=2048";
      // A packed file's parity is its partial stripe's fold padded to whole
      // recording units, as the proxy holds it.
      if (sizes[i] != 0) {
        const std::size_t rubs = std::min<std::size_t>(1048576, (sizes[i] + 65535) / 65536 * 65536);
        EXPECT_TRUE(read_back(parity_path) == first_stripe_parity(contents[i], 134217728, 1048576).substr(0, rubs));
      }
      for (const std::string& p : {path, parity_path}) {
        for (auto [b, n] : extents(p)) {
          EXPECT_GE(b, end) << p << " extent at " << b << " overlaps an earlier one or the area before the proxy";
          end = b + n;
        }
      }
    }
    expect_images_sound();
    TearDown();
    SetUp();
  }
}

// Bytes of whole recording units (65536 bytes here) that n bytes take.
std::uint64_t rub_bytes(std::uint64_t n) { return (n + 65535) / 65536 * 65536; }

// A cartridge formatted with volume type 1 keeps no parity: the mount reads
// the type back from the volume's own mark, and packed files go into the
// proxy as their bodies alone, each padded to whole recording units, so
// that every file starts where the one before it ends, in the proxy and,
// after the division, on the disc. Closed files show their exact sizes
// before the division.
TEST_F(WriterOnEngine, PackedFilesOfAVolumeWithoutParityLieBodyAfterBody) {
  const std::size_t sizes[] = {1, 0, 65536, 65537, 3 * 1048576 + 5};
  for (int medium : {0xE1, 0xE2}) {
    SCOPED_TRACE(medium);
    ASSERT_NO_FATAL_FAILURE(mount(static_cast<std::uint8_t>(medium), {}, 1));
    kelmain::MountInformation mi{};
    ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
    EXPECT_EQ(mi.reserved[0] >> 4, 1) << "volume type";
    RuvoCtrlVolume::setPackedWriteMode(true);
    RuvoCtrlVolume::setWriteBufferMb(1);
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      contents.push_back(pattern(sizes[i], static_cast<unsigned>(i + 60)));
      const std::string name = "v" + std::to_string(i) + ".bin";
      ASSERT_EQ(archive(name, contents.back(), 300000), 0u) << i;
      KELFS_OBJECT_INFO info{};
      ASSERT_EQ(kelmain::GetPathInfo(("/" + name).c_str(), 0, &info), 0);
      EXPECT_EQ(info.Size, sizes[i]) << name << " at its close";
    }
    EXPECT_FALSE(RuvoCtrlVolume::getGenerateParity());
    std::shared_ptr<LumoQVE::ProxyWriter> proxy = session().proxy();
    ASSERT_NE(proxy, nullptr) << "the files were packed";
    ASSERT_EQ(proxy->m_ghostFiles.size(), std::size(sizes));
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      const auto& g = *proxy->m_ghostFiles[i];
      EXPECT_EQ(static_cast<std::uint64_t>(g.writeStartOffsetBytesInProxy), offset) << i;
      EXPECT_TRUE(g.parityPath.empty()) << i;
      EXPECT_EQ(g.m_parityFileTotalBytes, 0) << i;
      EXPECT_EQ(static_cast<std::uint64_t>(g.m_bodyFileTotalBytes), sizes[i]) << i;
      offset += rub_bytes(sizes[i]);
    }
    EXPECT_EQ(proxy->packedBytes(), offset);
    proxy.reset();
    ASSERT_EQ(session().end(6).result, 0u);
    EXPECT_FALSE(exists("/$/@@proxy"));
    // On the disc each file starts one padded body after the one before
    // it (the proxy's allocation is one run on a fresh volume) and lists
    // the blocks of its bytes.
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      const std::string path = "/v" + std::to_string(i) + ".bin";
      SCOPED_TRACE(path);
      std::uint64_t size = ~0ull;
      EXPECT_TRUE(read_back(path, &size) == contents[i]);
      EXPECT_EQ(size, sizes[i]);
      EXPECT_FALSE(exists(path + "#*ECC_Parity_V100_N=2064_K=2048"));
      const auto e = extents(path);
      std::uint64_t blocks = 0;
      for (std::size_t k = 0; k < e.size(); ++k) {
        const std::uint64_t expected = k == 0 ? next : e[k - 1].first + e[k - 1].second;
        if (expected != 0) {
          EXPECT_EQ(e[k].first, expected) << "extent " << k;
        }
        blocks += e[k].second;
      }
      EXPECT_EQ(blocks, (sizes[i] + 2047) / 2048);
      if (!e.empty()) next = e.front().first + rub_bytes(sizes[i]) / 2048;
    }
    expect_images_sound();
    TearDown();
    SetUp();
  }
}

// F2h cartridges always have volume type 0: a configured type 1 is not
// read for them, and a packed file keeps its parity.
TEST_F(WriterOnEngine, AnF2hCartridgeKeepsItsParityWhateverTheConfiguredVolumeType) {
  ASSERT_NO_FATAL_FAILURE(mount(0xF2, {}, 1));
  kelmain::MountInformation mi{};
  ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
  EXPECT_EQ(mi.reserved[0] >> 4, 0) << "volume type";
  RuvoCtrlVolume::setPackedWriteMode(true);
  RuvoCtrlVolume::setWriteBufferMb(1);
  const std::string content = pattern(300000, 9);
  ASSERT_EQ(archive("f.bin", content, 65536), 0u);
  EXPECT_TRUE(RuvoCtrlVolume::getGenerateParity());
  ASSERT_EQ(session().end(6).result, 0u);
  EXPECT_TRUE(read_back("/f.bin") == content);
  EXPECT_TRUE(exists("/f.bin#*ECC_Parity_V100_N=516_K=512"));
}

// A writer's name for an existing file, as the engine's CreateFile slot
// hands one out for a new file: the file's node gets a proxy in "$" whose
// name is answered (the handle is dummy-closed when the writer is done).
std::string writer_name_of_existing(const char* path, void** handle) {
  if (kelmain::OpenFile(path, 1, handle) != 0 || kelmain::CloseFile(*handle, false) != 0) return {};
  char name[264] = {};
  if (kelmain::FileIoctl(*handle, kelmain::kIoctlStoredName, name) != 0) return {};
  return name;
}

// The volume's last written file opened again while a packed session is
// open. Without parity the body is the volume's last object: the session
// ends first, so every file packed so far is divided and reads back whole
// and the proxy is gone; the file entry is in the privileged mode again,
// and the reopened file takes the appended bytes behind its own (never a
// ghost file, whose division would give it the appended bytes alone). The
// next file opens a new session. With parity the body's parity file is the
// last object, so the body is refused as not the last written file and the
// session goes on untouched.
TEST_F(WriterOnEngine, ReopeningTheLastWrittenFileMidSession) {
  const struct {
    const char* what;
    std::uint8_t volume_type;
    std::size_t old_size, added;
    std::uint32_t open_result;
  } cases[] = {
      {"without parity, inside one unit", 1, 1000, 3000, 0},
      {"without parity, across units", 1, 70000, 200000, 0},
      {"with parity", 0, 70000, 200000, 0x8B00000C},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(mount(0xE1, {}, c.volume_type));
    RuvoCtrlVolume::setPackedWriteMode(true);
    RuvoCtrlVolume::setWriteBufferMb(1);
    const std::string first = pattern(5000, 1), old = pattern(c.old_size, 2), added = pattern(c.added, 3);
    ASSERT_EQ(archive("a.bin", first, 65536), 0u);
    ASSERT_EQ(archive("b.bin", old, 65536), 0u);
    ASSERT_NE(session().proxy(), nullptr);
    void* handle = nullptr;
    const std::string stored = writer_name_of_existing("/b.bin", &handle);
    ASSERT_FALSE(stored.empty());
    std::shared_ptr<UserDataFileIO> f;
    SetLastError(0);
    ASSERT_EQ(UserDataFileIO::convertPort2Writer(u"", std::u16string(stored.begin(), stored.end()), 0x40000000,
                                                 nullptr, 0, 4, 0x80, nullptr, f),
              c.open_result);
    std::string b = old;
    if (c.open_result != 0) {
      EXPECT_EQ(GetLastError(), 5u);
      EXPECT_NE(session().proxy(), nullptr) << "the session goes on";
      EXPECT_TRUE(exists("/$/@@proxy"));
    } else {
      EXPECT_EQ(session().proxy(), nullptr) << "the session ended at the open";
      EXPECT_FALSE(exists("/$/@@proxy"));
      EXPECT_TRUE(read_back("/a.bin") == first);
      EXPECT_TRUE(f->m_obase->getRuvoCtrlVolume().isPrivileged());
      // Appending: the end stays where it is until the new bytes are written.
      f->seek(static_cast<std::int64_t>(old.size()));
      ASSERT_EQ(f->setEndOfFile(), 0u);
      ASSERT_EQ(f->createWriterObject(), 0u);
      for (std::size_t at = 0; at < added.size(); at += 65536) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(65536, added.size() - at));
        std::uint32_t written = 0;
        ASSERT_EQ(f->getWriter()->write(added.data() + at, n, &written), 0u);
      }
      ASSERT_EQ(f->getWriter()->flush(true), 0u);
      ASSERT_EQ(f->close(), 0u);
      EXPECT_EQ(session().proxy(), nullptr) << "the appended file was not packed";
      f.reset();
      b += added;
    }
    kelmain::CloseFile(handle, true);
    if (c.open_result == 0) {
      std::uint64_t size = 0;
      EXPECT_TRUE(read_back("/b.bin", &size) == b) << "before the next session";
      EXPECT_EQ(size, b.size());
    }
    const std::string later = pattern(3000, 4);
    ASSERT_EQ(archive("c.bin", later, 65536), 0u);
    ASSERT_NE(session().proxy(), nullptr);
    ASSERT_EQ(session().end(6).result, 0u);
    session().timer().join();
    EXPECT_FALSE(exists("/$/@@proxy"));
    EXPECT_TRUE(read_back("/a.bin") == first);
    EXPECT_TRUE(read_back("/b.bin") == b);
    EXPECT_TRUE(read_back("/c.bin") == later);
    expect_images_sound();
    TearDown();
    SetUp();
  }
}

// The file wrapper's dispositions against the engine: what is created,
// kept or emptied, and the errors of the refusals.
TEST_F(WriterOnEngine, FileWrapperDispositionsOnTheEngine) {
  struct Case {
    const char* what;
    bool existing;
    std::uint32_t disposition;
    bool packed;
    bool ok;
    DWORD last_error;
    const char* data_after;  // nullptr: no file
  } cases[] = {
      {"open existing, missing", false, 3, true, false, 2, nullptr},
      {"disposition 0, missing", false, 0, false, false, 2, nullptr},
      {"truncate existing, missing", false, 5, true, false, 2, nullptr},
      {"create always, missing", false, 2, true, true, 0, ""},
      {"open always, missing", false, 4, false, true, 0, ""},
      {"create always keeps the data", true, 2, true, true, 0, "old"},
      {"open always keeps the data", true, 4, false, true, 0, "old"},
      {"open existing", true, 3, true, true, 0, "old"},
      {"truncate existing empties", true, 5, false, true, 0, ""},
      {"create new of an existing file", true, 1, true, false, 80, "old"},
  };
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "f" + std::to_string(n++);
    const std::string path = "/" + name;
    if (c.existing) {
      RuvoCtrlVolume::setPackedWriteMode(false);
      ASSERT_EQ(archive(name, "old", 65536), 0u);
    }
    RuvoCtrlVolume::setPackedWriteMode(c.packed);
    SetLastError(1234);
    {
      AnnulusFileIO::RUVOFile f;
      EXPECT_EQ(f.createFile(std::u16string(path.begin(), path.end()), 0x40000000, 0, nullptr, c.disposition, 0x80,
                             nullptr),
                c.ok);
      if (c.ok) {
        EXPECT_NE(f.getHandle(), nullptr);
        EXPECT_EQ(f.getName(), std::u16string(name.begin(), name.end()));
      } else {
        EXPECT_EQ(f.m_dwErrorCode, c.last_error);
        EXPECT_EQ(GetLastError(), c.last_error);
        EXPECT_EQ(f.getHandle(), nullptr);
      }
      EXPECT_TRUE(f.close());
      EXPECT_TRUE(f.close()) << "a second close is harmless";
      // Closed: the size comes by path; a missing file has none.
      if (c.ok || !c.data_after) {
        EXPECT_EQ(f.getFileSize(), c.data_after ? std::strlen(c.data_after) : ~std::uint64_t{0});
      }
    }
    EXPECT_EQ(exists(path), c.data_after != nullptr);
    if (c.data_after) {
      EXPECT_EQ(read_back(path), c.data_after);
    }
  }
}

// The writer's writes follow the drive's transfer size (mode page 22h):
// 4 units of 64 KiB give 262144-byte pieces, 8 give 524288. A 300000-byte
// file goes out as its body widened to whole recording units (327680
// bytes), then its 1 MiB parity file.
TEST_F(WriterOnEngine, WritesGoOutInPiecesOfTheDrivesTransferSize) {
  const struct {
    std::uint16_t units;
    std::vector<unsigned> writes;
  } cases[] = {
      // The body of 300000 bytes, then the parity of its partial stripe
      // (the same bytes in whole 64 KiB symbols).
      {4, {262144, 65536, 262144, 65536}},
      {8, {327680, 327680}},
  };
  for (const auto& c : cases) {
    const std::uint16_t units = c.units;
    SCOPED_TRACE(units);
    ASSERT_NO_FATAL_FAILURE(mount(0xE1, [&](kelsim::HarnessOptions& o) { o.drive.transfer_units = units; }));
    const std::string content = pattern(300000, 5);
    ASSERT_EQ(archive("t.bin", content, 300000), 0u);
    std::vector<unsigned> writes;
    {
      std::lock_guard<std::mutex> lk(g_writes_mu);
      writes = g_writes;
    }
    EXPECT_EQ(writes, c.writes);
    EXPECT_EQ(RuvoCtrlVolume::getOptimalReadWriteBlocks(), units * 32u);
    EXPECT_TRUE(read_back("/t.bin") == content);
    TearDown();
    SetUp();
  }
}

// A disc whose write resources are used up takes no data: the writer asks
// for the next disc, and as every disc of the simulated cartridge starts with
// the same resources, the last one ends the file with "disc full" (not in
// new write). Enough resources leave the file on the first disc.
TEST_F(WriterOnEngine, EmptyWriteResourcesTakeNoData) {
  const struct {
    const char* what;
    std::uint32_t pow_updates;
    std::uint16_t opc;
    std::uint32_t result;
  } cases[] = {
      {"the default resources", 0x1000, 0x20, 0},
      {"a few updates left", 200, 0x20, 0},
      {"updates used up", 100, 0x20, 0x82000023u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(mount(0xE1, [&](kelsim::HarnessOptions& o) {
      o.cartridge.pow_updates = c.pow_updates;
      o.cartridge.opc_count = c.opc;
      o.cartridge.slots = 4;  // few discs to span
    }));
    const std::string content = pattern(70000, 1);
    EXPECT_EQ(archive("r.bin", content, 70000), c.result);
    if (c.result == 0) {
      KELFS_OBJECT_INFO info{};
      ASSERT_EQ(kelmain::GetPathInfo("/r.bin", 1, &info), 0);
      EXPECT_EQ(info.SpaceEntries.Entries[0].BlockNumber / sim_->cartridge().disc_blocks(), 0u);
      EXPECT_TRUE(read_back("/r.bin") == content);
    } else {
      KELFS_OBJECT_INFO info{};
      if (kelmain::GetPathInfo("/r.bin", 1, &info) == 0) {
        EXPECT_EQ(info.SpaceEntries.Count, 0u) << "no block of the failed file";
      }
    }
    TearDown();
    SetUp();
  }
}

// Drive-cache syncs failing for good while the session's last proxy buffer
// goes out: the end of the session answers the failure (never success). In
// the running engine the writer still holds every file's data: the files
// wait and the next end, the drive well again, writes them whole. At the
// engine's last end (or past the ring's bound) the one whose data the proxy
// never got is lost, named, and removed (before the session's own flush
// fails and leaves the volume read-only, which kept it listed as an empty
// file), and the proxy is gone. The files whose data the proxy holds keep
// their bytes, but the read-only volume lets no flush name them on the
// disc: they are named lost too.
TEST_F(WriterOnEngine, APackedSessionWhoseLastFlushFailsKeepsItsFilesOrAtTheLastEndLosesOnlyThoseItLost) {
  // Medium and volume type: with parity, and without on write-once; the
  // end of the running engine, which keeps the files waiting while their
  // data and parity fit the writer's ring (4 buffers), or its last.
  const struct {
    int medium, volume_type;
    unsigned buffer_mb;
    bool last, kept;
  } rows[] = {{0xE1, 0, 2, false, true},  {0xE2, 0, 2, false, true},  {0xE1, 1, 1, false, true},
              {0xE1, 0, 1, false, false}, {0xE1, 0, 1, true, false},  {0xE2, 0, 1, true, false},
              {0xE1, 1, 1, true, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.medium);
    SCOPED_TRACE(row.volume_type);
    SCOPED_TRACE(row.last ? "the last end" : row.kept ? "an end of the running engine" : "past the ring's bound");
    ASSERT_NO_FATAL_FAILURE(
        mount(static_cast<std::uint8_t>(row.medium), {}, static_cast<std::uint8_t>(row.volume_type)));
    RuvoCtrlVolume::setPackedWriteMode(true);
    RuvoCtrlVolume::setWriteBufferMb(row.buffer_mb);
    const std::size_t sizes[] = {1, 65537, 3 * 1048576 + 5};
    std::vector<std::string> contents;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      contents.push_back(pattern(sizes[i], static_cast<unsigned>(i + 40)));
      ASSERT_EQ(archive("q" + std::to_string(i) + ".bin", contents.back(), 300000), 0u) << i;
    }
    EXPECT_EQ(RuvoCtrlVolume::getGenerateParity(), row.volume_type == 0);
    kelsim::FaultRule r = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
    r.times = -1;
    const int id = sim_->drive().add_fault(r);
    const LumoQVE::SessionEnd e = session().end(6, row.last);
    EXPECT_EQ(e.result, 0x82000019u);
    EXPECT_GT(sim_->drive().fault_fired(id), 1);
    sim_->drive().clear_faults();
    if (row.kept) {
      // All three wait, their data with the writer; the next end writes them.
      ASSERT_EQ(e.kept.size(), 3u);
      EXPECT_TRUE(e.lost.empty());
      EXPECT_EQ(session().end(6).result, 0u);
    } else {
      std::set<std::string> lost;
      for (const LumoQVE::SessionFile& f : e.lost) lost.insert(f.path);
      EXPECT_EQ(lost, (std::set<std::string>{"/q0.bin", "/q1.bin", "/q2.bin"}));
      RuvoCtrlVolume::MountInfo info{};
      ASSERT_EQ(RuvoCtrlVolume(u"").getVolumeMountInformation(info), 0u);
      EXPECT_TRUE(info.writeProtected) << "the files could still be saved";
    }
    EXPECT_FALSE(exists("/$/@@proxy"));
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      SCOPED_TRACE(i);
      const std::string path = "/q" + std::to_string(i) + ".bin";
      if (i == 2 && !row.kept) {
        EXPECT_FALSE(exists(path)) << "the lost file";
        continue;
      }
      std::uint64_t size = ~0ull;
      const std::string back = read_back(path, &size);
      EXPECT_EQ(size, sizes[i]);
      EXPECT_TRUE(back == contents[i]);
    }
    TearDown();
    SetUp();
  }
}

// A session that fails at a later file's close (the engine refuses every
// rebuild) loses the files answered before it too: they are removed from
// the volume with their parity, the close answers the failure, and the
// session keeps it, with the number lost, until the host is told.
TEST_F(WriterOnEngine, ASessionFailingAtALaterCloseRemovesEveryFileItLost) {
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  RuvoCtrlVolume::setPackedWriteMode(true);
  RuvoCtrlVolume::setWriteBufferMb(1);
  RuvoCtrlVolume::setPckdWrtMaxFNum(3);
  ASSERT_EQ(archive("a.bin", pattern(5000, 1), 65536), 0u);
  ASSERT_EQ(archive("b.bin", pattern(70000, 2), 65536), 0u);
  g_refuse_rebuild = true;
  EXPECT_NE(archive("c.bin", pattern(300, 3), 65536), 0u) << "the close that ended the session";
  g_refuse_rebuild = false;
  // The file whose close failed is dropped by the request handler, once
  // its own handle is closed.
  EXPECT_EQ(kelmain::DeleteFile("/", "c.bin"), 0);
  EXPECT_EQ(session().proxy(), nullptr);
  for (const char* path : {"/a.bin", "/b.bin", "/c.bin"}) {
    EXPECT_FALSE(exists(path)) << path;
    EXPECT_FALSE(exists(std::string(path) + "#*ECC_Parity_V100_N=2064_K=2048")) << path;
  }
  EXPECT_FALSE(exists("/$/@@proxy"));
  const LumoQVE::SessionEnd kept = session().takeUnreported();
  EXPECT_EQ(kept.result, 5u);
  EXPECT_EQ(kept.lostFiles, 3u);
  expect_images_sound();
}

// A lost file is removed only where it proves to be by its identity: a file
// the session lost that was moved behind the writer's back (the request
// handlers end the session before any move) is not found at its place, and
// the synced file that took that place is never removed in its stead.
TEST_F(WriterOnEngine, ALostFileIsRemovedOnlyWhereItsIdentityIs) {
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  const std::string keep = pattern(9000, 7);
  ASSERT_EQ(archive("keep.bin", keep, 65536), 0u);
  RuvoCtrlVolume::setPackedWriteMode(true);
  RuvoCtrlVolume::setWriteBufferMb(1);
  ASSERT_EQ(archive("a.bin", pattern(5000, 8), 65536), 0u);
  ASSERT_NE(session().proxy(), nullptr) << "a.bin waits in the session";
  ASSERT_EQ(kelmain::Rename("/", "a.bin", "/", "moved.bin"), 0);
  ASSERT_EQ(kelmain::Rename("/", "keep.bin", "/", "a.bin"), 0);
  g_refuse_rebuild = true;
  const LumoQVE::SessionEnd e = session().end(6);
  g_refuse_rebuild = false;
  EXPECT_EQ(e.lostFiles, 1u);
  std::uint64_t size = 0;
  EXPECT_TRUE(read_back("/a.bin", &size) == keep) << "the synced file under the lost file's old name";
  EXPECT_EQ(size, keep.size());
}

// The session's limits end it at a file's close: the proxy is divided then
// and there, the file reads back whole and the next file opens a new session.
TEST_F(WriterOnEngine, PackedSessionLimitsEndItAtTheClose) {
  const struct {
    const char* what;
    std::uint32_t max_files;
    std::uint32_t end_sects;
    std::size_t size;
    bool ends;
  } cases[] = {
      {"file limit 1", 1, 0x200000, 1000, true},
      {"file limit 2, one file", 2, 0x200000, 1000, false},
      {"packed blocks below the limit", 8192, 0x200000, 1000, false},
      {"packed blocks reach the limit", 8192, 32, 70000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(mount(0xE1));
    RuvoCtrlVolume::setPackedWriteMode(true);
    RuvoCtrlVolume::setWriteBufferMb(1);
    RuvoCtrlVolume::setPckdWrtMaxFNum(c.max_files);
    RuvoCtrlVolume::setPckdWrtEndSects(c.end_sects);
    const std::string content = pattern(c.size, 8);
    ASSERT_EQ(archive("l.bin", content, 65536), 0u);
    EXPECT_EQ(session().proxy() == nullptr, c.ends);
    EXPECT_EQ(exists("/$/@@proxy"), !c.ends);
    if (!c.ends) {
      ASSERT_EQ(session().end(6).result, 0u);
    }
    EXPECT_TRUE(read_back("/l.bin") == content);
    EXPECT_FALSE(exists("/$/@@proxy"));
    TearDown();
    SetUp();
  }
}

// A file sized beyond the cartridge's free space is refused at its sizing,
// before anything is written, packed or not; nothing is left in the proxy.
TEST_F(WriterOnEngine, AFileBeyondTheFreeSpaceIsRefusedAtItsSize) {
  for (bool packed : {true, false}) {
    SCOPED_TRACE(packed);
    ASSERT_NO_FATAL_FAILURE(mount(0xE1));
    RuvoCtrlVolume::setPackedWriteMode(packed);
    char stored[260] = {};
    void* handle = nullptr;
    ASSERT_EQ(kelmain::CreateFile("/", "huge.bin", sizeof stored, stored, &handle), 0);
    const std::string s(stored);
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(UserDataFileIO::convertPort2Writer(u"", std::u16string(s.begin(), s.end()), 0x40000000, nullptr, 0, 1,
                                                 0x80, nullptr, f),
              0u);
    f->seek(std::int64_t{1} << 40);  // far beyond 12 discs
    EXPECT_EQ(f->setEndOfFile(), 0x82000023u);
    f.reset();
    kelmain::CloseFile(handle, true);
    KELFS_OBJECT_INFO info{};
    ASSERT_EQ(kelmain::GetPathInfo("/huge.bin", 0, &info), 0);
    EXPECT_EQ(info.Size, 0u);
    if (session().proxy()) {
      EXPECT_EQ(session().end(6).result, 0u);
    }
    TearDown();
    SetUp();
  }
}

TEST_F(WriterOnEngine, SmallFileReadsBack) {
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  const std::string content = pattern(3 * 1048576 + 777, 1);
  ASSERT_EQ(archive("a.bin", content, 65536), 0u);
  std::uint64_t size = 0;
  EXPECT_TRUE(read_back("/a.bin", &size) == content);
  EXPECT_EQ(size, content.size());
  expect_images_sound();
}


// The engine's file mode of a path (its permission bits).
std::uint32_t mode_of(const std::string& path) {
  KELFS_OBJECT_INFO info{};
  EXPECT_EQ(kelmain::GetPathInfo(path.c_str(), 0, &info), 0) << path;
  return info.Mode & 0777;
}

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// The read-only bit of a create: a file opened or made for writing
// (dispositions 1, 2 and 4) is left owner-read-only, mode 256 (0400); open
// existing and truncate existing leave the mode as it was.
TEST_F(WriterOnEngine, TheReadOnlyBitLeavesTheFileOwnerReadOnly) {
  const struct {
    const char* what;
    bool existing;
    std::uint32_t disposition;
    std::uint32_t attributes;
    bool read_only_after;
  } cases[] = {
      {"create new, missing", false, 1, 0x81, true},
      {"create always, missing", false, 2, 0x81, true},
      {"open always, missing", false, 4, 0x01, true},
      {"create always, existing", true, 2, 0x81, true},
      {"open always, existing", true, 4, 0x01, true},
      {"open existing", true, 3, 0x81, false},
      {"truncate existing", true, 5, 0x81, false},
      {"create always without the bit", false, 2, 0x80, false},
  };
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "r" + std::to_string(n++), path = "/" + name;
    std::uint32_t before = 0;
    if (c.existing) {
      ASSERT_EQ(archive(name, "data", 65536), 0u);
      before = mode_of(path);
      ASSERT_NE(before, 0400u);
    }
    AnnulusFileIO::RUVOFile f;
    ASSERT_TRUE(f.createFile(wide(path), 0x40000000, 0, nullptr, c.disposition, c.attributes, nullptr));
    EXPECT_TRUE(f.close());
    const std::uint32_t after = mode_of(path);
    if (c.read_only_after)
      EXPECT_EQ(after, 0400u);
    else if (c.existing)
      EXPECT_EQ(after, before);
    else
      EXPECT_NE(after, 0400u);
    // A read-only file keeps its data (create always never empties it).
    if (c.existing) {
      EXPECT_EQ(read_back(path), c.disposition == 5 ? "" : "data");
    }
  }
}

// On a volume the engine mounted read-only (a write-protected cartridge)
// every change the wrapper asks for is refused with ERROR_WRITE_PROTECT
// (19), in m_dwErrorCode and as the last error, and nothing is created or
// changed; reading an existing file still works.
TEST_F(WriterOnEngine, AReadOnlyVolumeRefusesEveryChangeWithWriteProtect) {
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  ASSERT_EQ(archive("kept.bin", "kept", 65536), 0u);
  const std::uint32_t mode = mode_of("/kept.bin");
  ASSERT_EQ(kelmain::Flush(true), 0);
  ASSERT_NO_FATAL_FAILURE(restart_engine([&] { sim_->drive().set_write_protect(true); }));
  kelmain::MountInformation mi{};
  ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
  ASSERT_EQ(mi.write_protect_reason_flags & 0x400u, 0x400u) << "mounted read-only: the cartridge is protected";
  const struct {
    const char* what;
    const char* path;
    std::uint32_t disposition;
    std::uint32_t attributes;
  } refused[] = {
      {"create a missing file", "/new.bin", 2, 0x80},
      {"create new, missing", "/new.bin", 1, 0x80},
      {"the read-only bit on an existing file", "/kept.bin", 4, 0x81},
      {"truncate an existing file", "/kept.bin", 5, 0x80},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    AnnulusFileIO::RUVOFile f;
    EXPECT_FALSE(f.createFile(wide(c.path), 0x40000000, 0, nullptr, c.disposition, c.attributes, nullptr));
    EXPECT_EQ(f.m_dwErrorCode, 19u);
    EXPECT_EQ(GetLastError(), 19u);
    EXPECT_EQ(f.getHandle(), nullptr) << "no handle left open";
  }
  EXPECT_FALSE(exists("/new.bin"));
  EXPECT_EQ(mode_of("/kept.bin"), mode);
  // Opened as it is, the file reads, but a write is refused the same way
  // and the position stays.
  AnnulusFileIO::RUVOFile f;
  ASSERT_TRUE(f.createFile(u"/kept.bin", 0x80000000, 0, nullptr, 3, 0x80, nullptr));
  char buffer[4] = {};
  std::uint64_t done = 0;
  ASSERT_TRUE(f.readFile(buffer, sizeof buffer, done));
  EXPECT_EQ(std::string(buffer, done), "kept");
  f.setPosition(0);
  SetLastError(0);
  EXPECT_FALSE(f.writeFile("xxxx", 4));
  EXPECT_EQ(f.m_dwErrorCode, 19u);
  EXPECT_EQ(GetLastError(), 19u);
  EXPECT_EQ(f.getPosition(), 0u);
  EXPECT_TRUE(f.close());
  EXPECT_EQ(read_back("/kept.bin"), "kept");
}

// A file made by the engine and opened through the wrapper for manual
// allocation, inside the privileged mode the writer works in; its areas
// come from the free-space manager as the writer takes them.
class ManualFile {
 public:
  explicit ManualFile(const std::string& name) : path_("/" + name) {
    EXPECT_EQ(kelmain::CreateFile("/", name.c_str(), 0, nullptr, nullptr), 0);
    EXPECT_EQ(base_.good(), 0u);
    ok_ = file.createFile(wide(path_), 0x40000000, 0, nullptr, 3, 0x80, nullptr) && file.customizeFileSetting();
  }
  bool ok() const { return ok_; }
  // The next `blocks` blocks of the current track.
  MDCFS_SPACE_ENTRY take(std::uint32_t blocks) {
    MDCFS_SPACE_ENTRY area{};
    EXPECT_EQ(writer_.m_usbManager->reservFreeBlock(blocks, area, 0, &writer_), 0u);
    return area;
  }
  const std::string& path() const { return path_; }

  AnnulusFileIO::RUVOFile file;

 private:
  std::string path_;
  OBase base_{u"", OBase::WriteModeExisting};
  writertest::TestWriter writer_;
  bool ok_ = false;
};

// A write the drive fails part-way: the engine has moved part of the data
// and answers the drive's error; the wrapper fails with 1117 (the engine's
// I/O error has no Win32 error of its own), in m_dwErrorCode and as the
// last error, and keeps its position. The engine never answers a short
// count without an error for a file's data: its size rule keeps every
// write inside the file's allocated extents and the drive either writes a
// whole transfer or fails it; the wrapper's check of the count on success
// is covered over the recording operation table.
TEST_F(WriterOnEngine, AWriteTheDriveFailsPartWayFailsWith1117AndKeepsThePosition) {
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  ManualFile m("short.bin");
  ASSERT_TRUE(m.ok());
  // Two transfers of 128 blocks.
  // Two areas apart: two extents, written by two transfers.
  const MDCFS_SPACE_ENTRY first = m.take(64);
  m.take(32);
  const MDCFS_SPACE_ENTRY second = m.take(64);
  ASSERT_TRUE(m.file.addFileAllocation(first));
  ASSERT_TRUE(m.file.addFileAllocation(second));
  const std::string data = pattern(128 * 2048, 6);
  const int id = sim_->drive().add_fault(nth(kelsim::command_fails(0x2A, kelsim::Sense{3, 0x0C, 0}), 1, -1));
  SetLastError(0);
  EXPECT_FALSE(m.file.writeFile(data.data(), data.size()));
  EXPECT_EQ(sim_->drive().fault_fired(id), 1) << "the first transfer went through, the second failed";
  sim_->drive().clear_faults();
  EXPECT_EQ(m.file.m_dwErrorCode, 1117u);
  EXPECT_EQ(GetLastError(), 1117u);
  EXPECT_EQ(m.file.getPosition(), 0u);
  EXPECT_TRUE(m.file.close());
}

// The engine's file that gains an extent between the wrapper's two
// allocation queries answers the second with its buffer error, 1784 to the
// caller, and nothing is appended; an unchanged file appends its extents
// in the engine's order behind what the list held.
TEST_F(WriterOnEngine, AFileThatGrowsBetweenTheTwoAllocationQueriesGives1784) {
  for (bool grows : {false, true}) {
    SCOPED_TRACE(grows ? "grows" : "unchanged");
    ASSERT_NO_FATAL_FAILURE(mount(0xE1));
    {
    ManualFile m("g.bin");
    ASSERT_TRUE(m.ok());
    // Three areas apart from each other: three extents.
    const MDCFS_SPACE_ENTRY a = m.take(32);
    m.take(32);
    const MDCFS_SPACE_ENTRY b = m.take(64);
    m.take(32);
    const MDCFS_SPACE_ENTRY c = m.take(32);
    ASSERT_TRUE(m.file.addFileAllocation(a));
    ASSERT_TRUE(m.file.addFileAllocation(b));
    {
      std::lock_guard<std::mutex> lk(g_grow_mu);
      g_grow_handle = grows ? m.file.getHandle() : nullptr;
      g_grow_area = c;
    }
    const MDCFS_SPACE_ENTRY held = AnnulusFileIO::MakeSpaceEntry(9, 9, 9);
    std::vector<MDCFS_SPACE_ENTRY> list{held};
    SetLastError(0);
    EXPECT_EQ(m.file.getFileAllocationAll(list), !grows);
    if (grows) {
      EXPECT_EQ(m.file.m_dwErrorCode, 1784u);
      EXPECT_EQ(GetLastError(), 1784u);
      ASSERT_EQ(list.size(), 1u) << "nothing appended";
    } else {
      ASSERT_EQ(list.size(), 3u);
      for (auto [at, want] : {std::pair{1, a}, std::pair{2, b}}) {
        EXPECT_EQ(list[at].ZoneId, want.ZoneId) << at;
        EXPECT_EQ(list[at].BlockOffset, want.BlockOffset) << at;
        EXPECT_EQ(list[at].NumberOfBlocks, want.NumberOfBlocks) << at;
      }
    }
    EXPECT_EQ(list[0].BlockOffset, 9);
    {
      std::lock_guard<std::mutex> lk(g_grow_mu);
      EXPECT_EQ(g_grow_handle, nullptr) << "the file grew once, between the two queries";
      g_grow_handle = nullptr;
    }
    EXPECT_TRUE(m.file.close());
    }
    TearDown();
    SetUp();
  }
}

// The free bytes the free-space manager computes from the engine's answers
// on write-once cartridges: the blocks left on the current track less the
// margin the engine's write policy gives for it (the disc margin before the
// last disc, the last-disc margin on it) and, while the volume's integrity
// descriptor is closed (right after the mount, before any change), less
// one recording unit (32 blocks, 128 on F2h).
TEST_F(WriterOnEngine, FreeBytesKeepTheMediumsMarginsAndOneUnitWhileTheIntegrityDescriptorIsClosed) {
  const struct {
    const char* what;
    std::uint8_t medium;
    std::uint32_t slots;
    std::uint64_t margin;
    std::uint64_t unit;
  } cases[] = {
      {"E1h, before the last disc", 0xE1, 4, 0x80000, 32},
      {"E1h, the last disc", 0xE1, 1, 0x80000, 32},
      {"F2h, before the last disc", 0xF2, 4, 0x180000, 128},
      {"F2h, the last disc", 0xF2, 1, 0x400000, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(mount(c.medium, [&](kelsim::HarnessOptions& o) { o.cartridge.slots = c.slots; }));
    {
      OBase base(u"", OBase::WriteModeExisting);  // reads the write policy and the medium
      ASSERT_EQ(base.good(), 0u);
      ASSERT_TRUE(RuvoCtrlVolume::isRMedia());
      for (bool closed : {true, false}) {
        SCOPED_TRACE(closed ? "integrity descriptor closed" : "open");
        if (!closed) {
          ASSERT_EQ(kelmain::CreateDirectory("/", "changed", false), 0);
        }
        kelmain::MountInformation mi{};
        ASSERT_EQ(kelmain::Fsctl(kelmain::kFsctlMountInformation, &mi), 0);
        ASSERT_EQ((mi.volume_status & 0x10) == 0, closed);
        kelmain::TrackInformation t{};
        ASSERT_EQ(kelmain::qvutil_get_volume_track_information(&t), 0);
        ASSERT_EQ(t.maximum_track_id, c.slots);
        ASSERT_GT(t.blocks_per_track, t.next_writable_block + c.margin + c.unit);
        writertest::TestWriter w;
        std::uint64_t bytes = 0;
        ASSERT_EQ(w.m_usbManager->getCurruentFreeBlockBytes(bytes), 0u);
        const std::uint64_t left = t.blocks_per_track - t.next_writable_block;
        EXPECT_EQ(bytes, (left - c.margin - (closed ? c.unit : 0)) * 2048);
      }
    }
    TearDown();
    SetUp();
  }
}

// A reservation keeps the engine's margin of its disc free: what leaves
// exactly the margin is handed out at the next writable block; one block
// more is "disc full" without a new track on the last disc (F2h's last-disc
// margin), and on an earlier disc creates the next track and takes the area
// there (its first disc holds a file, so the next, empty one has the room).
TEST_F(WriterOnEngine, AReservationKeepsTheDiscsMarginFree) {
  const struct {
    const char* what;
    std::uint8_t medium;
    std::uint32_t slots;
    std::uint32_t margin;
  } cases[] = {
      {"F2h, the last disc", 0xF2, 1, 0x400000},
      {"E1h, before the last disc", 0xE1, 4, 0x80000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(mount(c.medium, [&](kelsim::HarnessOptions& o) { o.cartridge.slots = c.slots; }));
    const bool last = c.slots == 1;
    if (!last) {
      ASSERT_EQ(archive("first.bin", pattern(1 << 20, 2), 65536), 0u);
    }
    {
      OBase base(u"", OBase::WriteModeExisting);
      ASSERT_EQ(base.good(), 0u);
      kelmain::TrackInformation t{};
      ASSERT_EQ(kelmain::qvutil_get_volume_track_information(&t), 0);
      const std::uint32_t room = t.blocks_per_track - t.next_writable_block - c.margin;
      for (std::uint32_t allocated : {room, room + 1}) {
        SCOPED_TRACE(allocated);
        writertest::TestWriter w;
        MDCFS_SPACE_ENTRY area{};
        const std::uint32_t r = w.m_usbManager->reservFreeBlock(32, area, allocated, &w);
        kelmain::TrackInformation after{};
        ASSERT_EQ(kelmain::qvutil_get_volume_track_information(&after), 0);
        if (allocated > room && last) {
          EXPECT_EQ(r, AnnulusFileIOErrors::QVE_RESULT_ERROR_DISC_FULL);
          EXPECT_EQ(after.current_track_id, t.current_track_id) << "no new track";
          continue;
        }
        ASSERT_EQ(r, 0u);
        const bool moved = allocated > room;
        EXPECT_EQ(after.current_track_id, t.current_track_id + (moved ? 1 : 0));
        EXPECT_EQ(AnnulusFileIO::ZoneOf(area), after.current_track_id);
        EXPECT_EQ(AnnulusFileIO::OffsetOf(area), moved ? after.next_writable_block : t.next_writable_block);
        EXPECT_EQ(AnnulusFileIO::BlocksOf(area), 32u);
      }
    }
    TearDown();
    SetUp();
  }
}

}  // namespace
#endif
