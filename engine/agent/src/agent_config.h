// Configuration the agent reads at its start.
#pragma once

#include <cstdint>
#include <string>

namespace kelagent {
struct AgentConfig {
  std::string base;            // "Fs Cache File Path"
  std::uint32_t limit_blocks;  // "LmtFsCchTtlBlks", 64 KiB blocks
};
AgentConfig FsCacheAgent_load_config();
}  // namespace kelagent
