#include "support_neighbours.h"

#include <cstring>

#include "udf/udf_neighbour_calls.h"

FakeNeighbours& fake() {
  static FakeNeighbours f;
  return f;
}

void FakeNeighbours::reset() {
  std::lock_guard<std::mutex> g(mu);
  ioctl_codes.clear();
  std::memset(serial, 0, sizeof serial);
  serial_err = attr1500_err = 0;
  std::memset(attr1500, 0, sizeof attr1500);
  for (int t = 0; t < 3; ++t)
    for (int i = 0; i < 40; ++i) disc_info[t][i] = static_cast<std::uint8_t>(0x10 * (t + 1) + i);
  for (int t = 0; t < 2; ++t)
    for (int i = 0; i < 60; ++i) track_info[t][i] = static_cast<std::uint8_t>(0x80 + 0x10 * t + i);
  opc[0] = 0x12;
  opc[1] = 0x34;
  defect_bitmap.assign(0x40000, 0);
  for (std::size_t i = 0; i < defect_bitmap.size(); i += 4099) defect_bitmap[i] = static_cast<std::uint8_t>(i);
  disc_back.clear();
  track_back.clear();
  opc_back.clear();
  defect_back.clear();
  attr_record.assign(472, 0);
  read_attr_err = write_attr_err = 0;
  read_attr_calls = write_attr_calls = 0;
  written_attr_record.clear();
  bitmap_calls.clear();
  bitmap_result = 0;
}

#pragma pack(push, 1)
struct AttrCtl {
  std::uint16_t id;
  std::uint16_t length;
  std::uint8_t pad;
  void* data;
};
struct BitmapCtl {
  void* data;
  std::uint32_t length;
  std::uint32_t one;
};
#pragma pack(pop)

int VNOP_IOCTL(vnode_t, std::uint32_t command, char* data, int, vfs_context_t) {
  FakeNeighbours& f = fake();
  std::lock_guard<std::mutex> g(f.mu);
  f.ioctl_codes.push_back(command);
  switch (command) {
    case 0x400155FF:
      if (f.serial_err) return f.serial_err;
      std::memcpy(data, f.serial, 32);
      return 0;
    case 0x405855E6: {
      AttrCtl ctl;
      std::memcpy(&ctl, data, sizeof ctl);
      if (ctl.id != 0x1500 || ctl.length != 140) return 22;
      if (f.attr1500_err) return f.attr1500_err;
      std::memcpy(ctl.data, f.attr1500, 140);
      return 0;
    }
    case 0xC02855D4: {
      std::uint32_t type, from_cache;
      std::memcpy(&type, data, 4);
      std::memcpy(&from_cache, data + 36, 4);
      if (type > 2) return 22;
      if (from_cache == 0) {
        std::memcpy(data + 4, f.disc_info[type] + 4, 32);  // type and from-cache words stay
      } else {
        f.disc_back.emplace_back(data, data + 40);
      }
      return 0;
    }
    case 0xC03C55D5: {
      std::uint32_t track, from_cache;
      std::memcpy(&track, data, 4);
      std::memcpy(&from_cache, data + 56, 4);
      if (track < 1 || track > 2) return 22;
      if (from_cache == 0) {
        std::memcpy(data + 4, f.track_info[track - 1] + 4, 52);
      } else {
        f.track_back.emplace_back(data, data + 60);
      }
      return 0;
    }
    case 0x400255D9:
      std::memcpy(data, f.opc, 2);
      return 0;
    case 0xC0025504:
      f.opc_back.emplace_back(data, data + 2);
      return 0;
    case 0xC0105502: {
      BitmapCtl ctl;
      std::memcpy(&ctl, data, sizeof ctl);
      std::memcpy(ctl.data, f.defect_bitmap.data(), ctl.length);
      return 0;
    }
    case 0xC0105503: {
      BitmapCtl ctl;
      std::memcpy(&ctl, data, sizeof ctl);
      auto* p = static_cast<std::uint8_t*>(ctl.data);
      f.defect_back.emplace_back(p, p + ctl.length);
      return 0;
    }
  }
  return 56;
}

int mdcudfsr_read_attribute(mdcudfsr_mount*, void* record, std::uint32_t length, int, int, vfs_context_t, int) {
  FakeNeighbours& f = fake();
  std::lock_guard<std::mutex> g(f.mu);
  ++f.read_attr_calls;
  if (f.read_attr_err) return f.read_attr_err;
  std::memcpy(record, f.attr_record.data(), length < f.attr_record.size() ? length : f.attr_record.size());
  return 0;
}

int mdcudfsr_write_attribute(mdcudfsr_mount*, void* record, std::uint32_t length, int, vfs_context_t, int) {
  FakeNeighbours& f = fake();
  std::lock_guard<std::mutex> g(f.mu);
  ++f.write_attr_calls;
  if (f.write_attr_err) return f.write_attr_err;
  auto* p = static_cast<std::uint8_t*>(record);
  f.written_attr_record.assign(p, p + length);
  return 0;
}

int mdcudfsr_update_metadata_bitmap_for_read_cache(mdcudfsr_mount*, std::uint8_t*, std::uint64_t offset,
                                                   std::uint32_t length) {
  FakeNeighbours& f = fake();
  std::lock_guard<std::mutex> g(f.mu);
  f.bitmap_calls.emplace_back(offset, length);
  return f.bitmap_result;
}
