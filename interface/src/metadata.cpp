// The metadata store and its files.
#include "kel/metadata.h"

#include "kel/config.h"
#include "kel/errors.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace kel {

namespace {

constexpr char kSignature[4] = {'Q', 'V', 'M', 'F'};
constexpr std::uint16_t kMajorVersion = 1;
constexpr std::uint16_t kMinorVersion = 1;
constexpr int kOpenRead = 1;

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void WriteU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

void LogLine(const FileSystemOperations* ops, unsigned level, unsigned line, const std::string& text) {
  if (!ops || !ops->LogMessage) return;
  std::u16string wide(text.begin(), text.end());
  ops->LogMessage(level, 0, __FILE__, static_cast<int>(line), wide.c_str());
}

}  // namespace

std::uint32_t MetaDataHeaderChecksum(const MetaDataFileHeader& header) {
  MetaDataFileHeader copy = header;
  copy.Checksum = 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&copy);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < sizeof copy; ++i) sum += bytes[i];
  return sum;
}

std::uint32_t ConfiguredObjectsPerFile() {
  const std::uint32_t v = getConfigLong(kObjectsPerFileSetting, kDefaultObjectsPerFile);
  return v == 0 ? kDefaultObjectsPerFile : v;
}

// ---------------------------------------------------------------- one file

CKelMetaData::CMetaDataFile::CMetaDataFile(CKelMetaData* owner, std::uint32_t file_index)
    : m_owner(owner), m_fileIndex(file_index) {}

CKelMetaData::CMetaDataFile::~CMetaDataFile() = default;

std::string CKelMetaData::CMetaDataFile::GetFileName() const {
  char name[32];
  std::snprintf(name, sizeof name, "QVMetaData%6.6u.dat", m_fileIndex);
  return name;
}

std::string CKelMetaData::CMetaDataFile::GetPath() const {
  return std::string(kMetaDataFolder) + "/" + GetFileName();
}

std::uint32_t CKelMetaData::CMetaDataFile::TakeRecords(const std::uint8_t* bytes, std::uint32_t length) {
  const std::uint32_t n = length / kMetaRecordBytes;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t* r = bytes + i * kMetaRecordBytes;
    SetEntry(ReadU32(r), ReadU32(r + 4), ReadU32(r + 8));
  }
  return n;
}

bool CKelMetaData::CMetaDataFile::ReadPiece(void* handle, std::uint8_t* buffer, std::uint64_t offset,
                                            const std::string& path, std::uint32_t* got) {
  const FileSystemOperations* ops = m_owner->m_ops;
  int done = 0;
  const int r = ops->ReadData(handle, buffer, offset, kMetaTransferBytes, &done);
  if (r != 0) {
    m_owner->Report(r, __LINE__);
    ops->CloseFile(handle, false);
    return false;
  }
  if (done < 0 || static_cast<std::uint32_t>(done) > kMetaTransferBytes) {
    // More than the buffer holds (or a negative count) is no count of
    // bytes read into it.
    LogLine(ops, 4, __LINE__,
            "metadata file " + path + ": read reports " + std::to_string(done) + " bytes of " +
                std::to_string(kMetaTransferBytes));
    ops->CloseFile(handle, false);
    return false;
  }
  *got = static_cast<std::uint32_t>(done);
  return true;
}

bool CKelMetaData::CMetaDataFile::TakeHeader(const std::uint8_t* buffer, std::uint32_t got, const std::string& path) {
  bool bad = got < kMetaHeaderBytes;
  if (!bad) {
    std::memcpy(&m_header, buffer, kMetaHeaderBytes);
    bad = std::memcmp(m_header.Signature, kSignature, 4) != 0 ||
          MetaDataHeaderChecksum(m_header) != m_header.Checksum || m_header.MajorVersion > kMajorVersion ||
          // a width of 0 cannot place any object
          m_header.ObjectsPerFile == 0;
  }
  m_headerPresent = !bad;
  if (bad) LogLine(m_owner->m_ops, 4, __LINE__, "metadata file " + path + " has no valid header");
  return !bad;
}

DWORD CKelMetaData::CMetaDataFile::FinishLoad(void* handle) {
  if (const int r = m_owner->m_ops->CloseFile(handle, false)) {
    m_owner->Report(r, __LINE__);
    return ERROR_FILE_NOT_FOUND;
  }
  return 0;
}

DWORD CKelMetaData::CMetaDataFile::Load() {
  const FileSystemOperations* ops = m_owner->m_ops;
  if (!ops || !ops->OpenFile || !ops->ReadData || !ops->CloseFile) return ERROR_FILE_NOT_FOUND;
  const std::string path = GetPath();
  void* handle = nullptr;
  if (const int r = ops->OpenFile(path.c_str(), kOpenRead, &handle)) {
    m_owner->Report(r, __LINE__);
    return ERROR_FILE_NOT_FOUND;
  }
  std::uint8_t* buffer = m_owner->TransferBuffer();
  if (!buffer) {
    ops->CloseFile(handle, false);
    return ERROR_FILE_NOT_FOUND;
  }

  std::lock_guard<platform::CriticalSection> lk(m_lock);
  std::uint64_t offset = 0;
  for (bool first = true;; first = false) {
    std::uint32_t got = 0;
    if (!ReadPiece(handle, buffer, offset, path, &got)) return ERROR_FILE_NOT_FOUND;
    if (got == 0) {
      if (m_headerPresent) return FinishLoad(handle);
      ops->CloseFile(handle, false);  // an empty file has no header
      return ERROR_FILE_NOT_FOUND;
    }
    std::uint32_t start = 0;
    if (first) {
      if (!TakeHeader(buffer, got, path)) {
        ops->CloseFile(handle, false);
        return ERROR_FILE_NOT_FOUND;
      }
      start = got < kMetaRecordsOffset ? got : kMetaRecordsOffset;
      offset = kMetaRecordsOffset;
    }
    const std::uint32_t taken = TakeRecords(buffer + start, got - start);
    offset += static_cast<std::uint64_t>(taken) * kMetaRecordBytes;
    if (taken == 0 && got > start) {
      // Fewer than 12 bytes after the last whole record: the file ends in
      // a cut record. Reading it again would return the same bytes for
      // ever, so the tail is left out.
      LogLine(ops, 4, __LINE__,
              "metadata file " + path + " ends in " + std::to_string(got - start) +
                  " bytes that are not a whole record; they are ignored");
      return FinishLoad(handle);
    }
  }
}

DWORD CKelMetaData::CMetaDataFile::InitHeader(std::uint32_t objects_per_file,
                                              const std::string& volume_id, std::uint32_t replica) {
  MetaDataFileHeader h{};
  std::memcpy(h.Signature, kSignature, 4);
  h.MajorVersion = kMajorVersion;
  h.MinorVersion = kMinorVersion;
  h.ObjectsPerFile = objects_per_file == kMetaUnknown ? kDefaultObjectsPerFile : objects_per_file;
  if (h.ObjectsPerFile == 0) return ERROR_INVALID_PARAMETER;
  if (volume_id.size() >= sizeof h.VolumeID || volume_id.find('\0') != std::string::npos)
    return ERROR_INVALID_PARAMETER;
  std::memcpy(h.VolumeID, volume_id.data(), volume_id.size());
  h.Replica = replica;
  h.Checksum = MetaDataHeaderChecksum(h);
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  m_header = h;
  m_headerPresent = true;
  return 0;
}

bool CKelMetaData::CMetaDataFile::SetEntry(std::uint32_t object_number, std::uint32_t generation,
                                           std::uint32_t version) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  auto [it, added] = m_records.try_emplace(object_number, generation, version);
  if (added) {
    m_order.push_back(object_number);
    return true;
  }
  if (it->second.first == generation && it->second.second == version) return false;
  it->second = {generation, version};
  return true;
}

bool CKelMetaData::CMetaDataFile::GetEntry(std::uint32_t object_number, std::uint32_t* generation,
                                           std::uint32_t* version) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  auto it = m_records.find(object_number);
  if (it == m_records.end()) return false;
  *generation = it->second.first;
  *version = it->second.second;
  return true;
}

std::size_t CKelMetaData::CMetaDataFile::RecordCount() {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  return m_order.size();
}

std::uint64_t CKelMetaData::CMetaDataFile::ImageLength() {
  return kMetaRecordsOffset + static_cast<std::uint64_t>(RecordCount()) * kMetaRecordBytes;
}

const std::uint8_t* CKelMetaData::CMetaDataFile::GetFileData(std::uint64_t offset, std::uint32_t* size) {
  std::uint8_t* buffer = m_owner->TransferBuffer();
  if (!buffer || !size) return nullptr;
  std::memset(buffer, 0, kMetaTransferBytes);
  if (offset == 0) {
    std::lock_guard<platform::CriticalSection> lk(m_lock);
    std::memcpy(buffer, &m_header, kMetaHeaderBytes);
    *size = kMetaRecordsOffset;
    return buffer;
  }
  if (offset < kMetaRecordsOffset || (offset - kMetaRecordsOffset) % kMetaRecordBytes != 0) {
    *size = 0;
    return nullptr;
  }
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  const std::uint64_t first = (offset - kMetaRecordsOffset) / kMetaRecordBytes;
  std::uint32_t written = 0;
  std::uint32_t count = 0;
  for (std::uint64_t k = first;
       k < m_order.size() && written < *size && count < kMetaRecordsPerPiece; ++k, ++count) {
    const std::uint32_t object = m_order[k];
    const auto& pair = m_records[object];
    std::uint8_t* r = buffer + written;
    WriteU32(r, object);
    WriteU32(r + 4, pair.first);
    WriteU32(r + 8, pair.second);
    written += kMetaRecordBytes;
  }
  *size = written;
  return buffer;
}

// ---------------------------------------------------------------- store

CKelMetaData::CKelMetaData(const FileSystemOperations* ops) : m_ops(ops) {}

CKelMetaData::~CKelMetaData() = default;

DWORD CKelMetaData::Report(int engine_result, unsigned line) {
  return ReportEngineErrorThrough(m_ops, engine_result, __FILE__, line);
}

std::uint8_t* CKelMetaData::TransferBuffer() {
  if (m_transfer && m_transferCapacity >= kMetaTransferBytes) return m_transfer.get();
  m_transfer.reset();
  m_transferCapacity = 0;
  m_transfer.reset(new (std::nothrow) std::uint8_t[kMetaTransferBytes]);
  if (m_transfer) m_transferCapacity = kMetaTransferBytes;
  return m_transfer.get();
}

std::uint32_t CKelMetaData::IndexOf(std::uint32_t object_number) const {
  const std::uint32_t width = m_objectsPerFile == kMetaUnknown || m_objectsPerFile == 0
                                  ? kDefaultObjectsPerFile
                                  : m_objectsPerFile;
  return object_number / width;
}

CKelMetaData::CMetaDataFile* CKelMetaData::File(std::uint32_t file_index) {
  auto it = m_files.find(file_index);
  return it == m_files.end() ? nullptr : it->second.get();
}

DWORD CKelMetaData::LoadOne(std::uint32_t file_index, bool create) {
  auto file = std::make_unique<CMetaDataFile>(this, file_index);
  bool is_new = false;
  DWORD e = file->Load();
  if (e == ERROR_FILE_NOT_FOUND) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    e = file->InitHeader(m_objectsPerFile, m_volumeId, m_replica);
    if (e) return e;
    is_new = true;
  } else if (e) {
    return e;
  }
  m_files[file_index] = std::move(file);
  if (is_new) MarkFileDirty(file_index);
  return 0;
}

DWORD CKelMetaData::LoadFile(std::uint32_t object_number, bool create, std::uint32_t file_index) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  if (file_index == kMetaUnknown) file_index = IndexOf(object_number);
  if (m_files.count(file_index)) return 0;
  DWORD e = LoadOne(file_index, create);
  if (e) return e;
  const MetaDataFileHeader& h = m_files[file_index]->Header();
  m_volumeId.assign(h.VolumeID, strnlen(h.VolumeID, sizeof h.VolumeID));
  m_replica = h.Replica;
  if (m_objectsPerFile != kMetaUnknown) return h.ObjectsPerFile == m_objectsPerFile ? 0 : 13;
  m_objectsPerFile = h.ObjectsPerFile;
  const std::uint32_t true_index = IndexOf(object_number);
  if (m_files.count(true_index)) return 0;
  return LoadOne(true_index, create);
}

DWORD CKelMetaData::LoadVolumeIdentity(KelVolumeInformation* volume) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  m_loadedInFull = false;
  DWORD e = LoadFile(volume->Info.LastFileIndex, false);
  if (e == ERROR_FILE_NOT_FOUND) e = LoadFile(0, false);
  if (e == ERROR_FILE_NOT_FOUND) return 0;
  if (e) return e;
  volume->QuorvelReplica = m_replica;
  std::memset(volume->QuorvelVolumeID, 0, sizeof volume->QuorvelVolumeID);
  std::memcpy(volume->QuorvelVolumeID, m_volumeId.data(),
              m_volumeId.size() < sizeof volume->QuorvelVolumeID ? m_volumeId.size()
                                                                  : sizeof volume->QuorvelVolumeID - 1);
  return 0;
}

DWORD CKelMetaData::LoadAll(KelVolumeInformation* volume) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  if (m_loadedInFull) return 0;
  if (m_objectsPerFile == kMetaUnknown) {
    const DWORD e = LoadVolumeIdentity(volume);
    if (e) return e;
  }
  const std::uint32_t last = IndexOf(volume->Info.LastFileIndex);
  for (std::uint32_t i = 0;; ++i) {
    const DWORD e = LoadFile(0, false, i);
    if (e && e != ERROR_FILE_NOT_FOUND) return e;
    if (i == last) break;
  }
  m_loadedInFull = true;
  return 0;
}

DWORD CKelMetaData::GetObjectVersion(std::uint32_t object_number, std::uint32_t* generation,
                                     std::uint32_t* version) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  *generation = kMetaUnknown;
  *version = kMetaUnknown;
  const DWORD e = LoadFile(object_number, false);
  if (e == ERROR_FILE_NOT_FOUND) return 0;
  if (e) return e;
  CMetaDataFile* file = File(IndexOf(object_number));
  if (!file) return ERROR_INTERNAL_ERROR;
  file->GetEntry(object_number, generation, version);
  return 0;
}

DWORD CKelMetaData::SetObjectVersion(std::uint32_t object_number, std::uint32_t generation,
                                     std::uint32_t version) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  const DWORD e = LoadFile(object_number, true);
  if (e) return e;
  const std::uint32_t index = IndexOf(object_number);
  CMetaDataFile* file = File(index);
  if (!file) return ERROR_INTERNAL_ERROR;
  if (file->SetEntry(object_number, generation, version)) MarkFileDirty(index);
  return 0;
}

void CKelMetaData::MarkFileDirty(std::uint32_t file_index) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  if (m_loadedInFull || m_dirty.count(file_index)) return;
  CMetaDataFile* file = File(file_index);
  if (file) m_dirty[file_index] = file;
}

std::vector<CKelMetaData::CMetaDataFile*> CKelMetaData::GetDirtyFiles() {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  std::vector<CMetaDataFile*> out;
  out.reserve(m_dirty.size());
  for (auto& [index, file] : m_dirty) out.push_back(file);
  return out;
}

void CKelMetaData::ClearFileDirty(std::uint32_t file_index) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  m_dirty.erase(file_index);
}

void CKelMetaData::DropLoadedFiles() {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  m_dirty.clear();
  m_files.clear();
  m_loadedInFull = false;
}

DWORD CKelMetaData::FormatIdentity(const std::string& volume_id, std::uint32_t replica,
                                   std::uint32_t objects_per_file) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  // The volume was emptied: what was loaded from it before is gone.
  DropLoadedFiles();
  m_replica = replica;
  m_volumeId = volume_id;
  m_objectsPerFile = objects_per_file == 0 ? kDefaultObjectsPerFile : objects_per_file;
  const DWORD e = LoadFile(0, true, kMetaUnknown);
  if (e) {
    m_replica = kMetaUnknown;
    m_volumeId.clear();
    return e;
  }
  MarkFileDirty(0);
  return 0;
}

}  // namespace kel
