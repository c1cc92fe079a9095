// The library's user-data writer behind the handlers' writer interface.
#include "kel/writer_port.h"

#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"
#include "platform/win32.h"
#include "LumoQVE/UserDataFileIO.h"

#include <atomic>

namespace kel {

namespace {

class LibraryWriterFile final : public WriterFile {
 public:
  explicit LibraryWriterFile(std::shared_ptr<LumoQVE::UserDataFileIO> file) : file_(std::move(file)) {}

  void Seek(std::int64_t pointer) override { file_->seek(pointer); }
  std::uint32_t SetEndOfFile() override { return file_->setEndOfFile(); }
  std::uint32_t Write(const void* data, std::uint32_t length, std::uint32_t* written) override {
    if (const std::uint32_t r = file_->createWriterObject()) return r;
    return file_->getWriter()->write(data, length, written);
  }
  std::uint32_t Read(void* data, std::uint32_t length, std::uint32_t* read) override {
    *read = 0;
    const std::shared_ptr<LumoQVE::FileWriterBase> w = file_->getWriter();
    return w ? w->read(data, length, read) : 0;
  }
  std::uint32_t Flush() override {
    if (const std::uint32_t r = file_->createWriterObject()) return r;
    return file_->getWriter()->flush(true);
  }
  std::uint32_t SetFileTime(std::uint64_t creation, std::uint64_t access,
                            std::uint64_t modification) override {
    if (const std::uint32_t r = file_->createWriterObject()) return r;
    return file_->getWriter()->setFileTime(creation, access, modification);
  }
  std::uint32_t Close() override { return file_->close(); }
  void PostponeFlushAtClose() override { file_->postponeFsFlushAtClose(); }
  // The file's own writer object is the one initialised last: asking it
  // serves ghost writers too, which the library's process-wide reference
  // (real writers only) does not know.
  std::uint32_t CacheBlocks(std::uint64_t* blocks) override {
    const std::shared_ptr<LumoQVE::FileWriterBase> w = file_->getWriter();
    if (!w) return LumoQVE::UserDataFileIO::getCacheBlocks(*blocks);
    std::uint32_t b = 0;
    const std::uint32_t r = w->getCacheBlocks(b);
    if (r == 0) *blocks = b;
    return r;
  }
  std::uint32_t PackedPieces(std::vector<PackedPiece>* pieces) override {
    pieces->clear();
    const std::shared_ptr<LumoQVE::FileWriterBase> w = file_->getWriter();
    auto* ghost = dynamic_cast<LumoQVE::GhostFileWriter*>(w.get());
    if (!ghost) return 0;
    for (const auto& [offset, blocks] : ghost->dataPieces()) pieces->push_back({offset, blocks});
    return 0;
  }
  std::uint32_t LastWin32Error() const override { return file_->getLastWin32Error(); }

 private:
  std::shared_ptr<LumoQVE::UserDataFileIO> file_;
};

std::uint32_t Open(const std::u16string& stored_name, std::uint32_t access, std::uint32_t disposition,
                   std::uint32_t attributes, std::unique_ptr<WriterFile>* out) {
  std::shared_ptr<LumoQVE::UserDataFileIO> file;
  const std::uint32_t r = LumoQVE::UserDataFileIO::convertPort2Writer(
      u"", stored_name, access, nullptr, 0, disposition, attributes, nullptr, file);
  if (r != 0) return r;
  *out = std::make_unique<LibraryWriterFile>(std::move(file));
  return 0;
}

std::vector<SessionFile> Converted(const std::vector<LumoQVE::SessionFile>& files) {
  std::vector<SessionFile> out;
  for (const auto& f : files) out.push_back({f.path, f.id});
  return out;
}

// A failed end always names a Win32 code.
SessionEnd Converted(const LumoQVE::SessionEnd& e) {
  SessionEnd out;
  if (e.failed()) out.Win32 = e.win32 ? e.win32 : static_cast<std::uint32_t>(ERROR_INTERNAL_ERROR);
  out.LostFiles = e.lostFiles;
  out.Lost = Converted(e.lost);
  out.Kept = Converted(e.kept);
  return out;
}

bool SessionOpen() {
  LumoQVE::PackedSession* s = LumoQVE::PackedSession::current();
  return s && s->state() != LumoQVE::PackedSession::State::Closed;
}
SessionEnd EndSession() {
  LumoQVE::PackedSession* s = LumoQVE::PackedSession::current();
  return s ? Converted(s->end(LumoQVE::kFlushClose)) : SessionEnd{};
}
SessionEnd TakeUnreported() {
  LumoQVE::PackedSession* s = LumoQVE::PackedSession::current();
  return s ? Converted(s->takeUnreported()) : SessionEnd{};
}
SessionEnd LastEnd() {
  LumoQVE::PackedSession* s = LumoQVE::PackedSession::current();
  return s ? Converted(s->end(LumoQVE::kFlushClose, true)) : SessionEnd{};
}

const UserDataWriter kLibraryWriter{Open, SessionOpen, EndSession, TakeUnreported, LastEnd};
std::atomic<const UserDataWriter*> g_writer{nullptr};

}  // namespace

const UserDataWriter& CurrentUserDataWriter() {
  const UserDataWriter* w = g_writer.load();
  return w ? *w : kLibraryWriter;
}

void SetUserDataWriter(const UserDataWriter* writer) { g_writer.store(writer); }

}  // namespace kel
