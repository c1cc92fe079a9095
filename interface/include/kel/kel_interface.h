// The request interface: one object serves the host's requests for the life
// of an engine process. It reads one XML request per line of its input
// stream (standard input), turns it into the current request and dispatches
// it; handlers answer with the elements of kel/response.h.
#pragma once

#include "kel/fsops.h"
#include "kel/request.h"
#include "kel/response.h"
#include "platform/sync.h"
#include "platform/xml_sax.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CKelInterface;

namespace kel {
struct HandlerState;
HandlerState& HandlerStateOf(CKelInterface& itf);
}  // namespace kel

namespace kel {

// The request handlers the loop dispatches to, one entry per served opcode,
// with the parameters the loop hands each. Results are not looked at: a
// handler answers the host itself. An entry left empty makes the loop treat
// its opcode as not served.
struct RequestHandlers {
  // "Check" and "Recognise".
  HRESULT (*Check)(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie) = nullptr;
  HRESULT (*Format)(CKelInterface& itf, std::uint64_t seq, const char* volume_id,
                    std::uint32_t replica) = nullptr;
  HRESULT (*Archive)(CKelInterface& itf, std::uint64_t seq, const char* name,
                     std::uint32_t fragment, std::uint32_t generation, std::uint32_t version,
                     std::uint32_t kernel_interface, std::uint64_t block_number,
                     std::uint64_t creation_time, std::uint64_t modification_time) = nullptr;
  // "Restore" and "Verify" (offset 0 and length 0).
  HRESULT (*Restore)(CKelInterface& itf, std::uint64_t seq, const char* name,
                     std::uint32_t generation, std::uint32_t version, std::uint64_t fragment_offset,
                     std::uint64_t length) = nullptr;
  HRESULT (*Rename)(CKelInterface& itf, std::uint64_t seq, const char* name, const char* new_name,
                    std::uint32_t old_generation, std::uint32_t old_version,
                    std::uint32_t new_generation, std::uint32_t new_version) = nullptr;
  HRESULT (*Delete)(CKelInterface& itf, std::uint64_t seq, const char* name,
                    std::uint32_t generation, std::uint32_t version) = nullptr;
  HRESULT (*CreateDirectory)(CKelInterface& itf, std::uint64_t seq, const char* name) = nullptr;
  HRESULT (*RenameDirectory)(CKelInterface& itf, std::uint64_t seq, const char* name,
                             const char* new_name) = nullptr;
  HRESULT (*DeleteDirectory)(CKelInterface& itf, std::uint64_t seq, const char* name) = nullptr;
  HRESULT (*Sync)(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie,
                  std::string reason) = nullptr;
  HRESULT (*ReadDirectory)(CKelInterface& itf, std::uint64_t seq, const char* name) = nullptr;
  HRESULT (*GetVolumeInfo)(CKelInterface& itf, std::uint64_t seq) = nullptr;
  HRESULT (*GetRollbackInfo)(CKelInterface& itf, std::uint64_t seq,
                             const char* medium_cookie) = nullptr;
  HRESULT (*RollbackMount)(CKelInterface& itf, std::uint64_t seq, std::uint32_t slot,
                           std::uint32_t metadata_fe_lsn, std::uint32_t fsd_lsn) = nullptr;
  HRESULT (*UpdateArchiveInfo)(CKelInterface& itf, std::uint64_t seq, const char* name) = nullptr;
  // Run before the Unmount slot by "UnmountVolume" and by every other end of
  // the loop (a line that does not parse, the end of input, an opcode not
  // served, a handler's stop): ends what the handlers left open on the
  // volume (the writer's packed session, its writer thread with it) and
  // saves what they answered (the changed metadata files). A failure the
  // host was not told of (archived files lost, a failed save) is answered
  // by "UnmountVolume" with "HRESULT" in place of "KelSuccess"; the unmount
  // runs all the same.
  HRESULT (*BeforeUnmount)(CKelInterface& itf, std::uint64_t seq) = nullptr;
};

// Installs the handler table that interfaces built afterwards use (nullptr:
// none). The table must outlive them.
void SetRequestHandlers(const RequestHandlers* handlers);
const RequestHandlers* InstalledRequestHandlers();

// The stream the loop reads its requests from (standard input unless a test
// sets another; nullptr restores standard input).
void SetRequestStream(std::FILE* stream);
std::FILE* RequestStream();

// Parse states of a request line.
enum ParseState : std::uint32_t {
  kParseIdle = 0,
  kParseDocument = 1,
  kParseRoot = 2,
  kParseFile = 3,
  kParseRootClosed = 4,
};

}  // namespace kel

class CKelInterface : public platform::SaxContentHandler, public platform::SaxInputStream {
 public:
  CKelInterface();
  ~CKelInterface() override;
  CKelInterface(const CKelInterface&) = delete;
  CKelInterface& operator=(const CKelInterface&) = delete;

  // Copies the operation table, reads the configuration and, for medium type
  // F2h, sets the writer's parity constants. Always 0.
  HRESULT Initialise(const FileSystemOperations* operations);
  // The request loop; its result (0 after an orderly stop).
  HRESULT Run(const char* medium_cookie);

  // Parses the next request line into the current request (handlers that
  // wait for a callback read the following lines with it).
  HRESULT ParseRequest();
  // Appends a copy of the current request to the pending list.
  void QueueRequest();
  std::size_t PendingCount() const { return m_pending.size(); }

  // Maps an engine result to a Win32 code and logs a non-zero one through
  // slot 0 with this source file and the given line.
  DWORD ReportEngineError(int engine_result, unsigned source_line);

  // The current request.
  const kel::RequestRecord& Request() const { return m_request; }
  kel::RequestRecord& Request() { return m_request; }

  const FileSystemOperations& Operations() const { return m_ops; }
  platform::CriticalSection& Lock() { return m_lock; }
  kel::KelVolumeInformation& VolumeInformation() { return m_volume; }
  bool Mounted() const { return m_mounted; }
  void SetMounted(bool mounted) { m_mounted = mounted; }
  bool RollbackMountOnError() const { return m_rollbackMountOnError; }
  void SetStop() { m_stop = true; }
  bool StopRequested() const { return m_stop; }
  std::uint32_t ParseState() const { return m_parseState; }
  // Packed-write bookkeeping of the Archive handler (cleared when the packed
  // buffer is flushed).
  std::uint64_t& PackedBaseBlock() { return m_packedBaseBlock; }
  std::uint64_t& PackedBlockCount() { return m_packedBlockCount; }

  // What the user-data writer keeps for this interface (its packed session
  // with the session's threads): made by make at first use, null once
  // ended. EndWriterState ends it (the run's end, and the destructor first
  // of all), so that no writer thread outlives the interface.
  void* WriterState(std::shared_ptr<void> (*make)());
  void EndWriterState();

  // Drive-command context, read by other threads while a request runs.
  void SetDriveCommandSequence(std::uint64_t seq) { m_cmdSequence.store(seq); }
  void SetDriveCommandPhase(std::uint32_t phase) { m_cmdPhase.store(phase); }
  void SetUnmounting(bool on) { m_cmdUnmounting.store(on ? 1 : 0); }
  std::uint64_t DriveCommandSequence() const { return m_cmdSequence.load(); }
  std::uint32_t DriveCommandPhase() const { return m_cmdPhase.load(); }
  std::uint8_t Unmounting() const { return m_cmdUnmounting.load(); }

  // Content handler (one request line).
  HRESULT startDocument() override;
  HRESULT endDocument() override;
  HRESULT startElement(std::u16string_view qname, const platform::SaxAttributes& attributes) override;
  HRESULT endElement(std::u16string_view qname) override;
  HRESULT characters(std::u16string_view text) override;

  // Input stream: the bytes of the current line up to its newline.
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override;

 private:
  HRESULT ReadStringAttribute(const platform::SaxAttributes& a, const char16_t* name,
                              std::string* target, int kind);
  HRESULT ReadUInt32Attribute(const platform::SaxAttributes& a, const char16_t* name,
                              std::uint32_t* target);
  HRESULT ReadUInt64Attribute(const platform::SaxAttributes& a, const char16_t* name,
                              std::uint64_t* target);
  HRESULT ReadInt32Attribute(const platform::SaxAttributes& a, const char16_t* name,
                             std::int32_t* target);
  HRESULT ReadFileTimeAttribute(const platform::SaxAttributes& a, const char16_t* name,
                                std::uint64_t* target);
  HRESULT ReadOpcodeAttributes(const platform::SaxAttributes& a);
  HRESULT Dispatch(const char* medium_cookie);
  void UnmountVolume();
  // Ends what the handlers left open and saves what they answered (the
  // handlers' BeforeUnmount), then unmounts: always for "UnmountVolume",
  // else only a mounted volume. BeforeUnmount's result; an engine refused
  // its medium does nothing and answers the refusal.
  HRESULT LeaveVolume(bool unmount_always);

  kel::RequestRecord m_request;
  FileSystemOperations m_ops{};
  std::deque<kel::RequestRecord> m_pending;
  std::uint32_t m_parseState = kel::kParseIdle;
  bool m_fileSeen = false;  // the document's "File" child has been read
  platform::SaxReader m_reader;
  const kel::RequestHandlers* m_handlers = nullptr;
  bool m_mounted = false;
  std::atomic<std::uint64_t> m_cmdSequence{0};
  std::atomic<std::uint32_t> m_cmdPhase{0};
  std::atomic<std::uint8_t> m_cmdUnmounting{0};
  bool m_stop = false;
  bool m_volumeLeft = false;  // LeaveVolume ran: the run's end leaves nothing more
  kel::KelVolumeInformation m_volume{};
  std::vector<char> m_line;
  std::uint32_t m_lineLength = 0;
  std::uint32_t m_readPosition = 0;
  bool m_rollbackMountOnError = false;
  // What the request handlers keep for this interface (made at first use,
  // ends with the interface).
  std::unique_ptr<kel::HandlerState> m_handlerState;
  friend kel::HandlerState& kel::HandlerStateOf(CKelInterface& itf);
  std::uint64_t m_packedBaseBlock = 0;
  std::uint64_t m_packedBlockCount = 0;
  platform::CriticalSection m_lock;
  std::mutex m_writerStateLock;
  std::shared_ptr<void> m_writerState;
  bool m_writerStateEnded = false;
};
