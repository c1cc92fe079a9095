// The rollback requests: "RollbackMount" and "GetRollbackInfo".
#include "handler_frame.h"

#include <vector>

namespace kel {

HRESULT OnRollbackMount(CKelInterface& itf, std::uint64_t seq, std::uint32_t slot,
                        std::uint32_t metadata_fe_lsn, std::uint32_t fsd_lsn) {
  HandlerFrame f(itf, seq);
  // A packed session holds handles of the state mounted now: it ends there
  // before another state is mounted.
  if (!f.Win32(EndPackedSession(f))) return f.Finish();
  if (itf.Mounted()) {
    f.Phase(kPhaseUnmount);
    // A failed unmount leaves the volume mounted, and the flag says so.
    if (!f.Engine(CallSlot(f.ops.Unmount, true), __LINE__)) return f.Finish();
  }
  itf.SetMounted(false);
  f.Phase(kPhaseMount);
  const bool at_point = metadata_fe_lsn != 0 && fsd_lsn != 0;
  const int r = at_point ? CallSlot(f.ops.MountRollback, slot, metadata_fe_lsn, fsd_lsn)
                         : CallSlot(f.ops.MountDefault);
  if (!f.Engine(r, __LINE__)) return f.Finish();
  // Mounted from here on, whatever follows: the next request must not
  // mount again over this mount.
  f.MountedAt(at_point);
  KelVolumeInformation& vi = itf.VolumeInformation();
  if (!f.Engine(RefreshVolumeInfo(itf), __LINE__)) return f.Finish();
  f.Phase(kPhaseMetaData);
  const DWORD e = at_point ? f.state.MetaData.LoadAll(&vi) : f.state.MetaData.LoadVolumeIdentity(&vi);
  if (!f.Win32(e)) return f.Finish();
  CServiceVolumeResponse answer(seq, &vi);
  f.Send(answer);
  return f.Finish();
}

HRESULT OnGetRollbackInfo(CKelInterface& itf, std::uint64_t seq, const char* medium_cookie) {
  HandlerFrame f(itf, seq);
  f.Phase(kPhaseQuery);
  std::vector<_KEL_SDK_ROLLBACK_INFO> points;
  if (!f.Hr(QueryRollbackPoints(seq, medium_cookie, &points))) return f.Finish();
  for (auto p = points.rbegin(); p != points.rend(); ++p) {
    const KelRollbackRecord record{p->SlotNumber, static_cast<std::uint32_t>(p->MetaDataFE_LSN),
                                   static_cast<std::uint32_t>(p->FsdLsn)};
    CServiceRollbackInfoResponse answer(seq, &record);
    if (!f.Send(answer)) return f.Finish();
  }
  const KelRollbackRecord closing{0, 0, 0};
  CServiceRollbackInfoResponse answer(seq, &closing);
  f.Send(answer);
  return f.Finish();
}

}  // namespace kel
