// The root directory of the volume on the loaded slot, read from the disc as
// any UDF reader reads it (ECMA-167 parts 3 and 4, UDF 2.50): the anchor and
// the volume descriptor sequence, the metadata file's extents, the file set
// descriptor, the root's entry and its file identifiers. Nothing of the
// engine is asked, so it works while the engine holds no volume.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace PxoUtilityLib {

class DriveCtrl;

struct RootEntry {
  std::u16string name;  // OSTA compressed unicode, decoded
  bool directory = false;
};

// Codes of a root that cannot be read (the category of an invalid UDF
// format).
constexpr std::uint32_t kErrRootVolume = 0x230301;       // no anchor or sequence with a metadata partition
constexpr std::uint32_t kErrRootMetadata = 0x230302;     // the metadata file's entry or extents
constexpr std::uint32_t kErrRootFileSet = 0x230303;      // the file set descriptor
constexpr std::uint32_t kErrRootEntry = 0x230304;        // the root's entry or extents
constexpr std::uint32_t kErrRootIdentifiers = 0x230305;  // a file identifier of the root
// No anchor, and the first anchor's sector holds zeros: the disc holds no
// volume (blank, or its descriptors erased for a reformat, as a backtrack to
// the initial state leaves it until the next mount).
constexpr std::uint32_t kErrRootErased = 0x230306;

// Calls take with each entry of the root, the parent entry and deleted
// entries left out, until it answers false. slot: the loaded slot (its
// descriptors carry its number); writeOnce: the reserve sequence is tried
// when the main one fails. 0, a drive code, or one of the codes above.
std::uint32_t readRootDirectory(DriveCtrl& drive, std::uint8_t slot, bool writeOnce,
                                const std::function<bool(const RootEntry&)>& take);

}  // namespace PxoUtilityLib
