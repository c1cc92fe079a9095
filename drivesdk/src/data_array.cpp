#include "data_array.h"

#include "sdk_frame.h"

namespace PxoUtilityLib {

namespace {
void checkRange(std::size_t size, std::size_t offset, std::size_t length) {
  if (offset > size || length > size - offset) {
    KELSDK_LOG(kLogCheck, "DataArray::getArray out_of_range");
    throwPxo(0xFF0003, __FILE__, __LINE__, "PxoUtilityLib::DataArray::getArray");
  }
}
}  // namespace

std::uint8_t* DataArray::getArray(std::size_t offset, std::size_t length) {
  checkRange(m_bytes.size(), offset, length);
  return m_bytes.data() + offset;
}

const std::uint8_t* DataArray::getArray(std::size_t offset, std::size_t length) const {
  checkRange(m_bytes.size(), offset, length);
  return m_bytes.data() + offset;
}

}  // namespace PxoUtilityLib
