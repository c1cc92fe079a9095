// The slot-information control keeps what it read of the drive's slots and
// defect list while nothing can have changed them: a second request sends no
// command and answers the same record and result. The cartridge memory's
// lists the engine reads (the volume's identity) are kept by the same rule. A write, a load, a slot
// setting, a failed command, a reload of the kept slots that finds others, a
// notice of the host service and a turn of the drive utility library each
// make the next request read the drive again.
#include "drive_fixture.h"

#include "drive/client_if.h"
#include "drive/device_control.h"
#include "kel/scsi.h"

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace {

class SlotState : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    fakedrive::fill_good_attributes(0xE1);
    // A defect list without entries: 4-byte answer header, 64-byte list header.
    std::vector<std::uint8_t> dfl(4 + 64, 0);
    dfl[1] = 2 + 64;
    dfl[3] = 1;
    fakedrive::drive().dfl = dfl;
    pclient_if = new client_if();
    pclient_if->storage()->set_device_number("sg0");
    pclient_if->storage()->set_device_name("/dev/sgtest-none");
    bool undefined = false;
    ASSERT_EQ(0, pclient_if->storage()->determin_medium_properties(&undefined));
  }
  void TearDown() override {
    clientif_delete();
    DriveTest::TearDown();
  }
  int ioctl(std::uint32_t code, void* data) {
    return VNOP_IOCTL(reinterpret_cast<vnode_t>(this), code, static_cast<char*>(data), 0, nullptr);
  }
  // One slot-information request: its result and record, and the commands
  // it sent.
  struct Asked {
    int result = 0;
    pxo_slot_info_t record{};
    std::size_t commands = 0;
  };
  Asked ask() {
    fakedrive::clear_transcript();
    Asked a;
    a.result = ioctl(PXOIOCGETSLOTINFO, &a.record);
    a.commands = fakedrive::transcript().size();
    return a;
  }
  // A first request that reads the drive, then one that must not.
  Asked settle() {
    const Asked first = ask();
    EXPECT_GT(first.commands, 0u);
    const Asked second = ask();
    EXPECT_EQ(0u, second.commands) << "nothing changed the drive: no command";
    EXPECT_EQ(first.result, second.result);
    EXPECT_EQ(0, std::memcmp(&first.record, &second.record, sizeof first.record));
    return second;
  }
  // A request through the pass-through control.
  void send(const std::vector<std::uint8_t>& cdb) {
    pxo_passthrough_t rec{};
    std::memcpy(rec.cdb, cdb.data(), cdb.size());
    rec.cdb_len = static_cast<std::uint8_t>(cdb.size());
    std::uint8_t data[8] = {};
    rec.data = data;
    rec.transfer_len = 0;
    ioctl(PXOIOCSCSIPASSTHROUGH, &rec);
  }
};

TEST_F(SlotState, SecondRequestSendsNothingAndAnswersTheSame) {
  fakedrive::drive().loaded_slot = 3;
  const Asked a = settle();
  EXPECT_EQ(0, a.result);
  EXPECT_EQ(3u, a.record.current_slot);
  EXPECT_EQ(3, pclient_if->service().current_slot());
  // The service's slot is what the request sets, also when it was moved.
  pclient_if->service().keep_current_slot(7);
  EXPECT_EQ(0u, ask().commands);
  EXPECT_EQ(3, pclient_if->service().current_slot());
}

// One request reads the slots and the last written slot once each, though
// the steps of the request ask for them several times over (the slot
// information, the next slot's setting, the defect map's rebuild): nothing
// changes the drive between them.
TEST_F(SlotState, ARequestAsksTheDriveForItsSlotsOnce) {
  fakedrive::drive().loaded_slot = 3;
  const Asked a = ask();
  EXPECT_EQ(0, a.result);
  std::map<std::uint8_t, int> by_opcode;
  for (const auto& c : fakedrive::transcript()) ++by_opcode[c.cdb.at(0)];
  EXPECT_EQ(1, by_opcode[0xBD]) << "MECHANISM STATUS";
  EXPECT_EQ(1, by_opcode[0x8C]) << "READ ATTRIBUTE of the last written slot";
  EXPECT_EQ(1, by_opcode[0xAD]) << "the defect list";
  // The kept answers do not outlive the request.
  fakedrive::drive().loaded_slot = 4;
  pxo_mechanism_status_t ms{};
  fakedrive::clear_transcript();
  ASSERT_EQ(0, ioctl(PXOIOMECHANISMSTATUS, &ms));
  EXPECT_EQ(1u, fakedrive::transcript().size());
}

TEST_F(SlotState, AWriteMakesTheNextRequestReadTheDriveAndSeeWhatItWrote) {
  const Asked before = settle();
  // The cartridge memory's last written slot (attribute 0D00h) written anew.
  const fakedrive::Attribute old = fakedrive::drive().attributes.at(0x0D00);
  ASSERT_FALSE(old.value.empty());
  std::vector<std::uint8_t> list = {0, 0, 0, 0, 0x0D, 0x00, old.format, 0, static_cast<std::uint8_t>(old.value.size())};
  list.insert(list.end(), old.value.begin(), old.value.end());
  list[9] = static_cast<std::uint8_t>(before.record.last_written_slot_cm + 1);
  list[3] = static_cast<std::uint8_t>(list.size() - 4);
  list.resize((list.size() + 3) / 4 * 4 + 4, 0);
  ASSERT_EQ(0, ioctl(PXOIOWRITEATTRIBUTE, list.data()));
  const Asked after = ask();
  EXPECT_GT(after.commands, 0u);
  EXPECT_EQ(before.record.last_written_slot_cm + 1, after.record.last_written_slot_cm);
  EXPECT_EQ(0u, ask().commands);
}

TEST_F(SlotState, ASynchroniseMakesTheNextRequestReadTheDrive) {
  settle();
  std::uint8_t immediate = 0;
  ioctl(DKIOCSYNCHRONIZECACHE, &immediate);
  EXPECT_GT(ask().commands, 0u);
  EXPECT_EQ(0u, ask().commands);
}

TEST_F(SlotState, ALoadMakesTheNextRequestReadTheDriveAndSeeTheNewSlot) {
  fakedrive::drive().loaded_slot = 2;
  settle();
  std::uint8_t slot = 4;
  ASSERT_EQ(0, ioctl(PXOIONEXTSLOTLOAD, &slot));
  const Asked a = ask();
  EXPECT_GT(a.commands, 0u);
  EXPECT_EQ(4u, a.record.current_slot);
}

TEST_F(SlotState, ALoadThroughThePassThroughMakesTheNextRequestReadTheDrive) {
  settle();
  send({0xA6, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0});
  EXPECT_GT(ask().commands, 0u);
}

TEST_F(SlotState, ASlotSettingMakesTheNextRequestReadTheDrive) {
  settle();
  std::uint32_t rec[4] = {1, 1, 0, 0};
  ASSERT_EQ(0, ioctl(PXOIOCSETSLOTINFO, rec));
  EXPECT_GT(ask().commands, 0u);
}

TEST_F(SlotState, AFailedReadMakesTheNextRequestReadTheDrive) {
  settle();
  // A READ ATTRIBUTE of another request fails: whatever it met may have
  // changed the state too.
  fakedrive::add_fault({0x8C, 3, 0x0C, 0, 0, 1, 0, 1});
  std::uint8_t buf[64] = {};
  pxo_attribute_request_t rq{0x0800, sizeof buf, 0, buf};
  EXPECT_NE(0, ioctl(PXOIOREADATTRIBUTE, &rq));
  EXPECT_GT(ask().commands, 0u);
  EXPECT_EQ(0u, ask().commands);
}

TEST_F(SlotState, AFailureWithinTheRequestIsNotKept) {
  fakedrive::drive().loaded_slot = 3;
  fakedrive::add_fault({0xBD, 3, 0x0C, 0, 0, 1, 0, 1});
  EXPECT_NE(0, ask().result);
  const Asked a = ask();
  EXPECT_GT(a.commands, 0u);
  EXPECT_EQ(0, a.result);
  EXPECT_EQ(3u, a.record.current_slot);
}

TEST_F(SlotState, PlainReadsKeepTheState) {
  settle();
  std::uint8_t buf[12] = {};
  pxo_attribute_request_t rq{0x0D00, sizeof buf, 0, buf};
  ASSERT_EQ(0, ioctl(PXOIOREADATTRIBUTE, &rq));
  pxo_mechanism_status_t ms{};
  ASSERT_EQ(0, ioctl(PXOIOMECHANISMSTATUS, &ms));
  EXPECT_EQ(0u, ask().commands);
}

TEST_F(SlotState, AnotherSlotInTheConfigurationMakesTheNextRequestReadTheDrive) {
  settle();
  storage_scsi& st = *pclient_if->storage();
  // Another writer of the configuration store changed the kept slots: the
  // next reload finds them.
  st.config_mirror_for_update().last_written_slot = 9;
  MDCFS_MOUNT_INFORMATION mi{};
  ASSERT_EQ(0, ioctl(PXOIOGETMOUNTINFO, &mi));
  EXPECT_GT(ask().commands, 0u);
  // A reload that finds the same slots keeps the state.
  ASSERT_EQ(0, ioctl(PXOIOGETMOUNTINFO, &mi));
  EXPECT_EQ(0u, ask().commands);
}

TEST_F(SlotState, TheDriveUtilityLibrarysTurnMakesTheRequestsReadTheDrive) {
  settle();
  const std::uint64_t before = quorvel_drive_epoch();
  EXPECT_NE(0u, before);
  kel::BeginDriveSdkTurn();
  EXPECT_EQ(0u, quorvel_drive_epoch());
  // While the library holds the drive nothing is kept.
  EXPECT_GT(ask().commands, 0u);
  EXPECT_GT(ask().commands, 0u);
  // After its turn (the end of the request) the state is read once more.
  kel::EndDriveSdkTurn();
  EXPECT_NE(0u, quorvel_drive_epoch());
  EXPECT_NE(before, quorvel_drive_epoch());
  EXPECT_GT(ask().commands, 0u);
  EXPECT_EQ(0u, ask().commands);
}

// A list of the cartridge memory read again, where its reads are kept
// (the volume's identity), while nothing changed is the answer read first,
// for the same list and length; the 1500h record's check runs on it as on a
// read. A write, a failure and the drive utility library's turn each make the
// next read ask the drive again. Other reads always ask the drive.
TEST_F(SlotState, TheCartridgeMemorysListsAreKeptByTheSameRule) {
  struct Read {
    int result = 0;
    std::vector<std::uint8_t> bytes;
    std::size_t commands = 0;
  };
  bool kept = true;
  const auto read = [&](std::uint16_t id, std::uint16_t length) {
    std::optional<KeptCartridgeMemoryReads> scope;
    if (kept) scope.emplace();
    fakedrive::clear_transcript();
    Read r;
    r.bytes.assign(length, 0xEE);
    pxo_attribute_request_t rq{id, length, 0, r.bytes.data()};
    r.result = ioctl(PXOIOREADATTRIBUTE, &rq);
    r.commands = fakedrive::transcript().size();
    return r;
  };
  fakedrive::drive().attributes[0x1500] = {0, std::vector<std::uint8_t>(128, 0x31)};
  const Read first = read(0x1500, 184);
  ASSERT_EQ(0, first.result);
  EXPECT_EQ(1u, first.commands);
  const Read again = read(0x1500, 184);
  EXPECT_EQ(0u, again.commands);
  EXPECT_EQ(first.bytes, again.bytes);
  EXPECT_EQ(1u, read(0x1500, 140).commands) << "another length is another read";
  EXPECT_EQ(1u, read(0x0D00, 64).commands) << "another list";
  EXPECT_EQ(0u, read(0x1500, 184).commands) << "each list is kept";
  // The check of the 1500h record runs on a kept answer too.
  std::uint8_t state = 0xAA;
  ASSERT_EQ(0, ioctl(PXOIOREPORT1500HCRC, &state));
  const std::uint8_t checked = state;
  pclient_if->storage()->check_1500H_CRC_result(nullptr, 5);  // records a failed read
  EXPECT_EQ(0u, read(0x1500, 184).commands);
  ASSERT_EQ(0, ioctl(PXOIOREPORT1500HCRC, &state));
  EXPECT_EQ(checked, state);

  const struct {
    const char* what;
    std::function<void()> change;
  } changes[] = {
      {"a write of the cartridge memory", [&] {
         const fakedrive::Attribute old = fakedrive::drive().attributes.at(0x0D00);
         std::vector<std::uint8_t> list = {0, 0, 0, 0, 0x0D, 0x00, old.format, 0,
                                           static_cast<std::uint8_t>(old.value.size())};
         list.insert(list.end(), old.value.begin(), old.value.end());
         list[3] = static_cast<std::uint8_t>(list.size() - 4);
         list.resize((list.size() + 3) / 4 * 4 + 4, 0);
         ASSERT_EQ(0, ioctl(PXOIOWRITEATTRIBUTE, list.data()));
       }},
      {"a synchronise", [&] {
         std::uint8_t immediate = 0;
         ioctl(DKIOCSYNCHRONIZECACHE, &immediate);
       }},
      {"a failed read", [&] {
         fakedrive::add_fault({0x8C, 3, 0x0C, 0, 0, 1, 0, 1});
         EXPECT_NE(0, read(0x0D00, 12).result);
       }},
      {"the drive utility library's turn", [&] {
         kel::BeginDriveSdkTurn();
         EXPECT_EQ(1u, read(0x1500, 184).commands) << "nothing is kept while the library holds the drive";
         kel::EndDriveSdkTurn();
       }},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(0u, read(0x1500, 184).commands);
    c.change();
    EXPECT_EQ(1u, read(0x1500, 184).commands);
  }
  kept = false;
  EXPECT_EQ(1u, read(0x1500, 184).commands) << "a read that is not kept";
  EXPECT_EQ(1u, read(0x1500, 184).commands);
}

}  // namespace
