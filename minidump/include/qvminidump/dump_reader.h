// Reads and checks a dump file of QvMiniDump (qvminidump/dump_format.h).
#pragma once

#include "qvminidump/dump_format.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvminidump {

class DumpReader {
 public:
  struct Thread {
    std::uint32_t id = 0;
    std::uint32_t flags = 0;
    std::uint32_t machine = 0;
    char state = '?';
    std::string name;
    std::vector<std::uint8_t> registers;
  };
  struct Region {
    std::uint64_t start = 0, end = 0, fileOffset = 0, inode = 0;
    std::uint32_t protection = 0;
    std::string name;
    std::uint64_t dataOffset = 0, dataSize = 0;
  };
  struct Module {
    std::uint64_t base = 0, size = 0, inode = 0;
    std::string name;
  };
  struct Handle {
    std::uint32_t fd = 0;
    std::string name;
  };

  DumpReader() = default;
  ~DumpReader();
  DumpReader(const DumpReader&) = delete;
  DumpReader& operator=(const DumpReader&) = delete;

  // Opens and checks the whole structure: false with the reason in *error
  // for a file that is not a complete, consistent dump.
  bool open(const std::string& path, std::string* error);

  const DumpHeader& header() const { return header_; }
  const std::vector<Thread>& threads() const { return threads_; }
  const std::vector<Region>& regions() const { return regions_; }
  const std::vector<Module>& modules() const { return modules_; }
  const std::vector<Handle>& handles() const { return handles_; }
  const std::optional<DumpException>& exception() const { return exception_; }

  const Thread* findThread(std::uint32_t id) const;
  const Region* findRegion(std::uint64_t address) const;
  const Module* findModule(std::uint64_t address) const;
  // Copies captured process memory; false when a byte of the range was not captured.
  bool readMemory(std::uint64_t address, void* buffer, std::size_t size) const;

  // Instruction and stack pointer of a register set (NT_PRSTATUS layout).
  static std::optional<std::uint64_t> instructionPointer(std::uint32_t machine,
                                                         const std::uint8_t* registers,
                                                         std::uint32_t size);
  static std::optional<std::uint64_t> stackPointer(std::uint32_t machine,
                                                   const std::uint8_t* registers,
                                                   std::uint32_t size);

 private:
  int fd_ = -1;
  std::uint64_t fileSize_ = 0;
  DumpHeader header_{};
  std::vector<Thread> threads_;
  std::vector<Region> regions_;
  std::vector<Module> modules_;
  std::vector<Handle> handles_;
  std::optional<DumpException> exception_;
};

}  // namespace qvminidump
