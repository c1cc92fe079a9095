// The metadata files: the generation and version that the host gives every
// archived file, kept on the volume in "/$QuorvelData", one file per fixed
// range of object numbers.
//
// File "QVMetaData%6.6d.dat" (little-endian): a 52-byte header in front of
// 1024 bytes, then one 12-byte record per object number known to the file,
// in the order the numbers were first recorded. The store loads files on
// demand through the operation table, keeps them in memory, answers
// lookups, takes updates and hands the images of changed files to the
// writer (Format and Sync).
#pragma once

#include "kel/fsops.h"
#include "kel/response.h"
#include "platform/sync.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kel {

constexpr const char* kMetaDataFolder = "/$QuorvelData";
constexpr std::uint32_t kDefaultObjectsPerFile = 10752;
constexpr std::uint32_t kMetaUnknown = 0xFFFFFFFFu;
constexpr std::uint32_t kMetaHeaderBytes = 52;
constexpr std::uint32_t kMetaRecordsOffset = 1024;
constexpr std::uint32_t kMetaRecordBytes = 12;
constexpr std::uint32_t kMetaTransferBytes = 65536;
// Records in one piece of a file image (65,532 bytes).
constexpr std::uint32_t kMetaRecordsPerPiece = 5461;
// Configuration value of the width chosen at Format.
constexpr const char* kObjectsPerFileSetting = "Objects Per MetaData File";

#pragma pack(push, 1)
struct MetaDataFileHeader {
  char Signature[4];  // "QVMF"
  std::uint16_t MajorVersion;
  std::uint16_t MinorVersion;
  std::uint32_t Checksum;  // byte sum of the 52 bytes, this field as zero
  std::uint32_t ObjectsPerFile;
  char VolumeID[32];  // NUL-terminated, zero-filled
  std::uint32_t Replica;
};
static_assert(sizeof(MetaDataFileHeader) == 52, "metadata file header is 52 bytes");

struct MetaDataRecord {
  std::uint32_t ObjectNumber;
  std::uint32_t Generation;
  std::uint32_t Version;
};
static_assert(sizeof(MetaDataRecord) == 12, "metadata record is 12 bytes");
#pragma pack(pop)

// Checksum of a header: the sum of its 52 bytes as unsigned bytes, with the
// checksum field counted as zero.
std::uint32_t MetaDataHeaderChecksum(const MetaDataFileHeader& header);

// The width to use for a new volume: the configuration value
// "Objects Per MetaData File"; 0 there (or no value) means 10752.
std::uint32_t ConfiguredObjectsPerFile();

class CKelMetaData {
 public:
  class CMetaDataFile {
   public:
    CMetaDataFile(CKelMetaData* owner, std::uint32_t file_index);
    virtual ~CMetaDataFile();
    CMetaDataFile(const CMetaDataFile&) = delete;
    CMetaDataFile& operator=(const CMetaDataFile&) = delete;

    std::uint32_t FileIndex() const { return m_fileIndex; }
    bool HeaderPresent() const { return m_headerPresent; }
    const MetaDataFileHeader& Header() const { return m_header; }
    // "QVMetaData%6.6d.dat" of the file index.
    std::string GetFileName() const;
    // "/$QuorvelData/" + GetFileName().
    std::string GetPath() const;

    // Reads the file through the operation table: 0, or 2 when it cannot be
    // read (absent, read error, short or bad header, newer major version,
    // objects per file 0, close error, a read that reports more bytes than
    // were asked for or fewer than none).
    DWORD Load();
    // A new header; objects per file 0xFFFFFFFF stands for 10752. 87 (and
    // no header) for objects per file 0 or a volume identifier of 32 bytes
    // or more.
    DWORD InitHeader(std::uint32_t objects_per_file, const std::string& volume_id,
                     std::uint32_t replica);
    // true when a record was added or its pair changed.
    bool SetEntry(std::uint32_t object_number, std::uint32_t generation, std::uint32_t version);
    // false when the file has no record of the object.
    bool GetEntry(std::uint32_t object_number, std::uint32_t* generation,
                  std::uint32_t* version);
    std::size_t RecordCount();
    // Bytes of the whole image: 1024 + 12 per object number.
    std::uint64_t ImageLength();
    // The piece of the image that starts at offset (0, or 1024 + 12 k), in
    // the store's transfer buffer; *size is the requested length on entry
    // and the piece's length on return. nullptr when the buffer cannot be
    // had or the offset is not a piece boundary.
    const std::uint8_t* GetFileData(std::uint64_t offset, std::uint32_t* size);

   private:
    // Takes the whole records of bytes[0, length); returns the count taken.
    std::uint32_t TakeRecords(const std::uint8_t* bytes, std::uint32_t length);
    // The steps of Load. One piece of the file read at offset into buffer
    // (*got bytes); false, with the file closed, when the read fails.
    bool ReadPiece(void* handle, std::uint8_t* buffer, std::uint64_t offset, const std::string& path,
                   std::uint32_t* got);
    // The header at the start of the first piece taken; false when there
    // is none that is valid.
    bool TakeHeader(const std::uint8_t* buffer, std::uint32_t got, const std::string& path);
    // The file closed at the end of a load: 0, or ERROR_FILE_NOT_FOUND.
    DWORD FinishLoad(void* handle);

    CKelMetaData* m_owner;
    std::uint32_t m_fileIndex;
    bool m_headerPresent = false;
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> m_records;
    std::vector<std::uint32_t> m_order;
    MetaDataFileHeader m_header{};
    platform::CriticalSection m_lock;
  };

  // ops: the table the files are read through (the interface's own copy,
  // which outlives the store).
  explicit CKelMetaData(const FileSystemOperations* ops);
  virtual ~CKelMetaData();
  CKelMetaData(const CKelMetaData&) = delete;
  CKelMetaData& operator=(const CKelMetaData&) = delete;

  // All results are Win32 codes. The caller holds Lock().
  DWORD LoadFile(std::uint32_t object_number, bool create, std::uint32_t file_index = kMetaUnknown);
  DWORD LoadVolumeIdentity(KelVolumeInformation* volume);
  DWORD LoadAll(KelVolumeInformation* volume);
  DWORD GetObjectVersion(std::uint32_t object_number, std::uint32_t* generation,
                         std::uint32_t* version);
  DWORD SetObjectVersion(std::uint32_t object_number, std::uint32_t generation,
                         std::uint32_t version);
  void MarkFileDirty(std::uint32_t file_index);
  std::vector<CMetaDataFile*> GetDirtyFiles();
  void ClearFileDirty(std::uint32_t file_index);
  // Forgets the loaded files, the changed set and the loaded-in-full mark
  // (the identity and width stay): the files belong to a state of the
  // volume that is no longer mounted.
  void DropLoadedFiles();
  // The store's part of Format, on the emptied volume: the files loaded
  // before are dropped, a new identity and width (0 means 10752) taken, and
  // file 0 made new and marked changed. On failure the identity is cleared.
  DWORD FormatIdentity(const std::string& volume_id, std::uint32_t replica,
                       std::uint32_t objects_per_file);

  platform::CriticalSection& Lock() { return m_lock; }
  std::uint32_t ObjectsPerFile() const { return m_objectsPerFile; }
  const std::string& VolumeIdentifier() const { return m_volumeId; }
  std::uint32_t ReplicaNumber() const { return m_replica; }
  bool LoadedInFull() const { return m_loadedInFull; }
  // The loaded file of an index, or nullptr.
  CMetaDataFile* File(std::uint32_t file_index);
  std::size_t LoadedFileCount() const { return m_files.size(); }

 private:
  friend class CMetaDataFile;
  // The file index of an object number under the current width (10752
  // while it is not known).
  std::uint32_t IndexOf(std::uint32_t object_number) const;
  // Loads (or, with create, makes) the file of one index into the map.
  DWORD LoadOne(std::uint32_t file_index, bool create);
  // The transfer buffer, allocated at first use; nullptr when it cannot be.
  std::uint8_t* TransferBuffer();
  DWORD Report(int engine_result, unsigned line);

  const FileSystemOperations* m_ops;
  std::uint32_t m_objectsPerFile = kMetaUnknown;
  std::string m_volumeId;
  std::uint32_t m_replica = kMetaUnknown;
  std::map<std::uint32_t, std::unique_ptr<CMetaDataFile>> m_files;
  std::map<std::uint32_t, CMetaDataFile*> m_dirty;
  std::unique_ptr<std::uint8_t[]> m_transfer;
  std::uint32_t m_transferCapacity = 0;
  bool m_loadedInFull = false;
  platform::CriticalSection m_lock;
};

}  // namespace kel
