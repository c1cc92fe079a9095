// The request handlers of the request loop: each serves one opcode over the
// engine's operation table, answers the host with XML elements and closes
// the request with an end-of-request notice to the host service.
//
// Every handler runs under the interface lock (the loop takes it) in the
// same frame: mount on demand, the handler's own operation-table calls, each
// preceded by the request's sequence number and a phase number in the
// drive-command context, the success answer, the end-of-request notice
// (phase 12), and "HRESULT" when the request failed.
#pragma once

#include "kel/kel_interface.h"
#include "kel/metadata.h"

#include <cstdint>
#include <set>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kel {

// Phase numbers of the drive-command context.
enum HandlerPhase : std::uint32_t {
  kPhaseMount = 1,
  kPhaseUnmount = 2,
  kPhaseQuery = 3,
  kPhaseNameSpace = 4,
  kPhaseMetaData = 5,
  kPhaseMetaDataWrite = 6,
  kPhaseReadData = 7,
  kPhaseWriteData = 8,
  kPhaseEndOfRequest = 12,
};

// Generation or version mismatch: the object counts as not found.
constexpr HRESULT kHrVersionMismatch = static_cast<HRESULT>(0x80070002u);

// What the handlers keep for one request interface besides its own fields.
struct HandlerState {
  explicit HandlerState(const FileSystemOperations* ops) : MetaData(ops) {}
  CKelMetaData MetaData;
  // The volume is mounted at a rollback point (set by a rollback mount,
  // cleared by a default mount): its metadata store stays loaded in full,
  // so nothing is written back over the older state.
  bool RollbackMounted = false;
  // Objects (by id) that hold nothing of the host's but could not be
  // removed: a file whose archive failed on a volume that no longer takes
  // changes, a packed file its session lost. They are never listed, and a
  // Restore of one answers that it is not there.
  std::set<std::int64_t> Unfinished;
};

// The state of an interface, made at its first use; it is the interface's
// own and ends with it.
HandlerState& HandlerStateOf(CKelInterface& itf);

// The table of the handlers built here; the library installs it at load
// when no other table is installed.
const RequestHandlers& StandardRequestHandlers();

// Handlers ("Check" and "Recognise" share OnCheck).
HRESULT OnCheck(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie);
HRESULT OnGetVolumeInfo(CKelInterface& itf, std::uint64_t seq);
HRESULT OnFormat(CKelInterface& itf, std::uint64_t seq, const char* volume_id, std::uint32_t replica);
HRESULT OnArchive(CKelInterface& itf, std::uint64_t seq, const char* name, std::uint32_t fragment,
                  std::uint32_t generation, std::uint32_t version, std::uint32_t kernel_interface,
                  std::uint64_t block_number, std::uint64_t creation_time,
                  std::uint64_t modification_time);
// "Restore" and "Verify" (offset 0, length 0: the whole file).
HRESULT OnRestore(CKelInterface& itf, std::uint64_t seq, const char* name, std::uint32_t generation,
                  std::uint32_t version, std::uint64_t fragment_offset, std::uint64_t length);
HRESULT OnSync(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie, std::string reason);
// "UnmountVolume" runs it before the Unmount slot: the writer's packed
// session ends, so that no archived file stays on its placeholder; a failed
// end the host was not told of is answered (HRESULT), else 0.
HRESULT EndPackedSessionBeforeUnmount(CKelInterface& itf, std::uint64_t seq);
HRESULT OnReadDirectory(CKelInterface& itf, std::uint64_t seq, const char* name);
HRESULT OnRename(CKelInterface& itf, std::uint64_t seq, const char* name, const char* new_name,
                 std::uint32_t old_generation, std::uint32_t old_version,
                 std::uint32_t new_generation, std::uint32_t new_version);
HRESULT OnDelete(CKelInterface& itf, std::uint64_t seq, const char* name, std::uint32_t generation,
                 std::uint32_t version);
HRESULT OnCreateDirectory(CKelInterface& itf, std::uint64_t seq, const char* name);
HRESULT OnRenameDirectory(CKelInterface& itf, std::uint64_t seq, const char* name,
                          const char* new_name);
HRESULT OnDeleteDirectory(CKelInterface& itf, std::uint64_t seq, const char* name);
HRESULT OnUpdateArchiveInfo(CKelInterface& itf, std::uint64_t seq, const char* name);
HRESULT OnRollbackMount(CKelInterface& itf, std::uint64_t seq, std::uint32_t slot,
                        std::uint32_t metadata_fe_lsn, std::uint32_t fsd_lsn);
HRESULT OnGetRollbackInfo(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie);

// The listing callback: writes one "KelDirent" for an entry of folder (an
// empty entry name writes the closing one for the folder itself). 0 to go
// on; an engine result or Win32 code stops the listing.
std::int64_t OnDirectoryEntry(CKelInterface* itf, std::uint64_t user, const char* folder,
                              const KELFS_OBJECT_INFO* entry);

// Shared routines.
// FsInfo into the volume information, then the parity ratio; FsInfo's result.
int RefreshVolumeInfo(CKelInterface& itf);
// The block at which the next data would be written.
std::uint64_t WritePosition(const KelVolumeInformation& volume);
// Folder and leaf of a volume path ("/x" gives "/" and "x").
std::pair<std::string, std::string> SplitPath(const std::string& path);
// A folder a request made above its target, known by its object id: the
// request that fails takes back only what it made, never a folder of the
// same name it did not make.
struct MadeFolder {
  std::string path;
  std::uint32_t id = 0;
};
using MadeFolders = std::vector<MadeFolder>;
// Creates the missing folders above path (all of them, when path ends in
// "/"); 0 or the Win32 code of the first failure. A folder an earlier
// failed request left hidden (HandlerState::Unfinished) is shown again and
// counts as made. The folders made go to *made, in the order made; on a
// failure those made so far are taken back (RemoveMadeFolders).
DWORD MakeParentDirectories(CKelInterface& itf, const char* path, MadeFolders* made = nullptr);
// A request that made folders for its target failed: each of them, the
// deepest first, is removed while it is still the one made (its path gives
// its object id) and holds nothing the host sees; one the volume does not
// let go (it no longer takes changes) is never listed. Anything else stays.
void RemoveMadeFolders(CKelInterface& itf, const MadeFolders& made);
// Hands the forwarders, the sequence number and the mode (3 rollback-point
// queries, 4 finalisation) to the drive utility library; its result.
std::uint64_t HandOverToDriveSdk(std::uint64_t seq, int mode);

}  // namespace kel
