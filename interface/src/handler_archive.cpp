// "Archive": the host's file comes fragment by fragment through the
// fragment buffer and goes to the volume through the user-data writer; a
// file already on the volume is compared instead.
#include "handler_frame.h"

#include "kel/kel_trace.h"
#include "kel/volctrl.h"
#include "kel/writer_port.h"
#include "platform/codepage.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kel {

namespace {

constexpr HRESULT kHrDataDiffers = static_cast<HRESULT>(0x8007000Du);
constexpr HRESULT kHrCannotReplace = static_cast<HRESULT>(0x80010137u);
constexpr std::uint32_t kWriteAccess = 0x40000000u;
constexpr std::uint32_t kArchivePortDisposition = 1;
constexpr std::uint32_t kArchiveAttributes = 0x80;
constexpr DWORD kShortWrite = 29;
constexpr DWORD kReadFault = 30;
constexpr std::uint64_t kNewFile = UINT64_MAX;

struct ArchiveRequest {
  const char* name;
  std::uint32_t generation, version;
  std::uint64_t creation_time, modification_time;
  bool packed;
};

// Where a packed file written by this request lies while it waits in the
// session: the session's buffer goes to the volume from the packed base
// block on, the file from `start` on, its data pieces at their offsets.
struct PackedPlace {
  bool written = false;   // the request wrote a new file under the host's name
  bool placed = false;    // an update's new copy took the old file's place
  bool waiting = false;
  // The file lies on the disc now under the host's name: an update's copy
  // took the place, or a new file's close flushed it (it waits in no
  // session). A failed answer could not take it back from a volume that
  // turns read-only, and a new engine would show it whole.
  bool OnDisc() const { return placed || (written && !waiting); }
  // An update's new copy's record, all its extents, read before it took the
  // old file's place: the answer once a later query of it fails.
  std::vector<std::uint8_t> copy;
  std::uint64_t start = 0;
  std::vector<PackedPiece> pieces;
};

// Records a writer failure as the status: its last Win32 error (a failure
// that names none still fails).
void RecordWriterFailure(HandlerFrame& f, const WriterFile& file) {
  const DWORD e = file.LastWin32Error();
  f.Win32(e ? e : static_cast<DWORD>(ERROR_INTERNAL_ERROR));
}

// Compares the host's data with the file on the volume, buffer by buffer;
// the host's data must also end where the stored file ends (stored_size).
void CompareWithVolume(HandlerFrame& f, const char* name, FragmentExchange& x, std::uint64_t stored_size) {
  std::unique_ptr<std::uint8_t[]> compare(
      new (std::nothrow) std::uint8_t[std::max<std::uint32_t>(x.record.IOSize, 1)]);
  if (!compare) {
    f.Phase(kPhaseReadData);
    f.Hr(kHrOutOfMemory);
    return;
  }
  void* handle = nullptr;
  const int opened = CallSlot(f.ops.OpenFile, name, 1, &handle);
  f.Phase(kPhaseReadData);
  if (!f.Engine(opened, __LINE__)) return;
  std::uint64_t offset = 0;
  while (x.record.ErrorCode == 0 && x.record.BytesTransferred != 0) {
    int done = 0;
    if (!f.Engine(CallSlot(f.ops.ReadData, handle, compare.get(), offset, x.record.IOSize, &done),
                  __LINE__))
      break;
    if (done < 0 || static_cast<std::uint32_t>(done) > x.record.IOSize) {
      f.Win32(kReadFault);
      break;
    }
    const auto read = static_cast<std::uint32_t>(done);
    if (read != x.record.BytesTransferred || std::memcmp(compare.get(), x.buffer.get(), read) != 0) {
      f.Hr(kHrDataDiffers);
      break;
    }
    offset += read;
    if (!f.Win32(WaitForWriteCallback(f.itf, f.seq, x))) break;
  }
  // A host file that is a shorter prefix of the stored one differs too.
  if (f.status >= 0 && x.record.ErrorCode == 0 && offset != stored_size) f.Hr(kHrDataDiffers);
  const int closed = CallSlot(f.ops.CloseFile, handle, false);
  if (f.status >= 0) f.Engine(closed, __LINE__);
}

// Writes the buffer's BytesTransferred bytes; a write that takes nothing
// ends the file with 29 instead of trying for ever.
bool WriteBuffer(HandlerFrame& f, WriterFile& file, const FragmentExchange& x) {
  std::uint32_t done = 0;
  while (done < x.record.BytesTransferred) {
    std::uint32_t written = 0;
    const std::uint32_t left = x.record.BytesTransferred - done;
    if (file.Write(x.buffer.get() + done, left, &written) != 0) {
      RecordWriterFailure(f, file);
      return false;
    }
    if (written == 0 || written > left) return f.Win32(kShortWrite);
    done += written;
  }
  return true;
}

// Takes the host's data through the writer file until the host ends it,
// then flushes, counts the packed blocks and sets the file times. The file
// was sized to the size the host announced; the bytes the host sends must
// make exactly that size, else no byte of it is the host's file.
void TakeData(HandlerFrame& f, WriterFile& file, FragmentExchange& x, const ArchiveRequest& a,
              PackedPlace* place) {
  f.Phase(kPhaseWriteData);
  const std::uint64_t announced = x.record.FragmentFileSize;
  std::uint64_t taken = 0;
  while (x.record.ErrorCode == 0 && x.record.BytesTransferred != 0) {
    if (x.record.BytesTransferred > announced - taken) {
      f.Hr(kHrDataDiffers);
      return;
    }
    if (!WriteBuffer(f, file, x)) return;
    taken += x.record.BytesTransferred;
    if (!f.Win32(WaitForWriteCallback(f.itf, f.seq, x))) return;
  }
  if (x.record.ErrorCode == 0 && taken != announced) {
    f.Hr(kHrDataDiffers);
    return;
  }
  if (file.Flush() != 0) {
    RecordWriterFailure(f, file);
    return;
  }
  if (a.packed) {
    std::uint64_t blocks = 0;
    if (file.CacheBlocks(&blocks) != 0) {
      KelTrace(0, 1, 0, "", u"LumoQVE::UserDataFileIO::getCacheBlocks", __LINE__,
               u"Error getVolumeSizeInformation");
      blocks = 0;
    }
    place->start = f.itf.PackedBaseBlock() + f.itf.PackedBlockCount();
    if (file.PackedPieces(&place->pieces) != 0) place->pieces.clear();
    f.itf.PackedBlockCount() += blocks;
  }
  if (f.status >= 0 && file.SetFileTime(a.creation_time, a.modification_time, a.modification_time) != 0)
    RecordWriterFailure(f, file);
}

// A file the host's data did not all reach is not left behind under its
// name: sized to the host's size, its missing part would be handed over as
// nothing (a short Restore answered "KelSuccess") and compared as a
// difference. A packed session that holds its first pieces ends first, so
// the writer never flushes into a removed file; the session's end recorded
// the file on the volume, so its removal is recorded at once too, else an
// engine that stops before the next Sync finds it again, empty.
// A file that cannot be removed (the volume took no more changes) holds
// nothing of the host's all the same: it is never listed, and its Restore
// answers that it is not there.
void DropUnfinishedFile(HandlerFrame& f, const std::string& folder, const std::string& leaf, bool packed) {
  f.Phase(kPhaseNameSpace);
  if (packed) EndPackedSession(f);
  const std::string path = (folder == "/" ? folder : folder + "/") + leaf;
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  const bool found = CallSlot(f.ops.GetPathInfo, path.c_str(), 0u, &info) == 0;
  int err = CallSlot(f.ops.DeleteFile, folder.c_str(), leaf.c_str());
  if (err == 0 && packed) err = CallSlot(f.ops.Flush, false);
  if (err != 0) ReportEngineErrorThrough(&f.ops, err, __FILE__, __LINE__);
  if (found && CallSlot(f.ops.GetPathInfo, path.c_str(), 0u, nullptr) == 0)
    f.state.Unfinished.insert(static_cast<std::int64_t>(info.ObjectID));
}

// The record of an update's new copy, with all its extents (the session
// that held it ended), as the answer names it once it is under `leaf`.
bool ReadCopyRecord(HandlerFrame& f, const std::string& leaf, std::vector<std::uint8_t>* record) {
  const std::string copy = std::string(kMetaDataFolder) + "/" + kUpdateLeaf;
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!f.Engine(CallSlot(f.ops.GetPathInfo, copy.c_str(), 1u, &info), __LINE__)) return false;
  const std::uint32_t n = info.SpaceEntries.Count;
  record->assign(std::max(KelObjectInfoSize(n), sizeof(KELFS_OBJECT_INFO) + 24 * std::size_t{n}), 0);
  auto* full = reinterpret_cast<KELFS_OBJECT_INFO*>(record->data());
  if (n <= 1) std::memcpy(full, &info, sizeof info);
  else if (!f.Engine(CallSlot(f.ops.GetPathInfo, copy.c_str(), n, full), __LINE__)) return false;
  std::memset(full->ObjectName, 0, sizeof full->ObjectName);
  std::memcpy(full->ObjectName, leaf.data(), std::min(leaf.size(), sizeof full->ObjectName - 1));
  return true;
}

// The new copy of an updated file is whole in the metadata folder: it takes
// the old copy's place. The packed session ends first, so that neither copy
// waits in it while it moves; an end that failed keeps the old copy. The
// old copy goes only then.
bool TakeThePlace(HandlerFrame& f, const std::string& folder, const std::string& leaf, PackedPlace* place) {
  f.Phase(kPhaseNameSpace);
  if (!f.Win32(EndPackedSession(f)) || !ReadCopyRecord(f, leaf, &place->copy)) {
    DropUnfinishedFile(f, kMetaDataFolder, kUpdateLeaf, false);
    return false;
  }
  f.Phase(kPhaseNameSpace);
  if (!f.Engine(CallSlot(f.ops.DeleteFile, folder.c_str(), leaf.c_str()), __LINE__)) {
    f.Hr(kHrCannotReplace);
    DropUnfinishedFile(f, kMetaDataFolder, kUpdateLeaf, false);
    return false;
  }
  return f.Engine(CallSlot(f.ops.Rename, kMetaDataFolder, kUpdateLeaf, folder.c_str(), leaf.c_str()), __LINE__);
}

// The place of an update's new copy, in the metadata folder, made ready: a
// copy left there by an engine that ended mid-update goes first.
bool PrepareUpdateCopy(HandlerFrame& f) {
  if (!f.Win32(MakeMetaDataFolder(f.ops))) return false;
  const std::string copy = std::string(kMetaDataFolder) + "/" + kUpdateLeaf;
  if (CallSlot(f.ops.GetPathInfo, copy.c_str(), 0u, nullptr) != 0) return true;
  return f.Engine(CallSlot(f.ops.DeleteFile, kMetaDataFolder, kUpdateLeaf), __LINE__);
}

// Writes the host's data through the writer into a new file. A file of
// that name on the volume (an update) is kept, under its name and with its
// generation and version, until the new copy is whole: the new copy is
// written in the metadata folder (kUpdateLeaf) and takes its place at the
// end; a copy that fails or is stopped is dropped and the old one stays.
void WriteAnew(HandlerFrame& f, FragmentExchange& x, const ArchiveRequest& a, PackedPlace* place) {
  f.Phase(kPhaseNameSpace);
  const auto [folder, name_leaf] = SplitPath(a.name);
  KELFS_OBJECT_INFO old;
  std::memset(&old, 0, sizeof old);
  const bool update = CallSlot(f.ops.GetPathInfo, a.name, 0u, &old) == 0;
  // A folder is not replaced by a file.
  if (update && old.Type == kObjectTypeFolder) {
    f.Hr(kHrCannotReplace);
    return;
  }
  const std::string in = update ? std::string(kMetaDataFolder) : folder;
  const std::string leaf = update ? std::string(kUpdateLeaf) : name_leaf;
  if (update && !PrepareUpdateCopy(f)) {
    f.Hr(kHrCannotReplace);
    return;
  }
  char stored[260] = {};
  void* handle = nullptr;
  if (!f.Engine(CallSlot(f.ops.CreateFile, in.c_str(), leaf.c_str(), sizeof stored, stored, &handle), __LINE__)) {
    f.Hr(kHrCannotReplace);
    return;
  }
  stored[sizeof stored - 1] = '\0';
  std::unique_ptr<WriterFile> file;
  const UserDataWriter& w = CurrentUserDataWriter();
  if (!w.Open || w.Open(platform::utf8_to_utf16(stored), kWriteAccess, kArchivePortDisposition,
                        kArchiveAttributes, &file) != 0 || !file) {
    f.Hr(kHrCannotReplace);
    CallSlot(f.ops.CloseFile, handle, true);
    // The new file holds nothing of the host's. Whether the cartridge is
    // full is asked before it goes: on a rewritable disc its removal gives
    // blocks back.
    f.DiscFullWhenFull();
    DropUnfinishedFile(f, in, leaf, false);
    return;
  }
  file->Seek(static_cast<std::int64_t>(x.record.FragmentFileSize));
  if (file->SetEndOfFile() != 0) {
    RecordWriterFailure(f, *file);
  } else {
    file->Seek(0);
    TakeData(f, *file, x, a, place);
  }
  f.Phase(kPhaseNameSpace);
  if (f.status >= 0 && file->Close() != 0) RecordWriterFailure(f, *file);
  const int closed = CallSlot(f.ops.CloseFile, handle, true);
  if (f.status >= 0) f.Engine(closed, __LINE__);
  // A file that failed is dropped without close; the writer's gate opens.
  file.reset();
  if (f.status < 0 || x.record.ErrorCode) {
    f.DiscFullWhenFull();  // before the file gives its blocks back
    DropUnfinishedFile(f, in, leaf, a.packed);
    return;
  }
  if (update) {
    place->placed = TakeThePlace(f, folder, name_leaf, place);
    return;
  }
  place->written = true;
  // A session that did not end at the file's close holds it still.
  place->waiting = a.packed && w.SessionOpen && w.SessionOpen();
}

// Whether the host's data is compared with the file on the volume (its
// blocks lie behind the write position and the versions agree; the last
// file written must also have the host's size); otherwise it is written
// anew. *stored_size gets the stored file's size for the compare.
bool CompareOnly(HandlerFrame& f, FragmentExchange& x, const ArchiveRequest& a, bool* ok,
                 std::uint64_t* stored_size) {
  *ok = true;
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  // A file that is not on the volume (an archive stopped or killed before
  // its end leaves none) is resumed by writing it whole.
  const int found = CallSlot(f.ops.GetPathInfo, a.name, 0u, &info);
  if (found == kEngineNotFound) return false;
  if (!f.Engine(found, __LINE__)) return *ok = false;
  std::uint32_t g = kMetaUnknown, v = kMetaUnknown;
  const DWORD e = f.state.MetaData.GetObjectVersion(info.ObjectID, &g, &v);
  if (e != 0 || (g != kMetaUnknown && v != kMetaUnknown && (g != a.generation || v != a.version)))
    return false;
  // The last file written with another size is not resumed: the writer
  // puts a re-created file at the write position, so the whole file is
  // written anew.
  if (info.ObjectID == f.itf.VolumeInformation().Info.LastFileIndex &&
      x.record.FragmentFileSize != info.Size)
    return false;
  *stored_size = info.Size;
  return true;
}

// The record of a packed file that waits in its session with the extents
// the session's end gives it (the engine's are a placeholder's until then).
// n gets their count.
bool PlaceWaitingFile(HandlerFrame& f, const KELFS_OBJECT_INFO& info, const PackedPlace& place,
                      std::unique_ptr<std::uint8_t[]>* big, std::uint32_t* n) {
  *n = static_cast<std::uint32_t>(place.pieces.size());
  const std::size_t bytes = KelObjectInfoSize(*n);
  big->reset(new (std::nothrow) std::uint8_t[bytes]);
  if (!*big) return f.Hr(kHrOutOfMemory);
  std::memset(big->get(), 0, bytes);
  auto* object = reinterpret_cast<KELFS_OBJECT_INFO*>(big->get());
  std::memcpy(object, &info, offsetof(KELFS_OBJECT_INFO, SpaceEntries));
  object->SpaceEntries.Count = *n;
  for (std::uint32_t i = 0; i < *n; ++i) {
    object->SpaceEntries.Entries[i].BlockNumber = place.start + place.pieces[i].Offset;
    object->SpaceEntries.Entries[i].NumberOfBlocks = static_cast<std::uint32_t>(place.pieces[i].Blocks);
  }
  return true;
}

// The file's record with at most n extents. An update whose new copy took
// the old file's place cannot be undone: the query is asked once more when
// it fails (a drive's reset), and when that fails too the copy's record,
// read before it moved (its blocks and identity stay), is the answer.
bool FileRecord(HandlerFrame& f, const ArchiveRequest& a, const PackedPlace& place, std::uint32_t n,
                KELFS_OBJECT_INFO* info) {
  int r = CallSlot(f.ops.GetPathInfo, a.name, n, info);
  if (r != 0 && place.placed) {
    ReportEngineErrorThrough(&f.ops, r, __FILE__, __LINE__);
    r = CallSlot(f.ops.GetPathInfo, a.name, n, info);
  }
  if (r != 0 && place.placed) {
    ReportEngineErrorThrough(&f.ops, r, __FILE__, __LINE__);
    std::memcpy(info, place.copy.data(), std::min(KelObjectInfoSize(n), place.copy.size()));
    return true;
  }
  return f.Engine(r, __LINE__);
}

// "KelArchive" with the file's extents; its generation and version stored.
// Once the file lies on the disc under the name (an update's new copy took
// the old file's place, or a new file was flushed), no failure of the
// volume's refresh or of the version's store answers the Archive as failed:
// the host would count the old data, or none, under the name.
void AnswerArchive(HandlerFrame& f, const ArchiveRequest& a, const PackedPlace& place) {
  f.Phase(kPhaseQuery);
  if (place.OnDisc()) RefreshVolumeAfterChange(f);
  else if (!f.Engine(RefreshVolumeInfo(f.itf), __LINE__)) return;
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!FileRecord(f, a, place, 1u, &info)) return;
  std::uint32_t n = info.SpaceEntries.Count;
  const KELFS_OBJECT_INFO* object = &info;
  std::unique_ptr<std::uint8_t[]> big;
  if (place.waiting) {
    if (!PlaceWaitingFile(f, info, place, &big, &n)) return;
    object = reinterpret_cast<const KELFS_OBJECT_INFO*>(big.get());
  } else if (n > 1) {
    const std::size_t bytes = std::max(KelObjectInfoSize(n), sizeof(KELFS_OBJECT_INFO) + 24 * std::size_t{n});
    big.reset(new (std::nothrow) std::uint8_t[bytes]);
    if (!big) {
      f.Hr(kHrOutOfMemory);
      return;
    }
    std::memset(big.get(), 0, bytes);
    auto* full = reinterpret_cast<KELFS_OBJECT_INFO*>(big.get());
    if (!FileRecord(f, a, place, n, full)) return;
    object = full;
  }
  f.Phase(kPhaseMetaData);
  if (place.OnDisc()) StoreVersionAfterChange(f, object->ObjectID, a.generation, a.version);
  else if (!f.Win32(f.state.MetaData.SetObjectVersion(object->ObjectID, a.generation, a.version))) return;
  // A file an earlier failure left unfinished under this name is the
  // host's again, whole.
  f.state.Unfinished.erase(static_cast<std::int64_t>(object->ObjectID));
  CServiceArchiveResponse answer(f.seq, n, object);
  f.Send(answer);
}

}  // namespace

HRESULT OnArchive(CKelInterface& itf, std::uint64_t seq, const char* name, std::uint32_t,
                  std::uint32_t generation, std::uint32_t version, std::uint32_t,
                  std::uint64_t block_number, std::uint64_t creation_time,
                  std::uint64_t modification_time) {
  HandlerFrame f(itf, seq);
  FragmentExchange x;
  const ArchiveRequest a{name, generation, version, creation_time, modification_time,
                         RuvoCtrlVolume::getPackedWriteMode()};
  if (!f.HostPath(name) || !f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseQuery);
  if (!f.Engine(RefreshVolumeInfo(itf), __LINE__)) return f.Finish();
  f.Phase(kPhaseNameSpace);
  MadeFolders made;
  if (!f.Win32(MakeParentDirectories(itf, name, &made))) {
    f.DiscFullWhenFull();
    return f.Finish();
  }
  // An Archive that leaves no file, failed or stopped by the host, leaves
  // none of the folders it made for it either.
  const auto finish_without_file = [&] {
    f.Phase(kPhaseNameSpace);
    RemoveMadeFolders(itf, made);
    return f.Finish();
  };
  x.record.isPackedWrite = a.packed ? 1 : 0;
  if (!f.Win32(WaitForFragmentFile(itf, seq, x)) || x.record.ErrorCode) return finish_without_file();
  const std::uint64_t position = WritePosition(itf.VolumeInformation());
  std::uint64_t behind = 0;  // blocks of this file already on the volume
  if (a.packed) {
    // A session the writer ended on its own (the idle timer) moved the
    // write position: the next file starts a new base there. The base is
    // the position when the session's first file came, whatever block the
    // host names: the session's buffer goes to the volume from there.
    const UserDataWriter& w = CurrentUserDataWriter();
    if (w.SessionOpen && !w.SessionOpen()) itf.PackedBaseBlock() = itf.PackedBlockCount() = 0;
    if (itf.PackedBaseBlock() == 0) itf.PackedBaseBlock() = position;
  }
  if (block_number == kNewFile) {
    x.record.BlockNumber = a.packed ? itf.PackedBaseBlock() + itf.PackedBlockCount() : position;
  } else {
    // The blocks the session holds count as written: a file waiting there
    // at the block its "KelArchive" named is compared like one on the volume.
    const std::uint64_t written =
        a.packed ? std::max(position, itf.PackedBaseBlock() + itf.PackedBlockCount()) : position;
    x.record.BlockNumber = block_number;
    behind = written > block_number ? written - block_number : 0;
  }
  if (!f.Win32(WaitForWriteCallback(itf, seq, x)) || x.record.ErrorCode) return finish_without_file();
  bool ok = true;
  std::uint64_t stored_size = 0;
  PackedPlace place;
  if (behind != 0 && CompareOnly(f, x, a, &ok, &stored_size)) {
    // The compare reads the file's data, which a packed file has only once
    // its session ended.
    if (f.Win32(EndPackedSession(f))) CompareWithVolume(f, name, x, stored_size);
  } else if (ok) {
    WriteAnew(f, x, a, &place);
    f.DiscFullWhenFull();
  }
  if (f.status < 0 || x.record.ErrorCode) return finish_without_file();
  AnswerArchive(f, a, place);
  // A new file whose answer failed (its record could not be read) is not
  // left for a host that was told the Archive failed. An update's new copy
  // holds the old one's place already and stays.
  if (f.status < 0 && place.written) {
    const auto [folder, leaf] = SplitPath(a.name);
    DropUnfinishedFile(f, folder, leaf, a.packed);
  }
  return f.Finish(made);
}

}  // namespace kel
