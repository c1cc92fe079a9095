// The UDF code's own structure rules over a slot image of the simulated
// cartridge: the anchors and descriptor sequences are read through the
// drive client, as a mount reads them, and mdcudfsr_check_vds_structure
// judges them. The engine must not be running.
#pragma once

#include "sim/harness.h"

#include <string>

namespace e2e {

// "" when the loaded slot's volume structures pass, else what failed.
std::string vds_structure_verdict(kelsim::SimHarness& sim, int slot);

}  // namespace e2e
