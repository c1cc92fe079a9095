#include "loop_harness.h"
#include "harness_io.h"

#include "kel/config.h"
#include "kel/entry.h"
#include "kel/volctrl.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace looptest {

std::vector<std::string>& handlerCalls() {
  static std::vector<std::string> calls;
  return calls;
}

std::function<void(CKelInterface&)> archive_hook;

namespace {
template <class... A>
void rec(const char* name, A... args) {
  std::ostringstream s;
  s << name << "(";
  bool first = true;
  ((s << (first ? "" : ",") << args, first = false), ...);
  s << ")";
  handlerCalls().push_back(s.str());
}

kel::RequestHandlers makeTable() {
  kel::RequestHandlers h;
  h.Check = [](CKelInterface&, std::uint64_t seq, const char* cookie) -> HRESULT {
    rec("Check", seq, cookie);
    return 0;
  };
  h.Format = [](CKelInterface&, std::uint64_t seq, const char* id, std::uint32_t replica) -> HRESULT {
    rec("Format", seq, "[" + std::string(id) + "]", replica);
    return 0;
  };
  h.Archive = [](CKelInterface& itf, std::uint64_t seq, const char* name, std::uint32_t fragment,
                 std::uint32_t generation, std::uint32_t version, std::uint32_t ki,
                 std::uint64_t block, std::uint64_t ct, std::uint64_t mt) -> HRESULT {
    rec("Archive", seq, "[" + std::string(name) + "]", fragment, generation, version, ki, block, ct,
        mt);
    if (archive_hook) archive_hook(itf);
    return 0;
  };
  h.Restore = [](CKelInterface&, std::uint64_t seq, const char* name, std::uint32_t g,
                 std::uint32_t v, std::uint64_t off, std::uint64_t len) -> HRESULT {
    rec("Restore", seq, "[" + std::string(name) + "]", g, v, off, len);
    return 0;
  };
  h.Rename = [](CKelInterface&, std::uint64_t seq, const char* name, const char* nn,
                std::uint32_t og, std::uint32_t ov, std::uint32_t ng, std::uint32_t nv) -> HRESULT {
    rec("Rename", seq, "[" + std::string(name) + "]", "[" + std::string(nn) + "]", og, ov, ng, nv);
    return 0;
  };
  h.Delete = [](CKelInterface&, std::uint64_t seq, const char* name, std::uint32_t g,
                std::uint32_t v) -> HRESULT {
    rec("Delete", seq, "[" + std::string(name) + "]", g, v);
    return 0;
  };
  h.CreateDirectory = [](CKelInterface&, std::uint64_t seq, const char* name) -> HRESULT {
    rec("CreateDirectory", seq, "[" + std::string(name) + "]");
    return 0;
  };
  h.RenameDirectory = [](CKelInterface&, std::uint64_t seq, const char* name,
                         const char* nn) -> HRESULT {
    rec("RenameDirectory", seq, "[" + std::string(name) + "]", "[" + std::string(nn) + "]");
    return 0;
  };
  h.DeleteDirectory = [](CKelInterface&, std::uint64_t seq, const char* name) -> HRESULT {
    rec("DeleteDirectory", seq, "[" + std::string(name) + "]");
    return 0;
  };
  h.Sync = [](CKelInterface&, std::uint64_t seq, const char* cookie, std::string reason) -> HRESULT {
    rec("Sync", seq, cookie, "[" + reason + "]");
    return 0;
  };
  h.ReadDirectory = [](CKelInterface&, std::uint64_t seq, const char* name) -> HRESULT {
    rec("ReadDirectory", seq, "[" + std::string(name) + "]");
    return 0;
  };
  h.GetVolumeInfo = [](CKelInterface&, std::uint64_t seq) -> HRESULT {
    rec("GetVolumeInfo", seq);
    return 0;
  };
  h.GetRollbackInfo = [](CKelInterface&, std::uint64_t seq, const char* cookie) -> HRESULT {
    rec("GetRollbackInfo", seq, cookie);
    return 0;
  };
  h.RollbackMount = [](CKelInterface&, std::uint64_t seq, std::uint32_t s, std::uint32_t m,
                       std::uint32_t f) -> HRESULT {
    rec("RollbackMount", seq, s, m, f);
    return 0;
  };
  h.UpdateArchiveInfo = [](CKelInterface&, std::uint64_t seq, const char* name) -> HRESULT {
    rec("UpdateArchiveInfo", seq, "[" + std::string(name) + "]");
    return 0;
  };
  return h;
}
}  // namespace

const kel::RequestHandlers& recordingHandlers() {
  static const kel::RequestHandlers table = makeTable();
  return table;
}

LoopHarness::LoopHarness() {
  char tmpl[] = "/tmp/kel-loop-XXXXXX";
  dir_ = ::mkdtemp(tmpl);
  ::setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  RuvoCtrlVolume::resetForTesting();
  engine().reset();
  handlerCalls().clear();
  archive_hook = nullptr;
  kel::SetRequestHandlers(&recordingHandlers());
  kel::SetResponseStream(out_.file());
}

LoopHarness::~LoopHarness() {
  kel::SetRequestStream(nullptr);
  kel::SetResponseStream(nullptr);
  kel::SetRequestHandlers(nullptr);
  archive_hook = nullptr;
  if (in_) std::fclose(in_);
  ::unsetenv("KEL_REGISTRY");
  kel::ResetConfigCache();
  RuvoCtrlVolume::resetForTesting();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void LoopHarness::setRegistry(const std::vector<std::string>& lines) {
  harness_io::writeRegistry(dir_ + "/registry.reg", lines);
}

void LoopHarness::setInput(const std::string& bytes) {
  harness_io::feedRequests(in_, bytes);
}

std::uint16_t LoopHarness::run(const char* cookie) {
  return quorvel_kel_run(&fakeOperations(), cookie);
}

std::vector<std::string> LoopHarness::elements() { return splitElements(out_.contents()); }
std::string LoopHarness::rawOutput() { return out_.contents(); }

std::string line(std::uint64_t seq, const std::string& opcode, const std::string& extra,
                 const std::string& inner) {
  return "<ArchiveFileSystemOperation SequenceNumber=\"" + std::to_string(seq) + "\" Opcode=\"" +
         opcode + "\"" + (extra.empty() ? "" : " " + extra) + ">" + inner +
         "</ArchiveFileSystemOperation>\n";
}

}  // namespace looptest
