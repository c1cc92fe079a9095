// XML elements written to the host on standard output, each followed by one
// NUL byte. One class per kind of element; Send builds the element text once
// into a growing buffer and writes it with one write under the process-wide
// standard-output lock.
#pragma once

#include "kel/fsops.h"
#include "platform/sync.h"
#include "platform/win32.h"

#include <cstdint>
#include <cstdio>

namespace kel {

#pragma pack(push, 1)
// The interface's volume information: the engine's record, then the replica
// number and the volume identifier of the last Format.
struct KelVolumeInformation {
  KELFS_VOLUME_INFO Info;
  std::uint32_t QuorvelReplica;
  char QuorvelVolumeID[32];  // NUL-terminated
};
static_assert(sizeof(KelVolumeInformation) == 4312 + 4 + 32);

// A time as the responses write it: seconds, then the sub-second count.
struct KelTime {
  std::uint64_t Seconds;
  std::uint32_t Fraction;
  std::uint32_t Reserved;
};
static_assert(sizeof(KelTime) == 16);

// The record behind "KelSync".
struct KelSyncRecord {
  std::uint32_t Dirty;
  std::uint32_t Reserved;
  std::uint64_t BlockNumber;
  std::uint64_t NextWritableBlock;
};
static_assert(sizeof(KelSyncRecord) == 24);

// The record behind "KelFragment" (one per Archive or Restore request).
struct KelFragmentRecord {
  std::uint64_t FragmentFileSize;
  std::uint64_t BlockNumber;
  KelTime ModificationTime;
  std::uint32_t IOSize;
  std::uint32_t BytesTransferred;
  std::uint32_t ErrorCode;  // not written to the element
  std::uint32_t Reserved1;
  void* Buffer;
  std::uint32_t isPackedWrite;
  std::uint32_t Reserved2;
};
static_assert(sizeof(KelFragmentRecord) == 64);

// A rollback point as "KelRollbackInfo" reads it: three 32-bit numbers. The
// drive utility library's _KEL_SDK_ROLLBACK_INFO (a byte slot number with
// three zero bytes after it, then the two locations) reads the same.
struct KelRollbackRecord {
  std::uint32_t SlotNumber;
  std::uint32_t MetaDataFE_LSN;
  std::uint32_t FsdLsn;
};
static_assert(sizeof(KelRollbackRecord) == 12);

// The version triple in front of a listed object.
struct KelDirentHeader {
  std::uint32_t Fragment;
  std::uint32_t Generation;
  std::uint32_t Version;
  std::uint32_t Reserved;
};
static_assert(sizeof(KelDirentHeader) == 16);
#pragma pack(pop)

// The lock held around every write to standard output in the process.
platform::CriticalSection& StdoutLock();
// The stream the elements go to (standard output unless a test sets another;
// nullptr restores standard output).
void SetResponseStream(std::FILE* stream);
std::FILE* ResponseStream();

class CServiceXMLResponse {
 public:
  CServiceXMLResponse(const char* element_name, std::uint64_t sequence_number);
  virtual ~CServiceXMLResponse();
  CServiceXMLResponse(const CServiceXMLResponse&) = delete;
  CServiceXMLResponse& operator=(const CServiceXMLResponse&) = delete;

  // Builds the element (once), writes it with its NUL and flushes. 0 when
  // written; 8 (no memory) or 1359 when building failed
  // (nothing is written then); the stream's error indicator (or 29) after a
  // short write or a failed flush.
  DWORD Send();

  // The element text built so far (for tests and logs).
  const char* text() const { return buffer_ ? buffer_ : ""; }
  std::uint64_t size() const { return used_; }

 protected:
  virtual DWORD writeAttributes() = 0;
  virtual DWORD writeContent() = 0;

  // How text is escaped. Every mode writes < > & ' " as entities and a
  // character XML 1.0 cannot carry (controls other than TAB, LF and CR,
  // surrogates, U+FFFE, U+FFFF) never raw: Content and Text write U+FFFD in
  // its place, Name writes "&amp;#N;", the reference that UnescapeName undoes
  // when the host sends the name back, and escapes an '&' that starts such a
  // reference once more. Attribute modes (Text, Name) also write TAB, LF and
  // CR as character references. Bytes that are not UTF-8 become U+FFFD.
  enum class Escape { Content, Text, Name };
  // Appends ' name="value"' with the value escaped as Text; the name is not
  // escaped.
  DWORD WriteAttribute(const char* name, const char* value, std::size_t length);
  DWORD WriteAttribute(const char* name, const char* value);
  // The same for a file or volume name (escaped as Name).
  DWORD WriteName(const char* name, const char* value, std::size_t length);
  DWORD WriteAttributeAs(const char* name, const char* value, std::size_t length, Escape mode);
  DWORD WriteU32(const char* name, std::uint32_t v);
  DWORD WriteU64(const char* name, std::uint64_t v);
  DWORD WriteI32(const char* name, std::int32_t v);
  DWORD WriteTime(const char* name, std::uint64_t seconds, std::uint32_t fraction);
  DWORD WritePointer(const char* name, const void* p);
  DWORD AppendRaw(const char* text);
  DWORD AppendBytes(const char* bytes, std::size_t length);
  // Escapes as Content.
  DWORD AppendEscaped(const char* bytes, std::size_t length);
  DWORD AppendEscapedAs(const char* bytes, std::size_t length, Escape mode);
  // The same on UTF-16 text, converted to UTF-8 (an unpaired surrogate
  // becomes U+FFFD).
  DWORD AppendEscapedWide(const WCHAR* text, std::size_t length);
  DWORD Reserve(std::size_t count);

  const char* element_name_;
  std::uint64_t sequence_number_;

 private:
  DWORD Build();
  void Reset();

  std::uint64_t used_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t reserved_ = 0;
  char* buffer_ = nullptr;
};

class CServiceSuccessResponse : public CServiceXMLResponse {
 public:
  explicit CServiceSuccessResponse(std::uint64_t seq) : CServiceXMLResponse("KelSuccess", seq) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }
};

class CServiceShutdownResponse : public CServiceXMLResponse {
 public:
  explicit CServiceShutdownResponse(std::uint64_t seq) : CServiceXMLResponse("Shutdown", seq) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }
};

// A debug message; element_name is "Internal", "Error", "Warning" or "Trace".
// Its content is the text with trailing white space removed, escaped.
class CServiceDebugReponse : public CServiceXMLResponse {
 public:
  CServiceDebugReponse(const char* element_name, std::uint64_t seq, const char* text)
      : CServiceXMLResponse(element_name, seq), narrow_(text) {}
  CServiceDebugReponse(const char* element_name, std::uint64_t seq, const WCHAR* text)
      : CServiceXMLResponse(element_name, seq), wide_(text) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override;

 private:
  const char* narrow_ = nullptr;
  const WCHAR* wide_ = nullptr;
};

class CServiceHRESULTResponse : public CServiceXMLResponse {
 public:
  CServiceHRESULTResponse(std::uint64_t seq, HRESULT hr)
      : CServiceXMLResponse("HRESULT", seq), hr_(hr) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }

 private:
  HRESULT hr_;
};

class CServiceVolumeResponse : public CServiceXMLResponse {
 public:
  CServiceVolumeResponse(std::uint64_t seq, const KelVolumeInformation* volume)
      : CServiceXMLResponse("KelVolume", seq), volume_(volume) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }

 private:
  const KelVolumeInformation* volume_;
};

class CServiceSyncResponse : public CServiceXMLResponse {
 public:
  CServiceSyncResponse(std::uint64_t seq, const KelSyncRecord* sync)
      : CServiceXMLResponse("KelSync", seq), sync_(sync) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }

 private:
  const KelSyncRecord* sync_;
};

class CServiceFragmentResponse : public CServiceXMLResponse {
 public:
  CServiceFragmentResponse(std::uint64_t seq, const KelFragmentRecord* fragment)
      : CServiceXMLResponse("KelFragment", seq), fragment_(fragment) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }

 private:
  const KelFragmentRecord* fragment_;
};

class CServiceRollbackInfoResponse : public CServiceXMLResponse {
 public:
  CServiceRollbackInfoResponse(std::uint64_t seq, const KelRollbackRecord* point)
      : CServiceXMLResponse("KelRollbackInfo", seq), point_(point) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }

 private:
  const KelRollbackRecord* point_;
};

// "SequenceNumber", then the extent count and at most max_entries extents.
class CServiceSpaceEntriesResponse : public CServiceXMLResponse {
 public:
  CServiceSpaceEntriesResponse(const char* element_name, std::uint64_t seq,
                               std::uint32_t max_entries, const KELFS_SPACE_ENTRIES* entries)
      : CServiceXMLResponse(element_name, seq), max_entries_(max_entries), entries_(entries) {}

 protected:
  DWORD writeAttributes() override;
  DWORD writeContent() override { return 0; }

  std::uint32_t max_entries_;
  const KELFS_SPACE_ENTRIES* entries_;
};

class CServiceObjectResponse : public CServiceSpaceEntriesResponse {
 public:
  CServiceObjectResponse(const char* element_name, std::uint64_t seq, std::uint32_t max_entries,
                         const KELFS_OBJECT_INFO* object)
      : CServiceSpaceEntriesResponse(element_name, seq, max_entries, &object->SpaceEntries),
        object_(object) {}

 protected:
  DWORD writeAttributes() override;

  const KELFS_OBJECT_INFO* object_;
};

class CServiceArchiveResponse : public CServiceObjectResponse {
 public:
  CServiceArchiveResponse(std::uint64_t seq, std::uint32_t max_entries,
                          const KELFS_OBJECT_INFO* object)
      : CServiceObjectResponse("KelArchive", seq, max_entries, object) {}
};

class CServiceDirentResponse : public CServiceObjectResponse {
 public:
  CServiceDirentResponse(std::uint64_t seq, std::uint32_t max_entries,
                         const KelDirentHeader* versions, const KELFS_OBJECT_INFO* object)
      : CServiceObjectResponse("KelDirent", seq, max_entries, object), versions_(versions) {}

 protected:
  DWORD writeAttributes() override;

 private:
  const KelDirentHeader* versions_;
};

}  // namespace kel
