// "ReadDirectory": one "KelDirent" per entry of a folder, with the
// generation and version the metadata files hold, and a closing one for the
// folder itself. The metadata folder stays hidden.
#include "handler_frame.h"

#include <climits>
#include <cstring>
#include <strings.h>
#include <memory>
#include <new>

namespace kel {

namespace {

// The object flag of what the engine keeps hidden from the host.
constexpr std::uint32_t kHiddenObject = 0x8000;

#pragma pack(push, 1)
// The element's record with one extent: the version header, then the object.
struct DirentBuffer {
  KelDirentHeader Header;
  KELFS_OBJECT_INFO Object;
};
#pragma pack(pop)
static_assert(sizeof(DirentBuffer) == 16 + 4208);

std::int64_t ListingCallback(const void* context, std::uint64_t user, const char* path,
                             const void* record) {
  return OnDirectoryEntry(static_cast<CKelInterface*>(const_cast<void*>(context)), user, path,
                          static_cast<const KELFS_OBJECT_INFO*>(record));
}

}  // namespace

std::int64_t OnDirectoryEntry(CKelInterface* itf, std::uint64_t user, const char* folder,
                              const KELFS_OBJECT_INFO* entry) {
  const char* name = entry->ObjectName;
  const std::size_t name_length = strnlen(name, sizeof entry->ObjectName);
  if ((name_length == 1 && name[0] == '.') || (name_length == 2 && name[0] == '.' && name[1] == '.'))
    return 0;
  if (PlaceOfPath(folder) != MetaDataPlace::Outside) return 0;
  const FileSystemOperations& ops = itf->Operations();

  DirentBuffer small;
  std::memset(&small, 0, sizeof small);
  // The engine's record lives on its stack and is only read here.
  std::memcpy(&small.Object, entry, sizeof small.Object);
  std::string path(folder);
  if (name_length) {
    if (path.empty() || path.back() != '/') path += '/';
    path.append(name, name_length);
    const int r = CallSlot(ops.GetPathInfo, path.c_str(), 1u, &small.Object);
    // An entry that left the folder since the engine read it (a file the
    // packed session's end removed on the writer's thread) is not listed.
    if (r == kEngineNotFound) return 0;
    if (r != 0) return r;
    // Nor is what the volume keeps hidden from the host (a parity stream),
    // nor what a failed archive or a lost packed file left behind.
    if ((small.Object.Flags & kHiddenObject) != 0) return 0;
    if (HandlerStateOf(*itf).Unfinished.count(static_cast<std::int64_t>(small.Object.ObjectID))) return 0;
  }
  if (PlaceOfPath(path.c_str()) != MetaDataPlace::Outside) return 0;

  small.Header.Generation = kMetaUnknown;
  small.Header.Version = kMetaUnknown;
  if (small.Object.Type == 2) {
    const DWORD e = HandlerStateOf(*itf).MetaData.GetObjectVersion(
        small.Object.ObjectID, &small.Header.Generation, &small.Header.Version);
    if (e) return e;
  }

  const std::uint32_t n = small.Object.SpaceEntries.Count;
  if (n <= 1) {
    CServiceDirentResponse answer(user, n, &small.Header, &small.Object);
    return answer.Send();
  }
  // Room for all n extents behind the record.
  const std::size_t bytes = (static_cast<std::size_t>(n) + 176) * 24;
  std::unique_ptr<std::uint8_t[]> big(new (std::nothrow) std::uint8_t[bytes]);
  if (!big) return ERROR_NOT_ENOUGH_MEMORY;
  std::memset(big.get(), 0, bytes);
  auto* header = reinterpret_cast<KelDirentHeader*>(big.get());
  auto* object = reinterpret_cast<KELFS_OBJECT_INFO*>(big.get() + sizeof(KelDirentHeader));
  *header = small.Header;
  std::memcpy(object, &small.Object, sizeof small.Object);
  const int r = CallSlot(ops.GetPathInfo, path.c_str(), n, object);
  if (r != 0) return r;
  CServiceDirentResponse answer(user, n, header, object);
  return answer.Send();
}

HRESULT OnReadDirectory(CKelInterface& itf, std::uint64_t seq, const char* name) {
  HandlerFrame f(itf, seq);
  // The metadata folder itself lists as empty (only the notice); what is in
  // it is refused, and so is a relative path.
  if (PlaceOfPath(name) != MetaDataPlace::Folder && !f.HostPath(name)) return f.Finish();
  if (!f.MountOnDemand()) return f.Finish();
  f.Phase(kPhaseQuery);
  if (!f.Engine(CallSlot(f.ops.ReadDirectory, static_cast<void*>(&itf), seq, name, ListingCallback),
                __LINE__))
    return f.Finish();
  KELFS_OBJECT_INFO closing;
  std::memset(&closing, 0, sizeof closing);
  const std::int64_t r = OnDirectoryEntry(&itf, seq, name, &closing);
  if (r > 0) f.Win32(r <= UINT32_MAX ? static_cast<DWORD>(r) : ERROR_INTERNAL_ERROR);
  return f.Finish();
}

}  // namespace kel
