// Per-device configuration: the mirror, the store, mount information and
// the rollback point.
#include "drive_fixture.h"

#include <cstring>

namespace {
void set_u32(const char* key, std::uint32_t v) {
  int w = 0;
  config_set_uint32(0, "sg0", key, v, &w);
  ASSERT_EQ(4, w);
}
void set_u8(const char* key, std::uint8_t v) {
  int w = 0;
  config_set_uint8(0, "sg0", key, v, &w);
  ASSERT_EQ(1, w);
}
std::uint32_t get_u32(const char* key) {
  int size = 4;
  std::uint32_t v = 0xDEADBEEF;
  EXPECT_EQ(4, config_get_uint32(0, key, &size, &v)) << key;
  return v;
}
}  // namespace

class DeviceConfiguration : public DriveTest {};

TEST_F(DeviceConfiguration, NewObjectStartsWithTheTableValues) {
  const auto& c = ss_->config_mirror();
  EXPECT_EQ(0u, c.mount.MountStatus);
  EXPECT_EQ(255, c.fail_1500h);
  EXPECT_EQ(1000u, c.max_fs_meta_flg);
  EXPECT_TRUE(ss_->reasons_open());
}

TEST_F(DeviceConfiguration, GetConfigReadsEveryKeyInOrder) {
  set_u32("Mount Status", 0x80000010u);
  set_u32("Write Protect Reason", 0x100);
  set_u8("Medium Type", 0xE3);
  set_u8("Last Written Slot", 7);
  set_u32("Rollback FSD LSN", 0x1234);
  set_u8("Volume Type", 1);
  set_u32("Rec Inhibit", 1);
  ASSERT_EQ(0, ss_->get_config());
  const auto& c = ss_->config_mirror();
  EXPECT_EQ(0x80000010u, c.mount.MountStatus);
  EXPECT_EQ(0x100u, c.mount.WriteProtectReasonFlags);
  EXPECT_EQ(0xE3, c.mount.MediumType);
  EXPECT_EQ(7, c.last_written_slot);
  EXPECT_EQ(0x1234u, c.rollback_fsd_lsn);
  EXPECT_EQ(1, c.volume_type);
  EXPECT_EQ(1u, c.rec_inhibit);
  EXPECT_EQ(0, c.fail_1500h);  // default of the store
}

TEST_F(DeviceConfiguration, GetConfigStopsAtTheFirstUnreadableKey) {
  set_u8("Current Slot", 4);
  set_u8("Last Written Slot", 9);  // after the bad key: must not be read
  int w = 0;
  config_set_string(0, "sg0", "Zone Information", "not a number", &w);
  auto& m = ss_->config_mirror_for_update();
  m.last_written_slot = 2;
  m.current_slot = 1;
  EXPECT_EQ(5, ss_->get_config());
  EXPECT_TRUE(fakelog::contains("config_get failed. readsize=-1"));
  EXPECT_EQ(1, ss_->config_mirror().current_slot);       // after: kept
  EXPECT_EQ(2, ss_->config_mirror().last_written_slot);  // after: kept
}

TEST_F(DeviceConfiguration, VolumeTypeIsNotReadForTwoDiscCartridges) {
  for (std::uint8_t t : {0xF1, 0xF2, 0xE5}) {
    kel::ResetConfigCache();
    set_u8("Medium Type", t);
    int w = 0;
    config_set_string(0, "sg0", "Volume Type", "bad", &w);  // would fail if read
    ss_->config_mirror_for_update().volume_type = 1;
    EXPECT_EQ(0, ss_->get_config()) << int(t);
    EXPECT_EQ(0, ss_->config_mirror().volume_type);
  }
  kel::ResetConfigCache();
  set_u8("Medium Type", 0xE1);
  int w = 0;
  config_set_string(0, "sg0", "Volume Type", "bad", &w);
  EXPECT_EQ(5, ss_->get_config());
}

TEST_F(DeviceConfiguration, SetConfigWritesTheMirror) {
  auto& m = ss_->config_mirror_for_update();
  m.mount.MountStatus = 0x80000020u;
  m.mount.AccessMode = 2;
  m.medium_condition = 0x80000000u;
  m.re_reformat = 1;
  std::memcpy(m.medium_unique_id, "0123456789ABCDEF0123456789ABCDEF", 32);
  std::memcpy(m.product_serial, "SERIAL", 7);
  ASSERT_EQ(0, ss_->set_config());
  EXPECT_EQ(0x80000020u, get_u32("Mount Status"));
  EXPECT_EQ(2u, get_u32("Access Mode"));
  EXPECT_EQ(0x80000000u, get_u32("Medium Condition"));
  EXPECT_EQ(1u, get_u32("RE Reformat"));
  std::uint8_t id[32] = {};
  ASSERT_EQ(0, ss_->get_config_MediumUniqueID(id, 32));
  EXPECT_EQ(0, std::memcmp(id, "0123456789ABCDEF0123456789ABCDEF", 32));
  EXPECT_EQ(12, ss_->get_config_MediumUniqueID(id, 31));
  EXPECT_EQ(22, ss_->get_config_MediumUniqueID(nullptr, 32));
  EXPECT_EQ(22, ss_->get_config_MediumUniqueID(id, -1));
  char serial[17] = {};
  int size = 17;
  EXPECT_EQ(6, config_get_string(0, "Product Serial Number", &size, serial));

  // init_config clears condition, status and access mode and writes them.
  ASSERT_EQ(0, ss_->init_config());
  EXPECT_EQ(0u, get_u32("Mount Status"));
  EXPECT_EQ(0u, get_u32("Access Mode"));
  EXPECT_EQ(0u, get_u32("Medium Condition"));
}

TEST_F(DeviceConfiguration, EmptySerialIsNotWritten) {
  ASSERT_EQ(0, ss_->set_config());
  char serial[17] = {};
  int size = 17;
  EXPECT_EQ(1, config_get_string(0, "Product Serial Number", &size, serial));
  EXPECT_STREQ("0", serial);  // the store's default stays
}

TEST_F(DeviceConfiguration, MountInformationRoundTrip) {
  MDCFS_MOUNT_INFORMATION in{0x80000010u, 0, 2, 0xE1, 1, 2, 0};
  ASSERT_EQ(0, ss_->set_mount_info(reinterpret_cast<char*>(&in)));
  EXPECT_EQ(0x80000010u, get_u32("Mount Status"));
  MDCFS_MOUNT_INFORMATION out{};
  ASSERT_EQ(0, ss_->get_mount_info(reinterpret_cast<char*>(&out)));
  EXPECT_EQ(0, std::memcmp(&in, &out, 15));
  EXPECT_FALSE(fakelog::contains("WriteProtectReasonFlags is non-zero"));
  in.WriteProtectReasonFlags = 0x100;
  ASSERT_EQ(0, ss_->set_mount_info(reinterpret_cast<char*>(&in)));
  ASSERT_EQ(0, ss_->get_mount_info(reinterpret_cast<char*>(&out)));
  EXPECT_TRUE(fakelog::contains("mountInfo->WriteProtectReasonFlags is non-zero(0x00000100)"));
  EXPECT_EQ(22, ss_->get_mount_info(nullptr));
  EXPECT_EQ(22, ss_->set_mount_info(nullptr));
}

TEST_F(DeviceConfiguration, SetMountInfoKeepsAndReplacesReasons) {
  struct Step {
    std::uint32_t reasons;
    std::uint32_t kept;
    bool open_after;
  };
  struct Case {
    const char* name;
    bool write_once;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"reasons inside 001A0900h keep the flag open", false,
       {{0x100, 0x100, true}, {0x800, 0x800, true}, {0x0, 0x0, true}, {0xFFFFFFFFu, 0xFFFFFFFFu, true}}},
      {"a reason outside closes; later ones are refused on rewritable", false,
       {{0x2, 0x2, false}, {0x100, 0x2, false}, {0x1000, 0x2, false}}},
      {"1000h is taken on write-once media once closed", true,
       {{0x400, 0x400, false}, {0x1000, 0x1000, false}, {0x100, 0x1000, false}}},
      {"20000h in the new or the old value replaces", false,
       {{0x4, 0x4, false}, {0x20000, 0x20000, false}, {0x100, 0x100, false}, {0x8, 0x100, false}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kel::ResetConfigCache();
    fakedrive::reset();
    fakedrive::drive().medium_type = c.write_once ? 0xE1 : 0xE2;
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    char t = 0;
    ASSERT_EQ(0, ss_->get_medium_type_scsi(&t));
    for (const Step& s : c.steps) {
      MDCFS_MOUNT_INFORMATION in{0, s.reasons, 0, 0, 0, 0, 0};
      ASSERT_EQ(0, ss_->set_mount_info(reinterpret_cast<char*>(&in)));
      EXPECT_EQ(s.kept, ss_->config_mirror().mount.WriteProtectReasonFlags) << std::hex << s.reasons;
      EXPECT_EQ(s.kept, get_u32("Write Protect Reason"));
      EXPECT_EQ(s.open_after, ss_->reasons_open()) << std::hex << s.reasons;
    }
  }
}

TEST_F(DeviceConfiguration, UnmountNoticeReopensTheReasons) {
  MDCFS_MOUNT_INFORMATION in{0, 0x2, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, ss_->set_mount_info(reinterpret_cast<char*>(&in)));
  ASSERT_FALSE(ss_->reasons_open());
  std::uint32_t v = 0;
  ASSERT_EQ(0, ss_->notify_unmount(reinterpret_cast<char*>(&v)));
  EXPECT_FALSE(ss_->reasons_open());
  v = 1;
  ASSERT_EQ(0, ss_->notify_unmount(reinterpret_cast<char*>(&v)));
  EXPECT_TRUE(ss_->reasons_open());
  EXPECT_EQ(1, ss_->config_mirror().unmount);
}

TEST_F(DeviceConfiguration, SlotInformationIsStored) {
  std::uint32_t rec[4] = {0x103, 0x205, 9, 9};
  ASSERT_EQ(0, ss_->set_slot_info(reinterpret_cast<char*>(rec)));
  int size = 1;
  std::uint8_t v = 0;
  ASSERT_EQ(1, config_get_uint8(0, "Current Slot", &size, &v));
  EXPECT_EQ(3, v);
  ASSERT_EQ(1, config_get_uint8(0, "Last Written Slot", &size, &v));
  EXPECT_EQ(5, v);
}

TEST_F(DeviceConfiguration, RollbackPointKeysChangeOnlyTheStore) {
  pxo_rollback_point_t rp{7, 0x1000, 0x2000};
  ASSERT_EQ(0, ss_->set_rollback_point(reinterpret_cast<char*>(&rp)));
  EXPECT_EQ(7u, get_u32("Rollback Slot Number"));
  EXPECT_EQ(0x1000u, get_u32("Rollback Metadata FE LSN"));
  EXPECT_EQ(0x2000u, get_u32("Rollback FSD LSN"));
  EXPECT_EQ(0u, ss_->config_mirror().rollback_slot);
  pxo_rollback_point_t back{};
  ASSERT_EQ(0, ss_->get_rollback_point(reinterpret_cast<char*>(&back)));
  EXPECT_EQ(7u, back.slot);
  EXPECT_EQ(0x1000u, back.metadata_fe_lsn);
  EXPECT_EQ(0x2000u, back.fsd_lsn);
  ASSERT_EQ(0, ss_->delete_rollback_point());
  ASSERT_EQ(0, ss_->get_rollback_point(reinterpret_cast<char*>(&back)));
  EXPECT_EQ(0u, back.slot);
  EXPECT_EQ(0u, back.fsd_lsn);
  // An unreadable key fails the read.
  int w = 0;
  config_set_string(0, "sg0", "Rollback FSD LSN", "x", &w);
  EXPECT_EQ(5, ss_->get_rollback_point(reinterpret_cast<char*>(&back)));
}

TEST_F(DeviceConfiguration, VolumeNameAndAccessors) {
  const char* name = "ARCHIVE-01";
  pxo_volume_name_t rec{11, name};
  ASSERT_EQ(0, ss_->set_volume_name(reinterpret_cast<char*>(&rec)));
  char got[32] = {};
  int size = 32;
  EXPECT_EQ(10, config_get_string(0, "Volume Name", &size, got));
  EXPECT_STREQ(name, got);

  ss_->set_reformat_flg(1);
  EXPECT_EQ(1u, get_u32("RE Reformat"));
  EXPECT_EQ(1u, ss_->get_reformat_flg());
  std::uint32_t mode = 3;
  ASSERT_EQ(0, ss_->set_before_access_mode(&mode));
  set_u32("Before Access Mode", 5);  // another writer
  std::uint32_t back = 0;
  ASSERT_EQ(0, ss_->get_before_access_mode(&back));
  EXPECT_EQ(5u, back);
}

TEST_F(DeviceConfiguration, VolumeTypeFromThe1500hCheckOrTheStore) {
  Boolean failed = true;
  set_u8("Volume Type", 1);
  EXPECT_EQ(1, ss_->get_volume_type_config(&failed));
  EXPECT_FALSE(failed);
  storage_scsi other;
  other.set_device_number("sg0");
  int w = 0;
  config_set_string(0, "sg0", "Mount Status", "x", &w);
  EXPECT_EQ(0xFF, other.get_volume_type_config(&failed));
  EXPECT_TRUE(failed);
}

TEST_F(DeviceConfiguration, StoredSystemGuardAddsItsReasons) {
  set_u32("Mount Status", 0x80000003u);
  set_u32("Write Protect Reason", 0x2001);
  ss_->config_mirror_for_update().mount.WriteProtectReasonFlags = 0x100;
  ASSERT_EQ(0, ss_->get_disc_change_threshold());
  EXPECT_EQ(0x2100u, ss_->config_mirror().mount.WriteProtectReasonFlags);
  EXPECT_TRUE(fakelog::contains("When the previously MOUNT_STATUS_SYSTEM_GUARD"));
  EXPECT_EQ(1u, ss_->config_mirror().verify_on_write);  // default of the utility values
}
