#include "kel/scsi.h"

#include <atomic>

namespace {
std::atomic<kel::DriveCommandContextSource> g_source{nullptr};
std::atomic<std::uint64_t> g_cookie{0};
}  // namespace

void kel::SetDriveCommandContextSource(DriveCommandContextSource source) { g_source.store(source); }

kel::DriveCommandContext kel::CurrentDriveCommandContext() {
  const DriveCommandContextSource source = g_source.load();
  return source ? source() : DriveCommandContext{};
}

void kel::SetMediumCookie(std::uint64_t cookie) { g_cookie.store(cookie); }
std::uint64_t kel::MediumCookie() { return g_cookie.load(); }
