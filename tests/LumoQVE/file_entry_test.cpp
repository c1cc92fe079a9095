// The file entry and the real file writer over the scripted operation
// table, in the order the request handlers call them.
#include "AnnulusFileIO/Buffers.h"
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "AnnulusFileIO/support/running_interface.h"
#include "LumoQVE/PackedSession.h"
#include "LumoQVE/UserDataFileIO.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using LumoQVE::FileWriterBase;
using LumoQVE::RealFileWriter;
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
constexpr unsigned kResetVerify = 0x2000705F;
constexpr unsigned kExitPrivileged = 0x20007001;

constexpr kel::ParityConstants kBuiltIn{2064, 2048, 16, 1048576, 134217728, 32};
constexpr kel::ParityConstants kSmall{3, 2, 1, 2048, 4096, 1};

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 11 + seed * 29 + i / 509) & 0xFF);
  return s;
}

// Parity of data as the writer folds it: each stripe onto its parity bytes.
std::string parityOf(const std::string& data, std::size_t stripe, std::size_t parity) {
  std::string out;
  for (std::size_t at = 0; at < data.size(); at += stripe) {
    std::string p(parity, '\0');
    for (std::size_t i = at; i < std::min(data.size(), at + stripe); ++i) p[(i - at) % parity] ^= data[i];
    out += p;
  }
  return out;
}

class FileEntry : public writertest::RunningInterface {
 protected:
  void SetUp() override {
    RunningInterface::SetUp();
    kel::WriterParityConstants() = kBuiltIn;
    engine().file_store = true;
    engine().manual_allocation = true;
    engine().fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, 0x100, 0x800000});
    engine().fsctl_out[kResource] = bytes(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION{0, 0x20, 0x1000, 0x1000});
    engine().fsctl_out[kDefects] = bytes(std::uint32_t{0});
    engine().fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x800000, 0x700000, 0});
    engine().fsctl_out[kLastFileIndex] = bytes(std::int64_t{-1});
    volume(false, false);
    RuvoCtrlVolume::setWriteBufferMb(1);
  }
  void TearDown() override {
    kel::WriterParityConstants() = kBuiltIn;
    RuvoCtrlVolume::resetForTesting();
    RunningInterface::TearDown();
  }
  // The mounted volume: parity generated (volume type 0) or not, and the
  // write mode its policy gives.
  void volume(bool parity, bool new_write) {
    RuvoCtrlVolume::resetForTesting();
    MDCFS_MOUNT_INFORMATION m{};
    m.MediumType = 0xE1;
    m.VolumeStatus = 0x81;
    m.VolumeTypeAndInformationVersion = parity ? 0x00 : 0x10;
    engine().fsctl_out[kMount] = bytes(m);
    MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 1024, 1024, 128, 32768, new_write ? 4u * 32768u : 0u};
    engine().fsctl_out[kPolicy] = bytes(p);
    RuvoCtrlVolume::setMaxWriteRetryR(9);
    RuvoCtrlVolume::setDfltFsFlshPlcy(1);
  }
  void seed(const std::string& path, const std::string& data, std::uint32_t id = 0) {
    std::lock_guard<std::mutex> lk(engine().mu);
    auto& f = engine().files[path];
    f.data = data;
    f.id = id ? id : engine().next_id++;
    if (!data.empty())
      f.extents = {{0, 0x500, static_cast<std::int32_t>((data.size() + 2047) / 2048)}};
  }
  std::string data(const std::string& path) {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().files[path].data;
  }
  bool exists(const std::string& path) {
    std::lock_guard<std::mutex> lk(engine().mu);
    return engine().files.count(path) != 0;
  }
  std::uint32_t open(const std::string& name, std::uint32_t port_disposition, std::shared_ptr<UserDataFileIO>& out) {
    return UserDataFileIO::convertPort2Writer(u"", std::u16string(name.begin(), name.end()), 0x40000000, nullptr, 0,
                                             port_disposition, 0x80, nullptr, out);
  }
  // The archive handler's calls for a whole file.
  std::uint32_t archive(UserDataFileIO& f, const std::string& content, std::size_t chunk) {
    f.seek(static_cast<std::int64_t>(content.size()));
    if (std::uint32_t r = f.setEndOfFile()) return r;
    f.seek(0);
    for (std::size_t at = 0; at < content.size(); at += chunk) {
      if (std::uint32_t r = f.createWriterObject()) return r;
      const std::uint32_t n = static_cast<std::uint32_t>(std::min(chunk, content.size() - at));
      std::uint32_t written = 0;
      if (std::uint32_t r = f.getWriter()->write(content.data() + at, n, &written)) return r;
      if (written != n) return 1;
    }
    if (std::uint32_t r = f.createWriterObject()) return r;
    if (std::uint32_t r = f.getWriter()->flush(true)) return r;
    if (std::uint32_t r = f.getWriter()->setFileTime(1000, 2000, 3000)) return r;
    return f.close();
  }
  std::string readBack(UserDataFileIO& f, std::size_t size) {
    std::string out(size, '\0');
    f.seek(0);
    std::size_t at = 0;
    while (at < size) {
      std::uint32_t got = 0;
      const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(size - at, 300000));
      EXPECT_EQ(f.getWriter()->read(out.data() + at, n, &got), 0u);
      if (got == 0) break;
      at += got;
    }
    out.resize(at);
    return out;
  }
};

}  // namespace

// ---------------------------------------------------------------- file entry

TEST_F(FileEntry, WholeFileReadsBackAndItsParityIsTheStripesFold) {
  const struct {
    const char* what;
    bool new_write;
    std::size_t size;
  } cases[] = {
      {"old write, stripe ends inside a buffer", false, 3 * 4096 + 1000},
      {"new write, stripe ends inside a buffer", true, 3 * 4096 + 1000},
      {"old write, whole stripes", false, 4 * 4096},
  };
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    volume(true, c.new_write);
    kel::WriterParityConstants() = kSmall;
    RuvoCtrlVolume::setWriteBufferMb(0);
    seed("/d/a.bin", "");
    seed("/d/a.bin#*ECC_Parity_V100_N=3_K=2", "");  // the engine's at setup parity
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(open("d\\a.bin", 1, f), 0u) << c.what;
    // Buffers of 6144 bytes: the second stripe ends inside the second one.
    f->maxAnnulusSizeBytes = 6144;
    const std::string content = pattern(c.size, 3);
    ASSERT_EQ(archive(*f, content, 5000), 0u) << c.what;
    EXPECT_TRUE(data("/d/a.bin") == content) << c.what;
    EXPECT_TRUE(data("/d/a.bin#*ECC_Parity_V100_N=3_K=2") == parityOf(content, 4096, 2048)) << c.what;
  }
}

TEST_F(FileEntry, ParityFileNameOfTheBuiltInSettings) {
  volume(true, false);
  seed("/d/b.bin", "");
  seed("/d/b.bin#*ECC_Parity_V100_N=2064_K=2048", "");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\b.bin", 1, f), 0u);
  const std::string content = pattern(100000, 4);
  ASSERT_EQ(archive(*f, content, 65536), 0u);
  EXPECT_TRUE(data("/d/b.bin") == content);
  // The partial stripe's parity: its 100000 bytes in whole 64 KiB symbols.
  const std::string parity = data("/d/b.bin#*ECC_Parity_V100_N=2064_K=2048");
  ASSERT_EQ(parity.size(), 131072u);
  EXPECT_TRUE(parity == parityOf(content, 134217728, 1048576).substr(0, 131072));
}

TEST_F(FileEntry, OpenFailuresAndTheirErrors) {
  seed("/d/old.bin", pattern(4096, 1), 700);  // not the last written file
  const struct {
    const char* what;
    std::string name;
    std::uint32_t disposition;
    std::uint32_t result;
    DWORD last_error;  // 0: not checked
  } cases[] = {
      {"disposition 6", "d\\missing.bin", 6, QVE_RESULT_ERROR_OPEN_STREAM, 0},
      {"not the last written file", "d\\old.bin", 1, QVE_RESULT_ERROR_NOT_LAST_FILE, 5},
      {"create new of an existing file", "d\\old.bin", 2, QVE_RESULT_ERROR_CREATE_EXISTING, 183},
      {"open existing of a missing file", "d\\missing.bin", 1, QVE_RESULT_ERROR_OPEN_MISSING, 2},
  };
  for (const auto& c : cases) {
    std::shared_ptr<UserDataFileIO> f;
    EXPECT_EQ(open(c.name, c.disposition, f), c.result) << c.what;
    EXPECT_FALSE(f) << c.what;
    if (c.last_error) {
      EXPECT_EQ(GetLastError(), c.last_error) << c.what;
    }
  }
  EXPECT_TRUE(traced(u"wrong disposition! : 0x00000006"));
  EXPECT_TRUE(data("/d/old.bin") == pattern(4096, 1)) << "a refused open changes nothing";
}

TEST_F(FileEntry, ReopenedFileFindsItsParityFileOnlyWhenTheSizesMatch) {
  const struct {
    const char* what;
    std::size_t parity_size;
    bool opened;
  } cases[] = {{"one stripe's parity", 2048, true}, {"stale parity", 4096, false}};
  for (const auto& c : cases) {
    engine().reset();
    SetUp();
    volume(true, false);
    kel::WriterParityConstants() = kSmall;
    seed("/d/c.bin", pattern(4096, 2), 300);
    seed("/d/c.bin#*ECC_Parity_V100_N=3_K=2", std::string(c.parity_size, 'p'));
    engine().fsctl_out[kLastFileIndex] = bytes(std::int64_t{300});
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(open("d\\c.bin", 1, f), 0u) << c.what;
    EXPECT_EQ(f->m_parityFile != nullptr, c.opened) << c.what;
    if (c.opened) {
      EXPECT_EQ(f->m_parityFile->getPosition(), 2048u) << c.what;
    }
    EXPECT_EQ(f->m_parityFilePath.empty(), c.opened) << c.what;
    EXPECT_EQ(f->close(), 0u) << c.what;
  }
}

TEST_F(FileEntry, WriteBufferSizeFromTheSetting) {
  const struct {
    std::uint32_t mb;
    std::uint64_t bytes;
  } cases[] = {{64, 67108864}, {0, 33554432}, {4096, 33554432}, {4097, 33554432},
               // Four buffers fit a ring's byte cap of 512 MiB.
               {128, 134217728}, {129, 134217728}, {4095, 134217728}};
  for (const auto& c : cases) {
    RuvoCtrlVolume::setWriteBufferMb(c.mb);
    EXPECT_EQ(UserDataFileIO::calcAnnulsBufferSizeBytes(), c.bytes) << c.mb;
  }
}

// The buffers of a ring are capped in bytes. A drive whose error-reporting
// window is far beyond what the cap holds (0xFFFFFF blocks in reserve
// pieces of 0x4200 blocks: 993 pieces, 995 buffers) gets a ring of the
// buffers that fit, and the writer confirms its written buffers by a
// drive-cache sync each time they fill the ring, instead of holding the
// window's worth; a window the ring holds keeps its own count and needs no
// sync before the file's end. The file reads back whole either way.
TEST_F(FileEntry, AWindowBeyondTheRingsByteCapIsConfirmedBySyncsAtTheCap) {
  constexpr unsigned kSync = 0x20007030;
  const struct {
    const char* what;
    std::uint32_t reserve, window;
    std::uint64_t cap;      // of buffers of 1 MiB
    std::uint32_t buffers;  // the count the policy asks for
    int ring;               // the ring's count
    bool synced;            // syncs before the file's end
  } cases[] = {{"a window the ring holds", 32768, 4 * 32768, 8u << 20, 6, 6, false},
               {"a window beyond the cap", 0x4200, 0xFFFFFF, 4u << 20, 995, 4, true}};
  struct CapBack {
    ~CapBack() { LumoQVE::WriterRingBuffer::setByteCapForTesting(0); }
  } cap_back;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LumoQVE::WriterRingBuffer::setByteCapForTesting(c.cap);
    RuvoCtrlVolume::resetForTesting();
    RuvoCtrlVolume::setWriteBufferMb(1);
    MDCFS_WRITE_POLICY_INFORMATION p{0, 66048, 512, 1024, 1024, 128, c.reserve, c.window};
    engine().fsctl_out[kPolicy] = bytes(p);
    seed("/d/w.bin", "");
    std::shared_ptr<UserDataFileIO> f;
    ASSERT_EQ(open("d\\w.bin", 0, f), 0u);
    EXPECT_TRUE(RuvoCtrlVolume::getNewWrite());
    EXPECT_EQ(RuvoCtrlVolume::getBufferNum(), c.buffers);
    const std::string content = pattern(12u << 20, 4);
    f->seek(static_cast<std::int64_t>(content.size()));
    ASSERT_EQ(f->setEndOfFile(), 0u);
    f->seek(0);
    ASSERT_EQ(f->createWriterObject(), 0u);
    const auto before = fsctlCodes();
    for (std::size_t at = 0; at < content.size(); at += 300000) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(300000, content.size() - at));
      std::uint32_t written = 0;
      ASSERT_EQ(f->getWriter()->write(content.data() + at, n, &written), 0u);
    }
    ASSERT_EQ(f->getWriter()->flush(true), 0u);
    EXPECT_EQ(f->getWriter()->m_ring->count(), c.ring);
    const auto after = fsctlCodes();
    const auto syncs = std::count(after.begin() + static_cast<std::ptrdiff_t>(before.size()), after.end(), kSync);
    if (c.synced) {
      EXPECT_GE(syncs, 5) << "12 buffers, two of them unconfirmed at most";
    } else {
      EXPECT_EQ(syncs, 0);
    }
    ASSERT_EQ(f->close(), 0u);
    EXPECT_TRUE(data("/d/w.bin") == content);
    f.reset();
    std::lock_guard<std::mutex> lk(engine().mu);
    engine().files.erase("/d/w.bin");
  }
}

TEST_F(FileEntry, SecondOpenWaitsUntilTheFirstFileIsClosed) {
  seed("/d/1.bin", "");
  seed("/d/2.bin", "");
  std::shared_ptr<UserDataFileIO> first;
  ASSERT_EQ(open("d\\1.bin", 1, first), 0u);
  std::atomic<bool> opened{false};
  std::shared_ptr<UserDataFileIO> second;
  std::thread t([&] {
    EXPECT_EQ(open("d\\2.bin", 1, second), 0u);
    opened = true;
  });
  while (session().timer().openWaiters() == 0) std::this_thread::yield();
  EXPECT_FALSE(opened.load());
  EXPECT_EQ(first->close(), 0u);
  t.join();
  EXPECT_TRUE(opened.load());
  EXPECT_EQ(second->close(), 0u);
}

TEST_F(FileEntry, FileDroppedWithoutCloseLeavesTheNextOpenFree) {
  seed("/d/1.bin", "");
  seed("/d/2.bin", "");
  std::shared_ptr<UserDataFileIO> dropped;
  ASSERT_EQ(open("d\\1.bin", 1, dropped), 0u);
  dropped.reset();
  std::shared_ptr<UserDataFileIO> next;
  ASSERT_EQ(open("d\\2.bin", 1, next), 0u);  // would wait forever
  EXPECT_EQ(next->close(), 0u);
}

TEST_F(FileEntry, Win32ErrorOfTheFile) {
  UserDataFileIO none;
  EXPECT_EQ(none.getLastWin32Error(), 1117u) << "without an implementation";
  seed("/d/e.bin", "");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\e.bin", 1, f), 0u);
  f->m_impl->setLastManagerError(QVE_RESULT_ERROR_DISC_FULL, __FILE__, __LINE__);
  EXPECT_EQ(f->getLastWin32Error(), 112u);
  f->m_file->m_dwErrorCode = 5;
  EXPECT_EQ(f->getLastWin32Error(), 5u) << "the body file's error comes first";
  f->m_file->m_dwErrorCode = 0;
  f->close();
}

TEST_F(FileEntry, CloseResetsTheVerifyModeAndLeavesThePrivilegedMode) {
  seed("/d/g.bin", "");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\g.bin", 1, f), 0u);
  ASSERT_EQ(archive(*f, pattern(5000, 1), 5000), 0u);
  const auto codes = fsctlCodes();
  auto reset = std::find(codes.begin(), codes.end(), kResetVerify);
  ASSERT_NE(reset, codes.end());
  EXPECT_NE(std::find(reset, codes.end(), kExitPrivileged), codes.end());
  EXPECT_TRUE(f->m_closeFlushPolicyOne) << "the default policy 1 marks the volume at close";
  EXPECT_EQ(f->m_closeMarkValue, 5000u);
}

// ---------------------------------------------------------------- real file writer

TEST_F(FileEntry, WriteAwayFromTheWrittenEndFailsAndChangesNothing) {
  seed("/d/h.bin", "");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\h.bin", 1, f), 0u);
  ASSERT_EQ(f->createWriterObject(), 0u);
  std::uint32_t written = 0;
  ASSERT_EQ(f->getWriter()->write("abc", 3, &written), 0u);
  f->seek(1);
  written = 77;
  EXPECT_EQ(f->getWriter()->write("x", 1, &written), QVE_RESULT_ERROR_NOT_SEQUENTIAL);
  EXPECT_EQ(written, 77u);
  EXPECT_EQ(f->m_virtualFileSize, 3);
  f->seek(3);
  EXPECT_EQ(f->close(), 0u);
  EXPECT_TRUE(data("/d/h.bin") == "abc");
}

TEST_F(FileEntry, OneBufferFillsWithoutFlushingAndOneByteMoreFlushes) {
  seed("/d/i.bin", "");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\i.bin", 1, f), 0u);
  ASSERT_EQ(f->createWriterObject(), 0u);
  const std::string full = pattern(1048576, 5);
  std::uint32_t written = 0;
  ASSERT_EQ(f->getWriter()->write(full.data(), 1048576, &written), 0u);
  auto* real = dynamic_cast<RealFileWriter*>(f->getWriter().get());
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(real->m_realFileSize, 0) << "a full buffer waits for the next byte";
  ASSERT_EQ(f->getWriter()->write("z", 1, &written), 0u);
  EXPECT_EQ(real->m_realFileSize, 1048576);
  std::uint32_t blocks = 0;
  EXPECT_EQ(real->getCacheBlocks(blocks), 0u);
  EXPECT_EQ(blocks, 1u);
  EXPECT_EQ(f->close(), 0u);
  EXPECT_TRUE(data("/d/i.bin") == full + "z");
}

TEST_F(FileEntry, CacheBlocksOfTheCurrentBuffer) {
  seed("/d/j.bin", "");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\j.bin", 1, f), 0u);
  ASSERT_EQ(f->createWriterObject(), 0u);
  std::uint64_t blocks = 42;
  EXPECT_EQ(UserDataFileIO::getCacheBlocks(blocks), 0u);
  EXPECT_EQ(blocks, 42u) << "an empty buffer answers nothing";
  std::uint32_t written = 0;
  ASSERT_EQ(f->getWriter()->write(pattern(2049, 1).data(), 2049, &written), 0u);
  EXPECT_EQ(UserDataFileIO::getCacheBlocks(blocks), 0u);
  EXPECT_EQ(blocks, 2u);
  EXPECT_EQ(f->close(), 0u);
}

TEST_F(FileEntry, ReopenedFileReloadsItsIncompleteRecordingUnit) {
  const std::string old = pattern(65537, 6);
  seed("/d/k.bin", old, 400);
  engine().fsctl_out[kLastFileIndex] = bytes(std::int64_t{400});
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\k.bin", 1, f), 0u);
  auto* real = dynamic_cast<RealFileWriter*>(f->getWriter().get());
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(real->tailBytes, 1u);
  EXPECT_EQ(real->m_ring->peekCurrent()->used(), 1u);
  // setEndOfFile of an unwritten existing file: only at its own size.
  f->seek(65537);
  EXPECT_EQ(f->setEndOfFile(), 0u);
  f->seek(70000);
  EXPECT_EQ(f->setEndOfFile(), QVE_RESULT_ERROR_NOT_SEQUENTIAL);
}

TEST_F(FileEntry, ReopenedFileAppendsAndCountsTheReloadedByteOnce) {
  const std::string old = pattern(65537, 6);
  seed("/d/k.bin", old, 400);
  engine().fsctl_out[kLastFileIndex] = bytes(std::int64_t{400});
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\k.bin", 1, f), 0u);
  auto* real = dynamic_cast<RealFileWriter*>(f->getWriter().get());
  ASSERT_NE(real, nullptr);
  f->seek(65537);
  const std::string more = pattern(1048575, 8);  // fills the buffer behind the reloaded byte
  std::uint32_t written = 0;
  ASSERT_EQ(f->getWriter()->write(more.data(), static_cast<std::uint32_t>(more.size()), &written), 0u);
  ASSERT_EQ(f->getWriter()->write("!", 1, &written), 0u);
  EXPECT_EQ(real->m_realFileSize, 65537 + 1048575);
  EXPECT_EQ(f->close(), 0u);
  EXPECT_TRUE(data("/d/k.bin") == old + more + "!");
}

TEST_F(FileEntry, FirstWriteOfAReopenedFileCutsItsOldParity) {
  volume(true, false);
  kel::WriterParityConstants() = kSmall;
  seed("/d/m.bin", pattern(5000, 1), 500);
  seed("/d/m.bin#*ECC_Parity_V100_N=3_K=2", std::string(4096, 'p'));
  engine().fsctl_out[kLastFileIndex] = bytes(std::int64_t{500});
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\m.bin", 1, f), 0u);
  EXPECT_EQ(data("/d/m.bin#*ECC_Parity_V100_N=3_K=2").size(), 4096u) << "cut only at the first write";
  f->seek(5000);
  std::uint32_t written = 0;
  ASSERT_EQ(f->getWriter()->write("abc", 3, &written), 0u);
  EXPECT_EQ(data("/d/m.bin#*ECC_Parity_V100_N=3_K=2").size(), 2048u);
  EXPECT_EQ(f->close(), 0u);
  EXPECT_TRUE(data("/d/m.bin") == pattern(5000, 1) + "abc");
}

TEST_F(FileEntry, DeleteOnCloseGoesThroughTheEngine) {
  seed("/d/n.bin", "");
  std::shared_ptr<UserDataFileIO> f;
  ASSERT_EQ(open("d\\n.bin", 1, f), 0u);
  ASSERT_EQ(f->createWriterObject(), 0u);
  EXPECT_EQ(f->getWriter()->close(true), 0u);
  const auto calls = engine().callsSnapshot();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "DeleteFile"), calls.end());
  f->close();
}
