// The writer's own calls over the real engine's slots in this process, on
// simulated write-once and rewritable cartridges: files go in as the
// request handlers write them and come back through ReadData; the slot
// images pass udfinfo.
#ifdef KEL_WRITER_ON_ENGINE
#include "engine_on_sim.h"

#include "LumoQVE/UserDataFileIO.h"
#include "kel/kel_interface.h"
#include "kel/volctrl.h"
#include "support/udfinfo.h"

#include <cstring>
#include <functional>
#include <string>

namespace enginetest {
// The engine's log is not recorded in this suite.
bool logged(const std::string&) { return false; }
void clear_log() {}
}  // namespace enginetest

namespace {

using LumoQVE::UserDataFileIO;

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed * 31 + i / 4093) & 0xFF);
  return s;
}

class WriterOnEngine : public enginetest::EngineOnSim {
 protected:
  void TearDown() override {
    kel::SetCurrentInterface(nullptr);
    RuvoCtrlVolume::resetForTesting();
    EngineOnSim::TearDown();
  }
  // A blank cartridge of this medium initialised and mounted, the request
  // interface running over the real slots, real (not packed) writing.
  void mount(std::uint8_t medium, const std::function<void(kelsim::HarnessOptions&)>& tweak = {}) {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = medium;
    if (tweak) tweak(o);
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    cookie_ = sim_->cookie_text();
    cache_ = (dir_ / "cache").string();
    argv_ = {program_.data(), cookie_.data(), cache_.data(), nullptr};
    ASSERT_EQ(quorvel_kel_init(3, const_cast<const char**>(argv_.data())), 0);
    ASSERT_EQ(initialise(), 0);
    ASSERT_EQ(kelmain::MountDefault(), 0);
    RuvoCtrlVolume::resetForTesting();
    ASSERT_GE(itf_.Initialise(&kelmain::operation_table()), 0);
    kel::SetCurrentInterface(&itf_);
    RuvoCtrlVolume::setPackedWriteMode(false);
  }
  // The archive handler's calls: the file made anew by the engine, opened
  // through the writer by its stored name, sized, written in pieces,
  // flushed, timed and closed, then the engine's handle closed.
  std::uint32_t archive(const std::string& name, const std::string& content, std::size_t piece) {
    char stored[260] = {};
    void* handle = nullptr;
    EXPECT_EQ(kelmain::CreateFile("/", name.c_str(), sizeof stored, stored, &handle), 0);
    std::shared_ptr<UserDataFileIO> f;
    const std::string s(stored);
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

  CKelInterface itf_;
};

TEST_F(WriterOnEngine, SmallFileReadsBack) {
  ASSERT_NO_FATAL_FAILURE(mount(0xE1));
  const std::string content = pattern(3 * 1048576 + 777, 1);
  ASSERT_EQ(archive("a.bin", content, 65536), 0u);
  std::uint64_t size = 0;
  EXPECT_TRUE(read_back("/a.bin", &size) == content);
  EXPECT_EQ(size, content.size());
  expect_images_sound();
}

}  // namespace
#endif
