// The fragment exchange shared by Archive, Restore and Verify, and the
// Restore/Verify handler.
#include "handler_frame.h"

#include "kel/debug.h"
#include "kel/writer_port.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace kel {

namespace {

constexpr DWORD kInvalidParameter = 87;
constexpr DWORD kReadFault = 30;
// The object flag of what the engine keeps hidden from the host (a file's
// parity stream, the metadata folder).
constexpr std::uint32_t kHiddenObject = 0x8000;

// Reads request lines until "FailureCallback" or the wanted callback; every
// other request is queued for the loop. A FailureCallback always ends the
// exchange, also one that names no error code.
DWORD AwaitCallback(CKelInterface& itf, std::uint32_t wanted, FragmentExchange& x) {
  for (;;) {
    const HRESULT hr = itf.ParseRequest();
    if (FAILED(hr)) {
      const DWORD code = static_cast<DWORD>(hr) & 0xFFFF;
      return code ? code : static_cast<DWORD>(ERROR_INTERNAL_ERROR);
    }
    const RequestRecord& r = itf.Request();
    if (r.Opcode == kOpFailureCallback) {
      x.record.ErrorCode = r.Params.ErrorCode ? r.Params.ErrorCode : ERROR_GEN_FAILURE;
      return 0;
    }
    if (r.Opcode == wanted) return 0;
    itf.QueueRequest();
  }
}

DWORD SendFragment(std::uint64_t seq, const FragmentExchange& x) {
  return CServiceFragmentResponse(seq, &x.record).Send();
}

}  // namespace

DWORD WaitForFragmentFile(CKelInterface& itf, std::uint64_t seq, FragmentExchange& x) {
  if (x.record.IOSize == 0 || x.record.ErrorCode) {
    if (x.record.ErrorCode) return 0;
    if (const DWORD e = SendFragment(seq, x)) return e;
    if (const DWORD e = AwaitCallback(itf, kOpOpenFragmentFileCallback, x)) return e;
    if (x.record.ErrorCode) return 0;
    x.record.IOSize = itf.Request().Params.IOSize;
  }
  x.buffer.reset(new (std::nothrow) std::uint8_t[std::max<std::uint32_t>(x.record.IOSize, 1)]);
  if (!x.buffer) return ERROR_NOT_ENOUGH_MEMORY;
  x.record.Buffer = x.buffer.get();
  return 0;
}

DWORD WaitForWriteCallback(CKelInterface& itf, std::uint64_t seq, FragmentExchange& x) {
  if (const DWORD e = SendFragment(seq, x)) return e;
  if (const DWORD e = AwaitCallback(itf, kOpWriteCallback, x)) return e;
  if (x.record.ErrorCode) return 0;
  const RequestParameters& p = itf.Request().Params;
  // The host cannot have put more into the buffer than it holds, and a file
  // size is a signed 64-bit value to the writer.
  if (p.BytesToWrite > x.record.IOSize || p.FragmentFileSize > static_cast<std::uint64_t>(INT64_MAX))
    return kInvalidParameter;
  x.record.FragmentFileSize = p.FragmentFileSize;
  x.record.BytesTransferred = p.BytesToWrite;
  return 0;
}

DWORD WaitForReadCallback(CKelInterface& itf, FragmentExchange& x) {
  return AwaitCallback(itf, kOpReadCallback, x);
}

namespace {

// A lost file removal could not take is never shown to the host again. A
// lost metadata file of the store is saved again by the next Sync.
void ForgetLostFiles(HandlerFrame& f, const std::vector<SessionFile>& lost) {
  for (const SessionFile& file : lost) {
    f.state.Unfinished.insert(file.ObjectId);
    unsigned index = 0;
    char tail = 0;
    const std::string prefix = std::string(kMetaDataFolder) + "/QVMetaData";
    if (file.Path.compare(0, prefix.size(), prefix) != 0 ||
        std::sscanf(file.Path.c_str() + prefix.size(), "%6u.da%c", &index, &tail) != 2 || tail != 't')
      continue;
    std::lock_guard<platform::CriticalSection> lk(f.state.MetaData.Lock());
    f.state.MetaData.MarkFileDirty(index);
  }
}

// Names each of the host's files in an "Error" message of the request;
// answers how many were named.
unsigned NameFiles(const std::vector<SessionFile>& files, const char* what) {
  unsigned n = 0;
  for (const SessionFile& file : files) {
    if (PlaceOfPath(file.Path.c_str()) != MetaDataPlace::Outside) continue;
    SendDebugStringA(1, (std::string(what) + file.Path).c_str());
    ++n;
  }
  return n;
}

}  // namespace

SessionEnd EndPackedSessionFully(HandlerFrame& f, bool last) {
  // Without a session the count and base are stale: the next packed file
  // starts a new base.
  f.itf.PackedBaseBlock() = 0;
  f.itf.PackedBlockCount() = 0;
  const UserDataWriter& w = CurrentUserDataWriter();
  if (!w.SessionOpen || !w.SessionOpen() || !w.EndSession) return {};
  f.Phase(kPhaseNameSpace);
  const SessionEnd e = last && w.LastEnd ? w.LastEnd() : w.EndSession();
  ForgetLostFiles(f, e.Lost);
  return e;
}

DWORD EndPackedSession(HandlerFrame& f) { return EndPackedSessionFully(f, false).Win32; }

DWORD ReportPackedSession(HandlerFrame& f, bool last) {
  const SessionEnd now = EndPackedSessionFully(f, last);
  const UserDataWriter& w = CurrentUserDataWriter();
  const SessionEnd told = w.TakeUnreported ? w.TakeUnreported() : SessionEnd{};
  if (!now.Failed() && !told.Failed()) return 0;
  ForgetLostFiles(f, told.Lost);
  f.itf.SetDriveCommandSequence(f.seq);  // the messages are this request's
  char text[240];
  if (told.Failed()) {
    const DWORD code = told.Win32 ? told.Win32 : static_cast<DWORD>(ERROR_INTERNAL_ERROR);
    const unsigned lost = NameFiles(told.Lost, "Archived file lost, archive it again: ");
    std::snprintf(text, sizeof text,
                  "The packed session ended with error %u: %u archived files were lost and removed from the "
                  "volume; archive them again.",
                  static_cast<unsigned>(code), lost);
    SendDebugStringA(1, text);
  }
  if (!now.Kept.empty()) {
    const unsigned kept = NameFiles(now.Kept, "Archived file waits to be written by the next Sync: ");
    std::snprintf(text, sizeof text,
                  "The packed session could not end (error %u): %u archived files wait, their data held, to be "
                  "written by the next Sync.",
                  static_cast<unsigned>(now.Win32), kept);
    SendDebugStringA(1, text);
  }
  if (told.Failed()) return told.Win32 ? told.Win32 : static_cast<DWORD>(ERROR_INTERNAL_ERROR);
  return now.Win32;
}

// ---------------------------------------------------------------- Restore, Verify

namespace {

// The end's failure when it keeps the object waiting, else 0.
DWORD WaitingIn(const SessionEnd& ended, std::uint64_t object) {
  for (const SessionFile& file : ended.Kept)
    if (static_cast<std::uint64_t>(file.ObjectId) == object) return ended.Win32;
  return 0;
}

// Hands the file's bytes from offset up to end to the host, one buffer at a
// time; ends with a fragment of 0 bytes and "KelSuccess". The data ending
// before `due` (the end of the range cut at the file's size) fails the
// request: the host would take the bytes it got for the whole range.
void SendFileBytes(HandlerFrame& f, void* handle, FragmentExchange& x, std::uint64_t offset,
                   std::uint64_t end, std::uint64_t due) {
  std::uint32_t read = 0;
  do {
    read = 0;
    if (offset < end) {
      int done = 0;
      if (!f.Engine(CallSlot(f.ops.ReadData, handle, x.buffer.get(), offset, x.record.IOSize, &done),
                    __LINE__))
        return;
      if (done < 0 || static_cast<std::uint32_t>(done) > x.record.IOSize || (done == 0 && offset < due)) {
        f.Win32(kReadFault);
        return;
      }
      read = static_cast<std::uint32_t>(done);
    }
    x.record.BytesTransferred = read;
    offset += read;
    if (!f.Win32(SendFragment(f.seq, x))) return;
    if (read != 0 && !f.Win32(WaitForReadCallback(f.itf, x))) return;
    if (x.record.ErrorCode) return;
  } while (read != 0);
  CServiceSuccessResponse answer(f.seq);
  f.Send(answer);
}

// The double buffer of Restore: while the host copies one piece out of its
// buffer, the next piece is read into the other one.
struct Piece {
  std::uint8_t* buffer = nullptr;
  std::uint32_t read = 0;   // bytes placed
  std::int64_t result = 0;  // the engine's result
  DWORD fault = 0;          // a count the buffer cannot hold
};

// Reads the piece at offset, nothing at or past end; no byte before `due`
// is a fault. Failures are kept in the piece, to be reported when it is
// due.
void ReadPiece(HandlerFrame& f, void* handle, std::uint32_t size, std::uint64_t offset, std::uint64_t end,
               std::uint64_t due, Piece& p) {
  p.read = 0;
  p.result = 0;
  p.fault = 0;
  if (offset >= end) return;
  int done = 0;
  p.result = CallSlot(f.ops.ReadData, handle, p.buffer, offset, size, &done);
  if (p.result != 0) return;
  if (done < 0 || static_cast<std::uint32_t>(done) > size || (done == 0 && offset < due)) p.fault = kReadFault;
  else p.read = static_cast<std::uint32_t>(done);
}

// Reports what went wrong with the piece; true when nothing did.
bool PieceRead(HandlerFrame& f, const Piece& p) { return f.Engine(p.result, __LINE__) && f.Win32(p.fault); }

// As SendFileBytes, with one read ahead of the host into `spare` (IOSize
// bytes): the host sees the same fragments, each naming the buffer that
// holds it. A read ahead that fails is reported only after the host took
// the piece before it, as if it had been made then.
void SendFileBytesAhead(HandlerFrame& f, void* handle, FragmentExchange& x, std::uint8_t* spare,
                        std::uint64_t offset, std::uint64_t end, std::uint64_t due) {
  Piece now{x.buffer.get()}, next{spare};
  ReadPiece(f, handle, x.record.IOSize, offset, end, due, now);
  if (!PieceRead(f, now)) return;
  for (;;) {
    offset += now.read;
    x.record.Buffer = now.buffer;
    x.record.BytesTransferred = now.read;
    if (!f.Win32(SendFragment(f.seq, x))) return;
    if (now.read == 0) break;
    ReadPiece(f, handle, x.record.IOSize, offset, end, due, next);
    if (!f.Win32(WaitForReadCallback(f.itf, x)) || x.record.ErrorCode) return;
    if (!PieceRead(f, next)) return;
    std::swap(now, next);
  }
  CServiceSuccessResponse answer(f.seq);
  f.Send(answer);
}

}  // namespace

HRESULT OnRestore(CKelInterface& itf, std::uint64_t seq, const char* name, std::uint32_t generation,
                  std::uint32_t version, std::uint64_t fragment_offset, std::uint64_t length) {
  HandlerFrame f(itf, seq);
  FragmentExchange x;
  if (!f.HostPath(name) || !f.MountOnDemand()) return f.Finish();
  // A packed file has only a placeholder until its session ends.
  const SessionEnd ended = EndPackedSessionFully(f, false);
  f.Phase(kPhaseQuery);
  KELFS_OBJECT_INFO info;
  if (!f.CheckVersion(name, generation, version, &info)) return f.Finish();
  // A hidden object, a file's parity stream, is no file of the host's; nor
  // is what a failed archive or a lost packed file left behind.
  const bool unfinished = f.state.Unfinished.count(static_cast<std::int64_t>(info.ObjectID)) != 0;
  if (((info.Flags & kHiddenObject) != 0 || unfinished) && !f.Win32(ERROR_FILE_NOT_FOUND)) return f.Finish();
  // A file the failed end keeps waiting has no data on the volume yet; the
  // others read as ever.
  if (!f.Win32(WaitingIn(ended, info.ObjectID))) return f.Finish();
  x.record.FragmentFileSize = info.Size;
  x.record.ModificationTime.Seconds = static_cast<std::uint64_t>(info.ModificationTime.Seconds);
  x.record.ModificationTime.Fraction = info.ModificationTime.Nanoseconds;
  if (!f.Win32(WaitForFragmentFile(itf, seq, x)) || x.record.ErrorCode) return f.Finish();
  // Without a buffer no byte of a file that holds data could be handed over.
  if (x.record.IOSize == 0 && info.Size > 0 && !f.Win32(kInvalidParameter)) return f.Finish();
  void* handle = nullptr;
  const int opened = CallSlot(f.ops.OpenFile, name, 1, &handle);
  if (!f.Engine(opened, __LINE__)) {
    if (handle) CallSlot(f.ops.CloseFile, handle, false);
    return f.Finish();
  }
  f.Phase(kPhaseReadData);
  const std::uint64_t end = length == 0 || length > UINT64_MAX - fragment_offset
                                ? UINT64_MAX
                                : fragment_offset + length;
  const std::uint64_t due = std::min<std::uint64_t>(end, info.Size);
  // The second buffer of the read ahead; without it, one read at a time.
  std::unique_ptr<std::uint8_t[]> spare(x.record.IOSize ? new (std::nothrow) std::uint8_t[x.record.IOSize] : nullptr);
  if (spare) SendFileBytesAhead(f, handle, x, spare.get(), fragment_offset, end, due);
  else SendFileBytes(f, handle, x, fragment_offset, end, due);
  const int closed = CallSlot(f.ops.CloseFile, handle, false);
  if (f.status >= 0) f.Engine(closed, __LINE__);
  return f.Finish();
}

}  // namespace kel
