#include "agent_config.h"

#include "kel/config.h"

namespace kelagent {

AgentConfig FsCacheAgent_load_config() {
  AgentConfig cfg;
  ConfigLock();
  char buf[4096] = {};
  int size = static_cast<int>(sizeof buf);
  const int r = config_get_string(0, "Fs Cache File Path", &size, buf);
  cfg.base = (r > 0 && buf[0] != '\0') ? std::string(buf) : std::string("/opt/tarn/keludf/FsCacheFile");
  std::uint32_t limit = 0;
  int lsize = 4;
  cfg.limit_blocks = config_get_uint32(0, "LmtFsCchTtlBlks", &lsize, &limit) >= 1 ? limit : 0x100000;
  ConfigUnlock();
  return cfg;
}

}  // namespace kelagent
