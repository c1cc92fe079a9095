// Supported media and device information through the plain functions, on
// the simulated drive.
#include "sdk_support.h"

#include <cstring>

namespace sdktest {
namespace {

class SdkMedia : public SdkSimTest {};

struct MediaRow {
  const char* product;
  const char* revision;
  std::uint64_t size;
  std::uint64_t result;
  std::uint32_t count;      // byte count written (0 with the buffer zeroed)
  int descriptors;          // descriptors written
};

const char* const kFirstGeneration[6] = {"QXC300RE", "QXC300R", "QXC600RE", "QXC600R", "QXC1200RE", "QXC1500R"};
const char* const kSecondGeneration[3] = {"QXC1200RE", "QXC1500R", "QXC3300R"};

void expectDescriptor(const std::uint8_t* d, const char* product, std::uint8_t flag) {
  std::uint8_t expect[35] = {};
  std::memcpy(expect, "TARN", 4);
  std::memcpy(expect + 8, product, std::strlen(product));
  expect[24] = flag;
  EXPECT_EQ(std::memcmp(d, expect, sizeof expect), 0) << product;
}

TEST_F(SdkMedia, SupportedMediaByModelAndRevision) {
  const MediaRow rows[] = {
      {"QMR-T20A", "1700", 100, 0, 210, 0},
      {"QMR-T20A", "1700", 214, 0, 210, 6},
      {"QMR-T10A", "0001", 300, 0, 210, 6},
      {"QMR-T300B", "1619", 109, 0, 105, 3},
      {"QMR-T300A", "12ab", 108, 0, 105, 0},
      {"QMR-T300B", "1620", 200, 0x8100000000000006ull, 0, 0},
      {"QMR-T400A", "0100", 200, 0x8100000000000006ull, 0, 0},
      {"PXO-U2", "0100", 200, 0x8100000000000006ull, 0, 0},
  };
  for (const MediaRow& row : rows) {
    SCOPED_TRACE(std::string(row.product) + " " + row.revision + " " + std::to_string(row.size));
    start(row.product, {}, row.revision);
    std::vector<std::uint8_t> buffer(400, 0xCC);
    auto* info = reinterpret_cast<KelDriveSDK_SupportedMediaInfo*>(buffer.data());
    EXPECT_EQ(KelDriveSDK_GetSupportedMediaInfo(path().c_str(), info, row.size), row.result);
    std::uint32_t count;
    std::memcpy(&count, buffer.data(), 4);
    EXPECT_EQ(count, row.count);
    if (row.result != 0) {
      // The whole buffer of the given size is zeroed, nothing past it.
      EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + row.size, 0), static_cast<long>(row.size));
      EXPECT_EQ(buffer[row.size], 0xCC);
    }
    const char* const* table = row.count == 210 ? kFirstGeneration : kSecondGeneration;
    const std::uint8_t flag = row.count == 210 ? 1 : 0;
    for (int i = 0; i < row.descriptors; ++i)
      expectDescriptor(buffer.data() + 4 + 35 * i, table[i], row.count == 105 && i == 2 ? 1 : flag);
    if (row.result == 0) {
      EXPECT_EQ(buffer[4 + 35 * row.descriptors], 0xCC);
    }
    TearDown();
  }
}

TEST_F(SdkMedia, BadArgumentsComeFirstAndSendNothing) {
  start("QMR-T20A");
  std::uint8_t buffer[300];
  auto* info = reinterpret_cast<KelDriveSDK_SupportedMediaInfo*>(buffer);
  EXPECT_EQ(KelDriveSDK_GetSupportedMediaInfo(nullptr, info, 300), 0x8100000000000005ull);
  EXPECT_EQ(KelDriveSDK_GetSupportedMediaInfo(path().c_str(), nullptr, 300), 0x8100000000000005ull);
  EXPECT_EQ(KelDriveSDK_GetSupportedMediaInfo(path().c_str(), info, 3), 0x8100000000000005ull);
  KelDriveSDK_DeviceInfo device;
  EXPECT_EQ(KelDriveSDK_GetDeviceInformation(nullptr, &device), 0x8100000000000005ull);
  EXPECT_EQ(KelDriveSDK_GetDeviceInformation(path().c_str(), nullptr), 0x8100000000000005ull);
  EXPECT_EQ(KelDriveSDK_GetDeviceInformationEx(path().c_str(), &device, 109), 0x8100000000000005ull);
  EXPECT_EQ(KelDriveSDK_GetDeviceInformationEx(nullptr, &device, 110), 0x8100000000000005ull);
  EXPECT_TRUE(commands().empty());
  // The class method refuses the same arguments with an exception.
  try {
    kelutil::KelUtility::GetSupportedMediaInformation(path(), nullptr, 300);
    ADD_FAILURE() << "nothing thrown";
  } catch (const kelutil::KelUtilityException& e) {
    EXPECT_EQ(e.code(), 0x8100000000000005ull);
    EXPECT_STREQ(e.what(), "Invalid argument");
    EXPECT_STREQ(e.function(), "kelutil::KelUtility::GetSupportedMediaInformation");
  }
}

TEST_F(SdkMedia, PropertyReadSendsInquiryFirstWithTheHostsIdentity) {
  start("QMR-T20A");
  std::uint8_t buffer[214];
  auto* info = reinterpret_cast<KelDriveSDK_SupportedMediaInfo*>(buffer);
  ASSERT_EQ(KelDriveSDK_GetSupportedMediaInfo(path().c_str(), info, sizeof buffer), 0u);
  auto sent = commands();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].cdb, (Bytes{0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sent[1].cdb, (Bytes{0x12, 1, 0x80, 0, 20, 0, 0, 0, 0, 0, 0, 0}));
  for (const auto& e : sent) {
    EXPECT_EQ(e.cookie, sim_->cookie());  // the cookie of "/dev/sd%p"
    EXPECT_EQ(e.sequence, 0x5151u);
    EXPECT_EQ(e.phase, 4u);
    EXPECT_EQ(e.unmount, 0);
    EXPECT_EQ(e.sense_capacity, 18);
    EXPECT_EQ(e.timeout_seconds, 60u);
    EXPECT_FALSE(e.data_out);
  }
}

TEST_F(SdkMedia, FailedPropertyReadAnswersFalseAndWritesNothing) {
  start("QMR-T20A");
  sim_->drive().add_fault(kelsim::command_fails(0x12, {0x05, 0x24, 0x00}));
  std::vector<std::uint8_t> buffer(214, 0xCC);
  auto* info = reinterpret_cast<KelDriveSDK_SupportedMediaInfo*>(buffer.data());
  EXPECT_EQ(KelDriveSDK_GetSupportedMediaInfo(path().c_str(), info, buffer.size()), 0x8100000000000006ull);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xCC), 214);
  // A path that is no device name: the property read fails too.
  EXPECT_EQ(KelDriveSDK_GetSupportedMediaInfo(u"C:\\", info, buffer.size()), 0x8100000000000006ull);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xCC), 214);
}

TEST_F(SdkMedia, DeviceInformationFillsTheStringsAndStillAnswersUnsupported) {
  const std::string serial28 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01";
  start("QMR-T400B", {}, "2301", serial28);
  KelDriveSDK_DeviceInfo info;
  std::memset(static_cast<void*>(&info), 0xCC, sizeof info);
  EXPECT_EQ(KelDriveSDK_GetDeviceInformation(path().c_str(), &info), 0x8100000000000006ull);
  EXPECT_STREQ(info.ProductId, "QMR-T400B");
  EXPECT_STREQ(info.SerialNumber, serial28.substr(0, 16).c_str());
  EXPECT_STREQ(info.Revision, "2301");

  KelDriveSDK_DeviceInfo longer;
  EXPECT_EQ(KelDriveSDK_GetDeviceInformationEx(path().c_str(), &longer, 110), 0x8100000000000006ull);
  EXPECT_STREQ(longer.SerialNumber, serial28.substr(0, 16).c_str());

  kelutil::DeviceInfo record;
  EXPECT_FALSE(kelutil::KelUtility::GetDeviceInformation(path(), record));
  EXPECT_EQ(record.SerialNumber, serial28);
  EXPECT_EQ(record.ProductId, "QMR-T400B");

  // A failing read leaves the strings empty.
  sim_->drive().add_fault(kelsim::command_fails(0x12, {0x02, 0x04, 0x00}));
  std::memset(static_cast<void*>(&info), 0xCC, sizeof info);
  EXPECT_EQ(KelDriveSDK_GetDeviceInformation(path().c_str(), &info), 0x8100000000000006ull);
  EXPECT_STREQ(info.ProductId, "");
  EXPECT_STREQ(info.SerialNumber, "");
  EXPECT_STREQ(info.Revision, "");
  EXPECT_FALSE(kelutil::KelUtility::GetDeviceInformation(path(), record));
  EXPECT_TRUE(record.ProductId.empty() && record.SerialNumber.empty() && record.Revision.empty());
}

TEST_F(SdkMedia, SerialOfTheSecondGenerationIsCutToItsAllocation) {
  const std::string serial28 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01";
  start("QMR-T300B", {}, "1700", serial28);
  kelutil::DeviceInfo record;
  EXPECT_FALSE(kelutil::KelUtility::GetDeviceInformationEx(path(), record, 110));
  EXPECT_EQ(record.SerialNumber, serial28.substr(0, 16));
}

}  // namespace
}  // namespace sdktest
