// Recording stand-ins for the drive layer's device controls and the volume
// and UDF routines the metacache requests call. The cases that need the real
// attribute routines and the real read-cache marking run on them over the
// simulated drive (real_agent_test.cpp); here the attribute and marking
// stand-ins serve the failures the real routines cannot produce (the mount's
// copy of the cartridge memory always reads; the marking never fails).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

struct FakeNeighbours {
  std::mutex mu;
  std::vector<std::uint32_t> ioctl_codes;
  char serial[32] = {};
  int serial_err = 0;
  std::uint8_t attr1500[140] = {};
  int attr1500_err = 0;
  std::uint8_t disc_info[3][40] = {};
  std::uint8_t track_info[2][60] = {};
  std::uint8_t opc[2] = {0x12, 0x34};
  std::vector<std::uint8_t> defect_bitmap = std::vector<std::uint8_t>(0x40000, 0);
  // Records handed back to the drive layer from the cache.
  std::vector<std::vector<std::uint8_t>> disc_back, track_back, opc_back, defect_back;
  // Attribute record calls.
  std::vector<std::uint8_t> attr_record = std::vector<std::uint8_t>(472, 0);
  int read_attr_err = 0, write_attr_err = 0;
  int read_attr_calls = 0, write_attr_calls = 0;
  std::vector<std::uint8_t> written_attr_record;
  // Read-cache bitmap calls: (offset, length).
  std::vector<std::pair<std::uint64_t, std::uint32_t>> bitmap_calls;
  int bitmap_result = 0;

  void reset();
};

FakeNeighbours& fake();
