#include "dup_support.h"

#include "kel/mdcfs.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace sdktest {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelsdk-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Read-only files or folders must not keep the tree alive.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (!it->is_symlink()) std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                                        std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

RegistryScope::RegistryScope() { setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1); }
RegistryScope::~RegistryScope() { unsetenv("KEL_REGISTRY"); }

EngineVolume::EngineVolume() { nodes.push_back({"/", 1, 0, 0, 0x10}); }

std::uint64_t EngineVolume::add(const std::string& path, std::uint64_t size, std::uint32_t attributes) {
  const std::size_t cut = path.rfind('/');
  const std::string parent = cut == 0 ? "/" : path.substr(0, cut);
  std::uint64_t parentId = 0;
  for (const EngineNode& n : nodes)
    if (n.path == parent) parentId = n.id;
  const std::uint64_t id = nodes.size() + 1;
  nodes.push_back({path, id, parentId, size, attributes});
  return id;
}

void EngineVolume::setDiscUsage(std::uint8_t total, std::uint8_t lastWritten, std::uint64_t totalSize,
                                std::uint64_t remaining) {
  discUsage.assign(20, 0);
  discUsage[0] = total;
  discUsage[3] = lastWritten;
  std::memcpy(discUsage.data() + 4, &totalSize, 8);
  std::memcpy(discUsage.data() + 12, &remaining, 8);
}

void EngineVolume::install() {
  host().engine = [this](unsigned code, void* buffer, int& result) {
    result = serve(code, buffer);
    return result != -1;
  };
}

int EngineVolume::nodeList(void* buffer) {
  auto* record = static_cast<std::uint8_t*>(buffer);
  std::uint32_t pathLength, bufferSize;
  std::uint64_t pathAddress, bufferAddress;
  std::memcpy(&pathLength, record, 4);
  std::memcpy(&pathAddress, record + 4, 8);
  std::memcpy(&bufferSize, record + 276, 4);
  std::memcpy(&bufferAddress, record + 280, 8);
  std::string path(reinterpret_cast<const char*>(pathAddress), pathLength ? pathLength - 1 : 0);
  listRequests.emplace_back(path, bufferSize);
  const std::uint32_t count =
      countOverride != 0xFFFFFFFF ? countOverride : static_cast<std::uint32_t>(nodes.size() - 1);
  std::memcpy(record + 268, &count, 4);
  if (bufferSize == 0) return 0;
  std::uint32_t written = 0;
  const std::uint32_t capacity = bufferSize / 1004;
  for (const EngineNode& n : nodes) {
    const bool inside = path == "/" || n.path == path || n.path.rfind(path + "/", 0) == 0;
    if (!inside || written == capacity) continue;
    std::uint8_t* e = reinterpret_cast<std::uint8_t*>(bufferAddress) + written * 1004;
    std::memset(e, 0, 1004);
    std::memcpy(e, &n.id, 8);
    std::memcpy(e + 8, &n.parent, 8);
    std::memcpy(e + 16, &n.size, 8);
    std::memcpy(e + 24, &n.attributes, 4);
    const std::string name = n.path == "/" ? "/" : n.path.substr(n.path.rfind('/') + 1);
    std::memcpy(e + 28, name.data(), std::min<std::size_t>(name.size(), 975));
    ++written;
  }
  std::memcpy(record + 272, &written, 4);
  return 0;
}

int EngineVolume::serve(unsigned code, void* buffer) {
  switch (code) {
    case 0xC1247056: return nodeList(buffer);
    case 0x402C7050: {
      std::memset(buffer, 0, 44);
      std::memcpy(buffer, identity.data(), std::min<std::size_t>(identity.size(), 32));
      return 0;
    }
    case 0xC0087010: {
      const std::uint32_t counts[2] = {files, directories};
      std::memcpy(buffer, counts, 8);
      return 0;
    }
    case 0x40147054: std::memcpy(buffer, discUsage.data(), 20); return 0;
    case 0x80047062: {
      std::uint32_t flags;
      std::memcpy(&flags, buffer, 4);
      flushFlags.push_back(flags);
      return 0;
    }
    case 0x20007053: return 0;
    case 0x40107014: {
      MDCFS_MOUNT_INFORMATION info{};
      info.MediumType = mediumType;
      info.VolumeTypeAndInformationVersion = volumeType;
      std::memcpy(buffer, &info, sizeof info);
      return 0;
    }
    default: return -1;
  }
}

void writeFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("write " + path);
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + seed + i / 251);
  return b;
}

}  // namespace sdktest
