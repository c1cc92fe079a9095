// CRC-16 of ECMA-167 descriptor tags. A library of its own (no mount, no
// logger), shared by the engine's UDF code and the drive utility library.
#pragma once

#include <cstdint>

std::uint16_t mdcudfsr_crc16(const void* buf, std::uint32_t len);
