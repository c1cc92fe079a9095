// Division of the proxy file at the end of a packed session: each ghost file
// gets, through MDCFSCTL_REBUILD_FILE_ALLOCATION, the blocks of the proxy
// that hold its data. A ghost file whose rebuild fails, and every later one,
// ends empty.
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "LumoQVE/PackedFileIO.h"
#include "kel/entry.h"
#include "kel/errors.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"
#include "platform/codepage.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>

namespace LumoQVE {

using AnnulusFileIO::RUVOFile;
using AnnulusFileIO::UserDataFileIOImpl;
using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

constexpr const char16_t* kInconsistent = u"rebuild area does not exist. is inconsistent.";

std::uint64_t rubBlocks() { return UserDataFileIOImpl::rubBytes() / 2048; }

}  // namespace

// ---------------------------------------------------------------- record

RebuildRecord::RebuildRecord(std::uint64_t file_index, std::uint32_t stream, std::int64_t size,
                             std::uint32_t count)
    : m_bytes(sizeof(RebuildRecordHead) + (std::size_t{count} + 2) * sizeof(MDCFS_SPACE_ENTRY), 0) {
  RebuildRecordHead& h = head();
  h.FileIndex = file_index;
  h.StreamIndex = stream;
  h.FileSize = size;
  h.TotalSpaceCount = count;
}

RebuildRecordHead& RebuildRecord::head() { return *reinterpret_cast<RebuildRecordHead*>(m_bytes.data()); }

MDCFS_SPACE_ENTRY* RebuildRecord::entries() {
  return reinterpret_cast<MDCFS_SPACE_ENTRY*>(m_bytes.data() + sizeof(RebuildRecordHead));
}

std::size_t RebuildRecord::sentBytes() const {
  const auto* h = reinterpret_cast<const RebuildRecordHead*>(m_bytes.data());
  return sizeof(RebuildRecordHead) + std::max<std::size_t>(h->TotalSpaceCount, 1) * sizeof(MDCFS_SPACE_ENTRY);
}

// ---------------------------------------------------------------- picker

bool ProxyWriter::AllocationPicker::take(std::uint64_t blocks, std::vector<MDCFS_SPACE_ENTRY>* out) {
  while (blocks > 0) {
    if (m_current >= m_areas.size()) {
      trace(2, u"LumoQVE::ProxyWriter::AllocationPicker::pickAreaForSize", __LINE__,
            u"used up the proxy allocation.");
      return false;
    }
    const MDCFS_SPACE_ENTRY& a = m_areas[m_current];
    const std::uint64_t left = AnnulusFileIO::BlocksOf(a) - std::min<std::uint64_t>(m_used, AnnulusFileIO::BlocksOf(a));
    const std::uint64_t n = std::min(left, blocks);
    if (out && n > 0)
      out->push_back(AnnulusFileIO::MakeSpaceEntry(AnnulusFileIO::ZoneOf(a),
                                                   static_cast<std::uint32_t>(AnnulusFileIO::OffsetOf(a) + m_used),
                                                   static_cast<std::uint32_t>(n)));
    m_used += n;
    blocks -= n;
    if (m_used >= AnnulusFileIO::BlocksOf(a)) {
      ++m_current;
      m_used = 0;
    }
  }
  return true;
}

std::optional<std::vector<MDCFS_SPACE_ENTRY>> ProxyWriter::AllocationPicker::pickAreaForSize(std::uint64_t bytes) {
  std::vector<MDCFS_SPACE_ENTRY> out;
  const std::uint64_t unit = rubBlocks();
  const std::uint64_t blocks = ((bytes + 2047) / 2048 + unit - 1) / unit * unit;
  if (!take(blocks, &out)) return std::nullopt;
  return out;
}

void ProxyWriter::AllocationPicker::seekArea(std::int64_t offset) {
  m_current = 0;
  m_used = 0;
  if (offset > 0) take((static_cast<std::uint64_t>(offset) + 2047) / 2048, nullptr);
}

// ---------------------------------------------------------------- rebuild

std::uint32_t ProxyWriter::sendRebuild(RebuildRecord& record) {
  RuvoCtrlVolume volume(m_obase ? m_obase->getProavRootPath() : u"");
  // The engine's record type is declared only; this is its layout.
  return volume.rebuildFileAllocation(*reinterpret_cast<MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER*>(record.data()),
                                      record.head().TotalSpaceCount);
}

std::uint32_t ProxyWriter::reBuildSizeUnit(AllocationPicker& picker, std::uint64_t bytes, RebuildRecord& record,
                                           std::uint32_t& count) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::reBuildSizeUnit";
  auto areas = picker.pickAreaForSize(bytes);
  if (!areas) {
    trace(2, kMethod, __LINE__, kInconsistent);
    return QVE_RESULT_ERROR_NO_BUFFER;
  }
  for (const MDCFS_SPACE_ENTRY& a : *areas) {
    if (count >= record.head().TotalSpaceCount) return QVE_RESULT_ERROR_NO_BUFFER;
    record.entries()[count] = a;
    trace(1, kMethod, __LINE__, u"entryCount=%d", count);
    ++count;
  }
  return 0;
}

std::uint32_t ProxyWriter::reBuildZeroFile(GhostFileInformation& g) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::reBuildZeroFile";
  trace(1, kMethod, __LINE__, u"start rebuild of %ls.", g.bodyPath);
  for (std::uint32_t stream = 0; stream < (g.parityPath.empty() ? 1u : 2u); ++stream) {
    RebuildRecord record(static_cast<std::uint64_t>(g.bodyFileIndex), stream, 0, 0);
    if (const std::uint32_t r = sendRebuild(record)) {
      trace(2, kMethod, __LINE__, kInconsistent);
      return r;
    }
  }
  trace(1, kMethod, __LINE__, u"success. rebuild of %ls.", g.bodyPath);
  return 0;
}

std::uint32_t ProxyWriter::reBuildGhostFile(AllocationPicker& picker, GhostFileInformation& g) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::reBuildGhostFile";
  trace(1, kMethod, __LINE__, u"start rebuild of %ls.", g.bodyPath);
  if (m_flushedSize < g.writeStartOffsetBytesInProxy + g.m_bodyFileTotalBytes + g.m_parityFileTotalBytes) {
    trace(2, kMethod, __LINE__, u"size of proxy file is missing.");
    if (reBuildZeroFile(g)) trace(2, kMethod, __LINE__, u"error reBuildZeroFile");
    return QVE_RESULT_ERROR_NO_BUFFER;
  }
  const bool parity = !g.parityPath.empty();
  trace(1, kMethod, __LINE__, u"writeStartOffsetBytesInProxy=%lld", static_cast<long long>(g.writeStartOffsetBytesInProxy));
  picker.seekArea(g.writeStartOffsetBytesInProxy);
  std::uint32_t body_count = 0, parity_count = 0;
  for (const auto& c : g.chunks) {
    auto b = picker.pickAreaForSize(static_cast<std::uint64_t>(c.first));
    auto p = parity ? picker.pickAreaForSize(static_cast<std::uint64_t>(c.second))
                    : std::optional<std::vector<MDCFS_SPACE_ENTRY>>(std::vector<MDCFS_SPACE_ENTRY>{});
    if (!b || !p) {
      trace(2, kMethod, __LINE__, kInconsistent);
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    body_count += static_cast<std::uint32_t>(b->size());
    parity_count += static_cast<std::uint32_t>(p->size());
  }
  const bool body_size = g.m_addFileAllocError && (g.m_addFileAllocErrorIsBody & 1);
  const bool parity_size = g.m_addFileAllocError && (g.m_addFileAllocErrorIsBody & 2);
  RebuildRecord body(static_cast<std::uint64_t>(g.bodyFileIndex), 0, body_size ? g.m_bodyFileTotalBytes : -1,
                     body_count);
  RebuildRecord par(static_cast<std::uint64_t>(g.bodyFileIndex), 1, parity_size ? g.m_parityFileTotalBytes : -1,
                    parity_count);
  trace(1, kMethod, __LINE__, u"FileIndex=%llu", static_cast<unsigned long long>(g.bodyFileIndex));
  picker.seekArea(g.writeStartOffsetBytesInProxy);
  std::uint32_t bi = 0, pi = 0;
  for (const auto& c : g.chunks) {
    if (const std::uint32_t r = reBuildSizeUnit(picker, static_cast<std::uint64_t>(c.first), body, bi)) return r;
    if (parity)
      if (const std::uint32_t r = reBuildSizeUnit(picker, static_cast<std::uint64_t>(c.second), par, pi)) return r;
  }
  for (RebuildRecord* record : {&body, &par}) {
    if (record == &par && !parity) break;
    const RebuildRecordHead& h = record->head();
    if (h.FileSize != -1 && h.TotalSpaceCount > 0) {
      const MDCFS_SPACE_ENTRY& e = record->entries()[0];
      trace(3, kMethod, __LINE__,
            u"MDCFSCTL_REBUILD_FILE_ALLOCATION FileIndex=0x%llX FileSize=%llu TotalSpaceCount=%u ZoneId=0x%X, "
            u"BlockOffset=0x%X, NumberOfBlocks=0x%X",
            static_cast<unsigned long long>(h.FileIndex), static_cast<unsigned long long>(h.FileSize),
            h.TotalSpaceCount, AnnulusFileIO::ZoneOf(e), AnnulusFileIO::OffsetOf(e), AnnulusFileIO::BlocksOf(e));
    }
    if (const std::uint32_t r = sendRebuild(*record)) {
      trace(2, kMethod, __LINE__, kInconsistent);
      return r;
    }
  }
  trace(1, kMethod, __LINE__, u"success. rebuild of %ls.", g.bodyPath);
  return 0;
}

void truncateFile(const std::u16string& path) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::truncateFile";
  RUVOFile file;
  if (!file.createFile(path, 0x40000000, 0, nullptr, 3, 0x80, nullptr)) {
    trace(2, kMethod, __LINE__, u"createFile Error");
    return;
  }
  if (file.isOpen()) {
    trace(1, kMethod, __LINE__, u"setEndOfFile Call");
    file.setPosition(0);
    file.setEndOfFile();
  }
  file.close();
}

// A ghost file that cannot be given its data: its placeholder goes (rebuilt
// as an empty file unless that was done), and the file is removed before
// the session leaves the privileged mode.
void ProxyWriter::lose(const std::shared_ptr<GhostFileInformation>& ghost, bool rebuild_as_zero) {
  if (rebuild_as_zero && reBuildZeroFile(*ghost))
    trace(2, u"LumoQVE::ProxyWriter::divideProxyFile", __LINE__, u"error reBuildZeroFile");
  m_lost.push_back(ghost);
}

int ProxyWriter::removeLostFile(const GhostFileInformation& ghost) {
  const FileSystemOperations* o = kel::CurrentOperations();
  if (!o || !o->GetPathInfo || !o->DeleteFile) return kel::kNoInterfaceResult;
  const std::string& path = ghost.hostPath;
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash + 1 >= path.size()) return 2;
  // The place must hold the lost file itself: what the engine cannot prove
  // is that file is left alone.
  KELFS_OBJECT_INFO info;
  std::memset(&info, 0, sizeof info);
  if (const int r = o->GetPathInfo(path.c_str(), 0u, &info)) return r;
  if (static_cast<std::int64_t>(info.ObjectID) != ghost.bodyFileIndex) return 2;
  const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  const int r = o->DeleteFile(folder.c_str(), path.c_str() + slash + 1);
  trace(2, u"LumoQVE::ProxyWriter::removeLostFiles", __LINE__, u"lost file %hs removed: result=%d", path, r);
  return r;
}

// The lost files are removed, so that a listing and a Restore show them
// absent. One that cannot be removed is at least emptied.
void ProxyWriter::removeLostFiles() {
  for (const auto& lost : m_lost) {
    if (removeLostFile(*lost) == 0) continue;
    trace(2, u"LumoQVE::ProxyWriter::removeLostFiles", __LINE__, u"lost file %ls not removed: emptied",
          lost->bodyPath);
    truncateFile(lost->bodyPath);
    if (!lost->parityPath.empty()) truncateFile(lost->parityPath);
  }
}

std::uint32_t ProxyWriter::deleteProxyFile() {
  std::string path = platform::utf16_to_utf8(m_proxyPath);
  for (char& c : path)
    if (c == '\\') c = '/';
  const std::size_t cut = path.find_first_not_of("/$");
  path = cut == std::string::npos ? std::string() : path.substr(cut);
  const FileSystemOperations* o = kel::CurrentOperations();
  const int r = o && o->DeleteFile ? o->DeleteFile("/$", path.c_str()) : kel::kNoInterfaceResult;
  return kel::ReportEngineErrorThrough(o, r, "PackedFileIO", __LINE__);
}

std::uint32_t ProxyWriter::divideProxyFile() {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::divideProxyFile";
  trace(2, kMethod, __LINE__, u"divideProxyFile start ...");
  if (!m_proxyFile) {
    trace(2, kMethod, __LINE__, u"proxy file is already close.");
    for (const auto& g : m_ghostFiles) lose(g, true);
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  trace(2, kMethod, __LINE__, u"proxyPath=%ls", m_proxyPath);
  m_proxyFile->close();
  trace(2, kMethod, __LINE__, u"proxyFile close() (1st) done.");
  if (m_proxyFile->createFile(m_proxyPath, 0x80000000, 0, nullptr, 3, 0x20000000, nullptr))
    trace(2, kMethod, __LINE__, u"createFile([%ls]) succeeded.", m_proxyPath);
  else
    trace(2, kMethod, __LINE__, u"createFile([%ls]) failed. GetLastError()=0x%08X", m_proxyPath,
          static_cast<std::uint32_t>(GetLastError()));
  std::vector<MDCFS_SPACE_ENTRY> areas;
  const bool read = m_proxyFile->getFileAllocationAll(areas);
  m_proxyFile->close();
  trace(2, kMethod, __LINE__, u"proxyFile close() (2nd) done.");
  std::uint32_t first = 0;
  if (!read) {
    // Without the proxy's allocation no ghost file can be given its
    // blocks: every one ends empty, and the proxy goes all the same.
    trace(2, kMethod, __LINE__, u"ERROR : getFileAllocationAll() error\n");
    first = QVE_RESULT_ERROR_1D;
  } else {
    trace(2, kMethod, __LINE__, u"getFileAllocationAll(proxyAreas) result: proxyAreas.size()==%d",
          static_cast<int>(areas.size()));
    for (const MDCFS_SPACE_ENTRY& a : areas)
      trace(2, kMethod, __LINE__, u"m_zoneId=%u, startBlock=0x%X, numBlocks=%u", AnnulusFileIO::ZoneOf(a),
            AnnulusFileIO::OffsetOf(a), AnnulusFileIO::BlocksOf(a));
  }
  if (const std::uint32_t r = deleteProxyFile(); r && !first) first = r;
  m_proxyFile.reset();
  if (!read) {
    for (const auto& g : m_ghostFiles) lose(g, true);
    return first;
  }
  // Each file's pieces are found from its own start in the proxy: a file
  // that cannot be rebuilt is lost alone, the others keep their data.
  AllocationPicker picker(std::move(areas));
  for (const auto& g : m_ghostFiles) {
    // A file whose archive failed while its session's data was kept for
    // another end has no data in this proxy.
    if (g->abandoned) {
      lose(g, true);
      continue;
    }
    const std::uint32_t r = reBuildGhostFile(picker, *g);
    if (r == 0 || r == QVE_RESULT_ERROR_8800001E) continue;
    if (!first) first = r;
    lose(g, true);
  }
  trace(2, kMethod, __LINE__, u"divideProxyFile success.");
  return first;
}

}  // namespace LumoQVE
