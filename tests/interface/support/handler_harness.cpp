#include "handler_harness.h"
#include "harness_io.h"
#include "recording_writer.h"

#include "kel/config.h"
#include "kel/entry.h"
#include "kel/response.h"
#include "kel/scsi.h"
#include "kel/volctrl.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace handlertest {

namespace {
HandlerHarness* g_current = nullptr;

// The response stream: every element is kept with the number of
// end-of-request notices the host service had received when it was written.
ssize_t SinkWrite(void* cookie, const char* data, size_t size) {
  auto* h = static_cast<HandlerHarness*>(cookie);
  h->sinkWrite(data, size);
  return static_cast<ssize_t>(size);
}

std::vector<std::string> split(const std::string& bytes) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t nul = bytes.find('\0', at);
    if (nul == std::string::npos) {
      out.push_back("<unterminated>" + bytes.substr(at));
      break;
    }
    out.push_back(bytes.substr(at, nul - at));
    at = nul + 1;
  }
  return out;
}
}  // namespace

HandlerHarness::HandlerHarness(kelsim::HarnessOptions options) {
  char tmpl[] = "/tmp/kel-handlers-XXXXXX";
  dir_ = ::mkdtemp(tmpl);
  ::setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  RuvoCtrlVolume::resetForTesting();
  saved_parity_ = kel::WriterParityConstants();
  kel::WriterParityConstants() =
      kel::ParityConstants{2064, 2048, 16, 32ll * 16 * 2048, 32ll * 2048 * 2048, 32};
  fakeengine::engine().reset();
  sim_ = std::make_unique<kelsim::SimHarness>(options);
  kel::SetMediumCookie(sim_->cookie());
  // The process-wide pipe client may still hold a connection to an earlier
  // service; a notice or two brings it onto this one.
  for (int i = 0; i < 5 && kel::SendEndOfRequestNotice() != 0; ++i) {
  }
  sim_->service().clear_transcript();
  table_ = kel::StandardRequestHandlers();
  g_current = this;
  // A "Sync" with the reason "probe" runs the test's probe on the live
  // interface; every other reason is the real Sync.
  table_.Sync = [](CKelInterface& itf, std::uint64_t seq, const char* cookie, std::string reason) -> HRESULT {
    if (reason != "probe") return kel::OnSync(itf, seq, cookie, reason);
    if (g_current && g_current->probe) g_current->probe(itf);
    return 0;
  };
  // The end of the run (not an "UnmountVolume") is marked where it begins.
  table_.BeforeUnmount = [](CKelInterface& itf, std::uint64_t seq) -> HRESULT {
    HandlerHarness* h = g_current;
    if (h && !h->recordEndOfRun && itf.Request().Opcode != kel::kOpUnmountVolume) {
      h->end_marked_ = true;
      h->end_engine_calls_ = fakeengine::engine().calls.size();
      h->end_writer_calls_ = writer().calls.size();
    }
    return kel::EndPackedSessionBeforeUnmount(itf, seq);
  };
  writer().reset();
  kel::SetUserDataWriter(&recordingWriterPort());
  kel::SetRequestHandlers(&table_);
  cookie_io_functions_t io{};
  io.write = SinkWrite;
  out_ = ::fopencookie(this, "w", io);
  std::setvbuf(out_, nullptr, _IONBF, 0);
  kel::SetResponseStream(out_);
}

HandlerHarness::~HandlerHarness() {
  kel::SetRequestStream(nullptr);
  kel::SetResponseStream(nullptr);
  kel::SetRequestHandlers(nullptr);
  kel::SetUserDataWriter(nullptr);
  kel::SetMediumCookie(0);
  g_current = nullptr;
  if (in_) std::fclose(in_);
  if (out_) std::fclose(out_);
  sim_.reset();
  kel::WriterParityConstants() = saved_parity_;
  ::unsetenv("KEL_REGISTRY");
  kel::ResetConfigCache();
  RuvoCtrlVolume::resetForTesting();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void HandlerHarness::setRegistry(const std::vector<std::string>& lines) {
  harness_io::writeRegistry(dir_ + "/registry.reg", lines);
}

std::uint16_t HandlerHarness::run(const std::string& requests, const FileSystemOperations* ops) {
  harness_io::feedRequests(in_, requests);
  end_marked_ = false;
  // The end of input ends the loop with the parser's error.
  const std::uint16_t code = quorvel_kel_run(ops ? ops : &fakeengine::operations(), sim_->cookie_text().c_str());
  if (end_marked_) {
    std::fflush(out_);
    auto& calls = fakeengine::engine().calls;
    if (calls.size() > end_engine_calls_) calls.resize(end_engine_calls_);
    if (writer().calls.size() > end_writer_calls_) writer().calls.resize(end_writer_calls_);
  }
  return code;
}

void HandlerHarness::sinkWrite(const char* data, std::size_t size) {
  std::size_t notices_now = 0;
  for (const auto& e : sim_->service().transcript())
    if (e.is_notice()) ++notices_now;
  for (std::size_t i = 0; i < size; ++i) {
    bytes_ += data[i];
    if (data[i] == '\0') {
      notices_before_.push_back(notices_now);
      const std::string element = bytes_.substr(element_start_, bytes_.size() - 1 - element_start_);
      element_start_ = bytes_.size();
      if (onElement) onElement(element);
    }
  }
}

std::vector<std::string> HandlerHarness::elements() {
  std::fflush(out_);
  return split(bytes_);
}

std::vector<std::string> HandlerHarness::ordered() {
  std::fflush(out_);
  std::vector<std::string> els = split(bytes_);
  std::vector<std::string> out;
  std::size_t shown = 0;
  const std::vector<std::string> all_notices = notices();
  for (std::size_t i = 0; i < els.size(); ++i) {
    const std::size_t before = i < notices_before_.size() ? notices_before_[i] : 0;
    for (; shown < before && shown < all_notices.size(); ++shown) out.push_back("notice " + all_notices[shown]);
    out.push_back(elementName(els[i]));
  }
  for (; shown < all_notices.size(); ++shown) out.push_back("notice " + all_notices[shown]);
  return out;
}

std::vector<std::string> HandlerHarness::newElements() {
  std::vector<std::string> all = elements();
  std::vector<std::string> out(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
  seen_ = all.size();
  return out;
}

std::vector<kelsim::TranscriptEntry> HandlerHarness::transcript() {
  return sim_->service().transcript();
}

std::vector<std::string> HandlerHarness::notices() {
  std::vector<std::string> out;
  for (const auto& e : transcript())
    if (e.is_notice()) out.push_back(std::to_string(e.sequence) + ":" + std::to_string(e.phase));
  return out;
}

std::vector<std::uint8_t> metaFile(std::uint32_t width, const std::string& id, std::uint32_t replica,
                                   const std::vector<MetaRecord>& records) {
  std::vector<std::uint8_t> b(1024 + 12 * records.size(), 0);
  auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  std::memcpy(b.data(), "QVMF\x01\x00\x01\x00", 8);
  put(12, width);
  std::memcpy(b.data() + 16, id.data(), id.size());
  put(48, replica);
  std::uint32_t sum = 0;
  for (int i = 0; i < 52; ++i) sum += b[i];
  put(8, sum);
  for (std::size_t i = 0; i < records.size(); ++i) {
    put(1024 + 12 * i, records[i].object);
    put(1028 + 12 * i, records[i].generation);
    put(1032 + 12 * i, records[i].version);
  }
  return b;
}

void putMetaFile(std::uint32_t index, std::vector<std::uint8_t> bytes) {
  char name[64];
  std::snprintf(name, sizeof name, "/$QuorvelData/QVMetaData%6.6u.dat", index);
  fakeengine::engine().addFile(name, 900000 + index, 0, {}, std::move(bytes));
}

void setVolume(fakeengine::FakeEngine& e) {
  KELFS_VOLUME_INFO& v = e.volume;
  v = KELFS_VOLUME_INFO{};
  v.VolumeType = 0;
  v.BlockSize = 2048;
  v.TotalBlocks = 100000;
  v.FreeBlocks = 90000;
  v.CurrentTrackId = 2;
  v.NumberOfBlocksPerTrack = 1000;
  v.PartitionStart = 64;
  v.NextWritableBlock = 0xFFFFFFFFu;
  v.LastFileIndex = 42;
  std::strcpy(v.VolumeName, "VOLNAME");
}

std::string line(std::uint64_t seq, const std::string& opcode, const std::string& attributes) {
  return "<ArchiveFileSystemOperation SequenceNumber=\"" + std::to_string(seq) + "\" Opcode=\"" +
         opcode + "\"" + (attributes.empty() ? "" : " " + attributes) +
         "></ArchiveFileSystemOperation>\n";
}

std::string probeLine(std::uint64_t seq) {
  return line(seq, "Sync", "Reason=\"probe\" BlockNumber=\"0\" Bytes=\"0\" Generation=\"0\"");
}

std::string success(std::uint64_t seq) {
  return "<KelSuccess SequenceNumber=\"" + std::to_string(seq) + "\"></KelSuccess>";
}

std::string hresult(std::uint64_t seq, std::uint32_t hr) {
  return "<HRESULT SequenceNumber=\"" + std::to_string(seq) + "\" HRESULT=\"" +
         std::to_string(static_cast<std::int32_t>(hr)) + "\"></HRESULT>";
}

std::string attribute(const std::string& element, const std::string& name) {
  const std::string key = " " + name + "=\"";
  const std::size_t at = element.find(key);
  if (at == std::string::npos) return "";
  const std::size_t start = at + key.size();
  return element.substr(start, element.find('"', start) - start);
}

std::string elementName(const std::string& element) {
  if (element.empty() || element[0] != '<') return "";
  const std::size_t end = element.find_first_of(" >", 1);
  return element.substr(1, end - 1);
}

}  // namespace handlertest
