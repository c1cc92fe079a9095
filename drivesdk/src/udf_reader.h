// Views of UDF descriptors (ECMA-167) inside a DataArray, their tag checks,
// and the reader of the anchor and a volume descriptor sequence of one slot.
#pragma once

#include "data_array.h"

#include <cstdint>
#include <memory>

namespace PxoUtilityLib {

class DriveCtrl;

// Raw sizes views are made with.
constexpr std::size_t kVdsSectorBytes = 2048;
constexpr std::size_t kPvdBytes = 512;
constexpr std::size_t kPdBytes = 512;
constexpr std::size_t kLvdBytes = 440;
constexpr std::size_t kAvdpBytes = 512;
constexpr std::size_t kEahBytes = 80;

// Whether the descriptor of length bytes at raw holds its tag: the tag
// checksum, and the CRC over the CRC length, which must lie inside it.
bool descriptorTagHolds(const std::uint8_t* raw, std::size_t length);

class DescriptorBase {
 public:
  DescriptorBase(DataArray& array, std::size_t offset, std::size_t length);
  virtual ~DescriptorBase() = default;
  // The ECMA-167 tag identifier of the kind.
  virtual std::uint16_t kindIdentifier() const = 0;

  // Checksum, CRC length within the view, and CRC.
  bool checkDescriptorTag() const;
  // Sets the CRC over the stored CRC length, then the checksum.
  void recomputeTag();

  std::uint16_t tagIdentifier() const { return u16(0); }
  std::uint16_t tagSerial() const { return u16(6); }
  std::uint16_t crcLength() const { return u16(10); }
  std::size_t offset() const { return m_offset; }
  std::size_t length() const { return m_length; }
  const std::uint8_t* raw() const { return m_raw; }

 protected:
  std::uint16_t u16(std::size_t at) const;
  std::uint32_t u32(std::size_t at) const;
  std::uint64_t u64(std::size_t at) const;

  DataArray* m_array;
  std::size_t m_offset;
  std::size_t m_length;
  std::uint8_t* m_raw;
};

template <std::uint16_t Id>
class DescriptorOf : public DescriptorBase {
 public:
  using DescriptorBase::DescriptorBase;
  static constexpr std::uint16_t kId = Id;
  std::uint16_t kindIdentifier() const override { return Id; }
};

class PVDDescriptor : public DescriptorOf<1> {
 public:
  using DescriptorOf::DescriptorOf;
  std::uint16_t volumeSequenceNumber() const { return u16(56); }
};
class AVDPDescriptor : public DescriptorOf<2> {
 public:
  using DescriptorOf::DescriptorOf;
  std::uint32_t mainLength() const { return u32(16); }
  std::uint32_t mainLocation() const { return u32(20); }
  std::uint32_t reserveLength() const { return u32(24); }
  std::uint32_t reserveLocation() const { return u32(28); }
};
class PDDescriptor : public DescriptorOf<5> {
 public:
  using DescriptorOf::DescriptorOf;
};
class LVDDescriptor : public DescriptorOf<6> {
 public:
  using DescriptorOf::DescriptorOf;
  std::uint32_t numberOfPartitionMaps() const { return u32(268); }
};
class TDDescriptor : public DescriptorOf<8> {
 public:
  using DescriptorOf::DescriptorOf;
};
class LVIDDescriptor : public DescriptorOf<9> {
 public:
  using DescriptorOf::DescriptorOf;
};
class EAHDescriptor : public DescriptorOf<262> {
 public:
  using DescriptorOf::DescriptorOf;
};
class UnknownDescriptor : public DescriptorOf<0> {
 public:
  using DescriptorOf::DescriptorOf;
};

// A short (8 bytes) and a long (16 bytes) allocation descriptor.
struct ShortAD {
  std::uint32_t length;
  std::uint32_t position;
};
struct LongAD {
  std::uint32_t length;
  std::uint32_t block;
  std::uint16_t partition;
  std::uint8_t implementationUse[6];
};

// File Entry and Extended File Entry: the fields at their own places, and
// the allocation descriptors after the extended attributes.
class FileEntryDescriptor : public DescriptorBase {
 public:
  using DescriptorBase::DescriptorBase;
  const std::uint8_t* icbTag() const { return m_array->getArray(m_offset + 16, 20); }
  virtual std::uint32_t lengthOfExtendedAttributes() const = 0;
  virtual std::uint32_t lengthOfAllocationDescriptors() const = 0;
  virtual std::size_t fixedPartSize() const = 0;
  virtual const std::uint8_t* modificationTime() const = 0;
  virtual const std::uint8_t* implementationIdentifier() const = 0;
  virtual std::uint64_t informationLength() const = 0;
  // std::out_of_range beyond the allocation descriptor length.
  ShortAD getShortAD(std::size_t index) const;
  LongAD getLongAD(std::size_t index) const;

 private:
  const std::uint8_t* allocationDescriptor(std::size_t index, std::size_t size, const char* what) const;
};

class FEDescriptor : public FileEntryDescriptor {
 public:
  using FileEntryDescriptor::FileEntryDescriptor;
  static constexpr std::uint16_t kId = 261;
  std::uint16_t kindIdentifier() const override { return kId; }
  std::uint32_t lengthOfExtendedAttributes() const override { return u32(168); }
  std::uint32_t lengthOfAllocationDescriptors() const override { return u32(172); }
  std::size_t fixedPartSize() const override { return 176; }
  const std::uint8_t* modificationTime() const override { return m_array->getArray(m_offset + 84, 12); }
  const std::uint8_t* implementationIdentifier() const override { return m_array->getArray(m_offset + 128, 32); }
  std::uint64_t informationLength() const override { return u64(56); }
};

class EXFEDescriptor : public FileEntryDescriptor {
 public:
  using FileEntryDescriptor::FileEntryDescriptor;
  static constexpr std::uint16_t kId = 266;
  std::uint16_t kindIdentifier() const override { return kId; }
  std::uint32_t lengthOfExtendedAttributes() const override { return u32(208); }
  std::uint32_t lengthOfAllocationDescriptors() const override { return u32(212); }
  std::size_t fixedPartSize() const override { return 216; }
  const std::uint8_t* modificationTime() const override { return m_array->getArray(m_offset + 92, 12); }
  const std::uint8_t* implementationIdentifier() const override { return m_array->getArray(m_offset + 168, 32); }
  std::uint64_t informationLength() const override { return u64(56); }
};

// A view of the File Entry or Extended File Entry at offset in array (one
// sector); null for any other tag. Its tag is not checked here.
std::unique_ptr<FileEntryDescriptor> fileEntryView(DataArray& array, std::size_t offset);

// Extent of a descriptor sequence: length in bytes, first sector.
struct VdsExtent {
  std::uint32_t length = 0;
  std::uint32_t location = 0;
};

// Where a slot's volume keeps its files, from one volume descriptor
// sequence: the partition start (PD), the metadata partition's reference and
// the LSN of its metadata file's entry (the LVD's type-2 map), and the file
// set descriptor's place (the LVD's logical volume contents use).
struct VolumeLayout {
  std::uint32_t partitionStart = 0;
  bool partitionKnown = false;  // the sequence passed its checks
  std::uint16_t metadataPartition = 0;
  std::uint32_t metadataFile = 0;
  LongAD fileSet{};
};

class UDFReader {
 public:
  UDFReader(DriveCtrl& drive, std::uint8_t slot, bool readReserve)
      : m_readReserve(readReserve), m_drive(&drive), m_slot(slot) {}
  virtual ~UDFReader() = default;

  // The AVDP at sector 256.
  bool readAVDP1(VdsExtent& mvds, VdsExtent& rvds, std::uint16_t& serial);
  // The AVDP at sector N (the last LBA); 0 or a code (0x230001 when its
  // checks fail).
  std::uint32_t readAVDPN(VdsExtent& mvds, VdsExtent& rvds, std::uint16_t& serial);
  // Scans `count` sectors of buffer from sector `first`; the kept PVD, LVD
  // and (when pd is given) PD go to the caller.
  bool checkVDS(DataArray& buffer, std::uint32_t first, std::uint32_t count, std::unique_ptr<PVDDescriptor>& pvd,
                std::unique_ptr<LVDDescriptor>& lvd, std::unique_ptr<PDDescriptor>* pd = nullptr);
  // Reads the sequence at extent (it must end by the disc's last sector N)
  // and takes the layout from it. False, logged, when it cannot be read,
  // fails checkVDS or has no metadata partition map (partitionKnown then
  // tells whether the partition start was taken).
  bool readVolumeLayout(const VdsExtent& extent, VolumeLayout& layout);

 private:
  bool chekAVDP(const AVDPDescriptor& avdp);
  bool readAVDPAt(std::uint32_t lsn, VdsExtent& mvds, VdsExtent& rvds, std::uint16_t& serial, std::uint32_t& code);

  bool m_readReserve;
  DriveCtrl* m_drive;
  std::uint8_t m_slot;
};

}  // namespace PxoUtilityLib
