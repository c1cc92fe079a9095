// The SCSI device on the library's own pipe client, and the device file.
#include "sdk_support.h"

#include "scsi_device.h"

#include "sim/wire.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace sdktest {
namespace {

using PxoUtilityLib::SptiCtrlDevice;
using kelutil::KelFile;
using kelutil::KelUtilityException;

// Runs fn and gives the KelUtilityException it throws.
template <class Fn>
KelUtilityException thrownBy(Fn fn) {
  try {
    fn();
  } catch (const KelUtilityException& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was thrown";
  return KelUtilityException(0, "", "", 0, "");
}

void expectThrown(const KelUtilityException& e, std::uint64_t code, const char* text, const char* function) {
  EXPECT_EQ(e.code(), code) << text;
  EXPECT_STREQ(e.what(), text);
  EXPECT_STREQ(e.function(), function);
  EXPECT_STREQ(e.file(), "scsi_device.cpp");
  EXPECT_GT(e.line(), 0);
}

TEST(SdkKelFile, OpenAndCloseFailures) {
  KelFile six(u"/dev/s");
  expectThrown(thrownBy([&] { six.Open(); }), 0x8100000000000001ull, "invalid argument", "kelutil::KelFile::Open");
  KelFile drive(u"C:\\");
  expectThrown(thrownBy([&] { drive.Open(); }), 0x8100000000000001ull, "invalid argument", "kelutil::KelFile::Open");
  KelFile noPointer(u"/dev/sdzz");
  expectThrown(thrownBy([&] { noPointer.Open(); }), 0x8100000000000001ull, "cannot open device",
               "kelutil::KelFile::Open");
  EXPECT_EQ(noPointer.device(), nullptr);

  KelFile twice(u"/dev/sd1a2b");
  twice.Open();
  ASSERT_NE(twice.device(), nullptr);
  EXPECT_EQ(twice.device()->cookie(), 0x1a2bu);
  expectThrown(thrownBy([&] { twice.Open(); }), 0x8100000000000001ull, "already open", "kelutil::KelFile::Open");
  expectThrown(thrownBy([&] { twice.GetSize(); }), 0x8100000000000001ull, "not opened", "kelutil::KelFile::GetSize");
  twice.Close();
  EXPECT_EQ(twice.device(), nullptr);
  expectThrown(thrownBy([&] { twice.Close(); }), 0x8100000000000001ull, "already close", "kelutil::KelFile::Close");
}

TEST(SdkKelFile, ReadOpenUsesTheFileItself) {
  const std::string name = ::testing::TempDir() + "kelfile_readopen.bin";
  { std::ofstream(name, std::ios::binary) << std::string(5000, 'x'); }
  KelFile file(wide(name));
  file.ReadOpen();
  EXPECT_EQ(file.GetSize(), 5000u);
  expectThrown(thrownBy([&] { file.ReadOpen(); }), 0x8100000000000011ull, "already open",
               "kelutil::KelFile::ReadOpen");
  file.Close();
  expectThrown(thrownBy([&] { file.Close(); }), 0x8100000000000001ull, "already close", "kelutil::KelFile::Close");
  std::filesystem::remove(name);

  KelFile missing(wide(name));
  expectThrown(thrownBy([&] { missing.ReadOpen(); }), 0x8200000000000002ull, "failed to ::CreateFile()",
               "kelutil::KelFile::ReadOpen");
}

TEST(SdkKelFile, DrivePaths) {
  const struct {
    const char16_t* path;
    bool drivePath;
    bool answer;
    const char16_t* drive;
  } rows[] = {
      {u"X:", true, true, u"X:"},   {u"x:\\dir\\f", true, true, u"x:"}, {u"X:dir", false, true, u""},
      {u"1:", false, true, u""},    {u"/dev/sd1", false, true, u""},    {u"", false, false, u""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(PxoUtilityLib::isDrivePath(row.path), row.drivePath) << narrowText(row.path);
    std::u16string drive = u"old";
    EXPECT_EQ(KelFile(row.path).getDrive(drive), row.answer) << narrowText(row.path);
    EXPECT_EQ(drive, row.drive) << narrowText(row.path);
  }
}

class SdkScsiDevice : public SdkSimTest {
 protected:
  std::unique_ptr<SptiCtrlDevice> device() {
    auto d = std::make_unique<SptiCtrlDevice>(path());
    EXPECT_TRUE(d->open());
    return d;
  }
};

TEST_F(SdkScsiDevice, RequestCarriesCookieSequencePhaseAndTimeOut) {
  start();
  clearCallbacks();
  auto d = device();
  std::string product, revision;
  ASSERT_EQ(d->readInquiry(product, revision), 0);
  EXPECT_EQ(product, "QMR-T300B");
  EXPECT_EQ(revision, "1700");
  host().install(0x77AA, 3);
  const struct {
    std::uint8_t opcode;
    std::uint32_t timeout;
  } rows[] = {{0xA6, 180}, {0x5B, 120}, {0x04, 120}, {0x12, 60}, {0x35, 60}};
  for (const auto& row : rows) {
    std::uint8_t cdb[12] = {row.opcode};
    if (row.opcode == 0xA6) cdb[4] = 3;  // load slot 0
    if (row.opcode == 0x12) cdb[4] = 36;
    std::uint8_t data[36];
    std::uint32_t length = row.opcode == 0x12 ? 36 : 0;
    d->passThrough(cdb, 12, data, &length, nullptr, nullptr, row.opcode == 0x12);
  }
  EXPECT_EQ(PxoUtilityLib::commandTimeoutSeconds(nullptr, 0), 60u);
  auto sent = commands();
  ASSERT_EQ(sent.size(), 6u);
  // Before the callbacks were set: sequence 0 and phase 0.
  EXPECT_EQ(sent[0].sequence, 0u);
  EXPECT_EQ(sent[0].phase, 0u);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].cookie, sim_->cookie());
    EXPECT_EQ(sent[i].unmount, 0);
    EXPECT_EQ(sent[i].sense_capacity, 18);
    if (i == 0) continue;
    EXPECT_EQ(sent[i].sequence, 0x77AAu);
    EXPECT_EQ(sent[i].phase, 3u);
    EXPECT_EQ(sent[i].timeout_seconds, rows[i - 1].timeout) << std::hex << int(rows[i - 1].opcode);
  }
}

TEST_F(SdkScsiDevice, CheckConditionIsReportedWithOrWithoutASenseBuffer) {
  start();
  const kelsim::Sense senses[] = {{0x05, 0x24, 0x00}, {0x03, 0x11, 0x00}, {0x02, 0x3A, 0x00}, {0x06, 0x28, 0x01}};
  auto d = device();
  for (const auto& s : senses) {
    const int id = sim_->drive().add_fault(kelsim::command_fails(0x12, s));
    std::uint8_t cdb[12] = {0x12, 0, 0, 0, 36};
    std::uint8_t data[36];
    std::uint32_t length = 36;
    std::uint8_t sense[3] = {0xFF, 0xFF, 0xFF};
    std::uint8_t information[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(d->passThrough(cdb, 12, data, &length, sense, information, true), 2);
    EXPECT_EQ(sense[0], s.key);
    EXPECT_EQ(sense[1], s.asc);
    EXPECT_EQ(sense[2], s.ascq);
    // The simulated drive's sense carries no information bytes (3-6).
    EXPECT_EQ(std::memcmp(information, "\0\0\0\0", 4), 0);
    length = 36;
    EXPECT_EQ(d->passThrough(cdb, 12, data, &length, nullptr, nullptr, true), 2);
    EXPECT_EQ(d->lastSense()[0], s.key);
    EXPECT_EQ(d->lastSense()[1], s.asc);
    EXPECT_EQ(d->lastSense()[2], s.ascq);
    std::string product, revision = "kept";
    EXPECT_EQ(d->readInquiry(product, revision), 2);
    EXPECT_EQ(revision, "kept");
    sim_->drive().remove_fault(id);
  }
}

TEST_F(SdkScsiDevice, TransportFailureGivesTheWin32ErrorAndZeroedSense) {
  start();
  auto d = device();
  sim_->drive().add_fault(kelsim::transport_status(1117, 0x12));
  std::uint8_t cdb[12] = {0x12, 0, 0, 0, 36};
  std::uint8_t data[36];
  std::uint32_t length = 36;
  std::uint8_t sense[3] = {1, 2, 3};
  std::uint8_t information[4] = {1, 2, 3, 4};
  EXPECT_EQ(d->passThrough(cdb, 12, data, &length, sense, information, true), 1117);
  EXPECT_EQ(std::memcmp(sense, "\0\0\0", 3), 0);
  EXPECT_EQ(std::memcmp(information, "\0\0\0\0", 4), 0);
  // A cookie no drive answers to.
  SptiCtrlDevice stranger(u"/dev/sd99");
  ASSERT_TRUE(stranger.open());
  length = 36;
  EXPECT_NE(stranger.passThrough(cdb, 12, data, &length, nullptr, nullptr, true), 0);
}

TEST_F(SdkScsiDevice, ShortInquiryIsNotParsed) {
  start();
  auto d = device();
  Bytes shortAnswer(35, ' ');
  sim_->drive().add_fault(kelsim::replace_answer(0x12, shortAnswer));
  std::string product = "kept", revision = "kept";
  EXPECT_EQ(d->readInquiry(product, revision), -2);
  EXPECT_EQ(product, "kept");
  EXPECT_TRUE(d->productId().empty());
}

TEST_F(SdkScsiDevice, SerialNumberAllocationByModelAndCut) {
  const std::string serial28 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01";
  const struct {
    const char* product;
    std::uint8_t allocation;
    std::string serial;
  } rows[] = {
      {"QMR-T300B", 20, serial28.substr(0, 16)},
      {"QMR-T400B", 32, serial28},
      {"QMR-T400A", 32, serial28},
      {"QMR-T20A", 20, serial28.substr(0, 16)},
      {"PXO-U2", 20, serial28.substr(0, 16)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.product);
    start(row.product, {}, "1700", serial28);
    auto d = device();
    std::string product, revision, serial;
    ASSERT_EQ(d->readInquiry(product, revision), 0);
    clearTranscript();
    ASSERT_EQ(d->readSerialNumber(serial), 0);
    EXPECT_EQ(serial, row.serial);
    auto sent = commands(0x12);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cdb[1], 1);
    EXPECT_EQ(sent[0].cdb[2], 0x80);
    EXPECT_EQ(sent[0].cdb[4], row.allocation);
    EXPECT_EQ(sent[0].data_length, row.allocation);
    TearDown();
  }
}

TEST_F(SdkScsiDevice, SerialOfAnAnswerShorterThanItsHeader) {
  start("QMR-T300B", {}, "1700", "SERIAL");
  auto d = device();
  // Byte 3 claims 12 characters, only 3 came.
  sim_->drive().add_fault(kelsim::replace_answer(0x12, {0, 0x80, 0, 12, 'A', ' ', 'B'}));
  std::string serial;
  ASSERT_EQ(d->readSerialNumber(serial), 0);
  EXPECT_EQ(serial, "A B");
  sim_->drive().clear_faults();
  sim_->drive().add_fault(kelsim::replace_answer(0x12, {0, 0x80, 0}));
  EXPECT_EQ(d->readSerialNumber(serial), -2);
}

TEST_F(SdkScsiDevice, AttributeReadsByModel) {
  for (const char* product : {"QMR-T300B", "QMR-T400B"}) {
    SCOPED_TRACE(product);
    kelsim::CartridgeSetup cartridge;
    cartridge.loaded_slot = 4;
    start(product, cartridge);
    auto d = device();
    d->setProductId(product);
    std::vector<std::uint8_t> answer;
    ASSERT_EQ(d->readAttribute(0x0D00, answer, 1, nullptr), 0);
    EXPECT_EQ(answer.size(), 12u);  // (1 + 12) rounded down to 4
    EXPECT_EQ(answer[9], 4);
    const auto sent = commands().back();
    const bool latest = std::string(product) == "QMR-T400B";
    ASSERT_EQ(sent.cdb.size(), latest ? 12u : 16u);
    EXPECT_EQ(sent.opcode(), latest ? 0xDA : 0x8C);
    EXPECT_EQ(kelsim::get_be16(sent.cdb.data() + (latest ? 4 : 8)), 0x0D00);
    EXPECT_EQ(kelsim::get_be32(sent.cdb.data() + (latest ? 6 : 10)), 12u);
    EXPECT_EQ(sent.data_length, 12u);

    // Another identifier in the answer.
    const std::uint8_t op = latest ? 0xDA : 0x8C;
    int id = sim_->drive().add_fault(kelsim::replace_answer(op, {0, 0, 0, 6, 0x0D, 0x01, 0, 0, 1, 7}));
    EXPECT_EQ(d->readAttribute(0x0D00, answer, 1, nullptr), -3);
    sim_->drive().remove_fault(id);
    // Too few bytes, a too short available length, a too short attribute.
    for (const Bytes& bad : {Bytes{0, 0, 0, 6, 0x0D, 0x00, 0, 0, 1}, Bytes{0, 0, 0, 5, 0x0D, 0x00, 0, 0, 1, 7},
                             Bytes{0, 0, 0, 6, 0x0D, 0x00, 0, 0, 0, 7}, Bytes{0, 0}}) {
      id = sim_->drive().add_fault(kelsim::replace_answer(op, bad));
      EXPECT_EQ(d->readAttribute(0x0D00, answer, 1, nullptr), -2) << bad.size();
      sim_->drive().remove_fault(id);
    }
    // An absent attribute stays a CHECK CONDITION.
    std::uint8_t sense[3];
    EXPECT_EQ(d->readAttribute(0x0DEE, answer, 1, sense), 2);
    EXPECT_EQ(sense[0], 5);
    EXPECT_EQ(sense[1], 0x24);
    TearDown();
  }
}

}  // namespace
}  // namespace sdktest
