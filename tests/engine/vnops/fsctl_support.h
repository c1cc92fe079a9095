// Test support of the media-side controls: cartridge memory seeded as a
// formatted cartridge holds it, and reading values back in wire order.
#pragma once

#include "sim/cartridge.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fsctl_test {

// Calls of the flush recorders (flush_recorder.cpp), and what the all-erase
// rebuild answers.
extern std::vector<std::string> g_i31_calls;
extern int g_i31_result;
// The track operations' flushes: the first g_i31_flush_failures calls answer
// g_i31_flush_result; g_i31_skip goes to their skip outputs.
extern int g_i31_flush_result;
extern int g_i31_flush_failures;
extern int g_i31_skip;

// Writes attributes 0800h-0806h and 1500h-1504h (values zero, 1500h with the
// position word at value offset 56, big-endian) into the cartridge and saves.
void seed_cm(kelsim::Cartridge& cart, std::uint32_t position_word);
// The value of an attribute of the cartridge (empty when absent).
std::vector<std::uint8_t> attribute(kelsim::Cartridge& cart, std::uint16_t id);
std::uint32_t be32(const std::uint8_t* p);
std::uint64_t be64(const std::uint8_t* p);
std::uint16_t be16(const std::uint8_t* p);

}  // namespace fsctl_test
