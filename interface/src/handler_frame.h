// The frame every request handler runs in.
//
// The route of a request, hop by hop (function tables carry it, so neither
// the includes nor a call graph show it):
//
// Archive: kelinterface.cpp (the request, to the handler table of
// handler_frame.cpp) -> handler_archive.cpp OnArchive (the CreateFile slot,
// then the data through the writer) -> writer_port.cpp LibraryWriterFile ->
// LumoQVE UserDataFileIO.cpp, then RealFileWriter.cpp (a plain file) or
// GhostFileWriter.cpp and ProxyWriter.cpp (a packed one) -> AnnulusFileIO
// UserDataThread.cpp (the writer thread), UserDataWriteController.cpp (body
// and parity) -> RUVOFile.cpp RUVOFile::writeFile, the slot
// FileSystemOperations::WriteData -> engine/main/src/slots_files.cpp WriteData
// -> slot_calls.cpp vn_write -> engine/vnops/src/vnop_write.cpp
// mdcudfsr_vnop_write -> cluster_write of engine/drive/src/buf_calls.cpp ->
// engine/drive/src/client_if.cpp client_if::cluster_write -> the drive.
//
// Restore: kelinterface.cpp -> handler_fragment.cpp OnRestore (the OpenFile
// and ReadData slots directly, no writer) -> engine/main/src/slots_files.cpp
// ReadData -> slot_calls.cpp vn_read -> engine/vnops/src/vnop_read.cpp
// mdcudfsr_vnop_read -> cluster_read of engine/drive/src/buf_calls.cpp ->
// engine/drive/src/client_if.cpp client_if::cluster_read.
//
// A Sync's flush: handler_sync.cpp OnSync -> SaveMetaDataFiles (the store's
// files through the writer as above; an open packed session ended through
// writer_port.cpp EndSession -> LumoQVE PackedSession.cpp PackedSession::end),
// then the Flush slot -> engine/main/src/slots_volume.cpp Flush ->
// engine/vfs/src/vfs_sync.cpp mdcudfsr_vfsop_sync -> vfs_flush_wo_general.cpp
// (write-once) or vfs_flush_re.cpp (rewritable) ->
// engine/cache/src/flush_pass.cpp (the metadata placed and staged in write
// clusters) -> engine/vfs/src/vfs_cluster_flush.cpp -> buf_bwrite of
// engine/drive/src/buf_calls.cpp -> engine/drive/src/client_if.cpp
// client_if::buf_bwrite.
#pragma once

#include "kel/errors.h"
#include "kel/handler.h"
#include "kel/response.h"
#include "kel/writer_port.h"

#include "KelDriveSDK/quorvel_api.h"

#include <memory>
#include <utility>
#include <vector>

namespace kel {

class HandlerFrame;

// A slot call; a slot the table does not have answers 19 (no device).
template <class Fn, class... A>
auto CallSlot(Fn fn, A&&... args) -> decltype(fn(std::forward<A>(args)...)) {
  if (!fn) return kEngineNoDevice;
  return fn(std::forward<A>(args)...);
}

// The hand-over (mode 3) and the drive utility library's list of the
// medium's rollback points; the HRESULT of the first that failed.
HRESULT QueryRollbackPoints(std::uint64_t seq, const char* medium_cookie,
                            std::vector<_KEL_SDK_ROLLBACK_INFO>* points);

// The fragment buffer of one Archive, Restore or Verify request, with the
// record that "KelFragment" reads.
struct FragmentExchange {
  KelFragmentRecord record{};
  std::unique_ptr<std::uint8_t[]> buffer;
};

// Sends "KelFragment" and reads request lines until "FailureCallback" or
// "OpenFragmentFileCallback" (others are queued), then allocates IOSize
// bytes. 0, or a Win32 code (a parse failure's low 16 bits, 8 without
// memory, the send's error).
DWORD WaitForFragmentFile(CKelInterface& itf, std::uint64_t seq, FragmentExchange& x);
// Sends "KelFragment" and reads request lines until "FailureCallback" or
// "WriteCallback"; a WriteCallback naming more bytes than the buffer holds
// is refused with 87.
DWORD WaitForWriteCallback(CKelInterface& itf, std::uint64_t seq, FragmentExchange& x);
// Reads request lines until "FailureCallback" or "ReadCallback".
DWORD WaitForReadCallback(CKelInterface& itf, FragmentExchange& x);

// Ends the writer's packed session (phase 4), or waits for the end another
// thread runs, and clears the packed base block and count; that end's
// failure as a Win32 code. An end whose data did not reach the disc keeps
// the session open with its files waiting; the next end writes them.
DWORD EndPackedSession(HandlerFrame& f);
// The same with the whole end: its lost and kept files. The `last` end
// (before the unmount) keeps none waiting. Lost files are never shown to
// the host again (HandlerState::Unfinished).
SessionEnd EndPackedSessionFully(HandlerFrame& f, bool last);
// The same for the requests after which the host counts its archived files
// safe (a Sync, an unmount): every failed end the host was not told of is
// answered; each file they lost (removed from the volume) and each file
// the end keeps waiting is named in an "Error" message of its own, and the
// number of each in one more; 0 or the first failure's Win32 code.
DWORD ReportPackedSession(HandlerFrame& f, bool last = false);

// Writes the changed metadata files (phase 6), ends the packed session in
// packed write mode and flushes the volume (phase 4); 0 or the Win32 code of
// the first failure (82 a file cannot be made, 29 a short write, 8 no
// image buffer).
DWORD SaveMetaDataFiles(HandlerFrame& f, bool full);

// Whether a Sync has something to save: the volume is dirty, or the
// metadata store holds changed files (read after RefreshVolumeInfo).
bool SomethingToSave(HandlerFrame& f);

// The new copy of an updated file is written in the metadata folder under
// this name until it is whole, and then moved into the host's folder: no
// host request reaches it there, and a copy left by an engine that ended
// mid-update is known by that place alone.
constexpr char kUpdateLeaf[] = "$KelUpdate$.tmp";

// Makes the metadata folder, hidden, when the volume has none; 0 or a Win32
// code.
DWORD MakeMetaDataFolder(const FileSystemOperations& ops);

// Where a host path lies against the metadata folder "/$QuorvelData":
// outside it, the folder itself, or inside it. Names compare as the volume
// compares them (without regard to case), runs of separators as one.
enum class MetaDataPlace { Outside, Folder, Inside };
MetaDataPlace PlaceOfPath(const char* path);

// The engine's "no such object" result and KELFS_OBJECT_INFO::Type of a
// folder, as the handlers compare them.
constexpr int kEngineNotFound = 2;
constexpr std::int32_t kObjectTypeFolder = 1;

// Steps asked after a change the request cannot undo (the next Sync saves
// it): a failure is logged and never becomes the request's status, so the
// host is never told "failed" for a change that is made. A drive that lost
// its power fails the command the loss came at and reports the reset on the
// next, so each step is asked once more after a failure.
// The volume information refreshed; on failure the information read last
// stays. True when refreshed.
bool RefreshVolumeAfterChange(HandlerFrame& f);
// The generation and version of an object stored; on failure the store
// keeps the pair it had.
void StoreVersionAfterChange(HandlerFrame& f, std::uint64_t object_id, std::uint32_t generation,
                             std::uint32_t version);

class HandlerFrame {
 public:
  HandlerFrame(CKelInterface& itf, std::uint64_t seq);
  HandlerFrame(const HandlerFrame&) = delete;
  HandlerFrame& operator=(const HandlerFrame&) = delete;

  // Stores the sequence number and the phase in the drive-command context.
  void Phase(std::uint32_t phase);
  // Reports an engine result; true when it is 0, else the status takes it.
  bool Engine(std::int64_t result, unsigned line);
  // A Win32 code; true when it is 0, else the status takes it.
  bool Win32(DWORD code);
  // An HRESULT; true when it is not negative, else the status takes it.
  bool Hr(HRESULT hr);
  // Mounts with MountDefault (phase 1) when the volume is not mounted; the
  // mounted flag is set as soon as the mount succeeded.
  bool MountOnDemand();
  // A mount succeeded: sets the mounted flag and whether the volume is at a
  // rollback point; a change to or from a rollback point drops the metadata
  // files loaded for the state mounted before.
  void MountedAt(bool rollback_point);
  // Sends the success answer; its error becomes the status.
  bool Send(CServiceXMLResponse& response);
  // The end-of-request notice (phase 12), then "HRESULT" when the status is
  // negative. Returns the status.
  HRESULT Finish();
  // A write to the cartridge failed (the status is negative): when the
  // cartridge has no room or write resources left, the status becomes disc
  // full (0x80070070) whatever road the write failed on. Full means the
  // volume is write-protected because the last disc's room or resources are
  // insufficient, or it has no free block and no other write protection.
  void DiscFullWhenFull();
  // Finish() after a failed write to the cartridge: disc full first when
  // the cartridge is full.
  HRESULT FinishWrite() {
    DiscFullWhenFull();
    return Finish();
  }
  // The same for a request that made folders for its target: when it
  // failed, they go again (RemoveMadeFolders) before the answer.
  HRESULT Finish(const MadeFolders& made);
  HRESULT FinishWrite(const MadeFolders& made) {
    DiscFullWhenFull();
    return Finish(made);
  }

  // Version check of a file (Rename, Delete): 0x80070002 when the stored
  // generation and version are both known and differ from the given pair.
  // The object's record goes to *info when given.
  bool CheckVersion(const char* path, std::uint32_t generation, std::uint32_t version,
                    KELFS_OBJECT_INFO* info = nullptr);
  // A host path is absolute, and none of its components is "." or "..":
  // any other is refused as an invalid name (0x8007007B). The metadata
  // folder is the system's own: a host request that names it or anything
  // in it is refused with access denied (0x80070005). True when the path
  // is the host's.
  bool HostPath(const char* path);

  CKelInterface& itf;
  const FileSystemOperations& ops;
  HandlerState& state;
  const std::uint64_t seq;
  HRESULT status = S_OK;
};

}  // namespace kel
