// The name-space requests: "Rename", "Delete", "CreateDirectory",
// "RenameDirectory", "DeleteDirectory" and "UpdateArchiveInfo".
#include "handler_frame.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace kel {

namespace {

constexpr int kEngineNotADirectory = 20;  // ENOTDIR

// A file may still wait in the packed session, or in a folder that moves:
// the session ends before any name changes, as before a Delete, so that no
// file of an open session ever moves. A file the end loses is removed where
// it is, and the request answers the end's failure without moving anything.
bool EndSessionBeforeMove(HandlerFrame& f) { return f.Win32(EndPackedSession(f)); }

void SendVolume(HandlerFrame& f) {
  CServiceVolumeResponse answer(f.seq, &f.itf.VolumeInformation());
  f.Send(answer);
}

// Refreshes the volume information and answers "KelVolume".
void AnswerVolume(HandlerFrame& f) {
  if (f.Engine(RefreshVolumeInfo(f.itf), __LINE__)) SendVolume(f);
}

// Answers "KelVolume" once the name has changed: the change is made and the
// next Sync saves it, so a failed refresh is logged and never answered as
// the request's failure (the host would count the file where it was). A
// drive that lost its power fails the command the loss came at and reports
// the reset on the next, so the refresh is asked once more; when that fails
// too, the answer carries the information read last.
void AnswerVolumeAfterChange(HandlerFrame& f) {
  RefreshVolumeAfterChange(f);
  SendVolume(f);
}
}  // namespace

HRESULT OnRename(CKelInterface& itf, std::uint64_t seq, const char* name, const char* new_name,
                 std::uint32_t old_generation, std::uint32_t old_version,
                 std::uint32_t new_generation, std::uint32_t new_version) {
  HandlerFrame f(itf, seq);
  if (!f.HostPath(name) || !f.HostPath(new_name) || !f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseQuery);
  if (!f.CheckVersion(name, old_generation, old_version)) return f.Finish();
  if (!EndSessionBeforeMove(f)) return f.FinishWrite();
  f.Phase(kPhaseNameSpace);
  MadeFolders made;
  if (!f.Win32(MakeParentDirectories(itf, new_name, &made))) return f.FinishWrite();
  const auto from = SplitPath(name);
  const auto to = SplitPath(new_name);
  if (!f.Engine(CallSlot(f.ops.Rename, from.first.c_str(), from.second.c_str(), to.first.c_str(),
                         to.second.c_str()),
                __LINE__))
    return f.FinishWrite(made);
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!f.Engine(CallSlot(f.ops.GetPathInfo, new_name, 0u, &info), __LINE__)) return f.Finish();
  if (!f.Win32(f.state.MetaData.SetObjectVersion(info.ObjectID, new_generation, new_version)))
    return f.Finish();
  AnswerVolumeAfterChange(f);
  return f.Finish();
}

HRESULT OnDelete(CKelInterface& itf, std::uint64_t seq, const char* name, std::uint32_t generation,
                 std::uint32_t version) {
  HandlerFrame f(itf, seq);
  if (!f.HostPath(name) || !f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseQuery);
  if (!f.CheckVersion(name, generation, version)) return f.Finish();
  // A file may still wait in the packed session: the session ends before
  // the file goes, else its end finds a file of its proxy gone and fails.
  if (!f.Win32(EndPackedSession(f))) return f.FinishWrite();
  f.Phase(kPhaseNameSpace);
  const auto at = SplitPath(name);
  if (!f.Engine(CallSlot(f.ops.DeleteFile, at.first.c_str(), at.second.c_str()), __LINE__))
    return f.FinishWrite();
  AnswerVolumeAfterChange(f);
  return f.Finish();
}

HRESULT OnCreateDirectory(CKelInterface& itf, std::uint64_t seq, const char* name) {
  HandlerFrame f(itf, seq);
  if (!f.HostPath(name) || !f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseNameSpace);
  // The trailing "/" makes the folder itself one of the parents to create.
  MadeFolders made;
  if (!f.Win32(MakeParentDirectories(itf, (std::string(name) + "/").c_str(), &made))) return f.FinishWrite();
  // A name that a file holds already is no folder: not a directory (20).
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!f.Engine(CallSlot(f.ops.GetPathInfo, name, 0u, &info), __LINE__)) return f.Finish(made);
  if (info.Type != kObjectTypeFolder && !f.Engine(kEngineNotADirectory, __LINE__)) return f.Finish(made);
  AnswerVolume(f);
  return f.Finish();
}

HRESULT OnRenameDirectory(CKelInterface& itf, std::uint64_t seq, const char* name,
                          const char* new_name) {
  HandlerFrame f(itf, seq);
  if (!f.HostPath(name) || !f.HostPath(new_name) || !f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseQuery);
  if (!f.Engine(CallSlot(f.ops.GetPathInfo, name, 0u, nullptr), __LINE__)) return f.Finish();
  if (!EndSessionBeforeMove(f)) return f.FinishWrite();
  f.Phase(kPhaseNameSpace);
  MadeFolders made;
  if (!f.Win32(MakeParentDirectories(itf, new_name, &made))) return f.FinishWrite();
  const auto from = SplitPath(name);
  const auto to = SplitPath(new_name);
  if (!f.Engine(CallSlot(f.ops.RenameDir, from.first.c_str(), from.second.c_str(),
                         to.first.c_str(), to.second.c_str()),
                __LINE__))
    return f.FinishWrite(made);
  AnswerVolumeAfterChange(f);
  return f.Finish();
}

HRESULT OnDeleteDirectory(CKelInterface& itf, std::uint64_t seq, const char* name) {
  HandlerFrame f(itf, seq);
  if (!f.HostPath(name) || !f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseNameSpace);
  const auto at = SplitPath(name);
  if (!f.Engine(CallSlot(f.ops.DeleteDirectory, at.first.c_str(), at.second.c_str()), __LINE__))
    return f.FinishWrite();
  AnswerVolumeAfterChange(f);
  return f.Finish();
}

HRESULT OnUpdateArchiveInfo(CKelInterface& itf, std::uint64_t seq, const char* name) {
  HandlerFrame f(itf, seq);
  if (!f.HostPath(name) || !f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseQuery);
  if (!f.Engine(RefreshVolumeInfo(itf), __LINE__)) return f.Finish();
  MadeFolders made;
  if (!f.Win32(MakeParentDirectories(itf, name, &made))) return f.Finish();
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!f.Engine(CallSlot(f.ops.GetPathInfo, name, 1u, &info), __LINE__)) return f.Finish(made);
  const std::uint32_t n = info.SpaceEntries.Count;
  const KELFS_OBJECT_INFO* object = &info;
  std::unique_ptr<std::uint8_t[]> big;
  if (n > 1) {
    const std::size_t bytes = sizeof(KELFS_OBJECT_INFO) + 24 * static_cast<std::size_t>(n);
    big.reset(new (std::nothrow) std::uint8_t[bytes]);
    if (!big) {
      f.Hr(kHrOutOfMemory);
      return f.Finish(made);
    }
    std::memset(big.get(), 0, bytes);
    auto* full = reinterpret_cast<KELFS_OBJECT_INFO*>(big.get());
    if (!f.Engine(CallSlot(f.ops.GetPathInfo, name, n, full), __LINE__)) return f.Finish(made);
    object = full;
  }
  CServiceArchiveResponse answer(seq, n, object);
  f.Send(answer);
  return f.Finish(made);
}

}  // namespace kel
