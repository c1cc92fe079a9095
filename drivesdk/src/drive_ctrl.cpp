// Drive control: SCSI commands, file-system controls and volume device
// controls of one drive, the one-RUB read cache and the end actions.
#include "drive_ctrl.h"

#include "sdk_frame.h"

#include <algorithm>
#include <cstring>

namespace PxoUtilityLib {

namespace {

constexpr std::uint32_t kSector = 2048;
constexpr int kCdbLength = 12;
constexpr int kOverWriteAttempts = 10;

void putBe16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void putBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
std::uint32_t be16(const std::uint8_t* p) { return static_cast<std::uint32_t>(p[0]) << 8 | p[1]; }
std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Code of a transport result: -3, -2 and -1 have codes of their own, any
// other failure is the command's code.
std::uint32_t mapped(int result, std::uint32_t own) {
  switch (result) {
    case 0: return 0;
    case -3: return kErrOtherAttribute;
    case -2: return kErrShortAnswer;
    case -1: return kErrTransportMinus1;
    default: return own;
  }
}

}  // namespace

DriveCtrl::DriveCtrl(const std::u16string& path, bool refreshAtEnd)
    : m_device(std::make_unique<SptiCtrlDevice>(devicePathOf(path))), m_path(path), m_refreshAtEnd(refreshAtEnd) {}

DriveCtrl::~DriveCtrl() { lastProcess(m_refreshAtEnd); }

void DriveCtrl::openCheck() const {
  if (m_open) return;
  KELSDK_LOG(kLogCheck, "Drive not opend");
  throwPxo(kErrNotOpened, __FILE__, __LINE__, "DriveCtrl::openCheck");
}

void DriveCtrl::nullCheck() const {
  if (m_device) return;
  KELSDK_LOG(kLogCheck, "m_pSptiCtrl is NULL");
  throwPxo(kErrNoDevice, __FILE__, __LINE__, "DriveCtrl::nullCheck");
}

void DriveCtrl::resetFlags() {
  privileged = released = locked = dismountAtEnd = false;
  suppressPrivilegedExit = suppressDismount = suppressRelease = suppressLock = keepOpen = false;
  m_volumeControl = false;
}

std::uint32_t DriveCtrl::openReadOnly() {
  nullCheck();
  const std::string path = narrow(m_path);
  HANDLE none = nullptr;
  if (!m_device->openWithHandle(&none)) {
    KELSDK_LOG(kLogError, "CreateFile(%s) error GetLastError=%u", path.c_str(), ERROR_FILE_NOT_FOUND);
    return kErrOpen;
  }
  // A path counts as opened when a drive answers on it.
  std::string product, revision;
  const int r = m_device->readInquiry(product, revision);
  if (r != 0 && r != kScsiSenseResult && r != kScsiShortAnswer) {
    KELSDK_LOG(kLogError, "CreateFile(%s) error GetLastError=%u", path.c_str(), static_cast<unsigned>(r));
    m_device->close();
    return kErrOpen;
  }
  if (r == 0) m_product = product;
  dropCache();
  if (!m_volume) m_volume = &m_engineVolume;
  m_open = true;
  return 0;
}

std::uint32_t DriveCtrl::reopen() {
  nullCheck();
  if (m_open) return 0;
  HANDLE none = nullptr;
  m_device->openWithHandle(&none);
  resetFlags();
  dropCache();
  if (!m_volume) m_volume = &m_engineVolume;
  m_open = true;
  return 0;
}

void DriveCtrl::closeHandle() {
  dropCache();
  m_open = false;
}

VolumeControl& DriveCtrl::volume() {
  openCheck();
  return m_volume ? *m_volume : m_engineVolume;
}

void DriveCtrl::dropCache() {
  m_cache.clear();
  m_cacheValid = false;
}

int DriveCtrl::scsi(const std::uint8_t* cdb, void* data, std::uint32_t* length, bool dataIn) {
  openCheck();
  nullCheck();
  std::uint8_t sense[3] = {};
  std::uint32_t none = 0;
  // A command without data goes as data in of no bytes: a data-out transfer
  // for an operation that takes none is refused by the transport.
  const bool noData = data == nullptr;
  const int r = m_device->passThrough(cdb, kCdbLength, data, length ? length : &none, sense, nullptr, dataIn || noData);
  if (r == kScsiSenseResult)
    KELSDK_LOG(kLogError, "CDB[0]=0x%02X sense=%02X/%02X/%02X", cdb[0], sense[0], sense[1], sense[2]);
  else if (r != 0)
    KELSDK_LOG(kLogError, "CDB[0]=0x%02X error=%d", cdb[0], r);
  return r;
}

std::uint32_t DriveCtrl::getMountInformation(MDCFS_MOUNT_INFORMATION& info) {
  const KelSdkControlCallback control = hostCallbacks().control;
  if (!control) return kNoCallbackResult;
  MDCFS_MOUNT_INFORMATION answer{};
  const int r = control(kFsctlMountInformation, &answer);
  if (r != 0) {
    KELSDK_LOG(kLogError, "IoControl(MDCFSCTL_GET_VOLUME_MOUNT_INFORMATION) error=%d", r);
    return static_cast<std::uint32_t>(r);
  }
  info = answer;
  m_mediumType = answer.MediumType;
  return 0;
}

std::uint32_t DriveCtrl::doExitPrivilegedMode() {
  openCheck();
  const KelSdkControlCallback control = hostCallbacks().control;
  const int r = control ? control(kFsctlExitPrivilegedMode, nullptr) : kNoCallbackResult;
  if (r == 0) return 0;
  KELSDK_LOG(kLogError, "IoControl(MDCFSCTL_EXIT_PRIVILEGED_MODE) error=%d", r);
  return 0x120200;
}

std::uint32_t DriveCtrl::dismountVolume() {
  openCheck();
  const KelSdkUnmountCallback unmount = hostCallbacks().unmount;
  const int r = unmount ? unmount(true) : kNoCallbackResult;
  if (r == 0) {
    dismountAtEnd = false;
    return 0;
  }
  KELSDK_LOG(kLogError, "Unmount() error=%d", r);
  return 0x130300;
}

std::uint32_t DriveCtrl::getProductID(std::string& product) {
  if (!m_product.empty()) {
    product = m_product;
    return 0;
  }
  openCheck();
  nullCheck();
  std::string id, revision;
  const int r = m_device->readInquiry(id, revision);
  switch (r) {
    case 0: break;
    case -3: return 0x21000D;
    case -2: return 0x21000C;
    case -1: return 0x21000B;
    default: return 0x110200;
  }
  m_product = trimBlanks(id);
  m_device->setProductId(m_product);
  product = m_product;
  return 0;
}

std::uint32_t DriveCtrl::getDiscStatus(int& status) {
  std::uint8_t cdb[kCdbLength] = {0x51};
  putBe16(cdb + 7, 240);
  std::uint8_t answer[240] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x110A00);
  if (length <= 2) return kErrShortAnswer;
  status = answer[2] & 0x03;
  return 0;
}

std::uint32_t DriveCtrl::checkUninitialized(bool& uninitialized) {
  int status = 0;
  if (const std::uint32_t r = getDiscStatus(status)) return r;
  if (status == 0) {
    uninitialized = true;
    return 0;
  }
  std::uint8_t cdb[kCdbLength] = {0x51, 0x01};
  putBe16(cdb + 7, 12);
  std::uint8_t answer[12] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x110A01);
  if (length < 12) return kErrShortAnswer;
  uninitialized = be16(answer + 6) < 2;
  return 0;
}

std::uint32_t DriveCtrl::getN(std::uint32_t& n) {
  std::uint8_t cdb[kCdbLength] = {0x25};
  std::uint8_t answer[8] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x110400);
  if (length < 4) return kErrShortAnswer;
  n = be32(answer);
  return 0;
}

std::uint32_t DriveCtrl::readTrackInformation(std::uint32_t& nextWritable, std::uint32_t& freeBlocks) {
  std::uint8_t cdb[kCdbLength] = {0x52, 0x01};
  putBe32(cdb + 2, 1);
  putBe16(cdb + 7, 48);
  std::uint8_t answer[48] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x110B00);
  if (length < 20) return kErrShortAnswer;
  nextWritable = be32(answer + 12);
  freeBlocks = be32(answer + 16);
  return 0;
}

std::uint32_t DriveCtrl::readRub(std::uint32_t rubLsn, std::uint8_t* into, std::uint32_t* received) {
  std::uint8_t cdb[kCdbLength] = {0x28};
  putBe32(cdb + 2, rubLsn);
  putBe16(cdb + 7, rubSectors());
  *received = rubSectors() * kSector;
  return mapped(scsi(cdb, into, received, true), 0x110500);
}

std::uint32_t DriveCtrl::readSector(std::uint32_t lsn, std::uint32_t sectors, DataArray& out) {
  const std::uint32_t rub = rubSectors();
  const std::uint64_t total = static_cast<std::uint64_t>(lsn) + sectors;
  if (total > 0x100000000ull) return 0x110500;  // the range would leave the 32-bit address space
  out.clear();
  out.resize(static_cast<std::size_t>(sectors) * kSector);
  std::uint32_t rubLsn = lsn - lsn % rub;
  std::uint32_t offset = lsn % rub;
  std::uint32_t copied = 0;
  while (copied < sectors) {
    if (!m_cacheValid || m_cacheLsn != rubLsn) {
      m_cacheValid = false;
      m_cache.clear();
      m_cache.resize(static_cast<std::size_t>(rub) * kSector);
      std::uint32_t received = 0;
      std::uint32_t r = readRub(rubLsn, m_cache.data(), &received);
      if (r == 0 && received < rub * kSector) r = kErrShortAnswer;
      if (r != 0) {
        dropCache();
        return r;
      }
      m_cacheValid = true;
      m_cacheLsn = rubLsn;
    }
    const std::uint32_t n = std::min(sectors - copied, rub - offset);
    std::memcpy(out.getArray(static_cast<std::size_t>(copied) * kSector, static_cast<std::size_t>(n) * kSector),
                m_cache.getArray(static_cast<std::size_t>(offset) * kSector, static_cast<std::size_t>(n) * kSector),
                static_cast<std::size_t>(n) * kSector);
    copied += n;
    offset = 0;
    rubLsn += rub;
  }
  return 0;
}

std::uint32_t DriveCtrl::readBuffer(std::uint32_t lsn, std::uint32_t sectors, DataArray& out, std::uint32_t& offset) {
  const std::uint32_t rub = rubSectors();
  offset = lsn % rub;
  const std::uint32_t first = lsn - offset;
  const std::uint64_t rubs = (static_cast<std::uint64_t>(offset) + sectors + rub - 1) / rub;
  if (first + rubs * rub > 0x100000000ull) return 0;  // nothing past the 32-bit address space is read
  out.resize(static_cast<std::size_t>(rubs * rub) * kSector);
  for (std::uint64_t i = 0; i < rubs; ++i) {
    std::uint8_t* into = out.getArray(static_cast<std::size_t>(i * rub) * kSector, static_cast<std::size_t>(rub) * kSector);
    std::uint32_t received = 0;
    // A RUB that cannot be read whole reads as zeros; the search parses on.
    if (readRub(first + static_cast<std::uint32_t>(i * rub), into, &received) != 0 || received < rub * kSector)
      std::memset(into, 0, static_cast<std::size_t>(rub) * kSector);
  }
  return 0;
}

std::uint32_t DriveCtrl::writeRub(std::uint32_t rubLsn, const std::uint8_t* from) {
  std::uint8_t cdb[kCdbLength] = {0x2A};
  putBe32(cdb + 2, rubLsn);
  putBe16(cdb + 7, rubSectors());
  cdb[9] = 0x40;
  std::uint32_t length = rubSectors() * kSector;
  return mapped(scsi(cdb, const_cast<std::uint8_t*>(from), &length, false), 0x110600);
}

std::uint32_t DriveCtrl::writeSector(std::uint32_t lsn, std::uint32_t sectors, const DataArray& data) {
  const std::uint32_t rub = rubSectors();
  if (static_cast<std::uint64_t>(sectors) * kSector > data.size()) return 0x110600;  // less data than sectors
  if (static_cast<std::uint64_t>(lsn) + sectors > 0x100000000ull) return 0x110600;
  std::uint32_t rubLsn = lsn - lsn % rub;
  std::uint32_t offset = lsn % rub;
  std::uint32_t sent = 0;
  DataArray buffer(static_cast<std::size_t>(rub) * kSector);
  while (sent < sectors) {
    const std::uint32_t n = std::min(sectors - sent, rub - offset);
    std::memset(buffer.data(), 0, buffer.size());
    std::memcpy(buffer.getArray(static_cast<std::size_t>(offset) * kSector, static_cast<std::size_t>(n) * kSector),
                data.getArray(static_cast<std::size_t>(sent) * kSector, static_cast<std::size_t>(n) * kSector),
                static_cast<std::size_t>(n) * kSector);
    if (const std::uint32_t r = writeRub(rubLsn, buffer.data())) return r;
    // The cache must not keep what the drive now holds differently.
    if (m_cacheValid && m_cacheLsn == rubLsn) dropCache();
    sent += n;
    offset = 0;
    rubLsn += rub;
  }
  return 0;
}

std::uint32_t DriveCtrl::reserveWrite(std::uint32_t lsn, std::uint32_t sectors) {
  std::uint8_t cdb[kCdbLength] = {0xD2};
  putBe32(cdb + 4, lsn);
  putBe32(cdb + 8, sectors);
  return mapped(scsi(cdb, nullptr, nullptr, false), 0x111A00);
}

std::uint32_t DriveCtrl::doSynchronizeCache() {
  std::uint8_t cdb[kCdbLength] = {0x35};
  return mapped(scsi(cdb, nullptr, nullptr, false), 0x110800);
}

std::uint32_t DriveCtrl::attemptOverWrite(std::uint32_t lsn, std::uint32_t sectors, const DataArray& data) {
  if (m_mediumType == 0xF2)
    if (const std::uint32_t r = reserveWrite(lsn, sectors)) return r;
  if (const std::uint32_t r = writeSector(lsn, sectors, data)) return r;
  return doSynchronizeCache();
}

std::uint32_t DriveCtrl::LogicalOverWrite(std::uint32_t lsn, std::uint32_t sectors, const DataArray& data) {
  KELSDK_LOG(kLogTrace, "startLSN=0x%08x, sectorNum=%u", lsn, sectors);
  KELSDK_LOG(kLogTrace, "[####]getMediumType()=0x%02x, isGEN3Media()=%d\n", m_mediumType, m_mediumType == 0xF2);
  std::uint32_t result = 0;
  std::uint32_t sync = 0;
  for (int attempt = 1; attempt <= kOverWriteAttempts; ++attempt) {
    result = attemptOverWrite(lsn, sectors, data);
    if (result == 0) return 0;
    sync = doSynchronizeCache();
    if (sync != 0) KELSDK_LOG(kLogError, "doSynchronizeCache() for retry:resultSync=0x%08x", sync);
    if (attempt < kOverWriteAttempts) KELSDK_LOG(kLogError, "RETRY(retry_cnt=%d)", attempt);
  }
  KELSDK_LOG(kLogError, "RETRY OUT(result=0x%08x, retrySync=0x%08x)", result, sync);
  return sync != 0 ? sync : result;
}

std::uint32_t DriveCtrl::setReallocationControlModePage(std::uint32_t n) {
  std::uint8_t cdb[kCdbLength] = {0x55, 0x10};
  std::uint8_t list[28] = {};
  putBe16(cdb + 7, sizeof list);
  std::uint8_t* page = list + 8;
  page[0] = 0x20;
  page[1] = 0x12;
  page[2] = 1;
  page[3] = 1;
  putBe32(page + 8, n);
  std::uint32_t length = sizeof list;
  return mapped(scsi(cdb, list, &length, false), 0x111520);
}

std::uint32_t DriveCtrl::loadCheck(std::uint8_t slot, bool& loaded) {
  std::uint8_t cdb[kCdbLength] = {0xBD};
  putBe16(cdb + 8, 8);
  std::uint8_t answer[8] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x111000);
  if (length < 2) return kErrShortAnswer;
  const unsigned state = answer[1] >> 5;
  const unsigned current = (answer[1] & 0x07) * 32u + (answer[0] & 0x1F);
  loaded = state == 1 && current == slot;
  return 0;
}

std::uint32_t DriveCtrl::loadSlotAndCheck(std::uint8_t slot, std::uint8_t& slots) {
  dropCache();
  std::uint8_t cdb[kCdbLength] = {0xA6};
  cdb[4] = 3;
  cdb[8] = slot;
  if (const int r = scsi(cdb, nullptr, nullptr, false)) return mapped(r, 0x110F00);
  // The commands after the load find the new disc ready; whether it is
  // loaded is the mechanism's answer below.
  (void)testUnitReady();
  std::uint8_t status[kCdbLength] = {0xBD};
  putBe16(status + 8, 8);
  std::uint8_t answer[8] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(status, answer, &length, true)) return mapped(r, 0x111000);
  if (length < 6) return kErrShortAnswer;
  slots = answer[5];
  const unsigned state = answer[1] >> 5;
  const unsigned current = (answer[1] & 0x07) * 32u + (answer[0] & 0x1F);
  return state == 1 && current == slot ? 0 : kErrNotLoaded;
}

std::uint32_t DriveCtrl::discFinalize() {
  std::uint8_t cdb[kCdbLength] = {0x5B};
  cdb[2] = 6;
  putBe16(cdb + 4, 1);
  return mapped(scsi(cdb, nullptr, nullptr, false), 0x110D00);
}

std::uint32_t DriveCtrl::getLastWrittenDisc(std::uint8_t& slot) {
  std::string product;
  if (const std::uint32_t r = getProductID(product)) return r;
  nullCheck();
  std::vector<std::uint8_t> answer;
  const int r = m_device->readAttribute(0x0D00, answer, 1, nullptr);
  if (r != 0) return mapped(r, 0x110E01);
  slot = answer[9];
  return 0;
}

std::uint32_t DriveCtrl::currentSlot(std::uint8_t& slot, bool& loaded) {
  std::uint8_t cdb[kCdbLength] = {0xBD};
  putBe16(cdb + 8, 8);
  std::uint8_t answer[8] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x111000);
  if (length < 2) return kErrShortAnswer;
  loaded = (answer[1] >> 5) == 1;
  slot = static_cast<std::uint8_t>((answer[1] & 0x07) * 32u + (answer[0] & 0x1F));
  return 0;
}

std::uint32_t DriveCtrl::readFormatCapacityType(std::uint8_t& type) {
  std::uint8_t cdb[kCdbLength] = {0x23};
  putBe16(cdb + 7, 12);
  std::uint8_t answer[12] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x110300);
  if (length < 12 || answer[3] < 8) return kErrShortAnswer;
  type = answer[8] & 0x03;
  return 0;
}

bool DriveCtrl::testUnitReady() {
  openCheck();
  nullCheck();
  const int r = m_device->testUnitReady();
  if (r == kScsiSenseResult) {
    const std::uint8_t* sense = m_device->lastSense();
    KELSDK_LOG(kLogError, "CDB[0]=0x00 sense=%02X/%02X/%02X", sense[0], sense[1], sense[2]);
  } else if (r != 0) {
    KELSDK_LOG(kLogError, "CDB[0]=0x00 error=%d", r);
  }
  return r == 0;
}

std::uint32_t DriveCtrl::getPowInformation(std::uint32_t& mapEntries, std::uint32_t& updates) {
  std::uint8_t cdb[kCdbLength] = {0x51, 0x02};
  putBe16(cdb + 7, 16);
  std::uint8_t answer[16] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x110A02);
  if (length < 16) return kErrShortAnswer;
  mapEntries = be32(answer + 8);
  updates = be32(answer + 12);
  return 0;
}

std::uint32_t DriveCtrl::getOpcResourceCount(std::uint32_t& count) {
  const std::uint8_t cdb[kCdbLength] = {0xD5};
  std::uint8_t answer[16] = {};
  std::uint32_t length = sizeof answer;
  if (const int r = scsi(cdb, answer, &length, true)) return mapped(r, 0x111300);
  if (length < 2) return kErrShortAnswer;
  count = be16(answer);
  return 0;
}

bool DriveCtrl::volumeControl(std::uint32_t code, void* output, std::uint32_t capacity, std::uint32_t* returned) {
  return wrapperDeviceIoControl(volume(), code, nullptr, 0, output, capacity, returned);
}

std::uint32_t DriveCtrl::createNewTrack() {
  openCheck();
  if (wrapperDeviceIoControl(volume(), kCtlCreateNewTrack, nullptr, 0, nullptr, 0, nullptr)) return 0;
  return 0x120A00;
}

std::uint32_t DriveCtrl::sendVolumeControl() {
  openCheck();
  if (wrapperDeviceIoControl(volume(), kCtlVolumeControl, nullptr, 0, nullptr, 0, nullptr)) {
    m_volumeControl = true;
    return 0;
  }
  return GetLastError() == ERROR_ACCESS_DENIED ? 0x121601 : 0x121600;
}

std::uint32_t DriveCtrl::readAttribute(std::uint16_t id, std::uint8_t& kind, std::vector<std::uint8_t>& data) {
  openCheck();
  std::uint8_t input[4] = {};
  std::memcpy(input, &id, sizeof id);
  std::uint8_t answer[kAttributeAnswerSize] = {};
  std::uint32_t returned = 0;
  if (!wrapperDeviceIoControl(volume(), kCtlReadAttribute, input, sizeof input, answer, sizeof answer, &returned))
    return 0x121B00;
  std::uint32_t length = 0;
  std::memcpy(&length, answer + 4, sizeof length);
  if (returned < kAttributeAnswerData || length > returned - kAttributeAnswerData) return 0x121B00;
  kind = answer[2];
  data.assign(answer + kAttributeAnswerData, answer + kAttributeAnswerData + length);
  return 0;
}

std::uint32_t DriveCtrl::writeAttribute(std::uint16_t id, std::uint16_t value, std::uint32_t length, const void* data) {
  openCheck();
  if (length > 0xFFFF || (length && !data)) return 0x121C00;
  std::vector<std::uint8_t> input(8 + static_cast<std::size_t>(length));
  std::memcpy(input.data(), &id, 2);
  std::memcpy(input.data() + 2, &value, 2);
  std::memcpy(input.data() + 4, &length, 4);
  if (length) std::memcpy(input.data() + 8, data, length);
  if (wrapperDeviceIoControl(volume(), kCtlWriteAttribute, input.data(), static_cast<std::uint32_t>(input.size()),
                             nullptr, 0, nullptr))
    return 0;
  return 0x121C00;
}

bool DriveCtrl::getVolumeLabel(std::u16string&) { return false; }

bool DriveCtrl::setVolumeLabel(const std::u16string& name) {
  const std::string root = narrow(m_path) + "\\";
  KELSDK_LOG(kLogError, "SetVolumeLabelW(%s, %s) error GetLastError=%u", root.c_str(), narrow(name).c_str(),
             static_cast<unsigned>(ERROR_NOT_SUPPORTED));
  return false;
}

void DriveCtrl::lastProcess(bool refresh) noexcept {
  try {
    if (m_open) {
      if (m_volumeControl) openCheck();
      if (privileged && !suppressPrivilegedExit && doExitPrivilegedMode() == 0) privileged = false;
      if (dismountAtEnd && !suppressDismount) dismountVolume();
      if (!suppressRelease) released = false;
      if (!suppressLock) locked = false;
      if (!keepOpen) closeHandle();
    }
    if (refresh) {
      reopen();
      MDCFS_MOUNT_INFORMATION info{};
      if (getMountInformation(info) != 0) KELSDK_LOG(kLogError, "getMountInformation error");
      closeHandle();
    }
  } catch (...) {
    KELSDK_LOG(kLogCheck, "DriveCtrl::lastProcess exception");
  }
}

}  // namespace PxoUtilityLib
