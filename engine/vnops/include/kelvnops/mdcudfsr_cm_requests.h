// Single cartridge-memory attributes read, listed and written for clients
// (SPC READ ATTRIBUTE and WRITE ATTRIBUTE through the drive layer).
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct MDCFS_ATTRIBUTE_DATA;
struct MDCFS_ENUM_ATTRIBUTE;

// Record lengths above this make a reply that a 16-bit size cannot state: 22.
constexpr std::uint32_t MDCUDFSR_ATTR_READ_MAX = 65526;
// Values above this do not fit an attribute's 16-bit length: 22.
constexpr std::uint32_t MDCUDFSR_ATTR_WRITE_MAX = 65535;

int mdcudfsr_mdcfsctrl_read_attribute(mdcudfsr_mount* mnt, MDCFS_ATTRIBUTE_DATA* record, vfs_context_t ctx);
// Only 0806h (32 bytes or more), 1505h and 1580h-15FFh are written.
int mdcudfsr_mdcfsctrl_write_attribute(mdcudfsr_mount* mnt, const MDCFS_ATTRIBUTE_DATA* record, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_enum_attribute(mdcudfsr_mount* mnt, MDCFS_ENUM_ATTRIBUTE* record, vfs_context_t ctx);
