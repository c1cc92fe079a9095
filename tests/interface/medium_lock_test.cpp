// One engine per medium: the lock file of a medium cookie, and an engine
// refused it, which answers every request with the refusal and sends the
// drive nothing.
#include "kel/medium_lock.h"

#include "kel/scsi.h"
#include "sim/harness.h"
#include "support/loop_harness.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(MediumLock, OneHolderPerMediumWhateverTheCookieText) {
  const kel_test::ScopedTempDir tmp("kel-medium-lock-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string folder = tmp.path() + "/pipes";  // made when missing
  EXPECT_EQ(kel::MediumLockFileName(0x1A2B), "KelDriver-sd1a2b.lock");

  kel::MediumLock first;
  std::string why;
  ASSERT_EQ(first.Acquire(folder, 0x1A2B, &why), ERROR_SUCCESS) << why;
  const std::string path = folder + "/KelDriver-sd1a2b.lock";
  EXPECT_EQ(read_file(path), std::to_string(::getpid()) + "\n") << "the file names its holder";

  kel::MediumLock second;
  EXPECT_EQ(second.Acquire(folder, 0x1A2B, &why), ERROR_DRIVE_LOCKED);
  EXPECT_EQ(why, "Medium /dev/sd1a2b: in use by another engine (process " + std::to_string(::getpid()) +
                     "), lock file " + path);
  EXPECT_FALSE(second.Held());

  kel::MediumLock other;
  EXPECT_EQ(other.Acquire(folder, 0x1A2C, &why), ERROR_SUCCESS) << "another medium: " << why;

  first.Release();
  EXPECT_EQ(second.Acquire(folder, 0x1A2B, &why), ERROR_SUCCESS) << why;
}

// A lock held by another process is refused until that process ends, however
// it ends.
TEST(MediumLock, HeldByAnotherProcessUntilItEnds) {
  const kel_test::ScopedTempDir tmp("kel-medium-lock-");
  ASSERT_FALSE(tmp.path().empty());
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    kel::MediumLock lock;
    const char ok = lock.Acquire(tmp.path(), 7, nullptr) == ERROR_SUCCESS ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    ::pause();  // holds the lock until killed
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 'y');

  kel::MediumLock lock;
  std::string why;
  EXPECT_EQ(lock.Acquire(tmp.path(), 7, &why), ERROR_DRIVE_LOCKED);
  EXPECT_NE(why.find("(process " + std::to_string(child) + ")"), std::string::npos) << why;
  ::kill(child, SIGKILL);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  EXPECT_EQ(lock.Acquire(tmp.path(), 7, &why), ERROR_SUCCESS) << why;
}

TEST(MediumLock, AFolderThatCannotHoldTheFileIsAnError) {
  const kel_test::ScopedTempDir tmp("kel-medium-lock-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string not_a_folder = tmp.path() + "/file";
  std::ofstream(not_a_folder) << "x";
  kel::MediumLock lock;
  std::string why;
  EXPECT_EQ(lock.Acquire(not_a_folder, 1, &why), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(why.rfind("Medium /dev/sd1: cannot open its lock file " + not_a_folder + "/KelDriver-sd1.lock: ", 0),
            0u)
      << why;
  EXPECT_FALSE(lock.Held());
}

class RefusedMedium : public ::testing::Test {
 protected:
  void SetUp() override { kel::SetMediumRefusal(ERROR_DRIVE_LOCKED, "Medium /dev/sd1a2b: in use"); }
  void TearDown() override { kel::SetMediumRefusal(0, ""); }
};

// Every request gets the message and the HRESULT of the refusal, and no
// handler runs; "UnmountVolume" too, which saved and released nothing (the
// engine that holds the medium still holds it): it ends the loop without
// calling the engine's unmount, and no "KelSuccess" says otherwise.
TEST_F(RefusedMedium, TheLoopAnswersEveryRequestWithTheRefusal) {
  looptest::LoopHarness h;
  h.setInput(looptest::line(3, "Check") + looptest::line(4, "Format", "VolumeID=\"V\" Replica=\"1\"") +
             looptest::line(5, "GetVolumeInfo") + looptest::line(6, "UnmountVolume"));
  EXPECT_EQ(h.run(), 0);
  std::vector<std::string> want;
  for (const char* seq : {"3", "4", "5", "6"}) {
    want.push_back(std::string("<Error SequenceNumber=\"") + seq + "\">Medium /dev/sd1a2b: in use</Error>");
    want.push_back(std::string("<HRESULT SequenceNumber=\"") + seq + "\" HRESULT=\"-2147024788\"></HRESULT>");
  }
  want.push_back("<Shutdown SequenceNumber=\"6\"></Shutdown>");
  EXPECT_EQ(h.elements(), want);
  EXPECT_TRUE(looptest::handlerCalls().empty());
  // Only the medium type that the loop reads at its start, which the engine
  // keeps without asking the drive.
  EXPECT_EQ(looptest::engine().callsSnapshot(), std::vector<std::string>{"GetMediumType"});
}

TEST_F(RefusedMedium, NoDriveCommandLeaves) {
  kelsim::SimHarness sim;
  kel::SetMediumCookie(sim.cookie());
  const std::uint8_t tur[6] = {};
  std::uint8_t sense[18] = {}, status = 0xEE;
  EXPECT_EQ(quorvel_scsi_transfer(1, 6, tur, kScsiDirNone, 0, nullptr, 18, sense, &status),
            static_cast<int>(ERROR_DRIVE_LOCKED));
  EXPECT_EQ(status, 0xEE);
  EXPECT_TRUE(sim.service().transcript().empty());
  kel::SetMediumRefusal(0, "");
  EXPECT_EQ(quorvel_scsi_transfer(1, 6, tur, kScsiDirNone, 0, nullptr, 18, sense, &status), 0);
  EXPECT_EQ(sim.service().transcript().size(), 1u);
  kel::SetMediumCookie(0);
}

}  // namespace
