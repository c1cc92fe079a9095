// The file operations over POSIX calls, with the drive-letter table.
#include "dup_support.h"

#include "file_operation.h"

#include "platform/drive_letters.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace sdktest {
namespace {

using PxoUtilityLib::FileOperationCallbackImpl;
namespace Px = PxoUtilityLib::PxoUtility;

class FileOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host().install();
    ASSERT_TRUE(platform::drive_letter_assign(u'X', {"/dev/sd0x77", dir.path()}));
  }
  void TearDown() override { clearCallbacks(); }
  std::u16string w(const std::string& p) { return wide(p); }

  RegistryScope registry;
  ScratchDir dir;
  FileOperationCallbackImpl files;
};

TEST_F(FileOperationTest, OpenAndCreateResults) {
  writeFile(dir / "old", {1, 2, 3});
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0777), 0);
  struct Case {
    std::string path;
    std::uint32_t type;
    std::uint32_t result;
  };
  const std::string longName(300, 'n');
  const Case cases[] = {
      {dir / "old", Px::kOpenCreate, Px::kOpenExists},
      {dir / "old", Px::kOpenCreateArchive, Px::kOpenExists},
      {dir / "missing", Px::kOpenRead, Px::kOpenNotFound},
      {dir / "missing", Px::kOpenReadDirect, Px::kOpenNotFound},
      {dir / longName, Px::kOpenCreate, Px::kOpenInvalidName},
      {dir / "new", 7, Px::kOpenFailed},
      {"\\\\server\\share\\file", Px::kOpenRead, Px::kOpenNotFound},
      {dir / "old", Px::kOpenRead, Px::kOpenOk},
  };
  for (const Case& c : cases) {
    Px::FileHandle h = 0;
    EXPECT_EQ(files.open(w(c.path), c.type, h), c.result) << c.path.substr(0, 60) << " type " << c.type;
    EXPECT_EQ(h == Px::kNoHandle, c.result != 0);
    files.close(h);
  }
  EXPECT_EQ(readFile(dir / "old"), (Bytes{1, 2, 3}));  // the existing file is left as it was
  EXPECT_FALSE(exists(dir / "new"));
  EXPECT_EQ(files.createDirectory(w(dir / "sub")), 2u);
  EXPECT_EQ(files.createDirectory(w(dir / "sub2")), 0u);
  EXPECT_EQ(files.createDirectory(w(dir / "no/such")), 1u);
  // A lone surrogate is no name at all.
  Px::FileHandle h = 0;
  EXPECT_EQ(files.open(w(dir.path()) + u"/\xD800x", Px::kOpenCreate, h), Px::kOpenInvalidName);
}

TEST_F(FileOperationTest, DrivePathsReachTheTableDirectory) {
  ASSERT_EQ(::mkdir((dir / "a").c_str(), 0777), 0);
  Px::FileHandle h = Px::kNoHandle;
  ASSERT_EQ(files.open(u"X:\\a\\b", Px::kOpenCreateArchive, h), 0u);
  const Bytes data{9, 8, 7};
  EXPECT_TRUE(files.write(h, 3, data.data()));
  files.close(h);
  EXPECT_EQ(readFile(dir / "a/b"), data);
  // The archive file system's per-file option has no road here: logged only.
  EXPECT_TRUE(host().logged("DeviceIoControl(MDCFSCTL_SET_FILE_CONTROL_OPTION) error GetLastError=1"));
  // A letter with no table entry, and a UNC path, reach nothing.
  EXPECT_EQ(files.open(u"Q:\\a\\b", Px::kOpenRead, h), Px::kOpenNotFound);
  std::uint32_t attributes = 0;
  EXPECT_FALSE(files.getFileAttribute(u"\\\\srv\\share\\a", attributes));
  // The free-space root of each kind of path.
  EXPECT_EQ(PxoUtilityLib::freeSpaceRoot(u"X:\\a\\b"), u"X:\\");
  EXPECT_EQ(PxoUtilityLib::freeSpaceRoot(u"\\\\srv\\share\\a\\b"), u"\\\\srv\\share\\");
  Px::DiskFreeSpace space;
  ASSERT_TRUE(files.getDiskFreeSpace(u"X:\\", space));
  EXPECT_GT(std::uint64_t{space.totalClusters} * space.sectorsPerCluster * space.bytesPerSector, 0u);
}

TEST_F(FileOperationTest, ReadReturnsTheSizeAskedWhenServedInShortPieces) {
  // A FIFO hands a read no more than the pipe holds: a single read call
  // would come back short.
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  const Bytes data = pattern(300000);
  std::thread writer([&] {
    const int f = ::open(fifo.c_str(), O_WRONLY);
    for (std::size_t at = 0; at < data.size(); at += 1000) (void)!::write(f, data.data() + at, 1000);
    ::close(f);
  });
  Px::FileHandle h = Px::kNoHandle;
  ASSERT_EQ(files.open(w(fifo), Px::kOpenRead, h), 0u);
  Bytes got(400000);
  std::uint32_t done = 0;
  EXPECT_TRUE(files.read(h, 300000, done, got.data()));
  EXPECT_EQ(done, 300000u);
  // At the end of the data the read comes back short, without failing.
  std::uint32_t more = 1;
  EXPECT_TRUE(files.read(h, 100, more, got.data() + done));
  EXPECT_EQ(more, 0u);
  files.close(h);
  writer.join();
  got.resize(done);
  EXPECT_EQ(got, data);
}

TEST_F(FileOperationTest, AttributesTimesAndEndOfFile) {
  writeFile(dir / "f", pattern(100));
  std::uint32_t attributes = 0;
  ASSERT_TRUE(files.getFileAttribute(w(dir / "f"), attributes));
  EXPECT_EQ(attributes, 0x80u);
  EXPECT_TRUE(files.setFileAttribute(w(dir / "f"), 0x01));
  ASSERT_TRUE(files.getFileAttribute(w(dir / "f"), attributes));
  EXPECT_EQ(attributes, 0x01u);
  EXPECT_TRUE(files.setFileAttribute(w(dir / "f"), 0x80));
  ASSERT_TRUE(files.getFileAttribute(w(dir / "f"), attributes));
  EXPECT_EQ(attributes, 0x80u);
  ASSERT_TRUE(files.getFileAttribute(w(dir.path()), attributes));
  EXPECT_EQ(attributes, 0x10u);
  ASSERT_EQ(::symlink("f", (dir / "l").c_str()), 0);
  ASSERT_TRUE(files.getFileAttribute(w(dir / "l"), attributes));
  EXPECT_EQ(attributes & 0x400u, 0x400u);

  Px::FileHandle h = Px::kNoHandle;
  ASSERT_EQ(files.open(w(dir / "f"), Px::kOpenRead, h), 0u);
  Px::FileTimes times;
  times.access = 130000000000000000ull;  // 100 ns units since 1601
  times.write = 131000000000000000ull;
  EXPECT_TRUE(files.setFileTime(h, times));
  EXPECT_TRUE(files.setFileTime(h, {~0ull, ~0ull, ~0ull}));  // freezing changes nothing
  Px::FileTimes back;
  ASSERT_TRUE(files.getFileTime(h, back));
  EXPECT_EQ(back.write, times.write);
  EXPECT_EQ(back.access, times.access);
  files.close(h);

  ASSERT_EQ(files.open(w(dir / "g"), Px::kOpenCreate, h), 0u);
  EXPECT_TRUE(files.write(h, 10, pattern(10).data()));
  EXPECT_TRUE(files.setEOF(h, 4));
  std::uint64_t size = 0;
  EXPECT_TRUE(files.getFileSize(h, size));
  EXPECT_EQ(size, 4u);
  files.close(h);
  EXPECT_TRUE(files.deleteFile(w(dir / "g")));
  EXPECT_FALSE(files.deleteFile(w(dir / "g")));
}

TEST_F(FileOperationTest, LinksAreReadAndMadeAsLinks) {
  ASSERT_EQ(::symlink("../target/x", (dir / "l").c_str()), 0);
  Px::FileHandle h = Px::kNoHandle;
  ASSERT_EQ(files.open(w(dir / "l"), Px::kOpenLink, h), 0u);  // the link itself, its target missing
  std::u16string target;
  EXPECT_TRUE(files.getSymLinkTarget(h, target));
  EXPECT_EQ(target, u"../target/x");
  files.close(h);
  EXPECT_EQ(files.createSymLink(w(dir / "m"), target, 0), 0u);
  EXPECT_EQ(files.createSymLink(w(dir / "m"), target, 0), 2u);
  char back[64] = {};
  ASSERT_GT(::readlink((dir / "m").c_str(), back, sizeof back), 0);
  EXPECT_STREQ(back, "../target/x");
  ASSERT_EQ(files.openSymLink(w(dir / "m"), h), 0u);
  Px::FileTimes times;
  times.write = times.access = 131000000000000000ull;
  EXPECT_TRUE(files.setFileTime(h, times));  // on the link, not its missing target
  files.close(h);
  EXPECT_EQ(files.openSymLink(w(dir / "none"), h), 3u);
}

}  // namespace
}  // namespace sdktest
