// Archive, Verify and Sync over the library's own user-data writer, on the
// scripted operation table the writer is built against.
#include "LumoQVE/PackedFileIO.h"
#include "kel/handler.h"
#include "kel/mdcfs.h"
#include "kel/writer_port.h"
#include "support/fragment_host.h"
#include "support/handler_harness.h"
#include "support/loop_fake_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace handlertest;

namespace {

using Strings = std::vector<std::string>;

constexpr unsigned kTrack = 0xC0107016;
constexpr unsigned kResource = 0xC0107041;
constexpr unsigned kPolicy = 0x40207051;
constexpr unsigned kDefects = 0x40047040;
constexpr unsigned kStatfs = 0x40207063;
constexpr unsigned kMount = 0x40107014;
constexpr unsigned kLastFileIndex = 0x40087057;

template <class T>
std::vector<std::uint8_t> bytes(const T& v) {
  std::vector<std::uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

Strings names(const Strings& elements) {
  Strings out;
  for (const auto& e : elements) out.push_back(elementName(e));
  return out;
}

class LibraryWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    kel::SetUserDataWriter(nullptr);  // the harness installed the recording one
    looptest::FakeEngine& e = looptest::engine();
    e.reset();
    e.file_store = true;
    e.fill_volume = true;
    e.volume.BlockSize = 2048;
    e.volume.NumberOfBlocksPerTrack = 0x800000;
    e.volume.NextWritableBlock = 0x100;
    e.fsctl_out[kTrack] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, 0x100, 0x800000});
    e.fsctl_out[kResource] = bytes(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION{0, 0x20, 0x1000, 0x1000});
    e.fsctl_out[kDefects] = bytes(std::uint32_t{0});
    e.fsctl_out[kStatfs] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x800000, 0x700000, 0});
    e.fsctl_out[kLastFileIndex] = bytes(std::int64_t{-1});
    MDCFS_MOUNT_INFORMATION m{};
    m.MediumType = 0xE1;
    m.VolumeStatus = 0x81;
    m.VolumeTypeAndInformationVersion = 0x10;  // no parity files
    e.fsctl_out[kMount] = bytes(m);
    e.fsctl_out[kPolicy] = bytes(MDCFS_WRITE_POLICY_INFORMATION{0, 66048, 512, 1024, 1024, 128, 32768, 0});
  }
  std::string data(const std::string& path) {
    looptest::FakeEngine& e = looptest::engine();
    std::lock_guard<std::mutex> lk(e.mu);
    auto f = e.files.find(path);
    return f == e.files.end() ? "<none>" : f->second.data;
  }
  HandlerHarness h;
  FragmentHost host{h};
};

TEST_F(LibraryWriter, AnUnpackedArchiveIsWrittenAndVerifiedByteForByte) {
  h.setRegistry({"\"Packed Write Mode\"=dword:00000000", "\"Write Buffer MB\"=dword:00000001"});
  const std::string file = pattern(70000, 12);
  h.run(archiveLine(5, "/f.bin", 3, 4) + host.archiveCallbacks(5, file, 16384) + verifyLine(6, "/f.bin", 3, 4) +
            openFragmentLine(6, 65536) + readLine(6) + readLine(6),
        &looptest::fakeOperations());
  EXPECT_EQ(names(h.elements()), (Strings{"KelFragment", "KelFragment", "KelFragment", "KelFragment", "KelFragment",
                                          "KelFragment", "KelFragment", "KelArchive", "KelFragment", "KelFragment",
                                          "KelFragment", "KelFragment", "KelSuccess"}));
  EXPECT_EQ(attribute(host.fragments[1], "BlockNumber"), "256");
  EXPECT_TRUE(data("/f.bin") == file);
  EXPECT_TRUE(host.received == file);
}

TEST_F(LibraryWriter, PackedArchivesReachTheVolumeWithTheSync) {
  h.setRegistry({"\"Write Buffer MB\"=dword:00000001"});
  looptest::engine().packed_store = true;
  looptest::engine().volume.Dirty = 1;
  const std::string a = pattern(3000, 13), b = pattern(70000, 14);
  h.run(archiveLine(5, "/a", 1, 1) + host.archiveCallbacks(5, a, 65536) + archiveLine(6, "/b", 1, 1) +
            host.archiveCallbacks(6, b, 65536) + line(7, "Sync", "Reason=\"SyncTime\" BlockNumber=\"0\" Bytes=\"0\" Generation=\"0\"") +
            verifyLine(8, "/b", 1, 1) + openFragmentLine(8, 65536) + readLine(8) + readLine(8),
        &looptest::fakeOperations());
  const Strings got = names(h.elements());
  EXPECT_EQ(std::count(got.begin(), got.end(), "KelArchive"), 2);
  EXPECT_EQ(std::count(got.begin(), got.end(), "KelSync"), 1);
  // The metadata file with the two files' versions, a packed file too.
  EXPECT_EQ(data("/$QuorvelData/QVMetaData000000.dat").size(), 1024u + 2 * 12);
  EXPECT_EQ(got.back(), "KelSuccess");
  EXPECT_EQ(data("/@@proxy"), "<none>");
  // The second file follows the first's blocks in the packed buffer: its 2
  // blocks padded to a whole recording unit (32 blocks).
  Strings blocks;
  for (const auto& f : host.fragments)
    if (attribute(f, "IOSize") != "0" && attribute(f, "SequenceNumber") != "8") blocks.push_back(attribute(f, "BlockNumber"));
  EXPECT_EQ(blocks, (Strings{"256", "256", "288", "288", "288"}));
  EXPECT_TRUE(data("/a") == a);
  EXPECT_TRUE(host.received == b);
}

// A packed session that fails at a later file's close loses the files
// answered before it too. Each lost file is removed from the volume (a
// Verify finds it absent), the file whose close failed is answered the
// failure, and the next Sync names the number lost and answers the
// failure; the Sync after it answers "KelSync".
TEST_F(LibraryWriter, ASessionFailingAtALaterCloseRemovesTheFilesItLostAndTheSyncSaysSo) {
  h.setRegistry({"\"Write Buffer MB\"=dword:00000001", "\"Packed Write Max File Num\"=dword:00000003"});
  looptest::engine().packed_store = true;
  int probes = 0;
  // The first probe makes the engine refuse every rebuild, the second
  // lets them pass again.
  h.probe = [&probes](CKelInterface&) {
    looptest::FakeEngine& e = looptest::engine();
    std::lock_guard<std::mutex> lk(e.mu);
    if (probes++ == 0) e.fsctl_results[0x80247061] = 5;
    else e.fsctl_results.erase(0x80247061);
  };
  const std::string sync_time = "Reason=\"SyncTime\" BlockNumber=\"0\" Bytes=\"0\" Generation=\"0\"";
  const std::string a = pattern(3000, 15), b = pattern(70000, 16), c = pattern(500, 17);
  h.run(archiveLine(5, "/a", 1, 1) + host.archiveCallbacks(5, a, 65536) + archiveLine(6, "/b", 1, 1) +
            host.archiveCallbacks(6, b, 65536) + probeLine(7) + archiveLine(8, "/c", 1, 1) +
            host.archiveCallbacks(8, c, 65536) + probeLine(9) + line(10, "Sync", sync_time) +
            line(11, "Sync", sync_time) + verifyLine(12, "/a", 1, 1),
        &looptest::fakeOperations());
  Strings got = names(h.elements());
  got.erase(std::remove(got.begin(), got.end(), "KelFragment"), got.end());
  EXPECT_EQ(got, (Strings{"KelArchive", "KelArchive", "HRESULT", "Error", "Error", "Error", "Error", "HRESULT",
                          "KelSync", "HRESULT"}));
  Strings errors;
  for (const auto& e : h.elements())
    if (elementName(e) == "Error") errors.push_back(e);
  ASSERT_EQ(errors.size(), 4u);
  // Each file the host was answered for by name, then their number; the
  // file whose close failed was answered its failure.
  EXPECT_NE(errors[0].find(">Archived file lost, archive it again: /a<"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find(">Archived file lost, archive it again: /b<"), std::string::npos) << errors[1];
  EXPECT_NE(errors[2].find(">Archived file lost, archive it again: /c<"), std::string::npos) << errors[2];
  EXPECT_NE(errors[3].find("3 archived files were lost"), std::string::npos) << errors[3];
  for (const char* path : {"/a", "/b", "/c"}) EXPECT_TRUE(data(path) == "<none>") << path;
  EXPECT_EQ(h.elements().back(), hresult(12, 0x80070002)) << "the Verify of a lost file";
}

}  // namespace
