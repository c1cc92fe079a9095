// Packed writing over the scripted operation table, whose file store keeps
// the blocks of a deleted proxy and serves the rebuild of the files of its
// privileged open list as the engine does.
#include "AnnulusFileIO/Buffers.h"
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "AnnulusFileIO/support/running_interface.h"
#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"
#include "LumoQVE/UserDataFileIO.h"
#include "platform/sync.h"
#include "support/settles.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using LumoQVE::GhostFileWriter;
using LumoQVE::ProxyWriter;
using LumoQVE::RebuildRecordHead;
using LumoQVE::UserDataFileIO;
using namespace AnnulusFileIOErrors;

namespace {

// The packed session of the interface the test runs.
LumoQVE::PackedSession& session() { return *LumoQVE::PackedSession::current(); }

constexpr unsigned kTrack = 0xC0107016;
constexpr unsigned kResource = 0xC0107041;
constexpr unsigned kPolicy = 0x40207051;
constexpr unsigned kDefects = 0x40047040;
constexpr unsigned kStatfs = 0x40207063;
constexpr unsigned kMount = 0x40107014;
constexpr unsigned kLastFileIndex = 0x40087057;
constexpr unsigned kMarkDirty = 0x8004700E;
constexpr unsigned kRebuild = 0x80247061;
constexpr unsigned kEnterPrivileged = 0x20007000;
constexpr unsigned kExitPrivileged = 0x20007001;
constexpr unsigned kReserveCreation = 0x80087009;
constexpr unsigned kGetAllocation = 0xC10C7082;
constexpr unsigned kSync = 0x20007030;
constexpr std::size_t kRub = 65536;

constexpr kel::ParityConstants kBuiltIn{2064, 2048, 16, 1048576, 134217728, 32};
constexpr kel::ParityConstants kF2h{516, 512, 4, 1048576, 134217728, 128};
std::string parityExt() {
  const auto& p = kel::WriterParityConstants();
  return "#*ECC_Parity_V100_N=" + std::to_string(p.TotalSymbols) + "_K=" + std::to_string(p.DataSymbols);
}

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed * 31 + i / 2039) & 0xFF);
  return s;
}

// The writer's parity of data: each stripe folded onto its parity bytes; a
// last partial stripe gives its bytes rounded up to whole symbols.
std::string parityOf(const std::string& data, std::size_t stripe, std::size_t parity, std::size_t symbol) {
  std::string out;
  for (std::size_t at = 0; at < data.size(); at += stripe) {
    std::string p(parity, '\0');
    const std::size_t n = std::min(stripe, data.size() - at);
    for (std::size_t i = 0; i < n; ++i) p[i % parity] ^= data[at + i];
    out += p.substr(0, std::min(parity, (n + symbol - 1) / symbol * symbol));
  }
  return out;
}

std::string padded(const std::string& s) {
  std::string out = s;
  out.resize((s.size() + kRub - 1) / kRub * kRub, '\0');
  return out;
}

class Packed : public writertest::RunningInterface {
 protected:
  void SetUp() override {
    RunningInterface::SetUp();
    kel::WriterParityConstants() = kBuiltIn;
    engine().file_store = true;
    engine().manual_allocation = true;
    engine().packed_store = true;
    engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, 0x100, 0x800000});
    engine().fsctl_out[kResource] = bytes(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION{0, 0x20, 0x1000, 0x1000});
    engine().fsctl_out[kDefects] = bytes(std::uint32_t{0});
    engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x800000, 0x700000, 0});
    engine().fsctl_out[kLastFileIndex] = bytes(std::int64_t{-1});
    volume(false);
  }
  void TearDown() override {
    if (LumoQVE::PackedSession* s = LumoQVE::PackedSession::current()) {
      s->timer().join();
      s->end(6);
      s->takeUnreported();
    }
    kel::WriterParityConstants() = kBuiltIn;
    RuvoCtrlVolume::resetForTesting();
    RunningInterface::TearDown();
  }
  // Volume type 0 generates parity, 1 does not.
  void volume(bool parity) {
    m_parity = parity;
    RuvoCtrlVolume::resetForTesting();
    MDCFS_MOUNT_INFORMATION m{};
    m.MediumType = 0xE1;
    m.VolumeStatus = 0x81;
    m.VolumeTypeAndInformationVersion = parity ? 0x00 : 0x10;
    engine().fsctl_out[kMount] = bytes(m);
    MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 1024, 1024, 128, 32768, 0};
    engine().fsctl_out[kPolicy] = bytes(p);
    RuvoCtrlVolume::setMaxWriteRetryR(9);
    RuvoCtrlVolume::setDfltFsFlshPlcy(1);
    RuvoCtrlVolume::setPackedWriteMode(true);
    RuvoCtrlVolume::setWriteBufferMb(1);
    RuvoCtrlVolume::setPckdWrtMaxFNum(8192);
    RuvoCtrlVolume::setPckdWrtEndSects(0x200000);
  }
  looptest::FakeFile file(const std::string& path) {
    std::lock_guard<std::mutex> lk(engine().mu);
    auto f = engine().files.find(path);
    if (f != engine().files.end()) return f->second;
    looptest::FakeFile none;
    none.data = "<none>";
    return none;
  }
  // A file the engine has made under "/d" (the archive handler creates it
  // before the writer opens it).
  void add_file(const std::string& name) {
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().files["/d/" + name].id = engine().next_id++;
  }
  bool exists(const std::string& path) {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().files.count(path) != 0;
  }
  // The archive handler's file: created by the engine, opened, sized,
  // written in pieces, flushed, timed and closed.
  std::uint32_t archive(const std::string& name, const std::string& content, std::size_t piece = 300000) {
    {
      std::lock_guard<std::mutex> lk(engine().mu);
      engine().files["/d/" + name].id = engine().next_id++;
      if (m_parity) engine().files["/d/" + name + parityExt()].id = engine().next_id++;
    }
    std::shared_ptr<UserDataFileIO> f;
    if (std::uint32_t r = open(name, f)) return r;
    f->seek(static_cast<std::int64_t>(content.size()));
    if (std::uint32_t r = f->setEndOfFile()) return r;
    f->seek(0);
    for (std::size_t at = 0; at < content.size(); at += piece) {
      if (std::uint32_t r = f->createWriterObject()) return r;
      const auto n = static_cast<std::uint32_t>(std::min(piece, content.size() - at));
      std::uint32_t written = 0;
      if (std::uint32_t r = f->getWriter()->write(content.data() + at, n, &written)) return r;
    }
    if (std::uint32_t r = f->createWriterObject()) return r;
    if (std::uint32_t r = f->getWriter()->flush(true)) return r;
    blocks_ = 0;
    f->getWriter()->getCacheBlocks(blocks_);
    if (std::uint32_t r = f->getWriter()->setFileTime(1000, 2000, 3000)) return r;
    return f->close();
  }
  std::uint32_t open(const std::string& name, std::shared_ptr<UserDataFileIO>& f) {
    const std::string rel = "d\\" + name;
    return UserDataFileIO::convertPort2Writer(u"", std::u16string(rel.begin(), rel.end()), 0x40000000, nullptr, 0, 1,
                                             0x80, nullptr, f);
  }
  std::vector<std::vector<std::uint8_t>> rebuilds() {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().rebuild_records;
  }
  static RebuildRecordHead head(const std::vector<std::uint8_t>& r) {
    RebuildRecordHead h{};
    std::memcpy(&h, r.data(), sizeof h);
    return h;
  }
  // Every extent of the file lies in the deleted proxy's allocation, in
  // rising proxy order from the previous file's last one.
  void expectInsideProxy(const std::string& path, std::uint64_t& cursor) {
    std::lock_guard<std::mutex> lk(engine().mu);
    ASSERT_EQ(engine().released.size(), 1u);
    const auto& proxy = engine().released[0].extents;
    for (const auto& e : engine().files[path].extents) {
      std::uint64_t at = 0;
      bool inside = false;
      for (const auto& p : proxy) {
        if (e.ZoneId == p.ZoneId && e.BlockOffset >= p.BlockOffset &&
            e.BlockOffset + e.NumberOfBlocks <= p.BlockOffset + p.NumberOfBlocks) {
          const std::uint64_t pos = at + static_cast<std::uint64_t>(e.BlockOffset - p.BlockOffset);
          EXPECT_GE(pos, cursor) << path;
          cursor = pos + static_cast<std::uint64_t>(e.NumberOfBlocks);
          inside = true;
        }
        at += static_cast<std::uint64_t>(p.NumberOfBlocks);
      }
      EXPECT_TRUE(inside) << path << " extent at " << e.BlockOffset;
    }
  }
  bool m_parity = false;
  std::uint32_t blocks_ = 0;
};

}  // namespace

// ---------------------------------------------------------------- layout

TEST_F(Packed, OneByteFileTakesOneRecordingUnitAndHasAPlaceholderAtClose) {
  ASSERT_EQ(archive("a", "x"), 0u);
  auto proxy = session().proxy();
  ASSERT_TRUE(proxy);
  const auto a = file("/d/a");
  ASSERT_EQ(a.extents.size(), 1u);
  EXPECT_EQ(static_cast<std::uint32_t>(a.extents[0].ZoneId), 0xFFFFFFFFu);
  EXPECT_EQ(a.extents[0].BlockOffset, 0);
  EXPECT_EQ(a.extents[0].NumberOfBlocks, 32);
  EXPECT_EQ(a.data.size(), 1u);
  // Its cache blocks are the unit it takes in the proxy: the next file
  // starts behind them.
  EXPECT_EQ(blocks_, 32u);
  const std::string rub = pattern(kRub, 2);  // a body of exactly one unit: no padding
  ASSERT_EQ(archive("b", rub), 0u);
  EXPECT_EQ(blocks_, 32u);
  ASSERT_EQ(archive("c", "yz"), 0u);
  ASSERT_EQ(proxy->m_ghostFiles.size(), 3u);
  EXPECT_EQ(proxy->m_ghostFiles[1]->writeStartOffsetBytesInProxy, 65536);
  EXPECT_EQ(proxy->m_ghostFiles[2]->writeStartOffsetBytesInProxy, 131072);
  EXPECT_EQ(proxy->packedBytes(), 3 * kRub);
  ASSERT_EQ(session().end(6).result, 0u);
  std::lock_guard<std::mutex> lk(engine().mu);
  ASSERT_EQ(engine().released.size(), 1u);
  EXPECT_TRUE(engine().released[0].data == padded("x") + rub + padded("yz")) << "the proxy's bytes";
}

TEST_F(Packed, ParityChunksFollowTheirBodiesAndCountInTheCacheBlocks) {
  const struct {
    const char* what;
    kel::ParityConstants constants;
    std::uint32_t blocks;
  } cases[] = {{"32-block units", kBuiltIn, 64}, {"128-block units", kF2h, 256}};
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    volume(true);
    kel::WriterParityConstants() = c.constants;
    ASSERT_EQ(archive("p", "x"), 0u) << c.what;
    EXPECT_EQ(blocks_, c.blocks) << c.what;
    auto proxy = session().proxy();
    ASSERT_TRUE(proxy);
    const auto& g = *proxy->m_ghostFiles.at(0);
    const std::int64_t symbol = c.constants.BlocksPerSymbol * 2048;
    EXPECT_EQ(g.chunks, (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, symbol}})) << c.what;
    EXPECT_EQ(g.m_parityFileTotalBytes, symbol) << c.what;
    EXPECT_EQ(proxy->packedBytes(), 2u * static_cast<std::uint64_t>(symbol)) << c.what;
    EXPECT_EQ(std::uint64_t{blocks_} * 2048, proxy->packedBytes()) << c.what << ": the body's unit and the parity's";
    ASSERT_EQ(session().end(6).result, 0u) << c.what;
    EXPECT_EQ(file("/d/p").data, "x") << c.what;
    std::string parity(static_cast<std::size_t>(symbol), '\0');
    parity[0] = 'x';
    EXPECT_TRUE(file(std::string("/d/p") + parityExt()).data == parity) << c.what;
    TearDown();
  }
}

// ---------------------------------------------------------------- division

TEST_F(Packed, FilesReadBackByteIdenticalAfterTheDivision) {
  for (bool parity : {false, true}) {
    engine().reset();
    SetUp();
    volume(parity);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty", ""}, {"one", "1"}, {"rub", pattern(kRub, 3)}, {"rub1", pattern(kRub + 1, 4)},
        {"mib", pattern(3 * 1048576 + 5, 5)}};
    for (const auto& [name, content] : files) ASSERT_EQ(archive(name, content), 0u) << name;
    ASSERT_EQ(session().end(6).result, 0u);
    EXPECT_FALSE(session().proxy());
    EXPECT_FALSE(exists("/@@proxy"));
    std::uint64_t cursor = 0;
    for (const auto& [name, content] : files) {
      const std::string path = "/d/" + name;
      EXPECT_TRUE(file(path).data == content) << name << (parity ? " with parity" : "");
      expectInsideProxy(path, cursor);
      if (parity) {
        EXPECT_TRUE(file(path + parityExt()).data == parityOf(content, 134217728, 1048576, kRub)) << name;
        expectInsideProxy(path + parityExt(), cursor);
      }
    }
    const auto records = rebuilds();
    ASSERT_EQ(records.size(), files.size() * (parity ? 2 : 1));
    for (std::size_t i = 0; i < records.size(); ++i) {
      const RebuildRecordHead h = head(records[i]);
      EXPECT_EQ(+h.StreamIndex, parity ? i % 2 : 0u) << i;
      EXPECT_EQ(+h.FileSize, -1) << i;
      EXPECT_EQ(+h.FileIndex, file("/d/" + files[parity ? i / 2 : i].first).id) << i;
    }
    TearDown();
  }
}

TEST_F(Packed, RebuildRecordsAreByteExact) {
  volume(true);
  ASSERT_EQ(archive("z", ""), 0u);
  ASSERT_EQ(archive("r", pattern(kRub + 1, 6)), 0u);
  ASSERT_EQ(session().end(6).result, 0u);
  const auto records = rebuilds();
  ASSERT_EQ(records.size(), 4u);
  const std::uint32_t z = file("/d/z").id, r = file("/d/r").id;
  // An empty stream: 36 bytes, FileSize -1 with no entries and one zero entry.
  std::vector<std::uint8_t> empty(36, 0);
  std::memcpy(empty.data(), &z, 4);
  const std::int64_t keep = -1;
  std::memcpy(empty.data() + 12, &keep, 8);
  EXPECT_EQ(records[0], empty);
  empty[8] = 1;
  EXPECT_EQ(records[1], empty);
  // Body of one unit and one byte: two units from the proxy's start
  // units (the empty file took none); its parity follows.
  const auto proxy = engine().released.at(0).extents;
  ASSERT_EQ(proxy.size(), 1u);
  const std::int32_t start = proxy[0].BlockOffset;
  std::vector<std::uint8_t> body(36, 0);
  std::memcpy(body.data(), &r, 4);
  std::memcpy(body.data() + 12, &keep, 8);
  body[20] = 1;
  const std::int32_t entry[3] = {proxy[0].ZoneId, start, 64};
  std::memcpy(body.data() + 24, entry, 12);
  EXPECT_EQ(records[2], body);
  const RebuildRecordHead parity = head(records[3]);
  EXPECT_EQ(+parity.StreamIndex, 1u);
  EXPECT_EQ(+parity.FileIndex, r);
  ASSERT_EQ(+parity.TotalSpaceCount, 1u);
  std::int32_t pentry[3];
  std::memcpy(pentry, records[3].data() + 24, 12);
  EXPECT_EQ(pentry[1], start + 64);
  EXPECT_EQ(pentry[2], 64) << "65537 bytes of parity: two whole symbols";
}

// Files that cannot be given their data are lost and removed, each alone;
// the others keep theirs.
TEST_F(Packed, AnAreaListOneUnitShortRemovesTheFileItCannotHold) {
  ASSERT_EQ(archive("a", pattern(100, 1)), 0u);
  ASSERT_EQ(archive("b", pattern(200, 2)), 0u);
  engine().allocation_cut_blocks = 32;
  const LumoQVE::SessionEnd e = session().end(6);
  EXPECT_EQ(e.result, QVE_RESULT_ERROR_NO_BUFFER);
  EXPECT_EQ(e.lostFiles, 1u);
  EXPECT_TRUE(traced(u"rebuild area does not exist. is inconsistent."));
  EXPECT_TRUE(file("/d/a").data == pattern(100, 1));
  EXPECT_FALSE(exists("/d/b"));
  EXPECT_FALSE(exists("/@@proxy"));
}

// A last flush that fails leaves the proxy cut back to what is safe. The
// writer still holds the session's data: the files wait, named as kept, and
// the next end writes them whole. The engine's last end keeps none: the
// files the proxy does not hold are lost, named, and removed.
TEST_F(Packed, AProxyFlushedShortKeepsItsFilesForTheNextEndOrLosesThemAtTheLast) {
  for (const bool last : {false, true}) {
    SCOPED_TRACE(last ? "the engine's last end" : "an end of the running engine");
    RuvoCtrlVolume::setWriteBufferMb(0);  // 32 MiB proxy buffers: all in the last flush
    ASSERT_EQ(archive("a", pattern(100, 1)), 0u);
    ASSERT_EQ(archive("b", pattern(200, 2)), 0u);
    const std::vector<LumoQVE::SessionFile> both{{"/d/a", file("/d/a").id}, {"/d/b", file("/d/b").id}};
    // The last flush's sync fails: the proxy is cut back to what is safe.
    engine().fsctl_results[kSync] = 5;
    const LumoQVE::SessionEnd e = session().end(6, last);
    engine().fsctl_results.erase(kSync);
    EXPECT_NE(e.result, 0u) << "a failed flush is no success";
    if (last) {
      EXPECT_TRUE(traced(u"size of proxy file is missing."));
      EXPECT_EQ(e.lost, both);
      EXPECT_TRUE(e.kept.empty());
      EXPECT_FALSE(exists("/d/a"));
      EXPECT_FALSE(exists("/d/b"));
      const LumoQVE::SessionEnd told = session().takeUnreported();
      EXPECT_EQ(told.lostFiles, 2u);
      EXPECT_EQ(told.lost, both);
    } else {
      EXPECT_EQ(e.kept, both);
      EXPECT_TRUE(e.lost.empty());
      EXPECT_TRUE(session().proxy()) << "the session stays open with its files";
      EXPECT_FALSE(session().takeUnreported().failed()) << "the end that writes or loses them tells";
      EXPECT_EQ(session().end(6).result, 0u);
      EXPECT_TRUE(file("/d/a").data == pattern(100, 1));
      EXPECT_TRUE(file("/d/b").data == pattern(200, 2));
    }
    EXPECT_FALSE(session().proxy());
    EXPECT_FALSE(exists("/@@proxy"));
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().files.erase("/d/a");
    engine().files.erase("/d/b");
  }
}

TEST_F(Packed, AnUnreadableProxyAllocationRemovesEveryFileAndDeletesTheProxy) {
  ASSERT_EQ(archive("a", pattern(100, 1)), 0u);
  ASSERT_EQ(archive("b", pattern(200, 2)), 0u);
  engine().ioctl_results[kGetAllocation] = 5;
  const LumoQVE::SessionEnd e = session().end(6);
  EXPECT_EQ(e.result, QVE_RESULT_ERROR_1D);
  EXPECT_EQ(e.lostFiles, 2u);
  engine().ioctl_results.erase(kGetAllocation);
  EXPECT_FALSE(exists("/d/a"));
  EXPECT_FALSE(exists("/d/b"));
  EXPECT_FALSE(exists("/@@proxy"));
  for (const auto& rec : rebuilds()) EXPECT_EQ(+head(rec).TotalSpaceCount, 0u);
}

TEST_F(Packed, ARefusedRebuildReachesTheSyncAndRemovesTheFile) {
  ASSERT_EQ(archive("a", pattern(100, 1)), 0u);
  const std::uint32_t id = file("/d/a").id;
  {
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().privileged_open.clear();  // the engine's list lost the file
    engine().privileged_open.insert(id + 1000);
  }
  EXPECT_EQ(session().end(6).result, 2u);
  EXPECT_FALSE(exists("/d/a"));
  const LumoQVE::SessionEnd kept = session().takeUnreported();
  EXPECT_EQ(kept.result, 2u);
  EXPECT_EQ(kept.lostFiles, 1u);
}

TEST_F(Packed, TheSessionHoldsThePrivilegedModeUntilItHasDivided) {
  ASSERT_EQ(archive("a", pattern(100, 1)), 0u);
  ASSERT_EQ(archive("b", pattern(100, 2)), 0u);
  const auto before = fsctlCodes();
  EXPECT_EQ(std::count(before.begin(), before.end(), kExitPrivileged), 0) << "no file's close leaves it";
  ASSERT_EQ(session().end(6).result, 0u);
  const auto codes = fsctlCodes();
  const auto last_rebuild = std::find(codes.rbegin(), codes.rend(), kRebuild);
  const auto exit = std::find(codes.rbegin(), codes.rend(), kExitPrivileged);
  ASSERT_NE(exit, codes.rend());
  EXPECT_LT(exit, last_rebuild) << "left only after the last rebuild";
}

// ---------------------------------------------------------------- limits

TEST_F(Packed, SessionLimits) {
  RuvoCtrlVolume::setPckdWrtMaxFNum(1);
  ASSERT_EQ(archive("a", "x"), 0u);
  EXPECT_FALSE(session().proxy()) << "one file is the limit";
  EXPECT_EQ(file("/d/a").data, "x");
  RuvoCtrlVolume::setPckdWrtMaxFNum(8192);
  const struct {
    std::uint64_t packed;
    std::uint32_t answer;
  } cases[] = {{0x10000 * 2048ull, 0}, {0x10000 * 2048ull + 1, 1}};
  RuvoCtrlVolume::setPckdWrtEndSects(0x10000);
  for (const auto& c : cases) {
    ASSERT_EQ(archive("b", "y"), 0u);
    auto proxy = session().proxy();
    ASSERT_TRUE(proxy);
    const std::uint64_t real = proxy->packedBytes();
    proxy->setPackedBytesForTesting(c.packed);
    std::uint8_t policy = 255;
    EXPECT_EQ(ProxyWriter::protocolFlushBuffer(0, policy, nullptr), c.answer) << c.packed;
    if (c.answer == 0) {
      proxy->setPackedBytesForTesting(real);
      ASSERT_EQ(session().end(6).result, 0u);
    } else {
      EXPECT_EQ(policy, 1);
    }
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().files.erase("/d/b");
  }
}

TEST_F(Packed, AWriterErrorEndsTheSessionAtTheNextCheck) {
  ASSERT_EQ(archive("a", "x"), 0u);
  auto proxy = session().proxy();
  ASSERT_TRUE(proxy);
  proxy->m_impl->setLastManagerError(QVE_RESULT_ERROR_WRITE, __FILE__, __LINE__);
  std::uint8_t policy = 255;
  std::uint32_t result = 0;
  EXPECT_EQ(ProxyWriter::protocolFlushBuffer(0, policy, &result), 1u);
  EXPECT_NE(result, 0u);
  // The writer holds the file's data: the session stays open with it, and
  // the next end writes it.
  EXPECT_TRUE(session().proxy());
  EXPECT_EQ(session().end(6).result, 0u);
  EXPECT_FALSE(session().proxy());
  EXPECT_EQ(file("/d/a").data, "x");
}

// ---------------------------------------------------------------- end of file

TEST_F(Packed, TruncationKeepsWholeChunksShortensOneAndDropsTheRest) {
  ProxyWriter p;
  auto g = std::make_shared<ProxyWriter::GhostFileInformation>();
  g->chunks = {{100, 10}, {200, 20}, {300, 30}};
  g->m_bodyFileTotalBytes = 600;
  g->m_parityFileTotalBytes = 60;
  p.m_current = g;
  std::int64_t size = 150, body = 0, parity = 0;
  ASSERT_EQ(p.setEndOfFile(size, body, parity), 0u);
  EXPECT_EQ(g->chunks, (std::vector<std::pair<std::int64_t, std::int64_t>>{{100, 10}, {50, 20}}));
  EXPECT_EQ(body, 450);
  EXPECT_EQ(parity, 30);
  EXPECT_EQ(g->m_bodyFileTotalBytes, 150);
  EXPECT_EQ(g->m_parityFileTotalBytes, 30);
  EXPECT_EQ(size, 0);
  size = 170;  // beyond what the proxy holds: the rest is in the ghost's own buffer
  ASSERT_EQ(p.setEndOfFile(size, body, parity), 0u);
  EXPECT_EQ(size, 20);
  g->m_parityFileTotalBytes = 5;  // fewer than the dropped chunks hold
  size = 50;
  EXPECT_EQ(p.setEndOfFile(size, body, parity), QVE_RESULT_ERROR_PARAMETERS);
  EXPECT_EQ(g->chunks.size(), 2u) << "nothing changed";
}

TEST_F(Packed, ExtendingAGhostFileAddsZerosThatReadAndDivideAsData) {
  add_file("g");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("g", f), 0u);
  ASSERT_EQ(f->createWriterObject(), 0u);
  std::uint32_t written = 0;
  ASSERT_EQ(f->getWriter()->write("abc", 3, &written), 0u);
  f->seek(70000);
  ASSERT_EQ(f->setEndOfFile(), 0u);
  EXPECT_EQ(f->m_virtualFileSize, 70000);
  f->seek(0);
  std::string back(80000, 'q');
  std::uint32_t got = 0;
  ASSERT_EQ(f->getWriter()->read(back.data(), 80000, &got), 0u);
  EXPECT_EQ(got, 70000u);
  EXPECT_EQ(back.substr(0, 70000), std::string(70000, '\0')) << "a ghost file reads as zeros";
  f->seek(2);  // cut back inside the written bytes
  ASSERT_EQ(f->setEndOfFile(), 0u);
  ASSERT_EQ(f->close(), 0u);
  ASSERT_EQ(session().end(6).result, 0u);
  EXPECT_EQ(file("/d/g").data, "ab");
  // Grown past a buffer's worth the zeros go to the proxy like data.
  add_file("h");
  ASSERT_EQ(open("h", f), 0u);
  ASSERT_EQ(f->createWriterObject(), 0u);
  ASSERT_EQ(f->getWriter()->write("abc", 3, &written), 0u);
  f->seek(GhostFileWriter::kBufferBytes + 10);
  ASSERT_EQ(f->setEndOfFile(), 0u);
  f->seek(GhostFileWriter::kBufferBytes + 10);
  ASSERT_EQ(f->getWriter()->write("Z", 1, &written), 0u);
  ASSERT_EQ(f->close(), 0u);
  ASSERT_EQ(session().end(6).result, 0u);
  std::string expect = "abc";
  expect.resize(GhostFileWriter::kBufferBytes + 10, '\0');
  expect += "Z";
  EXPECT_TRUE(file("/d/h").data == expect);
}

// ---------------------------------------------------------------- picker

TEST_F(Packed, PickerTakesWholeUnitsAcrossAreas) {
  ProxyWriter::AllocationPicker p({{0, 100, 48}, {1, 500, 64}});
  auto a = p.pickAreaForSize(1);
  ASSERT_TRUE(a);
  ASSERT_EQ(a->size(), 1u);
  EXPECT_EQ((*a)[0].BlockOffset, 100);
  EXPECT_EQ((*a)[0].NumberOfBlocks, 32);
  a = p.pickAreaForSize(kRub + 1);  // two units: 16 blocks here, 48 in the next area
  ASSERT_TRUE(a);
  ASSERT_EQ(a->size(), 2u);
  EXPECT_EQ((*a)[0].BlockOffset, 132);
  EXPECT_EQ((*a)[0].NumberOfBlocks, 16);
  EXPECT_EQ((*a)[1].ZoneId, 1);
  EXPECT_EQ((*a)[1].BlockOffset, 500);
  EXPECT_EQ((*a)[1].NumberOfBlocks, 48);
  EXPECT_TRUE(p.pickAreaForSize(0)->empty());
  EXPECT_FALSE(p.pickAreaForSize(kRub)) << "16 blocks left";
  p.seekArea(2 * kRub);
  a = p.pickAreaForSize(1);
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)[0].BlockOffset, 516);
}

// ---------------------------------------------------------------- file entry

TEST_F(Packed, ReopeningTheLastWrittenFileEndsTheSessionAndEntersThePrivilegedModeAgain) {
  ASSERT_EQ(archive("a", "x"), 0u);
  ASSERT_TRUE(session().proxy());
  ASSERT_EQ(archive("b", "yy"), 0u);
  engine().fsctl_out[kLastFileIndex] = bytes(std::int64_t{file("/d/b").id});
  const std::size_t mark = fsctlCodes().size();
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("b", f), 0u);
  EXPECT_EQ(file("/d/a").data, "x") << "the session divided first";
  const auto codes = fsctlCodes();
  const auto exit = std::find(codes.begin() + static_cast<std::ptrdiff_t>(mark), codes.end(), kExitPrivileged);
  ASSERT_NE(exit, codes.end());
  EXPECT_NE(std::find(exit, codes.end(), kEnterPrivileged), codes.end());
  f->close();
}

TEST_F(Packed, SizingBeyondTheFreeSpaceFailsBeforeAnythingIsPacked) {
  ASSERT_EQ(archive("a", "x"), 0u);
  auto proxy = session().proxy();
  ASSERT_TRUE(proxy);
  const std::uint64_t packed = proxy->packedBytes();
  engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x800000, 16, 0});
  add_file("big");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("big", f), 0u);
  f->seek(1 << 20);
  EXPECT_EQ(f->setEndOfFile(), QVE_RESULT_ERROR_DISC_FULL);
  EXPECT_EQ(proxy->packedBytes(), packed);
  f.reset();
}

TEST_F(Packed, FreeSpaceUpdateCommitsThePackedBytesThatAreSynchronised) {
  ASSERT_EQ(archive("a", "x"), 0u);
  auto proxy = session().proxy();
  ASSERT_TRUE(proxy);
  const struct {
    std::uint64_t packed, not_synced, committed;
  } cases[] = {{0x30000, 0x10000, 0x20000}, {0x10000, 0x10000, 0}, {0x10000, 0x20000, 0}};
  for (const auto& c : cases) {
    proxy->setPackedBytesForTesting(c.packed);
    proxy->m_impl->m_notSyncBufferSize = c.not_synced;
    proxy->m_impl->updateDiskFreeSpaceInfo();
    EXPECT_EQ(proxy->m_account.committed, c.committed) << c.packed << " " << c.not_synced;
  }
  proxy->m_impl->m_notSyncBufferSize = 0;
  proxy->setPackedBytesForTesting(kRub);
}

TEST_F(Packed, ALeftoverProxyIsDeletedNeverDivided) {
  {
    std::lock_guard<std::mutex> lk(engine().mu);
    auto& old = engine().files["/@@proxy"];
    old.id = engine().next_id++;
    old.data = pattern(kRub, 9);
    old.extents = {{0, 0x40, 32}};
  }
  ASSERT_EQ(archive("a", "x"), 0u);
  ASSERT_EQ(session().end(6).result, 0u);
  EXPECT_EQ(file("/d/a").data, "x");
  std::lock_guard<std::mutex> lk(engine().mu);
  ASSERT_EQ(engine().released.size(), 2u) << "the old proxy, then the session's";
  for (const auto& e : engine().files["/d/a"].extents) EXPECT_NE(e.BlockOffset, 0x40);
}

// Each file of a session gives its ring's blocks up at close and the next
// file takes them again: the kept blocks do not grow file by file, and the
// session's end gives them all back.
TEST_F(Packed, TheSessionsFilesTakeTheBlocksTheirPredecessorsGaveUp) {
  AnnulusFileIO::KeptBlocks::releaseAll();
  ASSERT_EQ(archive("a", pattern(3000, 1)), 0u);
  const std::uint64_t after_first = AnnulusFileIO::KeptBlocks::bytes();
  EXPECT_GE(after_first, 3 * GhostFileWriter::kBufferBytes) << "the first file's ring is kept";
  for (const char* name : {"b", "c", "d"}) {
    ASSERT_EQ(archive(name, pattern(3000, 2)), 0u);
    EXPECT_EQ(AnnulusFileIO::KeptBlocks::bytes(), after_first) << name;
  }
  ASSERT_EQ(session().end(6).result, 0u);
  EXPECT_EQ(AnnulusFileIO::KeptBlocks::bytes(), 0u);
  EXPECT_EQ(file("/d/c").data, pattern(3000, 2));
}

// ---------------------------------------------------------------- timer flush

class PackedTimer : public Packed {
 protected:
  // A session with one file, then a failed open that hands the gate to a
  // timer thread.
  void sessionAndFailedOpen() {
    ASSERT_EQ(archive("a", "x"), 0u);
    ASSERT_TRUE(session().proxy());
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(open("missing", f), QVE_RESULT_ERROR_OPEN_MISSING);
  }
  static bool closed() { return session().state() == LumoQVE::PackedSession::State::Closed; }
  // Holds the first thread that sends a rebuild there until release().
  void holdAtFirstRebuild() {
    engine().fsctl_hook = [this](unsigned code) {
      if (code != kRebuild) return;
      std::unique_lock<std::mutex> lk(hold_mu_);
      if (held_) return;
      held_ = true;
      hold_cv_.wait(lk, [&] { return released_; });
    };
  }
  bool held() {
    std::lock_guard<std::mutex> lk(hold_mu_);
    return held_;
  }
  void release() {
    std::lock_guard<std::mutex> lk(hold_mu_);
    released_ = true;
    hold_cv_.notify_all();
  }
  std::size_t count(unsigned code) {
    const auto codes = fsctlCodes();
    return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), code));
  }
  platform::ManualClock clock_;
  platform::ScopedClock scoped_{clock_};
  std::mutex hold_mu_;
  std::condition_variable hold_cv_;
  bool held_ = false, released_ = false;
};

// The timer thread ends the idle session while a request asks for its end
// (as Sync, Restore, Verify, Format, RollbackMount and UnmountVolume do):
// the session ends once, on the timer thread; the request waits for that
// end and gets its result, and the file answered before reads back whole,
// or, when the end fails, is removed and the failure is kept once for the
// host.
TEST_F(PackedTimer, ARequestAskingForTheEndWhileTheTimerEndsTheSessionGetsThatOneEnd) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused);
    engine().reset();
    SetUp();
    held_ = released_ = false;
    const std::string content = pattern(70000, 5);
    ASSERT_EQ(archive("a", content), 0u);
    ASSERT_EQ(archive("b", pattern(300, 6)), 0u);
    if (refused) engine().fsctl_results[kRebuild] = 5;
    holdAtFirstRebuild();
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(open("missing", f), QVE_RESULT_ERROR_OPEN_MISSING);
    // Its five waits run out on the test clock; it ends the session and is
    // held at the division.
    while (!held()) clock_.advance(100);
    ASSERT_EQ(session().state(), LumoQVE::PackedSession::State::Ending);
    LumoQVE::SessionEnd asked;
    std::thread request([&] { asked = session().end(6); });
    ASSERT_TRUE(kel_test::settles([&] { return session().endWaiters() == 1; })) << "the request waits for the end";
    release();
    request.join();
    session().timer().join();
    engine().fsctl_hook = nullptr;
    engine().fsctl_results.erase(kRebuild);
    EXPECT_EQ(count(kExitPrivileged), 1u) << "one end";
    EXPECT_EQ(asked.result, refused ? 5u : 0u);
    EXPECT_EQ(asked.lostFiles, refused ? 2u : 0u);
    if (refused) {
      EXPECT_FALSE(exists("/d/a"));
      EXPECT_FALSE(exists("/d/b"));
    } else {
      EXPECT_TRUE(file("/d/a").data == content);
      EXPECT_TRUE(file("/d/b").data == pattern(300, 6));
    }
    const LumoQVE::SessionEnd kept = session().takeUnreported();
    EXPECT_EQ(kept.result, refused ? 5u : 0u);
    EXPECT_EQ(kept.lostFiles, refused ? 2u : 0u);
    EXPECT_FALSE(session().takeUnreported().failed()) << "taken once";
    TearDown();
  }
}

// A session end that fails on the timer thread, with no request waiting,
// is kept: the next end a request asks for (none open) answers nothing of
// it, and it is taken, once, by the Sync or unmount that tells the host.
TEST_F(PackedTimer, AFailedEndOnTheTimerThreadIsKeptForTheHost) {
  ASSERT_EQ(archive("a", pattern(100, 7)), 0u);
  engine().fsctl_results[kRebuild] = 5;
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("missing", f), QVE_RESULT_ERROR_OPEN_MISSING);
  while (!closed()) clock_.advance(100);
  session().timer().join();
  engine().fsctl_results.erase(kRebuild);
  EXPECT_FALSE(exists("/d/a"));
  EXPECT_FALSE(session().end(6).failed()) << "no session is open";
  const LumoQVE::SessionEnd kept = session().takeUnreported();
  EXPECT_EQ(kept.result, 5u);
  EXPECT_EQ(kept.lostFiles, 1u);
  EXPECT_EQ(kept.win32, 1117u) << "the engine's I/O error";
}

TEST_F(PackedTimer, FiveSecondsWithoutAnOpenFlushTheSessionWithPolicySix) {
  const unsigned started = session().timer().started();
  sessionAndFailedOpen();
  EXPECT_EQ(session().timer().started(), started + 1);
  // The thread counts its waits that ran out: nothing is flushed before
  // five of them.
  for (unsigned waits = 0; waits < 5; ++waits) {
    while (session().timer().timedOutWaits() == waits) {
      ASSERT_TRUE(session().proxy()) << "flushed after " << waits << " waits";
      clock_.advance(50);
      std::this_thread::yield();
    }
  }
  while (!closed()) clock_.advance(100);  // the session's end has timed waits of its own
  session().timer().join();
  EXPECT_EQ(session().timer().timedOutWaits(), 5u);
  EXPECT_TRUE(traced(u"ProxyWriter::protocolFlushBuffer called CLOSE"));
  EXPECT_EQ(file("/d/a").data, "x");
  std::lock_guard<std::mutex> lk(engine().mu);
  bool policy_six = false;
  for (std::size_t i = 0; i < engine().fsctl_codes.size(); ++i)
    if (engine().fsctl_codes[i] == kMarkDirty && !engine().fsctl_in[i].empty() && engine().fsctl_in[i][0] == 6)
      policy_six = true;
  EXPECT_TRUE(policy_six);
}

TEST_F(PackedTimer, ALaterGhostFileReservesItsCreationOnTheSessionVolume) {
  // The session's first file is created by its open: its volume object is
  // in write mode 0.
  std::shared_ptr<UserDataFileIO> first;
  ASSERT_EQ(UserDataFileIO::convertPort2Writer(u"", u"d\\first", 0x40000000, nullptr, 0, 0, 0x80, nullptr, first), 0u);
  ASSERT_EQ(first->createWriterObject(), 0u);
  ASSERT_EQ(first->close(), 0u);
  auto proxy = session().proxy();
  ASSERT_TRUE(proxy);
  ASSERT_EQ(proxy->getOBase()->getWriteMode(), OBase::WriteModeNew);
  {
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().fsctl_results[kReserveCreation] = 28;
    engine().files["/d/n"].id = engine().next_id++;
  }
  std::shared_ptr<UserDataFileIO> f;
  EXPECT_EQ(open("n", f), QVE_RESULT_ERROR_RESERVE_FILE_CREATION);
  {
    // The open started the timer thread, which reaches the engine too.
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().fsctl_results.erase(kReserveCreation);
  }
  // Its five waits run out on the test clock and it ends the session.
  while (!closed()) clock_.advance(100);
  session().timer().join();
}

TEST_F(PackedTimer, AnOpenWhileTheTimerWaitsEndsItWithoutAFlush) {
  sessionAndFailedOpen();
  while (session().timer().timedOutWaits() == 0) clock_.advance(50);
  add_file("b");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("b", f), 0u);
  session().timer().join();
  EXPECT_TRUE(session().proxy()) << "the session goes on";
  EXPECT_LT(session().timer().timedOutWaits(), 5u);
  EXPECT_TRUE(traced(u"End"));
  EXPECT_FALSE(traced(u"ProxyWriter::protocolFlushBuffer called CLOSE"));
  f->close();
  // A second failed open starts another timer thread, ended by this open.
  const unsigned started = session().timer().started();
  ASSERT_EQ(open("missing", f), QVE_RESULT_ERROR_OPEN_MISSING);
  EXPECT_EQ(session().timer().started(), started + 1);
  std::shared_ptr<UserDataFileIO> g;
  add_file("c");
  ASSERT_EQ(open("c", g), 0u);
  session().timer().join();
  g->close();
}

// The session's writer thread reads the write settings (here through the
// free-space update) while the request thread builds volume objects, which
// read the policy and the medium again and set those settings.
TEST_F(Packed, SettingsSetWhileTheWriterThreadReadsThem) {
  ASSERT_EQ(archive("a", "x"), 0u);
  auto proxy = session().proxy();
  ASSERT_TRUE(proxy);
  RuvoCtrlVolume::resetForTesting();  // the policy is read again by the next volume object
  RuvoCtrlVolume::setPackedWriteMode(true);
  MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 1024, 1024, 128, 32768, 4u * 32768u};
  engine().fsctl_out[kPolicy] = bytes(p);
  std::atomic<bool> stop{false};
  std::atomic<int> updates{0};
  std::thread reader([&] {
    while (!stop.load()) {
      proxy->m_impl->updateDiskFreeSpaceInfo();
      ++updates;
    }
  });
  for (int i = 0; i < 50 || updates.load() < 10; ++i) OBase volume(u"", OBase::WriteModeExisting);
  stop = true;
  reader.join();
  EXPECT_TRUE(RuvoCtrlVolume::getNewWrite());
  EXPECT_EQ(RuvoCtrlVolume::getBufferNum(), 6u);
  EXPECT_EQ(RuvoCtrlVolume::m_freeSpace.load(), 0x700000ull * 2048);
}

TEST_F(Packed, ASessionThatEndsAtACloseAndFailsFailsThatClose) {
  RuvoCtrlVolume::setPckdWrtMaxFNum(1);
  engine().fsctl_results[kRebuild] = 5;
  EXPECT_EQ(archive("a", "x"), 5u);
  engine().fsctl_results.erase(kRebuild);
  EXPECT_FALSE(session().proxy());
  EXPECT_FALSE(exists("/d/a"));
  EXPECT_FALSE(exists("/@@proxy"));
}

// The writer fails to mark the volume: the end answers it, and the file,
// whose data the writer holds, waits for the next end, which writes it.
TEST_F(Packed, AFailedDirtyMarkReachesTheSyncAndTheNextEndDividesTheFile) {
  ASSERT_EQ(archive("a", "x"), 0u);
  engine().fsctl_results[kMarkDirty] = 5;
  EXPECT_EQ(session().end(6).result, QVE_RESULT_ERROR_MARK_VOLUME_DIRTY);
  engine().fsctl_results.erase(kMarkDirty);
  EXPECT_EQ(session().end(6).result, 0u);
  EXPECT_EQ(file("/d/a").data, "x");
  EXPECT_FALSE(exists("/@@proxy"));
}

TEST_F(Packed, AFileOfOneWholeBufferGetsItsPartialStripeParityAtClose) {
  volume(true);
  const std::string content = pattern(GhostFileWriter::kBufferBytes, 7);
  ASSERT_EQ(archive("big", content, 1 << 20), 0u);
  auto proxy = session().proxy();
  ASSERT_TRUE(proxy);
  const auto& g = *proxy->m_ghostFiles.at(0);
  const std::int64_t body = static_cast<std::int64_t>(GhostFileWriter::kBufferBytes), parity = 1048576;
  EXPECT_EQ(g.chunks, (std::vector<std::pair<std::int64_t, std::int64_t>>{{body, parity}}));
  EXPECT_EQ(g.m_parityFileTotalBytes, parity);
  EXPECT_EQ(blocks_, static_cast<std::uint32_t>((body + parity) / 2048));
  EXPECT_EQ(file(std::string("/d/big") + parityExt()).data.size(), 1048576u) << "its placeholder size";
  ASSERT_EQ(session().end(6).result, 0u);
  EXPECT_TRUE(file("/d/big").data == content);
  EXPECT_TRUE(file(std::string("/d/big") + parityExt()).data == parityOf(content, 134217728, 1048576, kRub));
}

// Sizing a file after a proxy buffer has gone to the disc, whose allocation
// then reaches beyond the packed bytes, checks the free space and leaves
// the proxy as it is.
TEST_F(Packed, SizingAfterAWrittenProxyBufferLeavesTheProxyIntact) {
  RuvoCtrlVolume::setWriteBufferMb(0);  // 32 MiB proxy buffers
  const int files = 34;
  for (int i = 0; i < files; ++i) ASSERT_EQ(archive("f" + std::to_string(i), pattern(1048576, i)), 0u) << i;
  ASSERT_EQ(session().end(6).result, 0u);
  for (int i = 0; i < files; ++i) EXPECT_TRUE(file("/d/f" + std::to_string(i)).data == pattern(1048576, i)) << i;
}

// The free space the engine reports leaves out the blocks already written,
// the proxy's too: sizing a file in a session counts only the proxy's bytes
// not yet on the disc (one file in the ring here, a proxy buffer of 32 files
// written) with the new file. A file that fits beside them is taken, one
// recording unit more is refused, and the refusal is the file's alone: the
// session goes on and every file divides whole.
TEST_F(Packed, SizingCountsTheSessionsBytesOnTheDiscOnce) {
  RuvoCtrlVolume::setWriteBufferMb(0);  // 32 MiB proxy buffers
  constexpr std::size_t kMiB = 1048576;
  const int files = 33;
  for (int i = 0; i < files; ++i) ASSERT_EQ(archive("f" + std::to_string(i), pattern(kMiB, i)), 0u) << i;
  engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x800000, 4 * kMiB / 2048, 0});
  const struct {
    const char* name;
    std::int64_t size;
    std::uint32_t result;
  } cases[] = {
      {"fits", 3 * kMiB, 0},
      {"one unit more", 3 * kMiB + kRub, QVE_RESULT_ERROR_DISC_FULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    add_file(c.name);
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(open(c.name, f), 0u);
    f->seek(c.size);
    EXPECT_EQ(f->setEndOfFile(), c.result);
    if (c.result) {
      EXPECT_EQ(f->getLastWin32Error(), 112u) << "disc full, as without packed writing";
    }
    f.reset();
  }
  ASSERT_EQ(archive("late", pattern(kMiB, 99)), 0u) << "the session goes on after a refused file";
  ASSERT_EQ(session().end(6).result, 0u);
  for (int i = 0; i < files; ++i) EXPECT_TRUE(file("/d/f" + std::to_string(i)).data == pattern(kMiB, i)) << i;
  EXPECT_TRUE(file("/d/late").data == pattern(kMiB, 99));
}

// A ghost file grown past its written bytes asks the proxy for all its
// bytes not in the proxy yet: those still in its own ring too, not the
// growth alone.
TEST_F(Packed, GrowingAGhostFileCountsTheBytesStillInItsRing) {
  constexpr std::int64_t kMiB = 1048576;
  ASSERT_EQ(archive("a", "x"), 0u);
  engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x800000, 4 * kMiB / 2048, 0});
  const struct {
    const char* name;
    std::int64_t end;
    std::uint32_t result;
  } cases[] = {
      {"fits", 3 * kMiB + kMiB / 2, 0},
      {"beyond", 4 * kMiB, QVE_RESULT_ERROR_DISC_FULL},
  };
  const std::string data = pattern(3 * kMiB, 5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    add_file(c.name);
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(open(c.name, f), 0u);
    ASSERT_EQ(f->createWriterObject(), 0u);
    std::uint32_t written = 0;
    ASSERT_EQ(f->getWriter()->write(data.data(), static_cast<std::uint32_t>(data.size()), &written), 0u);
    f->seek(c.end);
    EXPECT_EQ(f->setEndOfFile(), c.result);
    f.reset();
  }
}
