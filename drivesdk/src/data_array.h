// An owned, growable byte array with checked access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace PxoUtilityLib {

class DataArray {
 public:
  DataArray() = default;
  explicit DataArray(std::size_t size) : m_bytes(size, 0) {}
  virtual ~DataArray() = default;

  // The bytes at offset; 0xFF0003 "DataArray::getArray out_of_range" when
  // offset + length exceeds the size.
  std::uint8_t* getArray(std::size_t offset, std::size_t length);
  const std::uint8_t* getArray(std::size_t offset, std::size_t length) const;

  std::size_t size() const { return m_bytes.size(); }
  // New bytes are zero.
  void resize(std::size_t size) { m_bytes.resize(size, 0); }
  void clear() { m_bytes.clear(); }
  std::uint8_t* data() { return m_bytes.data(); }
  const std::uint8_t* data() const { return m_bytes.data(); }

 private:
  std::vector<std::uint8_t> m_bytes;
};

}  // namespace PxoUtilityLib
