// "Format" and "Sync", and the saving of the changed metadata files through
// the engine and the user-data writer.
#include "handler_frame.h"

#include "kel/config.h"
#include "kel/kel_trace.h"
#include "kel/volctrl.h"
#include "kel/writer_port.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kel {

namespace {

constexpr DWORD kCannotCreate = 82;
constexpr DWORD kShortWrite = 29;
constexpr DWORD kInvalidParameter = 87;
constexpr std::uint32_t kWriteAccess = 0x40000000u;
constexpr std::uint32_t kMetaPortDisposition = 0;
constexpr std::uint32_t kMetaAttributes = 1;
constexpr int kOwnerReadOnly = 0x100;

DWORD Report(HandlerFrame& f, int engine_result, unsigned line) {
  return ReportEngineErrorThrough(&f.ops, engine_result, __FILE__, line);
}

DWORD WriterError(const WriterFile& file) {
  const DWORD e = file.LastWin32Error();
  return e ? e : static_cast<DWORD>(ERROR_INTERNAL_ERROR);
}

// Writes the image of one file through the writer file; 0 or a Win32 code.
DWORD WriteImage(CKelMetaData::CMetaDataFile& meta, WriterFile& file) {
  const std::uint64_t size = meta.ImageLength();
  file.Seek(static_cast<std::int64_t>(size));
  if (file.SetEndOfFile() != 0) return WriterError(file);
  file.Seek(0);
  std::uint64_t offset = 0;
  while (offset < size) {
    std::uint32_t piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - offset, kMetaTransferBytes));
    const std::uint8_t* data = meta.GetFileData(offset, &piece);
    if (!data) return ERROR_NOT_ENOUGH_MEMORY;
    std::uint32_t written = 0;
    if (file.Write(data, piece, &written) != 0) return WriterError(file);
    if (piece == 0 || written != piece) return kShortWrite;
    offset += written;
  }
  if (file.Flush() != 0 || file.Close() != 0) return WriterError(file);
  return 0;
}

// Deletes, re-creates and writes one metadata file; owner-read-only and out
// of the changed set when all went well.
DWORD SaveOne(HandlerFrame& f, CKelMetaData::CMetaDataFile& meta) {
  const std::string name = meta.GetFileName();
  const std::string path = std::string(kMetaDataFolder) + "/" + name;
  const int there = CallSlot(f.ops.GetPathInfo, path.c_str(), 0u, nullptr);
  if (there == 0) {
    if (const DWORD e = Report(f, CallSlot(f.ops.DeleteFile, kMetaDataFolder, name.c_str()), __LINE__))
      return e;
  } else if (const DWORD e = Report(f, there, __LINE__); e != ERROR_FILE_NOT_FOUND) {
    return e;
  }
  char stored[260] = {};
  void* handle = nullptr;
  if (Report(f, CallSlot(f.ops.CreateFile, kMetaDataFolder, name.c_str(), sizeof stored, stored, &handle),
             __LINE__))
    return kCannotCreate;
  stored[sizeof stored - 1] = '\0';
  std::unique_ptr<WriterFile> file;
  const UserDataWriter& w = CurrentUserDataWriter();
  if (!w.Open || w.Open(platform::utf8_to_utf16(stored), kWriteAccess, kMetaPortDisposition,
                        kMetaAttributes, &file) != 0 || !file) {
    CallSlot(f.ops.CloseFile, handle, true);
    return kCannotCreate;
  }
  // The flush that ends the save records this file with its attributes.
  file->PostponeFlushAtClose();
  DWORD e = WriteImage(meta, *file);
  if (e == 0) {
    e = Report(f, CallSlot(f.ops.CloseFile, handle, true), __LINE__);
    if (e == 0) e = Report(f, CallSlot(f.ops.SetAttributes, handle, kOwnerReadOnly), __LINE__);
    if (e == 0) {
      std::lock_guard<platform::CriticalSection> lk(f.state.MetaData.Lock());
      f.state.MetaData.ClearFileDirty(meta.FileIndex());
    }
  } else {
    CallSlot(f.ops.CloseFile, handle, true);
  }
  return e;
}

}  // namespace

DWORD SaveMetaDataFiles(HandlerFrame& f, bool full) {
  f.Phase(kPhaseMetaDataWrite);
  const std::vector<CKelMetaData::CMetaDataFile*> files = f.state.MetaData.GetDirtyFiles();
  if (!files.empty())
    if (const DWORD e = MakeMetaDataFolder(f.ops)) return e;
  for (CKelMetaData::CMetaDataFile* meta : files)
    if (const DWORD e = SaveOne(f, *meta)) return e;
  if (RuvoCtrlVolume::getPackedWriteMode())
    if (const DWORD e = EndPackedSession(f)) return e;
  f.Phase(kPhaseNameSpace);
  return Report(f, CallSlot(f.ops.Flush, full), __LINE__);
}

namespace {

void LogSaveFailure(DWORD e) {
  KelTrace(0, 4, 0, "", u"CKelInterface::OnSync", __LINE__, u"SaveMetaDataFiles failed: %u", e);
}

void SendSync(HandlerFrame& f, const KelSyncRecord& record) {
  CServiceSyncResponse answer(f.seq, &record);
  f.Send(answer);
}

}  // namespace

bool SomethingToSave(HandlerFrame& f) {
  // The store's changed files count as something to save too: the end of a
  // packed session flushes the volume (its Dirty reads 0 again) while the
  // generations and versions of the files it held are still unsaved.
  return f.itf.VolumeInformation().Info.Dirty || !f.state.MetaData.GetDirtyFiles().empty();
}

namespace {

// A step of the save; its failure answers disc full when the cartridge is.
bool Saved(HandlerFrame& f, DWORD e) {
  if (f.Win32(e)) return true;
  f.DiscFullWhenFull();
  return false;
}

// "SyncTime" and "SyncFinalisation": refresh, save when dirty, refresh.
bool SaveWhenDirty(HandlerFrame& f, bool full, KelSyncRecord* record) {
  f.Phase(kPhaseQuery);
  if (!f.Engine(RefreshVolumeInfo(f.itf), __LINE__)) return false;
  record->BlockNumber = WritePosition(f.itf.VolumeInformation());
  if (SomethingToSave(f)) {
    if (!Saved(f, SaveMetaDataFiles(f, full))) return false;
    f.Phase(kPhaseNameSpace);
    if (!f.Engine(RefreshVolumeInfo(f.itf), __LINE__)) return false;
  }
  record->Dirty = f.itf.VolumeInformation().Info.Dirty;
  record->NextWritableBlock = WritePosition(f.itf.VolumeInformation());
  return true;
}

void SyncFinalisation(HandlerFrame& f, const char* medium_cookie) {
  KelSyncRecord record{};
  if (!f.MountOnDemand() || !Saved(f, ReportPackedSession(f)) || !SaveWhenDirty(f, true, &record)) return;
  if (!f.Hr(MapDriveSdkResult(HandOverToDriveSdk(f.seq, 4)))) return;
  const std::u16string path = platform::utf8_to_utf16(medium_cookie ? medium_cookie : "");
  if (!f.Hr(MapDriveSdkResult(KelDriveSDK_DoFinalize(path.c_str())))) return;
  SendSync(f, record);
}

void SyncTime(HandlerFrame& f) {
  if (!f.itf.Mounted()) return;
  // An end the idle timer runs is waited for; its failure is answered.
  KelSyncRecord record{};
  if (!Saved(f, ReportPackedSession(f)) || !SaveWhenDirty(f, false, &record)) return;
  SendSync(f, record);
}

void SyncMount(HandlerFrame& f) {
  if (!Saved(f, ReportPackedSession(f)) || !Saved(f, SaveMetaDataFiles(f, true))) return;
  f.Phase(kPhaseQuery);
  if (!f.Engine(RefreshVolumeInfo(f.itf), __LINE__)) return;
  KelSyncRecord record{};
  record.Dirty = f.itf.VolumeInformation().Info.Dirty;
  record.NextWritableBlock = WritePosition(f.itf.VolumeInformation());
  SendSync(f, record);
}

// Failures of the save are only logged: the host gets "KelSync" with what
// was reached. Archived files that a packed session lost are no such
// failure: the save still runs, and the host is answered the loss.
void SyncPreDeallocate(HandlerFrame& f) {
  if (!f.itf.Mounted()) return;
  KelSyncRecord record{};
  const DWORD lost = ReportPackedSession(f);
  f.itf.SetUnmounting(true);
  f.Phase(kPhaseQuery);
  if (RefreshVolumeInfo(f.itf) == 0) {
    const KelVolumeInformation& vi = f.itf.VolumeInformation();
    record.BlockNumber = WritePosition(vi);
    record.Dirty = vi.Info.Dirty;
    if (SomethingToSave(f)) {
      if (const DWORD e = SaveMetaDataFiles(f, true)) {
        LogSaveFailure(e);
      } else {
        f.Phase(kPhaseNameSpace);
        if (RefreshVolumeInfo(f.itf) == 0) {
          record.Dirty = vi.Info.Dirty;
          record.NextWritableBlock = WritePosition(vi);
        }
      }
    }
  }
  if (f.Win32(lost)) SendSync(f, record);
}

void SyncInternal(HandlerFrame& f) {
  if (!f.MountOnDemand()) return;
  f.Phase(kPhaseQuery);
  if (!f.Engine(RefreshVolumeInfo(f.itf), __LINE__)) return;
  CServiceVolumeResponse answer(f.seq, &f.itf.VolumeInformation());
  f.Send(answer);
}

}  // namespace

HRESULT OnSync(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie, std::string reason) {
  HandlerFrame f(itf, seq);
  if (reason == "SyncFinalisation") SyncFinalisation(f, medium_cookie);
  else if (reason == "SyncTime") SyncTime(f);
  else if (reason == "SyncMount") SyncMount(f);
  else if (reason == "SyncPreDeallocate") SyncPreDeallocate(f);
  else if (reason == "SyncInternal") SyncInternal(f);
  else f.Hr(kHrInternalError);
  return f.Finish();
}

// ---------------------------------------------------------------- Format

namespace {

bool FormatSteps(HandlerFrame& f, const char* volume_id, std::uint32_t replica) {
  // A volume identifier must fit the metadata header's 32 bytes with its
  // terminator; checked before anything is unmounted or emptied.
  if (std::strlen(volume_id) >= sizeof f.itf.VolumeInformation().QuorvelVolumeID)
    return f.Win32(kInvalidParameter);
  // A packed session holds handles of the volume about to be emptied: it
  // ends on the old volume first.
  if (!f.Win32(EndPackedSession(f))) return false;
  // Files an earlier end lost were files of the volume about to be emptied.
  const UserDataWriter& w = CurrentUserDataWriter();
  if (w.TakeUnreported) w.TakeUnreported();
  if (f.itf.Mounted()) {
    f.Phase(kPhaseUnmount);
    if (!f.Engine(CallSlot(f.ops.Unmount, true), __LINE__)) return false;
  }
  f.itf.SetMounted(false);
  f.Phase(kPhaseNameSpace);
  if (!f.Engine(CallSlot(f.ops.Format, true, getConfigBinary("Parity Mode", true)), __LINE__)) return false;
  f.Phase(kPhaseMount);
  if (!f.Engine(CallSlot(f.ops.MountDefault), __LINE__)) return false;
  // Mounted from here on: a later step that fails stops the loop, whose
  // end then unmounts the new volume.
  f.itf.SetMounted(true);
  f.state.RollbackMounted = false;
  f.Phase(kPhaseNameSpace);
  if (!f.Engine(CallSlot(f.ops.CreateDirectory, "/", kMetaDataFolder + 1, true), __LINE__)) return false;
  if (!f.Win32(f.state.MetaData.FormatIdentity(volume_id, replica, ConfiguredObjectsPerFile())))
    return false;
  if (!f.Win32(SaveMetaDataFiles(f, true))) return false;
  f.Phase(kPhaseNameSpace);
  if (!f.Engine(RefreshVolumeInfo(f.itf), __LINE__)) return false;
  KelVolumeInformation& vi = f.itf.VolumeInformation();
  vi.QuorvelReplica = replica;
  std::memset(vi.QuorvelVolumeID, 0, sizeof vi.QuorvelVolumeID);
  std::memcpy(vi.QuorvelVolumeID, volume_id, std::strlen(volume_id));
  CServiceVolumeResponse answer(f.seq, &vi);
  f.Send(answer);
  f.itf.SetMounted(true);
  return true;
}

}  // namespace

HRESULT OnFormat(CKelInterface& itf, std::uint64_t seq, const char* volume_id, std::uint32_t replica) {
  HandlerFrame f(itf, seq);
  FormatSteps(f, volume_id ? volume_id : "", replica);
  const HRESULT hr = f.Finish();
  // After a failed Format the loop ends before the next request.
  if (hr < 0) itf.SetStop();
  return hr;
}

HRESULT EndPackedSessionBeforeUnmount(CKelInterface& itf, std::uint64_t seq) {
  HandlerFrame f(itf, seq);
  // The engine's end: a file that cannot be written now is lost, and named.
  const DWORD lost = ReportPackedSession(f, true);
  // What was answered is saved as a Sync saves it before the volume goes:
  // the generations and versions of the store's changed files and the name
  // space with them (a file dropped by a failed archive is gone from it).
  DWORD saved = 0;
  f.Phase(kPhaseQuery);
  if (itf.Mounted() && RefreshVolumeInfo(itf) == 0 && SomethingToSave(f)) {
    saved = SaveMetaDataFiles(f, true);
    if (saved) LogSaveFailure(saved);
  }
  return HResultFromWin32Code(lost ? lost : saved);
}

}  // namespace kel
