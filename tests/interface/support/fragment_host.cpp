#include "fragment_host.h"

#include <cstdlib>
#include <cstring>

namespace handlertest {

namespace {
std::string fileChild(const std::string& name, std::uint32_t generation, std::uint32_t version) {
  return "<File Name=\"" + name + "\" Fragment=\"0\" Generation=\"" + std::to_string(generation) +
         "\" Version=\"" + std::to_string(version) + "\" KernelInterface=\"0\"/>";
}
std::string withChild(std::uint64_t seq, const std::string& opcode, const std::string& attributes,
                      const std::string& child) {
  return "<ArchiveFileSystemOperation SequenceNumber=\"" + std::to_string(seq) + "\" Opcode=\"" + opcode +
         "\" " + attributes + ">" + child + "</ArchiveFileSystemOperation>\n";
}
}  // namespace

std::string archiveLine(std::uint64_t seq, const std::string& name, std::uint32_t generation,
                        std::uint32_t version, std::uint64_t block) {
  return withChild(seq, "Archive",
                   "BlockNumber=\"" + std::to_string(block) + "\" CreationTime=\"" +
                       std::to_string(kCreationFileTime) + "\" ModificationTime=\"" +
                       std::to_string(kModificationFileTime) + "\"",
                   fileChild(name, generation, version));
}

std::string restoreLine(std::uint64_t seq, const std::string& name, std::uint32_t generation,
                        std::uint32_t version, std::uint64_t offset, std::uint64_t length) {
  return withChild(seq, "Restore",
                   "BlockNumber=\"0\" FragmentOffset=\"" + std::to_string(offset) + "\" Length=\"" +
                       std::to_string(length) + "\" TrackProgress=\"0\"",
                   fileChild(name, generation, version));
}

std::string verifyLine(std::uint64_t seq, const std::string& name, std::uint32_t generation,
                       std::uint32_t version) {
  return "<ArchiveFileSystemOperation SequenceNumber=\"" + std::to_string(seq) + "\" Opcode=\"Verify\">" +
         fileChild(name, generation, version) + "</ArchiveFileSystemOperation>\n";
}

std::string openFragmentLine(std::uint64_t seq, std::uint32_t io_size) {
  return line(seq, "OpenFragmentFileCallback", "IOSize=\"" + std::to_string(io_size) + "\"");
}
std::string writeLine(std::uint64_t seq, std::uint64_t file_size, std::uint32_t bytes) {
  return line(seq, "WriteCallback",
              "FragmentFileSize=\"" + std::to_string(file_size) + "\" BytesToWrite=\"" + std::to_string(bytes) + "\"");
}
std::string readLine(std::uint64_t seq) { return line(seq, "ReadCallback"); }
std::string failureLine(std::uint64_t seq, std::uint32_t code) {
  return line(seq, "FailureCallback", "ErrorCode=\"" + std::to_string(code) + "\"");
}

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed * 31 + i / 251) & 0xFF);
  return s;
}

FragmentHost::FragmentHost(HandlerHarness& h) {
  h.onElement = [this](const std::string& e) { element(e); };
}

std::string FragmentHost::archiveCallbacks(std::uint64_t seq, const std::string& data, std::uint32_t io_size,
                                           std::size_t count) {
  archives_[seq];
  std::string lines = openFragmentLine(seq, io_size);
  for (std::size_t at = 0; at < data.size() && count > 0; at += io_size, --count) {
    archives_[seq].push_back(data.substr(at, io_size));
    lines += writeLine(seq, data.size(), static_cast<std::uint32_t>(archives_[seq].back().size()));
  }
  return count > 0 ? lines + writeLine(seq, data.size(), 0) : lines;
}

void FragmentHost::element(const std::string& e) {
  if (elementName(e) != "KelFragment") return;
  fragments.push_back(e);
  const auto io_size = std::strtoul(attribute(e, "IOSize").c_str(), nullptr, 10);
  auto* buffer = reinterpret_cast<char*>(std::strtoull(attribute(e, "Buffer").c_str(), nullptr, 16));
  if (io_size == 0 || !buffer) return;
  const std::uint64_t seq = std::strtoull(attribute(e, "SequenceNumber").c_str(), nullptr, 10);
  if (archives_.count(seq)) {
    auto& pieces = archives_[seq];
    if (pieces.empty()) return;
    std::memcpy(buffer, pieces.front().data(), pieces.front().size());
    pieces.pop_front();
    return;
  }
  received.append(buffer, std::strtoul(attribute(e, "BytesTransferred").c_str(), nullptr, 10));
}

}  // namespace handlertest
