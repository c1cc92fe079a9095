// Puts blocks on a slot of a simulated cartridge as a drive that formatted
// the disc and recorded them would leave it, so that the drive reads them
// back and fails reads of what was never recorded as on a real disc.
#pragma once

#include "sim/cartridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

namespace kel_test {

// Writes `count` blocks at `lba` of a slot's disc and marks the disc
// formatted. On a write-once disc everything before the blocks' end counts
// as recorded: a disc without tracks gets one open track over the whole
// disc, and the track holding `lba` has its next writable block moved past
// the blocks. A rewritable disc's highest written block moves past them.
inline void record_blocks(kelsim::Cartridge& cartridge, int slot, std::uint32_t lba, std::uint32_t count,
                          const std::uint8_t* data) {
  ASSERT_EQ(0u, cartridge.write_blocks(slot, lba, count, data));
  kelsim::Disc& d = cartridge.disc(slot);
  d.formatted = true;
  const std::uint32_t end = lba + count;
  if (!cartridge.write_once()) {
    d.status = kelsim::DiscStatus::Complete;
    d.highest_written = std::max(d.highest_written, end);
    return;
  }
  if (d.status == kelsim::DiscStatus::Blank) d.status = kelsim::DiscStatus::Incomplete;
  if (d.tracks.empty()) d.tracks = {kelsim::Track{0, cartridge.disc_blocks(), 0, false, false}};
  for (kelsim::Track& t : d.tracks)
    if (lba >= t.start && lba < t.end()) t.nwa = std::max(t.nwa, std::min(end, t.end()));
}

// An image of `sectors` blocks recorded from block 0.
inline void record_image(kelsim::Cartridge& cartridge, int slot, const std::uint8_t* image, std::uint32_t sectors) {
  record_blocks(cartridge, slot, 0, sectors, image);
}

// A volume image of `sectors` blocks (the disc's size) as the format and
// the writes of this system leave the disc. On a write-once disc the first
// track holds the image's clusters up to the last one with data before the
// disc's last cluster, unrecorded beyond; the last cluster (the reserve
// anchor's) is a second, reserved track recorded whole. A rewritable disc
// holds the whole image.
inline void record_volume(kelsim::Cartridge& cartridge, int slot, const std::uint8_t* image, std::uint32_t sectors) {
  if (!cartridge.write_once()) return record_image(cartridge, slot, image, sectors);
  const std::uint32_t unit = kelsim::cluster_blocks(cartridge.medium_type());
  const std::uint32_t end_area = sectors - unit;
  constexpr std::size_t kBlock = 2048;
  std::uint32_t data_end = 0;
  for (std::uint32_t at = 0; at < end_area; at += unit) {
    const std::uint8_t* p = image + std::size_t{at} * kBlock;
    if (std::any_of(p, p + std::size_t{unit} * kBlock, [](std::uint8_t b) { return b != 0; })) data_end = at + unit;
  }
  ASSERT_EQ(0u, cartridge.write_blocks(slot, 0, data_end, image));
  ASSERT_EQ(0u, cartridge.write_blocks(slot, end_area, unit, image + std::size_t{end_area} * kBlock));
  kelsim::Disc& d = cartridge.disc(slot);
  d.formatted = true;
  d.status = kelsim::DiscStatus::Incomplete;
  d.tracks = {kelsim::Track{0, end_area, data_end, false, false},
              kelsim::Track{end_area, sectors - end_area, sectors, false, true}};
}

}  // namespace kel_test
