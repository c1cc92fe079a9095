// The handler frame, the routines the handlers share, and the handlers
// "Check", "Recognise" and "GetVolumeInfo".
#include "handler_frame.h"

#include "KelDriveSDK/quorvel_api.h"
#include "kel/entry.h"
#include "kel/scsi.h"
#include "kel/volctrl.h"
#include "platform/codepage.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <map>
#include <mutex>
#include <vector>

namespace kel {

// The handlers keep the identity of the last Format beside the engine's
// record, outside the 4312 bytes that FsInfo and Check clear.
static_assert(sizeof(KELFS_VOLUME_INFO) == 4312);
static_assert(offsetof(KELFS_VOLUME_INFO, VolumeType) == 8);
static_assert(offsetof(KELFS_VOLUME_INFO, ParityRatio) == 12);
static_assert(offsetof(KELFS_VOLUME_INFO, CurrentTrackId) == 64);
static_assert(offsetof(KELFS_VOLUME_INFO, PartitionStart) == 72);
static_assert(offsetof(KELFS_VOLUME_INFO, NextWritableBlock) == 76);
static_assert(offsetof(KELFS_VOLUME_INFO, NumberOfBlocksPerTrack) == 80);
static_assert(offsetof(KELFS_VOLUME_INFO, LastFileIndex) == 84);
static_assert(offsetof(KelVolumeInformation, QuorvelReplica) == 4312);
static_assert(offsetof(KelVolumeInformation, QuorvelVolumeID) == 4316);

HandlerState& HandlerStateOf(CKelInterface& itf) {
  if (!itf.m_handlerState) itf.m_handlerState = std::make_unique<HandlerState>(&itf.Operations());
  return *itf.m_handlerState;
}

// ---------------------------------------------------------------- frame

HandlerFrame::HandlerFrame(CKelInterface& i, std::uint64_t s)
    : itf(i), ops(i.Operations()), state(HandlerStateOf(i)), seq(s) {}

void HandlerFrame::Phase(std::uint32_t phase) {
  itf.SetDriveCommandSequence(seq);
  itf.SetDriveCommandPhase(phase);
}

bool HandlerFrame::Engine(std::int64_t result, unsigned line) {
  // A result that does not fit an int is no errno value; -1 maps to 1117.
  const int r = result >= INT32_MIN && result <= INT32_MAX ? static_cast<int>(result) : -1;
  return Win32(ReportEngineErrorThrough(&ops, r, __FILE__, line));
}

bool HandlerFrame::Win32(DWORD code) {
  if (code == 0) return true;
  status = HResultFromWin32Code(code);
  return false;
}

bool HandlerFrame::Hr(HRESULT hr) {
  if (hr >= 0) return true;
  status = hr;
  return false;
}

bool HandlerFrame::MountOnDemand() {
  if (itf.Mounted()) return true;
  Phase(kPhaseMount);
  if (!Engine(CallSlot(ops.MountDefault), __LINE__)) return false;
  MountedAt(false);
  return true;
}

void HandlerFrame::MountedAt(bool rollback_point) {
  itf.SetMounted(true);
  // The store's files were read from the state mounted before; going to or
  // from a rollback point makes them another state's. A remount of the
  // default state keeps them, with changes not yet written.
  if (rollback_point || state.RollbackMounted) state.MetaData.DropLoadedFiles();
  state.RollbackMounted = rollback_point;
}

bool HandlerFrame::Send(CServiceXMLResponse& response) { return Win32(response.Send()); }

void HandlerFrame::DiscFullWhenFull() {
  constexpr std::uint32_t kNoRoomOnLastDisc = 0x800;  // write-protect reason: room or resources insufficient
  const HRESULT disc_full = HResultFromWin32Code(ERROR_DISK_FULL);
  if (status >= 0 || status == disc_full) return;
  Phase(kPhaseQuery);
  RuvoCtrlVolume volume(u"");
  MDCFS_MOUNT_INFORMATION mi{};
  if (volume.getVolumeMountInformation(mi) != 0) return;
  bool full = (mi.WriteProtectReasonFlags & kNoRoomOnLastDisc) != 0;
  if (!full && mi.WriteProtectReasonFlags == 0) {
    // No free block, as the writer judges when it refuses to open a file.
    // The total is not asked: once the last disc's next writable address
    // comes within the near-full room of its end, the engine reports no
    // figures at all, the total 0 too.
    unsigned long long total = 0, free = 0;
    full = RuvoCtrlVolume::getDiskFreeSpace(u"", total, free, false) == 0 && free == 0;
  }
  if (full) status = disc_full;
}

bool RefreshVolumeAfterChange(HandlerFrame& f) {
  for (int ask = 0; ask < 2; ++ask) {
    const int r = RefreshVolumeInfo(f.itf);
    if (r == 0) return true;
    ReportEngineErrorThrough(&f.ops, r, __FILE__, __LINE__);
  }
  return false;
}

void StoreVersionAfterChange(HandlerFrame& f, std::uint64_t object_id, std::uint32_t generation,
                             std::uint32_t version) {
  for (int ask = 0; ask < 2; ++ask) {
    const DWORD e = f.state.MetaData.SetObjectVersion(static_cast<std::uint32_t>(object_id), generation, version);
    if (e == 0) return;
    if (f.ops.LogMessage) {
      const std::string text = "version of object " + std::to_string(object_id) + " not stored, error " + std::to_string(e);
      f.ops.LogMessage(4, 0, __FILE__, __LINE__, platform::utf8_to_utf16(text).c_str());
    }
  }
}

HRESULT HandlerFrame::Finish() {
  Phase(kPhaseEndOfRequest);
  SendEndOfRequestNotice();  // a failed notice is not the request's failure
  if (status < 0) CServiceHRESULTResponse(seq, status).Send();
  return status;
}

HRESULT HandlerFrame::Finish(const MadeFolders& made) {
  if (status < 0 && !made.empty()) {
    Phase(kPhaseNameSpace);
    RemoveMadeFolders(itf, made);
  }
  return Finish();
}

bool HandlerFrame::CheckVersion(const char* path, std::uint32_t generation, std::uint32_t version,
                                KELFS_OBJECT_INFO* out) {
  KELFS_OBJECT_INFO own;
  KELFS_OBJECT_INFO& info = out ? *out : own;
  std::memset(&info, 0, sizeof info);
  if (!Engine(CallSlot(ops.GetPathInfo, path, 0u, &info), __LINE__)) return false;
  std::uint32_t g = kMetaUnknown, v = kMetaUnknown;
  if (!Win32(state.MetaData.GetObjectVersion(info.ObjectID, &g, &v))) return false;
  if (g != kMetaUnknown && v != kMetaUnknown && (g != generation || v != version)) {
    status = kHrVersionMismatch;
    return false;
  }
  return true;
}

MetaDataPlace PlaceOfPath(const char* path) {
  std::string normal;
  for (const char* p = path ? path : ""; *p; ++p)
    if (*p != '/' || normal.empty() || normal.back() != '/') normal += *p;
  if (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  const std::size_t n = std::strlen(kMetaDataFolder);
  if (normal.size() < n || strncasecmp(normal.c_str(), kMetaDataFolder, n) != 0) return MetaDataPlace::Outside;
  if (normal.size() == n) return MetaDataPlace::Folder;
  return normal[n] == '/' ? MetaDataPlace::Inside : MetaDataPlace::Outside;
}

namespace {

// Whether a component of the path is "." or "..", which the volume would
// resolve to another folder than the one the text names.
bool HasDotComponent(const char* path) {
  std::size_t at = 0;
  const std::string p(path);
  while (at <= p.size()) {
    std::size_t end = p.find('/', at);
    if (end == std::string::npos) end = p.size();
    const std::string_view c(p.data() + at, end - at);
    if (c == "." || c == "..") return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

bool HandlerFrame::HostPath(const char* path) {
  // Paths are absolute: a relative one would resolve from the root for some
  // slots and not for others.
  if (!path || path[0] != '/' || HasDotComponent(path)) return Win32(ERROR_INVALID_NAME);
  if (PlaceOfPath(path) == MetaDataPlace::Outside) return true;
  return Win32(ERROR_ACCESS_DENIED);
}

// ---------------------------------------------------------------- shared routines

// A failed refresh keeps the information read last.
int RefreshVolumeInfo(CKelInterface& itf) {
  KELFS_VOLUME_INFO info;
  std::memset(&info, 0, sizeof info);
  const int r = CallSlot(itf.Operations().FsInfo, &info);
  if (r != 0) return r;
  if (info.VolumeType == 0) {
    const ParityConstants& p = WriterParityConstants();
    info.ParityRatio = p.ParitySymbols ? static_cast<std::uint32_t>(p.DataSymbols / p.ParitySymbols) : 0;
  } else {
    info.ParityRatio = 0;
  }
  itf.VolumeInformation().Info = info;
  return 0;
}

std::uint64_t WritePosition(const KelVolumeInformation& volume) {
  const KELFS_VOLUME_INFO& v = volume.Info;
  const std::uint64_t next =
      v.NextWritableBlock != 0xFFFFFFFFu ? v.NextWritableBlock : v.NumberOfBlocksPerTrack;
  return next + static_cast<std::uint64_t>(v.CurrentTrackId) * v.NumberOfBlocksPerTrack +
         v.PartitionStart;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t p = path.rfind('/');
  if (p == std::string::npos) return {"/", path};
  return {p == 0 ? std::string("/") : path.substr(0, p), path.substr(p + 1)};
}

namespace {


// The object id and type at path; false when the path names nothing (or
// the engine cannot tell).
bool ObjectAt(const FileSystemOperations& ops, const std::string& path, KELFS_OBJECT_INFO* info) {
  std::memset(info, 0, sizeof *info);
  return CallSlot(ops.GetPathInfo, path.c_str(), 0u, info) == 0;
}

// One folder of the path: made when missing, shown again when an earlier
// failed request left it hidden; either way it goes to *made.
DWORD MakeOneFolder(CKelInterface& itf, const std::string& parent, const std::string& component,
                    const std::string& built, MadeFolders* made) {
  const FileSystemOperations& ops = itf.Operations();
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  DWORD e = ReportEngineErrorThrough(&ops, CallSlot(ops.GetPathInfo, built.c_str(), 0u, &info), __FILE__, __LINE__);
  if (e == 0) {
    if (HandlerStateOf(itf).Unfinished.erase(static_cast<std::int64_t>(info.ObjectID)) != 0)
      made->push_back({built, info.ObjectID});
    return 0;
  }
  if (e != ERROR_FILE_NOT_FOUND) return e;
  e = ReportEngineErrorThrough(&ops, CallSlot(ops.CreateDirectory, parent.c_str(), component.c_str(), false),
                               __FILE__, __LINE__);
  if (e) return e;
  // A folder made but not found again cannot be taken back by its identity.
  if (!ObjectAt(ops, built, &info)) return ERROR_INTERNAL_ERROR;
  made->push_back({built, info.ObjectID});
  return 0;
}

// Whether a folder holds anything the host sees (what a failed request
// left hidden does not count). A folder that cannot be listed holds
// something as far as anyone can tell.
struct HostChildren {
  CKelInterface* itf;
  std::string folder;
  bool any = false;
};

std::int64_t NoteHostChild(const void* context, std::uint64_t, const char*, const void* record) {
  auto* seen = static_cast<HostChildren*>(const_cast<void*>(context));
  const auto* entry = static_cast<const KELFS_OBJECT_INFO*>(record);
  const std::string_view name(entry->ObjectName, strnlen(entry->ObjectName, sizeof entry->ObjectName));
  if (name.empty() || name == "." || name == "..") return 0;
  KELFS_OBJECT_INFO info;
  const std::string path = seen->folder + "/" + std::string(name);
  if (ObjectAt(seen->itf->Operations(), path, &info) &&
      HandlerStateOf(*seen->itf).Unfinished.count(static_cast<std::int64_t>(info.ObjectID)) != 0)
    return 0;
  seen->any = true;
  return 1;  // one is enough
}

bool HoldsHostObjects(CKelInterface& itf, const std::string& folder) {
  HostChildren seen{&itf, folder};
  const std::int64_t r = CallSlot(itf.Operations().ReadDirectory, static_cast<void*>(&seen), 0u,
                                  folder.c_str(), NoteHostChild);
  return seen.any || r != 0;
}

}  // namespace

DWORD MakeParentDirectories(CKelInterface& itf, const char* path, MadeFolders* made) {
  const FileSystemOperations& ops = itf.Operations();
  // An existing path has all its folders; only a hidden one is made anew.
  if (HandlerStateOf(itf).Unfinished.empty() && CallSlot(ops.GetPathInfo, path, 0u, nullptr) == 0) return 0;
  MadeFolders own;
  MadeFolders& out = made ? *made : own;
  out.clear();
  std::string rest(path);
  const std::size_t cut = rest.rfind('/');
  rest = cut == std::string::npos ? std::string() : rest.substr(0, cut);
  std::string built;
  std::size_t at = 0;
  while (at <= rest.size()) {
    std::size_t end = rest.find('/', at);
    if (end == std::string::npos) end = rest.size();
    const std::string component = rest.substr(at, end - at);
    at = end + 1;
    if (component.empty()) continue;
    const std::string parent = built.empty() ? std::string("/") : built;
    built += "/" + component;
    if (const DWORD e = MakeOneFolder(itf, parent, component, built, &out)) {
      RemoveMadeFolders(itf, out);
      out.clear();
      return e;
    }
  }
  return 0;
}

void RemoveMadeFolders(CKelInterface& itf, const MadeFolders& made) {
  const FileSystemOperations& ops = itf.Operations();
  for (auto f = made.rbegin(); f != made.rend(); ++f) {
    KELFS_OBJECT_INFO info;
    if (!ObjectAt(ops, f->path, &info) || info.ObjectID != f->id || info.Type != kObjectTypeFolder) continue;
    if (HoldsHostObjects(itf, f->path)) continue;
    const auto [parent, leaf] = SplitPath(f->path);
    const int err = CallSlot(ops.DeleteDirectory, parent.c_str(), leaf.c_str());
    if (err == 0 || err == kEngineNotFound) continue;
    ReportEngineErrorThrough(&ops, err, __FILE__, __LINE__);
    HandlerStateOf(itf).Unfinished.insert(static_cast<std::int64_t>(f->id));
  }
}

DWORD MakeMetaDataFolder(const FileSystemOperations& ops) {
  DWORD e = ReportEngineErrorThrough(&ops, CallSlot(ops.GetPathInfo, kMetaDataFolder, 0u, nullptr), __FILE__,
                                     __LINE__);
  if (e == ERROR_FILE_NOT_FOUND)
    e = ReportEngineErrorThrough(&ops, CallSlot(ops.CreateDirectory, "/", kMetaDataFolder + 1, true), __FILE__,
                                 __LINE__);
  return e;
}

std::uint64_t HandOverToDriveSdk(std::uint64_t seq, int mode) {
  kel::BeginDriveSdkTurn();
  return KelDriveSDK_Quorvel_SetCallbacks(ForwardMountDefault, ForwardUnmount, quorvel_fsctl,
                                          ForwardLogMessage, seq, mode);
}

// The medium's rollback points as the drive utility library lists them;
// the HRESULT of the hand-over or of the query.
HRESULT QueryRollbackPoints(std::uint64_t seq, const char* medium_cookie,
                            std::vector<_KEL_SDK_ROLLBACK_INFO>* points) {
  HRESULT hr = MapDriveSdkResult(HandOverToDriveSdk(seq, 3));
  if (hr < 0) return hr;
  const std::u16string path = platform::utf8_to_utf16(medium_cookie ? medium_cookie : "");
  return MapDriveSdkResult(KelDriveSDK_Quorvel_GetRollbackInfo(path.c_str(), *points));
}

// ---------------------------------------------------------------- Check, GetVolumeInfo

HRESULT OnCheck(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie) {
  HandlerFrame f(itf, seq);
  if (!itf.Mounted()) {
    f.Phase(kPhaseMount);
    if (f.Engine(CallSlot(f.ops.MountDefault), __LINE__)) {
      f.MountedAt(false);
    } else if (!itf.RollbackMountOnError()) {
      return f.Finish();
    } else {
      std::vector<_KEL_SDK_ROLLBACK_INFO> points;
      const HRESULT hr = QueryRollbackPoints(seq, medium_cookie, &points);
      if (!f.Hr(hr)) return f.Finish();
      // No point at all leaves the first mount's failure as the answer.
      for (const _KEL_SDK_ROLLBACK_INFO& p : points) {
        f.Phase(kPhaseMount);
        if (f.Engine(CallSlot(f.ops.MountRollback, static_cast<unsigned>(p.SlotNumber),
                              static_cast<unsigned>(p.MetaDataFE_LSN),
                              static_cast<unsigned>(p.FsdLsn)),
                     __LINE__)) {
          f.status = S_OK;
          f.MountedAt(true);
          break;
        }
      }
      if (f.status < 0) return f.Finish();
    }
  }
  KelVolumeInformation& vi = itf.VolumeInformation();
  f.Phase(kPhaseQuery);
  std::memset(&vi.Info, 0, sizeof vi.Info);
  if (!f.Engine(RefreshVolumeInfo(itf), __LINE__)) return f.Finish();
  f.Phase(kPhaseMetaData);
  const DWORD e = f.state.RollbackMounted ? f.state.MetaData.LoadAll(&vi)
                                          : f.state.MetaData.LoadVolumeIdentity(&vi);
  if (!f.Win32(e)) return f.Finish();
  CServiceVolumeResponse answer(seq, &vi);
  f.Send(answer);
  return f.Finish();
}

HRESULT OnGetVolumeInfo(CKelInterface& itf, std::uint64_t seq) {
  HandlerFrame f(itf, seq);
  if (!f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseQuery);
  if (!f.Engine(RefreshVolumeInfo(itf), __LINE__)) return f.Finish();
  CServiceVolumeResponse answer(seq, &itf.VolumeInformation());
  f.Send(answer);
  return f.Finish();
}

// ---------------------------------------------------------------- table

const RequestHandlers& StandardRequestHandlers() {
  static const RequestHandlers table = [] {
    RequestHandlers h;
    h.Check = OnCheck;
    h.Format = OnFormat;
    h.Archive = OnArchive;
    h.Restore = OnRestore;
    h.Sync = OnSync;
    h.BeforeUnmount = EndPackedSessionBeforeUnmount;
    h.Rename = OnRename;
    h.Delete = OnDelete;
    h.CreateDirectory = OnCreateDirectory;
    h.RenameDirectory = OnRenameDirectory;
    h.DeleteDirectory = OnDeleteDirectory;
    h.ReadDirectory = OnReadDirectory;
    h.GetVolumeInfo = OnGetVolumeInfo;
    h.GetRollbackInfo = OnGetRollbackInfo;
    h.RollbackMount = OnRollbackMount;
    h.UpdateArchiveInfo = OnUpdateArchiveInfo;
    return h;
  }();
  return table;
}

namespace {
// Installs the table when the library is loaded, unless a table is there.
struct InstallStandardHandlers {
  InstallStandardHandlers() {
    if (!InstalledRequestHandlers()) SetRequestHandlers(&StandardRequestHandlers());
  }
} g_installStandardHandlers;
}  // namespace

}  // namespace kel
