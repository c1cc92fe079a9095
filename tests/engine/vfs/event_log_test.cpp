// The operator event lines, on the injected clock.
#include "vfs_support.h"

#include "kelhost/log.h"
#include "kelvfs/mdcudfsr_event_log.h"

#include "kelhost/kern.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>

namespace {

using namespace vfs_test;

class EventLog : public ::testing::Test {
 protected:
  void SetUp() override {
    scope_ = std::make_unique<platform::ScopedClock>(clock_);
    struct timespec anchor {};
    nanotime(&anchor);  // the wall time stands still from the first reading on
    mdcudfsr_debug_level_init();
    mdcudfsr_debug_level_set(0);
    clear_log();
    std::strcpy(mnt_.volume_name, "DRV01");
    mnt_.medium_type = 0xE1;
  }
  void TearDown() override { scope_.reset(); }
  // The message part of the only event line written.
  std::string event() {
    std::string found;
    int n = 0;
    for (const auto& l : log_lines()) {
      const auto at = l.find("{KELUDFS_LOG}");
      if (at == std::string::npos) continue;
      ++n;
      found = l.substr(l.rfind('[', at));
      // "{yyyy:mm:dd}[hh:mm:ss:ccc.hhh]" follows the kind.
      const auto stamp = found.find("]{", found.find("{KELUDFS_LOG}") + 13) + 1;
      const std::string t = found.substr(stamp, 30);
      EXPECT_TRUE(std::regex_match(t, std::regex(R"(\{\d{4}:\d{2}:\d{2}\}\[\d{2}:\d{2}:\d{2}:\d{3}\.\d{3}\])")))
          << t;
      found.replace(stamp, 30, "{T}");
    }
    EXPECT_EQ(1, n);
    clear_log();
    return found;
  }
  // The line with its UTC time stamp written as "{T}": the stamp itself is
  // checked for its layout in event().
  std::string line(const char* name, int kind, const std::string& msg) {
    return std::string("[") + name + "]{KELUDFS_LOG}[" + std::to_string(kind) + "]{T}" + name + ":" + msg + "\n";
  }
  InstantClock clock_;
  std::unique_ptr<platform::ScopedClock> scope_;
  mdcudfsr_mount mnt_;
};

TEST_F(EventLog, LineLayoutAndUnknownName) {
  mdcudfsr_print_keludfslog(&mnt_, 2, "hello");
  EXPECT_EQ(line("DRV01", 2, "hello"), event());
  mnt_.volume_name[0] = 0;
  mdcudfsr_print_keludfslog(&mnt_, 1, "x");
  EXPECT_EQ(line("UNKNOWN", 1, "x"), event());
  mdcudfsr_print_keludfslog(nullptr, 1, "y");
  EXPECT_EQ(line("UNKNOWN", 1, "y"), event());
}

TEST_F(EventLog, NothingWhenTheCategoryIsOff) {
  mdcudfsr_debug_level_set(-1);
  mdcudfsr_print_keludfslog(&mnt_, 1, "x");
  EXPECT_FALSE(logged("KELUDFS_LOG"));
}

TEST_F(EventLog, MountLines) {
  const std::string normal = " Media Type: R 23GB Mount Status: The volume is mounted normally. Write Operations: ";
  struct Case {
    std::uint32_t status, reasons, access;
    int kind;
    std::string text;
  } cases[] = {
      {0x80000010u, 0, 2, 1,
       "Mounting the volume finished. The media is uninitialized. Media Type: R 23GB Mount Status: The media is not "
       "formatted. Write Operations: "},
      {0x80000030u, 0x80000, 2, 3,
       "Mounting the volume failed. It is impossible to access the media. Media Type: R 23GB Mount Status: The media "
       "cannot be read. Write Operations: Writing to the volume is restricted by the driver software."},
      {0, 0x801, 0, 1,
       "Mounting the volume finished. The media is read only." + std::string(" Media Type: R 23GB Mount Status: The "
       "volume is mounted normally. Write Operations: It is not possible to write because some error occurred in the "
       "drive.")},
      {0x80000100u, 0x800, 0, 3,
       "Mounting the volume failed. The media is read only. Media Type: R 23GB Mount Status: The volume is not "
       "supported. Write Operations: It is not possible to write because the media is worn-out."},
      {0, 0, 0, 1, "Mounting the volume finished." + normal},
  };
  for (const auto& c : cases) {
    mnt_.mntinfo = MDCFS_MOUNT_INFORMATION{c.status, c.reasons, c.access, 0xE1, 0, 0, 0};
    mdcudfsr_log_mount(&mnt_);
    EXPECT_EQ(line("DRV01", c.kind, c.text), event());
    EXPECT_EQ(0, std::memcmp(&mnt_.mntinfo, &mnt_.mntinfo_prev, 16));
  }
}

TEST_F(EventLog, TextsOfMediaStatusesAndReasons) {
  EXPECT_STREQ("ADR 500GB", mdcudfsr_media_type_text(0xF2));
  EXPECT_STREQ("RE 23GB", mdcudfsr_media_type_text(0x53));
  EXPECT_STREQ("Unknown", mdcudfsr_media_type_text(0x58));
  EXPECT_STREQ("", mdcudfsr_mount_status_text(0x80000003u));
  EXPECT_STREQ("Some inconsistency happened in the volume.\nThe volume needs to be recovered.",
               mdcudfsr_mount_status_text(0x80000500u));
  EXPECT_STREQ("It is not possible to write because the cartridge memory in the media is broken.",
               mdcudfsr_wrprot_reason_text(0x4000 | 0x400 | 0x1));
  EXPECT_STREQ("", mdcudfsr_wrprot_reason_text(0x10));
}

TEST_F(EventLog, ErrorTexts) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {{-5, "Error: -5"},          {static_cast<int>(0x8A000003u), "Error: 0x8A000003"},
               {1000, "Error: 1000"},      {1001, "Error: 0x000003E9"},
               {0, "Error: 0"},            {-1099, "Error: -1099"},
               {-1098, "Error: 0xFFFFFBB6"}, {-3205, "Error: -3205"},
               {30, "Error: 0x0000001E"}};
  for (const auto& c : cases) {
    char buf[80] = "";
    mdcudfsr_log_error_text(buf, sizeof buf, c.code);
    EXPECT_STREQ(c.text, buf) << c.code;
  }
}

TEST_F(EventLog, UnmountLabelRenameMoveAndFailureLines) {
  mdcudfsr_log_unmount(&mnt_, 0);
  EXPECT_EQ(line("DRV01", 1, "Unmounting the volume finished. "), event());
  mdcudfsr_log_unmount(&mnt_, 16);
  EXPECT_EQ(line("DRV01", 3, "Unmounting the volume failed. Error: 0x00000010"), event());
  mdcudfsr_log_label(&mnt_, "LBL", 0, nullptr);
  EXPECT_EQ(line("DRV01", 1, "Changing the volume label finished. -> LBL"), event());
  mdcudfsr_log_label(&mnt_, "LBL", 36, nullptr);
  EXPECT_EQ(line("DRV01", 3, "Changing the volume label failed. -> LBL Error: 0x00000024"), event());
  mdcudfsr_log_print(&mnt_, 1, static_cast<int>(0x8A000004u), nullptr, "remove %s", "/a");
  EXPECT_EQ(line("DRV01", 3, "remove /a Error: 0x8A000004"), event());
}

TEST_F(EventLog, RenameAndMoveLinesNeedTheRootPath) {
  // Without the root vnode's path no event is written, only the error.
  mdcudfsr_log_rename(&mnt_, 1, "/a", "/b", 0);
  EXPECT_FALSE(logged("KELUDFS_LOG"));
  EXPECT_TRUE(logged("err=22\n"));
}

TEST_F(EventLog, StateLineOnlyAfterMounting) {
  mnt_.mntinfo = MDCFS_MOUNT_INFORMATION{0, 0, 0, 0xE1, 0, 0, 0};
  mnt_.mntinfo_prev = mnt_.mntinfo;
  mnt_.mounting = 1;
  mdcudfsr_set_mntinfo_wrprot_reason(&mnt_, 0x2000, 1, nullptr);
  EXPECT_FALSE(logged("KELUDFS_LOG"));
  mnt_.mounting = 0;
  mdcudfsr_set_mntinfo_wrprot_reason(&mnt_, 0x2000, 1, nullptr);
  EXPECT_FALSE(logged("KELUDFS_LOG")) << "no change, no line";
  mdcudfsr_set_mntinfo_wrprot_reason(&mnt_, 0x800, 1, nullptr);
  EXPECT_EQ(line("DRV01", 2,
                 "Changing the state of the volume finished. Media Type: R 23GB Mount Status: The volume is mounted "
                 "normally. Write Operations: It is not possible to write because the write-protect setting in the "
                 "cartridge memory is activated."),
            event());
}

}  // namespace
