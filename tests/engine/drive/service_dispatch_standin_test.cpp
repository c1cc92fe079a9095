// Recording stand-ins of the media-service calls that the drive client's
// dispatcher makes. The test executable is linked with --wrap for each of
// them: while a test has switched the stand-ins on, a call is recorded and
// answered from the settings below; otherwise it goes to the real service.
#include "drive/scsi_service.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace media_standin {

struct Call {
  std::string name;
  const void* self;
  std::vector<std::uint64_t> args;
};

namespace {
std::mutex g_mu;
bool g_active = false;
std::vector<Call> g_calls;
std::map<std::string, int> g_results;
std::uint32_t g_wo_steps = 0;
bool g_serial_known = true;

int record(const char* name, const void* self, std::vector<std::uint64_t> args) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_calls.push_back({name, self, std::move(args)});
  auto it = g_results.find(name);
  return it == g_results.end() ? 0 : it->second;
}
}  // namespace

bool active() { return g_active; }
void activate(bool on) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_active = on;
  g_calls.clear();
  g_results.clear();
  g_wo_steps = 0;
  g_serial_known = true;
}
void set_result(const char* name, int result) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_results[name] = result;
}
void set_wo_steps(std::uint32_t steps) { g_wo_steps = steps; }
void set_serial_known(bool on) { g_serial_known = on; }
std::vector<std::string> calls() {
  std::lock_guard<std::mutex> lk(g_mu);
  std::vector<std::string> out;
  for (auto& c : g_calls) out.push_back(c.name);
  return out;
}
int count(const char* name) {
  std::lock_guard<std::mutex> lk(g_mu);
  int n = 0;
  for (auto& c : g_calls) n += c.name == name;
  return n;
}
// Argument i of the last call of that name (pointers as addresses).
std::uint64_t last_arg(const char* name, int i) {
  std::lock_guard<std::mutex> lk(g_mu);
  for (auto it = g_calls.rbegin(); it != g_calls.rend(); ++it)
    if (it->name == name) return it->args.at(static_cast<std::size_t>(i));
  ADD_FAILURE() << "no call " << name;
  return 0;
}
const void* last_self(const char* name) {
  std::lock_guard<std::mutex> lk(g_mu);
  for (auto it = g_calls.rbegin(); it != g_calls.rend(); ++it)
    if (it->name == name) return it->self;
  return nullptr;
}

}  // namespace media_standin

using media_standin::active;
using media_standin::record;
using u64 = std::uint64_t;
static u64 p(const void* v) { return reinterpret_cast<u64>(v); }

extern "C" {
// ---- rewritable service
errno_t __real__ZN15scsi_service_re11auto_formatEbPbP12storage_scsibS0_b(scsi_service_re*, bool, Boolean*, storage_scsi*,
                                                                        bool, bool*, bool);
errno_t __wrap__ZN15scsi_service_re11auto_formatEbPbP12storage_scsibS0_b(scsi_service_re* self, bool retry,
                                                                        Boolean* serialOk, storage_scsi* s,
                                                                        bool skipRealloc, bool* wrote, bool dv) {
  if (!active()) return __real__ZN15scsi_service_re11auto_formatEbPbP12storage_scsibS0_b(self, retry, serialOk, s,
                                                                                        skipRealloc, wrote, dv);
  if (serialOk) *serialOk = media_standin::g_serial_known;
  if (wrote) *wrote = true;
  return record("re.auto_format", self, {retry, p(s), skipRealloc, dv});
}
void __real__ZN15scsi_service_re14set_format_flgEb(scsi_service_re*, bool);
void __wrap__ZN15scsi_service_re14set_format_flgEb(scsi_service_re* self, bool on) {
  // The state is kept by the real service in any case ("RE Reformat").
  __real__ZN15scsi_service_re14set_format_flgEb(self, on);
  if (active()) record("re.set_format_flg", self, {on});
}
errno_t __real__ZN15scsi_service_re14startBackTrackEPcP12storage_scsi(scsi_service_re*, caddr_t, storage_scsi*);
errno_t __wrap__ZN15scsi_service_re14startBackTrackEPcP12storage_scsi(scsi_service_re* self, caddr_t req,
                                                                     storage_scsi* s) {
  if (!active()) return __real__ZN15scsi_service_re14startBackTrackEPcP12storage_scsi(self, req, s);
  pxo_backtrack_request_t r{};
  std::memcpy(&r, req, sizeof(r));
  return record("re.startBackTrack", self, {r.policy, r.skip_target, r.clear_rollback, r.drive_verify, p(s)});
}
errno_t __real__ZN15scsi_service_re8reFormatEPcP12storage_scsi(scsi_service_re*, caddr_t, storage_scsi*);
errno_t __wrap__ZN15scsi_service_re8reFormatEPcP12storage_scsi(scsi_service_re* self, caddr_t d, storage_scsi* s) {
  if (!active()) return __real__ZN15scsi_service_re8reFormatEPcP12storage_scsi(self, d, s);
  return record("re.reFormat", self, {p(d), p(s)});
}
errno_t __real__ZN15scsi_service_re9all_eraseEP20pxo_all_erase_info_tjb(scsi_service_re*, pxo_all_erase_info_t*, UInt32,
                                                                       bool);
errno_t __wrap__ZN15scsi_service_re9all_eraseEP20pxo_all_erase_info_tjb(scsi_service_re* self,
                                                                       pxo_all_erase_info_t* info, UInt32 nwa,
                                                                       bool dv) {
  if (!active()) return __real__ZN15scsi_service_re9all_eraseEP20pxo_all_erase_info_tjb(self, info, nwa, dv);
  return record("re.all_erase", self, {p(info), nwa, dv});
}

// ---- write-once service
errno_t __real__ZN15scsi_service_wo11auto_formatEPjbPbP12storage_scsib(scsi_service_wo*, uint32_t*, bool, Boolean*,
                                                                      storage_scsi*, bool);
errno_t __wrap__ZN15scsi_service_wo11auto_formatEPjbPbP12storage_scsib(scsi_service_wo* self, uint32_t* steps,
                                                                      bool skip, Boolean* msn, storage_scsi* s,
                                                                      bool dv) {
  if (!active())
    return __real__ZN15scsi_service_wo11auto_formatEPjbPbP12storage_scsib(self, steps, skip, msn, s, dv);
  if (steps) *steps = media_standin::g_wo_steps;
  if (msn) *msn = media_standin::g_serial_known;
  return record("wo.auto_format", self, {skip, p(s), dv});
}
errno_t __real__ZN15scsi_service_wo22auto_format_for_strideEPjbPbP12storage_scsib(scsi_service_wo*, uint32_t*, bool,
                                                                                 Boolean*, storage_scsi*, bool);
errno_t __wrap__ZN15scsi_service_wo22auto_format_for_strideEPjbPbP12storage_scsib(scsi_service_wo* self,
                                                                                 uint32_t* steps, bool skip,
                                                                                 Boolean* msn, storage_scsi* s,
                                                                                 bool dv) {
  if (!active())
    return __real__ZN15scsi_service_wo22auto_format_for_strideEPjbPbP12storage_scsib(self, steps, skip, msn, s, dv);
  if (steps) *steps = media_standin::g_wo_steps;
  if (msn) *msn = media_standin::g_serial_known;
  return record("wo.auto_format_for_stride", self, {skip, p(s), dv});
}
errno_t __real__ZN15scsi_service_wo22autoFormatLOWInitTrackEjj(scsi_service_wo*, UInt32, UInt32);
errno_t __wrap__ZN15scsi_service_wo22autoFormatLOWInitTrackEjj(scsi_service_wo* self, UInt32 track, UInt32 limit) {
  if (!active()) return __real__ZN15scsi_service_wo22autoFormatLOWInitTrackEjj(self, track, limit);
  return record("wo.autoFormatLOWInitTrack", self, {track, limit});
}

}  // extern "C"
