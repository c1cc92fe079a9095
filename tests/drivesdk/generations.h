// Generations of the metadata file's entry written over a builder image: the
// builder's current entry copied to older places, each with an extended
// attribute header whose bytes 76-79 give the previous generation's place.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace sdktest {

constexpr std::uint32_t kBuilderPartition = 4096;  // the builder's partition start
constexpr std::uint32_t kBuilderCurrentMfe = 4384;  // the builder's metadata entry

struct Generation {
  Generation(std::uint32_t at, std::optional<std::uint32_t> before, bool otherId = false, bool otherTagSerial = false,
             std::optional<std::uint32_t> longAd = std::nullopt)
      : lsn(at), previous(before), otherImplementation(otherId), otherSerial(otherTagSerial), longAdBlock(longAd) {}
  std::uint32_t lsn;
  std::optional<std::uint32_t> previous;  // absolute; none: no extended attributes
  bool otherImplementation;
  bool otherSerial;
  std::optional<std::uint32_t> longAdBlock;  // a long allocation descriptor to this block
};

// Writes the generation into image (2048-byte sectors); base is the
// builder's current entry (one sector).
void putGeneration(std::vector<std::uint8_t>& image, std::vector<std::uint8_t> base, const Generation& g);

}  // namespace sdktest
