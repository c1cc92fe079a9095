// The recovery copy and its output onto the duplication's handle.
#include "recovery_copy.h"

#include "drive_ctrl.h"
#include "sdk_frame.h"

#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace PxoUtilityLib {

RecoveryReadCall recoveryReadCall = ::pread;

namespace {
constexpr std::uint32_t kDefaultRetry = 10;
}

std::uint32_t resultOfCurrentException() {
  try {
    throw;
  } catch (const PxoUtilityLibException& e) {
    KELSDK_LOG(kLogTrace, "PxoUtilityLibException result=0x%08X throw at path=%s function=%s line=%u", e.code(),
               narrow(e.file()).c_str(), narrow(e.function()).c_str(), static_cast<unsigned>(e.line()));
    return e.code();
  } catch (const std::exception& e) {
    KELSDK_LOG(kLogError, "std::exception: what()=%s", e.what());
    return 0x10001;
  } catch (...) {
    KELSDK_LOG(kLogError, "unknown exception");
    return 0x10002;
  }
}

void ByteProgress::advanceTo(std::uint64_t position) {
  position = std::min(limit, position);
  if (position <= highest) return;
  highest = position;
  if (kind == 0 || kind == 1) report(position);
}

void ByteProgress::report(std::uint64_t within, bool reportAlways) {
  if (!callback || (!reportAlways && kind != 0 && kind != 1)) return;
  const std::uint64_t pair[2] = {files,
                                 (static_cast<std::uint64_t>(kind) << 60) | ((base + within) & kPositionMask)};
  callback->progress(pair, kPositionMask);
}

std::uint32_t recoveryBlockSize(const DriveCtrl* source) {
  return source && source->mediumType() == 0xF2 ? 0x40000 : 0x10000;
}

// --- reader ----------------------------------------------------------------

ParityFile::FileReader::~FileReader() {
  if (m_fd >= 0) ::close(m_fd);
}

ParityFile::FileReader_file::FileReader_file(std::u16string path, const DriveCtrl* drive, std::uint32_t retry) {
  m_path = std::move(path);
  m_drive = drive;
  m_retry = retry;
}

ParityFile::FileReader_file::~FileReader_file() = default;

std::uint32_t ParityFile::FileReader_file::openFile() {
  std::string p;
  const std::string shown = narrow(m_path);
  KELSDK_LOG(kLogTrace, "[####]CreateFile(%s)", shown.c_str());
  int f = -1;
  if (posixPath(m_path, p) == PathKind::Posix) f = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (f < 0) {
    KELSDK_LOG(kLogError, "CreateFile(%s) error GetLastError=%u", shown.c_str(), static_cast<unsigned>(errno));
    return kRecoverOpenFailed;
  }
  struct stat st{};
  if (::fstat(f, &st) != 0) {
    KELSDK_LOG(kLogError, "GetFileSizeEx(%s) error GetLastError=%u", shown.c_str(), static_cast<unsigned>(errno));
    ::close(f);
    return kRecoverSizeFailed;
  }
  m_fd = f;
  m_size = static_cast<std::uint64_t>(st.st_size);
  KELSDK_LOG(kLogTrace, "[####]m_hFile=%u, m_fileSize=%llu", static_cast<unsigned>(f),
             static_cast<unsigned long long>(m_size));
  return 0;
}

bool ParityFile::FileReader_file::readFile(std::uint8_t* buffer, std::uint64_t block, std::uint32_t* read,
                                           bool* pastEnd) {
  *pastEnd = false;
  *read = 0;
  const std::uint32_t blockSize = recoveryBlockSize(m_drive);
  if (block >= m_size / blockSize + 1) {  // also keeps the position inside 64 bits
    *pastEnd = true;
    return false;
  }
  const std::uint64_t position = block * blockSize;
  if (position >= m_size) {
    *pastEnd = true;
    return false;
  }
  const std::uint32_t want = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockSize, m_size - position));
  for (std::uint32_t attempt = 0; attempt <= m_retry; ++attempt) {
    std::uint32_t got = 0;
    bool failed = false;
    while (got < want) {
      const ssize_t n = recoveryReadCall(m_fd, buffer + got, want - got, static_cast<off_t>(position + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failed = true;
        break;
      }
      if (n == 0) break;
      got += static_cast<std::uint32_t>(n);
    }
    if (!failed) {
      std::memset(buffer + got, 0, blockSize - got);
      *read = got;
      return true;
    }
  }
  KELSDK_LOG(kLogError, "ReadFile(%s) pos=0x%llx error GetLastError=%u", m_role == 1 ? "file" : "parity",
             static_cast<unsigned long long>(position), static_cast<unsigned>(errno));
  return false;
}

void ParityFile::FileReader_file::close() {
  if (m_role == 1) return;  // the body stays open until the reader goes
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_size = 0;
}

// --- the copy --------------------------------------------------------------

ParityFile::ParityFile(std::u16string source, const DriveCtrl* drive, std::unique_ptr<OutputFile> output,
                       PxoUtility::RecoveryFileCallback* cancel)
    : m_cancel(cancel), m_source(std::move(source)), m_drive(drive), m_output(std::move(output)) {}

ParityFile::~ParityFile() = default;

std::uint32_t ParityFile::readRetryLimit() {
  std::uint32_t value = 0;
  std::vector<RegistryValue> values{{"MaxRcvryRdRetry", REG_DWORD, &value, sizeof value}};
  if (!getRegistory(values) || !values[0].found) {
    KELSDK_LOG(kLogError, "getRegistory error");
    return kDefaultRetry;
  }
  return value;
}

std::uint32_t ParityFile::doRecovery() {
  m_body = std::make_unique<FileReader_file>(m_source, m_drive, readRetryLimit());
  if (const std::uint32_t r = m_body->openFile()) {
    KELSDK_LOG(kLogCheck, "ParityFile::fileOpen error");
    throwPxo(r, __FILE__, __LINE__, "ParityFile::doRecovery");
  }
  const std::uint64_t block = recoveryBlockSize(m_drive);
  m_fileRUB = static_cast<std::int64_t>((m_body->size() + block - 1) / block);
  KELSDK_LOG(kLogTrace, "[####]m_bodyReader->getSize()=%llu, m_fileRUB=%llu",
             static_cast<unsigned long long>(m_body->size()), static_cast<unsigned long long>(m_fileRUB));
  if (const std::uint32_t r = m_output->open(1)) {
    KELSDK_LOG(kLogError, "output file open error 0x%08X", r);
    return r;
  }
  m_output->sourceSize(m_body->size());
  return recovery() ? 0 : kRecoverUncorrectable;
}

void ParityFile::checkCancel() {
  if (!m_cancel || !m_cancel->cancel()) return;
  m_output->abort();
  KELSDK_LOG(kLogCheck, "doRecoveryFile canceled");
  throwPxo(kRecoverCanceled, __FILE__, __LINE__, "ParityFile::checkCancel");
}

bool ParityFile::recovery() {
  const std::uint32_t blockSize = recoveryBlockSize(m_drive);
  std::vector<std::uint8_t> buffer(blockSize);
  m_output->setDirect();
  bool good = true;
  std::int64_t done = 0;
  for (std::int64_t i = 0; i < m_fileRUB; ++i) {
    checkCancel();
    std::uint32_t read = 0;
    bool pastEnd = false;
    const bool ok = m_body->readFile(buffer.data(), static_cast<std::uint64_t>(i), &read, &pastEnd);
    if (!ok) {
      good = false;
      KELSDK_LOG(kLogError, "file read error 0x%llX", static_cast<unsigned long long>(i) * blockSize);
      if (m_stopOnFirstError) return false;  // no end of file is set
      std::fill(buffer.begin(), buffer.end(), 0);
    }
    if (!m_output->writeBlock(buffer.data(), static_cast<std::uint64_t>(i))) {
      KELSDK_LOG(kLogError, "ParityFile::writeFile error");
      throwPxo(kRecoverWriteFailed, __FILE__, __LINE__, "ParityFile::recovery");
    }
    if (ok) {
      ++done;
      const auto percent = static_cast<std::uint8_t>(done * 100 / m_fileRUB);
      if (percent != m_lastPercent) m_lastPercent = percent;  // no percentage callback in a duplication
    }
  }
  if (!m_output->setEOF(m_body->size())) {
    KELSDK_LOG(kLogError, "ParityFile::setEOF error");
    throwPxo(kRecoverEofFailed, __FILE__, __LINE__, "ParityFile::recovery");
  }
  if (!good) KELSDK_LOG(kLogError, "Uncorrectable %s", narrow(m_source).c_str());
  return good;
}

// --- output ----------------------------------------------------------------

std::uint32_t RecoverOutputFile::open(std::uint32_t blocksPerGroup) {
  m_groupSize = static_cast<std::uint64_t>(blocksPerGroup) * recoveryBlockSize(m_drive);
  m_group.assign(static_cast<std::size_t>(m_groupSize), 0);
  return 0;
}

bool RecoverOutputFile::writeBlock(const std::uint8_t* data, std::uint64_t block) {
  const std::uint32_t size = recoveryBlockSize(m_drive);
  const std::uint64_t position = block * size;
  if (!m_buffered) return write(data, position, size);
  if (m_groupSize == 0) return false;
  std::memcpy(m_group.data() + position % m_groupSize, data, size);
  return true;
}

bool RecoverOutputFile::flushGroup(std::uint64_t group) {
  if (!m_buffered) return true;
  return write(m_group.data(), group * m_groupSize, static_cast<std::uint32_t>(m_groupSize));
}

bool RecoverOutputFile::write(const std::uint8_t* data, std::uint64_t position, std::uint32_t length) {
  if (m_skip >= m_end) return true;  // the whole file is on the output already
  if (position < m_skip) {
    if (m_skip >= position + length) return true;
    const std::uint64_t cut = m_skip - position;
    data += cut;
    length -= static_cast<std::uint32_t>(cut);
    position = m_skip;
  }
  if (!m_files.seek(m_handle, position)) {
    KELSDK_LOG(kLogError, "seek pos=0x%llx error", static_cast<unsigned long long>(position));
    return false;
  }
  if (!m_files.write(m_handle, length, data)) {
    KELSDK_LOG(kLogError, "write pos=0x%llx error", static_cast<unsigned long long>(position));
    return false;
  }
  if (m_progress) m_progress->advanceTo(position + length);
  return true;
}

bool RecoverOutputFile::setEOF(std::uint64_t size) {
  if (m_files.setEOF(m_handle, size)) return true;
  KELSDK_LOG(kLogError, "setEOF pos=0x%llx error", static_cast<unsigned long long>(size));
  return false;
}

std::uint32_t recoverFile(PxoUtility::RecoveryFileCallback* cancel, ByteProgress& progress,
                          const std::u16string& source, PxoUtility::FileOperationCallback& files,
                          PxoUtility::FileHandle output, std::uint64_t skip, const DriveCtrl* drive) {
  try {
    auto out = std::make_unique<RecoverOutputFile>(files, output, skip, &progress, drive);
    ParityFile copy(source, drive, std::move(out), cancel);
    return copy.doRecovery();
  } catch (...) {
    return resultOfCurrentException();
  }
}

}  // namespace PxoUtilityLib
