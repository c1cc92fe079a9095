// The SCSI device of the library (commands through the host service's pipe)
// and the device file of the class interface.
#pragma once

#include "sdk_frame.h"

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kel {
class CQVServiceInterface;
}

namespace PxoUtilityLib {

// The library's own client of the host service, built on first use.
kel::CQVServiceInterface& sdkServiceInterface();

// Results of the command operations besides 0, 2 (sense) and Win32 errors.
constexpr int kScsiShortAnswer = -2;
constexpr int kScsiOtherAttribute = -3;
constexpr int kScsiSenseResult = 2;

// Sense capacity of every command.
constexpr std::uint8_t kSenseCapacity = 18;

// Time-out of a command in seconds, by its operation code.
std::uint32_t commandTimeoutSeconds(const std::uint8_t* cdb, int cdbLength);

class SptiCtrl {
 public:
  virtual ~SptiCtrl() = default;
  // 0 done without sense; 2 sense came back (key, ASC, ASCQ in sense[0..2],
  // information bytes in information[0..3] when given); else the Win32
  // error of the request. *transferLength: in the bytes asked, out the
  // bytes received.
  virtual int passThrough(const std::uint8_t* cdb, int cdbLength, void* data, std::uint32_t* transferLength,
                          std::uint8_t* sense, std::uint8_t* information, bool dataIn) = 0;
  virtual void setHandle(HANDLE* handle);

  // Standard INQUIRY: product (16 bytes at 16) and revision (4 at 32),
  // trimmed; the product is kept. Needs 36 bytes.
  int readInquiry(std::string& product, std::string& revision);
  // Unit serial number page (80h), allocation 32 on the latest models,
  // else 20.
  int readSerialNumber(std::string& serial);
  // Cartridge-memory attribute `id` with room for `length` value bytes:
  // buffer holds the answer (value from byte 9). 0, -2 short, -3 another
  // identifier, or the transport result.
  int readAttribute(std::uint16_t id, std::vector<std::uint8_t>& buffer, std::uint32_t length, std::uint8_t* sense);

  const std::string& productId() const { return m_product; }
  void setProductId(const std::string& product) { m_product = product; }
  HANDLE handle() const { return m_handle; }

 protected:
  HANDLE m_handle = INVALID_HANDLE_VALUE;
  std::string m_name;
  std::string m_product;
  std::u16string m_wideName;
};

class SptiCtrlDevice : public SptiCtrl {
 public:
  explicit SptiCtrlDevice(std::u16string deviceName) : m_deviceName(std::move(deviceName)) {}
  int passThrough(const std::uint8_t* cdb, int cdbLength, void* data, std::uint32_t* transferLength,
                  std::uint8_t* sense, std::uint8_t* information, bool dataIn) override;
  // Reads the device name as "/dev/sd%p" into the medium cookie; true when
  // exactly one value was read.
  virtual bool open();
  virtual bool openWithHandle(HANDLE* handle);
  virtual bool close();
  virtual bool reserved() { return false; }

  std::uint64_t cookie() const { return m_cookie; }
  const std::u16string& deviceName() const { return m_deviceName; }
  // Key, ASC and ASCQ of the last CHECK CONDITION (zeros after a command
  // without one).
  const std::uint8_t* lastSense() const { return m_lastSense; }
  // TEST UNIT READY until the drive answers other than a unit attention or
  // a disc becoming ready. A drive reports a unit attention once, on its
  // first command after the event (its power-on 06/29/00, a disc change
  // 06/28/00): it is asked again at once. A loaded disc spins up first
  // (02/04/01): it is asked again every kReadyPollMs, kReadyWaitMs at most.
  // The last answer's result (0 ready), its sense in lastSense().
  int testUnitReady();
  static constexpr std::uint32_t kReadyPollMs = 100;
  static constexpr std::uint32_t kReadyWaitMs = 60000;

 private:
  std::uint64_t m_cookie = 0;
  std::u16string m_deviceName;
  std::uint8_t m_lastSense[3] = {0, 0, 0};
};

// Trims leading and trailing blanks.
std::string trimBlanks(const std::string& text);
// True for "X:" and "X:\..." (a drive letter).
bool isDrivePath(const std::u16string& path);

}  // namespace PxoUtilityLib

namespace kelutil {

// The device file of the class interface: one SCSI device opened on a device
// name, or a file handle opened for reading.
class KelFile {
 public:
  explicit KelFile(std::u16string path) : m_path(std::move(path)) {}
  virtual ~KelFile();
  KelFile(const KelFile&) = delete;
  KelFile& operator=(const KelFile&) = delete;

  void Open();
  void ReadOpen();
  void Close();
  std::uint64_t GetSize();
  bool getDrive(std::u16string& drive) const;

  const std::u16string& path() const { return m_path; }
  PxoUtilityLib::SptiCtrlDevice* device() const { return m_device; }

 private:
  void release();
  std::u16string m_path;
  int m_fd = -1;
  PxoUtilityLib::SptiCtrlDevice* m_device = nullptr;
};

}  // namespace kelutil
