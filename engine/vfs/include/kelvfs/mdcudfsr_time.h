// Conversions between UDF timestamps (ECMA-167 1/7.3) and seconds since
// 1970, and the two volume clocks.
#pragma once

#include <cstdint>
#include <ctime>

struct mdcudfsr_mount;
struct timestamp;

void mdcudfsr_udftime2timespec(const timestamp* ts, struct timespec* out);
// type 1: with the mount's time-zone offset (type 1 timestamp); else type 0, UTC.
void mdcudfsr_timespec2udftime(mdcudfsr_mount* mnt, const struct timespec* ts, timestamp* out, int type);
void mdcudfsr_timespec2udftime_local(mdcudfsr_mount* mnt, const struct timespec* ts, timestamp* out);
void mdcudfsr_update_vol_last_modification_time(mdcudfsr_mount* mnt);
void mdcudfsr_update_vol_last_partial_flush_time(mdcudfsr_mount* mnt);
