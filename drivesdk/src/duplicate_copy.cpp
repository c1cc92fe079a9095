// Volume duplication: copying and verifying one entry.
#include "duplicate.h"

#include "sdk_frame.h"

#include <cstdio>

namespace PxoUtilityLib {

using PxoUtility::FileHandle;
using PxoUtility::kNoHandle;

// Closes its handle once, on destruction or on request.
struct Duplicate::Closer {
  PxoUtility::FileOperationCallback& files;
  FileHandle handle = kNoHandle;
  ~Closer() { close(); }
  void close() {
    if (handle != kNoHandle) files.close(handle);
    handle = kNoHandle;
  }
  void reset(FileHandle h) {
    close();
    handle = h;
  }
};

// The recovery copy's cancel query, forwarded to the duplication's callback.
struct Duplicate::Callback : PxoUtility::RecoveryFileCallback {
  explicit Callback(PxoUtility::DuplicateMediaCallback* c) : callback(c) {}
  bool cancel() override { return callback && callback->cancel(); }
  PxoUtility::DuplicateMediaCallback* callback;
};

bool Duplicate::canceled(const RunArgs& args) const {
  if (!args.callback || !args.callback->cancel()) return false;
  KELSDK_LOG(kLogCheck, "Duplicate media canceled");
  return true;
}

std::uint32_t Duplicate::doDuplicateMediaCopyImpl(SourceEntry& entry, RunArgs& args) {
  bool writeRetried = false;
  for (;;) {
    bool again = false;
    const std::uint32_t r = copyOnce(entry, args, again, writeRetried);
    if (!again) return r;
  }
}

// One copy attempt of one entry, between its steps.
struct Duplicate::Attempt {
  Attempt(SourceEntry& e, RunArgs& r, PxoUtility::FileOperationCallback& files)
      : entry(e), args(r), flags(e.flags[r.destSide ? 1 : 0]), in{files}, out{files} {}
  SourceEntry& entry;
  RunArgs& args;
  std::uint8_t& flags;  // the entry's flags of this side
  std::u16string source;
  std::u16string output;
  Closer in;
  Closer out;
  bool outputMade = false;  // a file this attempt created: deleted when it fails
  bool renamed = false;
  Data data = Data::Good;
};

// One attempt at one entry, in steps: the source opened, the output made and
// written, its attributes set. Every way out of a failed attempt goes through
// dropOutput, which closes both files and deletes an output the attempt made,
// before the failure is judged.
std::uint32_t Duplicate::copyOnce(SourceEntry& entry, RunArgs& args, bool& again, bool& writeRetried) {
  args.progress.limit = entry.size;
  args.progress.highest = 0;
  if (canceled(args)) return kDupCanceled;
  Attempt a(entry, args, *m_files);
  Outcome o = openSource(a);
  if (!o.end) o = writeOutput(a, again, writeRetried);
  if (!o.end && a.data == Data::Good) o = setOutputDetails(a);
  if (!o.end && a.data == Data::Good) return recordCopy(a);
  dropOutput(a);
  return o.end ? o.result : judgeData(a, again, writeRetried);
}

// The entry's source: on the source volume, or its temporary copy (an entry
// not verified there has nothing to copy; its flags go over as they are).
// A link of a mode-2 run has no temporary copy: its target was read then.
Duplicate::Outcome Duplicate::openSource(Attempt& a) {
  SourceEntry& entry = a.entry;
  const RunArgs& args = a.args;
  entry.copied = false;
  if (args.readSource) {
    a.source = m_sourceRoot + entry.name;
  } else {
    if (!(entry.flags[0] & kFlagVerified)) {
      entry.flags[1] = entry.flags[0];
      return {true, 0};
    }
    a.source = entry.tempPath;
  }
  if (args.readSource || !entry.isLink) {
    const std::uint32_t type = !args.readSource ? PxoUtility::kOpenRead
                               : entry.isLink   ? PxoUtility::kOpenLink
                                                : PxoUtility::kOpenReadDirect;
    FileHandle h = kNoHandle;
    const std::uint32_t r = m_files->open(a.source, type, h);
    if (r != 0) {
      KELSDK_LOG(kLogError, "src open(%s) error %d", narrow(a.source).c_str(), static_cast<int>(r));
      if (const std::uint32_t c = checkSrcDrive(args.mode)) return {true, c};
      if (r == PxoUtility::kOpenNotFound) return {true, kDupSourceMissing};
      a.flags = kFlagSourceFailed;
      return {true, 0};
    }
    a.in.reset(h);
  }
  return args.readSource ? readSourceDetails(a) : Outcome{};
}

// The source's times and, for a link, its target.
Duplicate::Outcome Duplicate::readSourceDetails(Attempt& a) {
  SourceEntry& entry = a.entry;
  if (!m_files->getFileTime(a.in.handle, entry.times)) {
    KELSDK_LOG(kLogError, "src getFileTime(%s) error", narrow(a.source).c_str());
    if (const std::uint32_t c = checkSrcDrive(a.args.mode)) return {true, c};
  } else {
    entry.timesRead = true;
  }
  if (!entry.isLink) return {};
  if (!m_files->getSymLinkTarget(a.in.handle, entry.target)) {
    a.flags = kFlagSourceFailed;
    return {true, 0};
  }
  KELSDK_LOG(kLogTrace, "target=%s", narrow(entry.target).c_str());
  return {};
}

Duplicate::Outcome Duplicate::writeOutput(Attempt& a, bool& again, bool& writeRetried) {
  a.output = a.args.destRoot + a.entry.name;
  if (a.args.restrictSpanning) commitNewTrackIfRequired_Execute(a.entry.size, a.args);
  return a.entry.isLink ? makeLink(a, again, writeRetried) : writeFile(a, again, writeRetried);
}

// An output that could not be made: one that exists already, or a failure
// judged as a failed write.
Duplicate::Outcome Duplicate::outputRefused(Attempt& a, std::uint32_t opened, bool& again, bool& writeRetried) {
  if (opened == PxoUtility::kOpenExists) return {true, a.args.destSide ? kDupFileExists : kDupCopyExists};
  if (const std::uint32_t c = checkDestDrive(a.args.kind, a.args.destGiven)) return {true, c};
  return {true, failedOutput(a.entry, a.args, false, again, writeRetried)};
}

// Links are made on the destination only.
Duplicate::Outcome Duplicate::makeLink(Attempt& a, bool& again, bool& writeRetried) {
  if (a.args.mode == kModeRetrieve) {
    a.flags |= kFlagVerified;
    return {true, 0};
  }
  const std::uint32_t r =
      m_files->createSymLink(a.output, a.entry.target, (a.entry.attributes & kFileAttrDirectory) ? 1 : 0);
  if (r != 0) return outputRefused(a, r, again, writeRetried);
  a.flags |= kFlagVerified;
  KELSDK_LOG(kLogTrace, "createSymLink success");
  FileHandle h = kNoHandle;
  if (m_files->openSymLink(a.output, h) == 0) a.out.reset(h);
  return {};
}

// The file's data copied, what cannot be read recovered from the parity.
Duplicate::Outcome Duplicate::writeFile(Attempt& a, bool& again, bool& writeRetried) {
  FileHandle h = kNoHandle;
  const std::uint32_t r = writeFileOpen(a.entry, a.output, a.args, h, a.renamed);
  if (r != 0) return outputRefused(a, r, again, writeRetried);
  a.out.reset(h);
  a.outputMade = true;
  std::uint64_t written = 0;
  a.data = copyData(a.in.handle, a.out.handle, a.args, written);
  if (a.data != Data::ReadFailed) return {};
  std::uint32_t end = 0;
  a.data = finishByRecovery(a.entry, a.args, a.source, a.in, a.out.handle, written, end);
  return {end != 0, end};
}

// On the destination: the source's attributes and times.
Duplicate::Outcome Duplicate::setOutputDetails(Attempt& a) {
  const SourceEntry& entry = a.entry;
  if (!a.args.destSide) return {};
  if (!m_files->setFileAttribute(a.output, entry.attributes))
    KELSDK_LOG(kLogError, "setFileAttribute(%s) error 0x%08X", narrow(a.output).c_str(), entry.attributes);
  if (!entry.timesRead || a.out.handle == kNoHandle) return {};
  if (m_files->setFileTime(a.out.handle, entry.times) && m_files->setFileTime(a.out.handle, {~0ull, ~0ull, ~0ull}))
    return {};
  KELSDK_LOG(kLogError, "src setFileTime(%s) error", narrow(a.output).c_str());
  if (const std::uint32_t c = checkDestDrive(a.args.kind, a.args.destGiven)) return {true, c};
  return {};
}

std::uint32_t Duplicate::recordCopy(Attempt& a) {
  a.in.close();
  a.out.close();
  SourceEntry& entry = a.entry;
  entry.copied = true;
  if (a.renamed) a.flags |= kFlagRenamed;
  if (a.args.mode == kModeRetrieve) {
    entry.tempPath = a.output;
    recordTemp(entry.name, a.output, false);
  } else {
    entry.outputPath = a.output;
  }
  return 0;
}

// The one clean-up of a failed attempt.
void Duplicate::dropOutput(Attempt& a) {
  a.in.close();
  a.out.close();
  if (a.outputMade) deleteOutput(a.output);
  a.outputMade = false;
}

// Data that did not come over whole: canceled, unreadable (the entry is
// marked so and the run goes on) or a failed write.
std::uint32_t Duplicate::judgeData(Attempt& a, bool& again, bool& writeRetried) {
  if (a.data == Data::Canceled) return kDupCanceled;
  if (a.data == Data::Unreadable) return 0;
  if (const std::uint32_t c = checkDestDrive(a.args.kind, a.args.destGiven)) return c;
  return failedOutput(a.entry, a.args, true, again, writeRetried);
}

Duplicate::Data Duplicate::copyData(FileHandle in, FileHandle out, RunArgs& args, std::uint64_t& written) {
  FileOperationCallbackImpl& files = *m_files;
  for (;;) {
    if (canceled(args)) return Data::Canceled;
    std::uint32_t n = 0;
    if (!files.read(in, args.bufferSize, n, args.buffer.data()) || n > args.bufferSize) return Data::ReadFailed;
    if (n > 0) {
      if (!files.write(out, n, args.buffer.data())) return Data::WriteFailed;
      written += n;
      args.progress.advanceTo(written);
    }
    if (n < args.bufferSize) return Data::Good;
  }
}

Duplicate::Data Duplicate::finishByRecovery(SourceEntry& entry, RunArgs& args, const std::u16string& source, Closer& in,
                                            FileHandle out, std::uint64_t written, std::uint32_t& end) {
  std::uint8_t& flags = entry.flags[args.destSide ? 1 : 0];
  in.close();
  if ((end = checkSrcDrive(args.mode)) != 0) return Data::ReadFailed;
  const std::uint32_t r = doRecover(args.callback, args.progress, source, out, written);
  if (r == 0) {
    flags |= kFlagRecovered;
    return Data::Good;
  }
  if (r == kRecoverCanceled) return Data::Canceled;
  if ((end = checkSrcDrive(args.mode)) != 0) return Data::ReadFailed;
  if (r == kRecoverWriteFailed) return Data::WriteFailed;
  flags = kFlagUnreadable;
  return Data::Unreadable;
}

std::uint32_t Duplicate::failedOutput(SourceEntry& entry, RunArgs& args, bool writeOfData, bool& again,
                                      bool& writeRetried) {
  std::uint8_t& flags = entry.flags[args.destSide ? 1 : 0];
  flags = kFlagWriteFailed;
  const std::uint32_t offDestination = args.destSide ? 0 : 2;
  // A failed write is retried once when the room check finds room; a
  // second failure of the same entry ends the run as without the policy.
  if (writeOfData && args.policy == kPolicyRetryOnce && !writeRetried) {
    bool mediumFlag = false;
    std::uint32_t verdict = kRoomNoSpace;
    const std::uint64_t size = entry.size;
    const std::uint32_t r = checkDuplicateMediaImpl(args.kind, args.destGiven, false, mediumFlag, verdict, &size);
    if (r != 0 || verdict != kRoomEnough) return kDupNoRoom + offDestination;
    if (canceled(args)) return kDupCanceled;
    writeRetried = true;
    again = true;
    flags = 0;
    return 0;
  }
  return kDupWriteFailed + offDestination;
}

void Duplicate::deleteOutput(const std::u16string& path) {
  std::uint32_t attributes = 0;
  if (m_files->getFileAttribute(path, attributes) && (attributes & kFileAttrReadOnly) &&
      !m_files->setFileAttribute(path, attributes & ~kFileAttrReadOnly))
    KELSDK_LOG(kLogError, "setFileAttribute(%s) error 0x%08X for Delete", narrow(path).c_str(), attributes);
  KELSDK_LOG(kLogTrace, "deleteFile (%s)", narrow(path).c_str());
  if (!m_files->deleteFile(path)) KELSDK_LOG(kLogError, "deleteFile (%s) error", narrow(path).c_str());
}

std::uint32_t Duplicate::writeFileOpen(SourceEntry& entry, std::u16string& path, const RunArgs& args,
                                       FileHandle& handle, bool& renamed) {
  const std::uint32_t type = args.kind == kKindDrive ? PxoUtility::kOpenCreateArchive : PxoUtility::kOpenCreate;
  std::uint32_t r = m_files->open(path, type, handle);
  if (r == 0 || r == PxoUtility::kOpenExists) return r;
  KELSDK_LOG(kLogError, "output file(%s) open error %d", narrow(path).c_str(), static_cast<int>(r));
  if (r != PxoUtility::kOpenInvalidName || args.kind == kKindDrive) return r;
  // A name the directory refuses: the media's id and a counter instead.
  const std::size_t cut = path.rfind(u'\\');
  const std::u16string dir = cut == std::u16string::npos ? std::u16string() : path.substr(0, cut + 1);
  for (;;) {
    char name[64];
    std::snprintf(name, sizeof name, "_%06u", m_nameCounter);
    const std::u16string candidate = dir + widen(m_mediaUniqueId) + widen(name);
    r = m_files->open(candidate, type, handle);
    if (r == PxoUtility::kOpenExists) {
      ++m_nameCounter;
      continue;
    }
    if (r != 0) {
      KELSDK_LOG(kLogError, "output file(%s) open error %d", narrow(candidate).c_str(), static_cast<int>(r));
      return r;
    }
    ++m_nameCounter;
    path = candidate;
    renamed = true;
    (void)entry;
    return 0;
  }
}

std::uint32_t Duplicate::doDuplicateMediaVerifyImpl(SourceEntry& entry, RunArgs& args,
                                                    std::vector<SourceEntry*>& retry, bool report) {
  if (!entry.copied) return 0;
  std::uint8_t& flags = entry.flags[args.destSide ? 1 : 0];
  const std::u16string& path = args.mode == kModeRetrieve ? entry.tempPath : entry.outputPath;
  bool good = true;
  if (!entry.isLink) {
    FileHandle h = kNoHandle;
    const std::uint32_t r = m_files->open(path, PxoUtility::kOpenRead, h);
    Closer closer{*m_files, h};
    std::uint64_t size = 0;
    if (r != 0) {
      KELSDK_LOG(kLogError, "Verify: open (%s) error %d", narrow(path).c_str(), static_cast<int>(r));
      good = false;
    } else if (!m_files->getFileSize(h, size)) {
      KELSDK_LOG(kLogError, "Verify: getFileSize (%s) error", narrow(path).c_str());
      good = false;
    } else if (size != entry.size) {
      KELSDK_LOG(kLogError, "Verify: (%s) file size %llu not equal %llu", narrow(path).c_str(),
                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(entry.size));
      good = false;
    }
    if (!good)
      if (const std::uint32_t c = checkDestDrive(args.kind, args.destGiven)) return c;
  }
  if (good) {
    flags |= kFlagVerified;
    ByteProgress& p = args.progress;
    if (report && (p.kind == 0 || p.kind == 1)) {
      ++p.files;
      p.highest = 0;
      p.base += entry.size;
    } else if (report && p.kind == 2) {
      p.base += entry.size / 10;
    }
    if (report && p.kind <= 2) p.report(0, true);
    return 0;
  }
  if (flags & kFlagVerified) return 0;
  flags &= static_cast<std::uint8_t>(~(kFlagRenamed | kFlagRecovered));
  deleteOutput(path);
  entry.copied = false;
  // Policy 1 copies an entry once more; a second failure stays failed.
  if (args.policy == kPolicyRetryOnce && !entry.verifyRetried) {
    entry.verifyRetried = true;
    retry.push_back(&entry);
  } else {
    flags = kFlagWriteFailed;
  }
  return 0;
}

std::uint32_t Duplicate::doRecover(PxoUtility::DuplicateMediaCallback* callback, ByteProgress& progress,
                                   const std::u16string& source, FileHandle output, std::uint64_t skip) {
  Callback cancel(callback);
  return recoverFile(&cancel, progress, source, *m_files, output, skip, m_drive.get());
}

}  // namespace PxoUtilityLib
