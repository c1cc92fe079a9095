#include "recording_writer.h"

#include "fake_engine.h"
#include "kel/scsi.h"
#include "kel/volctrl.h"

#include <algorithm>
#include <cstring>

namespace handlertest {

namespace {

RecordingWriter g_writer;

// The call with its phase; "!u" when the unmounting flag is set.
void note(const std::string& text) {
  const kel::DriveCommandContext c = kel::CurrentDriveCommandContext();
  g_writer.calls.push_back(text + "@" + std::to_string(c.Phase) + (c.Unmounting ? "!u" : ""));
}

class RecordingFile final : public kel::WriterFile {
 public:
  explicit RecordingFile(std::string path)
      : path_(std::move(path)), packed_(RuvoCtrlVolume::getPackedWriteMode()) {}
  ~RecordingFile() override {
    if (!closed_) g_writer.calls.push_back("Drop");
  }

  void Seek(std::int64_t pointer) override { pointer_ = pointer; }
  std::uint32_t SetEndOfFile() override {
    note("SetEndOfFile(" + std::to_string(pointer_) + ")");
    size_ = static_cast<std::uint64_t>(pointer_);
    if (fakeengine::Node* n = node()) {
      n->size = size_;
      n->data.assign(size_, 0);
    }
    return 0;
  }
  std::uint32_t Write(const void* data, std::uint32_t length, std::uint32_t* written) override {
    note("Write(" + std::to_string(length) + ")");
    *written = 0;
    if (++g_writer.writes == g_writer.fail_write_at) return fail(g_writer.write_error);
    if (g_writer.write_takes_nothing) return 0;
    std::vector<std::uint8_t>& target = packed_ ? g_writer.waiting[path_] : bytes();
    const auto at = static_cast<std::size_t>(pointer_);
    if (target.size() < at + length) target.resize(at + length);
    std::memcpy(target.data() + at, data, length);
    if (packed_) g_writer.session = true;
    pointer_ += length;
    *written = length;
    return 0;
  }
  std::uint32_t Read(void* data, std::uint32_t length, std::uint32_t* read) override {
    note("Read(" + std::to_string(length) + ")");
    const std::vector<std::uint8_t>& from = bytes();
    const auto at = static_cast<std::size_t>(pointer_);
    const std::size_t n = at < from.size() ? std::min<std::size_t>(length, from.size() - at) : 0;
    if (n) std::memcpy(data, from.data() + at, n);
    pointer_ += static_cast<std::int64_t>(n);
    *read = static_cast<std::uint32_t>(n);
    return 0;
  }
  std::uint32_t Flush() override {
    note("Flush");
    return 0;
  }
  std::uint32_t SetFileTime(std::uint64_t c, std::uint64_t a, std::uint64_t m) override {
    note("SetFileTime(" + std::to_string(c) + "," + std::to_string(a) + "," + std::to_string(m) + ")");
    return 0;
  }
  std::uint32_t Close() override {
    note("Close");
    closed_ = true;
    if (g_writer.close_result) return fail(g_writer.close_result);
    if (fakeengine::Node* n = node()) {
      n->extents.clear();
      std::uint64_t blocks = (size_ + 2047) / 2048;
      while (blocks > 0) {
        const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks, g_writer.extent_blocks));
        n->extents.push_back({g_writer.next_block, take});
        g_writer.next_block += take;
        blocks -= take;
      }
    }
    return 0;
  }
  void PostponeFlushAtClose() override { note("PostponeFlushAtClose"); }
  std::uint32_t LastWin32Error() const override { return last_; }
  std::uint32_t CacheBlocks(std::uint64_t* blocks) override {
    if (g_writer.cache_blocks_fail) return 1;
    *blocks = 0;
    if (!g_writer.cache_blocks.empty()) {
      *blocks = g_writer.cache_blocks.front();
      g_writer.cache_blocks.pop_front();
    }
    return 0;
  }
  // A packed file's data as one piece from its start.
  std::uint32_t PackedPieces(std::vector<kel::PackedPiece>* pieces) override {
    pieces->clear();
    if (packed_ && size_ > 0) pieces->push_back({0, (size_ + 2047) / 2048});
    return 0;
  }

 private:
  fakeengine::Node* node() { return fakeengine::engine().find(path_); }
  std::vector<std::uint8_t>& bytes() {
    static std::vector<std::uint8_t> none;
    fakeengine::Node* n = node();
    return n ? n->data : none;
  }
  std::uint32_t fail(std::uint32_t code) {
    last_ = code;
    return 0x82000001u;
  }
  std::string path_;
  bool packed_;
  std::int64_t pointer_ = 0;
  std::uint64_t size_ = 0;
  std::uint32_t last_ = 0;
  bool closed_ = false;
};

std::uint32_t Open(const std::u16string& stored, std::uint32_t access, std::uint32_t disposition,
                   std::uint32_t attributes, std::unique_ptr<kel::WriterFile>* out) {
  std::string name(stored.begin(), stored.end());
  char text[96];
  std::snprintf(text, sizeof text, ",0x%08X,%u,0x%X)", access, disposition, attributes);
  note("Open(" + name + text);
  if (g_writer.open_result) return g_writer.open_result;
  *out = std::make_unique<RecordingFile>(fakeengine::engine().last_created);
  return 0;
}

bool SessionOpen() { return g_writer.session; }

kel::SessionEnd EndSession() {
  note("EndSession");
  g_writer.unmounts_at_ends.push_back(fakeengine::engine().count(kSlotUnmount));
  for (auto& [path, data] : g_writer.waiting)
    if (fakeengine::Node* n = fakeengine::engine().find(path)) {
      n->data = data;
      n->data.resize(n->size, 0);
    }
  g_writer.waiting.clear();
  g_writer.session = false;
  const kel::SessionEnd e = g_writer.end_result;
  if (e.Failed()) {
    if (g_writer.unreported.Win32 == 0) g_writer.unreported.Win32 = e.Win32;
    g_writer.unreported.LostFiles += e.LostFiles;
    g_writer.unreported.Lost.insert(g_writer.unreported.Lost.end(), e.Lost.begin(), e.Lost.end());
  }
  return e;
}

kel::SessionEnd TakeUnreported() {
  const kel::SessionEnd e = g_writer.unreported;
  g_writer.unreported = {};
  return e;
}

const kel::UserDataWriter kPort{Open, SessionOpen, EndSession, TakeUnreported};

}  // namespace

RecordingWriter& writer() { return g_writer; }
const kel::UserDataWriter& recordingWriterPort() { return kPort; }

std::vector<std::string> RecordingWriter::callsNamed(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& c : calls)
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  return out;
}

}  // namespace handlertest
