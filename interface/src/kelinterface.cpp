// The request loop: one request per line of the input stream, parsed by the
// SAX reader with this object as content handler and input stream.
#include "kel/kel_interface.h"
#include "kel/handler.h"

#include "kel/errors.h"
#include "kel/medium_lock.h"
#include "platform/codepage.h"

#include <atomic>
#include <cerrno>

namespace kel {

namespace {
std::atomic<const RequestHandlers*> g_handlers{nullptr};
std::atomic<std::FILE*> g_input{nullptr};

constexpr char16_t kRoot[] = u"ArchiveFileSystemOperation";
constexpr char16_t kFile[] = u"File";

// How a string attribute is converted.
enum StringKind { kPlainString = 0, kName = 1, kArchiveName = 2 };
}  // namespace

void SetRequestHandlers(const RequestHandlers* handlers) { g_handlers.store(handlers); }
const RequestHandlers* InstalledRequestHandlers() { return g_handlers.load(); }

void SetRequestStream(std::FILE* stream) { g_input.store(stream); }
std::FILE* RequestStream() {
  std::FILE* s = g_input.load();
  return s ? s : stdin;
}

}  // namespace kel

using kel::kHrInternalError;
using kel::kHrInvalidRequest;

CKelInterface::CKelInterface() : m_handlers(kel::InstalledRequestHandlers()) {}

CKelInterface::~CKelInterface() { EndWriterState(); }

void* CKelInterface::WriterState(std::shared_ptr<void> (*make)()) {
  std::lock_guard<std::mutex> lk(m_writerStateLock);
  if (!m_writerState && !m_writerStateEnded && make) m_writerState = make();
  return m_writerState.get();
}

void CKelInterface::EndWriterState() {
  std::shared_ptr<void> state;
  {
    std::lock_guard<std::mutex> lk(m_writerStateLock);
    state = std::move(m_writerState);
    m_writerStateEnded = true;
  }
  // Ended outside the lock: the end reaches the engine, whose writer
  // threads ask for the state too.
  state.reset();
}

DWORD CKelInterface::ReportEngineError(int engine_result, unsigned source_line) {
  return kel::ReportEngineErrorThrough(&m_ops, engine_result, __FILE__, source_line);
}

void CKelInterface::QueueRequest() { m_pending.push_back(m_request); }

HRESULT CKelInterface::ParseRequest() { return m_reader.parse(*this, *this); }

HRESULT CKelInterface::Run(const char* medium_cookie) {
  HRESULT hr = S_OK;
  while (!m_stop && SUCCEEDED(hr)) {
    if (!m_pending.empty()) {
      m_request = std::move(m_pending.front());
      m_pending.pop_front();
    } else {
      hr = ParseRequest();
      if (FAILED(hr)) break;
    }
    hr = Dispatch(medium_cookie);
  }
  // However the loop ends (a line that does not parse, the end of input, an
  // opcode not served, a handler's stop), what it answered is saved and the
  // volume unmounted before the run returns; "UnmountVolume" did so itself.
  if (!m_volumeLeft) LeaveVolume(false);
  if (FAILED(hr)) return hr;
  DWORD e = kel::CServiceShutdownResponse(m_request.SequenceNumber).Send();
  return kel::HResultFromWin32Code(e);
}

HRESULT CKelInterface::LeaveVolume(bool unmount_always) {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  m_volumeLeft = true;
  // An engine refused its medium has mounted nothing and leaves the drive
  // alone: it saved and released nothing, which is no success.
  if (const DWORD refused = kel::MediumRefusal()) return kel::HResultFromWin32Code(refused);
  HRESULT lost = S_OK;
  if (m_handlers && m_handlers->BeforeUnmount) lost = m_handlers->BeforeUnmount(*this, m_request.SequenceNumber);
  if (!unmount_always && !m_mounted) return lost;
  SetUnmounting(true);
  SetDriveCommandSequence(m_request.SequenceNumber);
  SetDriveCommandPhase(2);
  const int r = m_ops.Unmount ? m_ops.Unmount(true) : kel::kEngineNoDevice;
  ReportEngineError(r, __LINE__);
  return lost;
}

HRESULT CKelInterface::Dispatch(const char* cookie) {
  // The handler gets copies: one that waits for a callback parses the next
  // lines into the current request, which would change its own parameters.
  const kel::RequestRecord r = m_request;
  const kel::RequestParameters& p = r.Params;
  const kel::RequestHandlers* h = m_handlers;
  const char* name = r.Name.c_str();
  // Takes the interface lock around a handler; false when the opcode has no
  // handler in this build, which the loop treats as an opcode it does not
  // serve. An engine refused its medium answers the refusal instead.
  auto call = [&](auto fn, auto&&... args) -> bool {
    if (!h || !fn) return false;
    std::lock_guard<platform::CriticalSection> lk(m_lock);
    if (!kel::RefuseRequestForMedium(*this, r.SequenceNumber)) fn(*this, args...);
    return true;
  };
  bool served = false;
  switch (r.Opcode) {
    case kel::kOpCheck:
    case kel::kOpRecognise:
      served = call(h ? h->Check : nullptr, r.SequenceNumber, cookie);
      break;
    case kel::kOpFormat:
      served = call(h ? h->Format : nullptr, r.SequenceNumber, name, p.Replica);
      break;
    case kel::kOpArchive:
      served = call(h ? h->Archive : nullptr, r.SequenceNumber, name, p.Fragment, p.Generation,
                    p.Version, p.KernelInterface, p.BlockNumber, p.CreationTime,
                    p.ModificationTime);
      break;
    case kel::kOpRestore:
      served = call(h ? h->Restore : nullptr, r.SequenceNumber, name, p.Generation, p.Version,
                    p.FragmentOffset, p.Length);
      break;
    case kel::kOpVerify:
      served = call(h ? h->Restore : nullptr, r.SequenceNumber, name, p.Generation, p.Version,
                    std::uint64_t{0}, std::uint64_t{0});
      break;
    case kel::kOpRename:
      served = call(h ? h->Rename : nullptr, r.SequenceNumber, name, r.NewName.c_str(),
                    p.OldGeneration, p.OldVersion, p.NewGeneration, p.NewVersion);
      break;
    case kel::kOpDelete:
      served = call(h ? h->Delete : nullptr, r.SequenceNumber, name, p.Generation, p.Version);
      break;
    case kel::kOpCreateDirectory:
      served = call(h ? h->CreateDirectory : nullptr, r.SequenceNumber, name);
      break;
    case kel::kOpRenameDirectory:
      served = call(h ? h->RenameDirectory : nullptr, r.SequenceNumber, name, r.NewName.c_str());
      break;
    case kel::kOpDeleteDirectory:
      served = call(h ? h->DeleteDirectory : nullptr, r.SequenceNumber, name);
      break;
    case kel::kOpSync:
      served = call(h ? h->Sync : nullptr, r.SequenceNumber, cookie, r.Name);
      break;
    case kel::kOpReadDirectory:
      served = call(h ? h->ReadDirectory : nullptr, r.SequenceNumber, name);
      break;
    case kel::kOpGetVolumeInfo:
      served = call(h ? h->GetVolumeInfo : nullptr, r.SequenceNumber);
      break;
    case kel::kOpGetRollbackInfo:
      served = call(h ? h->GetRollbackInfo : nullptr, r.SequenceNumber, cookie);
      break;
    case kel::kOpRollbackMount:
      served = call(h ? h->RollbackMount : nullptr, r.SequenceNumber, p.SlotNumber,
                    p.MetaDataFE_LSN, p.FsdLsn);
      break;
    case kel::kOpUpdateArchiveInfo:
      served = call(h ? h->UpdateArchiveInfo : nullptr, r.SequenceNumber, name);
      break;
    case kel::kOpUnmountVolume:
      UnmountVolume();
      served = true;
      break;
    default:
      break;
  }
  return served ? S_OK : kHrInternalError;
}

void CKelInterface::UnmountVolume() {
  std::lock_guard<platform::CriticalSection> lk(m_lock);
  m_stop = true;
  // An engine refused its medium answers the refusal: the engine that holds
  // the medium still holds it, with whatever it has not saved.
  if (kel::RefuseRequestForMedium(*this, m_request.SequenceNumber)) {
    m_volumeLeft = true;
    return;
  }
  const HRESULT lost = LeaveVolume(true);
  // The unmount's own error is only logged; archived files lost by the
  // packed session, or a save that failed, are no success.
  if (FAILED(lost)) kel::CServiceHRESULTResponse(m_request.SequenceNumber, lost).Send();
  else kel::CServiceSuccessResponse(m_request.SequenceNumber).Send();
}

// ---- content handler ----

HRESULT CKelInterface::startDocument() {
  if (m_parseState != kel::kParseIdle) return kHrInternalError;
  m_parseState = kel::kParseDocument;
  m_fileSeen = false;
  m_request.Opcode = kel::kOpNone;
  return S_OK;
}

HRESULT CKelInterface::endDocument() {
  if (m_parseState != kel::kParseRootClosed) return kHrInternalError;
  m_parseState = kel::kParseIdle;
  if (m_readPosition < m_lineLength) ++m_readPosition;  // the newline
  return S_OK;
}

HRESULT CKelInterface::characters(std::u16string_view) {
  return m_request.Opcode == kel::kOpCheck || m_request.Opcode == kel::kOpRecognise
             ? S_OK
             : kHrInternalError;
}

HRESULT CKelInterface::endElement(std::u16string_view qname) {
  if (m_parseState == kel::kParseRoot) {
    if (qname != kel::kRoot) return kHrInvalidRequest;
    m_parseState = kel::kParseRootClosed;
    return S_OK;
  }
  if (m_parseState == kel::kParseFile) {
    if (qname != kel::kFile) return kHrInvalidRequest;
    m_parseState = kel::kParseRoot;
    return S_OK;
  }
  return kHrInternalError;
}

HRESULT CKelInterface::startElement(std::u16string_view qname, const platform::SaxAttributes& a) {
  const std::uint32_t before = m_parseState;
  HRESULT hr = S_OK;
  if (qname == kel::kRoot) {
    hr = ReadUInt64Attribute(a, u"SequenceNumber", &m_request.SequenceNumber);
    if (FAILED(hr)) return hr;
    std::u16string word;
    hr = a.getValueFromQName(u"Opcode", &word);
    if (FAILED(hr)) return hr;
    const std::uint32_t op = kel::OpcodeFromWord(word);
    if (op == kel::kOpNone) return kHrInvalidRequest;
    m_request.Opcode = op;
    hr = ReadOpcodeAttributes(a);
    if (FAILED(hr)) return hr;
    if (m_parseState == kel::kParseDocument) m_parseState = kel::kParseRoot;
  } else if (qname == kel::kFile) {
    // A request holds at most one "File".
    if (m_fileSeen) return kHrInvalidRequest;
    m_fileSeen = true;
    hr = ReadStringAttribute(a, u"Name", &m_request.Name, kel::kArchiveName);
    if (FAILED(hr)) return hr;
    const std::uint32_t op = m_request.Opcode;
    if (op != kel::kOpArchive && op != kel::kOpRestore && op != kel::kOpVerify)
      return kHrInvalidRequest;
    kel::RequestParameters& p = m_request.Params;
    if (FAILED(hr = ReadUInt32Attribute(a, u"Fragment", &p.Fragment))) return hr;
    if (FAILED(hr = ReadUInt32Attribute(a, u"Generation", &p.Generation))) return hr;
    if (FAILED(hr = ReadUInt32Attribute(a, u"Version", &p.Version))) return hr;
    if (FAILED(hr = ReadUInt32Attribute(a, u"KernelInterface", &p.KernelInterface))) return hr;
    if (m_parseState == kel::kParseRoot) m_parseState = kel::kParseFile;
  } else {
    return kHrInvalidRequest;
  }
  return m_parseState == before ? kHrInvalidRequest : S_OK;
}

HRESULT CKelInterface::ReadOpcodeAttributes(const platform::SaxAttributes& a) {
  kel::RequestRecord& r = m_request;
  kel::RequestParameters& p = r.Params;
  HRESULT hr = S_OK;
  // Reads in table order and stops at the first failure.
  auto s = [&](const char16_t* n, std::string* t, int kind) {
    if (SUCCEEDED(hr)) hr = ReadStringAttribute(a, n, t, kind);
  };
  auto u32 = [&](const char16_t* n, std::uint32_t* t) {
    if (SUCCEEDED(hr)) hr = ReadUInt32Attribute(a, n, t);
  };
  auto u64 = [&](const char16_t* n, std::uint64_t* t) {
    if (SUCCEEDED(hr)) hr = ReadUInt64Attribute(a, n, t);
  };
  auto i32 = [&](const char16_t* n, std::int32_t* t) {
    if (SUCCEEDED(hr)) hr = ReadInt32Attribute(a, n, t);
  };
  auto ft = [&](const char16_t* n, std::uint64_t* t) {
    if (SUCCEEDED(hr)) hr = ReadFileTimeAttribute(a, n, t);
  };
  using namespace kel;
  switch (r.Opcode) {
    case kOpFormat:
      s(u"VolumeID", &r.Name, kPlainString);
      u32(u"Replica", &p.Replica);
      break;
    case kOpArchive:
      u64(u"BlockNumber", &p.BlockNumber);
      ft(u"CreationTime", &p.CreationTime);
      ft(u"ModificationTime", &p.ModificationTime);
      break;
    case kOpRestore:
      u64(u"BlockNumber", &p.BlockNumber);
      u64(u"FragmentOffset", &p.FragmentOffset);
      u64(u"Length", &p.Length);
      i32(u"TrackProgress", &p.TrackProgress);
      break;
    case kOpRename:
      s(u"Name", &r.Name, kName);
      s(u"NewName", &r.NewName, kName);
      u32(u"OldGeneration", &p.OldGeneration);
      u32(u"OldVersion", &p.OldVersion);
      u32(u"NewGeneration", &p.NewGeneration);
      u32(u"NewVersion", &p.NewVersion);
      u32(u"KernelInterface", &p.KernelInterface);
      u64(u"BlockNumber", &p.BlockNumber);
      break;
    case kOpDelete:
      s(u"Name", &r.Name, kName);
      u32(u"Generation", &p.Generation);
      u32(u"Version", &p.Version);
      u32(u"KernelInterface", &p.KernelInterface);
      u64(u"BlockNumber", &p.BlockNumber);
      break;
    case kOpCreateDirectory:
    case kOpDeleteDirectory:
      s(u"Name", &r.Name, kName);
      u32(u"KernelInterface", &p.KernelInterface);
      u64(u"BlockNumber", &p.BlockNumber);
      break;
    case kOpRenameDirectory:
      s(u"Name", &r.Name, kName);
      s(u"NewName", &r.NewName, kName);
      u32(u"KernelInterface", &p.KernelInterface);
      u64(u"BlockNumber", &p.BlockNumber);
      break;
    case kOpSync:
      s(u"Reason", &r.Name, kPlainString);
      u64(u"BlockNumber", &p.BlockNumber);
      u64(u"Bytes", &p.Bytes);
      u32(u"Generation", &p.Generation);
      break;
    case kOpReadDirectory:
      s(u"Name", &r.Name, kName);
      break;
    case kOpFailureCallback:
      u32(u"ErrorCode", &p.ErrorCode);
      break;
    case kOpOpenFragmentFileCallback:
      u32(u"IOSize", &p.IOSize);
      break;
    case kOpWriteCallback:
      u64(u"FragmentFileSize", &p.FragmentFileSize);
      u32(u"BytesToWrite", &p.BytesToWrite);
      break;
    case kOpRollbackMount:
      u32(u"SlotNumber", &p.SlotNumber);
      u32(u"MetaDataFE_LSN", &p.MetaDataFE_LSN);
      u32(u"FsdLsn", &p.FsdLsn);
      break;
    case kOpUpdateArchiveInfo:
      s(u"Name", &r.Name, kArchiveName);
      break;
    default:
      break;
  }
  return hr;
}

HRESULT CKelInterface::ReadStringAttribute(const platform::SaxAttributes& a, const char16_t* name,
                                           std::string* target, int kind) {
  std::u16string value;
  HRESULT hr = a.getValueFromQName(name, &value);
  if (FAILED(hr)) return hr;
  if (kind != kel::kPlainString) {
    std::u16string unescaped;
    hr = kel::UnescapeName(value, &unescaped);
    if (FAILED(hr)) return hr;
    value.swap(unescaped);
  }
  bool ok = true;
  std::string utf8 = platform::utf16_to_utf8(value, &ok);
  if (!ok) return kel::kHrInvalidName;
  if (kind == kel::kArchiveName)
    for (char& c : utf8)
      if (c == '\\') c = '/';
  *target = std::move(utf8);
  return S_OK;
}

HRESULT CKelInterface::ReadUInt32Attribute(const platform::SaxAttributes& a, const char16_t* name,
                                           std::uint32_t* target) {
  std::u16string value;
  HRESULT hr = a.getValueFromQName(name, &value);
  if (FAILED(hr)) return hr;
  return kel::ParseUInt32(value, target);
}

HRESULT CKelInterface::ReadUInt64Attribute(const platform::SaxAttributes& a, const char16_t* name,
                                           std::uint64_t* target) {
  std::u16string value;
  HRESULT hr = a.getValueFromQName(name, &value);
  if (FAILED(hr)) return hr;
  return kel::ParseUInt64(value, target);
}

HRESULT CKelInterface::ReadInt32Attribute(const platform::SaxAttributes& a, const char16_t* name,
                                          std::int32_t* target) {
  std::u16string value;
  HRESULT hr = a.getValueFromQName(name, &value);
  if (FAILED(hr)) return hr;
  return kel::ParseInt32(value, target);
}

HRESULT CKelInterface::ReadFileTimeAttribute(const platform::SaxAttributes& a, const char16_t* name,
                                             std::uint64_t* target) {
  std::uint64_t v = 0;
  HRESULT hr = ReadUInt64Attribute(a, name, &v);
  if (SUCCEEDED(hr)) *target = kel::FileTimeToUnixTime(v);
  return hr;
}

// ---- input stream ----

HRESULT CKelInterface::Read(void* buffer, ULONG count, ULONG* read) {
  if (read) *read = 0;
  if (m_readPosition >= m_lineLength) {
    if (m_line.size() < count) {
      try {
        m_line.assign(count, 0);
      } catch (const std::bad_alloc&) {
        m_line.clear();
        m_line.shrink_to_fit();
        return kel::kHrOutOfMemory;
      }
    }
    // One line of at most count - 1 bytes, its newline included when read.
    std::FILE* in = kel::RequestStream();
    std::uint32_t n = 0;
    while (n + 1 < count) {
      const int c = std::fgetc(in);
      if (c == EOF) break;
      m_line[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    if (n > 0) {
      m_lineLength = n;
      m_readPosition = 0;
    } else if (std::ferror(in)) {
      return kel::HResultFromWin32Code(ERROR_READ_FAULT);
    }
  }
  ULONG copied = 0;
  char* out = static_cast<char*>(buffer);
  while (copied < count && m_readPosition < m_lineLength && m_line[m_readPosition] != '\n')
    out[copied++] = m_line[m_readPosition++];
  if (read) *read = copied;
  return S_OK;
}
