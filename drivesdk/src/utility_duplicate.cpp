// The duplication entry points of the utility implementation and the
// duplication methods of the class interface, with their handle and the
// progress adapter.
#include "duplicate.h"
#include "sdk_frame.h"
#include "utility_impl.h"

#include "KelDriveSDK/KelDriveSDK.h"

#include <mutex>
#include <set>

namespace PxoUtilityLib {

namespace {
constexpr std::uint32_t kNotInitialized = 0x6000303;

Duplicate& duplicateOf(std::unique_ptr<Duplicate>& d, const char* function) {
  if (d) return *d;
  KELSDK_LOG(kLogCheck, "Duplicate not initialized.");
  throwPxo(kNotInitialized, __FILE__, __LINE__, function);
}
}  // namespace

DuplicateMediaCallbackImpl::DuplicateMediaCallbackImpl(kelutil::DuplicateVolumeCallback* callback,
                                                       std::uint64_t total)
    : m_callback(callback), m_total(total) {}

void DuplicateMediaCallbackImpl::progress(const std::uint64_t* pair, std::uint64_t mask) {
  if (!m_callback || !pair) return;
  const std::uint64_t done = pair[1] & mask & kPositionMask;
  const auto percent = m_total ? static_cast<unsigned __int128>(done) * 100 / m_total : 0;
  m_callback->progress(static_cast<std::uint32_t>(percent > 0xFFFFFFFFu ? 0xFFFFFFFFu : percent));
}

bool DuplicateMediaCallbackImpl::cancel() { return m_callback && m_callback->cancel(); }

std::uint32_t PxoUtilityImpl::openDuplicateMedia(const std::u16string& root, bool copyCM, DuplicationState& state) {
  m_duplicate = std::make_unique<Duplicate>();
  return m_duplicate->getFilesDuplicateMedia(m_path, root, copyCM, state.files, state.size);
}

std::uint32_t PxoUtilityImpl::checkDuplicateMedia(std::uint32_t kind, const std::u16string& path, bool overwrite,
                                                  bool& mediumFlag, std::uint32_t& verdict) {
  Duplicate& d = duplicateOf(m_duplicate, "PxoUtilityLib::PxoUtilityImpl::checkDuplicateMedia");
  d.setFileOperation(Duplicate::fileOperationMaker()());
  return d.checkDuplicateMediaImpl(kind, path, overwrite, mediumFlag, verdict);
}

std::uint32_t PxoUtilityImpl::doDuplicateMedia(std::uint32_t policy, std::uint32_t mode, std::uint32_t kind,
                                               const std::u16string& destination, DuplicateResult& result,
                                               std::vector<DuplicateEntryResult>& list, bool restrictSpanning,
                                               PxoUtility::DuplicateMediaCallback* callback) {
  Duplicate& d = duplicateOf(m_duplicate, "PxoUtilityLib::PxoUtilityImpl::doDuplicateMedia");
  KELSDK_LOG(kLogTrace, "[####]bRstrctDiscSpanning=%d", restrictSpanning ? 1 : 0);
  return d.doDuplicateMedia(policy, mode, kind, destination, result, list, restrictSpanning, callback);
}

std::uint32_t PxoUtilityImpl::closeDuplicateMedia(bool close) {
  if (!close) {
    m_duplicate.reset();
    return 0;
  }
  Duplicate& d = duplicateOf(m_duplicate, "PxoUtilityLib::PxoUtilityImpl::closeDuplicateMedia");
  std::uint32_t r = 0;
  try {
    d.setFileOperation(Duplicate::fileOperationMaker()());
    d.delTemp();
  } catch (...) {
    r = resultOfCurrentException();
  }
  try {
    m_duplicate.reset();
  } catch (...) {
    const std::uint32_t e = resultOfCurrentException();
    if (r == 0) r = e;
  }
  return r;
}

}  // namespace PxoUtilityLib

namespace kelutil {

using PxoUtilityLib::convertExceptions;

namespace {

// The duplication handle: the utility implementation on the drive, the
// state of the source (file count and total size), the path, and the
// result of the last run.
struct DuplicateHandle {
  std::unique_ptr<PxoUtilityLib::PxoUtilityImpl> impl;
  std::unique_ptr<PxoUtilityLib::DuplicationState> state;
  std::u16string path;
  PxoUtilityLib::DuplicateResult last;
};

// Live handles: anything else given as a handle is refused, never used.
std::mutex g_handlesLock;
std::set<void*> g_handles;

DuplicateHandle* live(void* handle) {
  std::lock_guard<std::mutex> lock(g_handlesLock);
  if (!handle || !g_handles.count(handle)) return nullptr;
  auto* h = static_cast<DuplicateHandle*>(handle);
  return h->impl && h->state ? h : nullptr;
}

void forget(DuplicateHandle* h) {
  {
    std::lock_guard<std::mutex> lock(g_handlesLock);
    g_handles.erase(h);
  }
  delete h;
}

constexpr std::uint32_t kNoHandleRecord = 0x6000304;
constexpr std::uint32_t kBadHandle = 0x6000305;

}  // namespace

DuplicateVolumeCallback::~DuplicateVolumeCallback() = default;
bool DuplicateVolumeCallback::cancel() { return false; }

std::uint32_t KelUtility::OpenDuplicateMedia(const std::u16string& path, DuplicateVolume_CMCopyFlag flag,
                                             void*& handle) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::OpenDuplicateMedia", [&]() -> std::uint32_t {
    KelFile file(path);
    std::u16string drive;
    file.getDrive(drive);
    std::unique_ptr<DuplicateHandle> record(new (std::nothrow) DuplicateHandle);
    if (!record) return kNoHandleRecord;
    record->impl = std::make_unique<PxoUtilityLib::PxoUtilityImpl>(drive, nullptr);
    record->state = std::make_unique<PxoUtilityLib::DuplicationState>();
    record->path = path;
    const std::u16string rest = path.size() > 2 ? path.substr(2) : std::u16string();
    // The caller's flag names "copy" as 0: it goes on inverted.
    const std::uint32_t r = record->impl->openDuplicateMedia(rest, flag == DuplicateVolume_CMCopy, *record->state);
    if (r != 0) return r;
    std::lock_guard<std::mutex> lock(g_handlesLock);
    g_handles.insert(record.get());
    handle = record.release();
    return 0;
  });
}

std::uint32_t KelUtility::CloseDuplicateMedia(void* handle) {
  DuplicateHandle* h = live(handle);
  if (!h) return kBadHandle;
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::CloseDuplicateMedia", [&]() -> std::uint32_t {
    const std::uint32_t r = h->impl->closeDuplicateMedia(true);
    if (r == 0) forget(h);
    return r;
  });
}

std::uint32_t KelUtility::CheckFreeSpaceMedia(void* handle, DuplicateVolume_DriveKind kind, const std::u16string& path,
                                              bool overwrite, bool& mediumFlag, DuplicateVolume_CheckResult& result) {
  DuplicateHandle* h = live(handle);
  if (!h) return kBadHandle;
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::CheckFreeSpaceMedia", [&]() -> std::uint32_t {
    std::uint32_t verdict = 0;
    const std::uint32_t r = h->impl->checkDuplicateMedia(kind, path, overwrite, mediumFlag, verdict);
    if (r == 0) result = static_cast<DuplicateVolume_CheckResult>(verdict);
    return r;
  });
}

std::uint32_t KelUtility::RetrieveVolumeforSingle(void* handle, const std::u16string& path,
                                                  DuplicateVolume_WriteErrorPolicy policy,
                                                  DuplicateVolumeCallback* callback) {
  DuplicateHandle* h = live(handle);
  if (!h) return kBadHandle;
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::RetrieveVolumeforSingle", [&]() -> std::uint32_t {
    PxoUtilityLib::DuplicateMediaCallbackImpl progress(callback, h->state->size);
    std::vector<PxoUtilityLib::DuplicateEntryResult> list;
    // Source to the temporary copy at the path, a plain directory.
    return h->impl->doDuplicateMedia(policy, PxoUtilityLib::kModeRetrieve, PxoUtilityLib::kKindDirectory, path,
                                     h->last, list, false, &progress);
  });
}

std::uint32_t KelUtility::DuplicateVolumeforSingle(void* handle, DuplicateVolume_WriteErrorPolicy policy,
                                                   bool restrictSpanning, DuplicateVolumeCallback* callback) {
  DuplicateHandle* h = live(handle);
  if (!h) return kBadHandle;
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::DuplicateVolumeforSingle", [&]() -> std::uint32_t {
    PxoUtilityLib::DuplicateMediaCallbackImpl progress(callback, h->state->size);
    std::vector<PxoUtilityLib::DuplicateEntryResult> list;
    // The temporary copy to the medium now in the handle's drive.
    return h->impl->doDuplicateMedia(policy, PxoUtilityLib::kModeWrite, PxoUtilityLib::kKindDrive, h->path, h->last,
                                     list, restrictSpanning, &progress);
  });
}

void KelUtility::duplicateResultCopy(DuplicateVolumeResult& result, void* handle) {
  DuplicateHandle* h = live(handle);
  if (!h) return;
  for (int i = 0; i < 8; ++i) result.Values[i] = h->last.values[i];
}

}  // namespace kelutil
