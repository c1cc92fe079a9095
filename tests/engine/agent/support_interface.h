#pragma once

#include <cstdint>
#include <string>
#include <vector>

void fake_config_set(const std::string& cache_path, std::uint32_t limit_blocks, bool has_limit = true);
std::vector<std::string> fake_log_lines();
void fake_log_clear();
bool fake_log_contains(const std::string& text);
