// Command blocks as the drive receives them, the block read and write paths,
// retries and the information caches.
#include "drive_fixture.h"

#include <cstring>
#include <functional>
#include <numeric>

#include "command_cases.h"

class CommandBlocks : public DriveTest {};

TEST_F(CommandBlocks, EveryCommandIsBuiltByteExactly) {
  for (const drivecases::CommandCase& c : drivecases::command_cases()) {
    SCOPED_TRACE(c.name);
    fakedrive::reset();
    fakedrive::drive().product = c.product;
    fakedrive::fill_good_attributes(0xE1);
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    identify();
    EXPECT_EQ(0, c.run(*ss_));
    const auto sent = fakedrive::transcript();
    ASSERT_EQ(c.sent.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(c.sent[i].cdb, sent[i].cdb) << "command " << i;
      EXPECT_EQ(c.sent[i].direction, sent[i].direction) << "command " << i;
      EXPECT_EQ(c.sent[i].transfer, sent[i].transfer_len) << "command " << i;
      EXPECT_EQ(16, sent[i].sense_len);
    }
    if (!c.data_out.empty()) {
      ASSERT_FALSE(sent.empty());
      EXPECT_EQ(c.data_out, sent[0].data_out);
    }
  }
}

TEST_F(CommandBlocks, DeviceInformationSendsInquiryPagesByModel) {
  struct Row {
    const char* product;
    std::uint8_t page80_allocation;
  };
  for (Row r : {Row{"QMR-T400A", 32}, Row{"QMR-T400B", 32}, Row{"QMR-T300B", 20},
                Row{"QMR-T20A", 20}, Row{"PXO-U2", 20}}) {
    SCOPED_TRACE(r.product);
    fakedrive::reset();
    fakedrive::drive().product = r.product;
    pxo_devinfo_t info{};
    ASSERT_EQ(0, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
    const auto sent = fakedrive::transcript();
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(bytes({0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0}), sent[0].cdb);
    EXPECT_EQ(36u, sent[0].transfer_len);
    EXPECT_EQ(bytes({0x12, 1, 0x80, 0, r.page80_allocation, 0, 0, 0, 0, 0, 0, 0}), sent[1].cdb);
    EXPECT_EQ(32u, sent[1].transfer_len);
    EXPECT_EQ(0xBD, sent[2].cdb[0]);
    EXPECT_EQ(bytes({0x12, 1, 0xC1, 0, 0x12, 0, 0, 0, 0, 0, 0, 0}), sent[3].cdb);
  }
}

TEST_F(CommandBlocks, CheckConditionKeyBelowTwoIsSuccessOnlyWithoutData) {
  // 01h is a recovered error: the command did its work.
  fakedrive::add_fault({0x2F, 0x01, 0x17, 0x01});
  pxo_verify_range_t v{0, 1, 0};
  EXPECT_EQ(0, ss_->verify_range(reinterpret_cast<char*>(&v)));
  // 21h: key 1 with a flag bit; byte 2 is taken whole.
  fakedrive::clear_faults();
  fakedrive::add_fault({0x2F, 0x21, 0x17, 0x01});
  EXPECT_EQ(5, ss_->verify_range(reinterpret_cast<char*>(&v)));
  // A data-in command with a recovered error carries no data: failure.
  fakedrive::clear_faults();
  fakedrive::add_fault({0x25, 0x01, 0x17, 0x01});
  std::uint32_t size = 0xAAAA;
  EXPECT_EQ(5, ss_->get_block_size(reinterpret_cast<char*>(&size)));
  EXPECT_EQ(0xAAAAu, size);
  fakedrive::clear_faults();
  fakedrive::add_fault({0x12, 0x00, 0, 0});
  pxo_devinfo_t info{};
  EXPECT_EQ(5, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
  fakedrive::clear_faults();
  fakedrive::add_fault({0x5A, 0x01, 0, 0});
  std::uint8_t page[20];
  EXPECT_EQ(5, ss_->pxo_mode_sense10(0x22, page, 20));
  EXPECT_EQ(3u, fakedrive::calls_of(0x5A).size());
}

// A failed transfer's Win32 code becomes the engine's result for its
// condition, else 5 (the host statuses through the pipe: storage_scsi_sim_test).
TEST_F(CommandBlocks, TransportFailureBecomesAnEngineResult) {
  const std::pair<int, int> rows[] = {{233, 5}, {2, 5}, {39, 28}, {112, 28}, {19, 11}, {1, 95}, {50, 95}, {87, 22}};
  for (const auto& [win32, want] : rows) {
    SCOPED_TRACE(win32);
    fakedrive::clear_faults();
    fakedrive::Fault f;
    f.opcode = 0x1B;
    f.transport = win32;
    fakedrive::add_fault(f);
    char d = 1;
    EXPECT_EQ(want, ss_->start_stop_unit(&d));
  }
}

TEST_F(CommandBlocks, NullRecordsAreRefusedWithoutSending) {
  EXPECT_EQ(22, ss_->verify_range(nullptr));
  EXPECT_EQ(22, ss_->mechanism_status(nullptr));
  EXPECT_EQ(22, ss_->read_disc_info(nullptr, false));
  EXPECT_EQ(22, ss_->pxo_read10(nullptr));
  EXPECT_EQ(22, ss_->reserve_write_range(nullptr));
  EXPECT_TRUE(fakedrive::transcript().empty());
  EXPECT_TRUE(fakelog::contains("Invalid parameter. data="));
}

TEST_F(CommandBlocks, NoDeviceNumberGives19) {
  storage_scsi fresh;
  char d = 0;
  EXPECT_EQ(19, fresh.start_stop_unit(&d));
  EXPECT_TRUE(fakelog::contains("scsi_open failed."));
  EXPECT_TRUE(fakedrive::transcript().empty());
}

TEST_F(CommandBlocks, MechanismStatusSwapsTableLengthAndRefusesNoSlots) {
  pxo_mechanism_status_t m{};
  fakedrive::drive().loaded_slot = 37;
  ASSERT_EQ(0, ss_->mechanism_status(reinterpret_cast<char*>(&m)));
  std::uint16_t len;
  std::memcpy(&len, m.bytes + 6, 2);
  EXPECT_EQ(4, len);
  EXPECT_EQ(37 & 0x1F, m.bytes[0]);
  EXPECT_EQ((1 << 5) | (37 >> 5), m.bytes[1]);
  fakedrive::drive().slots = 0;
  EXPECT_EQ(22, ss_->mechanism_status(reinterpret_cast<char*>(&m)));
  EXPECT_TRUE(fakelog::contains("MECHANISM STATUS:Num of Slot Avalable is zero"));
}

TEST_F(CommandBlocks, BlockCountIsLastLbaPlusOne) {
  fakedrive::drive().capacity_blocks = 0x12345;
  std::uint64_t count = 0;
  ASSERT_EQ(0, ss_->get_block_count(reinterpret_cast<char*>(&count)));
  EXPECT_EQ(0x12345u, count);
  std::uint32_t size = 0;
  ASSERT_EQ(0, ss_->get_block_size(reinterpret_cast<char*>(&size)));
  EXPECT_EQ(2048u, size);
}

TEST_F(CommandBlocks, MaintenanceRecordIsSplit) {
  pxo_mainte_read_error_info_t i{};
  ASSERT_EQ(0, ss_->mainte_read_error_info(&i));
  EXPECT_EQ(0x21, i.alarm_code);
  EXPECT_EQ(0x05, i.alarm_detail1);
  EXPECT_EQ(0x07, i.alarm_detail2);
  EXPECT_EQ(0x0A, i.alarm_detail3);
  EXPECT_EQ(0x04, i.error_level);
  EXPECT_EQ(0x01020304u, i.time_occurred);
}

// ------------------------------------------------------------ caches

TEST_F(CommandBlocks, DiscInformationIsCachedPerTypeAndConvertedToHostOrder) {
  pxo_disc_info_t r{};
  r.datatype = 0;
  ASSERT_EQ(0, ss_->read_disc_info(reinterpret_cast<char*>(&r), false));
  EXPECT_EQ(32, r.SD.DiscInformationLength);
  EXPECT_EQ(0x0C0D0E0Fu, r.SD.DiscIdentification);
  EXPECT_EQ(0x18191A1Bu, r.SD.DiscBarCode);
  EXPECT_EQ(2, r.raw[2]);  // bytes 2-11 as they are
  r = {};
  r.datatype = 1;
  ASSERT_EQ(0, ss_->read_disc_info(reinterpret_cast<char*>(&r), false));
  EXPECT_EQ(0x0405, r.TRACK.MaximumPossibleNumberOfTheTracks);
  EXPECT_EQ(0x0A0B, r.TRACK.CurrentNumberOfAppendableTracks);
  r = {};
  r.datatype = 2;
  ASSERT_EQ(0, ss_->read_disc_info(reinterpret_cast<char*>(&r), false));
  EXPECT_EQ(0x04050607u, r.POW.RemainingPOWReplacements);
  EXPECT_EQ(0x0C0D0E0Fu, r.POW.RemainingPOWNumberOfRemainingPOWUpdates);
  EXPECT_EQ(3u, fakedrive::calls_of(0x51).size());

  // Cached: nothing sent unless forced.
  for (std::uint32_t t : {0u, 1u, 2u}) {
    r = {};
    r.datatype = t;
    ASSERT_EQ(0, ss_->read_disc_info(reinterpret_cast<char*>(&r), false));
  }
  EXPECT_EQ(3u, fakedrive::calls_of(0x51).size());
  EXPECT_EQ(0x04050607u, r.POW.RemainingPOWReplacements);
  r.datatype = 0;
  ASSERT_EQ(0, ss_->read_disc_info(reinterpret_cast<char*>(&r), true));
  EXPECT_EQ(4u, fakedrive::calls_of(0x51).size());
  char sel = 0;
  EXPECT_EQ(0, ss_->scsi_cache_check(&sel));
}

TEST_F(CommandBlocks, TrackInformationCachesTracksOneAndTwoOnly) {
  for (std::uint32_t track : {1u, 2u, 3u, 1u, 2u, 3u}) {
    pxo_track_info_t r{};
    r.track_no = track;
    ASSERT_EQ(0, ss_->read_track_info(reinterpret_cast<char*>(&r)));
    EXPECT_EQ(0x4C4D4E4Fu, r.track_info.NextWritableAddress);
    EXPECT_EQ(0x6061u, r.track_info.LogicalTrackNumberM + 0u);
    EXPECT_EQ(0x6263u, r.track_info.SessionNumberM + 0u);
    EXPECT_EQ(0x70717273u, r.track_info.LastLayerJumpAddress);
  }
  EXPECT_EQ(4u, fakedrive::calls_of(0x52).size());  // 1, 2, 3, 3
  EXPECT_TRUE(fakelog::contains("track#1 cached..."));
}

TEST_F(CommandBlocks, MediumChangingCommandsInvalidateTheCaches) {
  auto fill = [&] {
    pxo_disc_info_t r{};
    r.datatype = 0;
    ASSERT_EQ(0, ss_->read_disc_info(reinterpret_cast<char*>(&r), false));
    pxo_track_info_t t{};
    t.track_no = 1;
    ASSERT_EQ(0, ss_->read_track_info(reinterpret_cast<char*>(&t)));
  };
  auto cached = [&](int sel) {
    char s = static_cast<char>(sel);
    return ss_->scsi_cache_check(&s) == 0;
  };
  std::vector<std::uint8_t> data(65536, 1);
  pxo_buf bp{};
  bp.blkno = 64;
  bp.count = bp.bufsize = 65536;
  bp.data = data.data();
  const std::vector<std::pair<const char*, std::function<void()>>> changers = {
      {"write cluster", [&] { ss_->pxo_write10_for_cluster(&bp, 0); }},
      {"write buffer", [&] { ss_->pxo_write10_for_buf(&bp, 0); }},
      {"synchronize", [&] { ss_->synchronize_cache(nullptr); }},
      {"format", [&] { char l[12] = {}; ss_->format_unit(l, false); }},
      {"reserve track", [&] { std::uint32_t v = 0; ss_->reserve_track(reinterpret_cast<char*>(&v)); }},
      {"close", [&] { char d = 0; ss_->close_track_session(&d); }},
      {"C6h", [&] { char d = 0; ss_->increment_dfl_count(&d); }},
      {"device control", [&] { ss_->scsi_cache_clear(); }},
  };
  for (const auto& [name, change] : changers) {
    SCOPED_TRACE(name);
    fill();
    ASSERT_TRUE(cached(0));
    ASSERT_TRUE(cached(3));
    change();
    EXPECT_FALSE(cached(0));
    EXPECT_FALSE(cached(3));
  }
  // A read changes nothing.
  fill();
  ASSERT_EQ(0, ss_->pxo_read10(&bp));
  EXPECT_TRUE(cached(0));
}

TEST_F(CommandBlocks, CacheCheckSelectorsAndUpdates) {
  for (int sel : {0, 1, 2, 3, 4, 6, 7, 8, 9}) {
    char s = static_cast<char>(sel);
    EXPECT_EQ(61, ss_->scsi_cache_check(&s)) << sel;
  }
  char five = 5;
  EXPECT_EQ(0, ss_->scsi_cache_check(&five));
  EXPECT_TRUE(fakelog::contains("scsi_cache_check unsupport scsi_cmd[5]"));

  pxo_disc_info_t r{};
  r.datatype = 2;
  r.POW.RemainingPOWReplacements = 77;
  ASSERT_EQ(0, ss_->update_disc_info(reinterpret_cast<char*>(&r)));
  char two = 2;
  EXPECT_EQ(0, ss_->scsi_cache_check(&two));
  pxo_disc_info_t back{};
  back.datatype = 2;
  ASSERT_EQ(0, ss_->read_disc_info(reinterpret_cast<char*>(&back), false));
  EXPECT_EQ(77u, back.POW.RemainingPOWReplacements);
  EXPECT_TRUE(fakedrive::transcript().empty());
  r.datatype = 3;
  EXPECT_EQ(22, ss_->update_disc_info(reinterpret_cast<char*>(&r)));

  pxo_track_info_t t{};
  t.track_no = 3;
  EXPECT_EQ(22, ss_->update_track_info(reinterpret_cast<char*>(&t)));
  char four = 4;
  EXPECT_EQ(61, ss_->scsi_cache_check(&four));
  t.track_no = 2;
  t.track_info.NextWritableAddress = 0x1234;
  ASSERT_EQ(0, ss_->update_track_info(reinterpret_cast<char*>(&t)));
  EXPECT_EQ(0, ss_->scsi_cache_check(&four));
  pxo_track_info_t tb{};
  tb.track_no = 2;
  ASSERT_EQ(0, ss_->read_track_info(reinterpret_cast<char*>(&tb)));
  EXPECT_EQ(0x1234u, tb.track_info.NextWritableAddress);

  std::uint16_t opc = 0xFF42;
  ASSERT_EQ(0, ss_->set_opc_resource_data(&opc));
  char eight = 8;
  EXPECT_EQ(0, ss_->scsi_cache_check(&eight));
  ASSERT_EQ(0, ss_->scsi_cache_clear());
  EXPECT_EQ(61, ss_->scsi_cache_check(&eight));
  EXPECT_EQ(61, ss_->scsi_cache_check(&two));
}

// -------------------------------------------------------- block reads

namespace {
void fill_image(std::uint32_t first, std::uint32_t count) {
  for (std::uint32_t b = first; b < first + count; ++b) {
    std::vector<std::uint8_t> blk(2048);
    for (std::size_t i = 0; i < blk.size(); i += 4) {
      std::memcpy(&blk[i], &b, 4);
    }
    fakedrive::drive().blocks[b] = blk;
  }
}
std::uint32_t block_tag(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
}  // namespace

TEST_F(CommandBlocks, ReadIsAlignedToThirtyTwoBlocksAndChunked) {
  fill_image(0, 1024);
  struct Row {
    std::uint16_t units;
    std::uint32_t blkno;
    std::uint32_t bytes;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> reads;
  };
  const std::vector<Row> rows = {
      {1, 64, 65536, {{64, 32}}},
      {1, 70, 4096, {{64, 32}}},                         // inside one unit
      {1, 40, 65536, {{32, 32}, {64, 32}}},              // straddles
      {8, 0, 512 * 1024, {{0, 256}}},                    // one 512 KiB command
      {8, 0, 640 * 1024, {{0, 256}, {256, 64}}},         // rest in a second
      {1, 100, 0, {{96, 32}}},                           // empty range reads one unit
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.blkno);
    fakedrive::drive().transfer_units = r.units;
    fakedrive::drive().product = r.units == 8 ? "QMR-T300B" : "QMR-T10A";
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ASSERT_EQ(0, ss_->init());
    fakedrive::clear_transcript();
    std::vector<std::uint8_t> data(std::max<std::uint32_t>(r.bytes, 2048), 0xEE);
    pxo_buf bp{};
    bp.blkno = r.blkno;
    bp.count = bp.bufsize = r.bytes;
    bp.data = data.data();
    ASSERT_EQ(0, ss_->pxo_read10(&bp));
    const auto reads = fakedrive::calls_of(0x28);
    ASSERT_EQ(r.reads.size(), reads.size());
    for (std::size_t i = 0; i < reads.size(); ++i) {
      const auto& c = reads[i].cdb;
      EXPECT_EQ(r.reads[i].first, (std::uint32_t(c[2]) << 24) | (c[3] << 16) | (c[4] << 8) | c[5]);
      EXPECT_EQ(r.reads[i].second, (c[7] << 8) | c[8]);
      EXPECT_EQ(r.reads[i].second * 2048u, reads[i].transfer_len);
    }
    for (std::uint32_t off = 0; off < r.bytes; off += 2048)
      ASSERT_EQ(r.blkno + off / 2048, block_tag(data.data() + off)) << off;
    if (r.bytes == 0) {
      EXPECT_EQ(0xEE, data[0]);  // nothing wanted, nothing copied
    }
  }
}

TEST_F(CommandBlocks, ReadWithRecoveredErrorFailsAndLeavesTheBufferAlone) {
  fakedrive::add_fault({0x28, 0x01, 0x18, 0x00});
  std::vector<std::uint8_t> data(65536, 0xEE);
  pxo_buf bp{};
  bp.blkno = 32;
  bp.count = bp.bufsize = 65536;
  bp.data = data.data();
  EXPECT_EQ(5, ss_->pxo_read10(&bp));
  EXPECT_EQ(0xEE, data[0]);
  EXPECT_EQ(0xEE, data[65535]);
}

TEST_F(CommandBlocks, ReadFailureEndsTheLoop) {
  fakedrive::drive().product = "QMR-T10A";
  fakedrive::Fault f;
  f.opcode = 0x28;
  f.key = 3;
  f.asc = 0x11;
  f.skip = 1;
  fakedrive::add_fault(f);
  std::vector<std::uint8_t> data(4 * 65536);
  pxo_buf bp{};
  bp.blkno = 0;
  bp.count = bp.bufsize = static_cast<std::uint32_t>(data.size());
  bp.data = data.data();
  EXPECT_EQ(5, ss_->pxo_read10(&bp));
  EXPECT_EQ(2u, fakedrive::calls_of(0x28).size());
}

// -------------------------------------------------------- block writes

namespace {
std::uint32_t lba_of(const fakedrive::Call& c) {
  return (std::uint32_t(c.cdb[2]) << 24) | (c.cdb[3] << 16) | (c.cdb[4] << 8) | c.cdb[5];
}
std::uint32_t blocks_of(const fakedrive::Call& c) { return (c.cdb[7] << 8) | c.cdb[8]; }
}  // namespace

TEST_F(CommandBlocks, ClusterWriteUsesTheWriteUnitAndCarriesTheControlByte) {
  struct Row {
    const char* product;
    std::size_t bytes;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;  // lba, blocks
  };
  const std::vector<Row> rows = {
      {"QMR-T20B", 3 * 65536, {{128, 96}}},
      {"QMR-T300B", 512 * 1024, {{128, 256}}},
      {"QMR-T400B", 1024 * 1024 + 65536, {{128, 256}, {384, 256}, {640, 32}}},
      {"QMR-T300A", 2 * 65536, {{128, 32}, {160, 32}}},
      {"QMR-T10A", 65536, {{128, 32}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.product);
    fakedrive::reset();
    fakedrive::drive().product = r.product;
    fakedrive::fill_good_attributes(0xE1);
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ASSERT_EQ(0, ss_->init());
    fakedrive::clear_transcript();
    std::vector<std::uint8_t> data(r.bytes);
    std::iota(data.begin(), data.end(), 0);
    pxo_buf bp{};
    bp.blkno = 128;
    bp.count = bp.bufsize = static_cast<std::uint32_t>(r.bytes);
    bp.data = data.data();
    ASSERT_EQ(0, ss_->pxo_write10_for_cluster(&bp, 0x5A));
    const auto writes = fakedrive::calls_of(0x2A);
    ASSERT_EQ(r.writes.size(), writes.size());
    std::size_t off = 0;
    for (std::size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(r.writes[i].first, lba_of(writes[i]));
      EXPECT_EQ(r.writes[i].second, blocks_of(writes[i]));
      EXPECT_EQ(0x5A, writes[i].cdb[9]);
      ASSERT_EQ(r.writes[i].second * 2048u, writes[i].data_out.size());
      EXPECT_TRUE(std::equal(writes[i].data_out.begin(), writes[i].data_out.end(), data.begin() + off));
      off += writes[i].data_out.size();
    }
    EXPECT_EQ(r.bytes, off);
  }
}

TEST_F(CommandBlocks, RecoveredErrorInTheMiddleOfAWriteDoesNotStopIt) {
  fakedrive::drive().product = "QMR-T10A";
  std::vector<std::uint8_t> data(4 * 65536, 0x33);
  pxo_buf bp{};
  bp.blkno = 0;
  bp.count = bp.bufsize = static_cast<std::uint32_t>(data.size());
  bp.data = data.data();
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "cluster" : "buffer");
    fakedrive::clear_faults();
    fakedrive::clear_transcript();
    fakedrive::drive().blocks.clear();
    fakedrive::Fault f;
    f.opcode = 0x2A;
    f.key = 0x01;
    f.asc = 0x0C;
    f.ascq = 0x01;
    f.skip = 1;
    f.times = 1;
    fakedrive::add_fault(f);
    const int res = which == 0 ? ss_->pxo_write10_for_cluster(&bp, 0) : ss_->pxo_write10_for_buf(&bp, 0);
    EXPECT_EQ(0, res);
    EXPECT_EQ(4u, fakedrive::calls_of(0x2A).size());
    // The chunks after the recovered one reached the medium.
    EXPECT_EQ(1u, fakedrive::drive().blocks.count(96));
  }
}

TEST_F(CommandBlocks, WriteFailuresEndTheLoopWithTheirRule) {
  fakedrive::drive().product = "QMR-T10A";
  std::vector<std::uint8_t> data(4 * 65536, 0x33);
  pxo_buf bp{};
  bp.blkno = 0;
  bp.count = bp.bufsize = static_cast<std::uint32_t>(data.size());
  bp.data = data.data();
  struct Row {
    std::uint8_t key, asc, ascq;
    int cluster, buffer;
  };
  for (Row r : {Row{3, 0x27, 0, 5, 11}, Row{3, 0x0C, 0, 5, 5}, Row{5, 0x21, 2, 5, 5}}) {
    for (int which = 0; which < 2; ++which) {
      fakedrive::clear_faults();
      fakedrive::clear_transcript();
      fakedrive::Fault f;
      f.opcode = 0x2A;
      f.key = r.key;
      f.asc = r.asc;
      f.ascq = r.ascq;
      f.skip = 1;
      fakedrive::add_fault(f);
      const int res = which == 0 ? ss_->pxo_write10_for_cluster(&bp, 0) : ss_->pxo_write10_for_buf(&bp, 0);
      EXPECT_EQ(which == 0 ? r.cluster : r.buffer, res) << int(r.key) << "/" << int(r.asc);
      EXPECT_EQ(2u, fakedrive::calls_of(0x2A).size());
    }
  }
  fakedrive::clear_faults();
  fakedrive::Fault t;
  t.opcode = 0x2A;
  t.transport = 1117;
  fakedrive::add_fault(t);
  EXPECT_EQ(5, ss_->pxo_write10_for_buf(&bp, 0));
}

TEST_F(CommandBlocks, BufferWriteSendsOneChunkPer64KiB) {
  std::vector<std::uint8_t> data(3 * 65536);
  std::iota(data.begin(), data.end(), 7);
  pxo_buf bp{};
  bp.blkno = 0x1000;
  bp.count = bp.bufsize = static_cast<std::uint32_t>(data.size());
  bp.data = data.data();
  ASSERT_EQ(0, ss_->pxo_write10_for_buf(&bp, 0x10));
  const auto writes = fakedrive::calls_of(0x2A);
  ASSERT_EQ(3u, writes.size());
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(0x1000u + 32 * i, lba_of(writes[i]));
    EXPECT_EQ(32u, blocks_of(writes[i]));
    EXPECT_EQ(0x10, writes[i].cdb[9]);
    EXPECT_TRUE(std::equal(writes[i].data_out.begin(), writes[i].data_out.end(), data.begin() + 65536 * i));
  }
  EXPECT_NE(0u, ss_->last_access_usec());
}

// ------------------------------------------------ retries and reserve

TEST_F(CommandBlocks, SynchronizeCacheRetriesTransportFailuresThreeTimes) {
  fakedrive::Fault t;
  t.opcode = 0x35;
  t.transport = 121;
  fakedrive::add_fault(t);
  EXPECT_EQ(5, ss_->synchronize_cache(nullptr));
  EXPECT_EQ(3u, fakedrive::calls_of(0x35).size());
  EXPECT_EQ(3u, ss_->sync_fail_count());

  fakedrive::clear_faults();
  fakedrive::clear_transcript();
  t.times = 2;
  fakedrive::add_fault(t);
  EXPECT_EQ(0, ss_->synchronize_cache(nullptr));
  EXPECT_EQ(3u, fakedrive::calls_of(0x35).size());
  EXPECT_EQ(5u, ss_->sync_fail_count());
}

TEST_F(CommandBlocks, SynchronizeCacheCheckConditionFailsAtOnceWhateverTheKey) {
  struct Row {
    std::uint8_t key, asc;
    const char* log;
  };
  for (Row r : {Row{3, 0x0C, "SEND_CMD_ERROR:cmd(0x35)"}, Row{1, 0x17, "SYNCHRONIZE_CACHE:  SK:0x01"},
                Row{0, 0x00, "SYNCHRONIZE_CACHE:  SK:0x00"}, Row{4, 0x44, "SYNCHRONIZE_CACHE:  SK:0x04"}}) {
    fakedrive::clear_faults();
    fakedrive::clear_transcript();
    fakelog::reset();
    fakedrive::add_fault({0x35, r.key, r.asc, 0});
    EXPECT_EQ(5, ss_->synchronize_cache(nullptr));
    EXPECT_EQ(1u, fakedrive::calls_of(0x35).size());
    EXPECT_TRUE(fakelog::contains(r.log)) << r.log;
  }
}

TEST_F(CommandBlocks, ReserveWriteIsOneAttempt) {
  pxo_reserve_write_t rec{0x100, 0x40};
  EXPECT_EQ(0, ss_->reserve_write_range(reinterpret_cast<char*>(&rec)));
  fakedrive::add_fault({0xD2, 3, 0x0C, 0});
  EXPECT_EQ(5, ss_->reserve_write_range(reinterpret_cast<char*>(&rec)));
  EXPECT_TRUE(fakelog::contains("SCSI_CMD(D2:RESERVE_WRITE):failed."));
  fakedrive::clear_faults();
  fakedrive::add_fault({0xD2, 5, 0x21, 0});
  EXPECT_EQ(5, ss_->reserve_write_range(reinterpret_cast<char*>(&rec)));
  EXPECT_TRUE(fakelog::contains("RESERVE_WRITE:  SK:0x5 ASC:0x21"));
  EXPECT_EQ(3u, fakedrive::calls_of(0xD2).size());
}

TEST_F(CommandBlocks, C6hStopsAtTheFirstSuccess) {
  fakedrive::Fault f;
  f.opcode = 0xC6;
  f.times = 1;
  fakedrive::add_fault(f);
  char d = 0;
  EXPECT_EQ(0, ss_->increment_dfl_count(&d));
  EXPECT_EQ(2u, fakedrive::calls_of(0xC6).size());
  fakedrive::clear_faults();
  fakedrive::clear_transcript();
  fakedrive::add_fault({0xC6, 3, 0, 0});
  EXPECT_EQ(5, ss_->increment_dfl_count(&d));
  EXPECT_EQ(3u, fakedrive::calls_of(0xC6).size());
}

TEST_F(CommandBlocks, DefectStatusOfAnAddress) {
  std::uint32_t lba = 0x100;
  ASSERT_EQ(0, ss_->getPerformance(&lba));  // no descriptor: length 4
  EXPECT_EQ(0xFFFFFFFFu, lba);
  auto& perf = fakedrive::drive().performance;
  perf.assign(24, 0);
  perf[3] = 20;
  perf[8] = 0x00; perf[9] = 0x00; perf[10] = 0x12; perf[11] = 0x34;
  perf[18] = 1;
  lba = 0x100;
  ASSERT_EQ(0, ss_->getPerformance(&lba));
  EXPECT_EQ(0x1234u, lba);
  perf[17] = 2;
  EXPECT_EQ(5, ss_->getPerformance(&lba));
  EXPECT_TRUE(fakelog::contains("Defect Data Mismatch. PerfDataLen=20, FirstBitOffset=2, DS#1=0x1"));
}

TEST_F(CommandBlocks, DefectListPiecesAreTurnedToHostOrder) {
  // Piece 0 of a rewritable disc: 64-byte header, then two entries.
  std::vector<std::uint8_t> a(4 + 64 + 16, 0);
  a[0] = 0;
  a[1] = static_cast<std::uint8_t>(2 + 64 + 16);
  a[3] = 3;  // pieces in all
  a[4 + 4] = 0x11; a[4 + 7] = 0x22;     // header word at record byte 8
  a[4 + 32] = 0xAA; a[4 + 35] = 0xBB;   // word at record byte 36
  const std::uint8_t e1[8] = {0x40, 0x00, 0x12, 0x34, 0x00, 0x00, 0x00, 0x02};
  std::memcpy(&a[4 + 64], e1, 8);
  fakedrive::drive().dfl = a;
  std::vector<std::uint8_t> rec(4 + 128, 0);
  rec[0] = 0x53;
  std::uint32_t total = 0, count = 0;
  ASSERT_EQ(0, ss_->get_dfl(rec.data(), 128, 0, &total, &count));
  EXPECT_EQ(3u, total);
  EXPECT_EQ(2u, count);
  std::uint32_t w;
  std::memcpy(&w, &rec[8], 4);
  EXPECT_EQ(0x11000022u, w);
  std::memcpy(&w, &rec[36], 4);
  EXPECT_EQ(0xAA0000BBu, w);
  std::uint64_t entry;
  std::memcpy(&entry, &rec[4 + 64], 8);
  EXPECT_EQ(0x4000123400000002ull, entry);
  EXPECT_EQ(0x53, rec[0]);

  // Write-once media carry no entries.
  rec.assign(4 + 128, 0);
  rec[0] = 0xE1;
  ASSERT_EQ(0, ss_->get_dfl(rec.data(), 128, 0, &total, &count));
  EXPECT_EQ(0u, count);
  // The entry count never exceeds what the record holds.
  rec.assign(4 + 72, 0);
  rec[0] = 0x53;
  ASSERT_EQ(0, ss_->get_dfl(rec.data(), 72, 0, &total, &count));
  EXPECT_EQ(1u, count);
  // The device control asks without an entry count.
  ASSERT_EQ(0, ss_->get_dfl(rec.data(), 72, 0, &total, nullptr));
}
