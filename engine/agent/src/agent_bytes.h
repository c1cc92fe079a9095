// Little-endian fields of the channel's request and answer payloads.
#pragma once

#include <cstdint>
#include <cstring>

namespace kelagent {
inline std::uint32_t get32(const std::uint8_t* p) { std::uint32_t v; std::memcpy(&v, p, 4); return v; }
inline std::uint64_t get64(const std::uint8_t* p) { std::uint64_t v; std::memcpy(&v, p, 8); return v; }
inline void put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline void put64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }
}  // namespace kelagent
