// SCSI commands through the host service's pipe, and the device file.
#include "scsi_device.h"

#include "models.h"

#include "kel/pipe_client.h"
#include "platform/sync.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PxoUtilityLib {

namespace {
// Built when the library loads and destroyed when it unloads: its destructor
// ends and joins the pipe reader thread.
kel::CQVServiceInterface g_service;
}  // namespace

kel::CQVServiceInterface& sdkServiceInterface() { return g_service; }

std::uint32_t commandTimeoutSeconds(const std::uint8_t* cdb, int cdbLength) {
  if (cdbLength <= 0) return 60;
  switch (cdb[0]) {
    case 0x04: case 0x5B: return 120;  // FORMAT UNIT, CLOSE TRACK/SESSION
    case 0xA6: return 180;             // LOAD/UNLOAD MEDIUM
    default: return 60;
  }
}

std::string trimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool isDrivePath(const std::u16string& path) {
  if (path.size() < 2 || path[1] != u':') return false;
  const char16_t c = path[0];
  const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
  return letter && (path.size() == 2 || path[2] == u'\\');
}

void SptiCtrl::setHandle(HANDLE* handle) { m_handle = handle ? *handle : INVALID_HANDLE_VALUE; }

int SptiCtrl::readInquiry(std::string& product, std::string& revision) {
  std::uint8_t cdb[12] = {0x12, 0, 0, 0, 36};
  std::uint8_t answer[36] = {};
  std::uint32_t length = sizeof answer;
  const int r = passThrough(cdb, sizeof cdb, answer, &length, nullptr, nullptr, true);
  if (r != 0) return r;
  if (length < sizeof answer) return kScsiShortAnswer;
  product = trimBlanks(std::string(reinterpret_cast<char*>(answer + 16), 16));
  revision = trimBlanks(std::string(reinterpret_cast<char*>(answer + 32), 4));
  m_product = product;
  return 0;
}

int SptiCtrl::readSerialNumber(std::string& serial) {
  const std::uint8_t allocation = isLatestDriveModel(m_product) ? 32 : 20;
  std::uint8_t cdb[12] = {0x12, 0x01, 0x80, 0, allocation};
  std::uint8_t answer[32] = {};
  std::uint32_t length = allocation;
  const int r = passThrough(cdb, sizeof cdb, answer, &length, nullptr, nullptr, true);
  if (r != 0) return r;
  if (length < 4) return kScsiShortAnswer;
  // Only bytes received count: a serial longer than the allocation is cut.
  const std::size_t n = std::min<std::size_t>(answer[3], length - 4);
  serial = trimBlanks(std::string(reinterpret_cast<char*>(answer + 4), n));
  return 0;
}

int SptiCtrl::readAttribute(std::uint16_t id, std::vector<std::uint8_t>& buffer, std::uint32_t length,
                            std::uint8_t* sense) {
  if (length > 0xFFFF) return kScsiShortAnswer;  // an attribute value never exceeds 16 bits of length
  const std::uint32_t size = (length + 12) & ~3u;
  buffer.assign(size, 0);
  std::uint8_t cdb[16] = {};
  int cdbLength = 16;
  if (isLatestDriveModel(m_product)) {
    cdbLength = 12;
    cdb[0] = 0xDA;
    cdb[4] = static_cast<std::uint8_t>(id >> 8);
    cdb[5] = static_cast<std::uint8_t>(id);
    for (int i = 0; i < 4; ++i) cdb[6 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  } else {
    cdb[0] = 0x8C;
    cdb[8] = static_cast<std::uint8_t>(id >> 8);
    cdb[9] = static_cast<std::uint8_t>(id);
    for (int i = 0; i < 4; ++i) cdb[10 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  }
  std::uint32_t received = size;
  const int r = passThrough(cdb, cdbLength, buffer.data(), &received, sense, nullptr, true);
  if (r != 0) return r;
  if (received < 9 + length) return kScsiShortAnswer;
  const std::uint32_t available = static_cast<std::uint32_t>(buffer[0]) << 24 | buffer[1] << 16 | buffer[2] << 8 | buffer[3];
  const std::uint32_t attributeLength = static_cast<std::uint32_t>(buffer[7]) << 8 | buffer[8];
  if (available < length + 5 || attributeLength < length) return kScsiShortAnswer;
  const std::uint16_t answered = static_cast<std::uint16_t>(buffer[4] << 8 | buffer[5]);
  return answered == id ? 0 : kScsiOtherAttribute;
}

int SptiCtrlDevice::passThrough(const std::uint8_t* cdb, int cdbLength, void* data, std::uint32_t* transferLength,
                                std::uint8_t* sense, std::uint8_t* information, bool dataIn) {
  std::memset(m_lastSense, 0, sizeof m_lastSense);
  if (sense) std::memset(sense, 0, 3);
  if (information) std::memset(information, 0, 4);
  if (cdbLength < 0 || cdbLength > 255) return ERROR_INVALID_PARAMETER;
  const HostCallbacks& host = hostCallbacks();
  std::uint8_t senseData[kSenseCapacity] = {};
  std::uint8_t senseLength = kSenseCapacity;
  std::uint32_t dummy = 0;
  std::uint32_t* transfer = transferLength ? transferLength : &dummy;
  const bool ok = sdkServiceInterface().sendScsiCommand(
      0, m_cookie, 0, host.sequence, static_cast<std::uint32_t>(host.phase), dataIn ? 0 : 1,
      commandTimeoutSeconds(cdb, cdbLength), cdb, static_cast<std::uint8_t>(cdbLength), senseData, &senseLength,
      data, transfer);
  if (!ok) return static_cast<int>(GetLastError());
  if (senseLength == 0) return 0;
  // A CHECK CONDITION is reported whether or not the caller gave a buffer.
  m_lastSense[0] = senseLength > 2 ? senseData[2] & 0x0F : 0;
  m_lastSense[1] = senseLength > 12 ? senseData[12] : 0;
  m_lastSense[2] = senseLength > 13 ? senseData[13] : 0;
  if (sense) std::memcpy(sense, m_lastSense, 3);
  if (information && senseLength >= 7) std::memcpy(information, senseData + 3, 4);
  return kScsiSenseResult;
}

int SptiCtrlDevice::testUnitReady() {
  constexpr int kAttentions = 4;
  const std::uint8_t cdb[12] = {0x00};
  int attentions = 0;
  for (std::uint32_t waited = 0;;) {
    std::uint32_t none = 0;
    const int r = passThrough(cdb, sizeof cdb, nullptr, &none, nullptr, nullptr, true);
    if (r != kScsiSenseResult) return r;
    if (m_lastSense[0] == 6 && ++attentions <= kAttentions) continue;
    const bool becomingReady = m_lastSense[0] == 2 && m_lastSense[1] == 0x04 && m_lastSense[2] == 0x01;
    if (!becomingReady || waited >= kReadyWaitMs) return r;
    Sleep(kReadyPollMs);
    waited += kReadyPollMs;
  }
}

bool SptiCtrlDevice::open() {
  void* value = nullptr;
  const std::string name = narrow(m_deviceName);
  if (std::sscanf(name.c_str(), "/dev/sd%p", &value) != 1) return false;
  m_cookie = reinterpret_cast<std::uintptr_t>(value);
  return true;
}

bool SptiCtrlDevice::openWithHandle(HANDLE* handle) {
  setHandle(handle);
  return open();
}

bool SptiCtrlDevice::close() {
  m_cookie = 0;
  return true;
}

}  // namespace PxoUtilityLib

namespace kelutil {

using PxoUtilityLib::throwUtility;

namespace {
constexpr const char* kOpen = "kelutil::KelFile::Open";
constexpr const char* kReadOpen = "kelutil::KelFile::ReadOpen";
constexpr const char* kClose = "kelutil::KelFile::Close";
constexpr const char* kGetSize = "kelutil::KelFile::GetSize";
}  // namespace

KelFile::~KelFile() { release(); }

void KelFile::release() {
  if (m_device) {
    HANDLE none = INVALID_HANDLE_VALUE;
    m_device->setHandle(&none);
    delete m_device;
    m_device = nullptr;
  }
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

void KelFile::Open() {
  if (m_device) throwUtility(KELSDK_ERR_INTERNAL, "already open", __FILE__, __LINE__, kOpen);
  if (m_path.size() < 7 || m_path.compare(0, 7, u"/dev/sd") != 0)
    throwUtility(KELSDK_ERR_INTERNAL, "invalid argument", __FILE__, __LINE__, kOpen);
  auto* device = new PxoUtilityLib::SptiCtrlDevice(m_path);
  if (!device->open()) {
    delete device;
    throwUtility(KELSDK_ERR_INTERNAL, "cannot open device", __FILE__, __LINE__, kOpen);
  }
  m_device = device;
}

void KelFile::ReadOpen() {
  if (m_fd >= 0) throwUtility(KELSDK_ERR_ALREADY_OPEN, "already open", __FILE__, __LINE__, kReadOpen);
  std::string name = PxoUtilityLib::narrow(m_path);
  if (PxoUtilityLib::isDrivePath(m_path)) name = std::string("\\\\.\\") + name.substr(0, 2);
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throwUtility(KELSDK_ERR_CREATE_FILE, "failed to ::CreateFile()", __FILE__, __LINE__, kReadOpen);
  m_fd = fd;
}

void KelFile::Close() {
  if (!m_device && m_fd < 0) throwUtility(KELSDK_ERR_INTERNAL, "already close", __FILE__, __LINE__, kClose);
  release();
}

std::uint64_t KelFile::GetSize() {
  if (m_fd < 0) throwUtility(KELSDK_ERR_INTERNAL, "not opened", __FILE__, __LINE__, kGetSize);
  struct stat st{};
  if (::fstat(m_fd, &st) != 0) throwUtility(KELSDK_ERR_INTERNAL, "faild to ::GetFileSizeEx()", __FILE__, __LINE__, kGetSize);
  return static_cast<std::uint64_t>(st.st_size);
}

bool KelFile::getDrive(std::u16string& drive) const {
  drive.clear();
  if (m_path.empty()) return false;
  if (PxoUtilityLib::isDrivePath(m_path)) {
    drive = m_path.substr(0, 2);
    return true;
  }
  // Paths of this platform carry no drive component.
  return true;
}

}  // namespace kelutil
